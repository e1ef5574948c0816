"""One vellumotor Controller per selector, shared by every device of the server process.

A selector is what ``vellumotor.connect`` takes, with two additions for the server's properties
and command line: ``ADDRESS:PORT`` gives the LAN command port, and ``sim[:RACK[:SPEED]]`` makes
an in-process simulator (default rack ``C,O,C,O,R,-``, speed 1). The rack may be written without
commas (``sim:COCOR-:10``), since a Tango database splits a property value at commas. Tests
install a controller of their own under any name with :func:`install`.
"""

from __future__ import annotations

import functools
import math
import re
import threading
from typing import Dict

import tango
import vellumotor as vm

_lock = threading.Lock()
_controllers: Dict[str, vm.Controller] = {}

_ADDRESS_PORT = re.compile(r"^(\d+\.\d+\.\d+\.\d+):(\d+)$")
_SLOT = re.compile(r"C1|[COR-]")


def rack_with_commas(rack: str) -> str:
    """A rack written with or without commas ("COCOR-", "C1,-,C,R,-,O") in the comma form."""
    if "," in rack:
        return rack
    slots = _SLOT.findall(rack.upper())
    if "".join(slots) != rack.upper():
        raise ValueError(f"not a rack: {rack!r}")
    return ",".join(slots)


def without_commas(selector: str) -> str:
    """The selector as a Tango database keeps it: a simulator's rack without its commas."""
    if selector.startswith("sim:"):
        return selector.replace(",", "")
    return selector


def connect(selector: str) -> vm.Controller:
    """Connect to what the selector names (no sharing); raises vm.LinkError or ValueError."""
    if selector == "sim" or selector.startswith("sim:"):
        parts = selector.split(":")
        rack = rack_with_commas(parts[1]) if len(parts) > 1 and parts[1] else "C,O,C,O,R,-"
        speed = float(parts[2]) if len(parts) > 2 else 1.0
        return vm.connect(vm.Simulator(rack=rack, speed=speed))
    match = _ADDRESS_PORT.match(selector)
    if match:
        return vm.connect(match.group(1), port=int(match.group(2)))
    return vm.connect(selector or None)


def controller(selector: str) -> vm.Controller:
    """The shared controller of the selector, connected on first use (and after a close).

    Blanks around the selector do not count (a file database cannot hold an empty property).
    """
    selector = selector.strip()
    with _lock:
        ctl = _controllers.get(selector)
        if ctl is None or ctl.closed:
            ctl = connect(selector)
            _controllers[selector] = ctl
        return ctl


def install(selector: str, ctl: vm.Controller) -> None:
    """Make ``ctl`` the shared controller of ``selector``."""
    with _lock:
        _controllers[selector.strip()] = ctl


def close_all() -> None:
    """Close every shared controller."""
    with _lock:
        for ctl in _controllers.values():
            ctl.close()
        _controllers.clear()


def in_force(read):
    """Wraps the read of a read/write attribute so that each read also sets the attribute's write
    value to what it read: a client's set field then starts from the value in force, never from
    0 before anyone wrote (a GUI user who confirms that field must not write Sign 0). A value
    that cannot be read (NaN) leaves the write value alone."""

    @functools.wraps(read)
    def read_in_force(self, *args):
        result = read(self, *args)
        show_as_set(self, read.__name__, result[0] if isinstance(result, tuple) else result)
        return result

    return read_in_force


def show_as_set(device, name: str, value) -> None:
    """Sets the write value of a read/write attribute where Tango allows it: a value outside the
    attribute's limits (an axis that ran past a soft limit) leaves the last one in place."""
    if isinstance(value, float) and math.isnan(value):
        return
    try:
        device.get_device_attr().get_w_attr_by_name(name).set_write_value(value)
    except tango.DevFailed:
        pass


class EvaluatedState:
    """State and Status worked out afresh on every read: a device mixes this in before
    ``tango.server.Device`` and defines ``_evaluate()``, which sets both."""

    def dev_state(self):
        self._evaluate()
        return self.get_state()

    def dev_status(self):
        self._evaluate()
        return self.get_status()
