#!/usr/bin/env bash
# test.sh: builds everything and runs the whole test suite.
#
#   normal    warnings as errors, every test            (build/)
#   asan      address + undefined-behaviour sanitizers  (build-asan/)
#   tsan      thread sanitizer                          (build-tsan/)
#   windows   the deliverables built with mingw-w64 as PE DLLs, exports
#             checked against their .def files          (build-windows/)
#   wine      the platform's pure-Win32 tests built as PE programs (mingw-w64,
#             posix threads) and run under wine64 in a fresh prefix, on an X
#             server of their own: our platform checked against an
#             independent Win32 (docs/wine-differences.md) (build-wine/)
#   fuzz      every fuzz target (clang, libFuzzer), seed KX_FUZZ_SEED (1),
#             KX_FUZZ_RUNS executions (12000), at most KX_FUZZ_SECONDS
#             (60) each                                  (build-fuzz/)
#   memcheck  the integration tests under valgrind: no memory error, no
#             definite leak (uses the normal build)     (build/)
#
# KX_TEST_BUILDS chooses a subset, e.g. KX_TEST_BUILDS="normal asan".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

builds=${KX_TEST_BUILDS:-"normal asan tsan windows wine fuzz memcheck"}
jobs=$(nproc 2>/dev/null || echo 2)

# Some kernels randomise mmap more than the thread sanitizer's runtime
# accepts; running the tests without address randomisation avoids that.
norandom=""
if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R true 2>/dev/null; then
    norandom="setarch $(uname -m) -R"
fi

run_build() {
    local name=$1 dir=$2
    shift 2
    echo "=== $name build ($dir) ==="
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    echo "=== $name tests ==="
    (cd "$dir" && $norandom ctest --output-on-failure -j"$jobs" --timeout 900)
}

# Each build's time (build and tests) is printed at the end, so that a CI
# log's last lines show where the time went.
times=""
started_all=$SECONDS
current=""
trap 'status=$?; [ $status -ne 0 ] && [ -n "$current" ] &&
    echo "=== times:${times%,}; $current failed after $((SECONDS - started)) s ===" >&2' EXIT
for b in $builds; do
    started=$SECONDS
    current=$b
    case $b in
    normal) run_build normal build ;;
    asan) ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_build "address+UB sanitizer" build-asan -DKX_SANITIZE=address ;;
    tsan) TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        run_build "thread sanitizer" build-tsan -DKX_SANITIZE=thread ;;
    windows)
        echo "=== Windows build (mingw-w64) ==="
        if [ -x scripts/windows-build.sh ]; then
            scripts/windows-build.sh
        else
            echo "no Windows build script yet"
        fi ;;
    wine)
        echo "=== Wine lane (mingw-w64 PE tests under wine64) ==="
        KX_JOBS=$jobs scripts/wine-tests.sh ;;
    fuzz)
        echo "=== fuzz targets (libFuzzer, address+UB) ==="
        # Repeatable in the suite: a fixed seed and a bounded number of
        # executions, so that the suite's verdict does not depend on luck;
        # "cmake --build build-fuzz --target fuzz" explores freely.
        KX_FUZZ_SEED=${KX_FUZZ_SEED:-1} KX_FUZZ_RUNS=${KX_FUZZ_RUNS:-12000} \
            scripts/fuzz.sh "${KX_FUZZ_SECONDS:-60}" ;;
    memcheck)
        echo "=== valgrind memcheck of the integration tests ==="
        [ -d build/bin ] || run_build normal build
        scripts/memcheck.sh build ;;
    *) echo "test.sh: unknown build '$b'" >&2; exit 2 ;;
    esac
    times="$times $b $((SECONDS - started)) s,"
done
current=""
echo "=== times:${times%,}; all $((SECONDS - started_all)) s ==="
echo "=== all test builds passed: $builds ==="
