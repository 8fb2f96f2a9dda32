#!/usr/bin/env bash
# The simulator script's usage works without the simulator: --help lists every experiment, and
# a mistyped experiment or option is refused with status 2 before anything is set up.
set -u
script=$(dirname "$0")/../../scripts/gpusim.sh
fail=0
help=$("$script" --help) || { echo "--help failed"; fail=1; }
for word in setup map-build stages stage search --config --sms; do
  grep -q -- "$word" <<<"$help" || { echo "--help does not mention $word"; fail=1; }
done
for args in "map-bild" "--frobnicate search" "--config SM00_NONE search" "--sms x search" "stage" \
  "--sms 0 stages" "search 256 9" "search-staged 2048 x"; do
  # shellcheck disable=SC2086
  KEST_GPUSIM_TOOLS=/nonexistent "$script" $args >/dev/null 2>&1
  rc=$?
  [ "$rc" -eq 2 ] || { echo "'$args' gave status $rc, not 2"; fail=1; }
done
exit $fail
