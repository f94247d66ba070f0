#!/usr/bin/env bash
# Crowd benchmark: velweb and nginx, side by side, serving the same page while a crowd of
# hostile clients is kept up (bench/server/crowd.py): 60 clients that send a byte every
# half second, 1,000 connections that send nothing, 10 clients that ask for a 20 MiB
# file and never read. For each crowd, 20 good clients ask for INDEX.HTM one after the
# other with 5 s each; the table gives how many were served, and the median and worst
# time of those. Last, a burst of 2,000 real clients that connect and send their request
# at once: how many got the page, and the median and worst time from the burst's start.
#
#   bash bench/server/crowds.sh [BUILD_DIR] [BEFORE_BUILD_DIR]
#
# CROWDS (environment) chooses among them: CROWDS=burst runs the burst alone.
# BUILD_DIR defaults to build/ (its dist/ is the program directory used). With
# BEFORE_BUILD_DIR an earlier velweb runs the same crowds as "before".
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
before_build="${2:+$(cd "$2" && pwd)}"
crowd="$root/bench/server/crowd.py"

source "$root/bench/server/lib.sh"
chmod 755 "$work"  # nginx workers run as another user
export VELMAR_INSTANCE="crowds$$"

setup_velweb() {  # name build -> port in $port
  cp -a "$2/dist" "$work/$1"
  write_receivers "$work/$1"
  truncate -s 20M "$work/$1/BIG.GIF"
  port=$(free_port)
  VELMAR_INSTANCE="crowds$$$1" start_velweb "$work/$1" "$port"
}
setup_velweb_and_before

# nginx serves the same bytes as static files.
mkdir -p "$work/static"
exec 3<>"/dev/tcp/127.0.0.1/$vport"
printf 'GET /INDEX.HTM HTTP/1.0\r\n\r\n' >&3
cat <&3 > "$work/static/INDEX.HTM"
exec 3<&-
truncate -s 20M "$work/static/BIG.GIF"
start_nginx "$work/static"

# Waits until the server answers a good client within a second again (the crowd's
# connections may take their time limits to go).
recovered() {
  for _ in $(seq 60); do
    if timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1; printf 'GET /INDEX.HTM HTTP/1.0\r\n\r\n' >&3; cat <&3 >/dev/null"; then
      return 0
    fi
    sleep 1
  done
}

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for kind in ${CROWDS:-slow silent nonreading burst}; do
  for server in velweb before nginx; do
    case $server in
      velweb) port=$vport ;;
      before) port=$bport ;;
      nginx) port=$nport ;;
    esac
    [ -n "$port" ] || continue
    printf '%-7s ' "$server"
    python3 "$crowd" --port "$port" --crowd "$kind"
    sleep 1
    recovered "$port"
  done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
