"""Clients of scripts/tango-facility-test.sh; TANGO_HOST names the database host. Each role prints
one line "OK ..." on success and exits non-zero (with the reason) otherwise.

    facility_clients.py registered                   the devices tango_admin registered
    facility_clients.py reads                        states, rack, sensor and loop
    facility_clients.py mover FILE                   once FILE exists: moves 1a, checks its Position events in order
    facility_clients.py watcher FILE                 makes FILE, then watches the move: states and the sensor
    facility_clients.py configure                    attribute configuration, a property and the axis's
                                                     Offset (DefinePosition) and Position limits, in the database
    facility_clients.py configured                   ... still there after a restart of the server
    facility_clients.py state DEVICE STATE           until DEVICE reports STATE
"""

import os
import sys
import threading
import time

import tango

BASE = "vellumotor/lab"
CONTROLLER, AXIS, SENSOR, LOOP = (f"{BASE}/{n}" for n in ("controller", "1a", "sensor-5-2", "closedloop"))
SERVER = "vellumotor-tango/lab"
ABS_CHANGE = "2e-08"
# What the axis is given before the restart: its Step_per_unit, a defined Position and the limits.
STEP_PER_UNIT, DEFINED, LIMITS = 4.0, 12.5, ("-100", "2500")


def wait_for(condition, seconds=20.0, what="condition"):
    deadline = time.monotonic() + seconds
    while True:
        try:
            if condition():
                return
        except tango.DevFailed:
            pass
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {what}")
        time.sleep(0.05)


def proxy(name):
    device = tango.DeviceProxy(name)
    device.set_timeout_millis(5000)
    return device


def registered():
    db = tango.Database()
    devices = sorted(db.get_device_class_list(SERVER)[::2])
    wanted = sorted([f"dserver/{SERVER}", CONTROLLER, AXIS, SENSOR, LOOP])
    if devices != wanted or db.get_device_property(SENSOR, "Stage")["Stage"][0] != "CEDAR1-POT":
        raise SystemExit(f"registered: {devices}")
    print("OK registered:", ", ".join(devices))


def reads():
    controller, axis, sensor, loop = (proxy(n) for n in (CONTROLLER, AXIS, SENSOR, LOOP))
    states = [d.state() for d in (controller, axis, sensor, loop)]
    expected = [tango.DevState.ON, tango.DevState.ON, tango.DevState.ON, tango.DevState.OFF]
    if states != expected:
        raise SystemExit(f"states {states}, expected {expected}")
    rack = controller.Modules.splitlines()
    if rack[4] != "slot 5: sensor":
        raise SystemExit(f"rack {rack}")
    position = sensor.Position
    if not 0 < position < 0.1 or sensor.get_attribute_config("Position").unit != "m":
        raise SystemExit(f"sensor position {position}")
    print(f"OK reads: {rack[0]}; sensor {position:.6g} m; loop {loop.status()}")


def mover(watching):
    axis = proxy(AXIS)
    wait_for(lambda: os.path.exists(watching), 30, "the watcher")  # so that it sees the move
    events, errors, lock = [], [], threading.Lock()

    def on_position(e):
        with lock:
            (errors.append(e.errors) if e.err else events.append(e.attr_value.value))

    subscription = axis.subscribe_event("Position", tango.EventType.CHANGE_EVENT, on_position)
    start = axis.Position
    axis.MoveRelative(5000)
    wait_for(lambda: axis.state() == tango.DevState.ON, 30, "the end of the move")
    final = axis.Position
    wait_for(lambda: events and events[-1] == final, 10, "the last Position event")
    axis.unsubscribe_event(subscription)
    with lock:
        moving = [v for v in events if v != start]
        if errors or moving != sorted(moving) or len(moving) < 2 or final - start != 5000:
            raise SystemExit(f"events {events}, errors {errors}, from {start} to {final}")
    print(f"OK mover: {len(events)} Position events in order, {start} to {final}")


def watcher(watching):
    axis, controller, sensor = proxy(AXIS), proxy(CONTROLLER), proxy(SENSOR)
    axis.ping()
    open(watching, "w").close()
    wait_for(lambda: axis.state() == tango.DevState.MOVING, 20, "the other client's move")
    seen = [controller.state(), sensor.state()]
    wait_for(lambda: axis.state() == tango.DevState.ON, 30, "the end of the move")
    if seen != [tango.DevState.ON, tango.DevState.ON]:
        raise SystemExit(f"during the move: {seen}")
    print(f"OK watcher: saw the move, controller and sensor {seen}")


def configure():
    sensor = proxy(SENSOR)
    config = sensor.get_attribute_config("Position")
    config.events.ch_event.abs_change = ABS_CHANGE
    sensor.set_attribute_config(config)
    tango.Database().put_device_property(SENSOR, {"Stage": "MAPLE1-ENC"})
    axis = proxy(AXIS)
    axis.Step_per_unit = STEP_PER_UNIT
    axis.DefinePosition(DEFINED)
    config = axis.get_attribute_config("Position")
    config.min_value, config.max_value = LIMITS
    axis.set_attribute_config(config)
    print(f"OK configured: Position abs_change, the Stage property, the axis at {DEFINED} with limits {LIMITS}")


def configured():
    sensor = proxy(SENSOR)
    change = sensor.get_attribute_config("Position").events.ch_event.abs_change
    unit = sensor.get_attribute_config("Position").unit
    if float(change) != float(ABS_CHANGE) or unit != "rad" or sensor.state() != tango.DevState.ON:
        raise SystemExit(f"after the restart: abs_change {change}, unit {unit}, state {sensor.state()}")
    axis = proxy(AXIS)
    config = axis.get_attribute_config("Position")
    kept = (axis.Step_per_unit, axis.Position, (config.min_value, config.max_value))
    if kept != (STEP_PER_UNIT, DEFINED, LIMITS):
        raise SystemExit(f"after the restart: axis Step_per_unit, Position and limits {kept}")
    try:
        axis.MoveRelative(-1000)  # would end at 12.5 - 250: below the kept limit
        raise SystemExit("after the restart: a move beyond the kept limit was accepted")
    except tango.DevFailed:
        pass
    print(f"OK configured after the restart: abs_change {change}, unit {unit}; axis Offset {axis.Offset}, "
          f"Position {axis.Position}, limits {LIMITS}")


def state(name, wanted):
    device = proxy(name)
    device.set_source(tango.DevSource.DEV)
    wanted = getattr(tango.DevState, wanted)
    wait_for(lambda: device.state() == wanted, 30, f"{name} in {wanted}")
    print(f"OK {name} {wanted}: {device.status()}")


if __name__ == "__main__":
    role, args = sys.argv[1], sys.argv[2:]
    {"registered": registered, "reads": reads, "mover": mover, "watcher": watcher,
     "configure": configure, "configured": configured, "state": state}[role](*args)
