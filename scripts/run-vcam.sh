#!/usr/bin/env bash
# Runs the program against the virtual camera of the tests, for trying it without a
# webcam: a private PipeWire session, the test frame source (a marker going round a
# circle) as camera 0, and veltra with PipeWire's V4L2 layer preloaded.
#   scripts/run-vcam.sh [BUILD_DIR [SOURCE OPTIONS...]]
# The source's options (--width, --height, --fps, --format bgr|yuy2|mjpg) default to
# 640 by 480 BGR at 30 frames a second.
# While it runs, `kill -USR1 <source pid>` stalls the camera and `kill -USR2` resumes it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
options=("$@")
[ ${#options[@]} -gt 0 ] || options=(--width 640 --height 480 --fps 30)
session=$(mktemp -d /tmp/veltra-vcam.XXXXXX)
layer=/usr/lib/$(gcc -print-multiarch)/pipewire-0.3/v4l2/libpw-v4l2.so

tests/vcam/vcam-daemons.sh start "$session"
source_pid=
cleanup() {
  [ -n "$source_pid" ] && kill "$source_pid" 2>/dev/null || true
  tests/vcam/vcam-daemons.sh stop "$session"
  rm -rf "$session"
}
trap cleanup EXIT

set -a
. "$session/env"
set +a
"$build/tests/vcam/veltra-vcam-source" "${options[@]}" > /dev/null &
source_pid=$!
echo "virtual camera: source pid $source_pid"
sleep 0.5
LD_PRELOAD=$layer "$build/src/app/veltra"
