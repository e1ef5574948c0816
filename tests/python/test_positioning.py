"""Sensor modules, closed loop, failsafe reset and user units against the in-process simulator
(virtual time), and end to end against one vmsim process."""

import math
import os
import re
import subprocess
import sys

import pytest

import vellumotor as vm
from conftest import BUILD, EXAMPLES, ROOT, package_environment, vmsim_process

HALF_SCALE = 8388608
CEDAR = 14500 / 2**24 / 1e6  # metres per count of a CEDAR1-POT stage


@pytest.fixture
def ctl():
    """A controller on the default rack in virtual time, with the lines of its scan forgotten."""
    with vm.connect(vm.Simulator(virtual_time=True)) as controller:
        controller.simulator.clear_lines()
        yield controller


@pytest.fixture
def sim(ctl):
    return ctl.simulator


def sent(sim):
    return [line.rstrip("\r") for line in sim.lines()]


# --- sensor modules ------------------------------------------------------------------------------


def test_sensor_positions_follow_the_steps_of_the_drive_below(sim, ctl):
    rsm = ctl.sensor_module(5, ["CEDAR1-POT", "CEDAR1-POT", "MAPLE1-ENC"])
    assert [s.label for s in ctl.sensors()] == ["5.1", "5.2", "5.3"]
    ctl.axis("3A").move_steps(100, "cw", type="PROFILE1", frequency=1000)
    ctl.axis("3C").move_steps(50, "ccw", type="PROFILE1", frequency=1000)
    assert rsm.readings() == (HALF_SCALE + 11600, HALF_SCALE, HALF_SCALE - 5800)
    assert rsm.channels[0].position() == pytest.approx((HALF_SCALE + 11600) * CEDAR)
    assert rsm.positions()[2] == pytest.approx((HALF_SCALE - 5800) * 7391.982714328925 / 2**24 / 1e6)
    assert rsm.channels[1].position("CEDAR1-POT") == pytest.approx(0.00725)
    assert {"PGV 14 1", "PGVA 14"} <= set(sent(sim))


def test_excitation_extremes_and_store(sim, ctl):
    rsm = ctl.sensor_module(5)
    ch = rsm.channels[0]
    ch.stage = "CEDAR1-POT"
    rsm.set_excitation(50)
    assert rsm.excitation == (5000, 50)
    rsm.set_excitation(0, frequency=1200)
    assert rsm.excitation == (1200, 0) and ch.reading() == 0  # no excitation, no signal
    rsm.set_excitation(100)
    ch.reset_extremes()
    ctl.axis("3A").move_steps(200, "cw", type="PROFILE1", frequency=1000)
    ctl.axis("3A").move_steps(300, "ccw", type="PROFILE1", frequency=1000)
    ch.reading()  # the module brings its extremes up to date when a line reaches it
    assert ch.minimum() == pytest.approx((HALF_SCALE - 11600) * CEDAR)
    assert ch.maximum() <= (HALF_SCALE + 200 * 116) * CEDAR
    rsm.store()
    assert {"EXS 14 5000 50", "EXS 14 1200 0", "MMR 14 1", "MIR 14 1", "MAR 14 1", "RSS 14"} <= set(sent(sim))


def test_high_frequency_recording_is_an_array_of_time_and_position(sim, ctl):
    ch = ctl.sensor_module(5, ["CEDAR1-POT"]).channels[0]
    data = ch.record()
    assert data.shape == (2048, 2)
    assert data[1, 0] == pytest.approx(204.8e-6) and data[-1, 0] == pytest.approx(2047 * 204.8e-6)
    assert abs(data[:, 1] - HALF_SCALE * CEDAR).max() <= 2.01 * CEDAR  # noise of +-2 counts
    lines = sent(sim)
    assert lines[0] == "BUF 14 1" and lines[1] == "BUR 14 0 1.450000E+04 L"


def test_a_sample_never_delivered_ends_the_recording(sim, ctl):
    sim.add_fault("answer:CNR@BUR")
    with pytest.raises(vm.ControllerError, match="not delivered after 100 requests"):
        ctl.sensor_module(5, ["CEDAR1-POT"]).channels[0].record()
    assert len(sent(sim)) == 101


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda ctl: ctl.sensor_module(1), vm.ControllerError),  # a drive module
        (lambda ctl: ctl.sensor_module(6), vm.ControllerError),  # an empty slot
        (lambda ctl: ctl.sensor_module(5).channels[0].position(), ValueError),  # no stage type
        (lambda ctl: ctl.sensor_module(5).channels[0].position("ASPEN1"), ValueError),  # no sensor
        (lambda ctl: ctl.sensor_module(5).channels[0].position("OAK7"), ValueError),
        (lambda ctl: ctl.sensor_module(5).set_excitation(5), ValueError),
        (lambda ctl: ctl.sensor_module(5).set_excitation(50, frequency=30001), ValueError),
        (lambda ctl: ctl.sensor_module(5).positions(["CEDAR1-POT"]), ValueError),
    ],
)
def test_absent_modules_and_bad_arguments_send_nothing(sim, ctl, call, error):
    with pytest.raises(error):
        call(ctl)
    assert sim.lines() == []


def test_a_pulled_sensor_module_is_a_controller_error(sim, ctl):
    rsm = ctl.sensor_module(5, "CEDAR1-POT")
    sim.add_fault("eject:5")
    with pytest.raises(vm.ControllerError) as error:
        rsm.positions()
    assert error.value.reply == "MNF"


# --- closed loop ---------------------------------------------------------------------------------


def test_enable_sends_the_tool_lines(sim, ctl):
    ctl.closed_loop.enable(["CEDAR1-POT", "ASPEN2-ENC", "MAPLE1-ENC"], [0.5, 0, 1], temperature=4)
    ctl.closed_loop.enable("CEDAR1-POT", 0.25, temperature=300, tolerance=0.000002, torque=2)
    assert sent(sim) == [
        "FBEN 0 1.450000E+04 L 0.000000E+00 3.000000E-01 12 0 5.000000E-01 -4000",
        "FBEN 1 -2.941176E-01 L 0.000000E+00 0.000000E+00 12 1 0.000000E+00 10",
        "FBEN 2 7.391983E+03 R 0.000000E+00 0.000000E+00 12 1 1.000000E+00 1",
    ] + ["FBEN %d 1.450000E+04 L 0.000000E+00 2.000000E+00 22 0 2.500000E-01 -4000" % a for a in range(3)]


def test_hold_a_set_point_and_leave(sim, ctl):
    loop = ctl.closed_loop
    loop.enable("CEDAR1-POT", 0.5, temperature=4)
    loop.set_points(0.5, -0.25, 0.001, absolute=True)
    assert not loop.state().finished
    state = loop.wait_settled(timeout=10)
    assert state.enabled and state.finished and not state.faults
    loop.set_points(0.1, 0, 0, absolute=[False, True, True])
    loop.end_stop_search(1, filter=5, zero=True)
    loop.wait_settled(timeout=30)
    loop.exit()
    assert not loop.state().enabled
    assert {"FBCS 0.500000000 1 -0.250000000 1 0.001000000 1", "FBCS 0.100000000 0 0.000000000 1 0.000000000 1",
            "FBFE 1 5 1", "FBXT"} <= set(sent(sim))


def test_wait_settled_on_sensors_and_its_time_out_stops_the_loop(sim, ctl):
    loop = ctl.closed_loop
    loop.enable("CEDAR1-POT", 0.5, temperature=4)
    sensors = ctl.sensor_module(5, ["CEDAR1-POT"] * 3).channels
    assert loop.wait_settled(sensors=sensors, tolerance=1e-9).finished
    loop.set_points(1, 1, 1)  # a full stroke takes 4 s
    with pytest.raises(vm.Timeout):
        loop.wait_settled(timeout=1)
    assert sent(sim)[-1] == "FBES" and not loop.state().enabled


def test_a_set_point_the_controller_refuses_stops_the_loop(sim, ctl):
    loop = ctl.closed_loop
    loop.enable("CEDAR1-POT", 0.5, temperature=4)
    loop.set_points(0.8, 0, 0)
    loop.set_points(0.8, 0, 0, absolute=False)  # 1.6 in all: beyond the stroke
    with pytest.raises(vm.ControllerError, match="axis 0 set-point refused"):
        loop.wait_settled(timeout=10)
    assert sent(sim)[-1] == "FBES"


def test_an_interrupted_wait_stops_the_loop(sim, ctl):
    class Interrupting:
        def position(self):
            raise KeyboardInterrupt

    ctl.closed_loop.enable("CEDAR1-POT", 0.5, temperature=4)
    with pytest.raises(KeyboardInterrupt):
        ctl.closed_loop.wait_settled(1e-9, sensors=[Interrupting()])
    assert sent(sim)[-1] == "FBES"


@pytest.mark.parametrize(
    "call",
    [
        lambda loop: loop.set_points(1.5, 0, 0),
        lambda loop: loop.set_points(0, math.nan, 0),
        lambda loop: loop.set_points(0, 0, -1.0001),
        lambda loop: loop.enable("ASPEN1", 0.5, 4),  # no position sensor
        lambda loop: loop.enable(["CEDAR1-POT"] * 2, 0.5, 4),
        lambda loop: loop.enable("CEDAR1-POT", 1.5, 4),
        lambda loop: loop.enable("CEDAR1-POT", 0.5, 301),
        lambda loop: loop.enable("CEDAR1-POT", 0.5, 4, torque=0),
        lambda loop: loop.end_stop_search(2),
        lambda loop: loop.end_stop_search(1, filter=21),
        lambda loop: loop.wait_settled(1e-9, sensors=loop.controller.sensors()),  # sensors without stage types
    ],
)
def test_out_of_range_arguments_send_nothing(sim, ctl, call):
    with pytest.raises(ValueError):
        call(ctl.closed_loop)
    assert sim.lines() == []


@pytest.mark.parametrize(
    "fault, call, error",
    [
        ("noreply@FBCS*1", lambda loop: loop.set_points(0.5, 0.5, 0.5), vm.LinkError),
        ("answer:CNR@FBFE*1", lambda loop: loop.end_stop_search(0), vm.ControllerError),
        ("answer:CNR@FBEN*1", lambda loop: loop.enable("CEDAR1-POT", 0.5, 4), vm.ControllerError),
    ],
)
def test_a_failed_line_that_may_move_stops_the_loop(sim, ctl, fault, call, error):
    ctl.closed_loop.enable("CEDAR1-POT", 0.5, temperature=4)
    sim.add_fault(fault)
    with pytest.raises(error):
        call(ctl.closed_loop)
    assert sent(sim)[-1] == "FBES" and not ctl.closed_loop.state().enabled


# --- failsafe reset ------------------------------------------------------------------------------


def test_failsafe_reset_returns_the_bits_read_afterwards(sim, ctl):
    sim.set_failsafe(3, 0x04)
    assert ctl.axis("3B").failsafe == 0x04
    assert ctl.axis("3B").reset_failsafe() == 0
    sim.set_failsafe(1, 0x10)
    assert ctl.modules()[0].reset_failsafe() == 0
    assert "RFS 3" in sent(sim) and "RFS 1" in sent(sim)
    sim.add_fault("answer:CNR@RFS")
    with pytest.raises(vm.ControllerError):
        ctl.reset_failsafe(1)


# --- user units and limits -----------------------------------------------------------------------


def test_encoder_positions_corrected_until_within_tolerance(sim, ctl):
    ax = ctl.axis("1A")
    ax.settings.frequency = 2000
    # 1000 steps and counts make a millimetre, but the configuration believes 900 steps do.
    ax.configure(units="mm", counts_per_unit=1000, steps_per_unit=900, limits=(-2, 2))
    assert ax.position_source == "encoder"
    assert ax.move_to(0.5) == pytest.approx(0.5, abs=0.0006)
    moves = [line for line in sent(sim) if line.startswith("MOV")]
    assert len(moves) > 1 and moves[0].endswith(" 450 30 1 S")
    assert ax.move_by(-0.25) == pytest.approx(0.25, abs=0.0006)
    ax.configure(units="mm", counts_per_unit=1000, steps_per_unit=900, max_moves=1)
    with pytest.raises(vm.PositionError):
        ax.move_to(-1)


def test_positions_without_an_encoder_come_from_commanded_steps():
    sim = vm.Simulator(rack="C,-,-,-,-,-", virtual_time=True)
    with vm.connect(sim) as ctl:
        ax = ctl.axis("1B")
        ax.configure(units="deg", steps_per_unit=10, sign=-1, offset=5.0, limits=(-10000, 6))
        assert ax.position_source == "steps" and ax.position == 5.0
        assert ax.move_to(-2.5) == -2.5
        assert sim.position(1, 2) == 75  # sign -1: a negative user move is clockwise steps
        assert ax.move_by(-6600) == -6602.5  # 66000 steps: two move lines
        assert sim.position(1, 2) == 75 + 66000
        sim.add_fault("noreply@STS")
        with pytest.raises(vm.LinkError):
            ax.move_by(1, timeout=1)
        sim.clear_faults()
        with pytest.raises(vm.PositionError, match="unknown"):
            ax.position
        ax.set_position(0)
        assert ax.position == 0


@pytest.mark.parametrize("rack, label, source", [("C,O,C,O,R,-", "1A", "encoder"), ("C,-,-,-,-,-", "1B", "steps")])
def test_a_stop_from_elsewhere_ends_a_positioning(monkeypatch, rack, label, source):
    sim = vm.Simulator(rack=rack, virtual_time=True)
    with vm.connect(sim) as ctl:
        ax = ctl.axis(label)
        ax.configure(units="mm", counts_per_unit=1000, steps_per_unit=900)
        assert ax.position_source == source
        sim.clear_lines()
        wait = vm.Job.wait

        def stopped_meanwhile(job, *args, **kwargs):
            ax.stop()  # another thread's stop, arriving while the move runs
            return wait(job, *args, **kwargs)

        monkeypatch.setattr(vm.Job, "wait", stopped_meanwhile)
        with pytest.raises(vm.PositionError, match="stopped"):
            ax.move_to(80)  # 72000 steps: two move lines, and corrections after them
        assert sum(line.startswith("MOV") for line in sent(sim)) == 1
        if source == "steps":
            with pytest.raises(vm.PositionError, match="unknown"):
                ax.position


@pytest.mark.parametrize(
    "call", [lambda ax: ax.move_to(2.01), lambda ax: ax.move_by(-4), lambda ax: ax.move_to(math.inf)]
)
def test_a_target_outside_the_limits_sends_no_move(sim, ctl, call):
    ax = ctl.axis("1A")
    ax.configure(units="mm", counts_per_unit=1000, steps_per_unit=1000, limits=(-2, 2))
    with pytest.raises(ValueError) as error:
        call(ax)
    assert not any(line.startswith(("MOV", "CCU", "CCD")) for line in sent(sim))
    assert isinstance(error.value, vm.LimitError) or "finite" in str(error.value)


def test_configuration_saved_and_loaded(tmp_path):
    config = vm.AxisConfig(units='m"m', steps_per_unit=1e3, counts_per_unit=2000, sign=-1, offset=0.1, limits=(-1, 2.5))
    config.save(tmp_path / "ax.toml")
    assert vm.AxisConfig.load(tmp_path / "ax.toml") == config
    with pytest.raises(ValueError):
        vm.AxisConfig.from_toml("units = 'mm'\nspeed = 3\n")
    with pytest.raises(ValueError):
        vm.AxisConfig(limits=(2, 1))


# --- end to end: docs snippets, vmsim, examples --------------------------------------------------


def doc_snippets():
    with open(os.path.join(ROOT, "docs", "python.md"), encoding="utf-8") as f:
        text = f.read()
    return [block for block in re.findall(r"```python\n(.*?)```", text, re.S) if "virtual_time=True" in block]


@pytest.mark.parametrize("snippet", doc_snippets())
def test_doc_snippets_run_as_written(snippet, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    exec(compile(snippet, "docs/python.md", "exec"), {})


@pytest.fixture(scope="module")
def vmsim_transcript(tmp_path_factory):
    """One vmsim for the module's end-to-end tests, with the file of the lines it receives."""
    transcript = tmp_path_factory.mktemp("vmsim") / "transcript.txt"
    with vmsim_process("--speed", "50", "--transcript-file", str(transcript)) as port:
        yield port, transcript


@pytest.fixture
def vmsim(vmsim_transcript):
    return vmsim_transcript[0]


def test_lines_match_the_command_line_tool(vmsim_transcript):
    vmcli = os.path.join(BUILD, "cli", "vmcli")
    if not os.path.exists(vmcli):
        pytest.skip(f"{vmcli} is not built")
    port, transcript = vmsim_transcript

    def received():
        with open(transcript, encoding="latin-1") as f:
            return [line.split(None, 1)[1].rstrip().removesuffix("\\r") for line in f if line.strip()]

    cases = [
        ("FBENX CEDAR1-POT 0.000002 0.5 ASPEN2-ENC 0.001 0 MAPLE1-ENC 1 1 4 2",
         lambda c: c.closed_loop.enable(["CEDAR1-POT", "ASPEN2-ENC", "MAPLE1-ENC"], [0.5, 0, 1], 4,
                                        tolerance=[0.000002, 0.001, 1], torque=2)),
        ("FBEN ELM1-POT.Z 0.25 MAPLE1-ENC 0 TESTPROFILE 1 300",
         lambda c: c.closed_loop.enable(["ELM1-POT.Z", "MAPLE1-ENC", "TESTPROFILE"], [0.25, 0, 1], 300)),
        ("FBCS 0.001 1 -0.0005 0 0 0", lambda c: c.closed_loop.set_points(0.001, -0.0005, 0, absolute=[1, 0, 0])),
        ("FBFE 1 5 1", lambda c: c.closed_loop.end_stop_search(1, 5, True)),
        ("FBXT", lambda c: c.closed_loop.exit()),
        ("FBES", lambda c: c.closed_loop.stop()),
        ("PGV 5 2 CEDAR1-POT", lambda c: c.sensor_module(5).channels[1].position("CEDAR1-POT")),
        ("PGVA 5 CEDAR1-POT CEDAR1-POT MAPLE1-ENC", lambda c: c.sensor_module(5, "CEDAR1-POT").positions()),
        ("EXS 5 50", lambda c: c.sensor_module(5).set_excitation(50)),
        ("EXR 5", lambda c: c.sensor_module(5).excitation),
        ("MIR 5 3 CEDAR1-POT", lambda c: c.sensor_module(5).channels[2].minimum("CEDAR1-POT")),
        ("MAR 5 1 CEDAR1-POT", lambda c: c.sensor_module(5).channels[0].maximum("CEDAR1-POT")),
        ("MMR 5 2", lambda c: c.sensor_module(5).channels[1].reset_extremes()),
        ("RSS 5", lambda c: c.sensor_module(5).store()),
        ("RFS 3", lambda c: c.reset_failsafe(3)),
    ]
    env = dict(os.environ, VM_LAN_PORT=str(port))
    with vm.connect("127.0.0.1", port=port) as ctl:
        for command, call in cases:
            start = len(received())
            argv = [vmcli, "@127.0.0.1", *command.split()]
            subprocess.run(argv, env=env, capture_output=True, timeout=30, check=True)
            middle = len(received())
            call(ctl)
            tool, package = received()[start:middle], received()[middle:]
            assert tool and package[: len(tool)] == tool, command


def test_every_new_call_against_vmsim(vmsim, tmp_path):
    with vm.connect("127.0.0.1", port=vmsim) as ctl:
        rsm = ctl.sensor_module(5, ["CEDAR1-POT"] * 3)
        rsm.set_excitation(100)
        assert rsm.excitation == (5000, 100)
        ch = rsm.channels[0]
        ch.reset_extremes()
        before = ch.position()
        ctl.axis("3A").move_steps(100, "cw", type="PROFILE1", frequency=2000)
        assert ch.position() == pytest.approx(before + 11600 * CEDAR)
        assert ch.minimum() <= before < ch.maximum()
        assert len(ch.record()) == 2048
        rsm.store()
        loop = ctl.closed_loop
        loop.enable("CEDAR1-POT", 0.5, temperature=4, tolerance=0.001)
        loop.set_points(0.05, 0, 0)
        assert loop.wait_settled(timeout=10, sensors=[ch], tolerance=1e-9).finished
        loop.stop()
        assert ctl.axis("1A").reset_failsafe() == 0
        ax = ctl.axis("1A")
        ax.configure(units="mm", counts_per_unit=1000, steps_per_unit=1000, limits=(-1, 1))
        assert ax.move_to(0.05, frequency=2000) == pytest.approx(0.05)
        with pytest.raises(vm.LimitError):
            ax.move_by(2)


@pytest.mark.parametrize(
    "script, expected",
    [("read_sensors.py", "5.1"), ("closed_loop_hold.py", "settled"), ("units_and_limits.py", "refused"),
     ("record_sensor.py", "samples")],
)
def test_examples_run_against_the_simulator_and_vmsim(vmsim, tmp_path, script, expected):
    for target in (["--sim"], ["127.0.0.1", "--port", str(vmsim)]):
        argv = [sys.executable, os.path.join(EXAMPLES, script), *target]
        if script == "record_sensor.py":
            argv += ["--png", str(tmp_path / "recording.png")]
        result = subprocess.run(argv, capture_output=True, text=True, timeout=120, env=package_environment())
        assert result.returncode == 0, result.stderr
        assert expected in result.stdout
    if script == "record_sensor.py":
        assert (tmp_path / "recording.png").stat().st_size > 1000
