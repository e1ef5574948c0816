"""One drive channel of the controller: moves, stop, encoder counter."""

from __future__ import annotations

import dataclasses
import math
import numbers
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, List, Optional, Union

from . import _core
from ._log import call
from .errors import ControllerError, Error, Timeout

if TYPE_CHECKING:
    from .controller import Controller
    from .units import AxisConfig

__all__ = ["Axis", "Job", "DriveSettings", "CW", "CCW", "DEFAULT", "Direction", "failsafe_messages"]

CW = "cw"
CCW = "ccw"
Direction = Union[str, int]

# A step move's default timeout: twice the time its steps take at its frequency, plus this.
_TIMEOUT_MARGIN_S = 2.0


def failsafe_messages(bits: int) -> List[str]:
    """What failsafe bits mean: one text per set bit, the driver check's lines of that bit joined.

    ``failsafe_messages(0x04)`` is ``["WARNING: thermal overload on amplifier stage; capacative
    load too large, let unit cool down"]``; 0 (all good) and 255 (not read) give an empty list.
    """
    messages: List[str] = []
    for line in _core.failsafe_lines(bits):
        text = line.strip()
        if text.startswith(">"):
            messages.append(text[1:].strip())
        elif messages:
            messages[-1] += (" " if messages[-1].endswith(":") else "; ") + text
    return messages


def _direction(value: Direction) -> int:
    """1 for clockwise ("cw", 1), 0 for counter-clockwise ("ccw", 0)."""
    if isinstance(value, str):
        lowered = value.lower()
        if lowered in ("cw", "ccw"):
            return 1 if lowered == "cw" else 0
    elif value in (0, 1) and not isinstance(value, bool):
        return int(value)
    raise ValueError(f"direction must be 'cw' or 'ccw' (or 1 or 0), not {value!r}")


@dataclass
class DriveSettings:
    """How an axis drives its actuator.

    ``type`` is a drive profile (``NONE``, ``PROFILE1``, ``PROFILE2``, ``PROFILE3``),
    ``temperature`` the actuator temperature in K, ``frequency`` the step frequency in Hz,
    ``step_size`` the relative step size in %. An axis starts with what the controller's user
    memory holds for its channel.
    """

    type: str
    temperature: int
    frequency: int
    step_size: int


class _Default:
    def __repr__(self) -> str:
        return "DEFAULT"


#: The ``timeout`` of :meth:`Job.wait` and :meth:`Axis.move_steps` that means "twice the move's own
#: time plus 2 s".
DEFAULT = _Default()


def _seconds(name: str, value, allow_none: bool = False) -> Optional[float]:
    """A duration in seconds: a finite number, 0 or more (None when allowed); ValueError otherwise."""
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not value >= 0 or not math.isfinite(value):
        extra = " or None" if allow_none else ""
        raise ValueError(f"{name} must be a finite number of seconds, 0 or more{extra}, not {value!r}")
    return float(value)


class Job:
    """A move in progress: wait for its end, ask whether it ended, or cancel it.

    Returned by :meth:`Axis.move_steps` with ``wait=False`` and by :meth:`Axis.run`. While it
    runs, the controller refuses another move on the same drive module (all its channels).
    """

    def __init__(self, axis: "Axis", steps: int, settings: DriveSettings) -> None:
        self.axis = axis
        self.steps = steps
        self.settings = settings
        #: The encoder count last read (None without an encoder module or before the first read).
        self.counter: Optional[int] = None
        #: The encoder count just before the move started (None without an encoder module).
        self.start_counter: Optional[int] = None
        #: Controller time (s) just before the move line was sent, and when its end was seen.
        self.started_at: Optional[float] = None
        self.ended_at: Optional[float] = None
        #: The status word the move ended with ("_STP" when the module stopped).
        self.status: Optional[str] = None
        #: Whether the move made all its steps: True or False once known, None while it runs,
        #: for a run (``steps`` 0), and for a step move on an axis without encoder.
        self.completed: Optional[bool] = None
        #: True when this controller stopped the move (cancel(), Axis.stop() from any thread).
        self.cancelled = False
        self._finished = False
        self._sent = False  # the move line has been answered: only then can the move's end be seen
        self._error: Optional[Error] = None
        self._lock = threading.RLock()

    @property
    def finished(self) -> bool:
        """True once the job saw the move end (or stopped it)."""
        return self._finished

    @property
    def steps_made(self) -> int:
        """Steps the move made, estimated from its frequency and the time it ran (up to its end
        as the status poll saw it, or until now while it runs); never more than ``steps``."""
        if self.started_at is None:
            return 0
        end = self.ended_at if self.ended_at is not None else self.axis.controller.now()
        made = max(0, math.floor((end - self.started_at) * self.settings.frequency))
        return min(made, self.steps) if self.steps else made

    def default_timeout(self) -> Optional[float]:
        """Seconds a step move may take: twice its steps at its frequency plus 2 s; None for a run."""
        if self.steps == 0:
            return None
        return 2.0 * self.steps / max(self.settings.frequency, 1) + _TIMEOUT_MARGIN_S

    def done(self) -> bool:
        """Whether the move has ended; asks the module once unless already known.

        An end that :meth:`wait` would report as an error (a status other than "_STP", an early
        end) is raised by a later :meth:`wait`.
        """
        with self._lock:
            if not self._finished:
                status = self.axis.status
                if status != "_MOV":
                    self._finish(status)
            return self._finished

    def wait(
        self,
        timeout: Union[float, None, _Default] = DEFAULT,
        progress: Optional[Callable[[Optional[int]], None]] = None,
        *,
        allow_early_end: bool = False,
    ) -> Optional[int]:
        """Block until the move ends and return the final encoder count (None without encoder).

        ``timeout`` in seconds of the controller's clock (0 or more); the default is
        :meth:`default_timeout`, ``None`` waits without limit. When it passes, the module is
        stopped and :class:`Timeout` is raised. A ``KeyboardInterrupt`` (or any other exception,
        also one raised by ``progress``) during the wait stops the module too before it
        propagates.

        A move that does not end in "_STP" by itself (the module reports "_MDC", "_EXT", ...) is
        stopped and raises :class:`ControllerError` with that status as ``reply``. On an axis
        with an encoder, a move that ended with fewer counts than its steps (someone else
        stopped the module) raises :class:`ControllerError` unless ``allow_early_end`` is true;
        :attr:`completed` says which it was either way.

        ``progress``, when given, is called after every status poll (every 100 ms) while the
        module still moves, with the encoder count (None without an encoder module).
        """
        if timeout is DEFAULT:
            timeout = self.default_timeout()
        else:
            timeout = _seconds("timeout", timeout, allow_none=True)
        if not self._finished:
            self._poll_until_end(timeout, progress)
        if self._error is not None and not (allow_early_end and self.status == "_STP"):
            raise self._error
        return self.counter

    def _poll_until_end(self, timeout: Optional[float], progress) -> None:
        ctl = self.axis.controller
        dev = ctl._device()
        deadline = None if timeout is None else dev.now_ms() + timeout * 1000.0
        module, channel = self.axis.module, self.axis.channel
        try:
            while True:
                status, count = call(dev.poll, module, channel)
                if count is not None:
                    self.counter = count
                if status != "_MOV":
                    break
                if progress is not None:
                    progress(count)
                if deadline is not None and dev.now_ms() >= deadline:
                    self.counter = self.cancel()
                    raise Timeout(
                        f"the move of {self.axis.label} did not end within {timeout:g} s; the module was stopped",
                        self.counter,
                    )
        except Timeout:
            raise
        except BaseException:
            # Interrupted or failed while the actuator may still move: stop it, keep the first error.
            try:
                self.cancel()
            except Error:
                pass
            raise
        with self._lock:
            if not self._finished:
                self._finish(status)

    def cancel(self) -> Optional[int]:
        """Stop the module and return the encoder count (None without an encoder module)."""
        try:
            self.counter = self.axis.stop()
        finally:
            with self._lock:
                if not self._finished:
                    self.cancelled = True
                    self._end("_STP", completed=False)
        return self.counter

    def _finish(self, status: str) -> None:
        """The module stopped moving by itself (or reports another mode): judge how the move ended."""
        label = self.axis.label
        if status != "_STP":
            # Neither moving nor idle (a DC level, external input): stop it as the desktop does.
            try:
                self.counter = self.axis.stop()
            finally:
                self._end(status, completed=False)
            self._error = ControllerError(
                f"the move of {label} ended with status {status!r} instead of stopping by itself; "
                "the module was stopped",
                f"STS {self.axis.module}",
                status,
            )
            return
        if self.axis.has_encoder:
            self.counter = self.axis.counter
        self._end(status, completed=self._judge())
        if self.completed is False:
            moved = abs(self.counter - self.start_counter)
            self._error = ControllerError(
                f"the move of {label} ended early: the encoder counted {moved} of the "
                f"{self._expected_counts():g} counts of {self.steps} steps (the module was stopped "
                "by someone else?)",
                f"STS {self.axis.module}",
                status,
            )

    def _expected_counts(self) -> float:
        return self.steps * self.axis.counts_per_step

    def _judge(self) -> Optional[bool]:
        """Whether a step move that stopped by itself made its steps, by the encoder count.

        Real steps vary in size, so a move counts as complete within 2 % of its counts and one step.
        """
        if not self.steps or self.counter is None or self.start_counter is None:
            return None
        moved = abs(self.counter - self.start_counter)
        expected = self._expected_counts()
        return moved >= expected - (0.02 * expected + self.axis.counts_per_step)

    def _end(self, status: str, completed: Optional[bool]) -> None:
        self.status = status
        self.completed = completed
        try:
            self.ended_at = self.axis.controller.now()
        finally:
            self._finished = True
            self.axis.controller._release(self.axis.module, self)

    def __repr__(self) -> str:
        kind = f"{self.steps} steps" if self.steps else "run"
        state = "finished" if self._finished else "running"
        return f"<Job {self.axis.label} {kind} {state}>"


class Axis:
    """One drive channel, named by its label ("1A") or by module (1 to 6) and channel (1 to 3).

    Get it from :meth:`Controller.axis`. ``settings`` starts with the channel's record in the
    controller's user memory; change it, or pass single values to a move.
    """

    def __init__(self, controller: "Controller", module: int, channel: int, settings: DriveSettings) -> None:
        self.controller = controller
        self.module = module
        self.channel = channel
        self.settings = settings
        #: Encoder counts per step, to tell a move that made its steps from one that ended early.
        self.counts_per_step = 1.0

    @property
    def label(self) -> str:
        """The channel label: the module digit and the channel letter, as "2B"."""
        return f"{self.module}{'ABC'[self.channel - 1]}"

    @property
    def has_encoder(self) -> bool:
        """True when an encoder module serves this axis's drive module."""
        return self.controller._device().has_encoder(self.module)

    def _settings(self, type, temperature, frequency, step_size) -> DriveSettings:
        given = dict(type=type, temperature=temperature, frequency=frequency, step_size=step_size)
        settings = dataclasses.replace(self.settings, **{k: v for k, v in given.items() if v is not None})
        for name in ("temperature", "frequency", "step_size"):
            value = getattr(settings, name)
            if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                raise ValueError(f"{name} must be a whole number, not {value!r}")
        if not isinstance(settings.type, str):
            raise ValueError(f"type must be a profile name, not {settings.type!r}")
        return settings

    def _start(self, steps: int, direction: Direction, settings: DriveSettings, preempt: bool) -> Job:
        """Send the move, refusing a module that is busy; a move that may have started and then
        failed is stopped before the error propagates."""
        s = settings
        d = _direction(direction)
        ctl = self.controller
        dev = ctl._device()
        job = Job(self, steps, s)
        ctl._claim(self.module, job)
        try:
            status = self.status
            if status == "_MOV":
                if not preempt:
                    raise ControllerError(
                        f"module {self.module} is already moving (a move this controller did not start); "
                        "pass preempt=True to stop it first",
                        f"STS {self.module}",
                        status,
                    )
                call(dev.stop, self.module, self.channel)  # not self.stop(): that would end the new job
            job.start_counter = self.counter
            job.started_at = ctl.now()
            try:
                call(dev.start_move, self.module, self.channel, s.type, s.temperature, d, s.frequency, s.step_size,
                     steps)
                job._sent = True
            except ValueError:
                raise  # refused before any line was sent
            except BaseException:
                # A lost or refused reply does not mean the move did not start.
                try:
                    call(dev.stop, self.module, self.channel)
                except Error:
                    pass
                raise
        except BaseException:
            ctl._release(self.module, job)
            raise
        return job

    def move_steps(
        self,
        steps: int,
        direction: Direction,
        *,
        type: Optional[str] = None,
        temperature: Optional[int] = None,
        frequency: Optional[int] = None,
        step_size: Optional[int] = None,
        wait: bool = True,
        timeout: Union[float, None, _Default] = DEFAULT,
        allow_early_end: bool = False,
        preempt: bool = False,
    ) -> Union[Optional[int], Job]:
        """Make ``steps`` steps (1 to 65535) clockwise (``"cw"``) or counter-clockwise (``"ccw"``).

        Settings not given come from :attr:`settings`. With ``wait=True`` (the default) it blocks
        until the move ends and returns the final encoder count (None without an encoder
        module); ``timeout`` and ``allow_early_end`` as in :meth:`Job.wait`, by default twice the
        move's own time plus 2 s. With ``wait=False`` it returns the :class:`Job` at once.

        A drive module makes one move at a time: a move on a module with a running job of this
        controller raises :class:`ControllerError` naming that job, and so does a module that
        already moves (another client's move) unless ``preempt`` is true, which stops it first.
        When the move line fails (no reply, a refusal), the module is stopped before the error
        propagates.
        """
        if isinstance(steps, bool) or not isinstance(steps, int) or not 1 <= steps <= 65535:
            raise ValueError("steps must be 1 to 65535")
        settings = self._settings(type, temperature, frequency, step_size)
        if settings.frequency < 1:
            raise ValueError("a step move needs a frequency of at least 1 Hz")
        if timeout is not DEFAULT:
            _seconds("timeout", timeout, allow_none=True)
        job = self._start(steps, direction, settings, preempt)
        return job.wait(timeout, allow_early_end=allow_early_end) if wait else job

    def run(
        self,
        direction: Direction,
        *,
        type: Optional[str] = None,
        temperature: Optional[int] = None,
        frequency: Optional[int] = None,
        step_size: Optional[int] = None,
        preempt: bool = False,
    ) -> Job:
        """Step in one direction until :meth:`stop` (or the job's cancel); returns the :class:`Job`.

        A busy module is refused as by :meth:`move_steps`.
        """
        return self._start(0, direction, self._settings(type, temperature, frequency, step_size), preempt)

    def stop(self) -> Optional[int]:
        """Stop the axis's drive module (all its channels) and return the encoder count.

        Sends stops 100 ms apart, up to 10, until the module reports it stopped; raises
        :class:`ControllerError` when it never does. A running job of this controller on the
        module ends as cancelled (not as an early end).
        """
        count = call(self.controller._device().stop, self.module, self.channel)
        job = self.controller._running(self.module)
        if job is not None:
            with job._lock:
                if not job.finished:
                    job.cancelled = True
                    job._end("_STP", completed=False)
        return count

    @property
    def counter(self) -> Optional[int]:
        """The encoder count, or None when no encoder module serves the axis."""
        return call(self.controller._device().counter, self.module, self.channel)

    def zero_counter(self) -> None:
        """Set the encoder count to 0 (ValueError without an encoder module)."""
        call(self.controller._device().zero_counter, self.module, self.channel)

    @property
    def status(self) -> str:
        """The drive module's status word: "_MOV" moving, "_STP" idle, "_MDC" DC level, ..."""
        return call(self.controller._device().status, self.module)

    @property
    def moving(self) -> bool:
        """True while the drive module steps."""
        return self.status == "_MOV"

    @property
    def failsafe(self) -> int:
        """The drive module's failsafe bits (0: all good)."""
        return call(self.controller._device().failsafe, self.module)

    @property
    def failsafe_messages(self) -> List[str]:
        """What the set failsafe bits mean, one text per bit (empty when all is good)."""
        return failsafe_messages(self.failsafe)

    def reset_failsafe(self) -> int:
        """Reset the drive module's failsafe state ("RFS") and return the bits read afterwards."""
        return self.controller.reset_failsafe(self.module)

    # User units and soft limits (see vellumotor.units): positions are open loop, made of step
    # moves through move_steps, corrected from the encoder when there is one.

    def configure(self, config: Optional["AxisConfig"] = None, **fields) -> "AxisConfig":
        """Give the axis user units and soft limits: an :class:`AxisConfig`, or its fields.

        ``ax.configure(units="mm", counts_per_unit=2000, steps_per_unit=1000, limits=(-5, 5))``.
        Without an encoder, positions count the steps this package commands from here on.
        """
        from .units import AxisConfig, Positioner

        if config is None:
            config = AxisConfig(**fields)
        elif fields:
            raise TypeError("configure() takes an AxisConfig or its fields, not both")
        self._positioner = Positioner(self, config)
        return config

    def _units(self):
        positioner = getattr(self, "_positioner", None)
        if positioner is None:
            raise Error(f"axis {self.label} has no user units: call configure() first")
        return positioner

    @property
    def config(self) -> Optional["AxisConfig"]:
        """The user-unit configuration, or None before :meth:`configure`."""
        positioner = getattr(self, "_positioner", None)
        return positioner.config if positioner else None

    @property
    def position(self) -> float:
        """The position in user units: from the encoder when the configuration has
        ``counts_per_unit`` and an encoder serves the axis, else from the steps this package
        commanded (see :attr:`position_source`)."""
        return self._units().position()

    @property
    def position_source(self) -> str:
        """"encoder" or "steps": where :attr:`position` comes from."""
        return self._units().source

    def set_position(self, value: float) -> None:
        """Declare the current position to be ``value`` user units (moves the offset)."""
        self._units().set_position(value)

    def move_to(self, target: float, **moves) -> float:
        """Move to ``target`` user units and return the position reached.

        A target outside the limits raises :class:`LimitError` before any move line is sent.
        With an encoder the error is corrected by further step moves until it is within the
        tolerance (:class:`PositionError` after ``max_moves``); without one, one step move.
        ``moves`` go to :meth:`move_steps` (``frequency``, ``timeout``, ...).
        """
        return self._units().move_to(target, moves)

    def move_by(self, delta: float, **moves) -> float:
        """Move by ``delta`` user units from the current position; as :meth:`move_to`."""
        from .units import _finite

        units = self._units()
        return units.move_to(units.position() + _finite(delta, "a distance"), moves)

    def reload_settings(self) -> DriveSettings:
        """Read :attr:`settings` again from the controller's user memory."""
        self.settings = self.controller.user_memory.channel(self.module, self.channel).drive_settings()
        return self.settings

    def __repr__(self) -> str:
        return f"<Axis {self.label} {self.settings}>"
