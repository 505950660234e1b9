#!/usr/bin/env bash
# fuzz.sh: builds the fuzz targets (clang, libFuzzer, address and
# undefined-behaviour sanitizers) and runs each for a bounded time.
#
#   scripts/fuzz.sh [SECONDS]          every target, SECONDS each (default 25)
#   scripts/fuzz.sh SECONDS TARGET...  only the targets named
#   options: --build-dir DIR (default build-fuzz), --no-build
#   KX_FUZZ_SEED=N and KX_FUZZ_RUNS=N make a run repeatable: a fixed seed and
#   at most N executions per target (the time limit still applies).
#
# Each target starts from its committed seeds (fuzz/corpus/<target>/), which
# also hold the inputs of faults found and mended (replayed on every run),
# and keeps what it learns in DIR/corpus/<target>/. An input that fails is
# saved in DIR/findings/<target>/ and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build_dir=build-fuzz
build=1
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build_dir=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    *) break ;;
    esac
done
seconds=${1:-25}
[ $# -gt 0 ] && shift
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac

if [ $build -eq 1 ]; then
    echo "=== fuzz build ($build_dir) ==="
    CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DKX_FUZZ=ON >/dev/null
    cmake --build "$build_dir" -j2
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    mapfile -t targets < <(grep -v '^$' "$build_dir/fuzz-targets.txt")
fi

extra=()
[ -n "${KX_FUZZ_SEED:-}" ] && extra+=("-seed=$KX_FUZZ_SEED")
[ -n "${KX_FUZZ_RUNS:-}" ] && extra+=("-runs=$KX_FUZZ_RUNS")

summary=()
failed=0
for t in "${targets[@]}"; do
    bin=$build_dir/bin/$t
    seeds=$root/fuzz/corpus/$t
    work=$build_dir/corpus/$t
    findings=$build_dir/findings/$t
    log=$build_dir/logs/$t.log
    mkdir -p "$work" "$findings" "$(dirname "$log")" "$seeds"
    echo "=== fuzz $t: ${seconds}s ==="
    stamp=$build_dir/logs/$t.start
    touch "$stamp"
    status=0
    # -close_fd_mask=2 keeps the code under test from flooding the log;
    # libFuzzer and the sanitizers still report on their own copy of stderr.
    "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -close_fd_mask=2 -artifact_prefix="$findings/" ${extra[@]+"${extra[@]}"} "$work" "$seeds" \
        >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    corpus=$(find "$work" -type f | wc -l)
    found=$(find "$findings" -type f -newer "$stamp" | wc -l)
    if [ $status -ne 0 ] || [ "$found" -ne 0 ]; then
        failed=1
        echo "--- $t FAILED (exit $status); the end of its log:"
        tail -n 60 "$log"
    fi
    summary+=("$(printf '%-22s %12s %8s %9s' "$t" "${execs:-?}" "$corpus" "$found")")
done

echo "=== fuzz summary (${seconds}s per target) ==="
printf '%-22s %12s %8s %9s\n' target executions corpus findings
for line in "${summary[@]}"; do
    echo "$line"
done
exit $failed
