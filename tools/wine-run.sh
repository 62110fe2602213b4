#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own 32-bit prefix.
# Used by CTest as the cross-compiling emulator and by the Makefile.
set -u
# The prefix lives in the build folder: ZELVIC_WINEPREFIX (the build and the
# Makefile set it), else "wineprefix" in the build folder that holds the
# program (the nearest folder above it with a CMakeCache.txt).
if [ -z "${ZELVIC_WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "${1:?usage: wine-run.sh PROGRAM [ARGS...]}")" 2>/dev/null && pwd)
  while [ -n "$dir" ] && [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  if [ -z "$dir" ] || [ ! -f "$dir/CMakeCache.txt" ]; then
    echo "wine-run.sh: set ZELVIC_WINEPREFIX, or run a program inside a build folder" >&2
    exit 2
  fi
  ZELVIC_WINEPREFIX=$dir/wineprefix
fi
export WINEPREFIX=$ZELVIC_WINEPREFIX
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/.zelvic-ready" ]; then
  # One-time prefix set-up; a lock keeps parallel test runs from racing it.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.zelvic-ready" ]; then
    wineboot -i >/dev/null 2>&1
    # No automatic debugger: a crashing test must end, not wait in winedbg.
    wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.zelvic-ready"
  fi
  flock -u 9
fi
# Keep the server alive between the many short runs of a test session.
wineserver -p60 >/dev/null 2>&1 || true
# The first program of a server starts Wine's background services, which
# inherit its standard handles and live as long as the server: let a no-op
# start them with nothing attached, so that a caller reading our output
# (CTest, a pipe) sees it end when the program ends.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
exec wine "$@"
