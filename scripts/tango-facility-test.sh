#!/usr/bin/env bash
# The Tango server in a real Tango installation: MariaDB and the Tango database server DataBaseds
# on a "database host", vellumotor-tango and vmsim on a "beamline host", clients on a third host,
# each host a network namespace made here (a bridge in the database namespace, veth pairs, the
# private addresses 10.231.77.1 to .3 that only this test uses). Without the rights to make
# namespaces (or with VM_FACILITY_LOCAL=1) it says so and runs everything on 127.0.0.1 with free
# ports.
#
# Checks: registration in the database, reads, a move whose Position change events reach another
# host in order while a second client watches, attribute configuration, a device property and the
# axis's Offset (set by DefinePosition), Step_per_unit and Position limits kept
# in the database over a restart of the server, FAULT when vmsim is killed and recovery when it
# comes back. Every process is stopped by its pid and every namespace removed, whatever happens.
#
# Needs root, the Debian packages mariadb-server, tango-db (scripts/setup-debian.sh) and the
# build (VM_BUILD_DIR, default build/default: vmsim, the package and the server). Usage:
#     bash scripts/tango-facility-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VM_BUILD_DIR:-$root/build/default}
python=/usr/bin/python3
clients=$root/tests/tango/facility_clients.py
server=$build/bin/vellumotor-tango
vmsim=$build/sim/vmsim
databaseds=/usr/lib/tango/DataBaseds

for need in "$databaseds" /usr/sbin/mariadbd /usr/bin/mariadb-install-db "$vmsim" "$server"; do
  if [ ! -e "$need" ]; then
    echo "tango-facility-test: $need is missing (scripts/setup-debian.sh, then the build)" >&2
    exit 1
  fi
done

if [ "$(id -u)" -ne 0 ]; then
  # CI runs as root; MariaDB's data directory belongs to the mysql user, the namespaces need root.
  echo "tango-facility-test: skipped, it needs root (MariaDB runs as the user mysql)"
  exit 0
fi

work=$(mktemp -d /tmp/vm-tango-facility.XXXXXX)
suffix=$$
ns_db=vmtf-db-$suffix
ns_bl=vmtf-bl-$suffix
ns_cl=vmtf-cl-$suffix
namespaces=()
pids=()

cleanup() {
  local status=$?
  set +e
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -KILL "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
  for ns in "${namespaces[@]}"; do
    ip netns del "$ns" 2>/dev/null
  done
  ip link del "vmtf2-$suffix" 2>/dev/null  # a veth pair left outside by a failed set-up
  ip link del "vmtf3-$suffix" 2>/dev/null
  if [ $status -ne 0 ]; then
    for log in "$work"/*.log; do
      [ -s "$log" ] && { echo "--- $(basename "$log"), last lines:"; tail -n 20 "$log"; } >&2
    done
    echo "tango-facility-test: FAILED (exit $status)" >&2
  fi
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The hosts: three namespaces, a bridge in the database host's, a veth pair to each other host.
# Any step that fails (no rights, no bridge, no "ip netns exec") leaves the local fallback.
make_hosts() {
  local ns n=2
  for ns in "$ns_db" "$ns_bl" "$ns_cl"; do
    ip netns add "$ns" || return 1
    namespaces+=("$ns")
    ip -n "$ns" link set lo up || return 1
    ip netns exec "$ns" true || return 1
  done
  ip -n "$ns_db" link add br0 type bridge || return 1
  ip -n "$ns_db" addr add 10.231.77.1/24 dev br0 || return 1
  ip -n "$ns_db" link set br0 up || return 1
  for ns in "$ns_bl" "$ns_cl"; do
    ip link add "vmtf$n-$suffix" type veth peer name "vmtfp$n-$suffix" || return 1
    ip link set "vmtf$n-$suffix" netns "$ns" name eth0 || return 1
    ip link set "vmtfp$n-$suffix" netns "$ns_db" name "port$n" || return 1
    ip -n "$ns_db" link set "port$n" master br0 up || return 1
    ip -n "$ns" addr add "10.231.77.$n/24" dev eth0 || return 1
    ip -n "$ns" link set eth0 up || return 1
    n=$((n + 1))
  done
}
if [ -z "${VM_FACILITY_LOCAL:-}" ] && make_hosts 2> "$work/namespaces.log"; then
  db_host=10.231.77.1
  bl_host=10.231.77.2
  on_db=(ip netns exec "$ns_db")
  on_bl=(ip netns exec "$ns_bl")
  on_cl=(ip netns exec "$ns_cl")
  mysql_port=3306
  tango_port=10000
  echo "tango-facility-test: database host $db_host, beamline host $bl_host, clients 10.231.77.3 (network namespaces)"
else
  for ns in "${namespaces[@]}"; do
    ip netns del "$ns" 2>/dev/null || true
  done
  ip link del "vmtf2-$suffix" 2>/dev/null || true
  ip link del "vmtf3-$suffix" 2>/dev/null || true
  namespaces=()
  echo "tango-facility-test: no network namespaces (not permitted here, or VM_FACILITY_LOCAL set);" \
    "everything runs on 127.0.0.1 instead"
  db_host=127.0.0.1
  bl_host=127.0.0.1
  on_db=()
  on_bl=()
  on_cl=()
  free_port() {
    "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
  }
  mysql_port=$(free_port)
  tango_port=$(free_port)
fi

# Polls a condition (a command) every 0.1 s for at most $1 seconds.
wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    if [ $SECONDS -ge $deadline ]; then
      echo "tango-facility-test: timed out after ${seconds}s waiting for: $*" >&2
      return 1
    fi
    sleep 0.1
  done
}

# The database host: MariaDB on a data directory and socket of its own, then DataBaseds.
datadir=$work/mysql
mkdir -p "$datadir"
chown mysql:mysql "$work" "$datadir"
timeout 120 mariadb-install-db --user=mysql --datadir="$datadir" --auth-root-authentication-method=socket \
  --skip-test-db > "$work/install-db.log" 2>&1
"${on_db[@]}" /usr/sbin/mariadbd --user=mysql --datadir="$datadir" --socket="$datadir/mysql.sock" \
  --pid-file="$datadir/mariadbd.pid" --bind-address=127.0.0.1 --port="$mysql_port" \
  --skip-name-resolve --log-error="$work/mariadbd.log" &
pids+=($!)
sql() { timeout 60 mariadb --socket="$datadir/mysql.sock" -u root "$@"; }
wait_until 60 sql -e "SELECT 1" > /dev/null 2>&1
password=vm-$suffix-$RANDOM
sql <<EOF
CREATE DATABASE tango;
CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON tango.* TO 'tango'@'127.0.0.1';
EOF
sql tango < /usr/share/dbconfig-common/data/tango-db/install/mysql
"${on_db[@]}" env MYSQL_USER=tango MYSQL_PASSWORD="$password" MYSQL_HOST="127.0.0.1:$mysql_port" \
  MYSQL_DATABASE=tango "$databaseds" 2 -ORBendPoint "giop:tcp:$db_host:$tango_port" \
  > "$work/databaseds.log" 2>&1 &
pids+=($!)
export TANGO_HOST=$db_host:$tango_port
export PYTHONPATH=$build/python PYTHONDONTWRITEBYTECODE=1
client() { "${on_cl[@]}" timeout 60 "$python" "$clients" "$@"; }
admin() { "${on_cl[@]}" timeout 60 tango_admin "$@"; }
admin --ping-database 30

# The beamline host: vmsim and the server, registered in the database first.
sim_ready=$work/vmsim.ready
start_vmsim() {
  rm -f "$sim_ready"
  "${on_bl[@]}" "$vmsim" --bind 127.0.0.1 --port "$1" --no-discovery --speed 20 --ready-file "$sim_ready" \
    > /dev/null 2>&1 &
  vmsim_pid=$!
  pids+=($vmsim_pid)
  wait_until 10 test -s "$sim_ready"
}
start_vmsim 0
sim_port=$(cut -d' ' -f1 "$sim_ready")
# As docs/tango.md tells an administrator to, with tango_admin from the clients' host.
selector=127.0.0.1:$sim_port
admin --add-server vellumotor-tango/lab VellumotorController vellumotor/lab/controller
admin --add-property vellumotor/lab/controller Selector "$selector"
admin --add-server vellumotor-tango/lab VellumotorAxis vellumotor/lab/1a
admin --add-property vellumotor/lab/1a Selector "$selector"
admin --add-property vellumotor/lab/1a Module 1
admin --add-property vellumotor/lab/1a Channel 1
admin --add-server vellumotor-tango/lab VellumotorSensor vellumotor/lab/sensor-5-2
admin --add-property vellumotor/lab/sensor-5-2 Selector "$selector"
admin --add-property vellumotor/lab/sensor-5-2 Module 5
admin --add-property vellumotor/lab/sensor-5-2 Channel 2
admin --add-property vellumotor/lab/sensor-5-2 Stage CEDAR1-POT
admin --add-server vellumotor-tango/lab VellumotorClosedLoop vellumotor/lab/closedloop
admin --add-property vellumotor/lab/closedloop Selector "$selector"
admin --add-property vellumotor/lab/closedloop Temperature 4
client registered

server_ready=$work/server.ready
start_server() {
  rm -f "$server_ready"
  "${on_bl[@]}" "$python" "$server" lab -ORBendPoint "giop:tcp:$bl_host:0" --ready-file "$server_ready" \
    >> "$work/server.log" 2>&1 &
  server_pid=$!
  pids+=($server_pid)
  wait_until 30 test -s "$server_ready"
}
stop() {
  kill -KILL "$1"
  wait "$1" 2>/dev/null || true
}
start_server

# The clients' host.
client reads
client mover "$work/watching" > "$work/mover.out" 2>&1 &
mover_pid=$!
pids+=($mover_pid)
client watcher "$work/watching"
wait "$mover_pid" || { cat "$work/mover.out"; exit 1; }
cat "$work/mover.out"

# What the database keeps over a restart of the server.
client configure
stop "$server_pid"
start_server
client configured

# FAULT while the controller is gone, ON again when it is back (on the same port).
stop "$vmsim_pid"
client state vellumotor/lab/controller FAULT
client state vellumotor/lab/1a FAULT
start_vmsim "$sim_port"
client state vellumotor/lab/controller ON
client state vellumotor/lab/1a ON
echo "tango-facility-test: passed"
