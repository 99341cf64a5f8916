#!/usr/bin/env bash
# Starts or stops the private PipeWire session behind the virtual camera:
#   vcam-daemons.sh start DIR [SOURCE ARGS...]
#                                a session bus, pipewire and wireplumber, all in DIR;
#                                with SOURCE, also a frame source left running as
#                                camera 0, which nothing is meant to open
#   vcam-daemons.sh stop DIR     ends exactly the processes that `start` recorded, and
#                                fails if anything opened that source meanwhile
# DIR/env then holds the variables a client needs to reach this PipeWire. Nothing
# here touches the user's own session: the daemons live in DIR and are found through
# PIPEWIRE_RUNTIME_DIR, and the bus is a private one.
set -euo pipefail

cmd=${1:?usage: vcam-daemons.sh start|stop DIR}
dir=${2:?usage: vcam-daemons.sh start|stop DIR}

stop() {
  [ -f "$dir/pids" ] || return 0
  # Newest first: wireplumber, then pipewire, then the bus.
  local pids
  pids=$(tac "$dir/pids")
  for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in $pids; do
    for _ in $(seq 50); do
      # An ended process can stay a zombie for a while here: that counts as gone.
      state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || echo X)
      [ "$state" = X ] || [ "$state" = Z ] && break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -f "$dir/pids"
}

wait_for() { # wait_for FILE what
  for _ in $(seq 100); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  echo "vcam-daemons: $2 did not start; its log:" >&2
  cat "$dir"/*.log >&2 || true
  return 1
}

case "$cmd" in
stop)
  stop
  # The source prints "linked" when a program opens it and agrees on a format.
  if [ -f "$dir/camera.log" ] && grep -qx linked "$dir/camera.log"; then
    echo "vcam-daemons: the camera was opened while it was to be left alone" >&2
    exit 1
  fi
  ;;
start)
  stop # a run that died may have left its daemons behind
  rm -rf "$dir" && mkdir -p "$dir/runtime" "$dir/state"
  chmod 700 "$dir/runtime"
  : > "$dir/pids"
  trap 'stop' ERR

  bus="unix:path=$dir/bus"
  dbus-daemon --session --address="$bus" --nofork --nopidfile > "$dir/dbus.log" 2>&1 &
  echo $! >> "$dir/pids"
  wait_for "$dir/bus" "the session bus"

  export DBUS_SESSION_BUS_ADDRESS="$bus"
  export PIPEWIRE_RUNTIME_DIR="$dir/runtime"
  export XDG_STATE_HOME="$dir/state"
  # No real devices belong in this session: only the test's own source.
  export SPA_PLUGIN_DIR=${SPA_PLUGIN_DIR:-/usr/lib/$(gcc -print-multiarch)/spa-0.2}
  pipewire > "$dir/pipewire.log" 2>&1 &
  echo $! >> "$dir/pids"
  wait_for "$dir/runtime/pipewire-0" "pipewire"

  wireplumber > "$dir/wireplumber.log" 2>&1 &
  echo $! >> "$dir/pids"
  # The session manager shows up as a client of pipewire once it is running.
  for _ in $(seq 100); do
    pw-cli ls Client 2>/dev/null | grep -q 'application.name = "WirePlumber"' && break
    sleep 0.05
  done

  if [ $# -gt 2 ]; then
    "${@:3}" > "$dir/camera.log" 2>&1 &
    echo $! >> "$dir/pids"
    for _ in $(seq 100); do
      grep -q ready "$dir/camera.log" && break
      sleep 0.05
    done
    grep -q ready "$dir/camera.log" || { echo "vcam-daemons: the source did not start" >&2; cat "$dir/camera.log" >&2; stop; exit 1; }
  fi

  cat > "$dir/env" <<ENV
PIPEWIRE_RUNTIME_DIR=$dir/runtime
DBUS_SESSION_BUS_ADDRESS=$bus
ENV
  ;;
*)
  echo "usage: vcam-daemons.sh start|stop DIR" >&2
  exit 2
  ;;
esac
