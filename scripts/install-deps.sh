#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with.
# Idempotent: does nothing (and prints nothing) when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev libboost-system-dev libboost-thread-dev libboost-program-options-dev
  libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev
  chromium curl
  # the fleet tests: promtool and a Prometheus server, jq (as the HiveOS stats script uses it),
  # systemd-analyze for the service unit
  prometheus jq systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq
$sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
