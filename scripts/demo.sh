#!/usr/bin/env bash
# A programming run of the Linux tool against the simulated target. Installs and builds what
# it needs, publishes the simulator in the ports folder and opens the tool.
#
# With a usable display ($DISPLAY) the operator chooses the entry ending in "vek-sim",
# presses Program, and closes the window when done. Without one (or with --headless)
# scripts/demo.py runs the tool under Xvfb, chooses the simulator's entry and presses Program
# as an operator would, prints the console log, compares the target's memory with the image
# and saves a screenshot of the finished window. Exit code 0 when the target holds the image.
# Usage: scripts/demo.sh [--headless]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
help_if_asked "$@"
need_packages "${BUILD_PACKAGES[@]}" "${GTK_PACKAGES[@]}"

build=build/linux
[ -f "$build/CMakeCache.txt" ] || cmake --preset linux
cmake --build --preset linux --target vek-update vek-target-sim
tool=$PWD/$build/shell/vek-update
sim=$PWD/$build/tools/vek-target-sim
image=$(sed -n 's/^VEK_IMAGE:FILEPATH=//p' "$build/CMakeCache.txt")
out=$PWD/$build/demo

if [ "${1:-}" = --headless ] || [ -z "${DISPLAY:-}" ] || ! xdotool getdisplaygeometry >/dev/null 2>&1; then
    exec env PYTHONPATH="$PWD/tests" PYTHONDONTWRITEBYTECODE=1 \
        python3 scripts/demo.py "$tool" "$sim" "$image" "$out"
fi

rm -rf "$out"
mkdir -p "$out"
fail() {
    echo "demo: $*" >&2
    echo "demo: logs in $out" >&2
    exit 1
}

"$sim" --publish vek-sim --pace --quiet --log "$out/sim.log" --memory-out "$out/memory.bin" \
    >"$out/sim.out" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT
# It prints where it published its port once it has.
for ((i = 0; i < 300; i++)); do
    grep -q '^link: ' "$out/sim.out" && break
    kill -0 "$sim_pid" 2>/dev/null || fail "the simulator ended: $(cat "$out/sim.out")"
    sleep 0.1
done
link=$(sed -n 's/^link: //p' "$out/sim.out")
[ -n "$link" ] || fail "timed out waiting for the simulator"
echo "simulated target: $(grep '^port: ' "$out/sim.out"), published as $link"

echo "In the window choose $link, press Program, and close the window when done."
"$tool" | tee "$out/console.txt" || true
kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" || true
cmp -s "$out/memory.bin" "$image" ||
    fail "the target's memory ($(stat -c %s "$out/memory.bin" 2>/dev/null || echo 0) bytes) differs from the image $image"
echo "the target's memory equals the image $image ($(stat -c %s "$image") bytes)"
