#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the normal build, then
# the AddressSanitizer+UBSan and ThreadSanitizer builds unless
# CW_SANITIZERS=0. Headless: no display and no sound card are needed.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

presets=(default)
if [ "${CW_SANITIZERS:-1}" != "0" ]; then
  presets+=(asan tsan)
fi
for preset in "${presets[@]}"; do
  echo "== $preset =="
  scripts/setup.sh "$preset"
  ctest --preset "$preset" -j "$(nproc)"
done
