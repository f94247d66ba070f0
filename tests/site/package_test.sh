#!/usr/bin/env bash
# The Debian packages, built from this build tree with cpack (from sources whose files
# are group-writable, as a checkout under umask 002 leaves them) and installed with dpkg:
# the user velweb and the group velmar, the program directory handed to them, the unit,
# the manual pages; then the installed velweb run as velweb on a free port (directly,
# not through systemd, which CI does not have): a page, a posted message that velctl
# takes out, the server's files owned by velweb and closed to other accounts, the program
# files out of its reach, a message kept over the stop; then installed again over itself
# (a receiver file of another account keeps its owner, an admin's NOTES.LOG is left
# alone), velweb removed (profile and log stay, and so do the library and the receiver
# file, which the alarm server needs) and purged (the server's files gone, the kept
# message counted, the user too; the receiver file and NOTES.LOG stay).
# lintian (installed by scripts/setup.sh) must find nothing but the overridden program
# directory in /opt.
#   package_test.sh BUILD_DIR SOURCE_DIR    exit 77: skipped (not root, no dpkg or cpack)
set -uo pipefail
build=$(cd "${1:?usage: package_test.sh BUILD_DIR SOURCE_DIR}" && pwd)
source=$(cd "${2:?usage: package_test.sh BUILD_DIR SOURCE_DIR}" && pwd)
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in dpkg dpkg-deb cpack runuser setpriv curl python3; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (bash scripts/setup.sh)"
done
for package in velweb velmar-exchange; do
  if dpkg-query -W -f='${Status}' $package 2>/dev/null | grep -q 'installed'; then
    skip "a $package package is installed on this machine; the test leaves it alone"
  fi
done
[ -e /opt/velweb ] && skip "/opt/velweb exists already; the test leaves it alone"
getent passwd velweb >/dev/null && skip "the user velweb exists already; the test leaves it alone"
getent group velmar >/dev/null && skip "the group velmar exists already; the test leaves it alone"

work=$(mktemp -d /tmp/velweb-package.XXXXXX)
dir=/opt/velweb
pid=""
modes="$work/modes"
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  dpkg --purge velweb velmar-exchange >/dev/null 2>&1
  rm -rf "$dir"
  # The source files get their modes back.
  [ -f "$modes" ] && while read -r mode file; do chmod "$mode" "$file"; done <"$modes"
  rm -rf "$work"
}
trap cleanup EXIT
as_velweb() { runuser -u velweb -g velmar -- "$@"; }

# Build from group-writable sources, and install.
find "$source/packaging" "$source/site" -type f -printf '%m %p\n' >"$modes"
find "$source/packaging" "$source/site" -type f -exec chmod g+w {} +
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
deb=$(ls "$work"/velweb_*.deb 2>/dev/null | head -1)
lib=$(ls "$work"/velmar-exchange_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] && [ -n "$lib" ] || fail "cpack made no velweb and velmar-exchange packages"
for d in "$deb" "$lib"; do
  dpkg-deb -c "$d" | grep -q ' \./opt/$' && fail "$(basename "$d") holds a ./opt/ of its own"
  dpkg-deb -c "$d" | grep -E '^[-d]' | grep -vE '^(-rw-r--r--|-rwxr-xr-x|drwxr-xr-x) root/root ' &&
    fail "$(basename "$d") holds modes other than 0644 and 0755, or files not root's"
  if command -v lintian >/dev/null; then
    lintian -EvIL +pedantic --show-overrides "$d" >"$work/lintian.log" 2>&1
    if grep -qE '^[EW]: ' "$work/lintian.log"; then
      cat "$work/lintian.log" >&2
      fail "lintian finds more in $(basename "$d") than the overridden directory in /opt"
    fi
    grep -q '^O: [a-z-]*: dir-or-file-in-opt' "$work/lintian.log" ||
      { cat "$work/lintian.log" >&2; fail "lintian does not use the override for /opt"; }
  else
    echo "lintian is not installed (bash scripts/setup.sh): the package is not checked by it"
  fi
done
dpkg-deb -f "$deb" Depends | grep -q '^velmar-exchange (= ' || fail "velweb does not depend on velmar-exchange"
dpkg -i "$lib" "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }

getent passwd velweb >/dev/null || fail "no user velweb after the install"
[ "$(id -gn velweb)" = velmar ] || fail "velweb's group is $(id -gn velweb), not velmar"
[ "$(stat -c '%U:%G %a' "$dir")" = "root:velmar 3775" ] ||
  fail "the program directory is $(stat -c '%U:%G %a' "$dir")"
for f in velweb velctl libVelmar.so INDEX.HTM VELWEB.ONI vel_lang.001; do
  [ "$(stat -c %U "$dir/$f")" = root ] || fail "$f does not belong to root"
done
unit=/lib/systemd/system/velweb.service
[ -f "$unit" ] || fail "no $unit"
for line in "User=velweb" "Group=velmar" "AmbientCapabilities=CAP_NET_BIND_SERVICE" \
            "ProtectSystem=strict" "ReadWritePaths=$dir" "NoNewPrivileges=yes" "PrivateTmp=yes" \
            "ExecStart=$dir/velweb --headless" "ExecStartPre=$dir/velweb --check" \
            "WorkingDirectory=$dir" "UMask=0027" \
            "Type=notify" "WatchdogSec=30"; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; fail "systemd-analyze verify rejects the unit"; }
fi
for doc in copyright changelog.gz; do
  [ -f /usr/share/doc/velweb/$doc ] || fail "no /usr/share/doc/velweb/$doc"
done
# Enabled through deb-systemd-helper, whether or not systemd runs here.
[ -L /etc/systemd/system/multi-user.target.wants/velweb.service ] ||
  fail "the unit is not enabled (no link in multi-user.target.wants)"
for page in velweb velctl; do
  [ -f /usr/share/man/man1/$page.1.gz ] || fail "no manual page $page(1)"
  if command -v man >/dev/null; then
    [ "$(man -w $page 2>/dev/null)" = /usr/share/man/man1/$page.1.gz ] || fail "man does not find $page"
  fi
done
[ "$(velctl --version)" = "velctl 1.0.00" ] || fail "velctl is not on the PATH"
[ "$(stat -c '%U:%G %a' "$dir/vel_rcv.dat")" = "velweb:velmar 660" ] ||
  fail "the install made vel_rcv.dat $(stat -c '%U:%G %a' "$dir/vel_rcv.dat")"

# Run it as velweb on a free port: the profile as shipped, but for the port.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed "s/^HTTPPort=.*/HTTPPort=$port\r/" "$dir/VELWEB.ONI" >"$dir/VELWEB.INI"
chown velweb:velmar "$dir/VELWEB.INI"
export VELMAR_INSTANCE="package-test-$$"
# Sanitizer builds: the suppressions of the tree may be out of velweb's reach.
export ASAN_OPTIONS="detect_leaks=0"
unset LSAN_OPTIONS
LC_ALL=C.UTF-8 as_velweb "$dir/velctl" receivers write "$dir/vel_rcv.dat" "Bär Team" "Control Room" ||
  fail "velctl receivers write as velweb failed"
as_velweb "$dir/velweb" --check >"$work/check.log" 2>&1 ||
  { cat "$work/check.log" >&2; fail "velweb --check finds the installation wrong"; }
# setpriv becomes velweb and runs velweb in its place, so that signals reach the server.
setpriv --reuid velweb --regid velmar --init-groups -- "$dir/velweb" --headless \
  </dev/null >"$work/out.log" 2>"$work/err.log" &
pid=$!
for _ in $(seq 1 100); do
  curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
curl -s -D "$work/head.txt" -o "$work/index.htm" --max-time 5 "http://127.0.0.1:$port/" ||
  { cat "$work/err.log" >&2; fail "the installed velweb does not answer on port $port"; }
head -1 "$work/head.txt" | grep -q '^HTTP/1.0 200 OK' || fail "no status line: Headers=1 is not shipped"
grep -q $'<option value="B\xe4r Team">B\xe4r Team</option>' "$work/index.htm" || fail "the form lacks the receivers"
curl -s -o "$work/send.htm" --max-time 5 --data 'message=Hello+from+the+package&receivers=B%E4r+Team' \
  "http://127.0.0.1:$port/SEND.HTM" || fail "posting failed"
grep -q $'<li>B\xe4r Team</li>' "$work/send.htm" || fail "the result page does not list the receiver"
taken=$(LC_ALL=C.UTF-8 as_velweb "$dir/velctl" commands)
[ "$taken" = 'kind="FT" receivers=["Bär Team"] message="Hello from the package"' ] ||
  fail "velctl took out '$taken'"
# Nobody takes this one: the outbox keeps it over the stop.
curl -s -o /dev/null --max-time 5 --data 'message=Kept&receivers=B%E4r+Team' \
  "http://127.0.0.1:$port/SEND.HTM" || fail "posting failed"
kill -TERM "$pid"
for _ in $(seq 1 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
wait "$pid"; status=$?
pid=""
[ "$status" -eq 0 ] || { cat "$work/err.log" >&2; fail "velweb ended with $status on SIGTERM"; }
grep -q 'stopped: shut down by the system (SIGTERM). Served requests: 4' "$work/out.log" ||
  fail "no stop line: $(cat "$work/out.log")"
[ -s "$work/err.log" ] && { cat "$work/err.log" >&2; fail "velweb warned at start"; }

log=$(ls "$dir"/*.LOG 2>/dev/null | head -1)
[ -n "$log" ] || fail "no daily log"
[ "$(stat -c '%U %a' "$log")" = "velweb 440" ] || fail "the log is $(stat -c '%U %a' "$log")"
[ "$(stat -c '%U %a' "$dir/vel_outbox.dat" 2>&1)" = "velweb 640" ] ||
  fail "vel_outbox.dat is $(stat -c '%U %a' "$dir/vel_outbox.dat" 2>&1)"
[ "$(stat -c %U "$dir/vel_rcv.dat")" = velweb ] || fail "vel_rcv.dat is not velweb's"
as_velweb test -w "$dir/velweb" && fail "velweb may write its own program"
as_velweb rm -f "$dir/libVelmar.so" 2>/dev/null
[ -f "$dir/libVelmar.so" ] || fail "velweb could remove libVelmar.so"

# Installed over itself: the receiver file is the alarm server's (here: nobody's), and
# stays so; a file of the admin's that only looks like a log is nobody's business.
chown nobody "$dir/vel_rcv.dat"
install -m 0644 /dev/null "$dir/NOTES.LOG"
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i over itself failed"; }
[ "$(stat -c %U "$dir/vel_rcv.dat")" = nobody ] || fail "the upgrade took vel_rcv.dat from its owner"
[ "$(stat -c %U "$log")" = velweb ] || fail "the upgrade changed the log's owner"
[ "$(stat -c '%U %a' "$dir/NOTES.LOG")" = "root 644" ] || fail "the upgrade changed NOTES.LOG"

# Removing velweb keeps what the server wrote, and the alarm server's library and
# receiver file; purging takes the server's files and the user, and nothing else.
dpkg -r velweb >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -r failed"; }
[ ! -e "$dir/velweb" ] || fail "the program stays after dpkg -r"
[ -f "$dir/VELWEB.INI" ] && [ -f "$log" ] || fail "dpkg -r took the profile or the log"
[ -f "$dir/libVelmar.so" ] && [ -x "$dir/velctl" ] || fail "dpkg -r velweb took libVelmar.so or velctl"
dpkg --purge velweb >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg --purge failed"; }
grep -q "removing vel_outbox.dat, the outbox" "$work/dpkg.log" ||
  { cat "$work/dpkg.log" >&2; fail "the purge did not say what it removed"; }
for gone in VELWEB.INI vel_outbox.dat "$(basename "$log")" .velweb.lock; do
  [ ! -e "$dir/$gone" ] || fail "$gone stays after the purge"
done
[ -f "$dir/vel_rcv.dat" ] || fail "the purge took the alarm server's vel_rcv.dat"
[ "$(stat -c '%U %a' "$dir/NOTES.LOG" 2>&1)" = "root 644" ] || fail "the purge touched NOTES.LOG"
[ -f "$dir/libVelmar.so" ] || fail "the purge of velweb took libVelmar.so"
[ "$(stat -c '%U:%G' "$dir")" = "root:root" ] || fail "the directory is $(stat -c '%U:%G' "$dir") after the purge"
dpkg --purge velmar-exchange >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log" >&2; fail "dpkg --purge velmar-exchange failed"; }
[ ! -e "$dir/libVelmar.so" ] || fail "libVelmar.so stays after its package is purged"
[ -e /opt ] || fail "/opt went with the packages"
getent passwd velweb >/dev/null && fail "the user velweb stays after the purge"
[ -e /etc/systemd/system/multi-user.target.wants/velweb.service ] &&
  fail "the unit stays enabled after the purge"
getent group velmar >/dev/null && fail "the group velmar stays after the purge"
echo "the Debian packages install, run as velweb, and are removed and purged cleanly"
