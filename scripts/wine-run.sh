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
