#!/usr/bin/env bash
# Fuzzes the reader (and the writer's validation) with hostile "slots" and "buckets" files.
#
#   fuzz/run.sh [SECONDS]      builds the target when needed (clang-14, libFuzzer, ASan, UBSan)
#                              into build-fuzz/, replays the saved corpus fuzz/corpus/, then
#                              fuzzes for SECONDS (default 60; 0 only replays, as the test suite
#                              does). `make fuzz SECONDS=N` runs it; a soak is SECONDS=3600.
#
# Exits non-zero on any finding: a crash, a sanitizer report, a read into a guard page, an input
# that runs longer than VESK_FUZZ_TIMEOUT seconds (default 20: a hang), or an exception that is
# not a Pimbo exception. The input that caused it is kept in build-fuzz/findings/; replay it with
#   build-fuzz/fuzz_reader build-fuzz/findings/<file>
# New inputs the fuzzer finds interesting go to build-fuzz/corpus/ (copy the good ones into
# fuzz/corpus/ to keep them). VESK_FUZZ_BUILD moves the build directory.
set -euo pipefail

seconds=${1:-60}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
build=${VESK_FUZZ_BUILD:-$root/build-fuzz}
timeout=${VESK_FUZZ_TIMEOUT:-20}
corpus=$here/corpus
cxx=${VESK_FUZZ_CXX:-clang++-14}

if ! command -v "$cxx" >/dev/null; then
    echo "fuzz: $cxx not found (scripts/install-deps.sh installs clang-14 and libclang-rt-14-dev)" >&2
    exit 1
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log" >&2; exit 1; }
target=$build/fuzz_reader

if [ -z "$(ls -A "$corpus" 2>/dev/null)" ]; then
    VESK_FUZZ_MAKE_CORPUS="$corpus" "$target"
fi

mkdir -p "$build/corpus" "$build/findings"
common=(-timeout="$timeout" -rss_limit_mb=4096 -artifact_prefix="$build/findings/")

# Every saved input once.
replayed=$(find "$corpus" -type f | wc -l)
if ! find "$corpus" -type f -print0 | xargs -0 "$target" "${common[@]}" >"$build/replay.log" 2>&1; then
    tail -n 60 "$build/replay.log" >&2
    input=$(sed -n 's/^Running: //p' "$build/replay.log" | tail -n 1)
    echo "fuzz: FINDING while replaying the saved input $input (log: $build/replay.log)" >&2
    exit 1
fi
echo "fuzz: replayed $replayed saved inputs"

if [ "$seconds" -eq 0 ]; then
    exit 0
fi

log=$build/fuzz.log
status=0
"$target" "${common[@]}" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
    "$build/corpus" "$corpus" >"$log" 2>&1 || status=$?
runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$log" | tail -n 1)
if [ -z "$runs" ]; then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1) runs"
fi
if [ "$status" -ne 0 ]; then
    tail -n 80 "$log" >&2
    echo "fuzz: FINDING after $runs (exit $status); inputs in $build/findings/, log $log" >&2
    exit 1
fi
echo "fuzz: $runs, no finding ($(find "$build/corpus" -type f | wc -l) inputs in the working corpus)"
