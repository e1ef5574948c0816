"""The Tango device of one drive channel."""

from __future__ import annotations

import math
import threading
import time

import tango
import vellumotor as vm
from tango import AttrQuality, AttrWriteType, DevState, Except
from tango.server import Device, attribute, command, device_property

from . import shared

_MAX_CHUNK = 65535  # steps of one drive line; longer moves are made of several

_ENCODER_DESCRIPTION = "Encoder count of the encoder module that serves this channel"
_STEPS_DESCRIPTION = (
    "Step count kept by the server (no encoder module serves this channel): commanded steps, and "
    "for a move that was stopped the steps its frequency makes in the time it ran"
)


class VellumotorAxis(Device):
    """One drive channel of a Vellumotor controller, with the usual motor attributes.

    State ON when idle, MOVING while the drive module steps, ALARM when a failsafe bit is set (its
    meaning in Status), FAULT when the controller cannot be reached. While a move started here
    runs, Position and State change events are pushed about every 100 ms and once more at the end.
    """

    Selector = device_property(dtype=str, default_value="", doc="The controller (as VellumotorController)")
    Module = device_property(dtype=int, default_value=1, doc="Slot of the drive module, 1 to 6")
    Channel = device_property(dtype=int, default_value=1, doc="Channel of the drive module, 1 to 3")

    def init_device(self):
        super().init_device()
        self._lock = threading.RLock()
        self._axis = None
        self._encoder = False
        self._offset = 0  # Position minus encoder count, set by DefinePosition
        self._steps = 0  # the server's step count of an axis without encoder
        self._position = 0.0  # last known Position
        self._follower = None  # thread following a move started here
        self._stop_requested = False
        self._note = ""  # what the last move ended with, shown in Status
        self.set_change_event("Position", True, False)
        self.set_change_event("State", True, False)
        self._evaluate()

    def delete_device(self):
        # A move started here does not outlive its device: stop it, give the follower a moment.
        thread = self._follower
        if thread is not None:
            self._stop_requested = True
            try:
                self._axis.stop()
            except vm.Error:
                pass
            thread.join(timeout=1)

    # The axis, its state and its position.

    def _connect(self) -> vm.Axis:
        if self._axis is None or self._axis.controller.closed:
            ctl = shared.controller(self.Selector)
            self._axis = ctl.axis(self.Module, self.Channel)
            self._encoder = self._axis.has_encoder
            attr = self.get_device_attr().get_attr_by_name("Position")
            properties = attr.get_properties()
            properties.description = _ENCODER_DESCRIPTION if self._encoder else _STEPS_DESCRIPTION
            attr.set_properties(properties)
        return self._axis

    def _moving_here(self) -> bool:
        return self._follower is not None

    def _evaluate(self):
        """Set State and Status from the controller (or from the move being followed)."""
        with self._lock:
            if self._moving_here():
                self.set_state(DevState.MOVING)
                self.set_status(f"Axis {self._axis.label} is moving")
                return
            try:
                axis = self._connect()
                status = axis.status
                bits = axis.failsafe
            except vm.LinkError as e:
                self.set_state(DevState.FAULT)
                self.set_status(f"The controller cannot be reached: {e}")
                return
            except (vm.ControllerError, ValueError) as e:
                self.set_state(DevState.FAULT)
                self.set_status(f"Module {self.Module} channel {self.Channel} is not available: {e}")
                return
            messages = vm.failsafe_messages(bits)
            if status == "_MOV":
                self.set_state(DevState.MOVING)
                self.set_status(f"Axis {axis.label} is moving")
            elif messages:
                self.set_state(DevState.ALARM)
                self.set_status(f"Failsafe state 0x{bits:X}: " + "\n".join(messages))
            else:
                self.set_state(DevState.ON)
                self.set_status(f"Axis {axis.label} is idle" + (f"; {self._note}" if self._note else ""))

    def dev_state(self):
        self._evaluate()
        return self.get_state()

    def dev_status(self):
        self._evaluate()
        return self.get_status()

    def _fail(self, error: Exception, origin: str):
        reason = "VM_LinkError" if isinstance(error, vm.LinkError) else "VM_ControllerError"
        if isinstance(error, ValueError):
            reason = "VM_BadValue"
        Except.throw_exception(reason, str(error), f"VellumotorAxis.{origin}")

    def _check_finite(self, value: float, origin: str):
        if not math.isfinite(value):
            Except.throw_exception("VM_BadValue", "the value must be a finite number", f"VellumotorAxis.{origin}")

    def _axis_or_fail(self, origin: str) -> vm.Axis:
        try:
            return self._connect()
        except (vm.Error, ValueError) as e:
            self._fail(e, origin)

    def _read_position(self) -> float:
        if self._moving_here() or not self._encoder:
            return float(self._position if self._encoder else self._steps)
        counter = self._axis.counter
        self._position = float(counter + self._offset)
        return self._position

    # Attributes.

    @attribute(
        dtype=float,
        access=AttrWriteType.READ_WRITE,
        unit="steps",
        format="%.0f",
        doc=_ENCODER_DESCRIPTION,
    )
    def Position(self):
        axis = self._axis_or_fail("Position")
        try:
            value = self._read_position()
        except vm.Error as e:
            self._fail(e, "Position")
        del axis
        quality = AttrQuality.ATTR_CHANGING if self._moving_here() else AttrQuality.ATTR_VALID
        return value, time.time(), quality

    @Position.write
    def Position(self, value):
        self._check_finite(value, "Position")
        axis = self._axis_or_fail("Position")
        try:
            current = self._read_position()
        except vm.Error as e:
            self._fail(e, "Position")
        steps = int(round(value - current))
        if steps:
            self._start(axis, abs(steps), "cw" if steps > 0 else "ccw")

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, unit="Hz", min_value=1, max_value=65535)
    def Frequency(self):
        return self._axis_or_fail("Frequency").settings.frequency

    @Frequency.write
    def Frequency(self, value):
        self._axis_or_fail("Frequency").settings.frequency = int(value)

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, unit="%", min_value=0, max_value=100)
    def StepSize(self):
        return self._axis_or_fail("StepSize").settings.step_size

    @StepSize.write
    def StepSize(self, value):
        self._axis_or_fail("StepSize").settings.step_size = int(value)

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, unit="K", min_value=0, max_value=65535)
    def Temperature(self):
        return self._axis_or_fail("Temperature").settings.temperature

    @Temperature.write
    def Temperature(self, value):
        self._axis_or_fail("Temperature").settings.temperature = int(value)

    @attribute(dtype=str, access=AttrWriteType.READ_WRITE, doc="Drive profile: NONE, PROFILE1, PROFILE2, PROFILE3")
    def Type(self):
        return self._axis_or_fail("Type").settings.type

    @Type.write
    def Type(self, value):
        axis = self._axis_or_fail("Type")
        if value not in axis.controller.profiles:
            Except.throw_exception(
                "VM_BadValue", f"type must be one of {', '.join(axis.controller.profiles)}", "VellumotorAxis.Type"
            )
        axis.settings.type = value

    @attribute(dtype=int, doc="Failsafe bits of the drive module (0: all good)")
    def FailsafeState(self):
        axis = self._axis_or_fail("FailsafeState")
        try:
            return axis.failsafe
        except vm.Error as e:
            self._fail(e, "FailsafeState")

    # Commands.

    @command(dtype_in=int, doc_in="steps; the sign gives the direction (positive: clockwise)")
    def MoveRelative(self, steps):
        """Move by a number of steps from where the axis stands."""
        axis = self._axis_or_fail("MoveRelative")
        if steps:
            self._start(axis, abs(steps), "cw" if steps > 0 else "ccw")

    @command(dtype_in=int, doc_in="direction: positive clockwise, negative counter-clockwise")
    def Jog(self, direction):
        """Step in one direction until Stop or Abort."""
        axis = self._axis_or_fail("Jog")
        if direction == 0:
            Except.throw_exception("VM_BadValue", "Jog needs a direction: positive or negative", "VellumotorAxis.Jog")
        self._start(axis, 0, "cw" if direction > 0 else "ccw")

    @command
    def Stop(self):
        """Stop the drive module (every channel of it)."""
        self._stop("Stop")

    @command
    def Abort(self):
        """Stop the drive module at once; the controller has one stop, so the same as Stop."""
        self._stop("Abort")

    @command(dtype_in=float, doc_in="the new Position; 0 resets the encoder counter")
    def DefinePosition(self, value):
        """Make the current position read as the value."""
        self._check_finite(value, "DefinePosition")
        axis = self._axis_or_fail("DefinePosition")
        with self._lock:
            if self._moving_here():
                Except.throw_exception("VM_Moving", "the axis is moving", "VellumotorAxis.DefinePosition")
            try:
                if not self._encoder:
                    self._steps = int(round(value))
                elif value == 0:
                    axis.zero_counter()
                    self._offset = 0
                else:
                    self._offset = int(round(value)) - axis.counter
            except vm.Error as e:
                self._fail(e, "DefinePosition")
        self._push(final=True)

    # Moves.

    def _stop(self, origin: str):
        axis = self._axis_or_fail(origin)
        self._stop_requested = True
        try:
            axis.stop()
        except vm.Error as e:
            self._fail(e, origin)

    def _start(self, axis: vm.Axis, steps: int, direction: str):
        """Start a move (steps 0: a jog) and the thread that follows it."""
        with self._lock:
            if self._moving_here():
                Except.throw_exception("VM_Moving", "the axis is moving", "VellumotorAxis.Move")
            self._stop_requested = False
            self._note = ""
            try:
                job = self._begin(axis, min(steps, _MAX_CHUNK) if steps else 0, direction)
            except (vm.Error, ValueError) as e:
                self._fail(e, "Move")
            self._follower = threading.Thread(
                target=self._follow, args=(axis, job, steps, direction), name=f"follow {axis.label}", daemon=True
            )
            self.set_state(DevState.MOVING)
            self._follower.start()

    def _begin(self, axis: vm.Axis, chunk: int, direction: str):
        start = axis.controller.now()
        job = axis.run(direction) if chunk == 0 else axis.move_steps(chunk, direction, wait=False)
        return job, start

    def _estimate(self, job: vm.Job, start: float, stopped: bool) -> int:
        """Steps a move made: all of them at a natural end, else its frequency times its time."""
        if job.steps and not stopped:
            return job.steps
        made = math.floor((job.axis.controller.now() - start) * job.settings.frequency)
        return min(made, job.steps) if job.steps else made

    def _follow(self, axis: vm.Axis, begun, steps: int, direction: str):
        sign = 1 if direction == "cw" else -1
        remaining = steps
        job, start = begun
        base = self._steps
        with tango.EnsureOmniThread():
            try:
                while True:

                    def progress(counter, job=job, start=start, base=base):
                        if self._encoder and counter is not None:
                            self._position = float(counter + self._offset)
                        elif not self._encoder:
                            self._steps = base + sign * self._estimate(job, start, stopped=True)
                        self._push()

                    final = job.wait(timeout=None if job.steps == 0 else -1.0, progress=progress)
                    if self._encoder and final is not None:
                        self._position = float(final + self._offset)
                    if not self._encoder:
                        base += sign * self._estimate(job, start, self._stop_requested)
                        self._steps = base
                    remaining -= job.steps
                    if job.steps == 0 or remaining <= 0 or self._stop_requested:
                        break
                    job, start = self._begin(axis, min(remaining, _MAX_CHUNK), direction)
                if self._stop_requested:
                    self._note = "the last move was stopped"
            except vm.Timeout as e:
                self._note = f"the last move timed out and was stopped ({e})"
            except vm.Error as e:
                self._note = f"the last move failed: {e}"
            finally:
                with self._lock:
                    self._follower = None
                self._push(final=True)

    def _push(self, final: bool = False):
        """Push Position and State change events (the values as the device knows them now)."""
        try:
            if final:
                self._evaluate()
                position = self._read_position() if self.get_state() != DevState.FAULT else self._position
                quality = AttrQuality.ATTR_VALID
                state = self.get_state()
            else:
                position = self._position if self._encoder else float(self._steps)
                quality = AttrQuality.ATTR_CHANGING
                state = DevState.MOVING
            self.push_change_event("Position", float(position), time.time(), quality)
            self.push_change_event("State", state)
        except (vm.Error, tango.DevFailed):
            pass
