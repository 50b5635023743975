#!/usr/bin/env bash
# Sets everything up and runs the main job: a generated CW recording through
# the station's band filter and keying detector.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
scripts/setup.sh default
exec build/default/apps/cwdemo "$@"
