// Host side of nighthash: the console report for an invalid algorithm type. Everything else is
// in the header, shared with the device code.
#include "pow/nighthash.h"

#include <cstdio>

namespace kest_pow {

void nighthash_report_invalid_type(uint32_t type) {
  std::printf("Fatal: Invalid night hash algo type (%i)\n", static_cast<int>(type));
}

}  // namespace kest_pow
