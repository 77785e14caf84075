#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: first the normal build, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, then the ARM builds asked for, whose
# test programs run under qemu user mode (scripts/emulate.sh) while the broker, Xvfb and
# the other host tools stay native. Every suite runs on every target, the GUI and
# end-to-end ones included.
#   scripts/run-tests.sh                both host builds
#   scripts/run-tests.sh --arm64        both host builds, then arm64 (the CI's command)
#   scripts/run-tests.sh --armhf        both host builds, then armhf
#   scripts/run-tests.sh --all-targets  both host builds, then arm64 and armhf
#   scripts/run-tests.sh --quick        the normal build only (with the ARM ones asked for)
#   scripts/run-tests.sh --no-host      only the ARM builds asked for
# The ARM stages need root and Linux 6.7 or later, and refuse to run while the machine
# registers qemu's formats in its own binfmt_misc (scripts/emulate.sh --check-host).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

usage() {
    echo "usage: $0 [--quick | --no-host] [--arm64] [--armhf] [--all-targets]" >&2
    exit 2
}

host=2
targets=()
for arg in "$@"; do
    case "$arg" in
        --quick) host=1 ;;
        --no-host) host=0 ;;
        --arm64 | --armhf) targets+=("${arg#--}") ;;
        --all-targets) targets+=(arm64 armhf) ;;
        *) usage ;;
    esac
done
[ "$host" -gt 0 ] || [ ${#targets[@]} -gt 0 ] || usage

run_suite() {
    local dir="$1"; shift
    kvrt_log "building in $dir"
    local start=$SECONDS
    kvrt_build "$dir" "$@"
    kvrt_log "built in $dir in $((SECONDS - start)) s; testing"
    start=$SECONDS
    (cd "$dir" && ctest --output-on-failure --timeout 900 -j2 </dev/null)
    kvrt_log "tested in $dir in $((SECONDS - start)) s"
}

if [ "$host" -gt 0 ]; then
    kvrt_install_deps
    run_suite "$KVRT_ROOT/build"
fi
if [ "$host" -gt 1 ]; then
    (
        export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
        export LSAN_OPTIONS="suppressions=$KVRT_ROOT/scripts/lsan.supp"
        run_suite "$KVRT_ROOT/build-asan" -DKVRT_SANITIZE=ON -DKVRT_BUILD_BENCH=OFF
    )
fi
for arch in "${targets[@]}"; do
    kvrt_install_deps
    kvrt_install_target_deps "$arch"
    # ARM programs must run nowhere but in emulate.sh's sandbox: not with qemu's formats
    # registered for the whole machine.
    "$KVRT_ROOT/scripts/emulate.sh" --check-host
    run_suite "$KVRT_ROOT/build-$arch" \
        -DCMAKE_TOOLCHAIN_FILE="$KVRT_ROOT/cmake/toolchains/$arch.cmake" -DKVRT_BUILD_BENCH=OFF
done
