#!/usr/bin/env bash
# Which of a build's programs open camera 0 as they start, when one is present:
#   scripts/camera-opens.sh [BUILD-DIR]      (default build, built with its tests)
# Each runs with camera 0 a virtual camera of a fresh private PipeWire session (the
# tests' frame source, through PipeWire's V4L2 layer), which says whether anything
# opened it. Test programs are started with -functions (Qt Test lists its functions
# and exits), the tools with a quick run; veltra alone should open it.
set -u
cd "$(dirname "$0")/.."
build=${1:-build}
layer=/usr/lib/$(gcc -print-multiarch)/pipewire-0.3/v4l2/libpw-v4l2.so
check() { # NAME COMMAND...
  local name=$1; shift
  work=$(mktemp -d)
  tests/vcam/vcam-daemons.sh start $work/s "$build/tests/vcam/veltra-vcam-source"
  PIPEWIRE_RUNTIME_DIR=$work/s/runtime LD_PRELOAD=$layer \
    QT_QPA_PLATFORM=offscreen timeout 60 "$@" > /dev/null 2>&1
  sleep 0.3
  grep -qx linked $work/s/camera.log && echo "opens camera 0: $name" || echo "leaves it alone: $name"
  tests/vcam/vcam-daemons.sh stop $work/s 2>/dev/null; rm -rf $work
}
for p in $build/tests/tst_*; do
  [ -f "$p" ] && [ -x "$p" ] || continue
  case $(basename $p) in
    tst_fuzz_regressions) check tst_fuzz_regressions $p fuzz/corpus/empty ;;
    tst_package) ;;
    *) check $(basename $p) $p -functions ;;
  esac
done
check veltra-replay $build/tools/replay/veltra-replay /nonexistent.avi
check veltra-bench $build/bench/veltra-bench --width 64 --height 64 --trail 0 --frames 1
check veltra $build/src/app/veltra -platform offscreen --help
