#!/usr/bin/env bash
# Installs the build into a fresh prefix and runs that installation the way its systemd
# unit does: the shipped profile untouched (port 80, English, header fields), inside
# a network namespace of its own so that port 80 is free, stopped with SIGTERM.
#   install_test.sh BUILD_DIR
set -uo pipefail
build=${1:?usage: install_test.sh BUILD_DIR}
here=$(mktemp -d /tmp/velweb-install.XXXXXX)
prefix=$here/velweb
fail() { echo "FAIL: $*" >&2; exit 1; }
trap 'rm -rf "$here"' EXIT

cmake --install "$build" --prefix "$prefix" >"$here/install.log" 2>&1 ||
  { cat "$here/install.log" >&2; fail "cmake --install failed"; }

for f in velweb velctl libVelmar.so INDEX.HTM SEND.HTM LIST.HTM LOGO.GIF \
         vel_lang.001 vel_lang.049 VELWEB.ONI velweb.service \
         share/man/man1/velweb.1 share/man/man1/velctl.1; do
  [ -f "$prefix/$f" ] || fail "the installation lacks $f"
done
[ -x "$prefix/velweb" ] && [ -x "$prefix/velctl" ] || fail "programs are not executable"
[ ! -e "$prefix/VELWEB.INI" ] || fail "VELWEB.INI is installed; it must come from VELWEB.ONI"

unit=$prefix/velweb.service
key() { sed -n "s/^$1=//p" "$unit"; }
[ "$(key ExecStart)" = "$prefix/velweb --headless" ] || fail "ExecStart is '$(key ExecStart)'"
[ "$(key WorkingDirectory)" = "$prefix" ] || fail "WorkingDirectory is '$(key WorkingDirectory)'"
[ "$(key ReadWritePaths)" = "$prefix" ] || fail "ReadWritePaths is '$(key ReadWritePaths)'"
[ "$(key KillSignal)" = "SIGTERM" ] || fail "KillSignal is '$(key KillSignal)'"
[ "$(key User)" = velweb ] && [ "$(key Group)" = velmar ] || fail "the unit runs as '$(key User)'"
[ "$(key AmbientCapabilities)" = CAP_NET_BIND_SERVICE ] || fail "no CAP_NET_BIND_SERVICE for port 80"
if command -v systemd-analyze >/dev/null 2>&1; then
  # The manual pages of a prefix install are not where man looks (see the README).
  systemd-analyze verify --man=no "$unit" >"$here/verify.log" 2>&1 ||
    { cat "$here/verify.log" >&2; fail "systemd-analyze verify rejects the unit"; }
fi

# The installed companion tool writes the receivers (and proves its library is found).
"$prefix/velctl" receivers write "$prefix/vel_rcv.dat" "Control Room" "Alpha Team" ||
  fail "velctl receivers write failed"

export VELMAR_INSTANCE="site-install-$$"
run_service() {
  set -uo pipefail
  ip link set lo up || { echo "FAIL: cannot bring up loopback" >&2; exit 1; }
  cd "$prefix" || exit 1
  # As systemd starts it: ExecStart in WorkingDirectory, standard input from /dev/null.
  $(sed -n 's/^ExecStart=//p' "$unit") </dev/null >"$here/out.log" 2>&1 &
  pid=$!
  up=0
  for _ in $(seq 1 100); do
    if curl -s -o /dev/null --max-time 2 http://127.0.0.1/; then up=1; break; fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ $up -ne 1 ]; then
    echo "FAIL: the service did not answer on port 80" >&2; cat "$here/out.log" >&2
    kill -KILL "$pid" 2>/dev/null; exit 1
  fi
  status=0
  # Plain curl: the shipped profile sends a status line and header fields.
  curl -s --max-time 5 -D "$here/head.txt" -o "$here/index.htm" http://127.0.0.1/ || status=1
  curl -s --max-time 5 -o "$here/logo.gif" http://127.0.0.1/LOGO.GIF || status=1
  kill -TERM "$pid"
  stopped=0
  for _ in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || { stopped=1; break; }
    sleep 0.1
  done
  if [ $stopped -ne 1 ]; then
    echo "FAIL: the service did not stop within 15 s of SIGTERM" >&2
    kill -KILL "$pid" 2>/dev/null; exit 1
  fi
  wait "$pid"; echo "exit status $?" >>"$here/out.log"
  exit $status
}
export -f run_service; export prefix unit here
if [ "$(id -u)" -eq 0 ]; then ns=(unshare -n); else ns=(unshare -rn); fi
"${ns[@]}" bash -c run_service || fail "running the installation failed (see above)"

grep -q '<title>Send a message' "$here/index.htm" || fail "GET / did not give the form page"
grep -q '<option value="Alpha Team">Alpha Team</option>' "$here/index.htm" || fail "the form lacks the receivers"
grep -q '^1\.0\.00' "$here/index.htm" || fail "the form lacks the version"
head -c 15 "$here/index.htm" | grep -q '<!DOCTYPE html>' || fail "the body does not start with the page"
head -1 "$here/head.txt" | grep -q '^HTTP/1.0 200 OK' || fail "no status line with the shipped profile"
grep -qi '^Content-Type: text/html; charset=windows-1252' "$here/head.txt" || fail "no Content-Type"
cmp -s "$here/logo.gif" "$prefix/LOGO.GIF" || fail "LOGO.GIF did not arrive byte for byte"
[ -f "$prefix/VELWEB.INI" ] || fail "VELWEB.INI was not restored from VELWEB.ONI"
cmp -s "$prefix/VELWEB.INI" "$prefix/VELWEB.ONI" || fail "VELWEB.INI differs from VELWEB.ONI"
log=$(ls "$prefix"/*.LOG 2>/dev/null | head -1)
[ -n "$log" ] || fail "no daily log file in the installation"
grep -q 'Velmar Web Server Started' "$log" || fail "the log lacks the start line"
grep -q 'shuts down because' "$log" || fail "the log lacks the shutdown line after SIGTERM"
echo "installation in $prefix works: page, image, restored profile, log, SIGTERM"
