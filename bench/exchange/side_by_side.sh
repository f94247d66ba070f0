#!/usr/bin/env bash
# The exchange benchmark of several builds side by side: the builds take turns, ROUNDS
# times, so that a change in the machine's load hits all alike; the table gives, per
# benchmark and build, the median over the rounds of each run's median CPU time.
#
# With REALTIME=1 (root only) every run is under SCHED_FIFO, and so is the contending
# process it forks: the two then hold a core each and meet on the lock even while other
# work loads the machine. Without it, a loaded machine seldom runs them at the same time
# and the contended:1 figures come out close to the contended:0 ones.
#
# Usage: [ROUNDS=5] [REALTIME=1] [FILTER=regex] bash bench/exchange/side_by_side.sh BUILD...
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: [ROUNDS=5] [REALTIME=1] [FILTER=regex] $0 BUILD..." >&2
  exit 2
fi
rounds=${ROUNDS:-5}
filter=${FILTER:-.}
prefix=()
if [ "${REALTIME:-0}" = 1 ]; then prefix=(chrt -f 10); fi
for build in "$@"; do
  if [ ! -x "$build/bench/exchange/velmar_bench" ]; then
    echo "no $build/bench/exchange/velmar_bench (cmake --build $build --target velmar_bench)" >&2
    exit 1
  fi
done

results=$(mktemp)
trap 'rm -f "$results"' EXIT
for round in $(seq "$rounds"); do
  echo "round $round of $rounds: $(cut -d' ' -f1-3 /proc/loadavg) (load average)" >&2
  for build in "$@"; do
    "${prefix[@]}" "$build/bench/exchange/velmar_bench" --benchmark_filter="$filter" \
      --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
      --benchmark_min_time=0.3 2>/dev/null |
      awk -v b="$build" '$1 ~ /_median$/ {
        name = $1; sub(/_median$/, "", name)
        ns = $4; if ($5 == "us") ns *= 1000; if ($5 == "ms") ns *= 1000000
        print name, b, ns }' >>"$results"
  done
done

python3 - "$results" "$@" <<'EOF'
import statistics, sys
rows, builds = {}, sys.argv[2:]
for line in open(sys.argv[1]):
    name, build, ns = line.split()
    rows.setdefault(name, {}).setdefault(build, []).append(float(ns))
print("| benchmark | " + " | ".join(builds) + " |")
print("|---" * (len(builds) + 1) + "|")
for name, by in rows.items():
    def shown(ns):
        return "%.1f µs" % (ns / 1000) if ns >= 1000 else "%.3g ns" % ns
    cells = [shown(statistics.median(by[b])) if b in by else "" for b in builds]
    print(f"| `{name}` | " + " | ".join(cells) + " |")
EOF
