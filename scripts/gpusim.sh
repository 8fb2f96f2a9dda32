#!/usr/bin/env bash
# Cycle-level GPU simulation of the proof-of-work kernels, for machines without a GPU.
#
# Sets the simulator up once (under build-gpusim/, outside version control), builds the
# simulation variant of the device module with the simulator's CUDA 11.8 toolchain (PTX for
# compute 8.0, out-of-line device functions inlined; the software-device and CUDA 13 builds are
# untouched), runs one named experiment on a reduced configuration and prints, per kernel, the
# simulated cycles, instructions, IPC, shared-memory bank conflicts and the warp occupancy (how
# many lanes were active in the issued instructions). The harness checks every kernel result
# against the host code first: an experiment whose check fails reports nothing.
#
# The figures are simulations of one or a few multiprocessors, not measurements.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat <<'EOF'
Usage: scripts/gpusim.sh [--config NAME] [--sms N] [--keep DIR] [--define NAME[=VALUE]]...
                         EXPERIMENT [ARGS]

Experiments (wall times seen on a 2-core machine, one multiprocessor, with a 1-2 minute build
of each new variant first):
  setup                  set up the simulator and its toolchain only (5 to 8 minutes, once)
  map-build [TILES]      cuda_build_map over TILES tiles (default 256: about 15 minutes; one
                         tile about 2 minutes)
  md2 [LENGTH] [COUNT]   the batch MD2 kernel over COUNT inputs of LENGTH bytes (36, 32):
                         the smallest kernel that reads the shared-memory S-box
  stages [ENTRIES]       each of the eight hash stages over ENTRIES list entries of its type,
                         then the classify and final stages over ENTRIES candidates (default:
                         as many threads as the multiprocessor holds at once for that kernel;
                         about 30 minutes in all)
  stage TYPE [ENTRIES]   one hash stage (TYPE 0..7; 1 to 3 minutes, MD2 (6) 6 to 11)
  classify [CANDIDATES], final [CANDIDATES]
                         the classify or the final stage alone (4 to 6 minutes)
  search [CANDIDATES] [JUMPS]
                         the classic and the staged search over the same CANDIDATES candidates
                         (default 256: one block, all the classic kernel's residency) on tiles
                         built on the host; JUMPS (default 8, the full walk) shortens the walk
                         (the classic kernel alone takes about 9 minutes for one jump)
  search-staged [CANDIDATES] [JUMPS]
                         the staged search alone (larger batches; default 2048 candidates)
  search-classic [CANDIDATES] [JUMPS]
                         the classic search alone (default 256 candidates)
  md2-parts, md2-words, view
                         checks of the simulator's functional model (MD2's halves, its word
                         handling, a structure passed by value; under a minute each)

Options:
  --config NAME   SM86_RTX3070 (default; an Ampere multiprocessor as shipped) or SM90_H100
                  (provisional: derived from an older configuration; label its figures so)
  --sms N         simulated multiprocessors (default 1)
  --keep DIR      keep the simulator's run directories under DIR (default: a temporary one)
  --define NAME[=VALUE]
                  compile the device code with this macro (a variant; repeatable)

Environment: KEST_GPUSIM_TOOLS, the simulator's sources and set-up scripts
(default ../shared/tools/gpgpu-sim next to the repository).
EOF
}

config=SM86_RTX3070
sms=1
keep=
defines=()
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --config) config=$2; shift 2 ;;
    --sms) sms=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --define) defines+=("-D$2"); shift 2 ;;
    --) shift; break ;;
    -*) echo "gpusim: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { usage >&2; exit 2; }
experiment=$1
shift
case $experiment in
  setup | map-build | md2 | md2-parts | md2-words | view | stage | stages | classify | final | search | search-staged | search-classic) ;;
  *) echo "gpusim: unknown experiment $experiment" >&2; usage >&2; exit 2 ;;
esac
[ "$experiment" != stage ] || [ $# -ge 1 ] || { echo "gpusim: stage needs a TYPE (0..7)" >&2; exit 2; }
case $config in
  SM86_RTX3070 | SM90_H100) ;;
  *) echo "gpusim: unknown configuration $config" >&2; exit 2 ;;
esac
case $sms in
  '' | *[!0-9]*) echo "gpusim: --sms takes a number" >&2; exit 2 ;;
esac
# The simulator's address map leaves local memory for up to 80 multiprocessors.
[ "$sms" -ge 1 ] && [ "$sms" -le 80 ] || { echo "gpusim: --sms takes 1 to 80" >&2; exit 2; }
# A shorter walk is a variant of its own build.
case $experiment in
  search | search-staged | search-classic)
    case ${2:-8} in
      [1-8]) [ "${2:-8}" = 8 ] || defines+=("-DKEST_GPUSIM_JUMPS=$2") ;;
      *) echo "gpusim: JUMPS takes a number from 1 to 8" >&2; exit 2 ;;
    esac
    ;;
esac

tools=${KEST_GPUSIM_TOOLS:-$(cd .. && pwd)/shared/tools/gpgpu-sim}
work=$(pwd)/build-gpusim
[ -f "$tools/setup.sh" ] || { echo "gpusim: no simulator set-up at $tools" >&2; exit 1; }

# --- set-up (once) -------------------------------------------------------------------------
if [ ! -f "$work/env.sh" ] || ! ls "$work"/src/gpgpu-sim_distribution/lib/*/cuda-11080/release/libcudart.so >/dev/null 2>&1; then
  echo "gpusim: setting up the simulator under $work (about 8 minutes, once)"
  bash "$tools/setup.sh" "$work"
fi
# Fixes to the simulator that the kernels need (tools/gpusim/patches, each applied once and
# marked in the source folder; cycle counting is untouched):
# - functional-fixes: its PTX reader cut integer literals to 32 bits (64-bit masks came out as
#   0), bfi.b64 worked on the low 32 bits only, prmt sign-extended the low source word into the
#   high one, shf took shifts of 0 and 32 wrong, and vector loads of narrow elements left
#   garbage above them;
# - address-space: loads and stores use the low 32 bits of an address and the heap started at
#   3 GiB, so nothing allocated after the 1 GiB map was reachable; the heap now starts at
#   768 MiB.
sim_src=$work/src/gpgpu-sim_distribution
[ ! -f "$sim_src/.kest-patched" ] || mv "$sim_src/.kest-patched" "$sim_src/.kest-functional-fixes"
applied=()
for p in tools/gpusim/patches/*.patch; do
  marker=$sim_src/.kest-$(basename "$p" .patch)
  [ ! -f "$marker" ] || continue
  echo "gpusim: applying $p to the simulator"
  patch -d "$sim_src" -p1 -N < "$p"
  applied+=("$marker")
done
if [ ${#applied[@]} -gt 0 ]; then
  echo "gpusim: rebuilding the simulator"
  (
    set +eu
    export CUDA_INSTALL_PATH=$work/cuda11
    cd "$sim_src" && source setup_environment release >/dev/null && make -j"$(nproc)"
  ) || { echo "gpusim: the simulator's rebuild failed" >&2; exit 1; }
  touch "${applied[@]}"
fi
[ "$experiment" = setup ] && exit 0

# --- the simulation variant of the device module -------------------------------------------
# One build per set of --define values, kept next to the others.
sources=(tools/gpusim/harness.cu gpu/*.cu gpu/*.h pow/*.h)
stamp=$( (cat "${sources[@]}"; echo "${defines[*]}") | sha256sum | cut -c1-16)
harness=$work/harness-$stamp
if [ ! -x "$harness" ]; then
  echo "gpusim: building the simulation variant (CUDA 11.8, compute_80 PTX${defines[*]:+, ${defines[*]}})"
  (
    set +eu
    # shellcheck disable=SC1091
    source "$work/env.sh"
    set -eu
    nvcc -O3 -std=c++17 -DKEST_CUDA -DKEST_GPUSIM "${defines[@]}" -I. --fmad=false -ftz=false \
      -prec-div=true -gencode arch=compute_80,code=compute_80 --cudart shared \
      -Xcompiler -ffp-contract=off -c tools/gpusim/harness.cu -o "$harness.o"
    # The register figures the simulator will use for occupancy (it runs the same ptxas).
    cuobjdump -ptx "$harness.o" | sed -n '/^\.version/,$p' > "$harness.ptx"
    ptxas -arch=sm_80 --fmad false -v "$harness.ptx" -o /dev/null 2> "$harness.ptxas"
    g++ -o "$harness" "$harness.o" -L"$CUDA_INSTALL_PATH/lib64" -lcudart
  )
fi
config_file=$work/src/gpgpu-sim_distribution/configs/tested-cfgs/$config/gpgpusim.config

# resident KERNEL: threads of KERNEL that one multiprocessor holds at once (blocks of 256).
resident() {
  python3 tools/gpusim/report.py --resident "$harness.ptxas" "$config_file" "$1" 256
}

runs=${keep:-$(mktemp -d)}
mkdir -p "$runs"
[ -n "$keep" ] || trap 'rm -rf "$runs"' EXIT

# run NAME ARGS...: one harness run under the simulator; prints its check line and per-kernel
# figures; fails when the check does.
run() {
  local name=$1
  shift
  local dir=$runs/$name
  local sim=$work/src/gpgpu-sim_distribution
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$sim/configs/tested-cfgs/$config/"* "$dir/"
  # Some configurations give no latency for shuffles (the sixth integer figure): the simulator
  # then reads an unset value and crashes at the first shfl. Volta's figures fill the gap.
  sed -i -e 's/^\(-ptx_opcode_latency_int [0-9]*,[0-9]*,[0-9]*,[0-9]*,[0-9]*\)[[:space:]]*$/\1,21/' \
    -e 's/^\(-ptx_opcode_initiation_int [0-9]*,[0-9]*,[0-9]*,[0-9]*,[0-9]*\)[[:space:]]*$/\1,4/' \
    "$dir/gpgpusim.config"
  {
    echo "-gpgpu_n_clusters $sms"
    echo "-gpgpu_perf_sim_memcpy 0"
    if [ "$config" = SM90_H100 ]; then
      echo "-gpgpu_ptx_force_max_capability 80"
      echo "-gpgpu_memory_partition_indexing 0"
    fi
  } >> "$dir/gpgpusim.config"
  local start=$SECONDS rc=0
  (
    set +eu
    # shellcheck disable=SC1091
    source "$work/env.sh"
    cd "$dir"
    exec "$harness" "$@"
  ) > "$dir/sim.log" 2>&1 || rc=$?
  local check
  check=$(grep -E '^CHECK ' "$dir/sim.log" || true)
  if [ "$rc" -ne 0 ] || ! grep -q '^CHECK ok ' <<<"$check"; then
    echo "gpusim: $name failed (status $rc): ${check:-no check line}; the log: $dir/sim.log" >&2
    tail -20 "$dir/sim.log" >&2
    [ -n "$keep" ] || cp "$dir/sim.log" "$work/failed-$name.log"
    return 1
  fi
  echo "== $name ($config, $sms SM, $((SECONDS - start)) s of wall time): ${check#CHECK }"
  python3 tools/gpusim/report.py "$dir/sim.log"
}

stage_kernels=(cuda_staged_blake2b_key0 cuda_staged_blake2b_key1 cuda_staged_sha1 cuda_staged_sha256
  cuda_staged_sha3 cuda_staged_keccak cuda_staged_md2 cuda_staged_md5)
label=
[ "$config" = SM90_H100 ] && label=" (provisional configuration)"
echo "gpusim: $experiment on $config$label, $sms multiprocessor(s); simulated figures"
case $experiment in
  map-build) run map-build map-build "${1:-256}" ;;
  md2) run md2 md2 "${1:-36}" "${2:-32}" ;;
  md2-parts) run md2-parts md2-parts ;;
  md2-words) run md2-words md2-words ;;
  view) run view view ;;
  stage) run "stage-$1" stage "$1" "${2:-$(resident "${stage_kernels[$1]}")}" ;;
  stages)
    for t in 0 1 2 3 4 5 6 7; do
      run "stage-$t" stage "$t" "${1:-$(resident "${stage_kernels[$t]}")}"
    done
    run classify classify "${1:-$(resident cuda_staged_classify)}"
    run final final "${1:-$(resident cuda_staged_final)}"
    ;;
  classify) run classify classify "${1:-$(resident cuda_staged_classify)}" ;;
  final) run final final "${1:-$(resident cuda_staged_final)}" ;;
  search)
    run classic search classic "${1:-256}"
    run staged search staged "${1:-256}"
    ;;
  search-staged) run staged search staged "${1:-2048}" ;;
  search-classic) run classic search classic "${1:-256}" ;;
esac
