"""The motor interface of VellumotorAxis (user units, references, velocity, fixed attributes,
limits, failsafe reset) in PyTango's DeviceTestContext against the in-process simulator, each
context in a forked child as in test_tango.py. The simulator's encoder counts one count per step.
"""

import pytest

tango = pytest.importorskip("tango")
from tango import DevFailed, DevState  # noqa: E402

from test_tango import device, isolated, wait_for  # noqa: E402


def settle(axis):
    wait_for(lambda: axis.state() == DevState.ON)


def test_user_units_offset_sign_and_references_over_init():
    def body():
        from vellumotor_tango import VellumotorAxis

        # An installation from before Offset: its PositionOffset (counts) becomes the Offset.
        context, sim = device(VellumotorAxis, Module=1, Channel=1, CountsPerStep=1, PositionOffset=300)
        with context as axis:
            assert (axis.Offset, axis.Sign, axis.Step_per_unit, axis.Position) == (300, 1, 1, 300)
            axis.MoveRelative(100)
            settle(axis)
            axis.Step_per_unit, axis.Sign = 10, -1
            assert axis.DialPosition == 10 and axis.Position == -10 + 300
            axis.DefinePosition(5)
            assert (axis.Offset, axis.Position) == (15, 5)
            axis.Position = 2  # user units: (2 - 5) x -1 x 10 = 30 steps clockwise
            settle(axis)
            assert sim.position(1, 1) == 130 and axis.Position == 2 and axis.DialPosition == 13
            axis.Init()
            assert (axis.Offset, axis.Sign, axis.Step_per_unit, axis.Position) == (15, -1, 10, 2)
            for name, bad in (("Sign", 0), ("Sign", 2), ("Step_per_unit", 0), ("Step_per_unit", -1),
                              ("Offset", float("nan"))):
                with pytest.raises(DevFailed):
                    axis.write_attribute(name, bad)
            assert (axis.Offset, axis.Sign, axis.Step_per_unit) == (15, -1, 10)
            axis.Offset = 0
            assert axis.Position == -13

    isolated(body)


def test_position_write_corrects_from_the_encoder():
    def body():
        from vellumotor_tango import VellumotorAxis

        # The device is told 0.9 counts per step, the encoder counts 1: the first move overshoots
        # and the corrections end on the target.
        context, sim = device(VellumotorAxis, Module=1, Channel=1, CountsPerStep=0.9)
        with context as axis:
            axis.Position = 1000
            settle(axis)
            assert axis.Position == 1000 == sim.position(1, 1)
            moves = [line for line in sim.lines() if line.startswith("MOV 1 ")]
            assert len(moves) > 1 and "from its target" not in axis.status()

    isolated(body)


def test_position_write_and_velocity_need_the_encoder_counts_per_step():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, Module=3, Channel=1)  # ratio not known
        with context as axis:
            assert axis.read_attribute("Velocity").quality == tango.AttrQuality.ATTR_INVALID
            for name, value in (("Position", 10), ("Velocity", 10)):
                with pytest.raises(DevFailed, match="CountsPerStep"):
                    axis.write_attribute(name, value)
            assert sim.position(3, 1) == 0

    isolated(body)


def test_velocity_and_the_attributes_the_drive_cannot_change():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, rack="C,-,-,-,-,-", Module=1, Channel=2)
        with context as axis:
            axis.Step_per_unit = 10
            axis.Frequency = 200
            assert axis.Velocity == 20 == axis.Base_rate
            axis.Velocity = 40.04  # rounded to whole steps per second
            assert axis.Frequency == 400 and axis.Velocity == 40
            for name, value in (("Velocity", 0.01), ("Velocity", 7000), ("Acceleration", 0.5),
                                ("Deceleration", 1), ("Base_rate", 10)):
                with pytest.raises(DevFailed):
                    axis.write_attribute(name, value)
            axis.Acceleration, axis.Deceleration, axis.Base_rate = 0, 0, 40  # their fixed values
            assert (axis.Acceleration, axis.Deceleration, axis.Frequency) == (0, 0, 400)
            assert list(axis.Limit_switches) == [False, False, False]
            assert "no limit or home switch" in axis.get_attribute_config("Limit_switches").description
            axis.MoveRelative(40)
            settle(axis)
            assert "MOV 1 1 400 100 40 30 2 S\r" in sim.lines()

    isolated(body)


def test_limits_in_user_units_bound_every_way_of_moving():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, rack="C,-,-,-,-,-", Module=1, Channel=1)
        with context as axis:
            axis.Step_per_unit, axis.Sign = 10, -1  # clockwise steps lower Position
            config = axis.get_attribute_config("Position")
            config.min_value, config.max_value = "-5", "5"
            axis.set_attribute_config(config)
            for bad in (lambda: axis.write_attribute("Position", 6), lambda: axis.MoveRelative(51),
                        lambda: axis.MoveRelative(-60)):
                with pytest.raises(DevFailed):
                    bad()
            assert sim.position(1, 1) == 0
            axis.Position = -3  # 30 steps clockwise
            settle(axis)
            assert sim.position(1, 1) == 30 and axis.Position == -3
            axis.Jog(-1)  # counter-clockwise: Position grows to its high limit
            settle(axis)
            assert 5 <= axis.Position < 10 and "limit" in axis.status()  # stopped within a poll
            with pytest.raises(DevFailed, match="limit"):
                axis.Jog(-1)
            axis.Jog(1)  # the other way is free; Stop ends it
            wait_for(lambda: axis.Position < 4)
            axis.Stop()
            settle(axis)
            assert -5 <= axis.Position < 4

    isolated(body)


def test_reset_failsafe_clears_the_alarm():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, Module=1, Channel=1)
        with context as axis:
            sim.set_failsafe(1, 0x40)
            assert axis.state() == DevState.ALARM
            sim.clear_lines()
            assert axis.ResetFailsafe() == 0
            assert "RFS 1\r" in sim.lines() and axis.state() == DevState.ON

    isolated(body)


@pytest.mark.parametrize("kind", ["axis", "sensor"])
def test_set_fields_start_from_the_values_in_force(kind):
    """A GUI's set field shows the write value: before any write it must be the value in force,
    not 0, and it follows a change made through another attribute."""

    def body():
        from vellumotor_tango import VellumotorAxis, VellumotorSensor

        if kind == "axis":
            context, _ = device(VellumotorAxis, Module=1, Channel=1, CountsPerStep=1, PositionOffset=300)
        else:
            context, _ = device(VellumotorSensor, Module=5, Channel=1, Stage="MAPLE1-ENC")
        with context as dev:
            dev.set_source(tango.DevSource.DEV)
            names = [a.name for a in dev.attribute_list_query() if a.writable == tango.AttrWriteType.READ_WRITE]
            assert len(names) == (12 if kind == "axis" else 2)
            for name in names:
                read = dev.read_attribute(name)
                assert read.w_value == read.value, name
            if kind == "axis":
                dev.Velocity = 50  # sets Frequency
                read = dev.read_attribute("Frequency")
                assert read.w_value == read.value == 50

    isolated(body)
