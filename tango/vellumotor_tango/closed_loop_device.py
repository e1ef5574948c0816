"""The Tango device of a controller's closed loop."""

from __future__ import annotations

import math
import threading

import vellumotor as vm
from tango import AttrWriteType, DevState, Except
from tango.server import Device, attribute, command, device_property

from . import shared

_AXES = 3
# While the loop settles after a command of this device, a thread reads the loop state at this
# interval (on the controller's clock) and sends a State change event whenever it changes.
_FOLLOW_S = 0.1


def _flagged(state: vm.ClosedLoopState) -> str:
    parts = []
    for what, flags in (
        ("timed out", state.timed_out),
        ("set-point refused", state.invalid_set_point),
        ("position error", state.position_error),
    ):
        parts += [f"axis {a} {what}" for a in range(_AXES) if flags[a]]
    return ", ".join(parts)


class VellumotorClosedLoop(shared.EvaluatedState, Device):
    """The closed loop of one controller: up to three stages held at set-points on their sensors.

    The loop's axes are 0, 1 and 2; set-points are numbers from -1 to 1 that the controller maps
    to the stage of each axis (see Enable). State, from the loop state: OFF when the loop is not
    enabled, MOVING while an axis settles or searches its end stop, ON when every axis holds its
    set-point, FAULT when an axis of the enabled loop timed out or had its set-point refused, ALARM
    when an axis holds with a position error; FAULT also when the controller cannot be reached. Status names the axes.
    """

    Selector = device_property(dtype=str, default_value="", doc="The controller (as VellumotorController)")
    Clear = device_property(dtype=float, default_value=0.5, doc="Clear value of Enable, 0 to 1")
    Temperature = device_property(
        dtype=int, default_value=300, doc="Temperature of the stages in K (0 to 300), for their rise time"
    )
    Torque = device_property(dtype=int, default_value=1, doc="Torque factor of Enable, 1 to 30")
    Tolerance = device_property(
        dtype=float,
        default_value=0.0,
        doc="Set-point tolerance of Enable (0 to 1, set-point units); 0 takes each stage type's own",
    )

    def init_device(self):
        super().init_device()
        self._lock = threading.RLock()
        self._set_points = [math.nan] * _AXES  # what SetPoints last commanded
        self._follower = None  # thread following the loop until it settles
        self._again = False  # a command came while the follower ran: evaluate once more
        self._closing = threading.Event()
        self.set_change_event("State", True, False)
        self.set_state(DevState.INIT)
        self._evaluate()

    def delete_device(self):
        self._closing.set()
        thread = self._follower
        if thread is not None:
            thread.join(timeout=1)

    def _loop(self) -> vm.ClosedLoop:
        return shared.controller(self.Selector).closed_loop

    def _evaluate(self):
        with self._lock:
            try:
                state = self._loop().state()
            except vm.LinkError as e:
                self.set_state(DevState.FAULT)
                self.set_status(f"The controller cannot be reached: {e}")
                return
            except vm.ControllerError as e:
                self.set_state(DevState.FAULT)
                self.set_status(f"The controller does not report the loop state: {e}")
                return
            flagged = _flagged(state)
            if not state.enabled:
                # Flags the controller keeps after the loop was left are history, not a fault.
                self.set_state(DevState.OFF)
                self.set_status("The closed loop is not enabled" + (f" (last: {flagged})" if flagged else ""))
            elif state.faults:
                self.set_state(DevState.FAULT)
                self.set_status(f"Closed loop fault: {flagged}")
            elif not state.finished:
                self.set_state(DevState.MOVING)
                self.set_status("The closed loop is settling" + (f"; {flagged}" if flagged else ""))
            elif any(state.position_error):
                self.set_state(DevState.ALARM)
                self.set_status(f"The closed loop holds with {flagged}")
            else:
                self.set_state(DevState.ON)
                self.set_status("The closed loop holds its set-points")

    def _follow(self):
        """Send State change events until the loop no longer settles (or the device goes)."""
        previous = None
        while not self._closing.is_set():
            self._evaluate()
            state = self.get_state()
            if state != previous:
                self.push_change_event("State", state)
                previous = state
            if state != DevState.MOVING:
                with self._lock:
                    if not self._again:  # no command since this evaluation
                        self._follower = None
                        return
                    self._again = False
                continue
            try:
                shared.controller(self.Selector).sleep(_FOLLOW_S)
            except vm.Error:
                break
        with self._lock:
            self._follower = None

    def _started(self):
        """Follow the loop after a command that may have set it moving or stopped it."""
        with self._lock:
            if self._follower is None:
                self._again = False
                self._follower = threading.Thread(target=self._follow, name="closed loop", daemon=True)
                self._follower.start()
            else:
                self._again = True

    def _call(self, origin: str, action):
        with self._lock:
            try:
                result = action(self._loop())
                self._started()
                return result
            except vm.Error as e:
                reason = "VM_LinkError" if isinstance(e, vm.LinkError) else "VM_ControllerError"
                Except.throw_exception(reason, str(e), f"VellumotorClosedLoop.{origin}")
            except (ValueError, TypeError) as e:
                Except.throw_exception("VM_BadValue", str(e), f"VellumotorClosedLoop.{origin}")

    @command(
        dtype_in=[str],
        doc_in="stage type of each axis 0 to 2 (three stage words), or one for all three",
        doc_out="none",
    )
    def Enable(self, stages):
        """Enable the loop on the three axes; each holds where its stage is.

        Clear, Temperature, Torque and Tolerance come from the device properties.
        """
        stages = [s.strip() for s in stages]
        if len(stages) not in (1, _AXES):
            Except.throw_exception(
                "VM_BadValue", "Enable takes one or three stage words", "VellumotorClosedLoop.Enable"
            )
        tolerance = self.Tolerance if self.Tolerance > 0 else None
        self._call(
            "Enable",
            lambda loop: loop.enable(
                stages[0] if len(stages) == 1 else stages,
                clear=self.Clear,
                temperature=self.Temperature,
                tolerance=tolerance,
                torque=self.Torque,
            ),
        )
        self._set_points = [math.nan] * _AXES

    @attribute(
        dtype=(float,),
        max_dim_x=_AXES,
        access=AttrWriteType.READ_WRITE,
        format="%.9f",
        doc="Set-points of axes 0, 1 and 2, each -1 to 1 (absolute); reads what was last written here, "
        "NaN for an axis not commanded since Enable",
    )
    def SetPoints(self):
        return self._set_points

    @SetPoints.write
    def SetPoints(self, values):
        values = [float(v) for v in values]
        if len(values) != _AXES:
            Except.throw_exception("VM_BadValue", "SetPoints takes three values", "VellumotorClosedLoop.SetPoints")
        self._call("SetPoints", lambda loop: loop.set_points(*values))
        self._set_points = values

    @command(
        dtype_in=[int],
        doc_in="direction (1 up, 0 down), optionally filter (1 to 20, default 1) and zero (1: the end "
        "stops then read 0, default 0)",
        doc_out="none",
    )
    def EndStopSearch(self, values):
        """Drive every enabled axis to its end stop; State is MOVING until they hold there."""
        values = list(values)
        if not 1 <= len(values) <= 3:
            Except.throw_exception(
                "VM_BadValue", "EndStopSearch takes one to three numbers", "VellumotorClosedLoop.EndStopSearch"
            )
        direction, filter, zero = ([int(v) for v in values] + [1, 0][len(values) - 1 :])[:3]
        self._call("EndStopSearch", lambda loop: loop.end_stop_search(direction, filter=filter, zero=zero))
        self._set_points = [math.nan] * _AXES

    @command(doc_in="none", doc_out="none")
    def Stop(self):
        """Stop every axis where it is and disable the loop."""
        self._call("Stop", lambda loop: loop.stop())

    @command(doc_in="none", doc_out="none")
    def Exit(self):
        """Leave closed-loop operation: every axis is disabled."""
        self._call("Exit", lambda loop: loop.exit())
