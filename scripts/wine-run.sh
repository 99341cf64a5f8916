#!/usr/bin/env bash
# Runs a Windows program of a cross-build under Wine, for CTest (the build's
# CMAKE_CROSSCOMPILING_EMULATOR) and for the scripts:
#   scripts/wine-run.sh PROGRAM.exe [ARGUMENT...]
# The Wine prefix is WINEPREFIX (test-windows.sh makes a fresh one inside the build);
# the display is DISPLAY. Wine's errors are shown (a DLL it could not load, say), its
# notes on what it leaves unimplemented are not, unless WINEDEBUG says otherwise.
# A Qt Test program's log under Wine does not reach a pipe, so a log it is told to
# write to a file (-o FILE,FORMAT) is printed here once it has ended. The program's
# exit code is this script's.
set -uo pipefail

export WINEDEBUG=${WINEDEBUG:-fixme-all}
# Wine's .NET and web-browser add-ons are not wanted, nor asked for.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Run from a build (ctest --preset windows): the DLLs from the folders it lists, and an
# X server of its own when there is no display.
dlls=$(dirname "$1")/dll-folders
if [ -z "${WINEPATH:-}" ] && [ -f "$dlls" ]; then
  WINEPATH=""
  while read -r dir; do WINEPATH=${WINEPATH:+$WINEPATH;}Z:${dir//\//\\}; done < "$dlls"
  export WINEPATH
fi
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

# VELTRA_WINE_DPI=N: the program runs as on a display scaled to N/96 (120 for 125%,
# 144 for 150%). Wine has one system DPI, LogPixels, read once per prefix: the program
# gets a prefix of its own beside WINEPREFIX, made once with that setting.
if [ -n "${VELTRA_WINE_DPI:-}" ]; then
  export WINEPREFIX=${WINEPREFIX:-$HOME/.wine}-dpi$VELTRA_WINE_DPI
  if [ ! -f "$WINEPREFIX/.veltra-dpi" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i > /dev/null 2>&1
    for key in 'HKCU\Control Panel\Desktop' 'HKCC\Software\Fonts'; do
      wine reg add "$key" /v LogPixels /t REG_DWORD /d "$VELTRA_WINE_DPI" /f > /dev/null 2>&1
    done
    wineserver -w
    touch "$WINEPREFIX/.veltra-dpi"
  fi
fi

logs=()
args=("$@")
for ((i = 1; i < ${#args[@]}; i++)); do
  if [ "${args[i]}" = "-o" ] && [ $((i + 1)) -lt ${#args[@]} ]; then
    file=${args[i + 1]%,*}
    [ "$file" = "-" ] || { logs+=("$file"); rm -f "$file"; }
  fi
done

wine "$@"
code=$?
for log in "${logs[@]}"; do
  if [ -f "$log" ]; then
    tr -d '\r' < "$log"
  else
    echo "wine-run: $1 wrote no log (exit code $code): it did not start, or ended before its first test"
  fi
done
exit $code
