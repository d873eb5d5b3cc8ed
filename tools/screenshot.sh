#!/usr/bin/env bash
# Takes the two pictures in docs/: the window after a finished crawl of a
# small generated site (docs/screenshot.png), and the question box that a
# double-click on an entry brings up (docs/question.png).
#
# Runs the real program on a private Xvfb display with the openbox window
# manager (so the window has its frame and title bar), serves the site with
# python3's http.server bound to 127.0.0.1, and drives the window with
# xdotool. Usage: tools/screenshot.sh [BUILD_DIR]   (default: build/release)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program=$build/app/tovarin
[[ -x $program ]] || { echo "screenshot: $program not built" >&2; exit 1; }
for tool in Xvfb openbox xdotool import python3; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool missing (tools/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tries=$1; shift
  for ((i = 0; i < tries; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# The site: a start page linking to a dozen pages of different lengths and
# two downloads (listed, never fetched). Links are relative, so any port does.
site=$work/site
mkdir -p "$site"
pages=(news products about contact support blog faq careers press partners history team)
{
  echo '<html><head><title>Tovarin demo</title></head><body><h1>Demo site</h1>'
  for p in "${pages[@]}"; do echo "<a href=\"/$p.html\">$p</a>"; done
  echo '<a href="/files/tovarin-setup.exe">setup</a> <a href="/files/manual.pdf">manual</a>'
  echo '</body></html>'
} > "$site/index.html"
n=0
for p in "${pages[@]}"; do
  n=$((n + 1))
  { echo "<html><body><h1>$p</h1>"; printf 'text %.0s' $(seq 1 "$n"); echo '</body></html>'; } > "$site/$p.html"
done
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')
python3 -m http.server --bind 127.0.0.1 --directory "$site" "$port" 2> "$work/http.log" > /dev/null &
pids+=($!)
wait_for 50 python3 -c "import socket; socket.create_connection(('127.0.0.1',$port)).close()"

# A private display with a window manager.
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 50 test -s "$work/display"
export DISPLAY=:$(head -n1 "$work/display")
openbox > "$work/openbox.log" 2>&1 &
pids+=($!)
wait_for 50 xdotool search --class openbox || true
sleep 0.5

LANG=C.UTF-8 "$program" > "$work/program.log" 2>&1 &
program_pid=$!
pids+=($program_pid)
wait_for 100 xdotool search --onlyvisible --name '^Tovarin$'
wid=$(xdotool search --onlyvisible --name '^Tovarin$' | head -n1)
sleep 0.5
xdotool windowactivate --sync "$wid" || true

# Type the address into 编辑框1 and press "Get" (client coordinates).
xdotool mousemove --window "$wid" 200 44 click 1
xdotool type --delay 20 "http://127.0.0.1:$port/"
xdotool mousemove --window "$wid" 400 40 click 1

# The crawl has ended once every page was requested (downloads never are).
expected=$((${#pages[@]} + 1))
wait_for 200 bash -c "[ \$(grep -c '\"GET ' '$work/http.log') -ge $expected ]"
sleep 1
xdotool mousemove --window "$wid" 440 340
sleep 0.3
import -window root "$root/docs/screenshot.png"

# Double-click the third entry: the question box comes up over the window.
xdotool mousemove --window "$wid" 120 152 click --repeat 2 --delay 60 1
wait_for 50 xdotool search --onlyvisible --name '^信息：$'
sleep 0.5
import -window root "$root/docs/question.png"

# Cancel the box, then Esc closes the window and the program ends normally.
xdotool key Escape
sleep 0.3
xdotool windowactivate --sync "$wid" 2>/dev/null || true
xdotool key Escape
status=0
for ((i = 0; i < 50; i++)); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.1; done
wait "$program_pid" || status=$?
echo "screenshot: docs/screenshot.png and docs/question.png written; tovarin exited with status $status"
