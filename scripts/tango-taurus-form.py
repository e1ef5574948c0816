#!/usr/bin/python3
"""Taurus forms of one axis and one sensor of a no-database vellumotor-tango server, saved as PNG.

Started by scripts/tango-screenshot.sh under a virtual X display. Moves the axis by a few hundred
steps first (a move that ends by itself) so that Position reads non-zero, shows Taurus's own
TaurusForm for each device, waits (bounded) until every row has read a value, and saves the
window with Qt's QWidget.grab(). Usage:

    tango-taurus-form.py --port PORT --instance INSTANCE --axis 1a --sensor sensor-5-1 --output FILE.png
"""

import argparse
import signal
import sys
import time

import tango

# No Status rows: Taurus 5.0's Status label colours itself by the device state, looked up by
# str() of an IntEnum, which Python 3.11 turned into the number ("1"); the row then stays hidden.
AXIS_ATTRIBUTES = [
    "State", "Position", "DialPosition", "Offset", "Sign", "Step_per_unit", "Velocity",
    "Frequency", "StepSize", "Temperature", "Type", "FailsafeState",
]
SENSOR_ATTRIBUTES = ["State", "Position"]
MOVE_STEPS = 300


def _arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--domain", default="vellumotor")
    parser.add_argument("--instance", required=True)
    parser.add_argument("--axis", default="1a")
    parser.add_argument("--sensor", default="", help="sensor device's last name part; empty: no sensor")
    parser.add_argument("--output", required=True)
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds to wait for the move and for values")
    parser.add_argument("--width", type=int, default=800)
    return parser.parse_args()


def _move_a_little(axis, timeout: float) -> None:
    """A relative move of MOVE_STEPS steps, waited for until the axis reports it has stopped."""
    axis.command_inout("MoveRelative", MOVE_STEPS)
    deadline = time.monotonic() + timeout
    time.sleep(0.3)
    while axis.state() == tango.DevState.MOVING:
        if time.monotonic() > deadline:
            raise RuntimeError(f"the axis still moves after {timeout:g} s")
        time.sleep(0.1)


def _form_window(base: str, devices, width: int):
    """One window: per device a heading with its name and Taurus's TaurusForm of its attributes."""
    from taurus.external.qt import Qt
    from taurus.qt.qtgui.panel import TaurusForm

    window = Qt.QWidget()
    window.setWindowTitle("taurus form")
    layout = Qt.QVBoxLayout(window)
    forms = []
    for name, attributes in devices:
        heading = Qt.QLabel(f"<b>{name}</b>")
        layout.addWidget(heading)
        form = TaurusForm(window)
        form.setWithButtons(False)
        # Taurus 5.0 drops "#dbase=no" from attribute names when it makes their device, and then
        # looks the device up in a database; its own scheme "tango-nodb" keeps the no-database way.
        form.setModel([f"{base}/{name}/{attribute}" for attribute in attributes])
        form.setCompact(True)
        layout.addWidget(form)
        forms.append(form)
    window.resize(width, window.sizeHint().height())
    return window, forms


def _missing_values(forms):
    """The model names of the rows that have not read a value yet."""
    missing = []
    for form in forms:
        for item in form.getItems():
            attribute = item.getModelObj()
            value = attribute.read(cache=True) if attribute is not None else None
            if value is None or value.rvalue is None:
                missing.append(item.getModelName())
    return missing


def main() -> int:
    args = _arguments()
    # On TERM (the script's clean-up), leave through the finally below, which stops the drive.
    signal.signal(signal.SIGTERM, lambda _signal, _frame: sys.exit(143))
    name_base = f"{args.domain}/{args.instance}"
    axis_name = f"{name_base}/{args.axis}"
    axis = tango.DeviceProxy(f"tango://{args.host}:{args.port}/{axis_name}#dbase=no")
    try:
        _move_a_little(axis, args.timeout)

        from taurus.external.qt import Qt
        from taurus.qt.qtgui.application import TaurusApplication

        app = TaurusApplication(cmd_line_parser=None)
        devices = [(axis_name, AXIS_ATTRIBUTES)]
        if args.sensor:
            devices.append((f"{name_base}/{args.sensor}", SENSOR_ATTRIBUTES))
        window, forms = _form_window(f"tango-nodb://{args.host}:{args.port}", devices, args.width)
        window.show()

        outcome = {"status": 1}
        deadline = time.monotonic() + args.timeout

        def poll():
            missing = _missing_values(forms)
            if missing and time.monotonic() < deadline:
                return
            timer.stop()
            if missing:
                print("tango-taurus-form: no value within the time for: " + ", ".join(missing), file=sys.stderr)
                app.quit()
                return
            # Every row has its value: make each form tall enough to show all its rows without
            # scrolling, and give the widgets one more second to lay out and paint.
            for form in forms:
                area = form.scrollArea
                area.setVerticalScrollBarPolicy(Qt.Qt.ScrollBarAlwaysOff)
                area.setMinimumHeight(area.widget().sizeHint().height() + 2 * area.frameWidth())
            window.adjustSize()
            window.resize(args.width, window.sizeHint().height())
            Qt.QTimer.singleShot(1000, save)

        def save():
            if window.grab().save(args.output, "PNG"):
                outcome["status"] = 0
                print(f"tango-taurus-form: saved {args.output} ({window.width()}x{window.height()})")
            else:
                print(f"tango-taurus-form: could not write {args.output}", file=sys.stderr)
            app.quit()

        timer = Qt.QTimer()
        timer.timeout.connect(poll)
        timer.start(200)
        app.exec_()
        return outcome["status"]
    finally:
        # The move ends by itself; stop the drive module anyway so that nothing is left moving.
        try:
            axis.command_inout("Stop")
        except tango.DevFailed as error:
            print(f"tango-taurus-form: Stop failed: {error.args[0].desc}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
