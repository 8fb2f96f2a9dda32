#!/usr/bin/env bash
# Sourced by the HiveOS agent: sets khs (total hash rate in kH/s) and stats (one JSON object)
# from the miner's summary on 127.0.0.1:$PLOMINER_API_PORT, read with curl and jq. A miner that
# does not answer gives khs=0 and stats=null. Never exits and leaves no other names behind
# but the manifest's.
#   hs, hs_units   per-device hash rates in kH/s, "khs"
#   temp, fan      per device; 0 where the miner does not know the figure
#   uptime, ver    seconds since the miner started, its version
#   ar             [accepted, rejected]: shares the pool confirmed (submitted) and its error
#                  replies (the pool's replies are not tied to the shares they answer)
#   algo           peach
#   bus_numbers    decimal PCI bus numbers, per device; left out unless every device has one
# shellcheck disable=SC2034  # khs and stats are read by the agent that sources this file
plominer_stats() {
  local here summary out
  khs=0
  stats=null
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd) || return 0
  # shellcheck source=h-manifest.conf
  [ -r "$here/h-manifest.conf" ] && . "$here/h-manifest.conf"
  summary=$(curl -sf --connect-timeout 2 --max-time 5 \
    "http://127.0.0.1:${PLOMINER_API_PORT:-21550}/api/v1/summary" 2>/dev/null) || return 0
  out=$(jq -c '
    # "DDDD:BB:DD.F" -> BB as a number, or null
    def bus: (split(":") | if length == 3 and (.[1] | test("^[0-9A-Fa-f]{2}$"))
                           then .[1] | ascii_downcase | explode
                                | map(if . >= 97 then . - 87 else . - 48 end)
                                | .[0] * 16 + .[1]
                           else null end);
    (.devices // []) as $d
    | ([$d[].pci_bus_id | if type == "string" then bus else null end]) as $bus
    | {hs: [$d[] | (.hashrate // 0) / 1000], hs_units: "khs",
       temp: [$d[] | .temperature_c // 0 | round], fan: [$d[] | .fan_pct // 0 | round],
       uptime: .uptime_s, ver: .version,
       ar: [.shares.submitted, .shares.pool_errors], algo: "peach"}
    + (if ($bus | length) > 0 and all($bus[]; . != null) then {bus_numbers: $bus} else {} end)
    | (.hs | add // 0), .' <<<"$summary" 2>/dev/null) || return 0
  local total object
  { read -r total && read -r object; } <<<"$out" || return 0
  [ -n "$total" ] && [ -n "$object" ] || return 0
  khs=$total
  stats=$object
}
plominer_stats
unset -f plominer_stats
