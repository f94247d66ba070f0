#!/usr/bin/env bash
# Message submission end to end: POSTs of SEND.HTM per second to velweb while
# `velctl commands --follow` takes the commands out, and every command counted.
#
#   bash bench/server/submit.sh [BUILD_DIR] [REQUESTS] [ROUNDS] [OUTBOX]
#
# BUILD_DIR defaults to build/ (its dist/ is the program directory used); REQUESTS (per
# run) to 3000; ROUNDS to 3, each at 1 and at 8 clients. Each POST names two of the 200
# receivers. A reply that lists them means the command was stored; a reply of another
# length is a "[Not Sent]" page (the command buffer was full: the library refused the
# entry and the server said so). At the end the commands velctl printed must equal the
# replies that listed receivers: nothing lost, nothing duplicated.
#
# OUTBOX "on" runs the server with an outbox ([Outbox] Size): a reply that lists the
# receivers then means the message is on disk (fdatasync) in vel_outbox.dat, and each
# run also says the journal's syncs per post (from /metrics). First, the floor on the
# same disk: appends of one record each followed by its own fdatasync, per second.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
requests="${2:-3000}"
rounds="${3:-3}"
outbox="${4:-off}"
load="$build/bench/server/velload"

source "$root/bench/server/lib.sh"

export VELMAR_INSTANCE="benchsubmit$$"
prog="$work/velweb"
cp -a "$build/dist" "$prog"
write_receivers "$prog"
port=$(free_port)
if [ "$outbox" = on ]; then
  # Every reply the same length: the state ("queued", "passed", now and then "taken")
  # is left out of the result page.
  sed -i '/\[STATE\]/d' "$prog/SEND.HTM"
  start_velweb "$prog" "$port" $'[Outbox]\r\nSize=1000000\r\n'
  python3 - "$prog" <<'PY'
import os, sys, time
path = os.path.join(sys.argv[1], "floor.dat")
fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o640)
n, start, waits = 0, time.time(), []
while time.time() - start < 2:
    t = time.perf_counter()
    os.write(fd, b"r" * 120)
    os.fdatasync(fd)
    waits.append(time.perf_counter() - t)
    n += 1
os.close(fd)
os.unlink(path)
waits.sort()
print("floor: one fdatasync per post: %.0f posts/s, p50_us=%.0f p99_us=%.0f"
      % (n / 2, waits[len(waits) // 2] * 1e6, waits[int(len(waits) * 0.99)] * 1e6))
PY
else
  start_velweb "$prog" "$port"
fi
velweb_pid=$started_pid
# The journal's syncs so far (0 without an outbox).
syncs() {
  exec 4<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET /metrics HTTP/1.0\r\n\r\n' >&4
  awk '/^velweb_outbox_syncs_total / { n = $2 } END { print n + 0 }' <&4
  exec 4<&-
}

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
    synced=$(syncs)
    # Replies of another length ("[Not Sent]") show as failed.
    line=$("$load" --port "$port" --clients "$clients" --requests "$requests" \
           --request "$post" --expect-bytes "$sent_bytes" --label "POST C=$clients") || true
    after=$(ticks "$velweb_pid")
    ok=$(sed -n 's/.* ok=\([0-9]*\).*/\1/p' <<<"$line")
    sent_total=$((sent_total + ok))
    awk -v l="$line" -v t=$((after - before)) -v hz="$hz" -v n="$requests" \
      -v s=$(($(syncs) - synced)) -v o="$outbox" -v ok="$ok" \
      'BEGIN { printf "%s cpu_us=%.1f", l, t * 1e6 / hz / n
               if (o == "on") printf " syncs_per_post=%.3f", s / (ok > 0 ? ok : 1)
               printf "\n" }'
  done
done

# Let velctl take what is left (it looks every 100 ms; the outbox passes what it still
# holds as the buffer empties), then stop it: once all are there, or nothing came for 3 s.
last=-1
still=0
for _ in $(seq 600); do
  now=$(lines)
  [ "$now" -eq "$sent_total" ] && break
  [ "$now" -eq "$last" ] && [ "$now" -gt "$sent_total" ] && break
  if [ "$now" -eq "$last" ]; then still=$((still + 1)); else still=0; fi
  [ "$still" -ge 15 ] && break
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
