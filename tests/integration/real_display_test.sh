#!/usr/bin/env bash
# The programs on a real X server: Xvfb with trayer as the tray host. The
# station's window must have no unpainted (white) pixel at any display size,
# its tray icon must sit in the tray, and its arrow keys must move the band
# (read back from "f.###"); morvel with its station must show both windows
# and decode. Skips (exit 77) where the X tools are missing.
#
#   real_display_test.sh BIN_DIR SAMPLES_DIR
set -u
bin=$1
samples=$2
for tool in Xvfb xdotool xwininfo import convert trayer; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (Xvfb, xdotool, x11-utils, imagemagick, trayer)"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/cw-display.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  sleep 0.5
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Polls a command every 0.1 s for up to $1 seconds.
await() {
  local limit=$(( $1 * 10 )); shift
  for _ in $(seq "$limit"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

display=""
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "skipped: no free X display number"; exit 77; }
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
await 10 xwininfo -root || { cat "$work/xvfb.log"; echo "skipped: Xvfb did not start"; exit 77; }
trayer --edge top --align right --widthtype request --SetDockType true >/dev/null 2>&1 &
pids+=($!)
await 5 sh -c 'xwininfo -root -tree | grep -q "\"panel\""' || fail "trayer did not start"

stationTitle='Фильтр НЧ для CW'
export SELVANE_INPUT="$samples/cq.wav" SELVANE_OUTPUT="$work/out.wav"

# --- the station alone
mkdir "$work/station" && cd "$work/station" || exit 1
"$bin/selvane" >"$work/station.log" 2>&1 &
station=$!
pids+=("$station")
await 15 xdotool search --onlyvisible --name "$stationTitle" || { cat "$work/station.log"; fail "no station window"; exit 1; }
window=$(xdotool search --onlyvisible --name "$stationTitle" | head -1)
await 5 sh -c 'xwininfo -root -tree | grep -q "\"selvane\": (\"selvane\""' || fail "no tray icon in the tray"
xdotool windowfocus --sync "$window"
for size in 1 2 3 4; do
  sleep 0.7
  import -window "$window" "$work/size$size.png"
  white=$(convert "$work/size$size.png" -fill black +opaque white -format '%[fx:round(mean*w*h)]' info:)
  height=$(xwininfo -id "$window" | awk '/Height:/ {print $2}')
  echo "display size $size: client height $height, white pixels $white"
  [ "$white" = "0" ] || fail "display size $size: $white unpainted pixels"
  xdotool key --window "$window" space 2>/dev/null || xdotool key space
done
for _ in 1 2 3 4 5; do xdotool key Right; sleep 0.1; done
sleep 0.3
kill -TERM "$station"
wait "$station"
code=$?
[ "$code" = 0 ] || fail "the station exited with $code"
low=$(od -An -f -N4 f.### 2>/dev/null | tr -d ' ')
echo "band after five Right presses: low edge $low (default 0.1)"
awk -v v="$low" 'BEGIN { exit !(v > 0.1001) }' || fail "the Right key did not move the band (low edge $low)"

# --- morvel with its station
mkdir "$work/morvel" && cd "$work/morvel" || exit 1
"$bin/morvel" >"$work/morvel.out" 2>"$work/morvel.err" &
morvel=$!
pids+=("$morvel")
await 15 xdotool search --onlyvisible --name '^ CW$' || fail "no morvel window"
await 15 xdotool search --onlyvisible --name "$stationTitle" || fail "morvel's station shows no window"
await 30 grep -q "CQ" "$work/morvel.out" || fail "morvel decoded nothing: $(cat "$work/morvel.out" "$work/morvel.err")"
kill -TERM "$morvel"
wait "$morvel"
code=$?
[ "$code" = 0 ] || fail "morvel exited with $code"
await 5 sh -c '! xdotool search --name "'"$stationTitle"'"' || fail "morvel's station still shows its window"

[ "$failures" = 0 ] && echo "real display: all checks passed"
exit $(( failures > 0 ))
