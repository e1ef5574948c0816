"""The Tango device of one channel of a resistive sensor module."""

from __future__ import annotations

import threading

import vellumotor as vm
from tango import AttrWriteType, DevState, Except
from tango.server import Device, attribute, command, device_property

from . import shared

# Position is polled so that Tango's polling thread sends change events; a client sees a change of
# more than the absolute change (10 nm or 10 nrad by default, about 0.1 % of a sensor's range is
# far coarser) within one period.
_POLL_MS = 200
_ABS_CHANGE = "1e-8"


class VellumotorSensor(shared.EvaluatedState, Device):
    """One channel of a resistive sensor module: the position of the stage wired to it.

    Positions are in metres (linear stage) or radians (rotary stage), from the stage type in the
    Stage property. State ON while the channel can be read, OFF when the module's excitation is
    switched off (its readings are then 0), FAULT when the controller cannot be reached, the slot
    holds no sensor module or Stage names no stage with a position sensor (the reason in Status).
    """

    Selector = device_property(dtype=str, default_value="", doc="The controller (as VellumotorController)")
    Module = device_property(dtype=int, default_value=5, doc="Slot of the sensor module, 1 to 6")
    Channel = device_property(dtype=int, default_value=1, doc="Channel of the sensor module, 1 to 3")
    Stage = device_property(
        dtype=str, default_value="", doc="Stage type wired to the channel, a stage word such as CEDAR1-POT"
    )

    def init_device(self):
        super().init_device()
        self._lock = threading.RLock()
        self._sensor = None
        self.set_state(DevState.INIT)
        self._evaluate()

    def _connect(self) -> vm.Sensor:
        if self._sensor is None or self._sensor.module.controller.closed:
            record = vm.stage(self.Stage.strip())
            if not record.unit:
                raise ValueError(f"stage {record.word} has no position sensor")
            if not 1 <= self.Channel <= 3:
                raise ValueError("Channel is 1 to 3")
            ctl = shared.controller(self.Selector)
            try:
                module = ctl.sensor_module(self.Module, record)
            except vm.ControllerError:
                ctl.modules()  # the rack is not scanned yet on this connection, or has changed
                module = ctl.sensor_module(self.Module, record)
            self._sensor = module.channels[self.Channel - 1]
            for name in ("Position", "Minimum", "Maximum"):
                attr = self.get_device_attr().get_attr_by_name(name)
                properties = attr.get_properties()
                properties.unit = record.unit
                properties.standard_unit = "1"
                properties.display_unit = record.unit
                attr.set_properties(properties)
        return self._sensor

    def _evaluate(self):
        """Set State and Status from one exchange with the module."""
        with self._lock:
            try:
                sensor = self._connect()
                _frequency, duty = sensor.module.excitation
            except vm.LinkError as e:
                self._sensor = None
                self.set_state(DevState.FAULT)
                self.set_status(f"The controller cannot be reached: {e}")
                return
            except (vm.ControllerError, ValueError, TypeError) as e:
                self._sensor = None
                self.set_state(DevState.FAULT)
                self.set_status(f"Sensor {self.Module}.{self.Channel} is not available: {e}")
                return
            if duty == 0:
                self.set_state(DevState.OFF)
                self.set_status(f"Sensor {sensor.label}: the excitation is off, the readings are 0")
            else:
                self.set_state(DevState.ON)
                self.set_status(f"Sensor {sensor.label} reads stage {vm.stage(sensor.stage).word}")

    def _call(self, origin: str, action):
        with self._lock:
            try:
                return action(self._connect())
            except vm.Error as e:
                if isinstance(e, vm.LinkError):
                    self._sensor = None
                reason = "VM_LinkError" if isinstance(e, vm.LinkError) else "VM_ControllerError"
                Except.throw_exception(reason, str(e), f"VellumotorSensor.{origin}")
            except (ValueError, TypeError) as e:
                Except.throw_exception("VM_BadValue", str(e), f"VellumotorSensor.{origin}")

    @attribute(
        dtype=float,
        format="%.9g",
        polling_period=_POLL_MS,
        abs_change=_ABS_CHANGE,
        doc="Position of the stage on the channel, in metres (linear) or radians (rotary)",
    )
    def Position(self):
        return self._call("Position", lambda s: s.position())

    @attribute(dtype=float, format="%.9g", doc="Smallest position the module has seen since ResetMinMax")
    def Minimum(self):
        return self._call("Minimum", lambda s: s.minimum())

    @attribute(dtype=float, format="%.9g", doc="Largest position the module has seen since ResetMinMax")
    def Maximum(self):
        return self._call("Maximum", lambda s: s.maximum())

    @command(doc_in="none", doc_out="none")
    def ResetMinMax(self):
        """Start Minimum and Maximum again from the current position."""
        self._call("ResetMinMax", lambda s: s.reset_extremes())

    @attribute(
        dtype=int,
        access=AttrWriteType.READ_WRITE,
        unit="%",
        doc="Excitation duty cycle of the whole module: 0 (off) or 10 to 100 %",
    )
    @shared.in_force
    def Excitation(self):
        return self._call("Excitation", lambda s: s.module.excitation[1])

    @Excitation.write
    def Excitation(self, duty):
        self._call("Excitation", lambda s: s.module.set_excitation(int(duty), s.module.excitation[0]))

    @attribute(
        dtype=int,
        access=AttrWriteType.READ_WRITE,
        unit="Hz",
        doc="Excitation frequency of the whole module, 1 to 30000 Hz",
    )
    @shared.in_force
    def ExcitationFrequency(self):
        return self._call("ExcitationFrequency", lambda s: s.module.excitation[0])

    @ExcitationFrequency.write
    def ExcitationFrequency(self, frequency):
        self._call(
            "ExcitationFrequency", lambda s: s.module.set_excitation(s.module.excitation[1], int(frequency))
        )
