// The divergence model of the GPU search: `plo-bench --divergence-model`.
#pragma once

namespace Kest {
namespace bench {

// Samples walks, measures the hash families and prints the model; returns the exit status.
int RunDivergenceModel(int argc, char** argv);

}  // namespace bench
}  // namespace Kest
