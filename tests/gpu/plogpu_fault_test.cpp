// A device error during a batch is reported with the entry point's message and the runtime's
// error text; the call still returns normally. libplogpu carries its own software device,
// which configures itself from the environment at its first use: this binary injects a
// launch fault there before any batch call.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gpu/plogpu.h"
#include "gpu/runtime.h"

namespace {

TEST(BatchHashFault, LaunchFailureIsReportedAndTheCallReturns) {
  ASSERT_EQ(setenv("KEST_SWDEV_FAULT", "launch:2", 1), 0);
  const std::vector<uint8_t> in(3 * 40, 'x');
  std::vector<uint8_t> out(3 * 32);

  testing::internal::CaptureStdout();
  plo_cuda_sha256_hash_batch(in.data(), 40, out.data(), 3);       // launch 1 runs
  plo_cuda_keccak_hash_batch(in.data(), 40, out.data(), 256, 3);  // launch 2 fails
  plo_cuda_md5_hash_batch(in.data(), 40, out.data(), 3);          // launch 3 runs
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, std::string("Error cuda keccak hash: ") +
                         cudaGetErrorString(cudaErrorLaunchFailure) + " \n");
}

}  // namespace
