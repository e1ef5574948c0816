"""vellumotor: scripting API for the Vellumotor controller, with a virtual controller built in.

    import vellumotor as vm
    with vm.connect("192.168.1.20") as ctl:
        print(ctl.modules())
        ax = ctl.axis("1A")
        ax.move_steps(500, "cw", frequency=300)

    sim = vm.Simulator(rack="C,O,C,O,R,-", speed=50)
    with vm.connect(sim) as ctl:
        ...

Every line sent and every reply is logged at DEBUG on the logger ``vellumotor``.
"""

from .axis import CCW, CW, Axis, DriveSettings, Job, failsafe_messages
from .closed_loop import ClosedLoop, ClosedLoopState
from .controller import ChannelRecord, Controller, Module, UserMemory, connect
from .errors import ControllerError, Error, LinkError, Timeout
from .sensors import Sensor, SensorModule
from .simulator import Simulator
from .stages import Stage, stage, stage_words
from .units import AxisConfig, LimitError, PositionError

__all__ = [
    "connect",
    "Controller",
    "Module",
    "Axis",
    "Job",
    "DriveSettings",
    "ChannelRecord",
    "UserMemory",
    "Simulator",
    "Error",
    "LinkError",
    "ControllerError",
    "Timeout",
    "CW",
    "CCW",
    "failsafe_messages",
    "SensorModule",
    "Sensor",
    "ClosedLoop",
    "ClosedLoopState",
    "Stage",
    "stage",
    "stage_words",
    "AxisConfig",
    "LimitError",
    "PositionError",
]
