#!/usr/bin/env bash
# Builds the Debian package selvane_<version>_<arch>.deb with CPack, from
# the "default" build (set up and built first by scripts/setup.sh when it is
# missing), and prints its path. Needs scdoc for the man pages and dpkg-dev
# for the computed dependencies (both in scripts/setup.sh's list).
#
#   scripts/package.sh            the package lands in build/default/package/
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/default

if [ ! -f "$build/CMakeCache.txt" ]; then
  scripts/setup.sh default >&2
fi
for tool in scdoc dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
# The programs and the generated files (icons, man pages) the install takes.
cmake --build "$build" --target package_files >&2
rm -f "$build"/package/selvane_*.deb
(cd "$build" && cpack -G DEB >&2)
ls "$build"/package/selvane_*.deb
