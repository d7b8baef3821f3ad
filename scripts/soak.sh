#!/usr/bin/env bash
# The fault soak at length. Arguments: runs (default 1000) and the random start value (default:
# the time); the same value gives the same draws, and --first N with --runs 1 repeats one run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" "${GTK_PACKAGES[@]}"

runs=${1:-1000}
rng=${2:-$(date +%s)}
[ -f build/linux/build.ninja ] || cmake --preset linux >/dev/null
cmake --build --preset linux --target vek-soak
build/linux/tests/vek-soak --runs "$runs" --rng "$rng" --jobs 4
