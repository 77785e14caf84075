#!/usr/bin/env bash
# Builds the fuzz harnesses with clang and libFuzzer (in build-fuzz) and runs them one
# after the other, each for the given time, starting from its seeds in
# tests/fuzz/corpus/<name> (fuzz_mqtt_gui uses those of fuzz_mqtt). The seeds are left
# alone: new inputs go to build-fuzz/findings/<name>/new, faults (crash-*, leak-*,
# timeout-*) to build-fuzz/findings/<name>/; keep what is worth keeping by copying it
# into the seeds. Prints the executions and the final coverage ("cov:") of each.
#
#   scripts/fuzz.sh [seconds per harness, default 60] [harness...]   e.g. scripts/fuzz.sh 30 mqtt
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds="${1:-60}"
shift || true
case "$seconds" in
    ''|*[!0-9]*) echo "usage: $0 [seconds] [harness...]" >&2; exit 2 ;;
esac

# Only this script needs clang; the normal builds replay the seeds with gcc.
KVRT_PACKAGES+=(clang-14 libclang-rt-14-dev)
kvrt_install_deps

build="$KVRT_ROOT/build-fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$KVRT_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKVRT_FUZZ=ON -DKVRT_BUILD_TESTS=OFF -DKVRT_BUILD_BENCH=OFF >/dev/null

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    for src in "$KVRT_ROOT"/fuzz/fuzz_*.cpp; do
        name="$(basename "$src" .cpp)"
        harnesses+=("${name#fuzz_}")
    done
fi
targets=()
for name in "${harnesses[@]}"; do targets+=("fuzz_$name"); done
kvrt_log "building ${targets[*]} (log: $build/fuzz-build.log)"
if ! cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}" >"$build/fuzz-build.log" 2>&1; then
    tail -n 40 "$build/fuzz-build.log" >&2
    exit 1
fi

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$KVRT_ROOT/scripts/lsan.supp"

failed=()
summary=()
for name in "${harnesses[@]}"; do
    out="$build/findings/$name"
    mkdir -p "$out/new"
    kvrt_log "fuzzing $name for ${seconds}s (log: $out/fuzz.log)"
    status=0
    # One job at a time: the machine is shared.
    "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$out/" -dict="$KVRT_ROOT/fuzz/json.dict" \
        "$out/new" "$KVRT_ROOT/tests/fuzz/corpus/${name%%_*}" >"$out/fuzz.log" 2>&1 || status=$?
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/fuzz.log" | tail -n 1)"
    cov="$(grep -o 'cov: [0-9]*' "$out/fuzz.log" | tail -n 1 || true)"
    line="$name: ${runs:-?} executions, ${cov:-cov: ?}"
    if [ "$status" -ne 0 ]; then
        line="$line, FAILED (exit $status, see $out/fuzz.log)"
        failed+=("$name")
    fi
    summary+=("$line")
    kvrt_log "$line"
done

printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    kvrt_log "faults found by: ${failed[*]}"
    exit 1
fi
