#!/usr/bin/env bash
# The kernel report's analysis on a canned PTX file and ptxas log (no nvcc): attribution of
# register-indexed constant loads to their symbols (loop-carried pointers, a table passed to a
# device function, a generic load through cvta.const, a pointer that went through memory, a
# table copied into shared memory),
# spills of a called function, the verdicts and the exit status.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
data="$root/tests/scripts/data"
report() {
  "$root/scripts/kernel-report.sh" --ptx "$data/kernel_report.ptx" \
    --ptxas-log "$data/kernel_report_ptxas.log" "$@" | tr -s ' '
}
failures=0
expect() {  # expect <output> <extended regex of one whole line>
  if ! grep -qxE -- "$2" <<<"$1"; then
    echo "missing line: $2"
    failures=$((failures + 1))
  fi
}

out=$(report)
rc=$?
[ "$rc" -eq 1 ] || { echo "exit status $rc, want 1"; failures=$((failures + 1)); }
# kernel, registers, stack, spills, callees, per-lane, uniform, copies, verdict
expect "$out" "cuda_per_lane 40 8 0/0 1 5 0 0 FAIL: per-lane ld.const"
expect "$out" "cuda_spill 255 16 4/8 1 0 0 0 FAIL: spills"
expect "$out" "cuda_uniform 12 0 0/0 0 0 1 1 ok"
expect "$out" " cuda_per_lane s 2 per-lane"
expect "$out" " cuda_per_lane Z_ADJ 1 per-lane"
expect "$out" " cuda_per_lane Z_NS 1 per-lane"
expect "$out" " cuda_per_lane \(unknown\) 1 per-lane"
expect "$out" " cuda_uniform cuda_sha256_k 1 uniform"
expect "$out" " cuda_uniform s \(copy to shared\) 1 allowed: .*"
expect "$out" "FAIL: cuda_per_lane, cuda_spill"
if grep -q kernel_batch <<<"$out"; then
  echo "batch kernel reported without --all"
  failures=$((failures + 1))
fi

out=$(report --no-fail --all)
rc=$?
[ "$rc" -eq 0 ] || { echo "--no-fail: exit status $rc, want 0"; failures=$((failures + 1)); }
expect "$out" "kernel_batch 8 0 0/0 0 1 0 0 \(not judged\)"

"$root/scripts/kernel-report.sh" --ptx "$data/kernel_report.ptx" >/dev/null 2>&1
rc=$?
[ "$rc" -eq 2 ] || { echo "--ptx without --ptxas-log: exit status $rc, want 2"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s); the report was:"
  report --all
  exit 1
fi
echo "kernel report analysis: all checks passed"
