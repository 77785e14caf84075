#!/usr/bin/env bash
# Pictures of every operating screen, in Greek and in English, as PNG files.
#
#   scripts/screenshots.sh [DIR]      (default: run/screenshots)
#
# The real terminal, with the MQTT broker and the device-service simulator, runs on a
# virtual display and is driven through each screen by the end-to-end test's screenshot
# mode: DIR/<screen>-el.png and DIR/<screen>-en.png (registration page, keyboard and
# confirmation, entry gate prompt/busy/collect/error, exit gate prompt/result/refusal,
# busy, out of order, out of service, screen saver). The pages' own test pictures, made
# with a stand-in manager (among them the error pop-up, which the real terminal shows
# only when a serial number cannot be saved), go to DIR/qml/.
# Installs what is missing and builds first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir="${1:-$KVRT_ROOT/run/screenshots}"
mkdir -p "$dir/qml"
dir="$(cd "$dir" && pwd)"

kvrt_install_deps
kvrt_build "$KVRT_ROOT/build" -DKVRT_BUILD_BENCH=OFF

kvrt_log "the real terminal, in Greek and in English"
KVRT_SCREENSHOT_DIR="$dir" "$KVRT_ROOT/build/tests/tst_e2e" screenshots </dev/null

kvrt_log "the pages with a stand-in manager"
KVRT_SCREENSHOT_DIR="$dir/qml" QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
    "$KVRT_ROOT/build/tests/tst_qml" -input "$KVRT_ROOT/tests/qml/tst_screenshots.qml" </dev/null

kvrt_log "$(find "$dir" -name '*.png' | wc -l) pictures in $dir"
