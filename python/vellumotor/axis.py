"""One drive channel of the controller: moves, stop, encoder counter."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, List, Optional, Union

from . import _core
from ._log import call
from .errors import Error, Timeout

if TYPE_CHECKING:
    from .controller import Controller
    from .units import AxisConfig

__all__ = ["Axis", "Job", "DriveSettings", "CW", "CCW", "Direction", "failsafe_messages"]

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


class Job:
    """A move in progress: wait for its end, ask whether it ended, or cancel it.

    Returned by :meth:`Axis.move_steps` with ``wait=False`` and by :meth:`Axis.run`.
    """

    def __init__(self, axis: "Axis", steps: int, settings: DriveSettings) -> None:
        self.axis = axis
        self.steps = steps
        self.settings = settings
        #: The encoder count last read (None without an encoder module or before the first read).
        self.counter: Optional[int] = None
        self._finished = False

    @property
    def finished(self) -> bool:
        """True once the job saw the move end (or stopped it)."""
        return self._finished

    def default_timeout(self) -> Optional[float]:
        """Seconds a step move may take: twice its steps at its frequency plus 2 s; None for a run."""
        if self.steps == 0:
            return None
        return 2.0 * self.steps / max(self.settings.frequency, 1) + _TIMEOUT_MARGIN_S

    def done(self) -> bool:
        """Whether the move has ended; asks the module once unless already known."""
        if not self._finished and self.axis.status != "_MOV":
            self._finish()
        return self._finished

    def wait(
        self, timeout: Optional[float] = -1.0, progress: Optional[Callable[[Optional[int]], None]] = None
    ) -> Optional[int]:
        """Block until the move ends and return the final encoder count (None without encoder).

        ``timeout`` in seconds of the controller's clock; the default is :meth:`default_timeout`,
        ``None`` waits without limit. When it passes, the module is stopped and :class:`Timeout`
        is raised. A ``KeyboardInterrupt`` (or any other exception, also one raised by
        ``progress``) during the wait stops the module too before it propagates.

        ``progress``, when given, is called after every status poll (every 100 ms) while the
        module still moves, with the encoder count (None without an encoder module).
        """
        if self._finished:
            return self.counter
        if timeout is not None and timeout < 0:
            timeout = self.default_timeout()
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
        self._finish(status)
        return self.counter

    def cancel(self) -> Optional[int]:
        """Stop the module and return the encoder count (None without an encoder module)."""
        self.counter = self.axis.stop()
        self._finished = True
        return self.counter

    def _finish(self, status: str = "_STP") -> None:
        if status != "_STP":
            # Neither moving nor idle (a DC level, external input): stop it as the desktop does.
            self.counter = self.axis.stop()
        else:
            self.counter = self.axis.counter
        self._finished = True

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

    @property
    def label(self) -> str:
        """The channel label: the module digit and the channel letter, as "2B"."""
        return f"{self.module}{'ABC'[self.channel - 1]}"

    @property
    def has_encoder(self) -> bool:
        """True when an encoder module serves this axis's drive module."""
        return self.controller._device().has_encoder(self.module)

    def _settings(self, type, temperature, frequency, step_size) -> DriveSettings:
        return dataclasses.replace(
            self.settings,
            **{
                k: v
                for k, v in dict(type=type, temperature=temperature, frequency=frequency, step_size=step_size).items()
                if v is not None
            },
        )

    def _start(self, steps: int, direction: Direction, settings: DriveSettings) -> Job:
        s = settings
        call(
            self.controller._device().start_move,
            self.module,
            self.channel,
            s.type,
            s.temperature,
            _direction(direction),
            s.frequency,
            s.step_size,
            steps,
        )
        return Job(self, steps, s)

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
        timeout: Optional[float] = -1.0,
    ) -> Union[Optional[int], Job]:
        """Make ``steps`` steps (1 to 65535) clockwise (``"cw"``) or counter-clockwise (``"ccw"``).

        Settings not given come from :attr:`settings`. With ``wait=True`` (the default) it blocks
        until the move ends and returns the final encoder count (None without an encoder
        module); ``timeout`` as in :meth:`Job.wait`, by default twice the move's own time plus
        2 s. With ``wait=False`` it returns the :class:`Job` at once.
        """
        if isinstance(steps, bool) or not isinstance(steps, int) or not 1 <= steps <= 65535:
            raise ValueError("steps must be 1 to 65535")
        settings = self._settings(type, temperature, frequency, step_size)
        if settings.frequency < 1:
            raise ValueError("a step move needs a frequency of at least 1 Hz")
        job = self._start(steps, direction, settings)
        return job.wait(timeout) if wait else job

    def run(
        self,
        direction: Direction,
        *,
        type: Optional[str] = None,
        temperature: Optional[int] = None,
        frequency: Optional[int] = None,
        step_size: Optional[int] = None,
    ) -> Job:
        """Step in one direction until :meth:`stop` (or the job's cancel); returns the :class:`Job`."""
        return self._start(0, direction, self._settings(type, temperature, frequency, step_size))

    def stop(self) -> Optional[int]:
        """Stop the axis's drive module (all its channels) and return the encoder count.

        Sends stops 100 ms apart, up to 10, until the module reports it stopped; raises
        :class:`ControllerError` when it never does.
        """
        return call(self.controller._device().stop, self.module, self.channel)

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
