#!/usr/bin/env bash
# Builds everything, starts the virtual controller on 127.0.0.1 and runs a short vmcli session
# against it over the LAN link. With --gui and a display, the desktop program follows, connected
# through a vmcli communication monitor. vmsim and the monitor are stopped by their pids when the
# script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
gui=false
[[ "${1:-}" == "--gui" ]] && gui=true
cmake --preset default > /dev/null
cmake --build --preset default -j "$(nproc)"
cli=build/default/cli/vmcli
sim=build/default/sim/vmsim

work=$(mktemp -d)
sim_pid=""
monitor_pid=""
cleanup() {
    if [[ -n "$monitor_pid" ]]; then
        kill "$monitor_pid" 2> /dev/null || true
        wait "$monitor_pid" 2> /dev/null || true
    fi
    if [[ -n "$sim_pid" ]]; then
        kill "$sim_pid" 2> /dev/null || true
        wait "$sim_pid" 2> /dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 130" INT TERM

# Starts vmsim on the given port (0: any free port); succeeds once it reports its port.
start_sim() {
    rm -f "$work/ready"
    "$sim" --bind 127.0.0.1 --port "$1" --no-discovery --ready-file "$work/ready" > "$work/vmsim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do
        [[ -s "$work/ready" ]] && return 0
        kill -0 "$sim_pid" 2> /dev/null || break
        sleep 0.05
    done
    wait "$sim_pid" 2> /dev/null || true
    sim_pid=""
    return 1
}

# The default controller port when it is free, otherwise any free port.
start_sim 2048 || start_sim 0 || { cat "$work/vmsim.log"; exit 1; }
port=$(cut -d' ' -f1 "$work/ready")
# The LAN link's port override (unset, vmcli uses 2048); set even for 2048, so that a value left
# in the caller's environment cannot send the session to another port.
export VM_LAN_PORT="$port"
echo "vmsim (pid $sim_pid) listens on 127.0.0.1:$port"

run() {
    echo
    echo "\$ vmcli $*"
    "$cli" "$@"
}
run /ver
run @127.0.0.1 modlist
run @127.0.0.1 STS 1
run @127.0.0.1 MOV 1 ASPEN1 4 1 300 100 0
sleep 0.5
run @127.0.0.1 STS 1
run @127.0.0.1 POS 2 1
run @127.0.0.1 STP 1
run @127.0.0.1 STS 1
run @127.0.0.1 POS 2 1

if $gui; then
    echo
    if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
        echo "--gui: no display (DISPLAY or WAYLAND_DISPLAY); the desktop program is not started"
        exit 0
    fi
    # The monitor serves the controller at 127.0.0.1 under the pipe name 127.0.0.1.
    export VM_PIPE_DIR="$work/pipes"
    mkdir -m 0700 "$VM_PIPE_DIR"
    "$cli" CMON:127.0.0.1 < /dev/null > "$work/monitor.log" 2>&1 &
    monitor_pid=$!
    for _ in $(seq 100); do
        [[ -e "$VM_PIPE_DIR/127.0.0.1SR" ]] && break
        sleep 0.05
    done
    echo "\$ VMControlSystem @CMON 127.0.0.1   (close the window to end the demo)"
    build/default/gui/VMControlSystem @CMON 127.0.0.1
fi
