#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer + UBSan) and runs
# each one for a while on a copy of its seed corpus, so fuzz/corpus stays as
# committed. Prints per harness the inputs executed and the executions per
# second; fails when any harness finds a crash, a leak, a timeout or a
# broken invariant. Crashing inputs are kept in <build>/artifacts.
#
#   scripts/fuzz.sh [seconds-per-harness]      (default 30)
#
# Environment: CW_FUZZ_BUILD (build directory, default build/fuzz),
# CW_FUZZ_CC / CW_FUZZ_CXX (default clang-14 / clang++-14), CW_JOBS
# (parallel build jobs, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

seconds="${1:-30}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [seconds-per-harness]" >&2
  exit 2
fi
build="${CW_FUZZ_BUILD:-$root/build/fuzz}"
harnesses=(fuzz_options fuzz_band_file fuzz_control_datagram fuzz_sample_datagram
           fuzz_stream_packet fuzz_receive_stream fuzz_capture_file
           fuzz_server_session fuzz_client_receive fuzz_link_read)

CC="${CW_FUZZ_CC:-clang-14}" CXX="${CW_FUZZ_CXX:-clang++-14}" \
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCW_BUILD_FUZZ=ON -DCW_BUILD_TESTS=OFF -DCW_BUILD_BENCH=OFF -DCW_SANITIZE=address >/dev/null
cmake --build "$build" -j "${CW_JOBS:-2}" --target fuzzers

work="$(mktemp -d "${TMPDIR:-/tmp}/cwfuzz-run.XXXXXX")"
trap 'rm -rf "$work"' EXIT
artifacts="$build/artifacts"
mkdir -p "$artifacts"
export QT_QPA_PLATFORM=offscreen
# The band-file harness writes (and syncs) a file per input: on a memory
# file system that costs microseconds instead of a disk flush.
harnessTmp="${TMPDIR:-/tmp}"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  harnessTmp=/dev/shm
fi

failed=0
printf '%-24s %12s %10s %8s\n' harness executions exec/s result
for h in "${harnesses[@]}"; do
  corpus="$work/corpus-$h"
  mkdir -p "$corpus"
  cp -r "fuzz/corpus/$h/." "$corpus/"
  log="$work/$h.log"
  rc=0
  TMPDIR="$harnessTmp" "$build/fuzz/$h" -max_total_time="$seconds" -print_final_stats=1 -timeout=25 -rss_limit_mb=4096 \
    -artifact_prefix="$artifacts/$h-" "$corpus" >"$log" 2>&1 || rc=$?
  units="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$' || true)"
  # libFuzzer's own closing line, "Done N runs in S second(s)", gives the time.
  took="$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | tail -n 1 | awk '{print $5}' || true)"
  units="${units:-0}"
  took="${took:-$seconds}"
  rate=$(( units / (took > 0 ? took : 1) ))
  if [ "$rc" -eq 0 ]; then
    result=ok
  else
    result="FAILED($rc)"
    failed=1
  fi
  printf '%-24s %12s %10s %8s\n' "$h" "$units" "$rate" "$result"
  if [ "$rc" -ne 0 ]; then
    echo "---- $h: last lines of its log ----"
    tail -n 40 "$log"
    cp "$log" "$artifacts/$h.log"
    echo "---- (full log: $artifacts/$h.log)"
  fi
done
exit "$failed"
