"""The vellumotor package against the in-process simulator (virtual time) and a vmsim process."""

import _thread
import logging
import os
import subprocess
import sys
import threading

import pytest

import vellumotor as vm
from conftest import EXAMPLES, package_environment, vmsim_process


@pytest.fixture
def sim():
    return vm.Simulator(virtual_time=True)


@pytest.fixture
def ctl(sim):
    with vm.connect(sim) as controller:
        yield controller


@pytest.mark.parametrize(
    "rack, expected",
    [
        ("C,O,C,O,R,-", ["1 drive 3 True", "2 encoder 0 False", "3 drive 3 True", "4 encoder 0 False",
                         "5 sensor 0 False", "6 empty 0 False"]),
        ("C1,-,C,R,-,O", ["1 drive 1 False", "2 empty 0 False", "3 drive 3 False", "4 sensor 0 False",
                          "5 empty 0 False", "6 encoder 0 False"]),
    ],
)
def test_module_tree_of_a_rack(rack, expected):
    with vm.connect(vm.Simulator(rack=rack, virtual_time=True)) as ctl:
        modules = ctl.modules()
        assert [f"{m.slot} {m.kind} {m.channels} {m.encoder}" for m in modules] == expected
        assert [a.label for a in ctl.axes()] == [label for m in modules for label in m.axes]
        assert ctl.configuration == "A"
        assert ctl.profiles == ["NONE", "PROFILE1", "PROFILE2", "PROFILE3"]


@pytest.mark.parametrize(
    "direction, type, counter, position",
    [("cw", "PROFILE1", 500, 500), ("ccw", "PROFILE1", -500, -500), ("cw", "PROFILE2", 500, -500)],
)
def test_move_ends_by_itself_with_the_counter_advanced(sim, ctl, direction, type, counter, position):
    ax = ctl.axis("1A")
    start = ctl.now()
    assert ax.move_steps(500, direction, type=type, temperature=4, frequency=300, step_size=100) == counter
    assert ax.counter == counter
    assert sim.position(1, 1) == position  # PROFILE2 drives the other way round
    assert ax.status == "_STP"
    assert 500 / 300 <= ctl.now() - start < 500 / 300 + 0.5
    assert "MOV 1 %d 300 100 500 11 1 S\r" % (1 - (direction == "ccw") if type == "PROFILE1" else 0) in sim.lines()


def test_drive_settings_default_to_the_user_memory(sim, ctl):
    ctl.user_memory[2] = vm.ChannelRecord(frequency=50, step_size=40, temperature=77, type="PROFILE3", tag="x")
    ax = ctl.axis(1, 2)
    assert ax.settings == vm.DriveSettings("PROFILE3", 77, 50, 40)
    job = ax.move_steps(10, "cw", wait=False)
    assert "MOV 1 1 50 40 10 20 2 S\r" in sim.lines()  # rise time 20 at 77 K, 40 %
    seen = []
    assert job.wait(progress=seen.append) == 10 and job.finished
    assert seen == [5, 10][: len(seen)] and len(seen) >= 1  # every 100 ms at 50 Hz while moving


def test_axis_without_encoder_has_no_counter():
    with vm.connect(vm.Simulator(rack="C,-,-,-,-,-", virtual_time=True)) as ctl:
        ax = ctl.axis("1B")
        assert ax.counter is None
        assert ax.move_steps(20, "cw", frequency=100) is None


def test_timeout_raises_and_leaves_the_module_stopped(sim, ctl):
    ax = ctl.axis("3A")
    with pytest.raises(vm.Timeout) as error:
        ax.move_steps(60000, "cw", frequency=10, timeout=2.0)
    assert ax.status == "_STP"
    assert 15 <= error.value.counter <= 30  # about 2 s at 10 Hz, then stopped
    assert sim.position(3, 1) == error.value.counter
    assert isinstance(error.value, TimeoutError)


def test_stop_during_a_run(sim, ctl):
    ax = ctl.axis("1C")
    job = ax.run("ccw", frequency=100)
    assert not job.done()
    ctl.sleep(1.0)
    counter = job.cancel()
    assert -110 <= counter <= -100 and job.done()
    assert ax.status == "_STP"
    ctl.sleep(1.0)
    assert ax.counter == counter


def test_keyboard_interrupt_during_a_move_stops_the_module(sim, ctl):
    ax = ctl.axis("1A")
    polls = []

    class InterruptOnFifthStatus(logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith("STS 1 -> _MOV"):
                polls.append(record)
                if len(polls) == 5:
                    _thread.interrupt_main()

    handler = InterruptOnFifthStatus()
    logger = logging.getLogger("vellumotor")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        with pytest.raises(KeyboardInterrupt):
            ax.run("cw", frequency=100).wait(timeout=None)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
    assert ax.status == "_STP"
    assert sim.lines()[-3] == "STP 1\r"


def test_user_memory_written_committed_and_read_back(sim, ctl):
    record = vm.ChannelRecord(frequency=300, step_size=80, temperature=4, type="PROFILE2", tag="sample")
    ctl.user_memory[4] = record
    ctl.user_memory.commit()
    back = ctl.user_memory[4]
    assert (back.frequency, back.step_size, back.temperature, back.type, back.tag) == (300, 80, 4, "PROFILE2", "sample")
    assert (back.param_a, back.param_b, back.invert) == (6000, 3, 1)  # from the profile table
    assert sim.lines()[-3:] == ["CSS 4 300 80 4 3 6000 PROFILE2 sample 1\r", "STF\r", "CLS 4\r"]
    assert len(ctl.user_memory) == 18 and ctl.user_memory.channel(2, 1) == back


def test_failsafe_bits_and_their_meaning(sim, ctl):
    ax = ctl.axis("3A")
    assert (ax.failsafe, ax.failsafe_messages) == (0, [])
    sim.set_failsafe(3, 0x44)
    assert ax.failsafe == 0x44
    assert ax.failsafe_messages == [
        "WARNING: thermal overload on amplifier stage; capacative load too large, let unit cool down",
        "FAILURE: overcurrent#1 DETECTED on HIGH RAIL: 1) short circuit to protective earth or reference; "
        "2) capacitive load or drive parameters not correct; RESET required",
    ]


def test_raw_exchange(sim, ctl):
    assert ctl.exchange("STS 1") == "_STP"
    assert ctl.exchange("STS 6") == "MNF"
    assert ctl.exchange("XYZ") == "CNR"
    # Every byte reaches Python as the character with its code, and goes back unchanged.
    assert ctl.exchange("CSS 2 1 2 3 4 5 \xff t\xe9 0") == "_CSS"
    assert (ctl.user_memory[2].type, ctl.user_memory[2].tag) == ("\xff", "t\xe9")
    ctl.user_memory[3] = ctl.user_memory[2]
    assert "CSS 3 1 2 3 4 5 \xff t\xe9 0\r" in sim.lines()
    sim.add_fault("garbage:300@STS")
    reply = ctl.exchange("STS 1")
    assert 0 < len(reply) <= 198 and "\x00" not in reply  # the link keeps the bytes up to the first zero
    with pytest.raises(ValueError):
        ctl.exchange("STS \u20ac")  # no byte for this character


@pytest.mark.parametrize(
    "call",
    [
        lambda ctl: ctl.exchange("STS 1\rSTP 1"),
        lambda ctl: ctl.exchange("A" * 199),
        lambda ctl: ctl.axis("7A"),
        lambda ctl: ctl.axis("1D"),
        lambda ctl: ctl.axis(1, 0),
        lambda ctl: ctl.axis("1A").move_steps(0, "cw"),
        lambda ctl: ctl.axis("1A").move_steps(70000, "cw"),
        lambda ctl: ctl.axis("1A").move_steps(10, "up"),
        lambda ctl: ctl.axis("1A").move_steps(10, "cw", frequency=0),
        lambda ctl: ctl.axis("1A").move_steps(10, "cw", frequency=70000),
        lambda ctl: ctl.axis("1A").move_steps(10, "cw", type="ASPEN1"),
        lambda ctl: ctl.axis("1A").run("cw", step_size=101),
        lambda ctl: ctl.user_memory.__setitem__(1, vm.ChannelRecord(tag="a b")),
        lambda ctl: ctl.user_memory[19],
    ],
)
def test_bad_arguments_raise_value_errors_and_send_nothing_harmful(sim, ctl, call):
    with pytest.raises((ValueError, IndexError)):
        call(ctl)
    assert not [line for line in sim.lines() if line.startswith(("MOV", "CSS", "A"))]


def test_errors_for_an_empty_slot_a_silent_controller_and_a_closed_link(sim, ctl):
    with pytest.raises(vm.ControllerError) as error:
        ctl.axis("6A")
    assert (error.value.command, error.value.reply) == ("STS 6", "MNF")
    ax = ctl.axis("1A")
    sim.add_fault("noreply")
    with pytest.raises(vm.LinkError):
        ax.counter
    with pytest.raises(vm.LinkError):
        ctl.ping()
    with pytest.raises(vm.LinkError):
        ax.move_steps(10, "cw")
    sim.clear_faults()
    assert ax.counter == 0
    ctl.close()
    for call in (lambda: ctl.exchange("STS 1"), lambda: ax.counter, ctl.modules, lambda: ctl.user_memory[1]):
        with pytest.raises(vm.LinkError):
            call()
    with pytest.raises(vm.LinkError):
        vm.connect("127.0.0.1", port=1)  # nothing listens there
    with pytest.raises(ValueError):
        vm.connect("SERV:x", port=2049)


def test_log_shows_every_line_and_reply(ctl, caplog):
    with caplog.at_level(logging.DEBUG, logger="vellumotor"):
        ctl.exchange("STS 1")
        ctl.axis("1A").move_steps(3, "cw", frequency=300)
    messages = [r.getMessage() for r in caplog.records]
    assert messages[0].startswith("STS 1 -> _STP (")
    assert any(m.startswith("MOV 1 1 300 100 3 30 1 S -> _MOV (") for m in messages)


def test_threads_moving_different_axes_never_mix_replies():
    sim = vm.Simulator(rack="C,O,C,O,C,O", virtual_time=True)
    errors = []
    with vm.connect(sim) as ctl:
        def worker(module, direction):
            try:
                ax = ctl.axis(module, 2)
                total = 0
                for round in range(5):
                    steps = 10 * module + round
                    total += steps if direction == "cw" else -steps
                    assert ax.move_steps(steps, direction, frequency=200) == total
                    # A raw line asks for the own record: its index must come back, not another's.
                    assert ctl.exchange(f"CLS {3 * module - 1}").startswith(f"_CLS {3 * module - 1} ")
            except BaseException as e:  # reported to the main thread
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(m, d)) for m, d in ((1, "cw"), (3, "ccw"), (5, "cw"))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        assert not errors
        assert not any(t.is_alive() for t in threads)
        assert [sim.position(m, 2) for m in (1, 3, 5)] == [60, -160, 260]


def test_against_a_vmsim_process(vmsim_port):
    with vm.connect("127.0.0.1", port=vmsim_port) as ctl:
        assert [m.kind for m in ctl.modules()] == ["drive", "encoder", "drive", "encoder", "sensor", "empty"]
        ax = ctl.axis("3B")
        assert ax.move_steps(100, "cw", frequency=600) == 100
        assert ctl.exchange("STS 3") == "_STP"
        job = ax.run("ccw", frequency=100)
        job.wait(timeout=None, progress=lambda count: count >= 90 or job.cancel())
        assert job.counter < 100 and job.completed is False  # it moved back, and was stopped


@pytest.mark.parametrize("script", ["scan_rack.py", "move_progress.py"])
def test_examples_run_against_the_simulator_and_vmsim(vmsim_port, script):
    for target in (["--sim"], ["127.0.0.1", "--port", str(vmsim_port)]):
        result = subprocess.run([sys.executable, os.path.join(EXAMPLES, script), *target], capture_output=True,
                                text=True, timeout=60, env=package_environment())
        assert result.returncode == 0, result.stderr
        assert "1A" in result.stdout


def test_a_move_whose_reply_is_lost_is_stopped_before_the_error():
    with vmsim_process("--speed", "50", "--fault", "noreply:300@MOV*1") as port, \
            vm.connect("127.0.0.1", port=port) as ctl:
        ax = ctl.axis("1A")
        with pytest.raises(vm.LinkError):
            ax.move_steps(60000, "cw", frequency=100)
        assert ax.status == "_STP"
        assert ax.move_steps(10, "cw", frequency=600) == ax.counter  # the module is free again


def test_a_silent_controller_over_tcp_is_a_link_error():
    with vmsim_process("--fault", "delay:1200@CGV") as port, vm.connect("127.0.0.1", port=port) as ctl:
        ax = ctl.axis("1A")
        for call in (lambda: ax.counter, lambda: ctl.exchange("CGV 2 1")):
            with pytest.raises(vm.LinkError):
                call()


def test_sleep_is_interrupted_by_ctrl_c():
    with vm.connect(vm.Simulator(speed=1)) as ctl:  # real time: the sleep would last 30 s
        start = ctl.now()
        timer = threading.Timer(0.2, _thread.interrupt_main)
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                ctl.sleep(30)
        finally:
            timer.cancel()
        assert ctl.now() - start < 30
    for bad in (float("nan"), -1, float("inf")):
        with pytest.raises(ValueError, match="seconds"):
            ctl.sleep(bad)


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt])
def test_leaving_a_with_block_by_an_exception_stops_running_jobs(sim, error):
    with pytest.raises(error):
        with vm.connect(sim) as ctl:
            ctl.axis("1A").run("cw", frequency=100)
            ctl.axis("3B").move_steps(5000, "ccw", wait=False)
            ctl.sleep(0.5)
            raise error()
    stopped = sim.position(1, 1), sim.position(3, 2)
    sim.advance(5)
    assert (sim.position(1, 1), sim.position(3, 2)) == stopped
    assert {"STP 1\r", "STP 3\r"} <= set(sim.lines())


def test_a_busy_module_refuses_a_second_move(sim, ctl):
    job = ctl.axis("1A").move_steps(300, "cw", frequency=100, wait=False)
    ctl.sleep(1)
    for label in ("1A", "1B"):  # the module moves, whichever channel
        with pytest.raises(vm.ControllerError, match="1A 300 steps running"):
            ctl.axis(label).move_steps(300, "cw")
    with vm.connect(sim) as other:  # another client sees the module moving
        with pytest.raises(vm.ControllerError, match="already moving") as error:
            other.axis("1A").move_steps(300, "cw")
        assert error.value.reply == "_MOV"
        assert other.axis("1C").move_steps(50, "ccw", frequency=200, preempt=True) == -50
    # The first job was stopped by the other client: the encoder shows it ended early.
    with pytest.raises(vm.ControllerError, match="ended early"):
        job.wait()
    assert job.completed is False and 0 < job.counter < 300
    assert job.wait(allow_early_end=True) == job.counter
    assert ctl.axis("1A").move_steps(20, "cw", frequency=200) == job.counter + 20  # free again
    # A stop of this controller, from any channel of the module, is a cancel, not an early end.
    job = ctl.axis("1A").move_steps(300, "cw", frequency=100, wait=False)
    job.wait(progress=lambda _: ctl.axis("1B").stop())
    assert (job.completed, job.status) == (False, "_STP")


def test_two_threads_moving_one_axis_never_both_succeed_at_once():
    # Real time at 50x: each move lasts 10 ms, so the threads overlap however they are scheduled.
    sim = vm.Simulator(speed=50)
    ctl = vm.connect(sim)
    barrier = threading.Barrier(2)
    done, refused = [], []

    def mover():
        ax = ctl.axis("1A")
        for _ in range(5):
            barrier.wait(timeout=30)
            try:
                ax.move_steps(300, "cw", frequency=600)
                done.append(1)
            except vm.ControllerError as e:
                assert "busy" in str(e) or "already moving" in str(e)
                refused.append(1)

    threads = [threading.Thread(target=mover) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    ctl.close()
    assert len(done) + len(refused) == 10 and done
    assert sim.position(1, 1) == 300 * len(done)  # every success made all its steps


def test_a_move_stopped_by_another_client_without_encoder_reports_its_steps():
    sim = vm.Simulator(rack="C,-,-,-,-,-", virtual_time=True)
    with vm.connect(sim) as ctl, vm.connect(sim) as other:
        job = ctl.axis("1A").move_steps(2000, "cw", frequency=100, wait=False)
        job.wait(progress=lambda _: sim.now() >= 3 and other.exchange("STP 1"))
        assert job.completed is None and job.status == "_STP"
        assert job.steps_made - 10 <= sim.position(1, 1) <= job.steps_made < 2000


@pytest.mark.parametrize("status", ["_MDC", "_EXT"])
def test_an_unexpected_status_mid_move_raises(sim, ctl, status):
    job = ctl.axis("3A").move_steps(1000, "cw", frequency=100, wait=False)
    with pytest.raises(vm.ControllerError) as error:
        job.wait(progress=lambda _: sim.now() >= 2 and sim.add_fault(f"answer:{status}@STS*1"))
    assert (error.value.reply, job.completed, job.status) == (status, False, status)
    assert "STP 3\r" in sim.lines() and ctl.axis("3A").status == "_STP"


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda sim, ctl: sim.advance(float("nan")), "seconds"),
        (lambda sim, ctl: sim.advance(float("inf")), "seconds"),
        (lambda sim, ctl: sim.advance(1e300), "seconds"),
        (lambda sim, ctl: ctl.axis("1A").run("cw").wait(timeout=float("nan")), "timeout"),
        (lambda sim, ctl: ctl.axis("1A").move_steps(10, "cw", timeout=-1), "timeout"),
        (lambda sim, ctl: ctl.axis("1A").move_steps(10, "cw", frequency=300.5), "frequency"),
        (lambda sim, ctl: ctl.axis("1A").move_steps(10, "cw", temperature="4"), "temperature"),
    ],
)
def test_bad_numbers_raise_value_errors_that_name_the_argument(sim, ctl, call, name):
    before = sim.now()
    with pytest.raises(ValueError, match=name):
        call(sim, ctl)
    assert 0 <= sim.now() - before < 1
    ctl.stop_running_jobs()
