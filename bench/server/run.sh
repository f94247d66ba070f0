#!/usr/bin/env bash
# Web benchmark: velweb, nginx and the floor server, side by side in one run, serving the
# same bytes ("INDEX.HTM" rendered with 200 receivers, and a 4 KiB GIF) on loopback.
#
#   bash bench/server/run.sh [BUILD_DIR] [REQUESTS] [ROUNDS] [BEFORE_BUILD_DIR]
#
# BUILD_DIR defaults to build/ (its dist/ is the program directory used); REQUESTS (per
# run) to 5000; ROUNDS to 5. Every round runs velweb, nginx and the floor one after the
# other on the same file and client count, so that a change in the machine's load hits all
# three alike; the summary gives the median of the rounds. Besides requests per second,
# each run reports the server's own CPU time per request (user + system, from
# /proc/PID/stat), which other work on the machine disturbs much less than wall time.
# BEFORE_BUILD_DIR, when given, is a build of an earlier velweb that runs beside the
# others as "before" (same receivers, same files), to show a change before and after.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
requests="${2:-5000}"
rounds="${3:-5}"
before_build="${4:+$(cd "$4" && pwd)}"
load="$build/bench/server/velload"
floor="$build/bench/server/velfloor"

source "$root/bench/server/lib.sh"
chmod 755 "$work"  # nginx workers run as another user

export VELMAR_INSTANCE="bench$$"

# The program directory: a copy of dist with 200 receivers and a 4 KiB GIF.
cp -a "$build/dist" "$work/velweb"
write_receivers "$work/velweb"
head -c 4090 /dev/urandom | { printf 'GIF89a'; cat; } > "$work/velweb/BENCH.GIF"
vport=$(free_port)
start_velweb "$work/velweb" "$vport"

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

start_nginx "$work/static"

fport_page=$(free_port)
"$floor" --port "$fport_page" --file "$work/static/INDEX.HTM" &
pids+=($!)
fport_gif=$(free_port)
"$floor" --port "$fport_gif" --file "$work/static/BENCH.GIF" &
pids+=($!)
wait_port "$fport_page"
wait_port "$fport_gif"

nginx_worker=$(pgrep -P "${pids[1]}" | head -1)
[ -n "$nginx_worker" ] || { echo "no nginx worker" >&2; exit 1; }

# The earlier velweb: its own program directory with the same receivers and files.
bport=""
if [ -n "$before_build" ]; then
  cp -a "$before_build/dist" "$work/before"
  cp "$work/velweb/vel_rcv.dat" "$work/velweb/BENCH.GIF" "$work/before/"
  bport=$(free_port)
  VELMAR_INSTANCE="benchbefore$$" start_velweb "$work/before" "$bport"
  before_pid=$started_pid
fi

# CPU ticks (user + system) a process has used so far.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

# One run: velload's line with the server's CPU time per request appended.
run() {  # label port server-pid clients request expect-bytes
  local before after line
  before=$(ticks "$3")
  line=$("$load" --port "$2" --clients "$4" --requests "$requests" --request "$5" \
         ${6:+--expect-bytes "$6"} --label "$1") || true
  after=$(ticks "$3")
  awk -v l="$line" -v t=$((after - before)) -v hz="$hz" -v n="$requests" \
    'BEGIN { printf "%s cpu_us=%.1f\n", l, t * 1e6 / hz / n }'
}

results="$work/results.txt"
echo "page: $page_bytes bytes, gif: $gif_bytes bytes; $requests requests per run, $rounds rounds"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for clients in 1 8; do
  for file in INDEX.HTM BENCH.GIF; do
    req="GET /$file HTTP/1.0\r\n\r\n"
    expect=$page_bytes; [ "$file" = BENCH.GIF ] && expect=$gif_bytes
    fport=$fport_page; fpid=${pids[2]}
    [ "$file" = BENCH.GIF ] && { fport=$fport_gif; fpid=${pids[3]}; }
    for round in $(seq "$rounds"); do
      # nginx adds its own status line and header fields: its byte count differs.
      run "velweb $file C=$clients" "$vport" "${pids[0]}" "$clients" "$req" "$expect"
      if [ -n "$bport" ]; then
        run "before $file C=$clients" "$bport" "$before_pid" "$clients" "$req" "$expect"
      fi
      run "nginx $file C=$clients" "$nport" "$nginx_worker" "$clients" "$req" ""
      run "floor $file C=$clients" "$fport" "$fpid" "$clients" "$req" "$expect"
    done | tee -a "$results"
  done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
python3 - "$results" <<'PY'
import re, statistics, sys
runs = {}
for line in open(sys.argv[1]):
    m = re.match(r"(\S+) (\S+) (C=\d+)\s.*failed=(\d+) rps=(\d+) p50_us=(\d+) p99_us=(\d+)"
                 r".* cpu_us=([\d.]+)", line)
    if not m:
        continue
    server, file, c, failed, rps, p50, p99, cpu = m.groups()
    other = re.search(r" other=(\d+)", line)
    failed = int(failed) + (int(other.group(1)) if other else 0)
    r = runs.setdefault((file, c), {}).setdefault(server, [])
    r.append((int(failed), float(rps), float(p50), float(p99), float(cpu)))
med = lambda rs, i: statistics.median(x[i] for x in rs)
print("medians of the rounds (rps, latency in us, server CPU us per request):")
print(f"{'file':10} {'C':4} {'server':7} {'rps':>7} {'p50':>6} {'p99':>6} {'cpu':>6} {'failed':>6}"
      f" {'rps/nginx':>9} {'rps/floor':>9} {'cpu/nginx':>9}")
for (file, c), by in runs.items():
    n, f = by.get("nginx"), by.get("floor")
    for server in ("velweb", "before", "nginx", "floor"):
        rs = by.get(server)
        if not rs:
            continue
        rps, cpu = med(rs, 1), med(rs, 4)
        ratio = lambda ref, i, v: f"{v / med(ref, i):9.2f}" if ref and med(ref, i) else f"{'-':>9}"
        print(f"{file:10} {c[2:]:4} {server:7} {rps:7.0f} {med(rs, 2):6.0f} {med(rs, 3):6.0f}"
              f" {cpu:6.1f} {sum(x[0] for x in rs):6d} {ratio(n, 1, rps)} {ratio(f, 1, rps)}"
              f" {ratio(n, 4, cpu)}")
PY
