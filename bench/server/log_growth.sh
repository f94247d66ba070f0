#!/usr/bin/env bash
# How fast a flood grows the day's log: velweb with the shipped profile (VELWEB.ONI, on a
# port of its own) and 200 receivers; for each kind of request that is not handed over
# (bench/server/log_flood.py), a flood from one loopback address and one from 200
# (127.0.0.2 to 127.0.0.201), each for SECONDS, bounded in count; the log's growth in
# bytes and bytes per second. Loopback only.
#
#   bash bench/server/log_growth.sh [BUILD_DIR] [SECONDS] [KINDS]
#
# BUILD_DIR defaults to build/, SECONDS to 5, KINDS to "resolved bad unknown host
# notpassed" (notpassed last: the command buffer is filled first and stays full).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
seconds="${2:-5}"
kinds="${3:-resolved bad unknown host notpassed}"
flood="$root/bench/server/log_flood.py"

source "$root/bench/server/lib.sh"
export VELMAR_INSTANCE="loggrowth$$"

# A velweb of its own for each run (the refusal lines' budget is the server's, for a
# minute): the program directory copied anew, the shipped profile on a free port.
run=0
start_fresh() {
  run=$((run + 1))
  dir="$work/velweb$run"
  cp -a "$build/dist" "$dir"
  write_receivers "$dir"
  port=$(free_port)
  sed "s/^HTTPPort=.*/HTTPPort=$port\r/" "$dir/VELWEB.ONI" > "$dir/VELWEB.INI"
  VELMAR_INSTANCE="loggrowth$$n$run" "$dir/velweb" --headless > "$dir.out" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  wait_port "$port"
  sleep 0.5  # its start lines written
}

log_size() {
  local f
  f="$dir/$(date +%Y%m%d).LOG"
  if [ -f "$f" ]; then stat -c %s "$f"; else echo 0; fi
}

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %-9s %28s %12s %10s\n' kind addresses requests "log bytes" "bytes/s"
for kind in $kinds; do
  for addresses in 1 200; do
    start_fresh
    [ "$kind" = notpassed ] && python3 "$flood" --port "$port" --kind fill > /dev/null
    sleep 0.5
    before=$(log_size)
    result=$(python3 "$flood" --port "$port" --kind "$kind" --addresses "$addresses" \
      --seconds "$seconds")
    kill "$server_pid"  # stopped: every line written
    wait "$server_pid" 2>/dev/null || true
    grown=$(( $(log_size) - before - $(tail -n 1 "$dir/$(date +%Y%m%d).LOG" | wc -c) ))
    printf '%-10s %-9s %28s %12d %10.0f\n' "$kind" "$addresses" "$result" "$grown" \
      "$(python3 -c "print($grown / $seconds)")"
  done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
