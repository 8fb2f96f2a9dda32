#!/usr/bin/env bash
# Builds the software-device configuration and runs every test, then runs the suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer and the threaded tests under ThreadSanitizer.
# Installs what it needs first. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DKEST_CUDA=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer; any finding
# ends the test process, so the test fails. Not run here:
#   - the miner's end-to-end runs against plo-testpool (miner_e2e_tests) are not built under a
#     sanitizer: each builds the 1 GiB tile map on the CPU, several times slower instrumented;
#     scripts/soak.sh runs the real binaries for longer instead;
#   - plo_search_tool: it builds the whole 1 GiB map on the CPU as well; the device-module and
#     staged-search differential tests cover the same kernels under the sanitizers.
asan_exclude='^plo_search_tool$'
cmake -S . -B build-asan -G Ninja -DKEST_CUDA=OFF -DKEST_SANITIZE=address,undefined \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900 -E "$asan_exclude"

# The threaded code (pool clients, software device, engine) once more under ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DKEST_CUDA=OFF -DKEST_SANITIZE=thread \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 900 -L threaded
