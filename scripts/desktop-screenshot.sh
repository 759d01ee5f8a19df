#!/usr/bin/env bash
# Takes docs/desktop-window.png: the window of the installed package as its
# desktop entry starts it for an ordinary user (nobody, with a data folder
# of its own), on port 80 through the bind helper, on a private Xvfb
# display, with one post from a browser in the chat. The picture is of the
# X server's pixels of the window (xwd), not a rendering by the program.
# Needs root and the korimo package installed; uses port 80 for a moment.
# Usage: desktop-screenshot.sh [OUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/desktop-window.png}")
[ "$(id -u)" -eq 0 ] || { echo "run as root" >&2; exit 1; }
entry=/usr/share/applications/korimo.desktop
[ -f "$entry" ] || { echo "install the korimo package first (make deb)" >&2; exit 1; }
scripts/install-deps.sh screenshot

work=$(mktemp -d /tmp/korimo-shot.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

wait_for() {  # seconds command...
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 640x400x24 -nolisten tcp -ac >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 20 xwininfo -root -display "$display" >/dev/null 2>&1 || { cat "$work/xvfb.log"; exit 1; }

mkdir "$work/home"
chown nobody: "$work/home"
read -r -a command <<<"$(sed -n 's/^Exec=//p' "$entry")"
runuser -u nobody -- env -i DISPLAY="$display" HOME="$work/home" PATH=/usr/bin:/bin LANG=C.UTF-8 \
  "${command[@]}" >"$work/korimo.log" 2>&1 &
pids+=($!)
window() { xwininfo -root -tree -display "$display" | sed -nE 's/^\s*(0x[0-9a-f]+) "Korimo .*/\1/p' | head -1; }
shown() { [ -n "$(window)" ]; }
listening() { [ -n "$(ss -Htln 'sport = :80')" ]; }
wait_for 20 shown || { cat "$work/korimo.log"; exit 1; }
wait_for 20 listening || { echo "nothing listens on port 80" >&2; exit 1; }
shot() { xwd -silent -id "$(window)" -display "$display" | xwdtopnm 2>/dev/null | pnmtopng; }
shot >"$work/before.png"
body='handle=guest&text=%82%B1%82%F1%82%C9%82%BF%82%CD'  # "こんにちは" in Shift-JIS
timeout 10 bash -c 'exec 3<>/dev/tcp/127.0.0.1/80 && printf "POST /scripts/append.cgi HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n%s" ${#1} "$1" >&3 && cat <&3 >/dev/null' _ "$body"
# The window draws the post once it has served it: take the picture once
# it has changed.
changed() { shot >"$work/after.png" && ! cmp -s "$work/before.png" "$work/after.png"; }
wait_for 20 changed || { echo "the window did not show the post" >&2; exit 1; }
cp "$work/after.png" "$out"
pid=$(ss -Htlnp 'sport = :80' | sed -nE 's/.*pid=([0-9]+).*/\1/p' | head -1)
echo "desktop-screenshot: $out; port 80 held by $(cat "/proc/$pid/comm") (user $(stat -c %U "/proc/$pid"))"
