#!/usr/bin/env bash
# Cross-builds Veltra for 64-bit Windows with MinGW-w64 and runs its tests under Wine:
#   scripts/test-windows.sh [BUILD-DIR]        (default build-windows)
# Qt, OpenCV, libjpeg-turbo and libpng for Windows come from windows-deps.sh, built
# once from Debian's sources and kept in ~/.cache/veltra/windows. The tests that do not
# need Linux's camera stack run under Wine, in a fresh Wine prefix inside the build,
# on an X server of their own (Xvfb), through Wine's X11 driver; the camera tests run
# veltra.exe on a virtual camera preloaded into Wine (tests/vcam/winecam.cpp). Before
# them the replay tool runs a clip under Wine and natively, and the two must print the
# same, write the same trail and the same last frame's pixels. Installs what it needs
# (apt-get; sudo when not root).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-windows}
case "$build" in /*) ;; *) build=$top/$build ;; esac

. "$top/scripts/windows-build.sh"
install_missing imagemagick xvfb openbox # the replay clip is drawn with ImageMagick

configure_windows -DVELTRA_WINECAM_LIB="$(build_winecam)"
cmake --build "$build" -j "$(nproc)"
file -b "$build/veltra.exe" | grep -q 'PE32+ executable (GUI) x86-64' \
  || { echo "test-windows: veltra.exe is not a 64-bit Windows program" >&2; exit 1; }
file -b "$build/veltra-replay.exe" | grep -q 'PE32+ executable (console) x86-64' \
  || { echo "test-windows: veltra-replay.exe is not a 64-bit Windows console program" >&2; exit 1; }

start_wine
export WINEPATH
WINEPATH=$(windows_dll_path)

# The same clip through the Linux and the Windows replay tool: a marker walking over
# a background with a second, unmarked shape, 40 frames.
clip=$build/replay-clip
rm -rf "$clip" && mkdir -p "$clip/frames"
for i in $(seq 0 39); do
  x=$((40 + i * 6)) y=$((40 + i * 3))
  convert -size 320x240 'xc:rgb(50,40,30)' -fill 'rgb(60,160,60)' -draw 'circle 250,60 270,60' \
    -fill 'rgb(200,150,100)' -draw "ellipse $x,$y 24,16 0,360" "PNG24:$(printf '%s/frames/f_%04d.png' "$clip" "$i")"
done
cmake -S "$top" -B "$build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF > "$build/native.log"
cmake --build "$build/native" -j "$(nproc)" --target veltra-replay >> "$build/native.log"
"$build/native/tools/replay/veltra-replay" "$clip/frames/f_%04d.png" --trail "$clip/linux-trail.txt" \
  --save-last "$clip/linux-last.png" > "$clip/linux-out.txt" 2> "$clip/linux-err.txt"
"$top/scripts/wine-run.sh" "$build/veltra-replay.exe" "$clip/frames/f_%04d.png" \
  --trail "$clip/windows-trail.txt" --save-last "$clip/windows-last.png" > "$clip/windows-out.txt" 2> "$clip/windows-err.txt"
for f in out.txt trail.txt; do
  cmp "$clip/linux-$f" "$clip/windows-$f" || { echo "test-windows: the replay tool's $f differs under Wine" >&2; exit 1; }
done
# The last frame's pixels: the two PNG files' bytes come from two builds of zlib.
differing=$(compare -metric AE "$clip/linux-last.png" "$clip/windows-last.png" null: 2>&1 || true)
[ "$differing" = 0 ] || { echo "test-windows: the replay tool's last frame differs under Wine: $differing pixels" >&2; exit 1; }
# All it says on standard error, but for the timing: its summary, nothing at the
# sequence's end. (Debian's wine script adds its note on the missing 32-bit Wine.)
summary() {
  tr -d '\r' < "$1" | sed -E 's/, [0-9.]+ ms per frame$//' \
    | grep -vE '^(it looks like wine32 is missing|multiarch needs to be enabled|execute "dpkg --add-architecture|apt-get install wine32)'
}
diff <(summary "$clip/linux-err.txt") <(summary "$clip/windows-err.txt") \
  || { echo "test-windows: the replay tool's standard error differs under Wine" >&2; exit 1; }
[ "$(wc -l < "$clip/linux-err.txt")" -eq 1 ] || { echo "test-windows: the replay tool says more than its summary" >&2; exit 1; }
echo "test-windows: veltra-replay.exe printed and wrote what the Linux build does ($(wc -l < "$clip/linux-out.txt") lines, $(wc -l < "$clip/linux-trail.txt") trail entries)"

cd "$build"
# veltra.exe on the camera, its window opened and closed as on a user's desktop: under
# a window manager. Without one, Wine waits 2 s at every window's end for a word only a
# window manager gives. The other tests run without: Wine would wait on one at each of
# their windows' starts and ends.
openbox > "$build/openbox.log" 2>&1 &
openbox_pid=$!
camera_code=0
ctest --output-on-failure -R '^tst_winecamera$' || camera_code=$?
kill "$openbox_pid" && wait "$openbox_pid" 2>/dev/null || true
unset openbox_pid
ctest --output-on-failure -E '^tst_winecamera$'
exit "$camera_code"
