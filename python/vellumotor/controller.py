"""The controller: connection, rack, axes, user memory and raw lines."""

from __future__ import annotations

import re
import threading
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from . import _core, _log, _wire
from .axis import Axis, DriveSettings, _seconds
from .closed_loop import ClosedLoop
from .errors import ControllerError, Error, LinkError
from .sensors import Sensor, SensorModule, StageLike
from .simulator import Simulator

if TYPE_CHECKING:
    from .axis import Job

__all__ = ["connect", "Controller", "Module", "ChannelRecord", "UserMemory"]

# Longest single wait of Controller.sleep: Python runs signal handlers between the pieces.
_SLEEP_PIECE_MS = 100.0


@dataclass(frozen=True)
class Module:
    """One slot of the rack.

    ``kind`` is "drive", "encoder", "sensor" or "empty". For a drive module that answered,
    ``channels`` is its channel count (1 or 3; 0 when it did not answer), ``axes`` the channel
    labels and ``encoder`` whether an encoder module (in the next slot) serves it.
    """

    slot: int
    kind: str
    channels: int = 0
    encoder: bool = False
    controller: Optional["Controller"] = field(default=None, compare=False, repr=False)

    def reset_failsafe(self) -> int:
        """Reset a drive module's failsafe state ("RFS") and return the bits read afterwards."""
        if self.controller is None:
            raise ValueError("this module description is not tied to a controller")
        if self.kind != "drive":
            raise ValueError(f"slot {self.slot} holds no drive module, so it has no failsafe state")
        return self.controller.reset_failsafe(self.slot)

    @property
    def axes(self) -> List[str]:
        """Labels of the drive channels ("1A", "1B", "1C")."""
        return [f"{self.slot}{'ABC'[c]}" for c in range(self.channels)]

    def __str__(self) -> str:
        if self.kind != "drive":
            return f"slot {self.slot}: {self.kind}"
        if not self.channels:
            return f"slot {self.slot}: drive (not answering)"
        encoder = ", encoder module in slot %d" % (self.slot + 1) if self.encoder else ""
        return f"slot {self.slot}: drive, axes {' '.join(self.axes)}{encoder}"


@dataclass
class ChannelRecord:
    """One user-memory record: the desktop program's settings of one channel.

    ``param_a``, ``param_b`` and ``invert`` belong to the profile named by ``type``; storing a
    record whose type names a profile fills them from the profile table, as the desktop does.
    ``type`` and ``tag`` are 1 to 8 characters without blanks.
    """

    frequency: int = 200
    step_size: int = 100
    temperature: int = 293
    type: str = "PROFILE1"
    tag: str = "-"
    param_a: int = 6000
    param_b: int = 3
    invert: int = 0

    def drive_settings(self) -> DriveSettings:
        """The record as the drive settings of an axis."""
        return DriveSettings(self.type, self.temperature, self.frequency, self.step_size)


class UserMemory:
    """The controller's user memory: 18 channel records, index 3 * module + channel - 3.

    ``ctl.user_memory[4]`` reads record 4 (module 2, channel A), ``ctl.user_memory[4] = record``
    writes it to the working memory, :meth:`commit` keeps the working memory over a power cycle.
    """

    SIZE = 18

    def __init__(self, controller: "Controller") -> None:
        self._controller = controller

    @staticmethod
    def index(module: int, channel: int) -> int:
        """The record index of a channel."""
        if not (1 <= module <= 6 and 1 <= channel <= 3):
            raise ValueError("module is 1 to 6 and channel 1 to 3")
        return 3 * module + channel - 3

    @staticmethod
    def _check(index: int) -> Tuple[int, int]:
        if isinstance(index, bool) or not isinstance(index, int) or not 1 <= index <= UserMemory.SIZE:
            raise IndexError("user-memory records are 1 to 18")
        module = (index - 1) // 3 + 1
        return module, index - 3 * (module - 1)

    def __len__(self) -> int:
        return self.SIZE

    def __getitem__(self, index: int) -> ChannelRecord:
        module, channel = self._check(index)
        return self.channel(module, channel)

    def __iter__(self) -> Iterator[ChannelRecord]:
        return (self[i] for i in range(1, self.SIZE + 1))

    def channel(self, module: int, channel: int) -> ChannelRecord:
        """Read the record of a channel."""
        dev = self._controller._device()
        f, r, t, b, a, inv, type_, tag = _log.call(dev.load_channel, module, channel)
        return ChannelRecord(f, r, t, type_, tag, a, b, inv)

    def __setitem__(self, index: int, record: ChannelRecord) -> None:
        self._check(index)
        dev = self._controller._device()
        a, b, inv = record.param_a, record.param_b, record.invert
        for name, p_a, p_b, p_inv in dev.profiles():
            if name == record.type:
                a, b, inv = p_a, p_b, p_inv
        values = (record.frequency, record.step_size, record.temperature, b, a, inv, record.type, record.tag)
        _log.call(dev.store_channel, index, values)

    def commit(self) -> None:
        """Commit the working user memory to the controller's flash ("STF")."""
        _log.call(self._controller._device().commit)


_LABEL = re.compile(r"^([1-6])([A-Ca-c])$")


class Controller:
    """One controller, reached through a link or the in-process simulator.

    Made by :func:`connect`; a context manager that closes the link at the end, and stops every
    module with a running job first when the block is left by an exception. Safe to use from
    several threads: each call holds the controller's operation lock for its exchanges, and
    releases the GIL while it waits. Moves on axes of different drive modules run side by side;
    the controller reports status and stops per module, so a second move on a module with a
    running job is refused.
    """

    def __init__(self, device: "_core.Device", simulator: Optional[Simulator] = None) -> None:
        self._dev = device
        #: The simulator this controller runs on, or None.
        self.simulator = simulator
        #: The user memory (see :class:`UserMemory`).
        self.user_memory = UserMemory(self)
        self._modules: List[Module] = []
        self.configuration = ""
        #: The controller's closed loop (see :class:`ClosedLoop`).
        self.closed_loop = ClosedLoop(self)
        self._jobs: Dict[int, "Job"] = {}  # the running job of each drive module
        self._jobs_lock = threading.Lock()

    def _device(self) -> "_core.Device":
        if self._dev.closed:
            raise LinkError("the controller is closed")
        return self._dev

    @property
    def description(self) -> str:
        """What the link talks to ("127.0.0.1:2048", "simulator C,O,C,O,R,-", ...)."""
        return self._dev.description

    @property
    def closed(self) -> bool:
        """True after :meth:`close`."""
        return self._dev.closed

    def close(self) -> None:
        """Close the link. Later calls raise :class:`LinkError`."""
        self._dev.close()

    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, exc_type, exc, traceback) -> None:
        """Close the link; when the block is left by an exception (Ctrl+C too), first stop every
        module with a job of this controller still running."""
        try:
            if exc_type is not None:
                self.stop_running_jobs()
        finally:
            self.close()

    def stop_running_jobs(self) -> None:
        """Stop every drive module with a job of this controller still running (errors ignored,
        each stop bounded as :meth:`Axis.stop`)."""
        with self._jobs_lock:
            jobs = list(self._jobs.values())
        for job in jobs:
            try:
                job.cancel()
            except Error:
                pass

    def _claim(self, module: int, job: "Job") -> None:
        """Make job the running job of the module; ControllerError when another one runs there.

        A job nobody waited for may have ended meanwhile: it is asked once before it blocks."""
        for attempt in range(2):
            with self._jobs_lock:
                running = self._jobs.get(module)
                if running is None or running.finished:
                    self._jobs[module] = job
                    return
            if attempt == 0 and running._sent:  # one still starting is busy whatever the status says
                running.done()
        raise ControllerError(
            f"module {module} is busy with {running!r} of this controller; wait for it or cancel it first",
            "",
            "",
        )

    def _running(self, module: int) -> Optional["Job"]:
        with self._jobs_lock:
            return self._jobs.get(module)

    def _release(self, module: int, job: "Job") -> None:
        with self._jobs_lock:
            if self._jobs.get(module) is job:
                del self._jobs[module]

    def modules(self) -> List[Module]:
        """Scan the rack and return its six slots, drive modules with channels and encoder."""
        configuration, slots = _log.call(self._device().scan)
        self.configuration = configuration
        self._modules = [Module(slot, kind, channels, encoder, self) for slot, kind, channels, encoder in slots]
        return list(self._modules)

    def axes(self) -> List[Axis]:
        """Every drive channel of the rack, in slot and channel order."""
        return [self.axis(label) for m in self.modules() for label in m.axes]

    def axis(self, module: Union[str, int], channel: Optional[int] = None) -> Axis:
        """The axis "1A" (or ``axis(1, 1)``), with drive settings read from the user memory.

        Raises :class:`ControllerError` when the slot holds no drive module that answers, and
        ValueError for a channel the module does not have.
        """
        if isinstance(module, str) and channel is None:
            match = _LABEL.match(module)
            if not match:
                raise ValueError(f"an axis label is a module digit 1 to 6 and a letter A to C, not {module!r}")
            module, channel = int(match.group(1)), "ABC".index(match.group(2).upper()) + 1
        if isinstance(module, bool) or not isinstance(module, int) or not 1 <= module <= 6:
            raise ValueError("module is 1 to 6")
        if isinstance(channel, bool) or not isinstance(channel, int) or not 1 <= channel <= 3:
            raise ValueError("channel is 1 to 3")
        dev = self._device()
        _log.call(dev.status, module)  # an empty slot answers "MNF": ControllerError
        channels = _log.call(dev.descriptor, module)
        if channel > channels:
            raise ValueError(f"module {module} has {channels} channel{'s' if channels > 1 else ''}")
        settings = self.user_memory.channel(module, channel).drive_settings()
        return Axis(self, module, channel, settings)

    def exchange(self, line: str) -> str:
        """Send one raw command line (without carriage return) and return the reply text.

        The reply is returned whatever it says ("MNF" and "CNR" too); only a link failure raises.
        """
        try:
            return self._device().exchange(line)
        finally:
            if _log.logger.isEnabledFor(10):
                _log.emit()

    @property
    def profiles(self) -> List[str]:
        """The drive profile names an axis's ``type`` may take, in table order."""
        return [name for name, _a, _b, _inv in self._dev.profiles()]

    def ping(self) -> None:
        """Check that the controller answers (one short query); raises :class:`LinkError` if not."""
        _log.call(self._device().ping)

    def status(self, module: int) -> str:
        """The status word of a drive module ("_STP", "_MOV", ...)."""
        return _log.call(self._device().status, module)

    def failsafe(self, module: int) -> int:
        """The failsafe bits of a drive module (0: all good)."""
        return _log.call(self._device().failsafe, module)

    def reset_failsafe(self, module: int) -> int:
        """Reset the failsafe state of a drive module ("RFS"); returns the bits read afterwards."""
        if isinstance(module, bool) or not isinstance(module, int) or not 1 <= module <= 6:
            raise ValueError("module is 1 to 6")
        _wire.expect(self, _wire.rfs_line(module), "_RFS", 0, f"failsafe reset of module {module}")
        return self.failsafe(module)

    def sensor_module(
        self, slot: int, stages: Union[StageLike, Sequence[Optional[StageLike]]] = ()
    ) -> SensorModule:
        """The sensor module in ``slot``, its channels given the stage types ``stages`` (one per
        channel, or one for all three).

        Raises :class:`ControllerError`, without sending anything, when the rack scan found no
        sensor module there.
        """
        if isinstance(slot, bool) or not isinstance(slot, int) or not 1 <= slot <= 6:
            raise ValueError("slot is 1 to 6")
        if not isinstance(stages, Sequence) or isinstance(stages, str):
            stages = [stages] * 3
        if len(stages) > 3:
            raise ValueError("a sensor module has three channels")
        kinds = {m.slot: m.kind for m in self._modules}
        if kinds.get(slot) != "sensor":
            raise ControllerError(f"slot {slot} holds no sensor module ({kinds.get(slot, 'not scanned')})")
        return SensorModule(self, slot, stages)

    def sensors(self) -> List[Sensor]:
        """Every channel of every sensor module the last rack scan found, in slot order."""
        return [s for m in self._modules if m.kind == "sensor" for s in SensorModule(self, m.slot).channels]

    def now(self) -> float:
        """The controller clock's time in seconds (the simulator's own time for a simulator)."""
        return self._dev.now_ms() / 1000.0

    def sleep(self, seconds: float) -> None:
        """Wait on the controller's clock (passes at once on a simulator in virtual time).

        The wait is made of pieces of at most 100 ms, so Ctrl+C (and any other signal handler)
        interrupts it within 100 ms.
        """
        seconds = _seconds("seconds", seconds)
        dev = self._dev
        end = dev.now_ms() + seconds * 1000.0
        while True:
            left = end - dev.now_ms()
            if left <= 0:
                return
            dev.sleep_ms(min(left, _SLEEP_PIECE_MS))

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<Controller {self.description} {state}>"


def connect(target: Union[str, Simulator, None] = None, *, port: Optional[int] = None) -> Controller:
    """Connect to a controller and scan its rack.

    ``target`` as the command-line tool's selector: an IPv4 address (LAN; ``port`` replaces the
    command port 2048), an FTDI serial number or HID serial string (USB), ``"SERV:NAME"`` or
    ``"CMON:NAME"`` (a running pipe server or monitor); a :class:`Simulator`; or nothing for the
    first USB controller. Raises :class:`LinkError` when nothing answers.
    """
    if isinstance(target, Simulator):
        controller = Controller(_core.connect_simulator(target._sim), target)
    elif target is None or isinstance(target, str):
        controller = Controller(_core.connect(target, port or 0))
    else:
        raise TypeError("connect() takes a selector text, a Simulator or nothing")
    try:
        controller.modules()
    except BaseException:
        controller.close()
        raise
    return controller
