#!/usr/bin/env bash
# fuzz/run.sh [SECONDS]: builds the fuzz target (clang-14, ASan, UBSan) into build-fuzz/, replays
# fuzz/corpus/, then fuzzes SECONDS (default 60; `make test` gives 0). A finding exits non-zero and
# is kept in build-fuzz/findings/.
set -euo pipefail

seconds=${1:-60}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${VESK_FUZZ_BUILD:-$here/../build-fuzz}
cxx=${VESK_FUZZ_CXX:-clang++-14}
command -v "$cxx" >/dev/null || { echo "fuzz: $cxx not found (scripts/install-deps.sh)" >&2; exit 1; }
[ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log" >&2; exit 1; }
mkdir -p "$build/corpus" "$build/findings"
run=("$build/fuzz_reader" -timeout="${VESK_FUZZ_TIMEOUT:-20}" -rss_limit_mb=4096
     -artifact_prefix="$build/findings/")

if ! find "$here/corpus" -type f -print0 | xargs -0 "${run[@]}" >"$build/replay.log" 2>&1; then
    tail -n 60 "$build/replay.log" >&2
    echo "fuzz: FINDING replaying $(sed -n 's/^Running: //p' "$build/replay.log" | tail -n 1)" >&2
    exit 1
fi
echo "fuzz: replayed $(find "$here/corpus" -type f | wc -l) saved inputs"
[ "$seconds" -eq 0 ] && exit 0

if ! "${run[@]}" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
    "$build/corpus" "$here/corpus" >"$build/fuzz.log" 2>&1; then
    tail -n 80 "$build/fuzz.log" >&2
    echo "fuzz: FINDING; inputs in $build/findings/, log $build/fuzz.log" >&2
    exit 1
fi
echo "fuzz: $(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz.log") runs, no finding"
