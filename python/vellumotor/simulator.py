"""The virtual controller inside the Python process."""

from __future__ import annotations

from typing import List

from . import _core

__all__ = ["Simulator"]


class Simulator:
    """A virtual controller rack that runs in this process, for development and tests.

    ``rack`` lists slots 1 to 6: ``C`` a drive module with three channels (``C1`` one channel),
    ``O`` an optical encoder module (serving the drive module in the slot before it), ``R`` a
    resistive sensor module, ``-`` an empty slot. Moves make their steps in the simulator's time:
    real time times ``speed`` (0.01 to 1000), or with ``virtual_time=True`` a clock on which every
    wait passes at once, so a script or test runs a long move in no real time.

    Pass it to :func:`vellumotor.connect`::

        sim = vm.Simulator(rack="C,O,C,O,R,-", speed=50)
        with vm.connect(sim) as ctl:
            ...
    """

    def __init__(self, rack: str = "C,O,C,O,R,-", speed: float = 1.0, virtual_time: bool = False) -> None:
        self._sim = _core.Simulator(rack, float(speed), bool(virtual_time))

    @property
    def rack(self) -> str:
        """The rack as given."""
        return self._sim.rack

    @property
    def speed(self) -> float:
        """The speed factor of the simulator's clock (unused in virtual time)."""
        return self._sim.speed

    @property
    def virtual_time(self) -> bool:
        """True when every wait on the simulator's clock passes at once."""
        return self._sim.virtual_time

    def add_fault(self, rule: str) -> None:
        """Inject a fault as vmsim's ``--fault`` does: ``KIND[:ARG][@WORD][*COUNT]``.

        For example ``"noreply"`` (the controller stops answering), ``"answer:MNF@STS"``,
        ``"eject:1"`` (the module in slot 1 is pulled). See docs/controller-protocol.md.
        """
        self._sim.add_fault(rule)

    def clear_faults(self) -> None:
        """Remove every injected fault."""
        self._sim.clear_faults()

    def set_failsafe(self, slot: int, bits: int) -> None:
        """Set the failsafe bits (0 to 255) the drive module in ``slot`` reports."""
        self._sim.set_failsafe(slot, bits)

    def position(self, slot: int, channel: int) -> int:
        """Signed steps the drive channel has made since the simulator started."""
        return self._sim.position(slot, channel)

    def lines(self) -> List[str]:
        """Every command line received, carriage return included, oldest first."""
        return self._sim.lines()

    def clear_lines(self) -> None:
        """Forget the received lines."""
        self._sim.clear_lines()

    def now(self) -> float:
        """The simulator's time in seconds."""
        return self._sim.now_ms() / 1000.0

    def advance(self, seconds: float) -> None:
        """Virtual time only: move the simulator's time on by ``seconds`` (0 to 10^7; ValueError
        for anything else, NaN and infinity included)."""
        self._sim.advance_ms(seconds * 1000.0)

    def __repr__(self) -> str:
        time = "virtual time" if self.virtual_time else f"speed {self.speed:g}"
        return f"Simulator(rack={self.rack!r}, {time})"
