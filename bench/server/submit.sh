#!/usr/bin/env bash
# Message submission end to end: POSTs of SEND.HTM per second to velweb while
# `velctl commands --follow` takes the commands out, and every command counted.
#
#   bash bench/server/submit.sh [BUILD_DIR] [REQUESTS] [ROUNDS]
#
# BUILD_DIR defaults to build/ (its dist/ is the program directory used); REQUESTS (per
# run) to 3000; ROUNDS to 3, each at 1 and at 8 clients. Each POST names two of the 200
# receivers. A reply that lists them means the command was stored; a reply of another
# length is a "[Not Sent]" page (the command buffer was full: the library refused the
# entry and the server said so). At the end the commands velctl printed must equal the
# replies that listed receivers: nothing lost, nothing duplicated.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
requests="${2:-3000}"
rounds="${3:-3}"
load="$build/bench/server/velload"

source "$root/bench/server/lib.sh"

export VELMAR_INSTANCE="benchsubmit$$"
prog="$work/velweb"
cp -a "$build/dist" "$prog"
write_receivers "$prog"
port=$(free_port)
start_velweb "$prog" "$port"
velweb_pid=$started_pid

# The drain: velctl takes every command out and prints one line each.
"$prog/velctl" commands --raw --follow > "$work/commands.txt" &
pids+=($!)
drain_pid=$!

body='message=Benchmark+message+from+the+load+client&receivers=Receiver+007&receivers=Receiver+123'
post="POST /SEND.HTM HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: ${#body}\r\n\r\n$body"

# The length of a reply that lists the receivers (this first POST is counted as well).
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf "$post" >&3
cat <&3 > "$work/reply.htm"
exec 3<&-
grep -q "Receiver 123" "$work/reply.htm" || { echo "the first POST was not sent" >&2; exit 1; }
sent_bytes=$(stat -c %s "$work/reply.htm")
sent_total=1

lines() { wc -l < "$work/commands.txt"; }
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "reply that lists the receivers: $sent_bytes bytes; $requests POSTs per run"
for round in $(seq "$rounds"); do
  for clients in 1 8; do
    before=$(ticks "$velweb_pid")
    # Replies of another length ("[Not Sent]") show as failed.
    line=$("$load" --port "$port" --clients "$clients" --requests "$requests" \
           --request "$post" --expect-bytes "$sent_bytes" --label "POST C=$clients") || true
    after=$(ticks "$velweb_pid")
    ok=$(sed -n 's/.* ok=\([0-9]*\).*/\1/p' <<<"$line")
    sent_total=$((sent_total + ok))
    awk -v l="$line" -v t=$((after - before)) -v hz="$hz" -v n="$requests" \
      'BEGIN { printf "%s cpu_us=%.1f\n", l, t * 1e6 / hz / n }'
  done
done

# Let velctl take what is left (it looks every 100 ms), then stop it.
last=-1
for _ in $(seq 50); do
  now=$(lines)
  [ "$now" -eq "$sent_total" ] && break
  [ "$now" -eq "$last" ] && [ "$now" -gt "$sent_total" ] && break
  last=$now
  sleep 0.2
done
kill -TERM "$drain_pid"
wait "$drain_pid" 2>/dev/null || true
drained=$(lines)
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "replies that listed the receivers: $sent_total; commands taken out by velctl: $drained"
if [ "$drained" -ne "$sent_total" ]; then
  echo "MISMATCH: commands lost or duplicated" >&2
  exit 1
fi
echo "every command counted"
