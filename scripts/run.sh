#!/usr/bin/env bash
# Sets everything up and runs the main job: the decoder `morvel` starts the
# filter station `selvane`, which plays a CW recording (samples/cq.wav unless
# another WAV is named) through its band filter and keying detector; the
# decoded text appears on standard output. Headless when there is no
# display. The run ends by itself: once the recording has played, morvel is
# sent SIGTERM, tells the station to quit, and both exit 0.
#
#   scripts/run.sh [recording.wav]     SELVANE_SPEED=n sets the replay speed (default 4)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/setup.sh default >/dev/null

sample=$(realpath "${1:-samples/cq.wav}")
speed="${SELVANE_SPEED:-4}"
[ -r "$sample" ] || { echo "cannot read $sample" >&2; exit 1; }

# 8000 Hz mono 16-bit: 16000 bytes a second after the 44-byte header.
bytes=$(stat -c %s "$sample")
seconds=$(( (bytes - 44 + 15999) / 16000 ))
wait_s=$(( seconds / speed + 4 ))

# The programs write "f.###" (the band) and the playback WAV in their working
# directory; keep them out of the source tree.
work="$top/build/run"
mkdir -p "$work"
cd "$work"
export SELVANE_INPUT="$sample" SELVANE_SPEED="$speed" SELVANE_OUTPUT="$work/played.wav"

echo "== morvel decoding $(basename "$sample") (${seconds} s of audio at ${speed}x) =="
"$top/build/default/bin/morvel" &
pid=$!
sleep "$wait_s"
kill -TERM "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
echo
echo "== morvel exited with code $status; filtered audio in build/run/played.wav =="
exit "$status"
