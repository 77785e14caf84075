#!/usr/bin/env bash
# Builds and runs the benchmarks (every bench/bench_*.cpp). Each prints its figures and
# its ratios against an anchor measured in the same run, with the goal next to them.
#
#   scripts/bench.sh                 all of them
#   scripts/bench.sh terminal mqtt   only bench_terminal and bench_mqtt
#
# Figures depend on the machine and on what else runs on it: compare ratios, not times.
# Installs what is missing and builds first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kvrt_install_deps
kvrt_build "$KVRT_ROOT/build" -DKVRT_BUILD_BENCH=ON

names=()
if [ $# -gt 0 ]; then
    for name in "$@"; do names+=("bench_${name#bench_}"); done
else
    for src in "$KVRT_ROOT"/bench/bench_*.cpp; do names+=("$(basename "$src" .cpp)"); done
fi

failed=()
for name in "${names[@]}"; do
    program="$KVRT_ROOT/build/bench/$name"
    if [ ! -x "$program" ]; then
        kvrt_log "no benchmark $name"
        failed+=("$name")
        continue
    fi
    echo "=== $name"
    if ! "$program" </dev/null; then
        failed+=("$name")
    fi
    echo
done

if [ ${#failed[@]} -gt 0 ]; then
    kvrt_log "failed: ${failed[*]}"
    exit 1
fi
