"""Stage types: what the controller needs to know about the stage an actuator drives.

The table is the console tool's: ``stage("CEDAR1-POT")`` gives the same scale factor, axis kind,
drive profile and loop parameters that the tool's commands send for that word.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Tuple

from . import _core

__all__ = ["Stage", "stage", "stage_words"]


@dataclass(frozen=True)
class Stage:
    """The drive record of a stage word.

    ``kind`` is "L" (linear: sensor positions in metres), "R" (rotary: radians) or "" (the stage
    has no position sensor). ``profile`` is (name, paramA, paramB, invertDirection) of its drive
    profile, or None.
    """

    word: str
    scale_factor: float
    scan_base: float
    loop_value: float
    kind: str
    profile: Optional[Tuple[str, int, int, int]]
    loop_integer: int

    @property
    def unit(self) -> str:
        """"m" for a linear stage, "rad" for a rotary one, "" without a position sensor."""
        return {"L": "m", "R": "rad"}.get(self.kind, "")

    def value(self, reading: float) -> float:
        """A raw sensor reading in metres or radians (ValueError for a stage without a sensor)."""
        if not self.kind:
            raise ValueError(f"stage {self.word} has no position sensor, so its readings have no unit")
        return _core.sensor_value(float(reading), self.scale_factor)


def stage(word: "str | Stage") -> Stage:
    """The :class:`Stage` of a stage word (ValueError for a word the stage table does not know)."""
    if isinstance(word, Stage):
        return word
    if not isinstance(word, str):
        raise TypeError("a stage is named by its word, for example 'CEDAR1-POT'")
    record = _core.stage(word)
    if record is None:
        raise ValueError(f"unknown stage type {word!r} (see vellumotor.stage_words())")
    return Stage(word, *record)


def stage_words() -> List[str]:
    """The stage words of the stage table, in table order."""
    return _core.stage_words()
