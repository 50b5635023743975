#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer + UBSan) and runs
# every harness the build lists (fuzz/CMakeLists.txt).
#
#   scripts/fuzz.sh                  the check CI runs: the same verdict on
#                                    every run of the same commit
#   scripts/fuzz.sh --long MINUTES   a campaign of MINUTES per harness
#
# Harness names after the options run only those.
# The check runs each harness with a fixed seed over its committed corpus
# (fuzz/corpus/<harness>) plus a fixed number of new inputs: 100000, or
# what fuzz/ci-runs.txt gives for that harness. The committed corpus is not
# changed. A long run starts from the committed corpus, then merges the
# inputs that found new coverage into it (-merge=1 keeps only those).
#
# Both print per harness the executions, executions per second and coverage
# (edges, features, corpus inputs), and fail when any harness finds a crash,
# a leak, a timeout or a broken invariant; the input is kept in
# <build>/artifacts and printed as base64 in the log.
#
# Environment: CW_FUZZ_BUILD (build directory, default build/fuzz),
# CW_FUZZ_CC / CW_FUZZ_CXX (default clang-14 / clang++-14), CW_JOBS
# (parallel build jobs, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

usage() {
  echo "usage: scripts/fuzz.sh [--long MINUTES] [HARNESS...]" >&2
  exit 2
}
minutes=0
selected=()
while [ $# -gt 0 ]; do
  case "$1" in
    --long)
      [ $# -ge 2 ] && [[ "$2" =~ ^[1-9][0-9]*$ ]] || usage
      minutes="$2"
      shift 2
      ;;
    -*) usage ;;
    *)
      selected+=("$1")
      shift
      ;;
  esac
done
build="${CW_FUZZ_BUILD:-$root/build/fuzz}"
defaultRuns=100000
seed=1

CC="${CW_FUZZ_CC:-clang-14}" CXX="${CW_FUZZ_CXX:-clang++-14}" \
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCW_BUILD_FUZZ=ON -DCW_BUILD_TESTS=OFF -DCW_BUILD_BENCH=OFF -DCW_SANITIZE=address >/dev/null
cmake --build "$build" -j "${CW_JOBS:-2}" --target fuzzers
mapfile -t harnesses <"$build/fuzz/harnesses.txt"
if [ "${#selected[@]}" -gt 0 ]; then
  for h in "${selected[@]}"; do
    printf '%s\n' "${harnesses[@]}" | grep -qx "$h" || { echo "no harness $h" >&2; exit 2; }
  done
  harnesses=("${selected[@]}")
fi

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

# Address-space randomisation off: pointer values reach libFuzzer's table
# of recent comparisons and from there the mutations, so with it on the
# same seed does not give the same inputs twice.
fixedLayout=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  fixedLayout=(setarch "$(uname -m)" -R)
fi

# New inputs for the check: fuzz/ci-runs.txt holds "harness count" lines
# for the harnesses too slow (or too fast) for the default.
ciRuns() {
  local runs
  runs="$(awk -v h="$1" '$1 == h { print $2 }' fuzz/ci-runs.txt 2>/dev/null || true)"
  echo "${runs:-$defaultRuns}"
}

# Runs a harness; its output goes to the log given first, without the
# decoder libraries' chatter about malformed input (libmpg123 writes a few
# lines to standard error for every broken frame).
runHarness() {
  local log="$1" h="$2"
  shift 2
  { rc=0
    TMPDIR="$harnessTmp" "${fixedLayout[@]}" "$build/fuzz/$h" -timeout=25 -rss_limit_mb=4096 -reload=0 -print_final_stats=1 "$@" 2>&1 || rc=$?
    echo "$rc" >"$log.rc"; } |
    { grep -v -a -e '^Note: ' -e '^Warning: ' -e '^\[src/libmpg123/' || true; } >"$log"
  return "$(cat "$log.rc")"
}

# "cov: N ft: N corp: N" of the last status line libFuzzer printed.
coverage() {
  grep -a -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$1" | tail -n 1 | awk '{print $2, $4, $6}' || true
}

finalStat() {
  grep -a -o "stat::$2: *[0-9]*" "$1" | tail -n 1 | grep -o '[0-9]*$' || true
}

# A failure: the end of the log, then every input the harness left in
# artifacts, as base64 so it can be taken from a CI log.
report() {
  local h="$1" log="$2" since="$3" corpus="$4"
  echo "---- $h: last lines of its log ----"
  tail -n 60 "$log"
  cp "$log" "$artifacts/$h.log"
  echo "---- (full log: $artifacts/$h.log)"
  find "$artifacts" -maxdepth 1 -type f -name "$h-*" -newer "$since" | sort | while read -r input; do
    echo "---- $input ($(stat -c %s "$input") bytes), base64:"
    base64 -w 76 "$input"
    echo "---- to run it again: $build/fuzz/$h $input"
  done
  # A leak found only when the fuzzer exits leaves the empty input behind:
  # then each kept input is run alone, and the first that leaks is shown.
  if grep -a -q 'ERROR: LeakSanitizer' "$log" && ! grep -a -q 'to ignore leaks on libFuzzer side' "$log"; then
    echo "---- $h leaked at exit; running its corpus one input at a time"
    local input found=""
    while read -r input; do
      if ! "${fixedLayout[@]}" "$build/fuzz/$h" -runs=1 "$input" >"$work/alone.log" 2>&1; then
        found="$input"
        cp "$input" "$artifacts/$h-leak-alone-$(basename "$input")"
        echo "---- $input leaks on its own ($(stat -c %s "$input") bytes), base64:"
        base64 -w 76 "$input"
        grep -a -A 12 'ERROR: LeakSanitizer' "$work/alone.log" || true
        break
      fi
    done < <(find "$corpus" -type f | sort)
    if [ -z "$found" ]; then
      echo "---- no kept input leaks on its own: the leak needs what earlier inputs left behind"
    fi
  fi
}

failed=0
if [ "$minutes" -eq 0 ]; then
  printf '%-24s %10s %10s %8s %8s %8s %8s %8s\n' harness executions exec/s seconds edges features inputs result
else
  printf '%-24s %10s %10s %8s %13s %13s %11s %8s\n' harness executions exec/s seconds edges features inputs result
fi
for h in "${harnesses[@]}"; do
  committed="fuzz/corpus/$h"
  mkdir -p "$committed"
  corpus="$work/corpus-$h"
  mkdir -p "$corpus"
  cp -r "$committed/." "$corpus/"
  log="$work/$h.log"
  stamp="$work/$h.start"
  touch "$stamp"
  started=$SECONDS
  rc=0
  if [ "$minutes" -eq 0 ]; then
    inputs="$(find "$committed" -type f | wc -l)"
    runHarness "$log" "$h" -seed="$seed" -runs="$((inputs + $(ciRuns "$h")))" \
      -artifact_prefix="$artifacts/$h-" "$corpus" || rc=$?
  else
    # Coverage of the committed corpus first, to show what the run added.
    runHarness "$work/$h.before" "$h" -runs=0 "$committed" || true
    before="$(coverage "$work/$h.before")"
    runHarness "$log" "$h" -max_total_time="$((minutes * 60))" -artifact_prefix="$artifacts/$h-" "$corpus" || rc=$?
  fi
  took=$((SECONDS - started))
  units="$(finalStat "$log" number_of_executed_units)"
  units="${units:-0}"
  rate=$((units / (took > 0 ? took : 1)))
  result=ok
  if [ "$rc" -ne 0 ]; then
    result="FAILED($rc)"
    failed=1
  fi
  read -r edges features inputs <<<"$(coverage "$log")"
  if [ "$minutes" -eq 0 ]; then
    printf '%-24s %10s %10s %8s %8s %8s %8s %8s\n' "$h" "$units" "$rate" "$took" "$edges" "$features" "$inputs" "$result"
  else
    if [ "$rc" -eq 0 ]; then
      # Adds to the committed corpus only the inputs with new coverage.
      runHarness "$work/$h.merge" "$h" -merge=1 "$committed" "$corpus" || result="MERGE-FAILED"
    fi
    runHarness "$work/$h.after" "$h" -runs=0 "$committed" || true
    read -r edges0 features0 inputs0 <<<"$before"
    read -r edges features inputs <<<"$(coverage "$work/$h.after")"
    printf '%-24s %10s %10s %8s %13s %13s %11s %8s\n' "$h" "$units" "$rate" "$took" \
      "$edges0→$edges" "$features0→$features" "$inputs0→$inputs" "$result"
  fi
  if [ "$rc" -ne 0 ]; then
    report "$h" "$log" "$stamp" "$corpus"
  fi
done
exit "$failed"
