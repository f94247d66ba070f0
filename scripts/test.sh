#!/usr/bin/env bash
# Sets up, builds and runs every test twice: in a normal build (build/) and in a build
# with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/).
# Widget tests need a display: the whole run goes under Xvfb.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
bash scripts/format.sh --check

jobs=$(nproc)
# Warnings are errors where VELWEB_WERROR=ON asks for it (.ci/run does).
werror=${VELWEB_WERROR:-OFF}

run_variant() {
  local dir=$1; shift
  echo "== building $dir"
  cmake -S . -B "$dir" -G Ninja -DVELWEB_WERROR=$werror "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== testing $dir"
  xvfb-run -a -s "-screen 0 1280x1024x24" \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run_variant build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_variant build-asan -DCMAKE_BUILD_TYPE=Debug -DVELWEB_SANITIZE=ON -DVELWEB_BENCH=ON
