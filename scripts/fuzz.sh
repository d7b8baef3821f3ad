#!/usr/bin/env bash
# Fuzzes the reply path for longer than the test suite does. Argument: seconds (default 600).
# New inputs collect in build/fuzz/tests/fuzz/corpus and carry over to the next run; an input
# that breaks an invariant or trips a sanitizer lands in build/fuzz/tests/fuzz/artifacts/.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
help_if_asked "$@"
need_packages "${BUILD_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"

seconds=${1:-600}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
dir=build/fuzz/tests/fuzz
# The final statistics and the last cov/ft line are the figures; the per-input lines are not.
"$dir/fuzz_reply" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -max_len=8192 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" tests/fuzz/corpus 2>&1 |
    grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE)'
