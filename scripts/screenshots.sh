#!/usr/bin/env bash
# Pictures of VelWeb:
#   the pages    docs/screenshots/PAGE-LANGUAGE-SIZE.png: the form (form), the result page
#                once the alarm server took the message (result) and the history
#                (history), in English (en) and German (de), on a phone (phone, 360x780)
#                and a desktop (desktop, 1280x900). The real velweb runs with the shipped
#                profile and a few receivers, Debian's chromium fills in the form
#                (tests/e2e/screenshots.js), e2e_take_commands takes the messages.
#   the windows  PNG files in BUILD_DIR/screenshots, taken under Xvfb:
#                main_window.png, language_window.png, about_window.png  the windows
#                                                         themselves (the about window
#                                                         mid-animation)
#                desktop_start.png, desktop_later.png     the whole screen while the real
#                                                         velweb starts (splash up) and
#                                                         after the splash has gone
#                desktop_language.png                     the real velweb started without
#                                                         a language: it asks for one
# Usage: bash scripts/screenshots.sh [--pages|--windows] [BUILD_DIR]
#        (default: both; BUILD_DIR build)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

which=all
case ${1:-} in
  --pages) which=pages; shift ;;
  --windows) which=windows; shift ;;
  -*) echo "usage: bash scripts/screenshots.sh [--pages|--windows] [BUILD_DIR]" >&2; exit 2 ;;
esac
build=${1:-build}
bash scripts/setup.sh
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null

if [ "$which" != windows ]; then
  cmake --build "$build" -j2 --target velweb velctl Velmar velweb_site e2e_take_commands
  node tests/e2e/screenshots.js --dist "$build/dist" \
    --take "$build/tests/e2e/e2e_take_commands" --out docs/screenshots
fi
[ "$which" = pages ] && exit 0

cmake --build "$build" -j2 --target velweb_window_screenshots velweb
out="$PWD/$build/screenshots"
[ "${build:0:1}" = / ] && out="$build/screenshots"
mkdir -p "$out"

# The windows one by one.
xvfb-run -a -s "-screen 0 1024x768x24" \
  "$build/tests/windows/velweb_window_screenshots" "$out"

# The real program from a copy of its program directory, on a port of its own.
program=$(mktemp -d)
trap 'rm -rf "$program"' EXIT
cp -r "$build/dist/." "$program/"
port=$(( 20000 + RANDOM % 30000 ))
printf '[TCPIP]\r\nHTTPPort=%s\r\n[General]\r\nLanguage=001\r\n' "$port" >"$program/VELWEB.INI"
[ -f "$program/vel_lang.001" ] ||
  printf '0=English\r\n10=About Velmar Web Server\r\n13=Version\r\n14=By\r\n124=Loading receivers...\r\n' \
    >"$program/vel_lang.001"
cat >"$program/shoot.sh" <<SHOOT
set -u
export VELMAR_INSTANCE=screenshots\$\$
"$program/velweb" >"$program/velweb.out" 2>&1 &
pid=\$!
sleep 2
import -window root "$out/desktop_start.png"
sleep 4
import -window root "$out/desktop_later.png"
kill -TERM \$pid
wait \$pid
# Without a language the program asks for one first.
printf '[TCPIP]\\r\\nHTTPPort=$port\\r\\n' >"$program/VELWEB.INI"
"$program/velweb" >>"$program/velweb.out" 2>&1 &
pid=\$!
sleep 2
import -window root "$out/desktop_language.png"
kill -TERM \$pid
wait \$pid || true
SHOOT
xvfb-run -a -s "-screen 0 1024x768x24" bash "$program/shoot.sh" ||
  { echo "screenshots: velweb did not run, see below"; cat "$program/velweb.out"; exit 1; }
ls -1 "$out"/*.png
