#!/usr/bin/env bash
# The picture in docs/tango.md of a generic Tango GUI showing our devices: Debian's Taurus forms
# (python3-taurus) of one axis and one sensor of vellumotor-tango, with no code of ours in the GUI.
#
# Starts vmsim (the virtual controller) and the Tango server in no-database mode, both on
# 127.0.0.1 on free ports, and an Xvfb on a free display; scripts/tango-taurus-form.py then moves
# the axis by 300 steps (a move that ends by itself), shows the forms, waits until every row has a
# value (at most 30 s) and saves the window with Qt's QWidget.grab(). Every process started here is
# stopped by its pid when the script ends, whatever happens.
#
# Needs the Debian packages python3-taurus (brings PyQt5), python3-tango and xvfb; it installs
# nothing. Not part of CI. Usage:
#     bash scripts/tango-screenshot.sh [VMSIM [OUTPUT.png]]
# VMSIM defaults to build/default/sim/vmsim, the server to the same build's bin/vellumotor-tango
# (VM_BUILD_DIR changes the build, default build/default), OUTPUT to docs/images/tango-taurus-form.png.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VM_BUILD_DIR:-$root/build/default}
vmsim=${1:-$build/sim/vmsim}
output=${2:-$root/docs/images/tango-taurus-form.png}
server=$build/bin/vellumotor-tango
python=/usr/bin/python3
launcher=$root/scripts/tango-taurus-form.py
instance=lab
me=tango-screenshot

missing=()
[ -x "$python" ] || missing+=(python3)
"$python" -c 'import tango' 2>/dev/null || missing+=(python3-tango)
"$python" -c 'import taurus, PyQt5' 2>/dev/null || missing+=(python3-taurus)
command -v Xvfb > /dev/null || missing+=(xvfb)
if [ ${#missing[@]} -gt 0 ]; then
  echo "$me: missing Debian packages: ${missing[*]}" >&2
  echo "$me: install them with: apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
for need in "$vmsim" "$server"; do
  if [ ! -f "$need" ]; then
    echo "$me: $need is missing (build first, or give VMSIM / set VM_BUILD_DIR)" >&2
    exit 1
  fi
done
mkdir -p "$(dirname "$output")"

work=$(mktemp -d /tmp/vm-tango-screenshot.XXXXXX)
pids=()

# Stops one process: TERM, up to 5 s to end, then KILL.
stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

cleanup() {
  local status=$?
  set +e
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    stop_pid "${pids[i]}"
  done
  if [ $status -ne 0 ]; then
    for log in "$work"/*.log; do
      [ -s "$log" ] && { echo "--- $(basename "$log"), last lines:"; tail -n 20 "$log"; } >&2
    done
    echo "$me: FAILED (exit $status)" >&2
  fi
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits at most $1 seconds for file $2 to hold a line, written by the process started last.
wait_for_file() {
  local deadline=$((SECONDS + $1)) pid=${pids[-1]}
  until [ -s "$2" ]; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "$me: a process ended before writing $2" >&2
      return 1
    fi
    if [ $SECONDS -ge $deadline ]; then
      echo "$me: timed out after $1 s waiting for $2" >&2
      return 1
    fi
    sleep 0.1
  done
}

# The virtual controller: two drive modules without encoder, a sensor module in slot 5.
"$vmsim" --bind 127.0.0.1 --port 0 --no-discovery --rack C,-,-,-,R,- --ready-file "$work/vmsim.ready" \
  > "$work/vmsim.log" 2>&1 &
pids+=($!)
wait_for_file 10 "$work/vmsim.ready"
read -r vmsim_port _ < "$work/vmsim.ready"

"$python" "$server" "$instance" --nodb --selector "127.0.0.1:$vmsim_port" --endpoint 127.0.0.1:0 \
  --axes 1A --sensors 5.1=CEDAR1-POT --ready-file "$work/server.ready" > "$work/server.log" 2>&1 &
pids+=($!)
wait_for_file 60 "$work/server.ready"
read -r _ server_port < "$work/server.ready"

# A virtual X display; Xvfb picks a free display number and writes it to descriptor 3.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x900x24 3> "$work/display" > "$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for_file 10 "$work/display"
display=:$(head -n 1 "$work/display")

DISPLAY=$display XDG_RUNTIME_DIR=$work "$python" "$launcher" --port "$server_port" --instance "$instance" \
  --axis 1a --sensor sensor-5-1 --output "$output" --timeout 30 > "$work/form.log" 2>&1 &
pids+=($!)
status=0
wait "${pids[-1]}" || status=$?
if [ $status -ne 0 ]; then
  echo "$me: the form did not save a picture" >&2
  exit $status
fi
grep 'saved' "$work/form.log"
