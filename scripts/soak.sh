#!/usr/bin/env bash
# Soak: runs plominer (software device) against two plo-testpool --chaos pools (a main pool and
# a failover pool, different chaos seeds, one previous-block hash so that moving between them
# keeps the tile map) for MINUTES of mining, polls the monitoring API throughout, ends the miner
# with SIGTERM after an "i" screen, then checks that nothing was crashed, duplicated, lost,
# miscounted or leaked.
# Usage: scripts/soak.sh [MINUTES]   (default 3)
# Environment:
#   SOAK_SEED       chaos seed of the main pool (default 1; the failover pool gets SEED + 1000;
#                   the chaos repeats for a seed, except for timing)
#   SOAK_DIFF       share difficulty (default 10: a few shares a second on one CPU core)
#   SOAK_CPUS       CPUs the miner may run on, for taskset (default 0: one core of the rig)
#   SOAK_BUILD_DIR  build to use (default build; e.g. build-asan for a sanitizer soak)
#   SOAK_KEEP       keep the scratch directory (logs, ledgers, API polls, RSS samples) when 1
#   SOAK_FIRST_LONG_STALL  the main pool freezes the miner's connection (a long stall, 20 to
#                   40 s) this many seconds after the first share (default 20; 0: only the
#                   chaos schedule's long stalls, every few minutes)
#   SOAK_POLL_S     seconds between two polls of the API's summary (default 3)
#   SOAK_UNCONFIRMED_SLACK  see the unconfirmed check below (default 2)
# Checks, each printed as PASS, FAIL or SKIP (SKIP: the miner lacks the counter or line):
#   - the miner exits with status 0 after SIGTERM, and no program prints a sanitizer report;
#   - every poll of GET /api/v1/summary succeeded while the miner ran;
#   - the pools received shares, no nonce twice within or across the two ledgers, and none that
#     is not a solution of a job the pool sent (invalid or malformed);
#   - the miner's share screen ("i") agrees with the ledgers: every share counted submitted
#     reached a pool, and the pools received no more than what the miner wrote; shares counted
#     unconfirmed (connection lost) are at most those the pools cannot have answered; every
#     candidate that passed the CPU check was submitted, counted unconfirmed or dropped unsent
#     (a few may still be queued at the screen); none failed the CPU check;
#   - the API's share counters agree with the screen (read just before and just after it);
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
first_long_stall=${SOAK_FIRST_LONG_STALL:-20}
poll_s=${SOAK_POLL_S:-3}
unconfirmed_slack=${SOAK_UNCONFIRMED_SLACK:-2}
sample_s=5
warmup_s=30  # after the tile map is built

if [ "$build" = build ]; then
  cmake -S . -B build -G Ninja -DKEST_CUDA=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target plominer plo-testpool >/dev/null
miner_bin=$root/$build/app/plominer
pool_bin=$root/$build/tools/testpool/plo-testpool

scratch=$(mktemp -d /tmp/plominer-soak.XXXXXX)
pool_pids=()
miner_pid=""
poller_pid=""
cleanup() {
  [ -n "$poller_pid" ] && touch "$scratch/stop-polls" 2>/dev/null || true
  [ -n "$miner_pid" ] && kill -KILL "$miner_pid" 2>/dev/null || true
  for pid in "${pool_pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "${SOAK_KEEP:-0}" = 1 ]; then echo "soak: files kept in $scratch"; else rm -rf "$scratch"; fi
}
trap cleanup EXIT
cd "$scratch"

# start_pool NAME ARGS...: starts a chaos pool logging to NAME.log with its ledger in
# NAME-ledger.txt; sets `port`.
start_pool() {
  local name=$1
  port=""
  shift
  "$pool_bin" --port 0 --diff "$diff" --block 1 --prev-hash-seed $((7919 + seed)) \
    --ledger "$name-ledger.txt" "$@" >"$name.log" 2>&1 &
  pool_pids+=($!)
  for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$name.log" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "soak: the test pool $name did not start"; cat "$name.log"; exit 1; }
}
main_args=(--chaos "$seed")
[ "$first_long_stall" -gt 0 ] && main_args+=(--first-long-stall "$first_long_stall")
start_pool main "${main_args[@]}"
main_port=$port
start_pool backup --chaos $((seed + 1000))
backup_port=$port

miner_args=(-o "stratum+tcp://127.0.0.1:$main_port" -o "stratum+tcp://127.0.0.1:$backup_port"
  --idle-timeout 8 --failover-after 5 --retry-main 20 --api-bind 127.0.0.1:0)
# The response watch (a ping after this long without an answer to a share, the connection
# lost after as long again) where the miner has it.
miner_help=$("$miner_bin" --help 2>&1 || true)
[[ "$miner_help" == *--response-timeout* ]] && miner_args+=(--response-timeout 4)

printf 'soak%%computername%%\nx\nstratum+tcp://127.0.0.1:%s\n' "$main_port" >config.txt
printf '1\n0 100\n' >deviceconfig.txt
mkfifo keys
taskset -c "$cpus" nice -n 10 "$miner_bin" "${miner_args[@]}" <keys >miner.log 2>&1 &
miner_pid=$!
exec 3>keys  # the miner's keyboard; kept open so it never sees the end of its input

start=$(date +%s)
rss() { ps -o rss= -p "$miner_pid" 2>/dev/null | tr -d ' ' || true; }
: >rss.txt
echo "soak: seeds $seed and $((seed + 1000)), difficulty $diff, pools on ports $main_port and" \
     "$backup_port, miner pid $miner_pid on CPUs $cpus (${miner_args[*]:4})"

api_port=""
for _ in $(seq 1 600); do
  api_port=$(sed -n 's|^API listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' miner.log | head -n 1)
  [ -n "$api_port" ] && break
  kill -0 "$miner_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$api_port" ] || { echo "soak: FAIL the miner never said where its API listens"; tail -n 30 miner.log; exit 1; }

# api_get FILE: one GET of the summary into FILE; status 0 when it answered 200.
api_get() {
  local code
  code=$(curl -sS --max-time 5 -o "$1" -w '%{http_code}' \
    "http://127.0.0.1:$api_port/api/v1/summary" 2>>curl-errors.txt) || true
  [ "$code" = 200 ]
}
# The API poll, every poll_s seconds until told to stop: one line per poll in polls.txt
# ("SECONDS ok JSON" or "SECONDS FAIL"); a failure only counts while the miner is alive.
(
  while [ ! -e stop-polls ] && kill -0 "$miner_pid" 2>/dev/null; do
    t=$(($(date +%s) - start))
    if api_get poll.json; then
      echo "$t ok $(tr -d '\n' <poll.json)" >>polls.txt
    elif kill -0 "$miner_pid" 2>/dev/null; then
      echo "$t FAIL" >>polls.txt
    fi
    sleep "$poll_s"
  done
) &
poller_pid=$!

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

# The share screen, with an API read just before and just after it, then SIGTERM.
screens_before=$(grep -ac "^Share result:" miner.log || true)
api_get api-before.json || : >api-before.json
printf 'i\n' >&3
for _ in $(seq 1 50); do
  [ "$(grep -ac "^Share result:" miner.log || true)" -gt "$screens_before" ] && break
  sleep 0.1
done
sleep 0.2  # the whole screen is one write; this only lets it land in the log
api_get api-after.json || : >api-after.json
touch stop-polls
wait "$poller_pid" 2>/dev/null || true
poller_pid=""
kill -TERM "$miner_pid" 2>/dev/null || true
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
  miner_status="none (still running 60 s after SIGTERM; killed)"
fi
miner_pid=""
sleep 2  # lets the pools read what the miner wrote last
for pid in "${pool_pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
for pid in "${pool_pids[@]}"; do wait "$pid" || true; done
pool_pids=()
elapsed=$(($(date +%s) - start))

# ---------------------------------------------------------------------------------------------
failures=0
check() {  # check CONDITION-STATUS DESCRIPTION
  if [ "$1" = 0 ]; then echo "  PASS  ${*:2}"; else echo "  FAIL  ${*:2}"; failures=$((failures + 1)); fi
}
ok() { "$@" && echo 0 || echo 1; }  # a condition as a check status
ledger() {  # sum of a ledger field over both pools
  local total=0 value
  for name in main backup; do
    value=$(sed -n "s/^$1 \([0-9]*\)$/\1/p" "$name-ledger.txt")
    total=$((total + ${value:-0}))
  done
  echo "$total"
}
# screen N LABEL: value of the "LABEL: n" line of the N-th share screen (0: the last), or nothing.
screen() {
  awk -v n="$1" -v label="$2" '
    /^Share result:/ { k++; next }
    index($0, label ": ") == 1 && (n == 0 || k == n) {
      v = substr($0, length(label) + 3); sub(/[ \t\r]+$/, "", v)
      if (v ~ /^[0-9]+$/) found = v
    }
    END { if (found != "") print found }' miner.log
}
api_share() {  # api_share FILE NAME: a counter of the shares object, or nothing
  sed -n 's/.*"shares":{\([^}]*\)}.*/\1/p' "$1" | tr ',' '\n' | sed -n "s/^\"$2\":\([0-9]*\)$/\1/p"
}

echo "soak summary ($elapsed s in all, $minutes min of mining, seeds $seed and $((seed + 1000))):"
check "$(ok [ "$miner_status" = 0 ])" "miner exit status after SIGTERM: $miner_status"
sanitizer='AddressSanitizer|LeakSanitizer|ThreadSanitizer|UndefinedBehaviorSanitizer|runtime error:'
check "$(grep -aEq "$sanitizer" miner.log main.log backup.log && echo 1 || echo 0)" \
  "no sanitizer report"
polls=$(grep -c " ok " polls.txt 2>/dev/null || true)
poll_failures=$(grep -c " FAIL$" polls.txt 2>/dev/null || true)
check "$([ "${polls:-0}" -gt 0 ] && [ "${poll_failures:-0}" = 0 ] && echo 0 || echo 1)" \
  "the API answered every poll while the miner ran (${polls:-0} polls every $poll_s s," \
  "${poll_failures:-0} failed)"
for name in main backup; do
  [ -s "$name-ledger.txt" ] || { echo "  FAIL  the $name pool wrote no ledger"; exit 1; }
done

submits=$(ledger submits); accepted=$(ledger accepted); stale=$(ledger stale)
invalid=$(ledger invalid); bad=$(ledger bad_nonce)
for name in main backup; do
  f() { sed -n "s/^$1 \([0-9]*\)$/\1/p" "$name-ledger.txt"; }
  echo "  $name pool: $(f submits) submits: $(f accepted) accepted, $(f stale) stale," \
       "$(f duplicates) duplicate, $(f invalid) invalid, $(f bad_nonce) malformed;" \
       "$(f unanswered) unanswered, $(f long_stall_submits) read after a long stall; chaos: $(f connections) connections ($(f refused) refused," \
       "$(f chaos_disconnects) dropped), $(f garbage_lines) garbage lines ($(f bad_jobs) bad" \
       "jobs), $(f oversized_lines) oversized, $(f stalls) stalls, $(f long_stalls) long" \
       "stalls, $(f split_lines) split lines, $(f jobs) jobs, $(f templates) templates," \
       "$(f new_blocks) new blocks"
done
check "$(ok [ "$accepted" -gt 0 ])" "shares reached the pools ($accepted accepted)"
grep -h "^nonce " main-ledger.txt backup-ledger.txt | sort | uniq -d >repeated-nonces.txt
repeated=$(wc -l <repeated-nonces.txt)
check "$(ok [ "$repeated" = 0 ])" \
  "no nonce twice within or across the two ledgers ($submits submits, $repeated repeated)"
check "$([ "$invalid" = 0 ] && [ "$bad" = 0 ] && echo 0 || echo 1)" \
  "every submit solves a job its pool sent ($invalid invalid, $bad malformed)"
if [ "$first_long_stall" -gt 0 ]; then
  main_long=$(sed -n 's/^long_stalls \([0-9]*\)$/\1/p' main-ledger.txt)
  check "$(ok [ "${main_long:-0}" -gt 0 ])" \
    "the main pool froze the miner's connection at least once (${main_long:-0} long stalls)"
fi

# The screen asked for above is number screens_before + 1; a miner may print another at exit.
n=$((screens_before + 1))
screen_line=$(grep -an "^Share result:" miner.log | sed -n "${n}p" | cut -d: -f1)
passed=$(head -n "${screen_line:-0}" miner.log | grep -ac "^Submitting shares" || true)
passed_after=$(($(grep -ac "^Submitting shares" miner.log || true) - passed))
submitted=$(screen "$n" Submitted); cpu_failed=$(screen "$n" "CPU failed check")
unconfirmed=$(screen "$n" "Unconfirmed (connection lost)")
stale_dropped=$(screen "$n" "Stale (job replaced)"); unsent=$(screen "$n" "Dropped unsent")
pool_errors=$(screen "$n" "Pool error replies")
if [ -z "$screen_line" ] || [ -z "$submitted" ] || [ -z "$cpu_failed" ] || [ -z "$unsent" ]; then
  echo "  SKIP  miner counters: the share screen lacks the Submitted / CPU failed check /" \
       "Dropped unsent lines (a miner from before the new 'i' screen); nothing compared"
else
  echo "  miner at its share screen: $passed passed the CPU check, $submitted submitted," \
       "${unconfirmed:-?} unconfirmed (connection lost), $unsent dropped unsent," \
       "${stale_dropped:-?} stale dropped, $cpu_failed failed the CPU check," \
       "${pool_errors:-?} pool error replies; $passed_after more passed before the end"
  lost=${unconfirmed:-0}  # a miner without the counter counted a share submitted once written
  # Queued at the screen: passed the CPU check but not yet confirmed, lost or dropped (still
  # queued, or written and waiting for the pool's answer).
  queued=$((passed - submitted - lost - unsent))
  check "$([ "$submits" -ge "$submitted" ] &&
    [ "$submits" -le $((submitted + lost + queued + passed_after)) ] && echo 0 || echo 1)" "every share counted submitted reached a pool, and no more than the" \
    "miner wrote ($submitted submitted + $lost unconfirmed + $queued queued by the screen," \
    "$passed_after more possible before the end; $submits received)"
  check "$([ "$queued" -ge 0 ] && [ "$queued" -le 16 ] && echo 0 || echo 1)" \
    "nothing silently lost: every candidate that passed the CPU check was submitted, counted" \
    "unconfirmed or dropped ($passed = $submitted + $lost + $unsent + $queued queued at the" \
    "screen, at most 16 queued allowed)"
  check "$(ok [ "$cpu_failed" = 0 ])" "no candidate failed the CPU check"
  final_unconfirmed=$(screen 0 "Unconfirmed (connection lost)")
  if [ -z "$final_unconfirmed" ]; then
    echo "  SKIP  unconfirmed shares: the share screen lacks the Unconfirmed (connection lost)" \
         "line (a miner from before that counter)"
  else
    # The pools count, per connection, the submits after the last whole line the miner surely
    # saw: none written after them, or only lines after one over its line limit (it drops the
    # connection there), or only lines written in the last 2 s before the pool read the
    # hang-up. A connection the miner gave up during a long stall is read only after it, and
    # its piled-up submits are answered just before the pool reads the hang-up, so they count
    # too. The slack covers the one case the pool cannot see: the miner hanging up more than
    # 2 s after an answer reached its socket without having read it. Its network thread reads
    # as data arrives, so that takes a stall of seconds on that thread just as it gives up a
    # connection: a share or two in a soak at the most.
    unanswered=$(ledger unanswered)
    check "$(ok [ "$final_unconfirmed" -le $((unanswered + unconfirmed_slack)) ])" \
      "shares counted unconfirmed are ones the pools never answered ($final_unconfirmed at" \
      "the last screen, $unanswered unanswered + slack $unconfirmed_slack)"
  fi
fi

# The API's counters against the screen: each lies between the read before and the one after.
compared=""; differ=""
for pair in "submitted:Submitted" "unconfirmed_lost:Unconfirmed (connection lost)" \
            "cpu_failed:CPU failed check" "stale_dropped:Stale (job replaced)" \
            "unsent_dropped:Dropped unsent" "pool_errors:Pool error replies"; do
  key=${pair%%:*}; label=${pair#*:}
  shown=$(screen "$n" "$label"); before=$(api_share api-before.json "$key")
  after=$(api_share api-after.json "$key")
  [ -n "$shown" ] && [ -n "$before" ] && [ -n "$after" ] || continue
  compared="$compared $key"
  [ "$before" -le "$shown" ] && [ "$shown" -le "$after" ] || differ="$differ $key ($before..$after, screen $shown)"
done
if [ -z "$compared" ]; then
  echo "  SKIP  API against the screen: no share counter found in both"
else
  check "$(ok [ -z "$differ" ])" "the API's share counters agree with the screen:$compared" \
    "${differ:+; differ:$differ}"
fi
switches=$(sed -n 's/.*"switches":\([0-9]*\).*/\1/p' api-after.json)
echo "  pool switches seen by the API: ${switches:-?}"

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
  check "$(ok [ $((max_late - base)) -le $((slack_mib * 1024)) ])" \
    "RSS flat after warm-up: $((base / 1024)) MiB, last third at most $((max_late / 1024)) MiB (+$growth MiB, limit +$slack_mib MiB, $samples samples)"
fi

if [ "$failures" -gt 0 ]; then
  echo "soak: $failures check(s) FAILED"
  echo "--- miner log (last 40 lines)"; tail -n 40 miner.log
  cp main-ledger.txt backup-ledger.txt polls.txt rss.txt miner.log main.log backup.log \
    "$root/$build/" 2>/dev/null || true
  echo "(logs copied to $build/)"
  exit 1
fi
echo "soak: all checks passed"
