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

# A free port below the kernel's ephemeral range, so that the benchmarks' own thousands of
# client connections never hold a server's port.
free_port() {
  python3 - <<'PY'
import random, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
for port in random.sample(range(10000, low), 200):
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
    except OSError:
        continue
    finally:
        s.close()
    print(port)
    break
PY
}
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
# language 001 and that port (and the sections $3, when given), its output in $1.out;
# adds it to `pids`, sets `started_pid` and returns once it listens.
start_velweb() {
  printf '[General]\r\nLanguage=001\r\n[TCPIP]\r\nHTTPPort=%s\r\n%s' "$2" "${3:-}" > "$1/VELWEB.INI"
  "$1/velweb" --headless > "$1.out" 2>&1 &
  started_pid=$!
  pids+=("$started_pid")
  wait_port "$2"
}

# Runs the caller's `setup_velweb NAME BUILD` (which leaves its port in `port`) for this
# build and, when `before_build` is set, for that one too: their ports in `vport` and
# `bport` (empty without a before build).
setup_velweb_and_before() {
  setup_velweb velweb "$build"
  vport=$port
  bport=""
  if [ -n "$before_build" ]; then
    setup_velweb before "$before_build"
    bport=$port
  fi
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
