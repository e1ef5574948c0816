"""User units and soft limits of an axis, and the open-loop positioning built on them.

An axis counts in encoder counts and steps; a script thinks in millimetres or degrees. An
:class:`AxisConfig` says how many counts and steps make one user unit, which way is positive,
where zero is and which positions the axis may reach. Positioning is open loop: the package
makes step moves, and with an encoder it reads the error afterwards and corrects it with further
step moves, at most ``max_moves`` in all. It never uses the controller's closed loop.
"""

from __future__ import annotations

import json
import math
import numbers
import tomllib
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

from .errors import Error

if TYPE_CHECKING:
    from .axis import Axis

__all__ = ["AxisConfig", "LimitError", "PositionError"]

# Steps of one move line at most; longer moves are made of several.
_MAX_STEPS_PER_MOVE = 65535


class LimitError(Error, ValueError):
    """A move would end outside the axis's soft limits; nothing was sent."""


class PositionError(Error):
    """An axis did not reach its target within the tolerance after its allowed moves."""


def _finite(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise ValueError(f"{what} must be a finite number, not {value!r}")
    return float(value)


@dataclass
class AxisConfig:
    """How an axis's counts and steps map to user units.

    position = sign × counts / counts_per_unit + offset (with an encoder and ``counts_per_unit``),
    else sign × commanded steps / steps_per_unit + offset. Positive user moves are clockwise
    steps when ``sign`` is +1. ``limits`` (low, high) bound every target in user units.
    ``tolerance`` (user units) is how close a corrected move must end, by default half a step;
    ``max_moves`` (1 to 100) the step moves one positioning may make.
    """

    units: str = "steps"
    steps_per_unit: float = 1.0
    counts_per_unit: Optional[float] = None
    sign: int = 1
    offset: float = 0.0
    limits: Optional[Tuple[float, float]] = None
    tolerance: Optional[float] = None
    max_moves: int = 5

    def __post_init__(self) -> None:
        if not isinstance(self.units, str) or not self.units or "\n" in self.units:
            raise ValueError("units is a non-empty name on one line, as 'mm'")
        if _finite(self.steps_per_unit, "steps_per_unit") <= 0:
            raise ValueError("steps_per_unit must be greater than 0")
        self.steps_per_unit = float(self.steps_per_unit)
        if self.counts_per_unit is not None:
            if _finite(self.counts_per_unit, "counts_per_unit") <= 0:
                raise ValueError("counts_per_unit must be greater than 0")
            self.counts_per_unit = float(self.counts_per_unit)
        if self.sign not in (1, -1) or isinstance(self.sign, bool):
            raise ValueError("sign is +1 or -1")
        self.offset = _finite(self.offset, "offset")
        if self.limits is not None:
            if len(self.limits) != 2:
                raise ValueError("limits is (low, high)")
            low, high = (_finite(v, "a limit") for v in self.limits)
            if not low < high:
                raise ValueError("the low limit must be below the high limit")
            self.limits = (low, high)
        if self.tolerance is not None and _finite(self.tolerance, "tolerance") < 0:
            raise ValueError("tolerance must be 0 or more")
        if isinstance(self.max_moves, bool) or not isinstance(self.max_moves, int) or not 1 <= self.max_moves <= 100:
            raise ValueError("max_moves is 1 to 100")

    def check(self, target: float) -> float:
        """``target`` as a float if it lies within the limits; LimitError (a ValueError) if not."""
        target = _finite(target, "a target")
        if self.limits is not None and not self.limits[0] <= target <= self.limits[1]:
            low, high = self.limits
            raise LimitError(f"{target:g} {self.units} lies outside the limits {low:g} to {high:g} {self.units}")
        return target

    def to_toml(self) -> str:
        """The configuration as TOML text (fields that are None are left out)."""
        lines = []
        for f in fields(self):
            value = getattr(self, f.name)
            if value is None:
                continue
            if isinstance(value, str):
                text = json.dumps(value)  # a JSON string is a TOML basic string
            elif isinstance(value, tuple):
                text = "[" + ", ".join(repr(float(v)) for v in value) + "]"
            else:
                text = repr(value)
            lines.append(f"{f.name} = {text}")
        return "\n".join(lines) + "\n"

    @classmethod
    def from_toml(cls, text: str) -> "AxisConfig":
        """A configuration from TOML text (ValueError for unknown keys or bad values)."""
        data: Dict[str, Any] = tomllib.loads(text)
        known = {f.name for f in fields(cls)}
        unknown = sorted(set(data) - known)
        if unknown:
            raise ValueError(f"unknown axis configuration keys: {', '.join(unknown)}")
        if "limits" in data and isinstance(data["limits"], list):
            data["limits"] = tuple(data["limits"])
        return cls(**data)

    def save(self, path: str) -> None:
        """Write the configuration to a TOML file."""
        with open(path, "w", encoding="utf-8") as f:
            f.write(self.to_toml())

    @classmethod
    def load(cls, path: str) -> "AxisConfig":
        """Read a configuration from a TOML file."""
        with open(path, "rb") as f:
            return cls.from_toml(f.read().decode("utf-8"))


class Positioner:
    """The user-unit state of one axis: its configuration and the steps this package commanded."""

    def __init__(self, axis: "Axis", config: AxisConfig) -> None:
        self.axis = axis
        self.config = config
        # Signed steps (clockwise positive) commanded since configure(); None once a move was
        # interrupted without an encoder to tell how far it went.
        self.steps: Optional[int] = 0

    @property
    def source(self) -> str:
        """"encoder" when positions come from the encoder counter, "steps" when from commanded steps."""
        return "encoder" if self.config.counts_per_unit is not None and self.axis.has_encoder else "steps"

    def raw(self) -> float:
        """Counts or commanded steps, divided into user units (without sign and offset)."""
        if self.source == "encoder":
            return self.axis.counter / self.config.counts_per_unit  # type: ignore[operator]
        if self.steps is None:
            raise PositionError(
                f"the position of {self.axis.label} is unknown: a move without an encoder was interrupted; "
                "set it with set_position()"
            )
        return self.steps / self.config.steps_per_unit

    def position(self) -> float:
        return self.config.sign * self.raw() + self.config.offset

    def set_position(self, value: float) -> None:
        value = _finite(value, "a position")
        if self.source == "steps" and self.steps is None:
            self.steps = 0
        self.config.offset = value - self.config.sign * self.raw()

    def _step(self, steps: int, moves: Dict[str, Any]) -> None:
        """Make ``steps`` signed steps (clockwise positive), in moves of at most 65535."""
        direction = "cw" if steps > 0 else "ccw"
        if self.source == "encoder":
            # The encoder judges the position after every move and the loop corrects what is
            # missing, so a move that counted fewer counts than its steps suggest is no error here.
            moves = {"allow_early_end": True, **moves}
        moves = dict(moves)
        moves.pop("wait", None)  # positioning always waits for each move
        wait = {key: moves.pop(key) for key in ("timeout", "allow_early_end") if key in moves}
        left = abs(steps)
        while left:
            chunk = min(left, _MAX_STEPS_PER_MOVE)
            try:
                job = self.axis.move_steps(chunk, direction, **moves, wait=False)
                job.wait(**wait)
            except BaseException:
                self.steps = None  # how far it went is unknown (the move was stopped)
                raise
            if job.cancelled:
                # Stopped through this controller (another thread's stop()): end here rather than
                # start the next move, and forget a step count that no longer holds.
                if self.source == "steps":
                    self.steps = None
                raise PositionError(f"the move of {self.axis.label} was stopped before it reached its target")
            if self.steps is not None:
                self.steps += chunk if steps > 0 else -chunk
            left -= chunk

    def move_to(self, target: float, moves: Dict[str, Any]) -> float:
        cfg = self.config
        target = cfg.check(target)
        tolerance = cfg.tolerance if cfg.tolerance is not None else 0.5 / cfg.steps_per_unit
        encoder = self.source == "encoder"
        for n in range(cfg.max_moves + 1):
            position = self.position()
            error = target - position
            if abs(error) <= tolerance or (n > 0 and not encoder):
                return position
            steps = round(error * cfg.sign * cfg.steps_per_unit)
            if steps == 0 or n == cfg.max_moves:
                break
            self._step(steps, moves)
        raise PositionError(
            f"{self.axis.label} ended at {position:g} {cfg.units}, {abs(error):g} {cfg.units} from {target:g} "
            f"after {n} move{'s' if n != 1 else ''} (tolerance {tolerance:g} {cfg.units})"
        )
