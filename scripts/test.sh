#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the normal build, then
# the AddressSanitizer+UBSan and ThreadSanitizer builds unless
# CW_SANITIZERS=0, then the fuzz check (scripts/fuzz.sh: every harness on a
# fixed seed, so the same commit always gets the same verdict; CW_FUZZ=0
# skips it). Headless: no display and no sound card are needed. Prints how
# long each stage took.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

presets=(default)
if [ "${CW_SANITIZERS:-1}" != "0" ]; then
  presets+=(asan tsan)
fi
timings=()
for preset in "${presets[@]}"; do
  echo "== $preset =="
  started=$SECONDS
  scripts/setup.sh "$preset"
  built=$SECONDS
  ctest --preset "$preset" -j "$(nproc)"
  timings+=("$preset: build $((built - started)) s, tests $((SECONDS - built)) s")
done

if [ "${CW_FUZZ:-1}" != "0" ]; then
  echo "== fuzz =="
  started=$SECONDS
  scripts/fuzz.sh
  timings+=("fuzz: $((SECONDS - started)) s in all")
fi

echo "== times =="
printf '%s\n' "${timings[@]}"
