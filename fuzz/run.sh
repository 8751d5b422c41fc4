#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded time.
#
#   fuzz/run.sh [seconds-per-target] [target...]
#
# Default: 60 seconds for each of evt, evtx, msgtable, regfile, settings
# and writerec. The build goes to $QUILLOG_FUZZ_BUILD_DIR (default build-fuzz).
# Each target starts from its seeds in fuzz/corpus/<target>/ plus what earlier
# runs in the same build folder found (<build>/corpus/<target>/); the seeds in
# the repository are never changed. A crash, a leak-free abort or a timeout
# leaves its input in <build>/artifacts/ and makes the script fail. The read
# buffer and the caches are kept until the process ends, on purpose, so the
# leak check is off.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(evt evtx msgtable regfile settings writerec)

build=${QUILLOG_FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DQUILLOG_FUZZ=ON -DBUILD_TESTING=OFF \
    -DQUILLOG_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
work=$(mktemp -d "${TMPDIR:-/tmp}/quillog-fuzzrun-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"

failed=()
summary=()
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    log="$build/fuzz_$t.log"
    echo "== fuzz_$t for ${seconds}s"
    rc=0
    # QUILLOG_FUZZ_RUNS bounds a run by its number of inputs from a fixed
    # seed instead of by time, so that the same tree always fuzzes the same
    # inputs (CI uses it; a longer search by hand uses time).
    if [ -n "${QUILLOG_FUZZ_RUNS:-}" ]; then
        bound=(-runs="$QUILLOG_FUZZ_RUNS" -seed=1)
    else
        bound=(-max_total_time="$seconds")
    fi
    TMPDIR="$work" "$build/fuzz/fuzz_$t" "${bound[@]}" -timeout=20 -rss_limit_mb=2048 \
        -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
        "$corpus" "fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    files=$(find "$corpus" "fuzz/corpus/$t" -type f | wc -l)
    bytes=$(cat "$corpus"/* "fuzz/corpus/$t"/* 2>/dev/null | wc -c)
    line="fuzz_$t: ${runs:-?} executions, corpus $files files / $bytes bytes, exit $rc"
    summary+=("$line")
    if [ "$rc" -ne 0 ]; then
        failed+=("$t")
        grep -E "ERROR|SUMMARY|invariant|internal error|artifact" "$log" | head -20 || true
    fi
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]} (inputs in $build/artifacts/, logs in $build/)" >&2
    exit 1
fi
