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

# Corrective moves a Position write may make after its first move, as the package's move_to.
_MAX_CORRECTIONS = 4

_ENCODER_DESCRIPTION = (
    "Position in user units: Sign x DialPosition + Offset, DialPosition being the count of the encoder module "
    "that serves this channel divided by Step_per_unit. A write moves there and corrects from the encoder"
)
_STEPS_DESCRIPTION = (
    "Position in user units: Sign x DialPosition + Offset, DialPosition being the step count kept by the server "
    "(no encoder module serves this channel) divided by Step_per_unit: commanded steps, and for a move that was "
    "stopped the steps its frequency makes in the time it ran"
)
_LIMIT_SWITCHES_DESCRIPTION = (
    "Home, upper and lower limit switch. The controller has no limit or home switch input and no end-of-stroke "
    "detection (its failsafe bits are amplifier faults, shown as ALARM): always false"
)

# Position references the database did not take (per device name), kept for the life of the
# process so that at least Init finds them.
_kept = {}


class VellumotorAxis(shared.EvaluatedState, Device):
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
        doc="Encoder counts per step (0: not known). Writing Position or Velocity on an axis with encoder needs it",
    )
    PositionOffset = device_property(
        dtype=int, default_value=0, doc="Read once from an older installation: Position minus the encoder count"
    )
    StepCount = device_property(
        dtype=int, default_value=0, doc="Kept by the server: the step count of an axis without encoder"
    )
    MemorizedOffset = device_property(dtype=float, default_value=math.nan, doc="Kept by the server: Offset")
    MemorizedSign = device_property(dtype=int, default_value=1, doc="Kept by the server: Sign")
    MemorizedStepPerUnit = device_property(dtype=float, default_value=1.0, doc="Kept by the server: Step_per_unit")

    def init_device(self):
        super().init_device()
        self._lock = threading.RLock()
        self._axis = None
        self._encoder = False
        # The position reference is stored as device properties, so that Init and a restart find it
        # (without a database the server keeps them in a temporary file: Init only).
        kept = _kept.get(self.get_name())
        if kept is None:
            offset = self.MemorizedOffset
            if math.isnan(offset):
                offset = float(self.PositionOffset)  # an installation from before Offset: counts
            spu = self.MemorizedStepPerUnit if math.isfinite(self.MemorizedStepPerUnit) else 1.0
            kept = dict(offset=offset, sign=-1 if self.MemorizedSign < 0 else 1, spu=spu if spu > 0 else 1.0,
                        steps=self.StepCount)
        self._offset = kept["offset"]  # Offset, user units
        self._sign = kept["sign"]  # Sign, +1 or -1
        self._spu = kept["spu"]  # Step_per_unit: counts (with encoder) or steps per user unit
        self._steps = kept["steps"]  # the server's step count of an axis without encoder
        self._position = 0.0  # last known Position
        self._counter = 0.0  # last known encoder count
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
        """The Position attribute's min_value and max_value (None where not set), in user units."""
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
                "VM_OutOfLimits", f"the move would end at {target:g}, outside the Position limits {low} to {high}",
                f"VellumotorAxis.{origin}",
            )

    def _beyond_limit(self, direction: int) -> bool:
        """Whether Position has reached its limit for a move of the drive in ``direction`` (+1 clockwise)."""
        low, high = self._limits()
        position = self._user(self._raw_known())
        if direction * self._sign > 0:
            return high is not None and position >= high
        return low is not None and position <= low

    # Units: raw is the encoder count (with encoder) or the server's step count (without).

    def _raw_known(self) -> float:
        """The raw position as last known, without asking the controller."""
        return self._counter if self._encoder else float(self._steps)

    def _user(self, raw: float) -> float:
        return self._sign * raw / self._spu + self._offset

    def _counts_per_step(self) -> float:
        """Raw units per step: the CountsPerStep property with encoder (0: not known), else 1."""
        return self.CountsPerStep if self._encoder else 1.0

    def _steps_per_unit(self, origin: str) -> float:
        """Steps per user unit, or a VM_Unsupported error while the encoder's counts per step are not known."""
        cps = self._counts_per_step()
        if cps <= 0:
            Except.throw_exception(
                "VM_Unsupported",
                "the encoder's counts per step are not known: set the device property CountsPerStep "
                "(Step_per_unit counts encoder counts), or move with MoveRelative",
                f"VellumotorAxis.{origin}",
            )
        return self._spu / cps

    def _keep(self, **changes):
        """Take changed references and store them as device properties (in the process when that fails)."""
        name = self.get_name()
        names = dict(offset="MemorizedOffset", sign="MemorizedSign", spu="MemorizedStepPerUnit", steps="StepCount")
        with self._lock:
            for key, value in changes.items():
                setattr(self, "_" + key, value)
            references = dict(offset=self._offset, sign=self._sign, spu=self._spu, steps=self._steps)
            try:
                # All of them: after a failed store the database may hold older values of the others.
                tango.Util.instance().get_database().put_device_property(
                    name, {names[k]: v for k, v in references.items()}
                )
                _kept.pop(name, None)
            except Exception as e:
                self.warn_stream(f"position reference not stored in the database, kept until a restart: {e}")
                _kept[name] = references

    def _axis_or_fail(self, origin: str) -> vm.Axis:
        try:
            return self._connect()
        except (vm.Error, ValueError) as e:
            self._fail(e, origin)

    def _read_raw(self) -> float:
        if self._encoder and not self._moving_here():
            self._counter = float(self._axis.counter)
        return self._raw_known()

    def _read_position(self) -> float:
        self._position = self._user(self._read_raw())
        return self._position

    def _not_moving(self, origin: str):
        if self._moving_here():
            Except.throw_exception("VM_Moving", "the axis is moving", f"VellumotorAxis.{origin}")

    # Attributes.

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, format="%g", doc=_ENCODER_DESCRIPTION)
    def Position(self):
        self._axis_or_fail("Position")
        try:
            value = self._read_position()
        except vm.Error as e:
            self._fail(e, "Position")
        quality = AttrQuality.ATTR_CHANGING if self._moving_here() else AttrQuality.ATTR_VALID
        # The set field shows the target of the last write, else where the axis is.
        target = value if self._setpoint is None else self._setpoint
        shared.show_as_set(self, "Position", target)
        return value, time.time(), quality

    @Position.write
    def Position(self, value):
        self._check_position(value, "Position")
        axis = self._axis_or_fail("Position")
        steps_per_unit = self._steps_per_unit("Position")
        self._check_target(value, "Position")
        try:
            current = self._read_position()
        except vm.Error as e:
            self._fail(e, "Position")
        steps = int(round((value - current) * self._sign * steps_per_unit))
        self._setpoint = float(value)
        if steps:
            self._start(axis, abs(steps), "cw" if steps > 0 else "ccw", target=float(value))

    @attribute(dtype=float, format="%g", doc="Encoder count (with encoder) or step count (without) / Step_per_unit")
    def DialPosition(self):
        self._axis_or_fail("DialPosition")
        try:
            return self._read_raw() / self._spu
        except vm.Error as e:
            self._fail(e, "DialPosition")

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, format="%g",
               doc="Position minus Sign x DialPosition, user units; DefinePosition sets it. Kept over a restart")
    @shared.in_force
    def Offset(self):
        return self._offset

    @Offset.write
    def Offset(self, value):
        self._check_position(value, "Offset")
        self._not_moving("Offset")
        self._keep(offset=float(value))
        self._push(final=True)

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE,
               doc="+1 or -1: the direction of Position against the dial (-1: clockwise steps lower Position)")
    @shared.in_force
    def Sign(self):
        return self._sign

    @Sign.write
    def Sign(self, value):
        if value not in (1, -1):
            Except.throw_exception("VM_BadValue", "Sign is 1 or -1", "VellumotorAxis.Sign")
        self._not_moving("Sign")
        self._keep(sign=int(value))
        self._push(final=True)

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, format="%g",
               doc="Encoder counts (with encoder) or steps (without) per user unit. Kept over a restart")
    @shared.in_force
    def Step_per_unit(self):
        return self._spu

    @Step_per_unit.write
    def Step_per_unit(self, value):
        if not (math.isfinite(value) and value > 0):
            Except.throw_exception(
                "VM_BadValue", "Step_per_unit must be greater than 0", "VellumotorAxis.Step_per_unit"
            )
        self._not_moving("Step_per_unit")
        self._keep(spu=float(value))
        self._push(final=True)

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, format="%g",
               doc="User units per second: Frequency / steps per user unit (with encoder that needs CountsPerStep). "
                   "A write sets Frequency, rounded to whole steps per second, 1 to 65535")
    @shared.in_force
    def Velocity(self):
        velocity = self._velocity("Velocity")
        return (math.nan, time.time(), AttrQuality.ATTR_INVALID) if velocity is None else velocity

    def _velocity(self, origin: str):
        """User units per second at the drive's frequency (None while the counts per step are not known)."""
        axis = self._axis_or_fail(origin)
        cps = self._counts_per_step()
        return None if cps <= 0 else axis.settings.frequency * cps / self._spu

    @Velocity.write
    def Velocity(self, value):
        axis = self._axis_or_fail("Velocity")
        frequency = round(value * self._steps_per_unit("Velocity")) if math.isfinite(value) else 0
        if not 1 <= frequency <= 65535:
            Except.throw_exception(
                "VM_BadValue", f"{value:g} user units per second is {frequency} steps per second, not 1 to 65535",
                "VellumotorAxis.Velocity",
            )
        axis.settings.frequency = int(frequency)

    def _fixed(self, value, fixed, name, why):
        if not math.isclose(value, fixed, rel_tol=1e-9, abs_tol=1e-12):
            Except.throw_exception("VM_Unsupported", f"{name} is fixed at {fixed:g}: {why}", f"VellumotorAxis.{name}")

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="s", format="%g",
               doc="Time to reach Velocity: 0, fixed. The drive steps at its full frequency from the first step "
                   "(no ramp); writes other than 0 are refused")
    @shared.in_force
    def Acceleration(self):
        return 0.0

    @Acceleration.write
    def Acceleration(self, value):
        self._fixed(value, 0.0, "Acceleration", "the drive has no ramp")

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="s", format="%g",
               doc="Time to stop from Velocity: 0, fixed. The drive stops at once after its last step "
                   "(no ramp); writes other than 0 are refused")
    @shared.in_force
    def Deceleration(self):
        return 0.0

    @Deceleration.write
    def Deceleration(self, value):
        self._fixed(value, 0.0, "Deceleration", "the drive has no ramp")

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, format="%g",
               doc="Velocity at the start of a move: the same as Velocity, since the drive has no ramp. "
                   "Writes other than the current Velocity are refused (write Velocity instead)")
    @shared.in_force
    def Base_rate(self):
        velocity = self._velocity("Base_rate")
        return (math.nan, time.time(), AttrQuality.ATTR_INVALID) if velocity is None else velocity

    @Base_rate.write
    def Base_rate(self, value):
        velocity = self._velocity("Base_rate")
        if velocity is None:
            Except.throw_exception("VM_Unsupported", "Velocity is not known: set CountsPerStep",
                                   "VellumotorAxis.Base_rate")
        self._fixed(value, velocity, "Base_rate", "the drive starts at Velocity")

    @attribute(dtype=(bool,), max_dim_x=3, doc=_LIMIT_SWITCHES_DESCRIPTION)
    def Limit_switches(self):
        return [False, False, False]

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, unit="Hz", min_value=1, max_value=65535)
    @shared.in_force
    def Frequency(self):
        return self._axis_or_fail("Frequency").settings.frequency

    @Frequency.write
    def Frequency(self, value):
        self._axis_or_fail("Frequency").settings.frequency = int(value)

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, unit="%", min_value=0, max_value=100)
    @shared.in_force
    def StepSize(self):
        return self._axis_or_fail("StepSize").settings.step_size

    @StepSize.write
    def StepSize(self, value):
        self._axis_or_fail("StepSize").settings.step_size = int(value)

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, unit="K", min_value=0, max_value=65535)
    @shared.in_force
    def Temperature(self):
        return self._axis_or_fail("Temperature").settings.temperature

    @Temperature.write
    def Temperature(self, value):
        self._axis_or_fail("Temperature").settings.temperature = int(value)

    @attribute(dtype=str, access=AttrWriteType.READ_WRITE, doc="Drive profile: NONE, PROFILE1, PROFILE2, PROFILE3")
    @shared.in_force
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
        """Where a relative move should end in user units (with 1 count per step when the ratio is not
        known; the follower stops a move at a limit in any case)."""
        try:
            raw = self._read_raw()
        except vm.Error as e:
            self._fail(e, "MoveRelative")
        cps = self._counts_per_step()
        return self._user(raw + steps * (cps if cps > 0 else 1.0))

    @command(dtype_in=int, doc_in="direction: positive clockwise, negative counter-clockwise")
    def Jog(self, direction):
        """Step in one direction until Stop or Abort, or until Position reaches its limit."""
        axis = self._axis_or_fail("Jog")
        if direction == 0:
            Except.throw_exception("VM_BadValue", "Jog needs a direction: positive or negative", "VellumotorAxis.Jog")
        try:
            self._read_raw()
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

    @command(dtype_in=float, doc_in="the new Position, user units")
    def DefinePosition(self, value):
        """Make the current position read as the value: sets Offset, which a restart keeps."""
        self._check_position(value, "DefinePosition")
        self._axis_or_fail("DefinePosition")
        with self._lock:
            self._not_moving("DefinePosition")
            try:
                raw = self._read_raw()
            except vm.Error as e:
                self._fail(e, "DefinePosition")
            self._keep(offset=float(value) - self._sign * raw / self._spu)
        self._push(final=True)

    @command(dtype_out=int, doc_out="the failsafe bits read after the reset (0: all good)")
    def ResetFailsafe(self):
        """Reset the drive module's failsafe state."""
        axis = self._axis_or_fail("ResetFailsafe")
        try:
            bits = axis.reset_failsafe()
        except vm.Error as e:
            self._fail(e, "ResetFailsafe")
        self._push(final=True)
        return bits

    # Moves.

    def _stop(self, origin: str):
        axis = self._axis_or_fail(origin)
        with self._lock:  # the follower starts a further chunk under the lock, after looking at this
            self._stop_requested = True
        try:
            axis.stop()
        except vm.Error as e:
            self._fail(e, origin)

    def _start(self, axis: vm.Axis, steps: int, direction: str, target=None):
        """Start a move (steps 0: a jog) and the thread that follows it; with a target (user units)
        and an encoder, the follower corrects the position until it is within half a step."""
        with self._lock:
            self._not_moving("Move")
            self._stop_requested = False
            self._note = ""
            try:
                job = self._begin(axis, min(steps, _MAX_CHUNK) if steps else 0, direction)
            except (vm.Error, ValueError) as e:
                self._fail(e, "Move")
            self._follower = threading.Thread(
                target=self._follow, args=(axis, job, steps, direction, target), name=f"follow {axis.label}",
                daemon=True,
            )
            self.set_state(DevState.MOVING)
            self._follower.start()

    def _begin(self, axis: vm.Axis, chunk: int, direction: str) -> vm.Job:
        return axis.run(direction) if chunk == 0 else axis.move_steps(chunk, direction, wait=False)

    def _correction(self, target):
        """The steps (signed, clockwise positive) still missing to the target, or 0 when within tolerance."""
        if target is None or not self._encoder or self.CountsPerStep <= 0:
            return 0
        self._counter = float(self._axis.counter)
        steps_per_unit = self._spu / self.CountsPerStep
        error = target - self._user(self._counter)
        if abs(error) <= 0.5 / steps_per_unit:
            return 0
        return int(round(error * self._sign * steps_per_unit))

    def _follow(self, axis: vm.Axis, job: vm.Job, steps: int, direction: str, target):
        remaining = steps
        base = self._steps
        at_limit = []
        corrections = 0
        with tango.EnsureOmniThread():
            try:
                while True:
                    sign = 1 if direction == "cw" else -1

                    def progress(counter, job=job, base=base, sign=sign):
                        if self._encoder and counter is not None:
                            self._counter = float(counter)
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
                        self._counter = float(final)
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
                    if job.steps == 0 or self._stop_requested or ended_early or at_limit:
                        break
                    if remaining <= 0:
                        # A Position write on an encoder axis: correct what the steps missed.
                        missing = self._correction(target) if corrections < _MAX_CORRECTIONS else 0
                        if not missing:
                            break
                        corrections += 1
                        remaining, direction = abs(missing), "cw" if missing > 0 else "ccw"
                    with self._lock:
                        if self._stop_requested:  # a Stop after this sees the new chunk and stops it
                            break
                        job = self._begin(axis, min(remaining, _MAX_CHUNK), direction)
                if at_limit:
                    self._note = "the last move was stopped at the Position limit"
                elif self._stop_requested or ended_early:
                    self._note = "the last move was stopped"
                elif target is not None and self._correction(target):
                    self._note = f"the last move ended {target - self._user(self._counter):g} from its target"
            except vm.Timeout as e:
                self._note = f"the last move timed out and was stopped ({e})"
            except vm.Error as e:
                self._note = f"the last move failed: {e}"
            finally:
                if not self._encoder:
                    self._keep(steps=self._steps)
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
                position = self._user(self._raw_known())
                quality = AttrQuality.ATTR_CHANGING
                state = DevState.MOVING
            self.push_change_event("Position", float(position), time.time(), quality)
            if state != self._pushed_state:
                self._pushed_state = state
                self.push_change_event("State", state)
        except (vm.Error, tango.DevFailed):
            pass
