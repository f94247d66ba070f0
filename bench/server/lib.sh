# Shared by the web benchmark scripts: a scratch directory cleaned up at exit together
# with the servers started into `pids`, a free loopback port, waiting for a listener, and
# a velweb started in a program directory of its own.
work="$(mktemp -d)"
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

# Writes the receivers "Receiver 001" to "Receiver 200" into program directory $1.
write_receivers() {
  local names=()
  for i in $(seq -w 1 200); do names+=("Receiver $i"); done
  "$1/velctl" receivers write "$1/vel_rcv.dat" "${names[@]}" >/dev/null
}

# Starts `velweb --headless` of program directory $1 on port $2, with a profile of
# language 001 and that port, its output in $1.out; adds it to `pids`, sets `started_pid`
# and returns once it listens.
start_velweb() {
  printf '[General]\r\nLanguage=001\r\n[TCPIP]\r\nHTTPPort=%s\r\n' "$2" > "$1/VELWEB.INI"
  "$1/velweb" --headless > "$1.out" 2>&1 &
  started_pid=$!
  pids+=("$started_pid")
  wait_port "$2"
}

# Starts nginx (Debian's, one worker, no keep-alive, no access log, 127.0.0.1 only)
# serving directory $1 as static files on a free port; sets `nport`, adds it to `pids`
# and returns once it listens. Its worker runs as another user: $1 must be readable.
start_nginx() {
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
    root $1;
  }
}
CONF
  /usr/sbin/nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
  pids+=($!)
  wait_port "$nport"
}
