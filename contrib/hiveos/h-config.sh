#!/usr/bin/env bash
# Run by HiveOS before every start of the miner: writes the miner's config.txt
# ($CUSTOM_CONFIG_FILENAME) from the flight sheet and keeps the extra command-line options for
# h-run.sh (extra-options.txt beside it). Works both run and sourced; every refusal is one line
# on standard error and a non-zero status, and config.txt is then left as it was.
#   CUSTOM_TEMPLATE     the account key (a %computername% in it becomes the worker name)
#   CUSTOM_PASS         the pool password (empty: the miner's default, QXV)
#   CUSTOM_URL          one or more pool addresses separated by spaces or new lines, main pool
#                       first; an address without a scheme is taken as stratum+tcp://
#   CUSTOM_USER_CONFIG  extra options for the miner, separated by white space (no quoting)
plominer_write_config() {
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd) || return 1
  # shellcheck source=h-manifest.conf
  . "$here/h-manifest.conf" || return 1
  local say="plominer h-config.sh:"
  local key=${CUSTOM_TEMPLATE-} pass=${CUSTOM_PASS-} url
  local -a urls=() pools=() extra=()
  read -r -d '' -a urls <<<"${CUSTOM_URL-}" || true
  read -r -d '' -a extra <<<"${CUSTOM_USER_CONFIG-}" || true

  if [ -z "$key" ]; then
    echo "$say no account key: the flight sheet's wallet template (CUSTOM_TEMPLATE) is empty" >&2
    return 1
  fi
  if [[ "$key" =~ [[:space:]] ]]; then
    echo "$say the account key (CUSTOM_TEMPLATE) holds white space; config.txt cannot carry it" >&2
    return 1
  fi
  if [ -z "$pass" ]; then
    pass=QXV
    echo "$say no pool password (CUSTOM_PASS): using the miner's default, QXV"
  elif [[ "$pass" =~ [[:space:]] ]]; then
    echo "$say the pool password (CUSTOM_PASS) holds white space; config.txt cannot carry it" >&2
    return 1
  fi
  if [ ${#urls[@]} -eq 0 ]; then
    echo "$say no pool address: the flight sheet's pool URL (CUSTOM_URL) is empty" >&2
    return 1
  fi
  for url in "${urls[@]}"; do
    if [[ "$url" != *://* ]]; then
      echo "$say '$url' has no scheme: using stratum+tcp://$url"
      url="stratum+tcp://$url"
    fi
    pools+=("$url")
  done
  # h-run.sh sets these itself, and h-stats.sh reads the API without a token.
  local option
  for option in "${extra[@]}"; do
    case "$option" in
      --config | --config=* | --api-bind | --api-bind=* | --log-file | --log-file=* | \
        --api-token | --api-token=* | --api-token-file | --api-token-file=*)
        echo "$say the extra options (CUSTOM_USER_CONFIG) may not hold ${option%%=*}:" \
             "h-run.sh sets the configuration, API address and log file" >&2
        return 1
        ;;
    esac
  done

  local dir tmp
  dir=$(dirname "$CUSTOM_CONFIG_FILENAME")
  mkdir -p "$dir" || return 1
  tmp=$(mktemp "$dir/.config.XXXXXX") || return 1
  if ! printf '%s\n' "$key" "$pass" "${pools[@]}" >"$tmp" || ! mv -f "$tmp" "$CUSTOM_CONFIG_FILENAME"; then
    rm -f "$tmp"
    echo "$say cannot write $CUSTOM_CONFIG_FILENAME" >&2
    return 1
  fi
  if ! printf '%s\n' "${extra[*]}" >"$dir/extra-options.txt"; then
    echo "$say cannot write $dir/extra-options.txt" >&2
    return 1
  fi
  echo "$say wrote $CUSTOM_CONFIG_FILENAME (${#pools[@]} pool address(es))" \
       "${extra[*]:+and the extra options: ${extra[*]}}"
}

plominer_write_config
plominer_status=$?
unset -f plominer_write_config
# shellcheck disable=SC2317
return "$plominer_status" 2>/dev/null || exit "$plominer_status"
