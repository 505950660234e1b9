#!/usr/bin/env bash
# memcheck.sh: runs the integration tests under valgrind's memcheck and
# fails on any memory error or definite leak.
#
#   scripts/memcheck.sh [BUILD_DIR]     (default build/, a normal build)
#
# The integration tests are those that load a deliverable as its host does
# and drive it against a module (scripted or kxmodem): KxCmdApi (loaded and
# linked), CarrierCfg with the RIL, the RIL itself and the stress program's
# full-cycle test. Each test program runs whole under one valgrind process;
# KX_MEMCHECK_FILTER narrows them (a GoogleTest filter).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$build/bin
if ! command -v valgrind >/dev/null 2>&1; then
    echo "memcheck: valgrind is not installed" >&2
    exit 1
fi

# command_driver_tests replaces the global operator new and delete with
# counting ones built on malloc and free (its allocation tests), which
# memcheck would report as mismatched frees everywhere; and those tests
# cannot count allocations that valgrind itself takes over. The explorer's
# scenarios load and unload the driver hundreds of times under the
# deterministic scheduler; the sanitizer builds run them, and under valgrind
# they would take most of an hour.
programs=(
    "command_driver_tests:-Allocation.*:ExploreKxCmdApi.*"
    "command_driver_linked_tests"
    "carriercfg_driver_tests"
    "ril_tests"
    "stress_tests:Stress.FullCycle*"
)
failed=0
for entry in "${programs[@]}"; do
    program=${entry%%:*}
    filter=${KX_MEMCHECK_FILTER:-*}
    mismatched=yes
    [ "$program" = command_driver_tests ] && mismatched=no
    [ "$entry" != "$program" ] && filter=${entry#*:}
    if [ ! -x "$bin/$program" ]; then
        echo "=== memcheck $program: not built, skipped ==="
        continue
    fi
    log=$build/memcheck-$program.log
    echo "=== memcheck $program ($filter) ==="
    status=0
    # Valgrind runs everything about 20 times slower: platform time is
    # scaled by the tests themselves; --gtest_death_test_style=threadsafe
    # keeps death tests (if any) from forking under valgrind.
    KX_TEST_HANG_SECONDS=0 KX_DEVICE_ROOT=$build/device valgrind --tool=memcheck --error-exitcode=99 \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --track-origins=yes --child-silent-after-fork=yes --log-file="$log" \
        --show-mismatched-frees=$mismatched --suppressions=scripts/memcheck.supp \
        "$bin/$program" --gtest_filter="$filter" --gtest_brief=1 >"$log.out" 2>&1 || status=$?
    errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -1)
    definite=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1)
    echo "    exit $status, memcheck errors ${errors:-?}, definitely lost ${definite:-0} bytes"
    if [ $status -ne 0 ]; then
        failed=1
        tail -n 40 "$log.out"
        grep -A25 -m3 -E "^==[0-9]+== (Invalid|Conditional|Use of uninit|Mismatched|Syscall|Source and|.*definitely lost in)" "$log" || true
    fi
done
exit $failed
