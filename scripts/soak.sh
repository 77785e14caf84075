#!/usr/bin/env bash
# Soak run of a whole entry gate: a real MQTT broker, the device-service simulator and
# the terminal program on a virtual display issue cards for a long time while faults
# are injected at random, reproducibly from the seed: a broker restart every 100 cards,
# a jammed dispenser, an open cartridge door, a failing card write, services offline,
# bursts of garbage on every topic. At the end the terminal must still issue cards
# from its gate page, every card taken must hold what the terminal wrote, nothing may
# have piled up (subscriptions, waits, timers, deferred results), its memory must have
# grown by less than 5% after the warm-up, and it must not have crashed. Each figure
# is printed next to its goal; the exit code is non-zero when a goal is missed.
#
#   scripts/soak.sh [cards] [seed]       default: 1000 cards, seed 1
#
# About 3 s per card (the terminal pauses 2 s before it prepares the next card), plus
# the faults: 1000 cards take about an hour. Tuning through the environment:
#   SOAK_MOTION_DELAY (ms per dispenser movement, 50), SOAK_FAULT_PERCENT (8),
#   SOAK_RESTART_EVERY (100), SOAK_WORK_DIR (run/soak: configuration and logs).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cards="${1:-1000}"
seed="${2:-1}"
case "$cards$seed" in
    *[!0-9]*) echo "usage: $0 [cards] [seed]" >&2; exit 2 ;;
esac

kvrt_install_deps
build="$KVRT_ROOT/build"
cmake -S "$KVRT_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target KVRTTerminalUI kvrt-simulator kvrt-soak

work="${SOAK_WORK_DIR:-$KVRT_ROOT/run/soak}"
rm -rf "$work"
mkdir -p "$work"
kvrt_log "soak: $cards cards, seed $seed; logs in $work"
exec "$build/tools/kvrt-soak" --cards "$cards" --seed "$seed" \
    --terminal "$build/KVRTTerminalUI" --simulator "$build/tools/kvrt-simulator" \
    --work-dir "$work" --motion-delay "${SOAK_MOTION_DELAY:-50}" \
    --fault-percent "${SOAK_FAULT_PERCENT:-8}" --restart-every "${SOAK_RESTART_EVERY:-100}"
