"""The sensor and closed-loop devices in PyTango's DeviceTestContext against the in-process
simulator (rack C,O,C,O,R,-: the sensor module in slot 5 reads the stages of the drive module in
slot 3), each context in a forked child as in test_tango.py.
"""

import os
import subprocess
import sys
import tempfile
import threading

import pytest

tango = pytest.importorskip("tango")
from tango import DevFailed, DevState  # noqa: E402

import vellumotor as vm  # noqa: E402
from conftest import package_environment, stop_process  # noqa: E402
from test_tango import SERVER, device, isolated, start_server, wait_for  # noqa: E402

POT = vm.stage("CEDAR1-POT")


def loop_device(speed, **properties):
    """A closed-loop device on a simulator slow enough that a client sees every settle (the loop
    moves 0.25 set-point units a second of simulator time): a DeviceTestContext and the simulator."""
    from tango.test_context import DeviceTestContext
    from vellumotor_tango import VellumotorClosedLoop, shared

    sim = vm.Simulator(speed=speed)
    shared.install("test", vm.connect(sim))
    properties = {"Selector": "test", **properties}
    return DeviceTestContext(VellumotorClosedLoop, properties=properties, host="127.0.0.1", process=False), sim


def test_sensor_position_extremes_and_change_events_follow_the_stage():
    def body():
        from vellumotor_tango import VellumotorSensor, shared

        context, sim = device(VellumotorSensor, Module=5, Channel=2, Stage="CEDAR1-POT")
        with context as sensor:
            sensor.set_source(tango.DevSource.DEV)  # not the polling thread's last reading
            ctl = shared.controller("test")
            assert sensor.state() == DevState.ON
            assert sensor.get_attribute_config("Position").unit == "m"
            channel = ctl.sensor_module(5, POT).channels[1]
            start = sensor.Position
            assert start == channel.position()
            events, lock = [], threading.Lock()

            def on_position(e):
                if not e.err:
                    with lock:
                        events.append(e.attr_value.value)

            subscription = sensor.subscribe_event("Position", tango.EventType.CHANGE_EVENT, on_position)
            ctl.axis("3B").move_steps(3000, "cw", frequency=1000)  # the drive below the module
            end = sensor.Position
            assert end > start and end == channel.position()
            # The polling thread reports the new position; the values only grow, the first is the start.
            wait_for(lambda: events and events[-1] == end)
            with lock:
                assert events[0] == start and events == sorted(events)
            assert (sensor.Minimum, sensor.Maximum) == (start, end)
            ctl.axis("3B").move_steps(1000, "ccw", frequency=1000)
            assert (sensor.Minimum, sensor.Maximum) == (start, end)
            sensor.ResetMinMax()
            assert start < sensor.Minimum == sensor.Maximum == sensor.Position == channel.position() < end
            assert sensor.get_attribute_config("Position").events.ch_event.abs_change != "Not specified"
            sensor.unsubscribe_event(subscription)  # the test server stops only without subscribers

    isolated(body)


def test_sensor_excitation_and_states():
    def body():
        from vellumotor_tango import VellumotorSensor

        context, sim = device(VellumotorSensor, Module=5, Channel=1, Stage="MAPLE1-ENC")
        with context as sensor:
            sensor.set_source(tango.DevSource.DEV)
            assert sensor.get_attribute_config("Position").unit == "rad"
            sensor.ExcitationFrequency = 2000
            sensor.Excitation = 40
            assert (sensor.ExcitationFrequency, sensor.Excitation) == (2000, 40)
            assert "EXS 14 2000 40\r" in sim.lines()
            for name, bad in (("Excitation", 5), ("Excitation", 101), ("ExcitationFrequency", 0)):
                with pytest.raises(DevFailed):
                    sensor.write_attribute(name, bad)
            sensor.Excitation = 0
            assert sensor.state() == DevState.OFF and sensor.Position == 0
            sensor.Excitation = 100
            assert sensor.state() == DevState.ON and sensor.Position > 0
            sim.add_fault("noreply")
            assert sensor.state() == DevState.FAULT and "cannot be reached" in sensor.status()
            with pytest.raises(DevFailed):
                sensor.Position
            sim.clear_faults()
            assert sensor.state() == DevState.ON

    isolated(body)


@pytest.mark.parametrize(
    "properties, reason",
    [
        ({"Module": 5, "Stage": "ASPEN1"}, "no position sensor"),
        ({"Module": 5, "Stage": "NO-SUCH-STAGE"}, "NO-SUCH-STAGE"),
        ({"Module": 3, "Stage": "CEDAR1-POT"}, "no sensor module"),
        ({"Module": 5, "Channel": 4, "Stage": "CEDAR1-POT"}, "Channel is 1 to 3"),
    ],
)
def test_sensor_fault_for_a_wrong_configuration(properties, reason):
    def body():
        from vellumotor_tango import VellumotorSensor

        context, _sim = device(VellumotorSensor, **properties)
        with context as sensor:
            assert sensor.state() == DevState.FAULT and reason in sensor.status()
            with pytest.raises(DevFailed):
                sensor.Position

    isolated(body)


def test_closed_loop_enable_set_points_settle_and_exit():
    def body():
        context, sim = loop_device(2, Temperature=4, Tolerance=0.0005)  # a set-point: 1 s
        with context as loop:
            assert loop.state() == DevState.OFF
            states, lock = [], threading.Lock()

            def on_state(e):
                if not e.err:
                    with lock:
                        states.append(e.attr_value.value)

            loop.Enable(["CEDAR1-POT"])
            assert sum(line.startswith("FBEN ") for line in sim.lines()) == 3
            assert loop.state() == DevState.ON
            subscription = loop.subscribe_event("State", tango.EventType.CHANGE_EVENT, on_state)
            sim.clear_lines()
            loop.SetPoints = [0.5, -0.1, 0.0]
            assert sim.lines()[0].startswith("FBCS 0.500000000 1 -0.100000000 1 ")
            assert loop.state() == DevState.MOVING
            wait_for(lambda: loop.state() == DevState.ON)
            assert list(loop.SetPoints) == [0.5, -0.1, 0.0]
            # The events of a set-point: ON when subscribed, MOVING, ON again once it holds (a late
            # event of Enable's own follow-up may repeat the first ON).
            def changes():
                return [s for n, s in enumerate(states) if n == 0 or s != states[n - 1]]

            wait_for(lambda: len(changes()) >= 3)
            assert changes()[:3] == [DevState.ON, DevState.MOVING, DevState.ON]
            sim.clear_lines()
            for bad in ([2.0, 0.0, 0.0], [0.1, 0.1], [float("nan"), 0.0, 0.0]):
                with pytest.raises(DevFailed):
                    loop.SetPoints = bad
            with pytest.raises(DevFailed):
                loop.Enable(["CEDAR1-POT", "CEDAR1-POT"])
            with pytest.raises(DevFailed):
                loop.Enable(["ASPEN1"])  # no position sensor
            assert not any(line.startswith(("FBCS", "FBEN")) for line in sim.lines())
            assert list(loop.SetPoints) == [0.5, -0.1, 0.0]
            loop.Exit()
            assert loop.state() == DevState.OFF and "FBXT\r" in sim.lines()
            wait_for(lambda: states[-1] == DevState.OFF)
            loop.unsubscribe_event(subscription)

    isolated(body)


def test_closed_loop_end_stop_search_stop_and_a_fault():
    def body():
        context, sim = loop_device(5)  # the end-stop search: 0.8 s, its time-out 4 s
        with context as loop:
            with pytest.raises(DevFailed):
                loop.SetPoints = [0.1, 0.0, 0.0]  # the controller refuses set-points of a disabled loop
            loop.Enable(["CEDAR1-POT"])
            loop.EndStopSearch([1, 5, 1])
            assert "FBFE 1 5 1\r" in sim.lines()
            assert loop.state() == DevState.MOVING
            wait_for(lambda: loop.state() == DevState.ON)
            loop.SetPoints = [-0.5, -0.5, -0.5]
            loop.Stop()
            assert loop.state() == DevState.OFF and "FBES\r" in sim.lines()
            # A rotary stage has no end stop: the search ends with a time-out, a fault of the loop.
            loop.Enable(["MAPLE1-ENC", "CEDAR1-POT", "CEDAR1-POT"])
            loop.EndStopSearch([0])
            assert "FBFE 0 1 0\r" in sim.lines()
            wait_for(lambda: loop.state() == DevState.FAULT)
            assert "axis 0 timed out" in loop.status()
            loop.Exit()
            sim.add_fault("noreply")
            assert loop.state() == DevState.FAULT and "cannot be reached" in loop.status()
            with pytest.raises(DevFailed):
                loop.Stop()
            sim.clear_faults()
            assert loop.state() == DevState.OFF

    isolated(body)


def test_server_without_database_makes_the_closed_loop_and_the_sensors_it_is_given():
    if not os.path.exists(SERVER):
        pytest.skip(f"{SERVER} is not built")
    with tempfile.TemporaryDirectory() as directory:
        args = ["pos", "--nodb", "--selector", "sim", "--endpoint", "127.0.0.1:0", "--axes", "1A"]
        server, port = start_server([*args, "--sensors", "5.1=cedar1-pot, 5.3=MAPLE1-ENC"], directory,
                                    package_environment())
        try:
            def body():
                name = f"tango://127.0.0.1:{port}/vellumotor/pos/{{}}#dbase=no"
                assert tango.DeviceProxy(name.format("closedloop")).state() == DevState.OFF
                sensors = [tango.DeviceProxy(name.format(n)) for n in ("sensor-5-1", "sensor-5-3")]
                assert [s.get_attribute_config("Position").unit for s in sensors] == ["m", "rad"]
                assert [s.state() for s in sensors] == [DevState.ON, DevState.ON]

            isolated(body)
        finally:
            stop_process(server)
        for bad in ("5.4=CEDAR1-POT", "7.1=CEDAR1-POT", "5.1", "5.1="):
            result = subprocess.run([sys.executable, SERVER, *args, "--sensors", bad], env=package_environment(),
                                    capture_output=True, text=True, timeout=60)
            assert result.returncode != 0 and "not SLOT.CHANNEL=STAGE" in result.stderr, bad
