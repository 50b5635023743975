#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the normal build, then
# the AddressSanitizer+UBSan and ThreadSanitizer builds unless
# CW_SANITIZERS=0, then builds and checks the Debian package (unless
# CW_PACKAGE=0), then the fuzz check (scripts/fuzz.sh: every harness on a
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

# The Debian package from the normal build, and its checks (CW_PACKAGE=0
# skips them).
if [ "${CW_PACKAGE:-1}" != "0" ]; then
  echo "== package =="
  started=$SECONDS
  missing=""
  for tool in cpack scdoc dpkg-shlibdeps dpkg-deb; do
    command -v "$tool" >/dev/null || missing+=" $tool"
  done
  if [ -n "$missing" ]; then
    echo "SKIP: the package is not built:$missing missing (scripts/setup.sh installs them)"
  else
    deb=$(scripts/package.sh)
    scripts/check_package.sh "$deb"
    timings+=("package: build and checks $((SECONDS - started)) s")
  fi
fi

if [ "${CW_FUZZ:-1}" != "0" ]; then
  echo "== fuzz =="
  started=$SECONDS
  scripts/fuzz.sh
  timings+=("fuzz: $((SECONDS - started)) s in all")
fi

echo "== times =="
printf '%s\n' "${timings[@]}"
