#!/usr/bin/env bash
# Builds the pool-protocol fuzz targets (stratum_fuzz: line framer, line parser, base64 codec;
# getwork_fuzz: getwork answer reader) with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded number of inputs.
# Usage: scripts/fuzz.sh [RUNS]   (default 1000000)
# New inputs that reach new code are kept in build-fuzz/corpus (build-fuzz/getwork_corpus) for
# the next run; a crash or a failed property leaves its input in build-fuzz/ and ends the script
# with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-1000000}
out=build-fuzz
mkdir -p "$out/corpus" "$out/getwork_corpus"

clang++ -std=c++17 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I. tools/fuzz/stratum_fuzz.cpp pool/stratum_parser.cpp app/utils.cpp \
  -o "$out/stratum_fuzz"

"$out/stratum_fuzz" -runs="$runs" -max_len=4096 -dict=tools/fuzz/stratum.dict \
  -artifact_prefix="$out/" -print_final_stats=1 "$out/corpus" tools/fuzz/corpus

clang++ -std=c++17 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I. tools/fuzz/getwork_fuzz.cpp pool/getwork_answer.cpp app/utils.cpp \
  -o "$out/getwork_fuzz"

"$out/getwork_fuzz" -runs="$runs" -max_len=4096 -dict=tools/fuzz/getwork.dict \
  -artifact_prefix="$out/getwork-" -print_final_stats=1 "$out/getwork_corpus" \
  tools/fuzz/getwork_corpus
