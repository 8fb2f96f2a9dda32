#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer and
# runs each of them, bounded:
#   stratum_fuzz       pool line framer, line parser and base64 codec
#   job_fuzz           job decode of a work record, base64
#   config_fuzz        config.txt
#   deviceconfig_fuzz  deviceconfig.txt
#   getwork_fuzz       getwork answer reader (when its source is present)
#   address_fuzz       pool and bind addresses of the command line and config.txt
# Usage: scripts/fuzz.sh [RUNS | --seconds [S]] [TARGET...]
#   RUNS         inputs per target (default 1000000)
#   --seconds S  run each target for S seconds instead (default 60; CI passes a smaller value)
#   TARGET       only these targets (default: all)
# Inputs that reach new code are kept in build-fuzz/corpus-TARGET for the next run. A crash, a
# sanitizer report, a time-out or a failed property leaves its input in build-fuzz/ and makes
# the script end with a non-zero status after the remaining targets have run.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-runs=1000000)
if [ "${1:-}" = "--seconds" ]; then
  shift
  seconds=60
  if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
  limit=(-max_total_time="$seconds")
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  limit=(-runs="$1")
  shift
fi

all=(stratum_fuzz job_fuzz config_fuzz deviceconfig_fuzz address_fuzz)
[ -f tools/fuzz/getwork_fuzz.cpp ] && all+=(getwork_fuzz)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

out=build-fuzz
mkdir -p "$out"
swdev=(gpu/softdevice/config.cpp gpu/softdevice/launch.cpp gpu/softdevice/runtime.cpp)
# The text utilities with the console's log file and the process end they use.
utils=(app/utils.cpp app/log_file.cpp app/process_exit.cpp)

sources() {
  case $1 in
    stratum_fuzz) echo tools/fuzz/stratum_fuzz.cpp pool/stratum_parser.cpp ${utils[*]} ;;
    job_fuzz) echo tools/fuzz/job_fuzz.cpp ${utils[*]} ;;
    address_fuzz) echo tools/fuzz/address_fuzz.cpp app/pool_address.cpp ${utils[*]} ;;
    getwork_fuzz) echo tools/fuzz/getwork_fuzz.cpp pool/getwork_answer.cpp ${utils[*]} ;;
    config_fuzz | deviceconfig_fuzz)
      echo "tools/fuzz/$1.cpp app/config.cpp app/pool_address.cpp app/CudaUtils.cpp ${utils[*]} ${swdev[*]}" ;;
    *) return 1 ;;
  esac
}

# Seed corpus of a target (checked in, small) and its extra options.
seeds() {
  case $1 in
    stratum_fuzz) echo tools/fuzz/corpus ;;
    getwork_fuzz) echo tools/fuzz/getwork_corpus ;;
    *) echo "tools/fuzz/corpus-${1%_fuzz}" ;;
  esac
}
options() {
  case $1 in
    stratum_fuzz) echo -max_len=4096 -dict=tools/fuzz/stratum.dict ;;
    job_fuzz) echo -max_len=4096 ;;
    getwork_fuzz) echo -max_len=4096 -dict=tools/fuzz/getwork.dict ;;
    address_fuzz) echo -max_len=512 -dict=tools/fuzz/address.dict ;;
    *) echo -max_len=1024 ;;
  esac
}

failed=()
for target in "${targets[@]}"; do
  src=$(sources "$target") || { echo "unknown fuzz target: $target" >&2; exit 2; }
  # shellcheck disable=SC2086
  clang++ -std=c++17 -O1 -g -fno-omit-frame-pointer -DKEST_SOFTWARE_DEVICE=1 -pthread \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I. $src -o "$out/$target"
  mkdir -p "$out/corpus-$target"
  echo "=== $target (${limit[*]})"
  # shellcheck disable=SC2046
  if ! "$out/$target" "${limit[@]}" $(options "$target") -timeout=10 \
      -artifact_prefix="$out/$target-" -print_final_stats=1 \
      "$out/corpus-$target" "$(seeds "$target")"; then
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: FAILED: ${failed[*]} (inputs in $out/)" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} target(s) ran clean"
