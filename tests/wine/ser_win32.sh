#!/usr/bin/env bash
# Runs the Win32 serial tests under Wine against simulated targets mapped as COM ports.
#   ser_win32.sh TEST.exe VEK-TARGET-SIM [GTEST-ARGS...]
set -euo pipefail
. "$(dirname "$0")/lib.sh"
exe=$1
VEK_SIM=$2
shift 2

unset DISPLAY # no windows: nothing may reach the caller's display
wine_test_dir
trap wine_test_cleanup EXIT
sim_start plain --pace
sim_start split --pace --split-rate 1 --split-gap 200
sim_start engine --pace --exit-after-reset
wine_prefix
wine_start COM7="$WINE_TEST_DIR/plain.pty" COM8="$WINE_TEST_DIR/split.pty" \
    COM9="$WINE_TEST_DIR/engine.pty"

export VEK_TEST_PORT_PLAIN='\\.\COM7' VEK_TEST_PORT_SPLIT='\\.\COM8'
export VEK_TEST_PORT_ENGINE='\\.\COM9' VEK_TEST_MEMORY="Z:$WINE_TEST_DIR/engine.mem"
rc=0
"$WINE64" "$exe" "$@" || rc=$?
[ $rc = 0 ] || cat "$WINE_TEST_DIR"/*.err >&2
exit $rc
