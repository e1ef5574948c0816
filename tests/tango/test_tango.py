"""The Tango device server: each device class in PyTango's DeviceTestContext against the
in-process simulator, and the real server process in "no database" mode against vmsim with two
client processes. Everything listens on 127.0.0.1 only; every process is stopped by its pid.

Tango serves one device context per process, so each DeviceTestContext runs in a forked child.
The simulators run 20 times faster than real time, so a move takes a fraction of a second.
"""

import multiprocessing
import os
import signal
import subprocess
import sys
import tempfile
import time
import traceback

import pytest

tango = pytest.importorskip("tango")
from tango import DevFailed, DevState  # noqa: E402
from tango.test_context import DeviceTestContext  # noqa: E402

import vellumotor as vm  # noqa: E402
from conftest import BUILD, ROOT, package_environment, stop_process, vmsim_process  # noqa: E402

SERVER = os.path.join(BUILD, "bin", "vellumotor-tango")
CLIENTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "clients.py")
SPEED = 20


def isolated(body):
    """Run body() in a forked child process; its failure fails the test."""
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)

    def child():
        try:
            body()
            send.send(None)
        except BaseException:
            send.send(traceback.format_exc())
        finally:
            os._exit(0)  # skip Tango's clean-up at exit, which can hang

    process = context.Process(target=child)
    process.start()
    send.close()  # so a child that dies leaves an empty pipe behind instead of a 60 s wait
    try:
        if not receive.poll(60):
            pytest.fail("the device test did not finish within 60 s")
        try:
            failure = receive.recv()
        except EOFError:
            process.join(5)
            failure = f"the device test process died (exit code {process.exitcode})"
    finally:
        if process.is_alive():
            os.kill(process.pid, signal.SIGKILL)
        process.join()
    if failure:
        pytest.fail(failure, pytrace=False)


def wait_for(condition, seconds=10.0):
    """Wait for the server's follower thread, not for a protocol: poll a condition."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.005)


def device(cls, rack="C,O,C,O,R,-", **properties):
    """A DeviceTestContext of cls on 127.0.0.1 against a fresh simulator; returns (context, sim)."""
    from vellumotor_tango import shared

    sim = vm.Simulator(rack=rack, speed=SPEED)
    shared.install("test", vm.connect(sim))
    context = DeviceTestContext(cls, properties={"Selector": "test", **properties}, host="127.0.0.1", process=False)
    return context, sim


def test_axis_states_and_position_during_and_after_a_move():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, Module=1, Channel=1, CountsPerStep=1)
        with context as axis:
            assert (axis.state(), axis.Position, axis.Frequency, axis.Type) == (DevState.ON, 0, 200, "PROFILE1")
            assert "count of the encoder module" in axis.get_attribute_config("Position").description
            axis.MoveRelative(1000)
            assert axis.state() == DevState.MOVING
            reading = axis.read_attribute("Position")
            assert reading.quality == tango.AttrQuality.ATTR_CHANGING and 0 <= reading.value < 1000
            with pytest.raises(DevFailed):
                axis.MoveRelative(10)  # one move at a time
            wait_for(lambda: axis.state() == DevState.ON)
            reading = axis.read_attribute("Position")
            assert (reading.value, reading.quality) == (1000, tango.AttrQuality.ATTR_VALID)
            assert sim.position(1, 1) == 1000
            axis.Frequency = 400
            axis.Position = 700  # moves back by 300
            wait_for(lambda: axis.state() == DevState.ON)
            assert axis.Position == 700 and sim.position(1, 1) == 700
            assert axis.read_attribute("Position").w_value == 700  # the set point stays
            assert "MOV 1 0 400 100 300 30 1 S\r" in sim.lines()
            axis.DefinePosition(0)
            assert axis.Position == 0
            for bad in (
                lambda: axis.write_attribute("Position", float("nan")),
                lambda: axis.DefinePosition(float("inf")),
                lambda: axis.Jog(0),
                lambda: axis.write_attribute("Type", "ASPEN1"),
            ):
                with pytest.raises(DevFailed):
                    bad()
            assert axis.state() == DevState.ON and axis.Position == 0

    isolated(body)


def test_axis_stop_and_abort_end_a_jog():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, Module=3, Channel=2)
        with context as axis:
            for command, direction in (("Stop", 1), ("Abort", -1)):
                axis.Jog(direction)
                assert axis.state() == DevState.MOVING
                wait_for(lambda: abs(sim.position(3, 2)) > 0)
                sim.clear_lines()
                axis.command_inout(command)
                wait_for(lambda: axis.state() == DevState.ON)
                stopped = sim.position(3, 2)
                assert axis.Position == stopped and "STP 3\r" in sim.lines()
            assert sim.position(3, 2) == stopped

    isolated(body)


def test_axis_alarm_from_a_failsafe_bit_and_fault_while_the_controller_is_silent():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, Module=1, Channel=3)
        with context as axis:
            sim.set_failsafe(1, 0x04)
            assert axis.state() == DevState.ALARM
            assert "WARNING: thermal overload on amplifier stage" in axis.status()
            assert axis.FailsafeState == 4
            sim.set_failsafe(1, 0)
            assert axis.state() == DevState.ON
            sim.add_fault("noreply")
            assert axis.state() == DevState.FAULT
            assert "cannot be reached" in axis.status()
            with pytest.raises(DevFailed):
                axis.Position
            sim.clear_faults()
            assert axis.state() == DevState.ON and axis.Position == 0

    isolated(body)


def test_axis_without_encoder_keeps_a_step_count():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, rack="C,-,-,-,-,-", Module=1, Channel=1)
        with context as axis:
            assert "step count kept by the server" in axis.get_attribute_config("Position").description
            axis.MoveRelative(-150)
            wait_for(lambda: axis.state() == DevState.ON)
            assert axis.Position == -150 == sim.position(1, 1)
            axis.Init()
            assert axis.Position == -150  # the server's count survives Init
            axis.DefinePosition(10)
            axis.Init()
            assert axis.Position == 10

    isolated(body)


def test_axis_without_encoder_counts_only_the_steps_made_before_a_module_stop():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, rack="C,-,-,-,-,-", Module=1, Channel=1)
        with context as axis, vm.connect(sim) as other:
            axis.MoveRelative(1000)
            wait_for(lambda: sim.position(1, 1) > 100)
            other.exchange("STP 1")  # another channel's device, or another client, stops the module
            wait_for(lambda: axis.state() == DevState.ON)
            made = sim.position(1, 1)
            assert made < 1000 and made <= axis.Position <= made + 40  # the end is seen within a poll
            assert "stopped" in axis.status()

    isolated(body)


def test_axis_position_references_limits_and_bad_values():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, Module=3, Channel=1)
        with context as axis:
            with pytest.raises(DevFailed, match="CountsPerStep"):
                axis.Position = 100  # counts are no steps while the ratio is unknown
            axis.DefinePosition(5000)
            axis.Init()
            assert axis.Position == 5000  # the offset survives Init
            config = axis.get_attribute_config("Position")
            config.min_value, config.max_value = "4000", "5100"
            axis.set_attribute_config(config)
            for bad in (lambda: axis.MoveRelative(2**40), lambda: axis.DefinePosition(1e300),
                        lambda: axis.MoveRelative(200), lambda: axis.MoveRelative(-1001)):
                with pytest.raises(DevFailed):
                    bad()
            assert axis.Position == 5000 and sim.position(3, 1) == 0
            axis.Jog(1)
            wait_for(lambda: axis.state() == DevState.ON)
            assert 5100 <= axis.Position <= 5130 and "limit" in axis.status()
            with pytest.raises(DevFailed, match="limit"):
                axis.Jog(1)

    isolated(body)


def test_controller_device_rack_exchange_fault_and_recovery():
    def body():
        from vellumotor_tango import VellumotorController

        context, sim = device(VellumotorController)
        with context as ctl:
            assert ctl.state() == DevState.ON
            assert ctl.Modules.splitlines()[0] == "slot 1: drive, axes 1A 1B 1C, encoder module in slot 2"
            assert ctl.Exchange("STS 6") == "MNF"
            sim.add_fault("eject:3")
            ctl.Rescan()
            assert ctl.Modules.splitlines()[2] == "slot 3: empty"
            sim.clear_faults()  # the slot stays empty
            sim.add_fault("noreply")
            assert ctl.state() == DevState.FAULT and "cannot be reached" in ctl.status()
            with pytest.raises(DevFailed):
                ctl.Exchange("STS 1")
            sim.clear_faults()
            assert ctl.state() == DevState.ON

    isolated(body)


def start_server(args, directory, env):
    """The server process with a ready file; returns (process, port)."""
    ready = os.path.join(directory, "ready")
    server = subprocess.Popen([sys.executable, SERVER, *args, "--ready-file", ready], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    deadline = time.monotonic() + 20
    while not os.path.exists(ready):  # start-up of the server process
        if server.poll() is not None or time.monotonic() > deadline:
            stop_process(server)
            pytest.fail("the server did not start:\n" + server.stdout.read())
        time.sleep(0.01)
    with open(ready) as f:
        host, port = f.read().split()
    assert host == "127.0.0.1"
    return server, port


def run_clients(port, *roles):
    """Client processes at once; each must end with a line "OK ..."."""
    env = package_environment()
    clients = {role[0]: subprocess.Popen([sys.executable, CLIENTS, role[0], port, *role[1:]], env=env,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
               for role in roles}
    try:
        for role, client in clients.items():
            output, _ = client.communicate(timeout=60)
            assert client.returncode == 0 and output.splitlines()[-1].startswith("OK"), f"{role}:\n{output}"
    finally:
        for client in clients.values():
            stop_process(client)


def test_server_process_shared_by_two_clients():
    if not os.path.exists(SERVER):
        pytest.skip(f"{SERVER} is not built")
    with vmsim_process("--speed", str(SPEED)) as sim_port, tempfile.TemporaryDirectory() as directory:
        server, port = start_server(["e2e", "--nodb", "--selector", f"127.0.0.1:{sim_port}",
                                     "--endpoint", "127.0.0.1:0"], directory, package_environment())
        try:
            run_clients(port, ("mover",), ("stopper",))
            assert server.poll() is None
        finally:
            stop_process(server)


def test_server_process_configured_by_device_properties():
    # A file database stands in for the Tango database: the devices and properties that
    # tango_admin would register.
    if not os.path.exists(SERVER):
        pytest.skip(f"{SERVER} is not built")
    with vmsim_process() as sim_port, tempfile.TemporaryDirectory() as directory:
        database = os.path.join(directory, "tango.db")
        selector = f"127.0.0.1:{sim_port}"
        with open(database, "w") as f:
            f.write("vellumotor-tango/lab/DEVICE/VellumotorController: lab/vm/controller\n"
                    "vellumotor-tango/lab/DEVICE/VellumotorAxis: lab/vm/3b\n"
                    f"lab/vm/controller->Selector: {selector}\n"
                    f"lab/vm/3b->Selector: {selector}\nlab/vm/3b->Module: 3\nlab/vm/3b->Channel: 2\n")
        server, port = start_server(["lab", "-ORBendPoint", "giop:tcp:127.0.0.1:0", f"-file={database}"],
                                    directory, package_environment())
        try:
            run_clients(port, ("reader", "lab/vm"))
        finally:
            stop_process(server)


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_server_process_starts_in_fault_recovers_and_takes_the_documented_selectors():
    if not os.path.exists(SERVER):
        pytest.skip(f"{SERVER} is not built")
    bad = subprocess.run([sys.executable, SERVER, "x", "--nodb", "--endpoint", "127.0.0.1:99999"],
                         env=package_environment(), capture_output=True, text=True, timeout=60)
    assert bad.returncode == 2 and "port 0 to 65535" in bad.stderr
    sim_port = free_port()
    for selector, start_vmsim in ((f"127.0.0.1:{sim_port}", True), ("sim:C,O,C,O,R,-:10", False)):
        with tempfile.TemporaryDirectory() as directory:
            server, port = start_server(["demo", "--nodb", "--selector", selector, "--axes", "1A",
                                         "--endpoint", "127.0.0.1:0"], directory, package_environment())
            try:
                def body():
                    axis = tango.DeviceProxy(f"tango://127.0.0.1:{port}/vellumotor/demo/1a#dbase=no")
                    if start_vmsim:  # nothing answers yet: FAULT, then ON once vmsim listens
                        assert axis.state() == DevState.FAULT, axis.status()
                        vmsim = subprocess.Popen([os.path.join(BUILD, "sim", "vmsim"), "--bind", "127.0.0.1",
                                                  "--port", str(sim_port), "--no-discovery"],
                                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                        try:
                            wait_for(lambda: axis.state() == DevState.ON)
                        finally:
                            stop_process(vmsim)
                    else:
                        assert axis.state() == DevState.ON, axis.status()

                isolated(body)
                if not start_vmsim:
                    # The client of docs/tango.md as written, pointed at this server.
                    client = docs_client().replace("tango://127.0.0.1:10000/vellumotor/lab/1a",
                                                   f"tango://127.0.0.1:{port}/vellumotor/demo/1a")
                    result = subprocess.run([sys.executable, "-c", client], env=package_environment(),
                                            capture_output=True, text=True, timeout=60)
                    assert result.returncode == 0, result.stderr
                    assert result.stdout.splitlines()[-1].startswith("ON 500.0"), result.stdout
                assert server.poll() is None
            finally:
                stop_process(server)


def docs_client():
    with open(os.path.join(ROOT, "docs", "tango.md")) as f:
        text = f.read()
    section = text[text.index("## A client"):]
    return section[section.index("```python") + len("```python"):section.index("```\n", section.index("```python"))]


def test_the_last_position_event_of_a_move_ending_in_fault_is_invalid():
    def body():
        from vellumotor_tango import VellumotorAxis

        context, sim = device(VellumotorAxis, Module=1, Channel=1)
        with context as axis:
            events = []
            subscription = axis.subscribe_event("Position", tango.EventType.CHANGE_EVENT,
                                                lambda e: e.err or events.append(e.attr_value.quality))
            try:
                axis.MoveRelative(5000)
                wait_for(lambda: sim.position(1, 1) > 100)
                sim.add_fault("noreply")
                wait_for(lambda: events and events[-1] == tango.AttrQuality.ATTR_INVALID)
                assert tango.AttrQuality.ATTR_CHANGING in events
            finally:
                sim.clear_faults()
                axis.unsubscribe_event(subscription)

    isolated(body)
