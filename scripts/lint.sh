#!/usr/bin/env bash
# Static analysis of every project source; fails on any finding. clang-tidy (checks in
# .clang-tidy) reads the compile commands of the linux build, plus the fuzz target, which only
# the fuzz build compiles; cppcheck reads the sources themselves, Windows ones included; and the
# includes between the sources may form no cycle.
# Usage: scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
help_if_asked "$@"
need_packages "${BUILD_PACKAGES[@]}" "${GTK_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"

[ -f build/linux/compile_commands.json ] || cmake --preset linux >/dev/null

folders=(system console modbus serial engine run ports cli shell tools tests)
status=0
echo "== include cycles"
# A header and the sources of its name (NAME.cpp, NAME_posix.cpp, NAME_win32.cpp) are one
# module; each include of another module's header is an edge, and tsort fails on a loop.
for f in $(git ls-files -co --exclude-standard -- "${folders[@]/%//*.h}" "${folders[@]/%//*.cpp}"); do
    m=${f%.*} m=${m%_posix} m=${m%_win32}
    sed -n 's/^#include "\(.*\)\.h"/\1/p' "$f" | while read -r h; do
        [ "$h" = "$m" ] || echo "$m $h"
    done
done | tsort >/dev/null || status=1

echo "== clang-tidy"
ours="/($(IFS='|'; echo "${folders[*]}"))/"
run-clang-tidy -quiet -p build/linux -header-filter="^$PWD$ours" "$PWD$ours" \
    >build/clang-tidy.log 2>&1 || status=1
grep -v -E '^(clang-tidy-[0-9]+ |[0-9]+ warnings? generated)' build/clang-tidy.log || true
clang-tidy --quiet -header-filter="^$PWD$ours" tests/fuzz/fuzz_reply.cpp -- -std=c++20 -I. 2>/dev/null ||
    status=1

echo "== cppcheck"
# Switched off, and why:
#   useStlAlgorithm          plain loops are this code's style
#   readdirCalled            advises readdir_r, which glibc has deprecated
#   resourceLeak in tests    only on the early return of an ASSERT that has already failed
cppcheck --std=c++20 --enable=warning,style,performance,portability --library=googletest,posix \
    --inline-suppr --error-exitcode=1 --quiet -I . \
    --suppress=missingIncludeSystem --suppress=useStlAlgorithm --suppress=readdirCalled \
    --suppress='resourceLeak:tests/*' \
    --template='{file}:{line}: {severity} [{id}] {message}' \
    "${folders[@]}" || status=1

[ $status -eq 0 ] && echo "== lint clean" || echo "== lint found problems"
exit $status
