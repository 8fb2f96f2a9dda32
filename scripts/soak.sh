#!/usr/bin/env bash
# Soak: runs plominer (software device) against plo-testpool --chaos for MINUTES of mining,
# then checks that nothing was crashed, duplicated, miscounted or leaked.
# Usage: scripts/soak.sh [MINUTES]   (default 3)
# Environment:
#   SOAK_SEED       chaos seed (default 1; the chaos repeats for a seed, except for timing)
#   SOAK_DIFF       share difficulty (default 10: a few shares a second on one CPU core)
#   SOAK_CPUS       CPUs the miner may run on, for taskset (default 0: one core of the rig)
#   SOAK_BUILD_DIR  build to use (default build; e.g. build-asan for a sanitizer soak)
#   SOAK_KEEP       keep the scratch directory (logs, ledger, RSS samples) when set to 1
# Checks, each printed as PASS or FAIL:
#   - the miner exits with status 0 after "q", and neither program prints a sanitizer report;
#   - the pool received shares, no nonce twice, and none that is not a solution of a job it
#     sent (invalid or malformed);
#   - the miner's share screen ("i") agrees with the pool's ledger: every share line the miner
#     wrote reached the pool, every candidate that passed the CPU check was written or counted
#     as dropped unsent, and none failed the CPU check;
#   - resident memory is flat after warm-up: the largest sample of the last third of the run
#     is at most SOAK_RSS_SLACK_MIB (default 8) above the first sample after warm-up. The miner
#     holds about 1.1 GiB, almost all of it the tile map, allocated once; the rest (queues,
#     line buffers) stays within a few MiB, so a leak per share, job or connection at the
#     chaos rates shows up as growth well beyond that.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

minutes=${1:-3}
[[ "$minutes" =~ ^[0-9]+$ ]] && [ "$minutes" -ge 1 ] || { echo "usage: $0 [MINUTES]" >&2; exit 2; }
seed=${SOAK_SEED:-1}
diff=${SOAK_DIFF:-10}
cpus=${SOAK_CPUS:-0}
build=${SOAK_BUILD_DIR:-build}
slack_mib=${SOAK_RSS_SLACK_MIB:-8}
sample_s=5
warmup_s=30  # after the tile map is built

if [ "$build" = build ]; then
  cmake -S . -B build -G Ninja -DKEST_CUDA=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target plominer plo-testpool >/dev/null

scratch=$(mktemp -d /tmp/plominer-soak.XXXXXX)
pool_pid=""
miner_pid=""
cleanup() {
  [ -n "$miner_pid" ] && kill -KILL "$miner_pid" 2>/dev/null || true
  [ -n "$pool_pid" ] && kill -INT "$pool_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "${SOAK_KEEP:-0}" = 1 ]; then echo "soak: files kept in $scratch"; else rm -rf "$scratch"; fi
}
trap cleanup EXIT
cd "$scratch"

"$root/$build/tools/testpool/plo-testpool" --port 0 --diff "$diff" --block 1 --chaos "$seed" \
  --ledger ledger.txt >pool.log 2>&1 &
pool_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' pool.log | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "soak: the test pool did not start"; cat pool.log; exit 1; }

printf 'soak%%computername%%\nx\nstratum+tcp://127.0.0.1:%s\n' "$port" >config.txt
printf '1\n0 100\n' >deviceconfig.txt
mkfifo keys
taskset -c "$cpus" nice -n 10 "$root/$build/app/plominer" <keys >miner.log 2>&1 &
miner_pid=$!
exec 3>keys  # the miner's keyboard; kept open so it never sees the end of its input

start=$(date +%s)
rss() { ps -o rss= -p "$miner_pid" 2>/dev/null | tr -d ' ' || true; }
: >rss.txt
echo "soak: seed $seed, difficulty $diff, pool on port $port, miner pid $miner_pid on CPUs $cpus"

# Warm-up: set-up and the first tile map build on the CPU (a minute or more on one core).
built=""
while [ -z "$built" ]; do
  kill -0 "$miner_pid" 2>/dev/null || break
  [ $(($(date +%s) - start)) -lt 1200 ] || break
  grep -q "tile map built" miner.log && built=$(($(date +%s) - start))
  echo "$(($(date +%s) - start)) $(rss)" >>rss.txt
  sleep "$sample_s"
done
if [ -z "$built" ]; then
  echo "soak: FAIL the miner never finished its tile map"; tail -n 30 miner.log; exit 1
fi
echo "soak: tile map built after ${built} s; mining for $minutes min"

end=$((built + minutes * 60))
while [ $(($(date +%s) - start)) -lt "$end" ] && kill -0 "$miner_pid" 2>/dev/null; do
  echo "$(($(date +%s) - start)) $(rss)" >>rss.txt
  sleep "$sample_s"
done

printf 'i\n' >&3
sleep 2
printf 'q\n' >&3
miner_status=""
for _ in $(seq 1 600); do
  if ! kill -0 "$miner_pid" 2>/dev/null; then
    miner_status=0
    wait "$miner_pid" || miner_status=$?
    break
  fi
  sleep 0.1
done
exec 3>&-
if [ -z "$miner_status" ]; then
  kill -KILL "$miner_pid" 2>/dev/null || true
  miner_status="none (still running 60 s after q; killed)"
fi
miner_pid=""
sleep 2  # lets the pool read what the miner wrote last
kill -INT "$pool_pid"
wait "$pool_pid" || true
pool_pid=""
elapsed=$(($(date +%s) - start))

# ---------------------------------------------------------------------------------------------
failures=0
check() {  # check CONDITION-STATUS DESCRIPTION
  if [ "$1" = 0 ]; then echo "  PASS  ${*:2}"; else echo "  FAIL  ${*:2}"; failures=$((failures + 1)); fi
}
ledger() { sed -n "s/^$1 \([0-9]*\)$/\1/p" ledger.txt; }
screen() {  # value of the last "LABEL: n" line of the share screen, or nothing
  sed -n "s/^$1: \([0-9]*\)\s*$/\1/p" miner.log | tail -n 1
}

echo "soak summary ($elapsed s in all, $minutes min of mining, seed $seed):"
check "$([ "$miner_status" = 0 ] && echo 0 || echo 1)" "miner exit status: $miner_status"
sanitizer='AddressSanitizer|LeakSanitizer|ThreadSanitizer|UndefinedBehaviorSanitizer|runtime error:'
check "$(grep -aEq "$sanitizer" miner.log pool.log && echo 1 || echo 0)" "no sanitizer report"
[ -s ledger.txt ] || { echo "  FAIL  the pool wrote no ledger"; exit 1; }

submits=$(ledger submits); accepted=$(ledger accepted); stale=$(ledger stale)
duplicates=$(ledger duplicates); invalid=$(ledger invalid); bad=$(ledger bad_nonce)
echo "  pool: $submits submits: $accepted accepted, $stale stale, $duplicates duplicate," \
     "$invalid invalid, $bad malformed; chaos: $(ledger connections) connections" \
     "($(ledger refused) refused, $(ledger chaos_disconnects) dropped), $(ledger garbage_lines)" \
     "garbage lines ($(ledger bad_jobs) bad jobs), $(ledger oversized_lines) oversized," \
     "$(ledger stalls) stalls, $(ledger split_lines) split lines, $(ledger jobs) jobs," \
     "$(ledger templates) templates, $(ledger new_blocks) new blocks"
check "$([ "$accepted" -gt 0 ] && echo 0 || echo 1)" "shares reached the pool ($accepted accepted)"
check "$([ "$duplicates" = 0 ] && echo 0 || echo 1)" "no duplicate submits ($duplicates)"
check "$([ "$invalid" = 0 ] && [ "$bad" = 0 ] && echo 0 || echo 1)" \
  "every submit solves a job the pool sent ($invalid invalid, $bad malformed)"

# The share screen is printed a moment before "q": shares may still be written after it. Count
# the candidates that passed the CPU check before the screen and after it.
screen_line=$(grep -an "^Share result:" miner.log | tail -n 1 | cut -d: -f1)
passed=$(head -n "${screen_line:-0}" miner.log | grep -ac "^Submitting shares" || true)
passed_after=$(($(grep -ac "^Submitting shares" miner.log || true) - passed))
submitted=$(screen Submitted); cpu_failed=$(screen "CPU failed check")
stale_dropped=$(screen "Stale (job replaced)"); unsent=$(screen "Dropped unsent")
pool_errors=$(screen "Pool error replies")
if [ -z "$submitted" ] || [ -z "$cpu_failed" ] || [ -z "$unsent" ]; then
  echo "  SKIP  miner counters: the share screen lacks the Submitted / CPU failed check /" \
       "Dropped unsent lines (a miner from before the new 'i' screen); nothing compared"
else
  echo "  miner at its share screen: $passed passed the CPU check, $submitted submitted," \
       "$unsent dropped unsent, ${stale_dropped:-?} stale dropped, $cpu_failed failed the CPU" \
       "check, ${pool_errors:-?} pool error replies; $passed_after more passed before q"
  check "$([ "$submits" -ge "$submitted" ] && [ "$submits" -le $((submitted + passed_after)) ] \
    && echo 0 || echo 1)" "every share line the miner wrote reached the pool, once ($submitted" \
    "written by the screen, $passed_after more possible before q, $submits received)"
  queued=$((passed - submitted - unsent))
  check "$([ "$queued" -ge 0 ] && [ "$queued" -le 16 ] && echo 0 || echo 1)" \
    "every candidate that passed the CPU check was written or counted as dropped ($passed =" \
    "$submitted + $unsent + $queued queued at the screen, at most 16 queued allowed)"
  check "$([ "$cpu_failed" = 0 ] && echo 0 || echo 1)" "no candidate failed the CPU check"
fi

# RSS: first sample at least warmup_s after the map was built, then the last third.
read -r base max_late samples <<<"$(awk -v from=$((built + warmup_s)) '
  BEGIN { n = 0 }
  $2 != "" && $1 >= from { r[n] = $2; n++ }
  END {
    if (n < 3) { print "0 0 " n; exit }
    m = 0; for (i = n - int(n / 3); i < n; i++) if (r[i] > m) m = r[i]
    print r[0], m, n
  }' rss.txt)"
if [ "$samples" -lt 3 ]; then
  echo "  SKIP  RSS: only $samples samples after warm-up"
else
  growth=$(((max_late - base) / 1024))
  check "$([ $((max_late - base)) -le $((slack_mib * 1024)) ] && echo 0 || echo 1)" \
    "RSS flat after warm-up: $((base / 1024)) MiB, last third at most $((max_late / 1024)) MiB (+$growth MiB, limit +$slack_mib MiB, $samples samples)"
fi

if [ "$failures" -gt 0 ]; then
  echo "soak: $failures check(s) FAILED"
  echo "--- miner log (last 40 lines)"; tail -n 40 miner.log
  cp ledger.txt rss.txt miner.log pool.log "$root/$build/" 2>/dev/null || true
  echo "(logs copied to $build/)"
  exit 1
fi
echo "soak: all checks passed"
