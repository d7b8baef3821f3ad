#!/usr/bin/env bash
# Builds everything from scratch and runs every test. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}"

rm -rf build/linux
cmake --preset linux
cmake --build --preset linux
ctest --preset linux
