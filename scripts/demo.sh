#!/usr/bin/env bash
# A programming run of the Linux tool against the simulated target. Installs and builds what
# it needs, publishes the simulator in the ports folder and opens the tool.
#
# With a usable display ($DISPLAY) the operator chooses the entry ending in "vek-sim",
# presses Program, and closes the window when done. Without one (or with --headless) the
# script runs the tool under Xvfb, chooses the simulator's entry and presses Program with
# xdotool, prints the console log, compares the target's memory with the image and saves a
# screenshot of the finished window. Exit code 0 when the target holds the image.
# Usage: scripts/demo.sh [--headless]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" "${GTK_PACKAGES[@]}"

build=build/linux
[ -f "$build/CMakeCache.txt" ] || cmake --preset linux
cmake --build --preset linux --target vek-update vek-target-sim
tool=$PWD/$build/shell/vek-update
sim=$PWD/$build/tools/vek-target-sim
image=$(sed -n 's/^VEK_IMAGE:FILEPATH=//p' "$build/CMakeCache.txt")
out=$PWD/$build/demo
rm -rf "$out"
mkdir -p "$out"

title="Korlund / Dravel Software Update Tool"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

fail() {
    echo "demo: $*" >&2
    echo "demo: logs in $out" >&2
    exit 1
}

# wait_for WHAT SECONDS COMMAND...: polls COMMAND until it succeeds.
wait_for() {
    local what=$1 end=$((SECONDS + $2))
    shift 2
    until "$@"; do
        ((SECONDS < end)) || fail "timed out waiting for $what"
        sleep 0.1
    done
}

headless=0
if [ "${1:-}" = --headless ] || [ -z "${DISPLAY:-}" ] || ! xdotool getdisplaygeometry >/dev/null 2>&1; then
    headless=1
fi

if [ $headless = 1 ]; then
    # A private ports folder, and the tool told to look only there: nothing but the
    # simulator can be chosen, whatever serial ports this machine has.
    export XDG_RUNTIME_DIR=$out/run VEK_PORTS_FOLDER_ONLY=1 VEK_STATUS_TRACE=$out/status.txt
    export GDK_BACKEND=x11 GSK_RENDERER=cairo GSETTINGS_BACKEND=memory GTK_A11Y=none
    unset WAYLAND_DISPLAY
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$out/display" \
        >"$out/xvfb.log" 2>&1 &
    pids+=($!)
    wait_for "Xvfb" 30 test -s "$out/display"
    export DISPLAY=:$(cat "$out/display")
fi

# The folder the tool lists simulated ports from (shell/ports.h).
if [[ "${XDG_RUNTIME_DIR:-}" == /* ]]; then
    folder=$XDG_RUNTIME_DIR/vek-ports
else
    folder=/tmp/vek-ports-$(id -u)
fi
link=$folder/vek-sim
"$sim" --link "$link" --pace --quiet --log "$out/sim.log" --memory-out "$out/memory.bin" \
    >"$out/sim.out" 2>&1 &
sim_pid=$!
pids+=($sim_pid)
wait_for "the simulator" 30 grep -q '^port: ' "$out/sim.out"
echo "simulated target: $(grep '^port: ' "$out/sim.out"), published as $link"

check_memory() {
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || true
    cmp -s "$out/memory.bin" "$image" ||
        fail "the target's memory ($(stat -c %s "$out/memory.bin" 2>/dev/null || echo 0) bytes) differs from the image $image"
    echo "the target's memory equals the image $image ($(stat -c %s "$image") bytes)"
}

if [ $headless = 0 ]; then
    echo "In the window choose $link, press Program, and close the window when done."
    "$tool" | tee "$out/console.txt" || true
    check_memory
    exit 0
fi

"$tool" >"$out/console.txt" 2>"$out/stderr.txt" &
tool_pid=$!
pids+=($tool_pid)
wait_for "the tool to start" 60 grep -qsx -- ' - Idle - ' "$VEK_STATUS_TRACE"
window=$(xdotool search --onlyvisible --name "^$title\$" | head -n 1)
[ -n "$window" ] || fail "no window"

# Choose the simulator's entry as an operator would: open the list with the mouse and walk
# to it with the arrow keys. Its place is its rank among the live links, sorted as text.
index=$(for p in "$folder"/*; do [ -e "$p" ] && echo "$p"; done | LC_ALL=C sort |
    grep -nxF -- "$link" | cut -d: -f1)
[ -n "$index" ] || fail "$link is not in the ports folder"
popups() { [ "$(xdotool search --all --onlyvisible --pid "$tool_pid" 2>/dev/null | wc -l)" "$1" 1 ]; }
# The controls sit where the dialog template puts them, at 2 pixels a unit.
xdotool mousemove --window "$window" 72 42 click 1
wait_for "the port list to open" 30 popups -gt
downs=()
for ((i = 1; i < index; i++)); do downs+=(Down); done
xdotool key Home "${downs[@]}" Return
wait_for "the port list to close" 30 popups -eq

# The closing list may keep the pointer for a moment and swallow a click; a click that
# reached the button shows "Contacting Device..." at once, and a second one would only
# start the run afresh.
started() { grep -qx 'Contacting Device...' "$VEK_STATUS_TRACE"; }
for attempt in 1 2 3; do
    xdotool mousemove --window "$window" 200 42 click 1
    end=$((SECONDS + 10))
    until started || ((SECONDS >= end)); do sleep 0.1; done
    started && break
done
started || fail "Program did not start a run"
echo "Program pressed; waiting for the end of the run"
finished() { grep -qx -e 'Programming Completed' -e 'FAILED' "$VEK_STATUS_TRACE"; }
wait_for "the end of the run" 300 finished
# Every log line of the run is out before its last status text.
echo "---- the tool's console log ----"
cat "$out/console.txt"
echo "--------------------------------"
grep -qF " . Opening serial port $link at " "$out/console.txt" || fail "the tool opened another port"
grep -qx 'Programming Completed' "$VEK_STATUS_TRACE" || fail "the run ended with $(grep -v '^@' "$VEK_STATUS_TRACE" | tail -n 1)"
import -window "$window" "$out/demo-finished.png"
echo "status: Programming Completed"
echo "screenshot of the finished window: $out/demo-finished.png"
check_memory
