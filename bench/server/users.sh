#!/usr/bin/env bash
# Accounts on and off: the same build twice, side by side, both with status lines and the
# outbox of the shipped profile; one without a users file, one with three users (a sender
# who may page ten of the 200 receivers, a supervisor, a monitoring account) whose
# requests carry the restricted sender's Basic credentials. Pages (INDEX.HTM, rendered
# with the receivers the user may page, kept per user) and posts (SEND.HTM, accepted into
# the outbox while velctl takes the commands out) at 1 and 8 clients, each round running
# both one after the other; the medians of the rounds, and the ratio of on to off.
#
#   bash bench/server/users.sh [BUILD_DIR] [REQUESTS] [ROUNDS]
#
# BUILD_DIR defaults to build/; REQUESTS (per run) to 3000; ROUNDS to 3.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
requests="${2:-3000}"
rounds="${3:-3}"
load="$build/bench/server/velload"

source "$root/bench/server/lib.sh"

sections=$'[HTTP]\r\nHeaders=1\r\n[Outbox]\r\nSize=1000000\r\nKeepDays=30\r\n'
auth=""
setup() {  # NAME with-users
  local prog="$work/$1"
  cp -a "$build/dist" "$prog"
  write_receivers "$prog"
  sed -i '/\[STATE\]/d; /\[MESSAGEID\]/d' "$prog/SEND.HTM"  # replies of one length
  if [ "$2" = yes ]; then
    local hash
    hash=$(printf 'pw\npw\n' | "$prog/velctl" passwd)
    printf '[ward]\r\n%s\r\nReceivers=Receiver 00*\r\n[lead]\r\n%s\r\nRole=supervisor\r\n[monitor]\r\n%s\r\nSendLimit=0\r\n' \
      "$hash" "$hash" "$hash" > "$prog/VELWEB.USR"
  fi
  local port
  port=$(free_port)
  VELMAR_INSTANCE="benchusers$1$$" start_velweb "$prog" "$port" "$sections"
  VELMAR_INSTANCE="benchusers$1$$" "$prog/velctl" commands --raw --follow > /dev/null &
  pids+=($!)
  eval "port_$1=$port"
}
setup off no
setup on yes
auth="Authorization: Basic $(printf 'ward:pw' | base64)\r\n"

body='message=Benchmark+message&receivers=Receiver+007'
page_off="GET /INDEX.HTM HTTP/1.0\r\n\r\n"
page_on="GET /INDEX.HTM HTTP/1.0\r\n${auth}\r\n"
post_off="POST /SEND.HTM HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: ${#body}\r\n\r\n$body"
post_on="POST /SEND.HTM HTTP/1.0\r\n${auth}Content-Type: application/x-www-form-urlencoded\r\nContent-Length: ${#body}\r\n\r\n$body"

bytes_of() {  # PORT REQUEST
  exec 3<>"/dev/tcp/127.0.0.1/$1"
  printf "$2" >&3
  cat <&3 > "$work/reply"
  exec 3<&-
  stat -c %s "$work/reply"
}

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
: > "$work/results"
for round in $(seq "$rounds"); do
  for what in page post; do
    for clients in 1 8; do
      for mode in off on; do
        port_var="port_$mode"; request_var="${what}_$mode"
        port=${!port_var}; request=${!request_var}
        expect=$(bytes_of "$port" "$request")
        line=$("$load" --port "$port" --clients "$clients" --requests "$requests" \
               --request "$request" --expect-bytes "$expect" --label "$what $mode C=$clients") || true
        echo "$line"
        echo "$what $clients $mode $(sed -n 's/.* rps=\([0-9]*\).*/\1/p' <<<"$line") $(sed -n 's/.* failed=\([0-9]*\).*/\1/p' <<<"$line") $(sed -n 's/.* other=\([0-9]*\).*/\1/p' <<<"$line")" >> "$work/results"
      done
    done
  done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "medians of the rounds (requests per second; on/off):"
python3 - "$work/results" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    what, clients, mode, rps, failed, other = line.split()
    runs.setdefault((what, int(clients)), {}).setdefault(mode, []).append((int(rps), int(failed), int(other)))
print("%-5s %2s %9s %9s %7s  %s" % ("what", "C", "off rps", "on rps", "on/off", "failed/other (on)"))
for (what, clients), modes in sorted(runs.items()):
    off = statistics.median(r for r, _, _ in modes["off"])
    on = statistics.median(r for r, _, _ in modes["on"])
    bad = sum(f + o for _, f, o in modes["on"])
    print("%-5s %2d %9.0f %9.0f %7.2f  %d" % (what, clients, off, on, on / off, bad))
PY
