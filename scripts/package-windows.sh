#!/usr/bin/env bash
# Builds Veltra's Windows installer and ZIP, and tries the installer out under Wine:
#   scripts/package-windows.sh [BUILD-DIR]     (default build-windows)
# Leaves BUILD-DIR/veltra-VERSION-win64.exe (a 64-bit NSIS installer) and
# BUILD-DIR/veltra-VERSION-win64.zip (the same folder, portable). Then, in a fresh Wine
# prefix: the installer runs silently; the installed veltra.exe, on the virtual camera
# the tests preload into Wine (tests/vcam/winecam.cpp), must open its window "Veltra",
# once started show the camera's frames with the trail and write the diagnostic stream
# to the file it was redirected to, and exit with 0 on "返航" and on its window being
# closed; the uninstaller, silent too, must remove what was
# installed. Installs what it needs (apt-get; sudo when not root).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-windows}
case "$build" in /*) ;; *) build=$top/$build ;; esac

. "$top/scripts/windows-build.sh"
install_missing xvfb openbox xdotool wmctrl x11-apps imagemagick

configure_windows
cmake --build "$build" -j "$(nproc)" --target veltra veltra-replay
winecam=$(build_winecam)
rm -f "$build"/veltra-*-win64.*
(cd "$build" && cpack -C RelWithDebInfo)
installer=$(ls "$build"/veltra-*-win64.exe)
zip=$(ls "$build"/veltra-*-win64.zip)
file -b "$installer" | grep -q 'PE32+' || { echo "package-windows: the installer is not a 64-bit program" >&2; exit 1; }
echo "package-windows: $(basename "$installer") $(du -k "$installer" | cut -f1) KiB, $(basename "$zip") $(du -k "$zip" | cut -f1) KiB"
echo "package-windows: the folder holds:"
unzip -Z1 "$zip" | sed 's|^[^/]*/||' | grep -v '/$' | sort | sed 's/^/  /'

start_wine --window-manager
unset WINEPATH # the installed program finds its DLLs beside it, or not at all
shots=$build/installer-check
rm -rf "$shots" && mkdir -p "$shots"
fail() { echo "package-windows: $*" >&2; exit 1; }
win_dir=$(winepath -u 'C:\Program Files\Veltra' 2>/dev/null)

wine "$installer" /S
# The silent installer hands over to its copy in a temporary folder and may return
# before the copy has finished.
for _ in $(seq 100); do [ -f "$win_dir/Uninstall.exe" ] && break; sleep 0.2; done
wineserver -w
[ -f "$win_dir/veltra.exe" ] || fail "veltra.exe was not installed in $win_dir"
echo "package-windows: installed $(du -sk "$win_dir" | cut -f1) KiB into C:\\Program Files\\Veltra"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Veltra' /v DisplayName 2>/dev/null \
  | grep -q Veltra || fail "no entry in the installed apps"
find "$WINEPREFIX/drive_c" -path '*Start Menu*' -iname 'Veltra*.lnk' | grep -q . || fail "no Start-menu entry"

# run_installed HOW: starts the installed program, waits for its window, ends it HOW
# (button or close), and checks its exit code.
run_installed() {
  local how=$1 window pid code
  echo "state live" > "$build/winecam/control"
  (cd "$win_dir" && LD_PRELOAD=$winecam VELTRA_WINECAM=$build/winecam wine ./veltra.exe \
    > "$shots/$how-diag.txt" 2> "$shots/$how-err.txt") &
  pid=$!
  window=""
  for _ in $(seq 150); do
    window=$(xdotool search --onlyvisible --name '^Veltra$' 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.2
  done
  [ -n "$window" ] || fail "no window titled Veltra ($how)"
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # The start button at the left of the bottom row, "返航" at its right, above the
  # status bar: the form's margins are 11 pixels.
  xdotool mousemove --window "$window" 60 $((HEIGHT - 45)) click 1
  sleep 3
  import -window root "$shots/$how.png"
  # The camera's frames tracked (an area and a corner count a frame, one contour
  # each), and the trail's yellow discs on the screen.
  local lines yellow
  lines=$(grep -cxE '1131|4' "$shots/$how-diag.txt" || true)
  [ "$lines" -ge 60 ] && [ "$lines" -eq "$(wc -l < "$shots/$how-diag.txt")" ] \
    || fail "veltra.exe wrote $lines diagnostic lines of the camera's frames ($how): $(head -5 "$shots/$how-diag.txt")"
  yellow=$(convert "$shots/$how.png" -fill black +opaque yellow -fill white -opaque yellow -format '%[fx:int(mean*w*h+0.5)]' info:)
  [ "$yellow" -ge 500 ] || fail "no trail in the screenshot ($how): $yellow yellow pixels"
  if [ "$how" = button ]; then
    xdotool mousemove --window "$window" $((WIDTH - 55)) $((HEIGHT - 45)) click 1
  else
    wmctrl -i -c "$window"
  fi
  for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.2; done
  kill -0 $pid 2>/dev/null && fail "veltra.exe did not end on $how"
  code=0
  wait $pid || code=$?
  [ $code -eq 0 ] || fail "veltra.exe ended with $code on $how"
  echo "package-windows: veltra.exe showed the camera ($lines diagnostic lines, $yellow yellow pixels of trail)," \
    "ended with 0 on $how (screenshot $shots/$how.png)"
}
run_installed button
run_installed close

wine "$win_dir/Uninstall.exe" /S
for _ in $(seq 100); do [ -e "$win_dir/veltra.exe" ] || break; sleep 0.2; done
wineserver -w
[ ! -e "$win_dir" ] || fail "the uninstaller left $(find "$win_dir" | head -5 | tr '\n' ' ')"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Veltra' > /dev/null 2>&1 \
  && fail "the installed apps' entry is still there"
echo "package-windows: the uninstaller removed the program and its entry"
