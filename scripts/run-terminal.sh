#!/usr/bin/env bash
# Brings up a whole terminal on this machine: the MQTT broker, the device-service
# simulator (all services healthy) and the UI. Installs what is missing and builds
# first. Without a display the UI runs on a virtual one and its screen is written
# to run/screen.png every two seconds.
#
#   scripts/run-terminal.sh               an entry gate (issues cards on a tap)
#   scripts/run-terminal.sh --exit-gate   an exit gate (shows ticket validations)
#   options: --port N (broker port, default 1883), --device-id ID (default K00000001),
#            --language el_GR|en_US (default el_GR)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

entry=true
port=1883
device_id=K00000001
language=el_GR
while [ $# -gt 0 ]; do
    case "$1" in
        --exit-gate) entry=false ;;
        --entry-gate) entry=true ;;
        --port) port="$2"; shift ;;
        --device-id) device_id="$2"; shift ;;
        --language) language="$2"; shift ;;
        -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
        *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

kvrt_install_deps
kvrt_build "$KVRT_ROOT/build" -DKVRT_BUILD_BENCH=OFF

run="$KVRT_ROOT/run"
mkdir -p "$run"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# The broker: reuse one that already listens on the port, otherwise start our own.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    kvrt_log "using the MQTT broker already listening on port $port (set_tcp_nodelay true in its configuration spares the start 40 ms)"
else
    cat > "$run/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
persistence false
set_tcp_nodelay true
CONF
    /usr/sbin/mosquitto -c "$run/mosquitto.conf" >"$run/mosquitto.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
        sleep 0.1
    done
    kvrt_log "MQTT broker started on port $port (log: run/mosquitto.log)"
fi

"$KVRT_ROOT/build/tools/kvrt-simulator" --host 127.0.0.1 --port "$port" >"$run/simulator.log" 2>&1 &
pids+=($!)
kvrt_log "device-service simulator started (log: run/simulator.log)"

# A fresh configuration for this run; the device id lives in its own file as on a terminal.
echo "$device_id" > "$run/serialnumber"
cat > "$run/gui.conf" <<CONF
[gui]
isEntryGate=$entry
deviceId=$run/serialnumber
locale=$language

[mqtt]
host=127.0.0.1
port=$port
CONF

ui=("$KVRT_ROOT/build/KVRTTerminalUI" -f "$run/gui.conf" -e)
cd "$run"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    "${ui[@]}"
else
    display=":$(( (RANDOM % 400) + 100 ))"
    Xvfb "$display" -screen 0 1024x600x24 -nolisten tcp >"$run/xvfb.log" 2>&1 &
    pids+=($!)
    sleep 1
    kvrt_log "no display: the UI runs on the virtual display $display;"
    kvrt_log "its screen is saved to run/screen.png every 2 s (or: DISPLAY=$display import -window root shot.png)"
    (while sleep 2; do DISPLAY="$display" import -window root "$run/screen.png.tmp.png" 2>/dev/null \
        && mv "$run/screen.png.tmp.png" "$run/screen.png"; done) &
    pids+=($!)
    DISPLAY="$display" QT_QUICK_BACKEND=software "${ui[@]}"
fi
