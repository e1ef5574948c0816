"""The two client processes of the end-to-end test; each prints one line "OK ..." on success.

    clients.py mover PORT      moves axis 1A, follows its Position and State change events
    clients.py stopper PORT    waits until 1A moves, reads its State, sends Stop
    clients.py reader PORT DOMAIN/INSTANCE   reads the controller's rack and axis 3B
"""

import sys
import threading
import time

import tango

AXIS = "tango://127.0.0.1:{}/vellumotor/e2e/1a#dbase=no"


def wait_for(condition, seconds=20.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit("timed out")
        time.sleep(0.01)


def mover(axis):
    events, states, errors = [], [], []
    lock = threading.Lock()

    def on_position(e):
        with lock:
            if e.err:
                errors.append(e.errors)
            else:
                events.append((e.attr_value.time.totime(), e.attr_value.value, e.attr_value.quality))

    def on_state(e):
        with lock:
            (errors.append(e.errors) if e.err else states.append(e.attr_value.value))

    axis.subscribe_event("Position", tango.EventType.CHANGE_EVENT, on_position)
    axis.subscribe_event("State", tango.EventType.CHANGE_EVENT, on_state)
    start = axis.Position
    axis.MoveRelative(20000)
    wait_for(lambda: axis.state() == tango.DevState.ON)
    final = axis.Position
    # The last push of the move: a valid Position, then the State.
    wait_for(
        lambda: len(events) > 2
        and events[-1][2] == tango.AttrQuality.ATTR_VALID
        and len(states) > 1
        and states[-1] == tango.DevState.ON
    )
    with lock:
        times = [t for t, _, _ in events]
        values = [v for _, v, _ in events]
        qualities = [q for _, _, q in events]
        assert not errors, errors
        assert times == sorted(times), "events out of order"
        assert values == sorted(values), values  # a clockwise move only counts up
        assert values[0] == start and values[-1] == final, (start, final, values)
        assert qualities[0] == qualities[-1] == tango.AttrQuality.ATTR_VALID
        changing = qualities.count(tango.AttrQuality.ATTR_CHANGING)
        assert changing >= 2 and set(qualities[1:-1]) == {tango.AttrQuality.ATTR_CHANGING}, qualities
        assert start < final < start + 20000, final  # stopped by the other client
        assert states[0] == tango.DevState.ON and states[-1] == tango.DevState.ON, states
        assert tango.DevState.MOVING in states
        assert all(a != b for a, b in zip(states, states[1:])), states  # pushed on change only
    print(f"OK {len(events)} position events, {changing} while moving, final {final:.0f}")


def stopper(axis):
    wait_for(lambda: axis.state() == tango.DevState.MOVING)
    start = axis.Position
    # Let the server follow the move for a few polls, so the other client sees events meanwhile.
    wait_for(lambda: axis.Position > start + 500)
    seen = [axis.state() for _ in range(3)]
    assert seen == [tango.DevState.MOVING] * 3, seen
    axis.Stop()
    wait_for(lambda: axis.state() == tango.DevState.ON)
    print("OK stopped")


def reader(port, base):
    controller = tango.DeviceProxy(f"tango://127.0.0.1:{port}/{base}/controller#dbase=no")
    axis = tango.DeviceProxy(f"tango://127.0.0.1:{port}/{base}/3b#dbase=no")
    assert controller.state() == tango.DevState.ON, controller.status()
    assert controller.Modules.splitlines()[2] == "slot 3: drive, axes 3A 3B 3C, encoder module in slot 4"
    assert (axis.state(), axis.Position, axis.Frequency) == (tango.DevState.ON, 0, 200), axis.status()
    print("OK read")


if __name__ == "__main__":
    role, port = sys.argv[1], sys.argv[2]
    if role == "reader":
        reader(port, sys.argv[3])
        sys.exit(0)
    proxy = tango.DeviceProxy(AXIS.format(port))
    proxy.set_timeout_millis(10000)
    {"mover": mover, "stopper": stopper}[role](proxy)
