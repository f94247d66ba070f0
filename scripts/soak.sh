#!/usr/bin/env bash
# The soak, on demand: one velweb serves REQUESTS requests (pages, a GIF, posted messages
# that velctl drains, missing files, requests broken off). Runs twice: in a normal build,
# where resident memory must stay flat (at most 2 MiB of growth after the first tenth),
# and in a sanitizer build, where LeakSanitizer and AddressSanitizer must stay silent. In
# both, descriptors must not grow and every answer must be right.
#
#   bash scripts/soak.sh [REQUESTS]
#
# REQUESTS defaults to 100000. Build directories: build-soak and build-soak-asan (or
# SOAK_BUILD and SOAK_BUILD_ASAN). The same run is `ctest -C soak -R faults.soak` in a
# configured build directory.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

requests=${1:-100000}
if ! [[ $requests =~ ^[0-9]+$ ]] || [ "$requests" -lt 100 ]; then
  echo "usage: bash scripts/soak.sh [REQUESTS>=100]" >&2
  exit 2
fi
normal=${SOAK_BUILD:-build-soak}
asan=${SOAK_BUILD_ASAN:-build-soak-asan}

status=0
for variant in normal asan; do
  if [ $variant = normal ]; then
    build=$normal flags=() growth=2048
  else
    build=$asan flags=(-DVELWEB_SANITIZE=ON) growth=0
  fi
  echo "== $variant build in $build"
  cmake -S . -B "$build" -G Ninja -DVELWEB_WERROR=ON "${flags[@]}" >/dev/null
  cmake --build "$build" -j2 --target fault_soak >/dev/null
  echo "== soak of $requests requests ($variant)"
  if ! "$build/tests/faults/fault_soak" "$requests" "$growth"; then
    status=1
  fi
done
exit $status
