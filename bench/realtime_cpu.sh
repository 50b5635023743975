#!/usr/bin/env bash
# Whole-program cost at real time: morvel with its station decoding a 10 dB
# recording at speed 1 for SECONDS (20) of audio, headless and (when Xvfb is
# installed) under an X server. Prints each process's CPU time per second of
# audio, as a share of one core, and its peak resident memory. A benchmark,
# not a test: the figures depend on the machine.
#
#   bench/realtime_cpu.sh [BIN_DIR] [SECONDS]     (BIN_DIR: build/default/bin)
#   CW_DECODER=weak bench/realtime_cpu.sh         (morvel --decoder=weak)
set -u
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/default/bin}")
seconds=${2:-20}
work=$(mktemp -d "${TMPDIR:-/tmp}/cw-cpu.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  sleep 0.5
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

text="CQ CQ DE R3ABC R3ABC K = GM OM TNX FER CALL UR RST 579 579 NAME IS IVAN QTH MOSCOW HW CPY = 73 SK"
"$bin/cwgen" --wpm 18 --snr 10 --seed 7 --lead 500 --tail "$(( seconds * 1000 ))" --text "$text" "$work/rec.wav" >/dev/null

ticks=$(getconf CLK_TCK)
# utime + stime of a process, in clock ticks.
cpuTicks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
peakKiB() { awk '/VmHWM/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
# Times any thread of a process went to sleep and was woken again. Each
# wake-up costs a switch in and out whatever the thread then does, and the
# count varies far less from run to run than CPU time does.
wakeUps() { cat "/proc/$1"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ {n += $2} END {print n + 0}'; }

measure() { # mode
  local mode=$1 dir="$work/$1" args=()
  mkdir -p "$dir"
  [ -n "${CW_DECODER:-}" ] && args+=("--decoder=$CW_DECODER")
  (cd "$dir" && SELVANE_INPUT="$work/rec.wav" SELVANE_OUTPUT="$dir/out.wav" SELVANE_SPEED=1 \
     exec "$bin/morvel" "${args[@]}" >"$dir/text.txt" 2>"$dir/err.txt") &
  local morvel=$!
  pids+=("$morvel")
  local station=""
  for _ in $(seq 100); do
    station=$(pgrep -P "$morvel" | head -1)
    [ -n "$station" ] && break
    sleep 0.1
  done
  if [ -z "$station" ]; then
    kill -TERM "$morvel"
    echo "$mode: morvel started no station: $(cat "$dir/err.txt")"
    return
  fi
  sleep 2 # start-up is not what is measured
  local m0 s0 x0=0 x1=0 mw0 sw0
  m0=$(cpuTicks "$morvel"); s0=$(cpuTicks "$station")
  mw0=$(wakeUps "$morvel"); sw0=$(wakeUps "$station")
  if [ -n "${xserver:-}" ]; then x0=$(cpuTicks "$xserver"); fi
  sleep "$seconds"
  local m1 s1 mk sk mw sw
  m1=$(cpuTicks "$morvel"); s1=$(cpuTicks "$station")
  mw=$(( $(wakeUps "$morvel") - mw0 )); sw=$(( $(wakeUps "$station") - sw0 ))
  if [ -n "${xserver:-}" ]; then x1=$(cpuTicks "$xserver"); fi
  mk=$(peakKiB "$morvel"); sk=$(peakKiB "$station")
  kill -TERM "$morvel"
  wait "$morvel" 2>/dev/null
  awk -v mode="$mode" -v t="$ticks" -v s="$seconds" -v m="$(( m1 - m0 ))" -v st="$(( s1 - s0 ))" \
      -v mk="$mk" -v sk="$sk" -v mw="$mw" -v sw="$sw" 'BEGIN {
        printf "| %-9s | morvel  | %6.3f s | %5.1f %% | %5.0f | %5.1f MB |\n", mode, m / t / s, 100 * m / t / s, mw / s, mk / 1024
        printf "| %-9s | selvane | %6.3f s | %5.1f %% | %5.0f | %5.1f MB |\n", mode, st / t / s, 100 * st / t / s, sw / s, sk / 1024
      }'
  # The X server draws what both programs show. Its share is also a gauge of
  # the machine: on a shared one, a run in which it is well above its usual
  # share was slowed down as a whole.
  if [ -n "${xserver:-}" ]; then
    awk -v mode="$mode" -v t="$ticks" -v s="$seconds" -v x="$(( x1 - x0 ))" 'BEGIN {
        printf "| %-9s | X server | %6.3f s | %5.1f %% | | |\n", mode, x / t / s, 100 * x / t / s
      }'
  fi
}

echo "CPU per second of audio over ${seconds} s at real time, morvel ${CW_DECODER:+--decoder=$CW_DECODER }with its station"
echo "| mode      | process | CPU/s audio | of a core | wake-ups/s | peak RSS |"
echo "|---|---|---|---|---|---|"
(unset DISPLAY WAYLAND_DISPLAY; QT_QPA_PLATFORM=offscreen measure headless)
if command -v Xvfb >/dev/null; then
  display=""
  for n in $(seq 150 199); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
  done
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xserver=$!
  pids+=("$xserver")
  sleep 1
  (unset QT_QPA_PLATFORM WAYLAND_DISPLAY; DISPLAY=$display measure xvfb)
else
  echo "(Xvfb is not installed: no X server figures)"
fi
