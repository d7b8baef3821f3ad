#!/usr/bin/env bash
# Fuzzes the reply path for longer than the test suite does. Argument: seconds (default 600).
# New inputs collect in build/fuzz/tests/fuzz/corpus and carry over to the next run; an input
# that breaks an invariant or trips a sanitizer lands in build/fuzz/tests/fuzz/artifacts/.
#
# With --coverage: the branch coverage the corpus reaches (the starter inputs of
# tests/fuzz/corpus and what earlier runs collected) in serial/ser.cpp, engine/installer.cpp and
# modbus/modbus.cpp, function by function, from a build of the target with llvm's coverage
# (build/fuzz-cov). The link's settings report (serLineAsked, serReportLine and its helper) is
# no part of the reply path: the last line gives serial/ser.cpp without it.
# Usage: scripts/fuzz.sh [SECONDS]
#        scripts/fuzz.sh --coverage
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
help_if_asked "$@"
need_packages "${BUILD_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"

dir=build/fuzz/tests/fuzz
if [ "${1:-}" = --coverage ]; then
    need_packages "${COVERAGE_PACKAGES[@]}"
    cov=build/fuzz-cov
    cmake --preset fuzz -B "$cov" -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
        >/dev/null
    cmake --build "$cov" --target fuzz_reply
    corpora=(tests/fuzz/corpus)
    [ -d "$dir/corpus" ] && corpora+=("$dir/corpus")
    rm -f "$cov"/*.profraw
    # One run over every input of the corpus, none mutated; of its console log only the INITED
    # and DONE lines.
    LLVM_PROFILE_FILE="$cov/fuzz.profraw" "$cov/tests/fuzz/fuzz_reply" -runs=0 "${corpora[@]}" \
        2>&1 | grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' || true
    llvm-profdata merge -sparse "$cov/fuzz.profraw" -o "$cov/fuzz.profdata"
    files=(serial/ser.cpp engine/installer.cpp modbus/modbus.cpp)
    echo "== inputs: $(find "${corpora[@]}" -type f | wc -l) files, $(find "${corpora[@]}" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }') bytes (${corpora[*]})"
    llvm-cov report "$cov/tests/fuzz/fuzz_reply" -instr-profile="$cov/fuzz.profdata" \
        -show-functions "${files[@]}" | tee "$cov/report.txt"
    llvm-cov report "$cov/tests/fuzz/fuzz_reply" -instr-profile="$cov/fuzz.profdata" "${files[@]}"
    # Branches are the last three columns of a function's line: count, missed, share.
    awk '/^File / { file = /serial\/ser\.cpp/; next }
         file && NF == 10 && $1 !~ /serLineAsked|serReportLine|Shape/ && $1 != "Name" &&
         $1 != "TOTAL" { total += $(NF-2); missed += $(NF-1) }
         END { printf "serial/ser.cpp without the settings report: %d branches, %d missed, %.2f%%\n",
               total, missed, total ? 100 * (total - missed) / total : 0 }' "$cov/report.txt"
    exit 0
fi

seconds=${1:-600}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
# The final statistics and the last cov/ft line are the figures; the per-input lines are not.
"$dir/fuzz_reply" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -max_len=8192 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" tests/fuzz/corpus 2>&1 |
    grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE)'
