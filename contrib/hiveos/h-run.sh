#!/usr/bin/env bash
# Started by HiveOS after h-config.sh: runs the miner from this directory with the
# config.txt h-config.sh wrote, the API on 127.0.0.1:$PLOMINER_API_PORT (21550 unless the
# environment says otherwise) for h-stats.sh, the log file HiveOS shows, and the flight sheet's
# extra options. The miner replaces this shell, so HiveOS's SIGTERM reaches it directly.
cd "$(dirname "${BASH_SOURCE[0]}")" || exit 1
# shellcheck source=h-manifest.conf
. ./h-manifest.conf || exit 1
say="plominer h-run.sh:"
if [ ! -s "$CUSTOM_CONFIG_FILENAME" ]; then
  echo "$say no $CUSTOM_CONFIG_FILENAME: h-config.sh writes it from the flight sheet" >&2
  exit 1
fi
missing=$(LD_LIBRARY_PATH="$PWD${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" ldd ./plominer 2>&1 |
  sed -n 's/^[[:space:]]*\([^[:space:]]*\) => not found.*/\1/p' | tr '\n' ' ')
if [ -n "$missing" ]; then
  echo "$say this rig lacks libraries the miner needs: $missing" >&2
  exit 1
fi
extra=()
[ -r extra-options.txt ] && read -r -a extra <extra-options.txt
mkdir -p "$(dirname "$CUSTOM_LOG_BASENAME")"
export LD_LIBRARY_PATH="$PWD${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
exec ./plominer --config "$CUSTOM_CONFIG_FILENAME" --api-bind "127.0.0.1:$PLOMINER_API_PORT" \
  --log-file "$CUSTOM_LOG_BASENAME.log" "${extra[@]}"
