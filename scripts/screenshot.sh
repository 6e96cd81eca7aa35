#!/bin/sh
# Takes docs/screenshot.png: the demo's main window once its enclosures are
# laid out and monitoring shows their status. Builds nothing; it runs an
# already built pxgui-demo on a virtual X display.
#
#   scripts/screenshot.sh [path/to/pxgui-demo]
#
# Without an argument it uses build/dev/app/pxgui-demo, else the first
# pxgui-demo found under build/. Needs xvfb-run, xauth and ImageMagick
# (Debian: xvfb xauth imagemagick; scripts/install-deps.sh installs them).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
output="$root/docs/screenshot.png"
# Time for the first status poll to reach the window after "Start".
settle_seconds=6

fail() {
  echo "screenshot: $*" >&2
  exit 1
}

take_screenshot() {
  demo=$1
  workdir=$(mktemp -d)
  trap 'rm -rf "$workdir"' EXIT
  : >"$workdir/demo.log"
  "$demo" >>"$workdir/demo.log" 2>&1 &
  pid=$!

  # The demo says when the first detection has laid out the devices.
  tries=0
  until grep -q 'devices laid out' "$workdir/demo.log"; do
    kill -0 "$pid" 2>/dev/null || { cat "$workdir/demo.log" >&2; fail "pxgui-demo ended early"; }
    tries=$((tries + 1))
    if [ "$tries" -gt 240 ]; then
      kill -KILL "$pid" 2>/dev/null || true
      fail "the devices were not laid out within two minutes"
    fi
    sleep 0.5
  done
  sleep "$settle_seconds"

  # Only the main window is on the black root window, so trimming the black
  # leaves exactly the window.
  import -window root "$workdir/root.png"
  mkdir -p "$(dirname "$output")"
  convert "$workdir/root.png" -trim +repage "$output"

  # The end of a session, as the desktop would announce it: the program tells
  # its enclosures and closes.
  kill -TERM "$pid"
  tries=0
  while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 40 ]; then
      kill -KILL "$pid" 2>/dev/null || true
      fail "pxgui-demo did not end within 20 s of SIGTERM"
    fi
    sleep 0.5
  done
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "pxgui-demo exited with status $status"
  echo "screenshot: wrote $output"
}

if [ "${PX_SCREENSHOT_DISPLAY_READY:-}" = 1 ]; then
  take_screenshot "$1"
  exit 0
fi

demo=${1:-}
if [ -z "$demo" ]; then
  for candidate in "$root/build/dev/app/pxgui-demo" "$root"/build/*/app/pxgui-demo; do
    if [ -x "$candidate" ]; then
      demo=$candidate
      break
    fi
  done
fi
[ -n "$demo" ] && [ -x "$demo" ] || fail "no built pxgui-demo found; build it first or pass its path"
demo=$(cd "$(dirname "$demo")" && pwd)/$(basename "$demo")
for tool in xvfb-run import convert; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (Debian: xvfb xauth imagemagick)"
done

PX_SCREENSHOT_DISPLAY_READY=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -br" "$0" "$demo"
