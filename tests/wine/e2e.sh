#!/usr/bin/env bash
# vek-update.exe under Wine and Xvfb, driven as an operator would: xdotool chooses the port in
# the list and clicks Program; readstatus.exe reads the dialog's real controls.
#   e2e.sh CASE VEK-UPDATE.exe READSTATUS.exe VEK-TARGET-SIM IMAGE ARTIFACT-DIR
# CASE: full, faults, failed, ports, fatal, close.
#
# Wine does not refuse a second exclusive open of a COM port (share mode 0 is not enforced for
# devices), so pressing Program on a port still held by a run cannot fail here as it does on
# Windows; exclusive access is tested against the Linux build only.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
case_name=$1
VEK_UPDATE=$2
READSTATUS=$3
VEK_SIM=$4
IMAGE=$5
ARTIFACTS=$6

RUN_LIMIT=240 # seconds for a whole programming run, resends included
IMAGE_SIZE=$(stat -c %s "$IMAGE")
TOOL_PID=""

rs() { "$WINE64" "$READSTATUS" "$@" | tr -d '\r'; }

# Starts the tool and waits for its idle dialog.
tool_start() {
    "$WINE64" "$VEK_UPDATE" >"$WINE_TEST_DIR/tool.out" 2>"$WINE_TEST_DIR/tool.err" &
    TOOL_PID=$!
    WINE_TEST_PIDS+=("$TOOL_PID")
    wait_for 60 rs wait " - Idle - " 1 >/dev/null || fail "no idle dialog"
}

# tool_wait: waits for the tool to end; its exit code in TOOL_RC.
tool_wait() {
    wait_for 60 eval '! kill -0 "$TOOL_PID" 2>/dev/null' || fail "the tool did not end"
    TOOL_RC=0
    wait "$TOOL_PID" || TOOL_RC=$?
}

click() {
    local point
    point=$(rs "$@") || fail "nothing to click: $*"
    # shellcheck disable=SC2086 # "X Y"
    xdotool mousemove $point click 1
}

# choose_port NAME: drops the list down and clicks the entry NAME.
choose_port() {
    local index
    index=$(rs ports | grep -nxF "$1" | cut -d: -f1) || fail "$1 is not in the list: $(rs ports)"
    click arrow
    wait_for 20 rs entry $((index - 1)) >/dev/null || fail "the list does not drop down"
    click entry $((index - 1))
    wait_for 20 test "$(rs selected)" = "$1" || fail "$1 not selected: $(rs selected)"
}

press_program() { click point 4; }

# one_target SIM-ARGS...: a target on COM3 with these faults, the tool, and a run started on it.
one_target() {
    sim_start target --pace "$@"
    wine_prefix
    wine_start COM3="$WINE_TEST_DIR/target.pty"
    tool_start
    screenshot "$ARTIFACTS/$case_name-idle.png"
    choose_port '\\.\com3'
    press_program
}

expect_status() {
    local text
    text=$(rs wait "$1" "$2") || fail "status \"$text\", expected \"$1\""
    log "status: $text"
}

expect_memory() {
    cmp "$WINE_TEST_DIR/$1.mem" "$IMAGE" || fail "target $1 memory differs from the image"
}

# Saves the tool's log for a look afterwards; shows it when the test failed.
report() {
    local rc=$?
    if [ -n "$WINE_TEST_DIR" ] && [ -f "$WINE_TEST_DIR/tool.out" ]; then
        mkdir -p "$ARTIFACTS"
        cp "$WINE_TEST_DIR/tool.out" "$ARTIFACTS/$case_name.log"
        if [ $rc != 0 ]; then
            tail -n 20 "$WINE_TEST_DIR/tool.out" "$WINE_TEST_DIR/tool.err" "$WINE_TEST_DIR"/*.err >&2 || true
        fi
    fi
    wine_test_cleanup
}

wine_test_dir
trap report EXIT
xvfb_start

case $case_name in
full)
    one_target
    grep -qx "Flash Image Size $IMAGE_SIZE bytes"$'\r' "$WINE_TEST_DIR/tool.out" ||
        fail "no image size line"
    # The log reaches a pipe while the run goes on, not only when the program ends.
    wait_for 60 grep -q "^programming address 0x81000, block size 0x200, from image offset 0" \
        "$WINE_TEST_DIR/tool.out" || fail "no log line for the first block"
    expect_status "Programming Completed" $RUN_LIMIT
    screenshot "$ARTIFACTS/full-finished.png"
    sim_stop target
    expect_memory target
    grep -Eq "writes [0-9]+ range-crcs [1-9][0-9]* resets [1-9][0-9]* reset-acks [1-9]" \
        "$WINE_TEST_DIR/target.out" || fail "target saw: $(tail -n1 "$WINE_TEST_DIR/target.out")"
    ;;
faults)
    one_target --drop 3,30 --corrupt 7,45 --split 12 --noise 20,50
    expect_status "Programming Completed" $RUN_LIMIT
    sim_stop target
    expect_memory target
    grep -Eq "dropped 2 corrupted 2 split 1 .* noise 2 " "$WINE_TEST_DIR/target.out" ||
        fail "faults not injected: $(tail -n1 "$WINE_TEST_DIR/target.out")"
    ;;
failed)
    one_target --wrong-crc 1
    expect_status "FAILED" $RUN_LIMIT
    screenshot "$ARTIFACTS/failed.png"
    grep -qx $'CRC FAIL\r' "$WINE_TEST_DIR/tool.out" || fail "no CRC FAIL line"
    kill -0 "$TOOL_PID" || fail "the tool ended after FAILED"
    sim_stop target
    grep -q "range-crcs 1 resets 0 " "$WINE_TEST_DIR/target.out" ||
        fail "target saw: $(tail -n1 "$WINE_TEST_DIR/target.out")"
    ;;
ports)
    sim_start com2 --pace
    sim_start com10 --pace
    sim_start com11 --pace
    wine_prefix
    wine_start COM2="$WINE_TEST_DIR/com2.pty" COM10="$WINE_TEST_DIR/com10.pty" \
        COM11="$WINE_TEST_DIR/com11.pty"
    tool_start
    listed=$(rs ports | tr '\n' ' ')
    [ "$listed" = '\\.\com10 \\.\com11 \\.\com2 ' ] || fail "list reads: $listed"
    [ "$(rs selected)" = '\\.\com10' ] || fail "selected at start: $(rs selected)"
    choose_port '\\.\com2'
    press_program
    expect_status "Programming Completed" $RUN_LIMIT
    sim_stop com2
    sim_stop com10
    sim_stop com11
    expect_memory com2
    for other in com10 com11; do
        [ "$(sim_frames $other)" = 0 ] || fail "$other was sent frames"
    done
    ;;
fatal)
    # A run goes on through COM3 when Program is pressed for COM300, whose target is gone. A
    # port number above 256: where no port is, Wine would try /dev/ttyS(n-1) for lower ones.
    sim_start live --pace
    sim_start gone --pace
    wine_prefix
    wine_start COM3="$WINE_TEST_DIR/live.pty" COM300="$WINE_TEST_DIR/gone.pty"
    tool_start
    sim_stop gone
    choose_port '\\.\com3'
    press_program
    wait_for 60 grep -q "from image offset 0x400" "$WINE_TEST_DIR/tool.out" || fail "no run"
    choose_port '\\.\com300'
    press_program
    wait_for 60 rs box >/dev/null || fail "no message box"
    box=$(rs box)
    log "box: $box"
    screenshot "$ARTIFACTS/fatal-box.png"
    for text in "Terminate Program" "An Error has occurred as follows:" \
        "Unable to open serial port. In use already, or not present" "Error number " \
        "The program will now abort"; do
        grep -qF "$text" <<<"$box" || fail "box lacks \"$text\""
    done
    # While the box is up no step may run: a step would log a resend within about a second.
    sleep 2.5
    last=$(tail -n1 "$WINE_TEST_DIR/tool.out" | tr -d '\r')
    [ "$last" = ' . Opening serial port \\.\com300 at 115200 baud' ] ||
        fail "steps ran while the box was up: $last"
    kill -0 "$TOOL_PID" || fail "the tool ended before the box was dismissed"
    click box-ok
    tool_wait
    [ "$TOOL_RC" = 1 ] || fail "exit code $TOOL_RC after the fatal box"
    ;;
close)
    # No port at all: Program starts nothing and the tool goes on.
    wine_prefix
    wine_start
    tool_start
    [ -z "$(rs ports)" ] || fail "ports listed: $(rs ports)"
    press_program
    expect_status "No port selected" 30
    click close-box
    tool_wait
    [ "$TOOL_RC" = 0 ] || fail "exit code $TOOL_RC after closing the dialog"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
log "$case_name: passed"
