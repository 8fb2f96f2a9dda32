// The miner's version: the banner, --version and the monitoring summary print this one value.
#pragma once

namespace Kest {

constexpr const char kMinerVersion[] = "2.4";

}  // namespace Kest
