#!/usr/bin/env bash
# Runs a Windows program under Wine in a fresh prefix of its own, with no COM ports, and
# passes its exit code on: the cross build's CMAKE_CROSSCOMPILING_EMULATOR.
#   run.sh PROGRAM.exe [ARGS...]
#   run.sh --boot DIR     boots a new prefix at DIR, the template the tests copy
set -euo pipefail
. "$(dirname "$0")/lib.sh"
unset DISPLAY # no windows: nothing may reach the caller's display

if [ "${1:-}" = "--boot" ]; then
    wine_boot "$2"
    exit 0
fi

wine_test_dir
trap wine_test_cleanup EXIT
wine_prefix
wine_start
rc=0
"$WINE64" "$@" || rc=$?
exit $rc
