# Sourced by test-windows.sh and package-windows.sh: the Windows libraries, and the
# cross-build's configuration and run-time environment. Expects `top` and `build`.

# install_missing PACKAGE...: what the scripts use besides the cross-build's own.
install_missing() { "$top/scripts/install-deps.sh" --packages "$@"; }

windows_start=$(date +%s)
roots=$("$top/scripts/windows-deps.sh" | tail -1)
echo "windows: the Windows libraries ready after $(( $(date +%s) - windows_start )) s"

# configure_windows CMAKE-OPTION...: the "windows" preset, in $build.
configure_windows() {
  (cd "$top" && cmake --preset windows -B "$build" -DVELTRA_WINDOWS_ROOTS="$roots" "$@")
}

# build_winecam: the camera Wine is given, a Linux library preloaded into Wine that
# serves its DirectShow the test frames (tests/vcam/winecam.cpp); prints its path.
build_winecam() {
  local lib=$build/winecam/libv4l2.so.0
  mkdir -p "$build/winecam"
  g++ -std=c++17 -O2 -Wall -shared -fPIC -Wl,-soname,libv4l2.so.0 -I"$top/tests" -o "$lib" \
    "$top/tests/vcam/winecam.cpp" -ldl
  echo "$lib"
}

# start_wine [--window-manager]: a fresh Wine prefix inside the build, its own server,
# and an X server for the windows; with a window manager (openbox) to close windows as
# a user does. (With one, Wine waits on it at every window's start and end: some 20 s
# for each test program.)
start_wine() {
  export WINEPREFIX=$build/wine WINEDEBUG=fixme-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$WINEPREFIX"-dpi* # and the prefixes of wine-run.sh's scaled displays
  # The X server picks a free display, and names it once it takes connections.
  local number=$build/xvfb-display
  rm -f "$number"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3> "$number" > "$build/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$number" ] && break; sleep 0.1; done
  [ -s "$number" ] || { echo "windows: Xvfb did not start: $(cat "$build/xvfb.log")" >&2; return 1; }
  export DISPLAY=:$(head -1 "$number")
  if [ "${1:-}" = --window-manager ]; then
    openbox > "$build/openbox.log" 2>&1 &
    openbox_pid=$!
  fi
  trap stop_wine EXIT
  # The new prefix's set-up runs on after wineboot returns; tests started meanwhile
  # find its services half up, and each waits 10 s for them. Let it finish first.
  wineboot -i > /dev/null 2>&1
  wineserver -w
}
stop_wine() {
  local prefix
  for prefix in "$WINEPREFIX" "$WINEPREFIX"-dpi*; do
    [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  done
  kill "${openbox_pid:-}" "${xvfb_pid:-}" 2>/dev/null || true
}

# The folders of the DLLs the built programs load, for Wine's search path: Qt's,
# OpenCV's and MinGW's run-time libraries, as the configured build lists them.
windows_dll_path() {
  local path="" dir
  while read -r dir; do
    [ -d "$dir" ] && path=${path:+$path;}Z:${dir//\//\\}
  done < "$build/dll-folders"
  echo "$path"
}
