#!/usr/bin/env bash
# Checks the Debian package that scripts/package.sh built: its file list and
# computed dependencies, lintian, the desktop, AppStream and systemd files,
# the man pages, and the installed programs run from a scratch root (dpkg
# -x) without a display or a sound card: `morvel` decodes the bundled sample,
# starting the station that lies beside it. A check whose tool is missing is
# skipped with a message (scripts/setup.sh installs them all).
#
#   scripts/check_package.sh [selvane_<version>_<arch>.deb]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
deb=$(realpath "${1:-$(ls build/default/package/selvane_*.deb)}")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; }
has() { command -v "$1" >/dev/null; }

scratch=$(mktemp -d)
morvelPid=""
station=""
# A killed morvel leaves its station running: both are stopped by their ids.
cleanup() {
  for pid in $morvelPid $station; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

version=$(dpkg-deb -f "$deb" Version)
echo "== $(basename "$deb"), version $version =="

# -- Contents: everything the package promises, where the programs look.
programs=(selvane morvel cwgen)
# cwdecode is packaged when the tree has it.
[ -f apps/cwdecode.cpp ] && programs+=(cwdecode)
expected=(
  ./usr/share/selvane/chord.wav ./usr/share/selvane/samples/cq.wav
  ./usr/share/applications/io.github.selvane.morvel.desktop
  ./usr/share/applications/io.github.selvane.selvane.desktop
  ./usr/share/metainfo/io.github.selvane.morvel.metainfo.xml
  ./lib/systemd/system/selvane-relay.service ./lib/systemd/system/selvane-relay@.service
  ./etc/default/selvane-relay
  ./usr/share/doc/selvane/copyright ./usr/share/doc/selvane/changelog.gz
)
for p in "${programs[@]}"; do
  expected+=("./usr/bin/$p" "./usr/share/man/man1/$p.1.gz")
done
for size in 16 22 24 32 48 64 128 256; do
  for icon in selvane morvel; do
    expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/$icon.png")
  done
done
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
missing=0
for f in "${expected[@]}"; do
  grep -qxF "$f" <<<"$listing" || { fail "dpkg-deb -c: $f is missing"; missing=1; }
done
[ "$missing" = 0 ] && echo "ok: dpkg-deb -c lists all ${#expected[@]} expected files"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6gui6 libportaudio2 libsndfile1 libsamplerate0 libgsm1 libshout3 libopusenc0; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib (computed: $depends)"
done
echo "ok: computed Depends: $depends"

# -- lintian: no errors, and no warnings but the accepted ones.
if has lintian; then
  accepted=$(awk '!/^#/ && NF {print $1}' packaging/lintian-accepted.txt)
  report=$(lintian --allow-root "$deb" 2>/dev/null || true)
  [ -n "$report" ] && echo "$report"
  while read -r severity _ tag _; do
    case "$severity" in
      E:) fail "lintian error $tag" ;;
      W:) grep -qxF "$tag" <<<"$accepted" || fail "lintian warning $tag is not in packaging/lintian-accepted.txt" ;;
    esac
  done <<<"$report"
  echo "ok: lintian ran"
else
  skip "lintian is not installed"
fi

dpkg -x "$deb" "$scratch/root"
root="$scratch/root"

# -- Desktop entries and metainfo.
if has desktop-file-validate; then
  desktop-file-validate "$root"/usr/share/applications/*.desktop && echo "ok: desktop-file-validate" ||
    fail "desktop-file-validate"
else
  skip "desktop-file-validate is not installed"
fi
if has appstreamcli; then
  appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml >/dev/null &&
    echo "ok: appstreamcli validate" || fail "appstreamcli validate: $(appstreamcli validate --no-net "$root"/usr/share/metainfo/*.xml)"
else
  skip "appstreamcli is not installed"
fi

# -- Man pages render without warnings.
if has man; then
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null || echo "man failed")
    [ -z "$warnings" ] || fail "man -l $(basename "$page"): $warnings"
  done
  echo "ok: man -l renders $(ls "$root"/usr/share/man/man1 | wc -l) pages"
else
  skip "man is not installed"
fi

# -- The relay units. The copies name the program in the scratch root (the
# check looks for the ExecStart program) and the template gets an instance.
if has systemd-analyze; then
  mkdir "$scratch/units"
  for unit in selvane-relay.service selvane-relay@.service; do
    sed "s|=/usr/bin/selvane |=$root/usr/bin/selvane |" "$root/lib/systemd/system/$unit" >"$scratch/units/${unit/@./@check.}"
  done
  if out=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch"/units/*.service 2>&1); then
    echo "ok: systemd-analyze verify"
  else
    fail "systemd-analyze verify: $out"
  fi
else
  skip "systemd-analyze is not installed"
fi

# -- The installed programs: --version, and morvel decoding the bundled
# sample headless from the scratch root, in an empty working directory and
# with a PATH that holds no station, so it must start the one beside it.
for p in "${programs[@]}"; do
  if got=$(timeout 10 "$root/usr/bin/$p" --version 2>/dev/null </dev/null) && [ "$got" = "$p $version" ]; then
    echo "ok: $p --version: $got"
  elif [ "$p" = cwgen ]; then
    echo "note: cwgen does not answer --version yet"
  else
    fail "$p --version printed \"${got:-}\", not \"$p $version\""
  fi
done

# As root, in a network namespace of its own (loopback only): a station that
# another program of this machine runs would otherwise be shared (stations
# find each other through abstract sockets), and the link is kept private.
isolate=()
if [ "$(id -u)" = 0 ] && has unshare && has ip && unshare --net true 2>/dev/null; then
  isolate=(unshare --net sh -c 'ip link set lo up && exec "$@"' sh)
fi
mkdir "$scratch/work"
cd "$scratch/work"
want="CQ CQ DE R3ABC K"
"${isolate[@]}" env -i PATH=/usr/bin:/bin HOME="$scratch/work" SELVANE_SPEED=4 \
  SELVANE_INPUT="$root/usr/share/selvane/samples/cq.wav" SELVANE_OUTPUT="$scratch/work/played.wav" \
  "$root/usr/bin/morvel" >decoded.txt 2>errors.txt &
morvelPid=$!
stationExe=""
for _ in $(seq 300); do
  if [ -z "$station" ]; then
    station=$(ps -o pid= --ppid "$morvelPid" 2>/dev/null | head -n1 | tr -d ' ' || true)
    [ -n "$station" ] && stationExe=$(readlink "/proc/$station/exe" 2>/dev/null || true)
  fi
  grep -qF "$want" decoded.txt && break
  kill -0 "$morvelPid" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$morvelPid" 2>/dev/null || true
# It has 10 s to stop its station and end.
for _ in $(seq 100); do
  kill -0 "$morvelPid" 2>/dev/null || break
  sleep 0.1
done
kill -KILL "$morvelPid" 2>/dev/null && fail "morvel did not end within 10 s of SIGTERM"
status=0
wait "$morvelPid" || status=$?
morvelPid=""
# morvel waits for its station to quit; one still there is a fault too.
if [ -n "$station" ] && kill -0 "$station" 2>/dev/null; then
  fail "the station outlived morvel"
else
  station=""
fi
cd "$top"
if grep -qF "$want" "$scratch/work/decoded.txt" && [ "$status" = 0 ]; then
  echo "ok: the installed morvel decoded \"$want\" and exited 0"
else
  fail "installed morvel: exit $status, decoded \"$(cat "$scratch/work/decoded.txt")\", errors: $(cat "$scratch/work/errors.txt")"
fi
# Another station of this user (without the namespace) would be shared
# instead of started: that run proves nothing.
[ "$stationExe" = "$root/usr/bin/selvane" ] && echo "ok: it started the station beside it" ||
  fail "morvel started \"$stationExe\", not $root/usr/bin/selvane; it said: $(cat "$scratch/work/errors.txt")"
[ -f "$scratch/work/f.###" ] || fail "the station did not store its band in the working directory"

if [ "$failures" -gt 0 ]; then
  echo "== $failures package check(s) failed =="
  exit 1
fi
echo "== package checks passed =="
