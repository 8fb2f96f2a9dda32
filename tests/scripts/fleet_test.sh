#!/usr/bin/env bash
# shellcheck disable=SC2016  # the checks run bash -c and jq with their own single-quoted text
# The miner on a rig's tools, end to end with one miner process (software device) against
# plo-testpool:
#   - the HiveOS package of BUILD_DIR: its contents, h-config.sh (refusals, the config.txt it
#     writes), the miner started by h-run.sh, h-stats.sh sourced with and without a miner;
#   - GET /metrics of that miner through `promtool check metrics` (no error, no lint warning);
#   - a Prometheus server scraping it every second: its query API shows the hash rate and
#     share counts of the miner's JSON summary.
# Usage: tests/scripts/fleet_test.sh BUILD_DIR TESTPOOL_BINARY
# Exits 77 (a skip for ctest) when a tool it needs is not installed.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
pool_bin=$(readlink -f "$2")
for tool in promtool prometheus curl jq tar strip python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh installs what this test needs)"
    exit 77
  fi
done

started=$(date +%s)
scratch=$(mktemp -d /tmp/plominer-fleet.XXXXXX)
pool_pid="" miner_pid="" prom_pid=""
cleanup() {
  [ -n "$miner_pid" ] && kill -KILL "$miner_pid" 2>/dev/null
  [ -n "$prom_pid" ] && kill -TERM "$prom_pid" 2>/dev/null
  [ -n "$pool_pid" ] && kill -INT "$pool_pid" 2>/dev/null
  wait 2>/dev/null
  if [ "${FLEET_KEEP:-0}" = 1 ]; then echo "files kept in $scratch"; else rm -rf "$scratch"; fi
}
trap cleanup EXIT
cd "$scratch" || exit 1

failures=0
check() {  # check DESCRIPTION COMMAND...: PASS when COMMAND succeeds
  local what=$1
  shift
  if "$@"; then echo "  PASS  $what"; else echo "  FAIL  $what"; failures=$((failures + 1)); fi
}
fatal() {
  echo "  FAIL  $*"
  for f in miner.log pool.log prometheus.log; do
    [ -s "$f" ] && { echo "--- $f (last 20 lines)"; tail -n 20 "$f"; }
  done
  exit 1
}
elapsed() { echo $(($(date +%s) - started)); }
# wait_for SECONDS COMMAND...: true once COMMAND succeeds, false after SECONDS.
wait_for() {
  local until=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$until" ] || return 1
    sleep 0.2
  done
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# --- the package ----------------------------------------------------------------------------
version=$("$build/app/plominer" --version | sed -n 's/.* v\([^ ]*\)$/\1/p')
archive=$("$root/scripts/package-hiveos.sh" "$build" "$scratch/out") || fatal "package-hiveos.sh failed"
check "the package is named after the miner's version ($version)" \
  [ "$archive" = "$scratch/out/plominer-$version.tar.gz" -a -s "$archive" ]
tar -tzf "$archive" | sort >listing.txt
# Libraries in the package: only ones the build made (or the CUDA runtime), never the system's.
system_libs=$(tar -tzf "$archive" | sed -n 's|^plominer/\(lib[^/]*\.so[^/]*\)$|\1|p' |
  while read -r lib; do
    [ -e "$build/$lib" ] || find "$build" -name "$lib" -print -quit | grep -q . ||
      [[ "$lib" == libcudart.so* ]] || echo "$lib"
  done)
check "the package holds plominer/ with the binary, the manifest and the three scripts, and no system library${system_libs:+ ($system_libs)}" \
  bash -c 'printf "%s\n" plominer/ plominer/h-config.sh plominer/h-manifest.conf plominer/h-run.sh \
    plominer/h-stats.sh plominer/plominer | diff - <(grep -v "^plominer/lib.*\.so" listing.txt) &&
    [ -z "$1" ]' _ "$system_libs"
hive=$scratch/hive/miners/custom
mkdir -p "$hive" "$scratch/log"
tar -xzf "$archive" -C "$hive"
pkg=$hive/plominer
export PLOMINER_HIVE_DIR=$hive PLOMINER_LOG_DIR=$scratch/log
check "the manifest names the miner, its version and the HiveOS paths (moved here by environment)" \
  bash -c '. "$1/h-manifest.conf" && [ "$CUSTOM_NAME" = plominer ] && [ "$CUSTOM_VERSION" = "$2" ] &&
    [ "$CUSTOM_CONFIG_FILENAME" = "$1/config.txt" ] &&
    [ "$CUSTOM_LOG_BASENAME" = "$3/plominer/plominer" ] &&
    env -u PLOMINER_HIVE_DIR -u PLOMINER_LOG_DIR bash -c ". \"$1/h-manifest.conf\" &&
      [ \"\$CUSTOM_CONFIG_FILENAME\" = /hive/miners/custom/plominer/config.txt ] &&
      [ \"\$CUSTOM_LOG_BASENAME\" = /var/log/miner/plominer/plominer ]"' _ "$pkg" "$version" \
  "$PLOMINER_LOG_DIR"

# --- h-config.sh ----------------------------------------------------------------------------
CUSTOM_TEMPLATE=fleet.rig1 CUSTOM_PASS=pw CUSTOM_URL="" CUSTOM_USER_CONFIG="" \
  "$pkg/h-config.sh" >refusal.out 2>refusal.err
status=$?
check "h-config.sh refuses an empty pool address, saying so (status $status: $(cat refusal.err))" \
  bash -c '[ "$1" != 0 ] && grep -q CUSTOM_URL refusal.err && [ ! -e "$2/config.txt" ]' _ "$status" "$pkg"
sourced=$(CUSTOM_TEMPLATE=fleet.rig1 CUSTOM_PASS=pw CUSTOM_URL="127.0.0.1:1" \
  CUSTOM_USER_CONFIG="--watchdog 60 --api-bind=0.0.0.0:80" \
  bash -c '. "$1/h-config.sh" >/dev/null; echo "status $? and on"' _ "$pkg" 2>sourced.err)
check "sourced, h-config.sh refuses an option h-run.sh sets and returns to its caller ($sourced)" \
  bash -c '[ "$1" = "status 1 and on" ] && grep -q -- --api-bind sourced.err && [ ! -e "$2/config.txt" ]' \
  _ "$sourced" "$pkg"

pool_log=pool.log
"$pool_bin" --port 0 --diff 10 --block 5 >"$pool_log" 2>&1 &
pool_pid=$!
pool_port() { sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$pool_log" | head -n 1; }
pool_listens() { [ -n "$(pool_port)" ]; }
wait_for 10 pool_listens || fatal "plo-testpool did not start"
port=$(pool_port)
CUSTOM_TEMPLATE=fleet.rig1 CUSTOM_PASS="" CUSTOM_USER_CONFIG=$'--watchdog 120\n  --idle-timeout 30' \
  CUSTOM_URL=$'stratum+tcp://127.0.0.1:'"$port"$' \n 127.0.0.1:1\n' "$pkg/h-config.sh" >config.out 2>&1
status=$?
printf '%s\n' fleet.rig1 QXV "stratum+tcp://127.0.0.1:$port" stratum+tcp://127.0.0.1:1 >expected-config.txt
check "h-config.sh writes config.txt from the flight sheet: key, default password, both pools (status $status)" \
  cmp -s expected-config.txt "$pkg/config.txt"
check "h-config.sh says what it filled in (the password, the scheme) and keeps the extra options" \
  bash -c 'grep -q QXV config.out && grep -q "stratum+tcp://127.0.0.1:1" config.out &&
    [ "$(cat "$1/extra-options.txt")" = "--watchdog 120 --idle-timeout 30" ]' _ "$pkg"

# --- the miner, started by h-run.sh ---------------------------------------------------------
api=$(free_port)
PLOMINER_API_PORT=$api "$pkg/h-run.sh" </dev/null >miner.log 2>&1 &
miner_pid=$!
summary() { curl -sf --max-time 5 "http://127.0.0.1:$api/api/v1/summary"; }
wait_for 30 summary >/dev/null || fatal "the miner started by h-run.sh does not answer on port $api"
check "h-run.sh runs the miner itself (exec): the pid HiveOS signals is the miner's" \
  [ "$(readlink "/proc/$miner_pid/exe")" = "$pkg/plominer" ]

# A Prometheus server on a free port, scraping the miner every second.
prom_port=$(free_port)
cat >prometheus.yml <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: plominer
    static_configs:
      - targets: ['127.0.0.1:$api']
EOF
promtool check config prometheus.yml >/dev/null || fatal "promtool refuses the test's prometheus.yml"
prometheus --config.file=prometheus.yml --storage.tsdb.path="$scratch/tsdb" \
  --web.listen-address="127.0.0.1:$prom_port" --log.level=warn >prometheus.log 2>&1 &
prom_pid=$!
wait_for 30 curl -sf -o /dev/null "http://127.0.0.1:$prom_port/-/ready" || fatal "Prometheus did not start"

mining() {
  summary >now.json && jq -e '.shares.submitted >= 1 and .devices[0].hashrate > 0' now.json >/dev/null
}
wait_for 360 mining || fatal "no share and hash rate within 360 s of the start ($(elapsed) s in all)"
echo "  (mining, first share confirmed, after $(elapsed) s)"

# --- /metrics through promtool --------------------------------------------------------------
type=$(curl -sf -o metrics.txt -w '%{content_type}' "http://127.0.0.1:$api/metrics")
check "GET /metrics answers with the text format's type ($type)" \
  [ "$type" = "text/plain; version=0.0.4; charset=utf-8" ]
promtool check metrics <metrics.txt >promtool.out 2>&1
status=$?
check "promtool check metrics finds no error and no lint problem in the live text (status $status$(
  [ -s promtool.out ] && printf ': %s' "$(tr '\n' ' ' <promtool.out)"))" \
  bash -c '[ "$1" = 0 ] && [ ! -s promtool.out ] && [ -s metrics.txt ]' _ "$status"

# --- Prometheus against the summary ---------------------------------------------------------
query() {  # query PROMQL: the value of the first series, or nothing
  curl -sfG --max-time 5 --data-urlencode "query=$1" "http://127.0.0.1:$prom_port/api/v1/query" |
    jq -r '.data.result[0].value[1] // empty'
}
summary >before.json
sleep 2.5  # two scrapes after the read above
up=$(query 'up{job="plominer"}')
submitted=$(query 'plominer_shares_total{outcome="submitted"}')
pool_errors=$(query 'plominer_shares_total{outcome="pool_error"}')
rate=$(query 'plominer_device_hashrate_hashes_per_second{device="0"}')
solutions=$(query 'plominer_device_solutions_total{device="0"}')
block=$(query 'plominer_job_block')
info=$(curl -sfG --data-urlencode 'query=plominer_build_info' \
  "http://127.0.0.1:$prom_port/api/v1/query" | jq -r '.data.result[0].metric.version // empty')
summary >after.json
# between FIELD VALUE: VALUE lies between FIELD of the summary read before and the one after.
between() {
  jq -e -n --argjson v "${2:-null}" --slurpfile b before.json --slurpfile a after.json \
    "\$v != null and \$b[0]$1 <= \$v and \$v <= \$a[0]$1" >/dev/null
}
# one_of FIELD VALUE: VALUE is FIELD of one of the two reads (the summary prints 3 decimals).
one_of() {
  jq -e -n --argjson v "${2:-null}" --slurpfile b before.json --slurpfile a after.json \
    "\$v != null and ([\$b[0]$1, \$a[0]$1] | any(. - \$v | fabs <= 0.001))" >/dev/null
}
check "Prometheus scrapes the miner (up = ${up:-none}) and reads its version (${info:-none})" \
  bash -c '[ "$1" = 1 ] && [ "$2" = "$3" ]' _ "$up" "$info" "$version"
check "Prometheus's confirmed shares ($submitted) and error replies ($pool_errors) are the summary's" \
  bash -c "$(declare -f between); between .shares.submitted '$submitted' &&
    between .shares.pool_errors '$pool_errors'"
check "Prometheus's device hash rate ($rate H/s) and solutions ($solutions) are the summary's" \
  bash -c "$(declare -f between one_of); one_of .devices[0].hashrate '$rate' &&
    between .devices[0].solutions '$solutions'"
check "Prometheus's job block ($block) is the summary's" \
  bash -c "$(declare -f between); between .job.block '$block'"

# --- h-stats.sh, sourced as the agent does --------------------------------------------------
# The agent's own variables, stubbed; the API port the miner picked.
agent() {
  MINER_DIR=$hive CUSTOM_MINER=plominer PLOMINER_API_PORT=$1 bash -c '
    set -u
    . "$MINER_DIR/$CUSTOM_MINER/h-stats.sh"
    declare -F plominer_stats >/dev/null && echo "left a function behind"
    printf "%s\n%s\n" "$khs" "$stats"'
}
summary >before.json
agent "$api" >agent.out
summary >after.json
khs=$(sed -n 1p agent.out)
sed -n '2,$p' agent.out >stats.json
check "h-stats.sh sets stats to one object of the agent's form for the one device" \
  jq -e --arg v "$version" 'type == "object" and (.hs | length) == 1 and (.hs | all(type == "number"))
    and .hs_units == "khs" and (.temp | length) == 1 and (.fan | length) == 1
    and ([.temp[], .fan[]] | all(type == "number")) and (.uptime | type) == "number"
    and .ver == $v and (.ar | length) == 2 and (.ar | all(type == "number"))
    and (.algo | type) == "string"
    and ((has("bus_numbers") | not) or ((.bus_numbers | length) == 1
         and (.bus_numbers | all(type == "number"))))' stats.json >/dev/null
check "h-stats.sh's rate, shares and uptime are the summary's (khs $khs, $(tr -d '\n' <stats.json))" \
  bash -c "$(declare -f between one_of)"'
    hs=$(jq ".hs[0] * 1000" stats.json) && one_of .devices[0].hashrate "$hs" &&
    jq -e -n --argjson k "$1" --slurpfile s stats.json "\$k == (\$s[0].hs | add)" >/dev/null &&
    between .shares.submitted "$(jq ".ar[0]" stats.json)" &&
    between .shares.pool_errors "$(jq ".ar[1]" stats.json)" &&
    between .uptime_s "$(jq .uptime stats.json)"' _ "$khs"

# --- SIGTERM, then h-stats.sh with no miner -------------------------------------------------
# An ended child stays a zombie until waited for: gone or state Z.
ended() { [ ! -e "/proc/$1" ] || [ "$(sed 's/^.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null)" = Z ]; }
kill -TERM "$miner_pid"
status="none (still running 30 s after SIGTERM)"
if wait_for 30 ended "$miner_pid"; then
  wait "$miner_pid"
  status=$?
  miner_pid=""
fi
check "SIGTERM ends the miner h-run.sh started, with status $status" [ "$status" = 0 ]
agent "$api" >agent-none.out
check "h-stats.sh with no miner running: khs=0, stats=null ($(tr '\n' ' ' <agent-none.out))" \
  [ "$(cat agent-none.out)" = $'0\nnull' ]

echo "fleet test: $(elapsed) s in all"
if [ "$failures" -gt 0 ]; then
  echo "fleet test: $failures check(s) FAILED"
  echo "--- miner log (last 20 lines)"
  tail -n 20 miner.log
  exit 1
fi
echo "fleet test: all checks passed"
