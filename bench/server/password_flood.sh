#!/usr/bin/env bash
# Wrong-password flood: a good client with the right password fetches INDEX.HTM every
# 0.2 s while wrong passwords arrive from ever new loopback addresses
# (bench/server/password_flood.py), at each rate in turn; velweb with a yescrypt
# password and header fields on.
#
#   bash bench/server/password_flood.sh [BUILD_DIR] [BEFORE_BUILD_DIR] [RATES] [SECONDS]
#
# BUILD_DIR defaults to build/; with BEFORE_BUILD_DIR an earlier velweb runs the same
# floods as "before" (one after the other, not at once: the flood is CPU-bound). RATES
# defaults to "0 10 50", SECONDS (per run) to 20.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
before_build="${2:+$(cd "$2" && pwd)}"
rates="${3:-0 10 50}"
seconds="${4:-20}"
flood="$root/bench/server/password_flood.py"

source "$root/bench/server/lib.sh"
export VELMAR_INSTANCE="flood$$"
password="bench flood"

setup_velweb() {  # name build -> port in $port
  cp -a "$2/dist" "$work/$1"
  write_receivers "$work/$1"
  port=$(free_port)
  local line
  line=$(printf '%s\n%s\n' "$password" "$password" | "$work/$1/velctl" passwd 2>/dev/null)
  printf '[General]\r\nLanguage=001\r\n[TCPIP]\r\nHTTPPort=%s\r\n[HTTP]\r\nHeaders=1\r\n[Access]\r\n%s\r\n' \
    "$port" "$line" > "$work/$1/VELWEB.INI"
  VELMAR_INSTANCE="flood$$$1" "$work/$1/velweb" --headless > "$work/$1.out" 2>&1 &
  pids+=($!)
  wait_port "$port"
}
setup_velweb_and_before

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for rate in $rates; do
  for server in velweb before; do
    case $server in
      velweb) port=$vport ;;
      before) port=$bport ;;
    esac
    [ -n "$port" ] || continue
    printf '%-7s %3s/s: ' "$server" "$rate"
    python3 "$flood" --port "$port" --password "$password" --rate "$rate" --seconds "$seconds"
    sleep 2
  done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
