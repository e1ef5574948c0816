"""The Tango device of one controller."""

from __future__ import annotations

import threading

import vellumotor as vm
from tango import DevState, DispLevel, Except
from tango.server import Device, attribute, command, device_property

from . import shared


class VellumotorController(Device):
    """One Vellumotor controller: its rack, and raw command lines for experts.

    State ON while the controller answers, FAULT when it cannot be reached (the reason in
    Status); it returns to ON as soon as it answers again.
    """

    Selector = device_property(
        dtype=str,
        default_value="",
        doc="The controller: an IPv4 address (ADDRESS:PORT for another command port), a USB serial, "
        "SERV:NAME or CMON:NAME, sim[:RACK[:SPEED]], or empty for the first USB controller",
    )

    def init_device(self):
        super().init_device()
        self._lock = threading.RLock()
        self._ctl = None
        self._modules = []
        self.set_state(DevState.INIT)
        self._refresh(scan=True)

    def _controller(self) -> vm.Controller:
        if self._ctl is None or self._ctl.closed:
            self._ctl = shared.controller(self.Selector)
        return self._ctl

    def _refresh(self, scan: bool = False) -> None:
        """Ask the controller (a scan, or one short query) and set State and Status from it."""
        with self._lock:
            try:
                ctl = self._controller()
                if scan or not self._modules:
                    self._modules = ctl.modules()
                else:
                    ctl.ping()
            except vm.Error as e:
                self.set_state(DevState.FAULT)
                self.set_status(f"The controller cannot be reached: {e}")
                return
            self.set_state(DevState.ON)
            self.set_status(f"Controller {ctl.description} answers")

    def dev_state(self):
        self._refresh()
        return self.get_state()

    def dev_status(self):
        self._refresh()
        return self.get_status()

    @attribute(dtype=str, doc="The rack as text: one line per slot, drive modules with their axes")
    def Modules(self):
        return "\n".join(str(m) for m in self._modules)

    @command(doc_in="none", doc_out="none")
    def Rescan(self):
        """Scan the rack again (Modules shows the result)."""
        self._refresh(scan=True)
        if self.get_state() == DevState.FAULT:
            Except.throw_exception("VM_LinkError", self.get_status(), "VellumotorController.Rescan")

    @command(
        dtype_in=str,
        dtype_out=str,
        display_level=DispLevel.EXPERT,
        doc_in="one command line, without carriage return",
        doc_out="the controller's reply",
    )
    def Exchange(self, line):
        """Send one raw command line and return the reply text."""
        try:
            return self._controller().exchange(line)
        except vm.LinkError as e:
            Except.throw_exception("VM_LinkError", str(e), "VellumotorController.Exchange")
        except ValueError as e:
            Except.throw_exception("VM_BadLine", str(e), "VellumotorController.Exchange")
