"""The controller lines this package builds itself, and the reading of their replies.

Every line of the sensor modules, the closed loop and the failsafe reset is formatted here and
nowhere else, with the console tool's formats; the numbers in them (scale factors, rise times)
come from the tool's own code through the extension module.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, List, Sequence

from . import _core, _log
from .errors import ControllerError

if TYPE_CHECKING:
    from .controller import Controller


def sensor_address(slot: int) -> int:
    """The wire address of the sensor module in ``slot`` (slot 1 is 10)."""
    return slot + _core.SENSOR_ADDRESS_OFFSET


def sensor_line(word: str, slot: int, *values: int) -> str:
    """A sensor-module line: the word, the module's address and integer values ("PGV 14 2")."""
    return " ".join([word, str(sensor_address(slot)), *(str(int(v)) for v in values)])


def bur_line(slot: int, sample: int, scale_factor: float, kind: str) -> str:
    """The request of one high-frequency sample."""
    return "BUR %d %d %E %c" % (sensor_address(slot), sample, scale_factor, kind)


def fben_line(
    axis: int,
    scale_factor: float,
    kind: str,
    scan_value: float,
    loop_value: float,
    rise_time: int,
    invert: int,
    clear: float,
    loop_integer: int,
) -> str:
    """The closed-loop enable line of one axis (0 to 2)."""
    return "FBEN %d %E %c %E %E %d %d %E %d" % (
        axis,
        scale_factor,
        kind,
        scan_value,
        loop_value,
        rise_time,
        invert,
        clear,
        loop_integer,
    )


def fbcs_line(set_points: Sequence[float], absolute: Sequence[int]) -> str:
    """The set-point line: three set-points with nine decimals, each with its ABS flag."""
    fields = []
    for sp, flag in zip(set_points, absolute):
        fields.append("%.9f %d" % (sp, flag))
    return "FBCS " + " ".join(fields)


def fbfe_line(direction: int, filter: int, zero: int) -> str:
    """The end-stop search line."""
    return "FBFE %d %d %d" % (direction, filter, zero)


def rfs_line(module: int) -> str:
    """The failsafe reset of a drive module."""
    return "RFS %d" % module


def exchange(controller: "Controller", line: str) -> List[str]:
    """Send ``line`` and return the reply split at blanks (LinkError when no reply came)."""
    return _log.call(controller._device().exchange, line).split()


def expect(controller: "Controller", line: str, word: str, values: int = 0, what: str = "") -> List[str]:
    """Send ``line`` and return the reply's values after ``word``.

    Raises :class:`ControllerError` when the reply does not start with ``word`` or carries fewer
    than ``values`` values.
    """
    tokens = exchange(controller, line)
    if not tokens or tokens[0] != word or len(tokens) < 1 + values:
        reply = " ".join(tokens)
        raise ControllerError(f'{what or line}: "{line}" answered "{reply}"', line, reply)
    return tokens[1:]


def number(tokens: List[str], index: int, line: str) -> float:
    """Value ``index`` of a reply as a finite number (ControllerError otherwise)."""
    try:
        value = float(tokens[index])
    except (ValueError, IndexError):
        value = math.nan
    if not math.isfinite(value):
        reply = " ".join(tokens)
        raise ControllerError(f'"{line}" answered with a value that is not a number: "{reply}"', line, reply)
    return value


def integer(tokens: List[str], index: int, line: str) -> int:
    """Value ``index`` of a reply as an integer (ControllerError otherwise)."""
    value = number(tokens, index, line)
    if value != int(value):
        raise ControllerError(f'"{line}" answered "{" ".join(tokens)}": not an integer', line, " ".join(tokens))
    return int(value)
