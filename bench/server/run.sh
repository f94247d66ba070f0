#!/usr/bin/env bash
# Web benchmark: velweb, nginx and the floor server, side by side in one run, serving the
# same bytes ("INDEX.HTM" rendered with 200 receivers, and a 4 KiB GIF) on loopback.
#
#   bash bench/server/run.sh [BUILD_DIR] [REQUESTS]
#
# BUILD_DIR defaults to build/ (its dist/ is the program directory used); REQUESTS to 5000.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
requests="${2:-5000}"
load="$build/bench/server/velload"
floor="$build/bench/server/velfloor"

work="$(mktemp -d)"
chmod 755 "$work"  # nginx workers run as another user
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on $1" >&2
  return 1
}

export VELMAR_INSTANCE="bench$$"

# The program directory: a copy of dist with 200 receivers and a 4 KiB GIF.
cp -a "$build/dist" "$work/velweb"
names=()
for i in $(seq -w 1 200); do names+=("Receiver $i"); done
"$work/velweb/velctl" receivers write "$work/velweb/vel_rcv.dat" "${names[@]}" >/dev/null
head -c 4090 /dev/urandom | { printf 'GIF89a'; cat; } > "$work/velweb/BENCH.GIF"
vport=$(free_port)
cat > "$work/velweb/VELWEB.INI" <<INI
[General]
Language=001
[TCPIP]
HTTPPort=$vport
INI
"$work/velweb/velweb" --headless > "$work/velweb.out" 2>&1 &
pids+=($!)
wait_port "$vport"

# The same bytes as static files for nginx and the floor.
mkdir -p "$work/static"
"$load" --port "$vport" --requests 1 --clients 1 --label warmup >/dev/null
exec 3<>"/dev/tcp/127.0.0.1/$vport"
printf 'GET /INDEX.HTM HTTP/1.0\r\n\r\n' >&3
cat <&3 > "$work/static/INDEX.HTM"
exec 3<&-
cp "$work/velweb/BENCH.GIF" "$work/static/BENCH.GIF"
page_bytes=$(stat -c %s "$work/static/INDEX.HTM")
gif_bytes=$(stat -c %s "$work/static/BENCH.GIF")

nport=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nport;
    root $work/static;
  }
}
CONF
/usr/sbin/nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
pids+=($!)
wait_port "$nport"

fport_page=$(free_port)
"$floor" --port "$fport_page" --file "$work/static/INDEX.HTM" &
pids+=($!)
fport_gif=$(free_port)
"$floor" --port "$fport_gif" --file "$work/static/BENCH.GIF" &
pids+=($!)
wait_port "$fport_page"
wait_port "$fport_gif"

echo "page: $page_bytes bytes, gif: $gif_bytes bytes, $requests requests per run"
rps() { sed -n 's/.* rps=\([0-9]*\).*/\1/p'; }
for clients in 1 8; do
  for file in INDEX.HTM BENCH.GIF; do
    req="GET /$file HTTP/1.0\r\n\r\n"
    expect=$page_bytes; [ "$file" = BENCH.GIF ] && expect=$gif_bytes
    fport=$fport_page; [ "$file" = BENCH.GIF ] && fport=$fport_gif
    v=$("$load" --port "$vport" --clients "$clients" --requests "$requests" --request "$req" \
        --expect-bytes "$expect" --label "velweb $file")
    n=$("$load" --port "$nport" --clients "$clients" --requests "$requests" --request "$req" \
        --label "nginx $file")
    f=$("$load" --port "$fport" --clients "$clients" --requests "$requests" --request "$req" \
        --expect-bytes "$expect" --label "floor $file")
    printf '%s\n%s\n%s\n' "$v" "$n" "$f"
    vr=$(rps <<<"$v"); nr=$(rps <<<"$n"); fr=$(rps <<<"$f")
    awk -v v="$vr" -v n="$nr" -v f="$fr" -v c="$clients" -v file="$file" \
      'BEGIN { printf "=> %s C=%s: velweb/nginx %.2f, velweb/floor %.2f\n\n", file, c, v/n, v/f }'
  done
done
