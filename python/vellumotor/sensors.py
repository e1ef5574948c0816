"""Resistive sensor modules: positions, excitation, kept extremes and high-frequency recordings.

A sensor module ("R" in the rack) reads the resistive position sensors of up to three stages as
raw 24-bit numbers. A reading becomes metres (linear stage) or radians (rotary stage) with the
scale factor of the stage type: reading / 2^24 / 10^6 × scale factor. The module does not know
which stage is wired to a channel, so every conversion names the stage type, either per call or
once for the channel (``Sensor.stage``).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple, Union

from . import _core, _wire
from .errors import ControllerError
from .stages import Stage, stage

if TYPE_CHECKING:
    import numpy

    from .controller import Controller

__all__ = ["SensorModule", "Sensor"]

StageLike = Union[str, Stage]

# The wait between the start of a recording and its first sample request, as the console tool's.
_RECORDING_WAIT_S = 0.5
# The wait before a sample that is not ready yet is requested again.
_SAMPLE_RETRY_S = 0.001


def _check_channel(channel: int) -> int:
    if isinstance(channel, bool) or not isinstance(channel, int) or not 1 <= channel <= 3:
        raise ValueError("a sensor channel is 1 to 3")
    return channel


class SensorModule:
    """The sensor module in one slot of the rack; get it from :meth:`Controller.sensor_module`."""

    def __init__(self, controller: "Controller", slot: int, stages: Sequence[Optional[StageLike]] = ()) -> None:
        self.controller = controller
        self.slot = slot
        stages = list(stages) + [None] * (3 - len(stages))
        #: The three channels, 1 to 3.
        self.channels = [Sensor(self, c + 1, stages[c]) for c in range(3)]

    def _expect(self, word: str, *values: int, count: int = 0) -> List[str]:
        line = _wire.sensor_line(word, self.slot, *values)
        return _wire.expect(self.controller, line, "_" + word, count, f"sensor module {self.slot}")

    def readings(self) -> Tuple[int, int, int]:
        """The raw readings of the three channels, from one exchange ("PGVA")."""
        line = _wire.sensor_line("PGVA", self.slot)
        values = _wire.expect(self.controller, line, "_PGVA", 3, f"sensor module {self.slot}")
        return tuple(_wire.integer(values, i, line) for i in range(3))  # type: ignore[return-value]

    def positions(self, stages: Optional[Sequence[StageLike]] = None) -> Tuple[float, float, float]:
        """Positions of the three channels in metres or radians, from one exchange.

        ``stages`` names the stage type of each channel; by default each channel's ``stage``.
        """
        if stages is None:
            stages = [s.stage for s in self.channels]
        if len(stages) != 3:
            raise ValueError("positions() needs three stage types, one per channel")
        records = [_needed_stage(s, c + 1) for c, s in enumerate(stages)]
        raw = self.readings()
        return tuple(r.value(v) for r, v in zip(records, raw))  # type: ignore[return-value]

    @property
    def excitation(self) -> Tuple[int, int]:
        """The sensor excitation: (frequency in Hz, duty cycle in %)."""
        line = _wire.sensor_line("EXR", self.slot)
        values = self._expect("EXR", count=2)
        return _wire.integer(values, 0, line), _wire.integer(values, 1, line)

    def set_excitation(self, duty: int, frequency: int = _core.DEFAULT_EXCITATION_HZ) -> None:
        """Set the excitation duty cycle (0 switches it off, else 10 to 100 %) and frequency (1 to 30000 Hz)."""
        if isinstance(duty, bool) or not isinstance(duty, int) or not (duty == 0 or 10 <= duty <= 100):
            raise ValueError("the excitation duty cycle is 0 or 10 to 100 %")
        if isinstance(frequency, bool) or not isinstance(frequency, int) or not 1 <= frequency <= 30000:
            raise ValueError("the excitation frequency is 1 to 30000 Hz")
        self._expect("EXS", frequency, duty)

    def store(self) -> None:
        """Keep the excitation and the channel settings over a power cycle (the module's flash)."""
        self._expect("RSS")

    def __repr__(self) -> str:
        return f"<SensorModule slot {self.slot}>"


def _needed_stage(value: Optional[StageLike], channel: int) -> Stage:
    if value is None:
        raise ValueError(f"channel {channel} has no stage type: pass one, or set Sensor.stage")
    record = stage(value)
    if not record.kind:
        raise ValueError(f"stage {record.word} has no position sensor, so its readings have no unit")
    return record


class Sensor:
    """One channel of a sensor module.

    ``stage`` (a stage word or :class:`Stage`) is the stage type wired to the channel; positions
    use it unless a call names another.
    """

    def __init__(self, module: SensorModule, channel: int, stage_type: Optional[StageLike] = None) -> None:
        self.module = module
        self.channel = _check_channel(channel)
        self.stage: Optional[StageLike] = stage_type

    @property
    def label(self) -> str:
        """"slot.channel", as "5.2"."""
        return f"{self.module.slot}.{self.channel}"

    def _read(self, word: str) -> int:
        line = _wire.sensor_line(word, self.module.slot, self.channel)
        values = self.module._expect(word, self.channel, count=1)
        return _wire.integer(values, 0, line)

    def reading(self) -> int:
        """The raw 24-bit reading ("PGV")."""
        return self._read("PGV")

    def position(self, stage_type: Optional[StageLike] = None) -> float:
        """The position in metres (linear stage) or radians (rotary stage)."""
        record = _needed_stage(stage_type if stage_type is not None else self.stage, self.channel)
        return record.value(self.reading())

    def minimum(self, stage_type: Optional[StageLike] = None) -> float:
        """The smallest position the module has seen since the last reset, in metres or radians."""
        record = _needed_stage(stage_type if stage_type is not None else self.stage, self.channel)
        return record.value(self._read("MIR"))

    def maximum(self, stage_type: Optional[StageLike] = None) -> float:
        """The largest position the module has seen since the last reset, in metres or radians."""
        record = _needed_stage(stage_type if stage_type is not None else self.stage, self.channel)
        return record.value(self._read("MAR"))

    def reset_extremes(self) -> None:
        """Start the kept minimum and maximum again from the current reading ("MMR")."""
        self.module._expect("MMR", self.channel)

    def record(self, stage_type: Optional[StageLike] = None) -> "numpy.ndarray":
        """A high-frequency recording: an array of rows (time in s, position in m or rad).

        Samples are 204.8 us apart, counted from the start of the recording. The call waits
        0.5 s on the controller's clock for the module to record, then reads sample by sample
        until the module reports the end. A sample the module does not deliver after 100
        requests, or a recording that never ends (over 2^20 samples), raises
        :class:`ControllerError`.
        """
        import numpy

        record = _needed_stage(stage_type if stage_type is not None else self.stage, self.channel)
        ctl = self.module.controller
        slot = self.module.slot
        self.module._expect("BUF", self.channel)
        ctl.sleep(_RECORDING_WAIT_S)
        readings: List[int] = []
        requests = 0
        while True:
            if len(readings) >= _core.MAX_RECORDED_SAMPLES:
                raise ControllerError(f"sensor {self.label}: the recording did not end after {len(readings)} samples")
            line = _wire.bur_line(slot, len(readings), record.scale_factor, record.kind)
            tokens = _wire.exchange(ctl, line)
            requests += 1
            if len(tokens) >= 2 and tokens[0] == "_BUR":
                if tokens[1] == "FINISHED":
                    break
                readings.append(_wire.integer(tokens, 1, line))
                requests = 0
                continue
            if requests >= _core.MAX_SAMPLE_REQUESTS:
                reply = " ".join(tokens)
                raise ControllerError(
                    f"sensor {self.label}: sample {len(readings)} not delivered after {requests} requests", line, reply
                )
            ctl.sleep(_SAMPLE_RETRY_S)
        data = numpy.empty((len(readings), 2))
        for n, value in enumerate(readings):
            data[n, 0] = _core.sample_time(n)
            data[n, 1] = record.value(value)
        return data

    def __repr__(self) -> str:
        return f"<Sensor {self.label} {self.stage or 'no stage'}>"
