#!/usr/bin/env bash
# The real window under Xvfb: it comes up at 940 x 686 with its caption, the
# scope shows its flat green line on black, a screenshot is kept, and SIGTERM
# closes it cleanly (exit status 0).
# Usage: window_xvfb_test.sh PROGRAM ARTIFACT_FOLDER
set -euo pipefail
program=$1
artifacts=$2
mkdir -p "$artifacts"

if [ -z "${QUORVEL_INSIDE_XVFB:-}" ]; then
  for tool in xvfb-run import identify; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
  done
  export QUORVEL_INSIDE_XVFB=1
  # The program must not pick the offscreen platform of the other window tests.
  unset QT_QPA_PLATFORM
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

caption="Quorvel Multi Decoder Version 0.05 https://quorvel.example.org"
window_png="$artifacts/quorvel-window.png"
screen_png="$artifacts/quorvel-screen.png"
rm -f "$window_png" "$screen_png"

"$program" >"$artifacts/quorvel.log" 2>&1 &
pid=$!
cleanup() { kill -KILL "$pid" 2>/dev/null || true; }
trap cleanup EXIT

# Wait for the window (found by its caption), then give it a moment to paint the
# first scope trace (Timer2, 100 ms).
# (import waits for a mouse click when no window has that name: hence timeout.)
sleep 0.3
for _ in $(seq 1 15); do
  if timeout 1 import -window "$caption" "$window_png" 2>/dev/null; then break; fi
  rm -f "$window_png"
  kill -0 "$pid" 2>/dev/null || { echo "FAIL: the program ended early"; cat "$artifacts/quorvel.log"; exit 1; }
done
[ -s "$window_png" ] || { echo "FAIL: no window titled '$caption'"; exit 1; }
sleep 0.5
timeout 5 import -window "$caption" "$window_png"
timeout 5 import -window root "$screen_png"
echo "screenshots: $window_png $screen_png"

failures=0
check() {  # description, actual, expected
  if [ "$2" == "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: got '$2', expected '$3'"; failures=$((failures + 1)); fi
}
pixel() { identify -format "%[pixel:p{$1,$2}]" "$window_png"; }

check "window size" "$(identify -format '%wx%h' "$window_png")" "940x686"
# The scope's paint box is at (96, 6) in the panel: y = 35 is the flat trace of
# a quiet (or absent) input, black around it.
check "scope trace" "$(pixel 171 41)" "srgb(0,255,0)"
check "scope background" "$(pixel 171 20)" "srgb(0,0,0)"

# SIGTERM closes the window as the user would. How long that takes depends on
# the machine (a sanitizer build on a loaded one is slow), so it is only
# reported; a program that has not ended after 20 s is hung and fails.
start=$(date +%s%N)
kill -TERM "$pid"
for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  echo "FAIL: still running 20 s after SIGTERM"; failures=$((failures + 1))
  kill -KILL "$pid" 2>/dev/null || true
fi
status=0
wait "$pid" || status=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
trap - EXIT
check "exit status after SIGTERM" "$status" "0"
echo "closed in ${elapsed_ms} ms"
# A sanitizer's report (a leak, say) ends the program with another status: show it.
if [ "$status" != 0 ]; then echo "--- program output:"; cat "$artifacts/quorvel.log"; fi

[ "$failures" -eq 0 ] || exit 1
