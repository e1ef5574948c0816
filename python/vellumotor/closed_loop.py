"""Closed-loop positioning: the controller holds up to three stages at commanded set-points.

The loop addresses the controller as a whole; its three axes are 0, 1 and 2. Set-points are
numbers from -1 to 1 that the controller interprets with the stage parameters of the enable
lines: the package applies no unit conversion to them, because the mapping from a set-point to a
sensor position is the controller's and is not published for any stage type.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional, Sequence, Tuple, Union

from . import _core, _log, _wire
from .errors import ControllerError, Error, Timeout
from .sensors import Sensor, _needed_stage
from .stages import Stage, stage

if TYPE_CHECKING:
    from .controller import Controller

__all__ = ["ClosedLoop", "ClosedLoopState"]

AXES = 3
# Interval of the state polls of wait_settled on the controller's clock.
_POLL_S = 0.1

Triple = Union[float, Sequence[float]]


def _three(value, what: str) -> Tuple:
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
        return (value,) * AXES
    if len(value) != AXES:
        raise ValueError(f"{what}: one value, or one per axis (three)")
    return tuple(value)


def _real(value, low: float, high: float, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not low <= value <= high:
        raise ValueError(f"{what} must be a number from {low:g} to {high:g}, not {value!r}")
    return float(value)


def _flag(value, what: str) -> int:
    if value in (0, 1, False, True):
        return int(value)
    raise ValueError(f"{what} is 0 or 1 (False or True), not {value!r}")


def _integer(value, low: int, high: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{what} is an integer from {low} to {high}, not {value!r}")
    return value


@dataclass(frozen=True)
class ClosedLoopState:
    """The loop state as the controller reports it ("FBST"), per axis 0 to 2 where it is a triple."""

    enabled: bool
    finished: bool
    timed_out: Tuple[bool, bool, bool]
    invalid_set_point: Tuple[bool, bool, bool]
    position_error: Tuple[bool, bool, bool]

    @property
    def faults(self) -> bool:
        """True when any axis timed out or had its set-point refused."""
        return any(self.timed_out) or any(self.invalid_set_point)


class ClosedLoop:
    """The controller's closed loop; reach it as ``ctl.closed_loop``.

    A failure on a line that may have started motion (set-points, end-stop search) stops every
    axis where it is ("FBES") before the error is raised, and so does a :meth:`wait_settled`
    that times out or is interrupted.
    """

    def __init__(self, controller: "Controller") -> None:
        self.controller = controller

    def _send(self, line: str, word: str, values: int = 0):
        return _wire.expect(self.controller, line, word, values, "closed loop")

    def _guarded(self, line: str, word: str) -> None:
        """Send a line that may start motion; on any failure stop the loop before raising."""
        try:
            self._send(line, word)
        except BaseException:
            self._stop_quietly()
            raise

    def _stop_quietly(self) -> None:
        try:
            self.stop()
        except Error:
            pass

    def enable(
        self,
        stages: Union[str, Stage, Sequence[Union[str, Stage]]],
        clear: Triple,
        temperature: int,
        tolerance: Optional[Triple] = None,
        torque: int = 1,
    ) -> None:
        """Enable the loop on the three axes: each holds where its stage is.

        ``stages``: the stage type of each axis (one for all three); every one needs a position
        sensor and a drive profile. ``clear`` 0 to 1 per axis (or one for all). ``temperature``
        0 to 300 K and ``torque`` 1 to 30 give the rise time. ``tolerance`` (0 to 1 per axis, in
        set-point units) replaces the stage type's own loop value. Nothing is sent when an
        argument is wrong; when the controller refuses one of the three lines, the loop is
        stopped and left ("FBES") and :class:`ControllerError` raised.
        """
        records = [stage(s) for s in _three(stages, "stages")]
        for axis, record in enumerate(records):
            if not record.kind or record.profile is None:
                raise ValueError(
                    f"stage {record.word} (axis {axis}) has no position sensor and cannot run in closed loop"
                )
        clears = [_real(c, 0.0, 1.0, "clear") for c in _three(clear, "clear")]
        tolerances = None
        if tolerance is not None:
            tolerances = [_real(t, 0.0, 1.0, "tolerance") for t in _three(tolerance, "tolerance")]
        temperature = _integer(temperature, 0, 300, "temperature (K)")
        torque = _integer(torque, 1, 30, "torque factor")

        lines = []
        for axis, record in enumerate(records):
            _name, param_a, param_b, invert = record.profile  # type: ignore[misc]
            rise, warning = _core.rise_time(param_a, param_b, temperature, 100, torque)
            if warning:
                # The torque asked for is not available; the shortest rise time is sent instead.
                _log.logger.warning("closed loop axis %d: %s", axis, warning.strip())
            loop_value = record.loop_value if tolerances is None else tolerances[axis] * 1000000
            lines.append(
                _wire.fben_line(
                    axis,
                    record.scale_factor,
                    record.kind,
                    0.0,
                    loop_value,
                    rise,
                    invert,
                    clears[axis],
                    record.loop_integer,
                )
            )
        try:
            for line in lines:
                self._send(line, "_FBEN")
        except BaseException:
            # Never leave a loop half configured: stop and disable what was enabled.
            self._stop_quietly()
            raise

    def set_points(self, sp1: float, sp2: float, sp3: float, absolute: Union[bool, Sequence[bool]] = True) -> None:
        """Command the set-points (-1 to 1) of axes 0, 1 and 2.

        ``absolute`` (one flag or one per axis): True sets the set-point, False adds it to the
        current one. A set-point outside -1 to 1 (or not a number) raises ValueError and
        nothing is sent.
        """
        points = [_real(sp, -1.0, 1.0, f"set-point {n}") for n, sp in enumerate((sp1, sp2, sp3), 1)]
        flags = [_flag(a, "absolute") for a in _three(absolute, "absolute")]
        self._guarded(_wire.fbcs_line(points, flags), "_FBCS")

    def state(self) -> ClosedLoopState:
        """Read the loop state ("FBST")."""
        line = "FBST"
        values = self._send(line, "_FBST", 11)
        v = [_wire.integer(values, i, line) != 0 for i in range(11)]
        return ClosedLoopState(v[0], v[1], tuple(v[2:5]), tuple(v[5:8]), tuple(v[8:11]))  # type: ignore[arg-type]

    def end_stop_search(self, direction: int, filter: int = 1, zero: bool = False) -> None:
        """Drive every enabled axis to its end stop: ``direction`` 1 up, 0 down.

        ``filter`` 1 to 20; ``zero=True`` makes the end stop read 0 afterwards. Wait for the end
        with :meth:`wait_settled`.
        """
        direction = _flag(direction, "direction")
        filter = _integer(filter, 1, 20, "filter")
        self._guarded(_wire.fbfe_line(direction, filter, _flag(zero, "zero")), "_FBFE")

    def exit(self) -> None:
        """Leave closed-loop operation ("FBXT"): every axis is disabled."""
        self._send("FBXT", "_FBXT")

    def stop(self) -> None:
        """Stop every axis where it is, then disable it ("FBES")."""
        self._send("FBES", "_FBES")

    def wait_settled(
        self,
        tolerance: Optional[float] = None,
        timeout: float = 30.0,
        sensors: Sequence["Sensor"] = (),
    ) -> ClosedLoopState:
        """Wait until the loop holds its set-points and return the state.

        Polls the state every 100 ms on the controller's clock until it reports finished. With
        ``sensors`` (channels of a sensor module, each with its stage type), it also waits until
        none of their positions moved by more than ``tolerance`` (metres or radians) between
        two polls. A time-out or refused set-point reported by the controller raises
        :class:`ControllerError`; ``timeout`` seconds passing raises :class:`Timeout`. In both
        cases, and on any interruption, the loop is stopped first ("FBES").
        """
        timeout = _real(timeout, 0.0, math.inf, "timeout")
        if sensors:
            tolerance = _real(tolerance, 0.0, math.inf, "the tolerance of the sensors (metres or radians)")
        for sensor in sensors:
            if isinstance(sensor, Sensor):
                _needed_stage(sensor.stage, sensor.channel)  # refused before anything is sent
        ctl = self.controller
        deadline = ctl.now() + timeout
        previous = None
        try:
            while True:
                state = self.state()
                if state.faults:
                    flagged = (("timed out", state.timed_out), ("set-point refused", state.invalid_set_point))
                    faults = ", ".join(f"axis {a} {what}" for what, flags in flagged for a in range(AXES) if flags[a])
                    raise ControllerError(f"closed loop: {faults}; the loop was stopped", "FBST")
                if not state.enabled:
                    raise ControllerError("closed loop: not enabled", "FBST")
                if state.finished:
                    positions = [s.position() for s in sensors]
                    if not sensors:
                        return state
                    if previous is not None and all(
                        abs(a - b) <= tolerance for a, b in zip(positions, previous)  # type: ignore[operator]
                    ):
                        return state
                    previous = positions
                else:
                    previous = None
                if ctl.now() >= deadline:
                    raise Timeout(f"the closed loop did not settle within {timeout:g} s; the loop was stopped")
                ctl.sleep(_POLL_S)
        except BaseException:
            self._stop_quietly()
            raise

    def __repr__(self) -> str:
        return f"<ClosedLoop of {self.controller.description}>"
