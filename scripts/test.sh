#!/usr/bin/env bash
# Builds everything from scratch and runs every test. Installs what it needs first.
# Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
help_if_asked "$@"
need_packages "${BUILD_PACKAGES[@]}" "${GTK_PACKAGES[@]}" "${WINE_PACKAGES[@]}" "${CHECK_PACKAGES[@]}" \
    "${RELEASE_PACKAGES[@]}" "${RELEASE_TEST_PACKAGES[@]}" "${UART_PACKAGES[@]}"

rm -rf build/linux
cmake --preset linux
cmake --build --preset linux
ctest --preset linux
# A skipped test says why in its output, which CTest shows only in its log.
grep -h "^SKIP: " build/linux/Testing/Temporary/LastTest.log || true

# The Windows program, cross-built and tested under Wine; its tests use the simulated target
# of the Linux build above. They include releases made with scripts/release.sh (label release).
rm -rf build/mingw
cmake --preset mingw
cmake --build --preset mingw
ctest --preset mingw

# Hardening: static analysis of every source; the GoogleTest suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer (the Linux build above ran the engine tests under valgrind); a
# minute of fuzzing the reply path.
scripts/lint.sh
rm -rf build/asan build/fuzz
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
cmake --preset fuzz
cmake --build --preset fuzz
ctest --preset fuzz
