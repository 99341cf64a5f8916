#!/usr/bin/env bash
# Processor time the real program spends per frame on the virtual camera:
#   scripts/camera-cost.sh [--format bgr|yuy2|mjpg] [--width W] [--height H] [--fps N]
#                          [--seconds S] [--runs R] [--binary PATH] [--build DIR]
# Starts a private X server, the virtual camera (the tests' PipeWire session and frame
# source) and the program on it with PipeWire's V4L2 layer preloaded, presses the start
# button and lets the live view settle for 2 s. Then, R times over, it takes the
# program's processor time (user and system, all its threads) over S seconds divided
# by the frames it tracked, and prints each and their median: a shared machine's
# speed wanders from one run to the next.
# With --no-camera there is no source and no V4L2 layer: the live view waits for a
# camera that is not there, and each run reports the program's resident memory and
# processor time instead.
# With --shown it measures what a user sees instead: the frames tracked in the S seconds
# from the press of the start button, once, with --pad N (zero bytes before each JPEG's
# end marker) and --first-frame-delay MS passed to the source.
# Every run also counts the lines the program wrote to standard error meanwhile.
# Needs xdotool to press the button (apt-get install xdotool).
set -euo pipefail
cd "$(dirname "$0")/.."
format=bgr width=640 height=480 fps=30 seconds=10 runs=3 build=build binary=
nocamera= shown= pad=0 delay=0
while [ $# -gt 0 ]; do
  [ "$1" = --no-camera ] && { nocamera=1; shift; continue; }
  [ "$1" = --shown ] && { shown=1; shift; continue; }
  case "$1" in
    --format) format=$2 ;; --width) width=$2 ;; --height) height=$2 ;; --fps) fps=$2 ;;
    --pad) pad=$2 ;; --first-frame-delay) delay=$2 ;;
    --seconds) seconds=$2 ;; --runs) runs=$2 ;; --binary) binary=$2 ;; --build) build=$2 ;;
    *) echo "camera-cost: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
binary=${binary:-$build/src/app/veltra}
command -v xdotool > /dev/null || { echo "camera-cost: needs xdotool (apt-get install xdotool)" >&2; exit 2; }

work=$(mktemp -d /tmp/veltra-cost.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  tests/vcam/vcam-daemons.sh stop "$work/session"
  [ -n "${KEEP_ERR:-}" ] && cp "$work/err" "$KEEP_ERR"; rm -rf "$work"
}
trap cleanup EXIT

exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1920x1200x24 -nolisten tcp > /dev/null 2>&1 &
pids+=($!)
read -r -u "$displayfd" display
export DISPLAY=:$display
tests/vcam/vcam-daemons.sh start "$work/session"
set -a; . "$work/session/env"; set +a

layer=
if [ -z "$nocamera" ]; then
  "$build/tests/vcam/veltra-vcam-source" --width "$width" --height "$height" --fps "$fps" --format "$format" \
    --pad "$pad" --first-frame-delay "$delay" > /dev/null &
  pids+=($!)
  sleep 0.5
  layer=/usr/lib/$(gcc -print-multiarch)/pipewire-0.3/v4l2/libpw-v4l2.so
fi
LD_PRELOAD=$layer QT_QPA_PLATFORM=xcb "$binary" > "$work/out" 2> "$work/err" &
program=$!
pids+=($program)
window=
for _ in $(seq 100); do
  window=$(xdotool search --onlyvisible --pid "$program" 2> /dev/null | tail -1) && [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "camera-cost: the window did not appear" >&2; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$window")"
# The start button sits at the bottom left, above the status bar.
xdotool mousemove --window "$window" 50 $((HEIGHT - 45)) click 1
lines() { wc -l < "$work/out"; }
errors() { wc -l < "$work/err"; }
if [ -n "$shown" ]; then
  errors0=$(errors)
  sleep "$seconds"
  echo "$format ${width}x${height} at $fps fps, padding $pad, first frame after $delay ms:" \
    "$(($(lines) / 2)) frames tracked in $seconds s from the start button;" \
    "$(($(errors) - errors0)) lines on standard error"
  exit 0
fi
sleep 2

# Nanoseconds on a processor, all threads: /proc/PID/stat's clock ticks count in
# hundredths of a second, a few per cent of a run of a few seconds.
cpu_ns() { cat /proc/"$program"/task/*/schedstat | awk '{ s += $1 } END { printf "%.0f", s }'; }
# The threads' switches off a processor, asked or not: steadier than time on a busy machine.
switches() { cat /proc/"$program"/task/*/status | awk '/ctxt_switches/ { s += $2 } END { printf "%.0f", s }'; }
if [ -n "$nocamera" ]; then
  for run in $(seq "$runs"); do
    cpu0=$(cpu_ns) rss0=$(awk '/^VmRSS/ {print $2}' "/proc/$program/status") errors0=$(errors)
    sleep "$seconds"
    cpu1=$(cpu_ns) rss1=$(awk '/^VmRSS/ {print $2}' "/proc/$program/status") errors1=$(errors)
    awk -v c=$((cpu1 - cpu0)) -v s="$seconds" -v a="$rss0" -v b="$rss1" -v run="$run" \
      -v e=$((errors1 - errors0)) 'BEGIN {
      printf "no camera, run %d: resident memory %d KiB, then %d KiB %d s later; %.0f ms of processor time (%.2f%% of a core); %d lines on standard error\n",
        run, a, b, s, c / 1e6, c / 1e7 / s, e }'
  done
  exit 0
fi
what="$format ${width}x${height} at $fps fps"
costs=()
for run in $(seq "$runs"); do
  cpu0=$(cpu_ns) switches0=$(switches) lines0=$(lines) errors0=$(errors)
  sleep "$seconds"
  cpu1=$(cpu_ns) switches1=$(switches) lines1=$(lines) errors1=$(errors)
  frames=$(((lines1 - lines0) / 2))
  [ "$frames" -gt 0 ] || { echo "camera-cost: no frame was tracked" >&2; exit 1; }
  cost=$(awk -v c=$((cpu1 - cpu0)) -v f="$frames" 'BEGIN { printf "%.3f", c / 1e6 / f }')
  costs+=("$cost")
  echo "$what, run $run: $frames frames in $seconds s, $cost ms of processor time a frame," \
    "$(awk -v d=$((switches1 - switches0)) -v f="$frames" 'BEGIN { printf "%.1f", d / f }') context switches a frame," \
    "$((errors1 - errors0)) lines on standard error"
done
median=$(printf '%s\n' "${costs[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
echo "$what: median $median ms of processor time a frame"
