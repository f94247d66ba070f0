#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each of them for a
# while: every fuzz_* program under build-fuzz/tests/fuzz, whatever area it belongs to.
#
#   bash scripts/fuzz.sh [SECONDS] [NAME...]
#
# SECONDS per target (default 60); NAMEs limit the run to those targets (fuzz_profile ...).
# Seeds come from tests/fuzz/<area>/corpus/<target>/ and are only read; what a run learns
# collects in build-fuzz/corpus/<target>/, and crashing inputs in
# build-fuzz/findings/<target>/. The script fails when any target found something.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-60}
shift || true
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: bash scripts/fuzz.sh [SECONDS] [NAME...]" >&2
  exit 2
fi

build=build-fuzz
echo "== configuring $build"
cmake -S . -B "$build" -G Ninja -DVELWEB_FUZZ=ON -DVELWEB_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# Every fuzz target that CMake knows of; only those are built (other programs need not
# build with clang and the sanitizers).
mapfile -t targets < <(ninja -C "$build" -t targets all 2>/dev/null |
  sed -n 's/^\(fuzz_[A-Za-z0-9_]*\): phony$/\1/p' | sort -u)
if [ $# -gt 0 ]; then
  wanted=("$@")
  selected=()
  for t in "${targets[@]}"; do
    for w in "${wanted[@]}"; do [ "$t" = "$w" ] && selected+=("$t"); done
  done
  targets=("${selected[@]}")
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets found" >&2
  exit 1
fi
echo "== building ${targets[*]}"
cmake --build "$build" -j2 --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
for target in "${targets[@]}"; do
  program=$(find "$build/tests/fuzz" -type f -perm -u+x -name "$target" | head -n 1)
  if [ -z "$program" ]; then
    echo "!! $target: program not found under $build/tests/fuzz" >&2
    failed+=("$target")
    continue
  fi
  seeds=()
  for dir in tests/fuzz/*/corpus/"$target"; do
    [ -d "$dir" ] && seeds+=("$dir")
  done
  work="$build/corpus/$target"
  findings="$build/findings/$target"
  # Findings are this run's: an input worth keeping becomes a seed of the committed corpus.
  rm -rf "$findings"
  mkdir -p "$work" "$findings"

  echo "== $target for ${seconds}s (seeds: ${seeds[*]:-none})"
  status=0
  "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work" "${seeds[@]}" >"$build/findings/$target.log" 2>&1 ||
    status=$?
  grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' \
    "$build/findings/$target.log" | awk '!seen[$0]++' | sed 's/^/   /' || true
  echo "   corpus: $(find "$work" -type f | wc -l) files"

  found=$(find "$findings" -type f | sort)
  if [ $status -ne 0 ] || [ -n "$found" ]; then
    echo "!! $target found something (exit status $status); log: $build/findings/$target.log"
    grep -E 'ERROR: |runtime error|property violated|SUMMARY' "$build/findings/$target.log" |
      head -n 5 | sed 's/^/   /' || true
    [ -n "$found" ] && echo "$found" | sed 's/^/   input: /'
    failed+=("$target")
  fi
done

echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
echo "fuzzing found nothing in: ${targets[*]}"
