#!/usr/bin/env bash
# Builds with coverage instrumentation, runs every test and prints the line and branch
# coverage of src and lib. A guard for test clean-ups: compare the two figures before
# and after.
#   scripts/coverage.sh [BUILD_DIR]        default: build-coverage
# The HTML details go to BUILD_DIR/coverage/index.html.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

KVRT_PACKAGES+=(gcovr)
kvrt_install_deps

dir="${1:-$KVRT_ROOT/build-coverage}"
kvrt_log "building with coverage in $dir"
kvrt_build "$dir" -DKVRT_COVERAGE=ON -DKVRT_BUILD_BENCH=OFF
find "$dir" -name '*.gcda' -delete

kvrt_log "testing in $dir"
# Coverage is wanted even when a test fails; the summary says so.
status=0
(cd "$dir" && ctest --timeout 900 -j2 </dev/null) || status=$?

mkdir -p "$dir/coverage"
# Exception edges and branches the compiler can prove unreachable say nothing about the
# tests: leave them out, as is usual for C++.
gcovr --root "$KVRT_ROOT" --object-directory "$dir" \
    --filter "$KVRT_ROOT/src/" --filter "$KVRT_ROOT/lib/" \
    --exclude-throw-branches --exclude-unreachable-branches \
    --html-details "$dir/coverage/index.html" --print-summary \
    --txt "$dir/coverage/summary.txt" >/dev/null 2>"$dir/coverage/gcovr.log" || true
gcovr --root "$KVRT_ROOT" --object-directory "$dir" \
    --filter "$KVRT_ROOT/src/" --filter "$KVRT_ROOT/lib/" \
    --exclude-throw-branches --exclude-unreachable-branches --print-summary 2>/dev/null \
    | grep -E '^(lines|branches):'
[ "$status" -eq 0 ] || kvrt_log "some tests failed (ctest exit $status): coverage is of the tests that ran"
exit "$status"
