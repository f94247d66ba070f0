#!/usr/bin/env bash
# The cost of a hostile form: POSTs of SEND.HTM whose body fills the 32,767 characters that
# form fields may occupy with "receivers=" fields (1,990 of them), one client, each on a
# new connection.
# Every field is a receiver name to take out and decode, so the time per POST shows
# whether reading the fields grows with their number or with its square. (The command
# they make is larger than the library's command buffer, so the reply is "[Not Sent]";
# the fields are read all the same.)
#
#   bash bench/server/fields.sh [BUILD_DIR] [REQUESTS] [BEFORE_BUILD_DIR]
#
# BUILD_DIR defaults to build/; REQUESTS to 50. BEFORE_BUILD_DIR, when given, is an
# earlier build run the same way right after, for a before and after.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
requests="${2:-50}"
before_build="${3:+$(cd "$3" && pwd)}"
load="$build/bench/server/velload"

source "$root/bench/server/lib.sh"

body="message=Hello"
for i in $(seq 1000 2989); do body+="&receivers=R$i"; done
post="POST /SEND.HTM HTTP/1.0\r\nContent-Length: ${#body}\r\n\r\n$body"
echo "body: ${#body} bytes, 1990 receivers= fields; $requests POSTs per build"

run() {  # label build
  local prog="$work/$1"
  cp -a "$2/dist" "$prog"
  local port
  port=$(free_port)
  VELMAR_INSTANCE="benchfields$1$$" start_velweb "$prog" "$port"
  "$load" --port "$port" --clients 1 --requests "$requests" --request "$post" --label "$1"
}

run velweb "$build"
[ -n "$before_build" ] && run before "$before_build"
exit 0
