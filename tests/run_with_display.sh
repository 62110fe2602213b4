#!/usr/bin/env bash
# Runs a test program under Xvfb in a Wine prefix of its own. Wine's desktop
# takes its display from the first program of a server session, so the
# windows tests must not join the server that the display-less tests keep
# alive: their own prefix gets a server that starts under this display and
# is ended afterwards (the next run has another display).
set -u
build=$1 runner=$2; shift 2
export ZELVIC_WINEPREFIX=$build/wineprefix-display
export WINEPREFIX=$ZELVIC_WINEPREFIX
wineserver -k >/dev/null 2>&1 || true
xvfb-run -a "$runner" "$@"
status=$?
wineserver -k >/dev/null 2>&1 || true
exit $status
