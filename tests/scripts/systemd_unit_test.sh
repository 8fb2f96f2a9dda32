#!/usr/bin/env bash
# shellcheck disable=SC2016  # the checks run bash -c with their own single-quoted text
# contrib/systemd/plominer.service through systemd's own checks: `systemd-analyze verify`
# (with ExecStart pointed at the built binary in a copy, since verify wants the command to
# exist) finds nothing to say about it, and `systemd-analyze security` rates the hardening at an
# exposure of 3.0 or less (a misspelled or dropped setting raises it, which verify only warns
# about).
# Usage: tests/scripts/systemd_unit_test.sh PLOMINER_BINARY
# Exits 77 (a skip for ctest) without systemd-analyze.
set -uo pipefail

unit=$(cd "$(dirname "$0")/../.." && pwd)/contrib/systemd/plominer.service
binary=$(readlink -f "$1")
command -v systemd-analyze >/dev/null || {
  echo "SKIP: systemd-analyze is not installed (scripts/install-deps.sh installs it)"
  exit 77
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "  PASS  $what"; else echo "  FAIL  $what"; failures=$((failures + 1)); fi
}

grep -q '^ExecStart=/opt/plominer/plominer ' "$unit" || { echo "  FAIL  no ExecStart of /opt/plominer/plominer in $unit"; exit 1; }
sed "s|^ExecStart=/opt/plominer/plominer |ExecStart=$binary |" "$unit" >"$scratch/plominer.service"
systemd-analyze verify "$scratch/plominer.service" >"$scratch/verify.out" 2>&1
status=$?
# Lines about other units of this machine are not the unit's own.
grep -i plominer "$scratch/verify.out" >"$scratch/own.out"
check "systemd-analyze verify accepts the unit without a warning (status $status$(
  [ -s "$scratch/own.out" ] && printf ': %s' "$(tr '\n' ' ' <"$scratch/own.out")"))" \
  bash -c '[ "$1" = 0 ] && [ ! -s "$2" ]' _ "$status" "$scratch/own.out"
systemd-analyze security --offline=true --threshold=30 --no-pager "$scratch/plominer.service" \
  >"$scratch/security.out" 2>&1
status=$?
check "systemd-analyze security: $(grep -o 'Overall exposure level.*' "$scratch/security.out" || echo 'no rating') (at most 3.0 wanted)" \
  [ "$status" = 0 ]

[ "$failures" = 0 ] || { echo "systemd unit: $failures check(s) FAILED"; exit 1; }
echo "systemd unit: all checks passed"
