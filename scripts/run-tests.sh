#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: first the normal build,
# then the AddressSanitizer + UndefinedBehaviorSanitizer build.
#   scripts/run-tests.sh            both builds
#   scripts/run-tests.sh --quick    the normal build only
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

quick=0
for arg in "$@"; do
    case "$arg" in
        --quick) quick=1 ;;
        *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
    esac
done

kvrt_install_deps

run_suite() {
    local dir="$1"; shift
    kvrt_log "building in $dir"
    kvrt_build "$dir" "$@"
    kvrt_log "testing in $dir"
    (cd "$dir" && ctest --output-on-failure --timeout 600 -j2 </dev/null)
}

run_suite "$KVRT_ROOT/build"
if [ "$quick" -eq 0 ]; then
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export LSAN_OPTIONS="suppressions=$KVRT_ROOT/scripts/lsan.supp"
    run_suite "$KVRT_ROOT/build-asan" -DKVRT_SANITIZE=ON -DKVRT_BUILD_BENCH=OFF
fi
