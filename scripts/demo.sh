#!/usr/bin/env bash
# Demo: builds the software-device miner and the local test pool, starts the pool on a free
# port, writes a config.txt pointing at it in a scratch directory and runs the miner there.
# Press q then Enter to stop. Usage: scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DKEST_CUDA=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target plominer plo-testpool

scratch=$(mktemp -d /tmp/plominer-demo.XXXXXX)
pool_log="$scratch/pool.log"
"$root/build/tools/testpool/plo-testpool" --port 0 --diff "${DEMO_DIFF:-15}" --block 1 \
  --refresh-block 0 --job-every 60 >"$pool_log" 2>&1 &
pool_pid=$!
cleanup() {
  kill -INT "$pool_pid" 2>/dev/null || true
  wait "$pool_pid" 2>/dev/null || true
  echo
  echo "=== test pool log (summary at the end) ==="
  cat "$pool_log"
  rm -rf "$scratch"
}
trap cleanup EXIT

port=""
for _ in $(seq 1 50); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$pool_log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "test pool did not start"; exit 1; }

printf '%s\n%s\n%s\n' "0xdemo%computername%" "QXV" "stratum+tcp://127.0.0.1:$port" \
  >"$scratch/config.txt"
echo "Test pool on 127.0.0.1:$port; miner runs in $scratch. Press q then Enter to stop."
cd "$scratch"
"$root/build/app/plominer"
