#!/usr/bin/env bash
# Builds Veltra's Windows installer and ZIP, and tries the installer out under Wine:
#   scripts/package-windows.sh [BUILD-DIR]     (default build-windows)
# Leaves BUILD-DIR/veltra-VERSION-win64.exe (a 64-bit NSIS installer) and
# BUILD-DIR/veltra-VERSION-win64.zip (the same folder, portable). Then, in a fresh Wine
# prefix:
# - the previous commit's installer (built in BUILD-DIR/previous), then this one, both
#   silent, and again with this one clicked through as a user does: one installed-apps
#   entry, this version's, with its folder and size, and exactly this version's files;
#   the same when the installer cannot load the plugin that tells it who the user is;
# - this installer and the uninstaller refuse to run while veltra.exe runs, and leave
#   the folder as it was;
# - the installed veltra.exe, on the virtual camera the tests preload into Wine
#   (tests/vcam/winecam.cpp), opens its window "Veltra", once started from the keyboard
#   shows the camera's frames with the trail and writes the diagnostic stream to the
#   file it was redirected to, and exits with 0 on "返航" and on its window being closed;
# - the uninstaller, silent too, removes what was installed.
# Installs what it needs (apt-get; sudo when not root).
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
# With the commit's time for every file in the ZIP: the same commit, the same packages.
(cd "$build" && SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct) cpack -C RelWithDebInfo)
installer=$(ls "$build"/veltra-*-win64.exe)
zip=$(ls "$build"/veltra-*-win64.zip)

# The previous commit's installer, to upgrade from.
previous=$build/previous
git -C "$top" worktree remove --force "$previous/src" 2>/dev/null || rm -rf "$previous/src"
git -C "$top" worktree prune
git -C "$top" worktree add --detach "$previous/src" HEAD~1 > /dev/null 2>&1
(
  top=$previous/src build=$previous/build
  rm -f "$build"/veltra-*-win64.exe
  configure_windows > "$previous/configure.log"
  cmake --build "$build" -j "$(nproc)" --target veltra veltra-replay > "$previous/build.log"
  cd "$build" && cpack -C RelWithDebInfo -G NSIS > "$previous/cpack.log"
) || { echo "package-windows: the previous commit's installer could not be built: see $previous" >&2; exit 1; }
previous_installer=$(ls "$previous"/build/veltra-*-win64.exe)
git -C "$top" worktree remove --force "$previous/src"
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

key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# entries: the installed-apps entries naming Veltra.
entries() { wine reg query "$key" 2>/dev/null | tr -d '\r' | grep -ci 'veltra' || true; }
# value NAME: the value of Veltra's entry, as reg prints it.
value() { wine reg query "$key\Veltra" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n {print $NF}'; }
# setup PROGRAM [--by-hand]: runs an installer or an uninstaller, silently or clicked
# through (Enter on every page, "Yes" to uninstalling the earlier version among them),
# and waits for it and everything it started to end (the uninstaller goes on in a copy
# of itself). Its exit code is this function's.
setup() {
  local code=0 pid
  if [ "${2:-}" = --by-hand ]; then
    wine "$1" &
    pid=$!
    for _ in $(seq 120); do
      kill -0 $pid 2>/dev/null || break
      xdotool search --onlyvisible --name 'Veltra' windowactivate --sync key Return > /dev/null 2>&1 || true
      sleep 0.5
    done
    wait $pid || code=$?
  else
    wine "$1" /S || code=$?
  fi
  wineserver -w
  return $code
}
# installed_files: the installed folder's files and their sums, as in the ZIP.
installed_files() { (cd "$win_dir" && find . -type f ! -name Uninstall.exe -print0 | sort -z | xargs -0 sha256sum); }
unzip -q -o "$zip" -d "$shots/zip"
built_files=$(cd "$shots"/zip/veltra-*-win64 && find . -type f -print0 | sort -z | xargs -0 sha256sum)
new_version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")

# check_installed HOW: after an upgrade, one entry, this version's, and this version's files.
check_installed() {
  local how=$1
  [ "$(entries)" -eq 1 ] || fail "$(entries) installed-apps entries for Veltra after $how"
  wine reg query "HKCU${key#HKLM}\Veltra" > /dev/null 2>&1 && fail "an installed-apps entry for the user alone after $how"
  [ "$(value DisplayVersion)" = "$new_version" ] || fail "the entry's version is $(value DisplayVersion), not $new_version, after $how"
  [ -n "$(value Publisher)" ] && [ -n "$(value EstimatedSize)" ] || fail "the entry lacks its publisher or size after $how"
  [ "$(winepath -u "$(wine reg query "$key\Veltra" /v InstallLocation 2>/dev/null | tr -d '\r' \
    | sed -n 's/.*REG_SZ *//p')" 2>/dev/null)" = "$win_dir" ] || fail "the entry's folder is not $win_dir after $how"
  [ "$(installed_files)" = "$built_files" ] || fail "the installed files are not this version's after $how: $(diff <(installed_files) <(echo "$built_files") | head -5)"
  echo "package-windows: $how: one entry, version $new_version, $(($(value EstimatedSize))) KiB, this version's $(echo "$built_files" | wc -l) files"
}
# check_removed HOW: neither an entry nor the folder is left after HOW.
check_removed() {
  [ "$(entries)" -eq 0 ] && [ ! -e "$win_dir" ] \
    || fail "$1 left $(entries) installed-apps entries and $(find "$win_dir" -type f 2>/dev/null | wc -l) files"
}

setup "$previous_installer" || fail "the previous commit's installer failed"
[ "$(entries)" -eq 1 ] || fail "no entry in the installed apps for the previous commit's version"
setup "$installer" || fail "the installer failed over the previous version"
check_installed "a silent upgrade"
# The Start-menu entry leads to the installed program.
link=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -iname 'Veltra*.lnk' | head -1)
[ -n "$link" ] || fail "no Start-menu entry"
target=$(strings "$link" | grep -i -m1 '^[A-Z]:\\.*veltra\.exe$' || true)
[ -f "$(winepath -u "$target" 2>/dev/null)" ] || fail "the Start-menu entry leads to '$target', which is not there"
setup "$previous_installer" || fail "the previous commit's installer failed over this version"
setup "$installer" --by-hand || fail "the installer, clicked through, failed over the previous version"
check_installed "an upgrade clicked through"
# Whether the user is an administrator comes from a plugin the installer and the
# uninstaller unpack and load; one that cannot be loaded still leaves an install for
# all users, and the uninstaller still removes it.
no_userinfo="$WINEDLLOVERRIDES;userinfo=d"
WINEDLLOVERRIDES=$no_userinfo setup "$installer" || fail "the installer failed without its user-information plugin"
check_installed "a reinstall without the user-information plugin"
WINEDLLOVERRIDES=$no_userinfo setup "$win_dir/Uninstall.exe"
check_removed "the uninstaller without the user-information plugin"
setup "$installer" || fail "the installer failed where Veltra had been removed"
echo "package-windows: installed $(du -sk "$win_dir" | cut -f1) KiB into C:\\Program Files\\Veltra"

# While veltra.exe runs, neither the installer nor the uninstaller touches its folder.
(cd "$win_dir" && wine ./veltra.exe > /dev/null 2>&1) &
running=$!
for _ in $(seq 150); do xdotool search --onlyvisible --name '^Veltra$' > /dev/null 2>&1 && break; sleep 0.2; done
before=$(installed_files)
code=0; wine "$installer" /S || code=$? # not setup(): veltra.exe keeps Wine's server up
[ $code -eq 2 ] || fail "the installer ended with $code while veltra.exe ran, not 2"
# The uninstaller runs from a copy in a temporary folder (~nsu), and returns at once.
wine "$win_dir/Uninstall.exe" /S || true
sleep 1
for _ in $(seq 100); do pgrep -f '~nsu' > /dev/null || break; sleep 0.2; done
[ "$(installed_files)" = "$before" ] && [ -f "$win_dir/Uninstall.exe" ] \
  || fail "the installer or the uninstaller changed the folder while veltra.exe ran"
wmctrl -F -c Veltra
wait $running || fail "veltra.exe did not end with 0 when closed"
wineserver -w
echo "package-windows: while veltra.exe ran, the installer ended with 2 and neither it nor the uninstaller changed the folder"

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
  # From the keyboard, as the window's layout, style, fonts and scale leave it: the
  # combo box has the focus, the start button is next, and once pressed and disabled
  # it hands the focus on to "返航". What each press did is read below: the frames in
  # the diagnostic stream, the exit code.
  xdotool windowactivate --sync "$window" key Tab key space
  sleep 3
  import -window root "$shots/$how.png"
  # The camera's frames tracked (an area and a corner count a frame, one contour
  # each), and the trail's yellow discs on the screen.
  local lines yellow
  # Read once: the program is still writing to the file.
  local diag all
  diag=$(cat "$shots/$how-diag.txt")
  lines=$(grep -cxE '1131|4' <<< "$diag" || true)
  all=$(grep -c '' <<< "$diag" || true)
  [ "$lines" -ge 60 ] && [ "$lines" -eq "$all" ] \
    || fail "veltra.exe wrote $lines diagnostic lines of the camera's frames, of $all ($how): $(head -5 <<< "$diag")"
  yellow=$(convert "$shots/$how.png" -fill black +opaque yellow -fill white -opaque yellow -format '%[fx:int(mean*w*h+0.5)]' info:)
  [ "$yellow" -ge 500 ] || fail "no trail in the screenshot ($how): $yellow yellow pixels"
  if [ "$how" = button ]; then
    xdotool windowactivate --sync "$window" key space
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

setup "$win_dir/Uninstall.exe"
check_removed "the uninstaller"
echo "package-windows: the uninstaller removed the program and its entry"
