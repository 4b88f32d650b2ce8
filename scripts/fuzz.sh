#!/usr/bin/env bash
# Builds the libFuzzer targets (preset linux-fuzz) and runs each for SECONDS
# (default 20) over its committed corpus in fuzz/corpus/<target>, at most
# FUZZ_JOBS (default 2) targets at a time. New inputs go to
# build/linux-fuzz/fuzz-runs/<target>/corpus, findings to .../findings, the
# full log to .../log. Prints the executions of each target and exits
# non-zero when any target reports a finding or does not run.
#
#   scripts/fuzz.sh [seconds] [target...]
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
jobs=${FUZZ_JOBS:-2}

cmake --preset linux-fuzz >/dev/null &&
    cmake --build --preset linux-fuzz -j "${BUILD_JOBS:-$(nproc)}" >/dev/null || {
    echo "fuzz targets do not build"
    exit 1
}

bin=build/linux-fuzz/bin
runs=build/linux-fuzz/fuzz-runs
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

run() {
    local name=$1 dir=$runs/$1
    rm -rf "$dir"
    mkdir -p "$dir/corpus" "$dir/findings"
    # The first folder receives new inputs; the committed corpus is only read.
    "$bin/fuzz_$name" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/findings/" \
        "$dir/corpus" "fuzz/corpus/$name" >"$dir/log" 2>&1
    echo $? >"$dir/status"
}

for name in "${targets[@]}"; do
    if [ ! -x "$bin/fuzz_$name" ]; then
        echo "no fuzz target $name"
        exit 1
    fi
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    echo "fuzzing $name for ${seconds}s"
    run "$name" &
done
wait

status=0
printf '%-12s %12s %10s %8s  %s\n' target executions "exec/s" "new" result
for name in "${targets[@]}"; do
    dir=$runs/$name
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -1)
    found=$(find "$dir/findings" -type f | wc -l)
    result=ok
    if [ "$(cat "$dir/status")" != 0 ] || [ "$found" -gt 0 ] || [ -z "$executed" ]; then
        result="FAILED (see $dir/log)"
        status=1
    fi
    printf '%-12s %12s %10s %8s  %s\n' "$name" "${executed:-?}" "${rate:-?}" \
        "$(find "$dir/corpus" -type f | wc -l)" "$result"
    # What the target itself counted (files and points checked, and so on).
    grep -E '^[a-z]+: [0-9]' "$dir/log" | tail -1 | sed 's/^/    /'
done
exit $status
