#!/usr/bin/env bash
# Everything a machine with a GPU should run, in one go (under 8 minutes on an H100): builds the
# GPU-only configuration (proof of work, device module, libplogpu, plo-gpu-check; needs only
# the CUDA toolkit, CMake and a C++ compiler), prints ptxas's registers, spills and stack frame
# of the proof-of-work kernels, and runs plo-gpu-check: map tiles, the solutions of both search
# paths (classic and staged) against the CPU and each other, batch hashes against the CPU, then
# a search benchmark per path and their ratio; the map-build time is in the "map build" line.
#
# Usage: scripts/gpu-check.sh [benchmark seconds per search path, default 45]
# Environment: OUT (directory for the logs; default the build directory), KEST_CUDA_ARCHS
# (default 90), KEST_GPU_CHECK_BUILD (build directory, default build-gpu-check).
# Exit status: 0 all checks passed, 1 a check or the build failed, 77 no GPU (built and
# printed the ptxas figures only).
set -uo pipefail
cd "$(dirname "$0")/.."

bench_seconds=${1:-45}
archs=${KEST_CUDA_ARCHS:-90}
build=${KEST_GPU_CHECK_BUILD:-build-gpu-check}
run_limit_s=360
logs=${OUT:-$build}
mkdir -p "$logs"
exec > >(tee "$logs/gpu-check.log") 2>&1

# The toolkit's usual place, when nvcc is not on the PATH.
if ! command -v nvcc >/dev/null && [ -x /usr/local/cuda/bin/nvcc ]; then
  export PATH="/usr/local/cuda/bin:$PATH"
fi

section() { printf '\n== %s\n' "$*"; }
elapsed() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

section "Host"
echo "$(uname -srm), $(nproc) CPUs"
nvcc --version | tail -n 2 || echo "nvcc: not found"
if command -v nvidia-smi >/dev/null; then
  nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader || true
else
  echo "nvidia-smi: not installed"
fi

section "Configure (KEST_GPU_ONLY=ON, architectures $archs)"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if ! cmake -S . -B "$build" "${generator[@]}" -DKEST_GPU_ONLY=ON -DKEST_CUDA_ARCHS="$archs" \
     -DKEST_PTXAS_INFO=ON -DCMAKE_BUILD_TYPE=Release >"$logs/configure.log" 2>&1; then
  cat "$logs/configure.log"
  echo "FAIL: configure"
  exit 1
fi

section "Build"
# The module is always recompiled so that ptxas reports its resource usage in this log.
rm -f "$build/gpu/CMakeFiles/kest_gpu.dir/device_module.cu.o"
jobs=$(nproc)
start=$(date +%s.%N)
if ! cmake --build "$build" -j"$jobs" --target kest_gpu >"$logs/build.log" 2>&1; then
  cat "$logs/build.log"
  echo "FAIL: building the device module"
  exit 1
fi
echo "device module (nvcc, $archs): $(elapsed "$start") s"
start=$(date +%s.%N)
if ! cmake --build "$build" -j"$jobs" --target plogpu plo-gpu-check >>"$logs/build.log" 2>&1; then
  cat "$logs/build.log"
  echo "FAIL: building plogpu and plo-gpu-check"
  exit 1
fi
echo "plogpu and plo-gpu-check: $(elapsed "$start") s"

section "ptxas resource usage (proof-of-work kernels)"
awk '
  /Compiling entry function/ { k = $0; sub(/.*function \x27/, "", k); sub(/\x27.*/, "", k); arch = $NF; gsub(/[\x27]/, "", arch); want = (k ~ /^cuda_/) }
  want && /Function properties for/ { own = ($NF == k) }
  want && own && /stack frame/ { sub(/^[^:]*:[ \t]*/, ""); frame = $0 }
  want && /Used [0-9]+ registers/ { sub(/.*: /, ""); printf "%-26s %-6s %s; %s\n", k, arch, $0, frame; want = 0 }
' "$logs/build.log"

section "libplogpu exports"
nm -D --defined-only "$build/gpu/libplogpu.so" | awk '{ print $3 }'

section "plo-gpu-check (benchmark $bench_seconds s)"
timeout "$run_limit_s" "$build/tools/gpu-check/plo-gpu-check" --bench-seconds "$bench_seconds"
status=$?
case $status in
  0) section "All GPU checks passed" ;;
  77) section "NO GPU FOUND: built and printed the ptxas figures; nothing was run on a device" ;;
  124) section "FAIL: plo-gpu-check ran past $run_limit_s s" ; status=1 ;;
  *) section "FAIL: plo-gpu-check exited with status $status" ; status=1 ;;
esac
echo "logs: $logs/gpu-check.log, $logs/build.log"
exit "$status"
