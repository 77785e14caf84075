#!/usr/bin/env bash
# Pictures of every operating screen and of the maintenance area, in Greek and in English,
# as PNG files.
#
#   scripts/screenshots.sh [DIR]      (default: run/screenshots)
#
# The real terminal, with the MQTT broker and the device-service simulator, runs on a
# virtual display and is driven through each screen by the end-to-end test's screenshot
# mode: DIR/<screen>-el.png and DIR/<screen>-en.png (registration page, keyboard,
# confirmation and the error pop-up of a serial number that cannot be saved, entry gate
# prompt/busy/collect/error, exit gate prompt/result/refusal, busy, out of order, out of
# service, screen saver; the PIN page and a refused PIN, the settings menu and every
# settings page, a refused Ethernet address, an applied configuration barcode).
# Installs what is missing and builds first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir="${1:-$KVRT_ROOT/run/screenshots}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"

kvrt_install_deps
kvrt_build "$KVRT_ROOT/build" -DKVRT_BUILD_BENCH=OFF

kvrt_log "the real terminal, in Greek and in English"
KVRT_SCREENSHOT_DIR="$dir" "$KVRT_ROOT/build/tests/tst_e2e" maintenanceArea screenshots </dev/null

kvrt_log "$(find "$dir" -name '*.png' | wc -l) pictures in $dir"
