#!/usr/bin/env bash
# Sets everything up and runs VelWeb on a ready demo installation:
#   1. installs what is missing (scripts/setup.sh) and builds velweb, velctl,
#      libVelmar.so and the site into build-demo/dist/ (a build of its own, without
#      tests, so that the test builds of scripts/test.sh stay whole);
#   2. copies build-demo/dist/ to demo/ and writes a receiver file there with velctl;
#   3. starts velweb headless on a free port (from 8080 up) with the shipped profile
#      (header fields on, so that any browser and curl accept its pages), and velctl
#      taking the command entries out, so that every posted message shows here;
#   4. prints the address to open. Ctrl-C stops both.
# Settings, all optional: VELWEB_PORT (the port to use), VELWEB_BUILD_DIR (default
# build-demo), VELWEB_DEMO_DIR (default demo), VELMAR_INSTANCE (default velweb-demo: the
# demo's own shared region, so that it never meets an alarm server on this machine).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build=${VELWEB_BUILD_DIR:-build-demo}
demo=${VELWEB_DEMO_DIR:-demo}
export VELMAR_INSTANCE=${VELMAR_INSTANCE:-velweb-demo}

bash scripts/setup.sh

echo "== building velweb, velctl, libVelmar.so and the site in $build/"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELWEB_TESTS=OFF \
  -DVELWEB_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

port_in_use() { [ -n "$(ss -Htln "sport = :$1" 2>/dev/null)" ]; }
port=${VELWEB_PORT:-}
if [ -z "$port" ]; then
  for candidate in $(seq 8080 8180); do
    if ! port_in_use "$candidate"; then port=$candidate; break; fi
  done
  [ -n "$port" ] || { echo "demo: no free port between 8080 and 8180; set VELWEB_PORT" >&2; exit 1; }
fi

echo "== making the demo installation in $demo/"
rm -rf "$demo"
mkdir -p "$demo"
cp -a "$build/dist/." "$demo/"
rm -f "$demo/VELWEB.INI" "$demo/vel_rcv.dat" "$demo"/*.LOG
# The shipped profile with the demo's port.
sed "s/^HTTPPort=.*/HTTPPort=$port\r/" "$demo/VELWEB.ONI" >"$demo/VELWEB.INI"
# What the alarm server would write: its receivers (\xFC is the u umlaut in
# Windows-1252, written so that it works in any locale).
"$demo/velctl" receivers write "$demo/vel_rcv.dat" \
  "Fire Brigade" "Security Desk" "Maintenance" 'Dr. M\xfcller' "Night Shift" "Reception"

# velctl prints each entry in the terminal's encoding (the locale's); each goes over
# velweb's status line, which velweb draws again at its next request.
show_commands() {
  while IFS= read -r line; do printf '\r\033[Kmessage: %s\n' "$line"; done
}

web_pid=""
ctl_pid=""
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }
# Waits at most $2 tenths of a second for process $1 to end.
wait_end() {
  for _ in $(seq 1 "$2"); do alive "$1" || return 0; sleep 0.1; done
  return 1
}
stop() {
  trap - INT TERM
  echo
  echo "== stopping"
  # SIGINT is the user's close: without a terminal on its input, velweb takes it as yes
  # and logs why it stopped. velctl ends on it too.
  alive "$web_pid" && kill -INT "$web_pid" 2>/dev/null
  alive "$ctl_pid" && kill -TERM "$ctl_pid" 2>/dev/null
  wait_end "$web_pid" 100 || { echo "velweb did not stop; ending it"; kill -KILL "$web_pid"; }
  wait_end "$ctl_pid" 50 || kill -KILL "$ctl_pid" 2>/dev/null
  wait 2>/dev/null || true
  echo "Demo stopped. Its log is in $demo/$(date +%Y%m%d).LOG"
  exit "${1:-0}"
}
trap stop INT TERM

(cd "$demo" && exec ./velweb --headless) </dev/null &
web_pid=$!
up=0
for _ in $(seq 1 150); do
  if port_in_use "$port"; then up=1; break; fi
  alive "$web_pid" || break
  sleep 0.1
done
if [ "$up" -ne 1 ]; then
  echo "demo: velweb did not start listening on port $port" >&2
  stop 1
fi

"$demo/velctl" commands --follow </dev/null > >(show_commands) &
ctl_pid=$!

lan=$(ip -4 -o addr show scope global 2>/dev/null | awk '{ sub(/\/.*/, "", $4); print $4; exit }')
cat <<EOF

VelWeb demo is running.
  Open    http://127.0.0.1:$port/ in a browser on this machine
EOF
[ -n "$lan" ] && echo "          http://$lan:$port/ from other machines on the network"
cat <<EOF
  Files   $demo/ (profile VELWEB.INI, receivers vel_rcv.dat, daily log YYYYMMDD.LOG)
  Region  VELMAR_INSTANCE=$VELMAR_INSTANCE (use the same with $demo/velctl in another terminal)
Every message posted from the form shows below. Press Ctrl-C to stop.

EOF

# Runs until Ctrl-C, or until velweb ends on its own.
while alive "$web_pid"; do
  wait "$web_pid" 2>/dev/null || true
done
# Ctrl-C reaches velweb too; give the trap the moment to take over.
sleep 1
echo "demo: velweb ended on its own (see $demo/$(date +%Y%m%d).LOG)" >&2
stop 1
