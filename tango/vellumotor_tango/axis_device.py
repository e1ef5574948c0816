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
# Largest Position value and relative move the device accepts, in steps (or counts): far beyond
# any real travel, and exact in a double.
_MAX_POSITION = 2**31 - 1

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
    CountsPerStep = device_property(
        dtype=float,
        default_value=0.0,
        doc="Encoder counts per step (0: not known). Writing Position on an axis with encoder needs it",
    )
    PositionOffset = device_property(
        dtype=int, default_value=0, doc="Kept by the server: Position minus the encoder count (DefinePosition)"
    )
    StepCount = device_property(
        dtype=int, default_value=0, doc="Kept by the server: the step count of an axis without encoder"
    )

    def init_device(self):
        super().init_device()
        self._lock = threading.RLock()
        self._axis = None
        self._encoder = False
        # Both survive Init and a restart of the server: they are stored as device properties.
        self._offset = self.PositionOffset  # Position minus encoder count, set by DefinePosition
        self._steps = self.StepCount  # the server's step count of an axis without encoder
        self._position = 0.0  # last known Position
        self._setpoint = None  # the last Position written or aimed at
        self._pushed_state = None  # the State of the last State change event
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
            if self.CountsPerStep > 0:
                self._axis.counts_per_step = self.CountsPerStep
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

    def _check_position(self, value: float, origin: str):
        if not (math.isfinite(value) and abs(value) <= _MAX_POSITION):
            Except.throw_exception(
                "VM_BadValue", f"the value must be a number from {-_MAX_POSITION} to {_MAX_POSITION}",
                f"VellumotorAxis.{origin}"
            )

    def _limits(self):
        """The Position attribute's min_value and max_value (None where not set)."""
        properties = self.get_device_attr().get_attr_by_name("Position").get_properties()

        def number(text):
            try:
                return float(text)
            except ValueError:
                return None

        return number(properties.min_value), number(properties.max_value)

    def _check_target(self, target: float, origin: str):
        low, high = self._limits()
        if (low is not None and target < low) or (high is not None and target > high):
            Except.throw_exception(
                "VM_OutOfLimits", f"the move would end at {target:.0f}, outside the Position limits {low} to {high}",
                f"VellumotorAxis.{origin}",
            )

    def _beyond_limit(self, sign: int) -> bool:
        """Whether Position has reached the limit in the direction of the move."""
        low, high = self._limits()
        position = self._position if self._encoder else float(self._steps)
        if sign > 0:
            return high is not None and position >= high
        return low is not None and position <= low

    def _store(self, **values):
        """Keep position references as device properties, so Init and a restart find them."""
        try:
            tango.Util.instance().get_database().put_device_property(self.get_name(), values)
        except Exception as e:  # no database: they last as long as the device
            self.debug_stream(f"position reference not stored: {e}")

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
        if self._setpoint is not None:
            self.get_device_attr().get_w_attr_by_name("Position").set_write_value(self._setpoint)
        return value, time.time(), quality

    @Position.write
    def Position(self, value):
        self._check_position(value, "Position")
        axis = self._axis_or_fail("Position")
        if self._encoder and self.CountsPerStep <= 0:
            # The encoder counts in its own units; without the ratio a difference of counts is no
            # number of steps, and moving by it would overshoot (or reverse) by that ratio.
            Except.throw_exception(
                "VM_Unsupported",
                "the encoder's counts per step are not known: set the device property CountsPerStep, "
                "or move with MoveRelative",
                "VellumotorAxis.Position",
            )
        try:
            current = self._read_position()
        except vm.Error as e:
            self._fail(e, "Position")
        steps = int(round((value - current) / (self.CountsPerStep if self._encoder else 1.0)))
        self._setpoint = float(value)
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
        if abs(steps) > _MAX_POSITION:
            Except.throw_exception(
                "VM_BadValue", f"a relative move is at most {_MAX_POSITION} steps", "VellumotorAxis.MoveRelative"
            )
        axis = self._axis_or_fail("MoveRelative")
        if steps:
            target = self._predicted(steps)
            self._check_target(target, "MoveRelative")
            self._setpoint = target
            self._start(axis, abs(steps), "cw" if steps > 0 else "ccw")

    def _predicted(self, steps: int) -> float:
        """Where a relative move should end (with 1 count per step when the ratio is not known;
        the follower stops a move at a limit in any case)."""
        try:
            current = self._read_position()
        except vm.Error as e:
            self._fail(e, "MoveRelative")
        return current + steps * (self.CountsPerStep if self._encoder and self.CountsPerStep > 0 else 1.0)

    @command(dtype_in=int, doc_in="direction: positive clockwise, negative counter-clockwise")
    def Jog(self, direction):
        """Step in one direction until Stop or Abort."""
        axis = self._axis_or_fail("Jog")
        if direction == 0:
            Except.throw_exception("VM_BadValue", "Jog needs a direction: positive or negative", "VellumotorAxis.Jog")
        try:
            self._read_position()
        except vm.Error as e:
            self._fail(e, "Jog")
        if self._beyond_limit(1 if direction > 0 else -1):
            Except.throw_exception("VM_OutOfLimits", "Position is at its limit in that direction", "VellumotorAxis.Jog")
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
        self._check_position(value, "DefinePosition")
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
            self._store(PositionOffset=self._offset, StepCount=self._steps)
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

    def _begin(self, axis: vm.Axis, chunk: int, direction: str) -> vm.Job:
        return axis.run(direction) if chunk == 0 else axis.move_steps(chunk, direction, wait=False)

    def _follow(self, axis: vm.Axis, job: vm.Job, steps: int, direction: str):
        sign = 1 if direction == "cw" else -1
        remaining = steps
        base = self._steps
        at_limit = []
        with tango.EnsureOmniThread():
            try:
                while True:

                    def progress(counter, job=job, base=base):
                        if self._encoder and counter is not None:
                            self._position = float(counter + self._offset)
                        elif not self._encoder:
                            self._steps = base + sign * job.steps_made
                        self._push()
                        if self._beyond_limit(sign):
                            at_limit.append(job.cancel())

                    # The end of a chunk is judged here: stopped by Stop, by another device of the
                    # same module or by another client, the steps made count from the time it ran.
                    final = job.wait(timeout=None if job.steps == 0 else vm.axis.DEFAULT, progress=progress,
                                     allow_early_end=True)
                    if self._encoder and final is not None:
                        self._position = float(final + self._offset)
                    if not self._encoder:
                        base += sign * job.steps_made
                        self._steps = base
                    remaining -= job.steps
                    if self._encoder and self.CountsPerStep > 0:
                        ended_early = job.completed is False
                    else:
                        # Without a known ratio the counts cannot be compared with the steps: the
                        # time the chunk ran tells instead.
                        ended_early = bool(job.steps and job.steps_made < job.steps)
                    if job.steps == 0 or remaining <= 0 or self._stop_requested or ended_early:
                        break
                    job = self._begin(axis, min(remaining, _MAX_CHUNK), direction)
                if at_limit:
                    self._note = "the last move was stopped at the Position limit"
                elif self._stop_requested or ended_early:
                    self._note = "the last move was stopped"
            except vm.Timeout as e:
                self._note = f"the last move timed out and was stopped ({e})"
            except vm.Error as e:
                self._note = f"the last move failed: {e}"
            finally:
                if not self._encoder:
                    self._store(StepCount=self._steps)
                with self._lock:
                    self._follower = None
                self._push(final=True)

    def _push(self, final: bool = False):
        """Push Position and State change events (the values as the device knows them now)."""
        try:
            if final:
                self._evaluate()
                state = self.get_state()
                if state == DevState.FAULT:
                    # The value is the last one known, not a reading.
                    position, quality = self._position, AttrQuality.ATTR_INVALID
                else:
                    position, quality = self._read_position(), AttrQuality.ATTR_VALID
            else:
                position = self._position if self._encoder else float(self._steps)
                quality = AttrQuality.ATTR_CHANGING
                state = DevState.MOVING
            self.push_change_event("Position", float(position), time.time(), quality)
            if state != self._pushed_state:
                self._pushed_state = state
                self.push_change_event("State", state)
        except (vm.Error, tango.DevFailed):
            pass
