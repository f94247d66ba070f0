#!/usr/bin/env bash
# Runs browser_test.js in one of its two set-ups:
#   port80   the shipped profile without its Headers key (port 80, bare bodies), in a
#            network namespace of its own with only the loopback up, so that port 80 is
#            free whatever the machine runs; chromium starts inside the same namespace
#   headers  the shipped profile (Headers=1) on a free port
#   run_browser_test.sh MODE DIST_DIR TAKE_COMMANDS SCREENSHOT_DIR
set -uo pipefail
mode=${1:?mode}; dist=${2:?dist dir}; take=${3:?take_commands}; shots=${4:?screenshot dir}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ ! -x /usr/bin/chromium ]; then
  echo "SKIP: /usr/bin/chromium is not installed, so the browser test cannot run" \
       "(bash scripts/setup.sh installs it)"
  exit 77
fi
command -v node >/dev/null || { echo "FAIL: node is not installed (bash scripts/setup.sh)"; exit 1; }
for module in playwright-core axe-core; do
  if [ ! -d "$here/node_modules/$module" ]; then
    echo "FAIL: $module is missing in tests/e2e/node_modules (bash scripts/setup.sh)"
    exit 1
  fi
done
for f in velweb velctl libVelmar.so INDEX.HTM; do
  [ -f "$dist/$f" ] || { echo "FAIL: $dist lacks $f: build velweb, velctl and Velmar first"; exit 1; }
done

args=(--dist "$dist" --take "$take" --shots "$shots")
case $mode in
  port80)
    if [ "$(id -u)" -eq 0 ]; then ns=(unshare -n); else ns=(unshare -rn); fi
    exec "${ns[@]}" bash -c 'ip link set lo up || { echo "FAIL: no loopback in the namespace"; exit 1; }
                             exec node "$@"' bash "$here/browser_test.js" "${args[@]}" \
      --port 80 --headers 0 ;;
  headers)
    exec node "$here/browser_test.js" "${args[@]}" --port free --headers 1 ;;
  *)
    echo "FAIL: unknown mode $mode"; exit 1 ;;
esac
