#!/usr/bin/env bash
# Builds the software-device configuration and runs every test, then runs the threaded tests
# again under ThreadSanitizer. Installs what it needs first. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DKEST_CUDA=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

# The threaded code (pool clients, software device, engine) once more under ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DKEST_CUDA=OFF -DKEST_SANITIZE=thread \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 900 -L threaded
