#!/usr/bin/python3
"""Drives the real VMControlSystem as a person would, for a given time, with random but legal input.

The program runs under Xvfb in monitor mode, talking through a `vmcli CMON` monitor to a `vmsim`
whose faults are switched on and off and whose link is cut (the simulator killed) and restored
(started again on the same port). Clicks, double-clicks and right-clicks land on random points of
the program's windows; typed text (digits, letters, blanks, long and non-ASCII text), Escape,
Enter, Tab and the menu shortcuts go to the window in front; secondary windows get window-manager
closes. Every probe sends the window-manager ping to the main window, which only the program's
event loop answers: no answer within 200 ms is a hang.

At the end every secondary window is closed, Abort is pressed on every row, the main window is
closed and must end the program within 5 s, and every module of the rack must then report "_STP".

Everything runs in a network namespace of its own that holds only the loopback interface, so a
"Scan LAN" the robot happens to press broadcasts nowhere else. Every process is stopped by its pid,
even on failure.

    gui_robot.py --vmsim PATH --vmcli PATH --app PATH [--seed N] [--duration S]

A failure prints the seed; the same seed replays the same input sequence (the program's timing
may still differ).
"""
import argparse
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

RACK = "C,O,C1,O,-,-"
MODULES = (1, 3)  # drive modules of RACK
ROWS = 4  # channel rows a scan of RACK shows: 1A 1B 1C 3A
# Where the main window draws its parts (Fusion style, DejaVu fonts): the "Chan" column, the top
# of the first grid row below the menu bar and the header, and the move buttons above the status bar.
GRID_X, GRID_Y, BUTTONS_FROM_BOTTOM = 60, 54, 46
SKIPPED = 77  # CTest's skip code
PING_LIMIT_S = 0.2
EXIT_LIMIT_S = 5.0
FAULTS = ["delay:300", "noreply:500*3", "corrupt*5", "nocr*3", "garbage:12*3", "eject:4*1", "delay:50"]
TEXTS = ["7", "601", "abc", "a b", "12 3", "0", "-5", "x" * 300, "st\u00e4ge\u00b5", "PROFILE1", "", "99999"]
KEYS = ["Escape", "Return", "Tab", "space", "Down", "Up", "BackSpace", "Delete"]
SHORTCUTS = ["ctrl+a", "ctrl+d", "ctrl+e", "ctrl+s", "alt+f", "alt+h"]


TITLE = "Vellumotor Control System"


def is_main(name):
    """The main window's caption always goes on after the program's title (at first with a blank
    only, until the link is open); its message boxes' caption is the title alone."""
    return name.startswith(TITLE) and name != TITLE


def log(*parts):
    print("robot:", *parts, flush=True)


class Failure(Exception):
    pass


def reenter_in_namespace():
    """Runs this script again inside a fresh network namespace (loopback only)."""
    if os.environ.get("VM_ROBOT_NETNS") == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return None
    argv = ["unshare", "--net"]
    if os.getuid() != 0:
        argv.append("--map-root-user")
    argv += [sys.executable] + sys.argv
    env = dict(os.environ, VM_ROBOT_NETNS="1")
    return subprocess.call(argv, env=env)


class Processes:
    """Every process the robot starts, stopped by pid at the end whatever happened."""

    def __init__(self):
        self.procs = []

    def start(self, argv, **kwargs):
        proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
        self.procs.append(proc)
        return proc

    def stop(self, proc, timeout=5):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(5)

    def stop_all(self):
        for proc in reversed(self.procs):
            self.stop(proc)


def wait_until(condition, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


class Simulator:
    """vmsim on a fixed port; a cut kills it, a restore starts it again with or without a fault."""

    def __init__(self, procs, path, workdir):
        self.procs, self.path, self.workdir = procs, path, workdir
        self.proc = None
        self.port = 0
        self.state = os.path.join(workdir, "sim.state")

    def start(self, fault=None):
        ready = os.path.join(self.workdir, "ready")
        if os.path.exists(ready):
            os.unlink(ready)
        argv = [self.path, "--rack", RACK, "--bind", "127.0.0.1", "--port", str(self.port), "--no-discovery",
                "--state", self.state, "--ready-file", ready]
        if fault:
            argv += ["--fault", fault]
        self.proc = self.procs.start(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: os.path.exists(ready) and open(ready).read().strip(), 10):
            raise Failure("vmsim did not get ready")
        self.port = int(open(ready).read().split()[0])

    def cut(self):
        if self.proc:
            self.procs.stop(self.proc)
            self.proc = None

    def status(self, module):
        """The status word of a module, asked directly (a fresh connection)."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=3) as s:
            s.sendall(b"STS %d\r" % module)
            reply = b""
            while not reply.endswith(b"\r"):
                data = s.recv(256)
                if not data:
                    break
                reply += data
            return reply.decode("latin-1").strip()


class Display:
    """The robot's side of the X server: the program's windows, the ping probe and input."""

    def __init__(self, name, pid):
        from Xlib import X, display, protocol  # noqa: F401  (python3-xlib)
        self.X, self.protocol = X, protocol
        self.name, self.pid = name, pid
        self.d = display.Display(name)
        # A window may go away between the look and the event sent to it: not a fault.
        self.d.set_error_handler(lambda error, request=None: None)
        self.root = self.d.screen().root
        # The program answers a ping to the root with the structure-notify mask.
        self.root.change_attributes(event_mask=X.StructureNotifyMask)
        a = self.d.intern_atom
        self.WM_PROTOCOLS, self.WM_DELETE, self.PING = a("WM_PROTOCOLS"), a("WM_DELETE_WINDOW"), a("_NET_WM_PING")
        self.NET_WM_PID = a("_NET_WM_PID")
        self.serial = 0

    def windows(self):
        """The program's viewable top-level windows, newest (topmost) last."""
        found = []
        for w in self.root.query_tree().children:
            try:
                prop = w.get_full_property(self.NET_WM_PID, self.X.AnyPropertyType)
                if not prop or prop.value[0] != self.pid:
                    continue
                if w.get_attributes().map_state != self.X.IsViewable:
                    continue
                name = w.get_wm_name() or ""
                found.append((w, name if isinstance(name, str) else name.decode("latin-1", "replace")))
            except Exception:  # a window that went away meanwhile
                continue
        return found

    def main_window(self):
        for w, name in self.windows():
            if is_main(name):
                return w
        return None

    def _client_message(self, window, data0, data2=0):
        event = self.protocol.event.ClientMessage(window=window, client_type=self.WM_PROTOCOLS,
                                                  data=(32, [data0, self.serial, data2, 0, 0]))
        window.send_event(event, event_mask=0)
        self.d.flush()

    def ping(self, window):
        """Seconds until the program's event loop answered the ping; None without an answer in 2 s."""
        self.serial += 1
        self._client_message(window, self.PING, window.id)
        start = time.monotonic()
        while time.monotonic() - start < 2.0:
            while self.d.pending_events():
                e = self.d.next_event()
                if (e.type == self.X.ClientMessage and e.client_type == self.WM_PROTOCOLS and
                        e.data[1][0] == self.PING and e.data[1][1] == self.serial):
                    return time.monotonic() - start
            time.sleep(0.002)
        return None

    def close(self, window):
        self._client_message(window, self.WM_DELETE)

    def focus(self, window):
        try:
            window.set_input_focus(self.X.RevertToParent, self.X.CurrentTime)
            window.configure(stack_mode=self.X.Above)
            self.d.sync()
        except Exception:
            pass

    def geometry(self, window):
        g = window.get_geometry()
        return g.x, g.y, g.width, g.height


class Robot:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.procs = Processes()
        self.workdir = tempfile.mkdtemp(prefix="vm-robot-")
        self.env = dict(os.environ, VM_PIPE_DIR=os.path.join(self.workdir, "pipes"))
        os.makedirs(self.env["VM_PIPE_DIR"], mode=0o700)
        # Under the leak checker: the X platform's session-bus library keeps a buffer to the end,
        # which is not the program's.
        suppressions = os.path.join(self.workdir, "lsan.supp")
        with open(suppressions, "w") as f:
            f.write("leak:libdbus-1.so\n")
        self.env["LSAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("LSAN_OPTIONS"),
                                                         "suppressions=" + suppressions]))
        self.slowest_ping = 0.0
        self.restarts = 0
        self.actions = 0

    # --- set-up ---

    def start_xvfb(self):
        read_fd, write_fd = os.pipe()
        self.procs.start(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                         pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as r:
            while not number.endswith(b"\n"):
                chunk = r.read(1)
                if not chunk:
                    raise Failure("Xvfb did not start")
                number += chunk
        self.env["DISPLAY"] = ":" + number.decode().strip()
        self.env["QT_QPA_PLATFORM"] = "xcb"

    def start_monitor(self):
        env = dict(self.env, VM_LAN_PORT=str(self.sim.port))
        self.monitor = self.procs.start([self.args.vmcli, "CMON:127.0.0.1"], env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)  # the monitor's endpoint; the program's open waits for it in any case

    def start_program(self):
        env = dict(self.env, VM_LAN_PORT=str(self.sim.port))
        self.app_log = os.path.join(self.workdir, "program.log")
        with open(self.app_log, "ab") as out:
            self.app = self.procs.start([self.args.app, "@CMON", "127.0.0.1"], env=env, cwd=self.workdir,
                                        stdout=out, stderr=subprocess.STDOUT)
        self.x = Display(self.env["DISPLAY"], self.app.pid)
        if not wait_until(self.x.main_window, 30):
            raise Failure("the main window did not appear")

    # --- input ---

    def xdotool(self, *argv):
        subprocess.run(["xdotool", *argv], env=self.env, timeout=10, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def front(self):
        windows = self.x.windows()
        return windows[-1][0] if windows else None

    def click(self, window, button=1, double=False, at=None):
        x, y, w, h = self.x.geometry(window)
        px, py = at if at else (self.rng.randrange(max(w, 1)), self.rng.randrange(max(h, 1)))
        self.x.focus(window)
        self.xdotool("mousemove", str(x + px), str(y + py), "click", "--repeat", "2" if double else "1",
                     str(button))

    def act(self):
        r = self.rng.random()
        windows = self.x.windows()
        if not windows:
            return
        window, name = self.rng.choice(windows)
        if r < 0.35:
            self.click(window, button=3 if self.rng.random() < 0.1 else 1, double=self.rng.random() < 0.2)
        elif r < 0.5:
            front = self.front()
            self.x.focus(front)
            text = self.rng.choice(TEXTS)
            if text:
                self.xdotool("type", "--delay", "2", text)
        elif r < 0.7:
            self.x.focus(self.front())
            self.xdotool("key", self.rng.choice(KEYS))
        elif r < 0.8:
            main = self.x.main_window()
            if main:
                self.x.focus(main)
                self.xdotool("key", self.rng.choice(SHORTCUTS))
        elif r < 0.86:
            others = [w for w, n in windows if not is_main(n)]
            if others:
                self.x.close(self.rng.choice(others))
        elif r < 0.9:
            self.link_event()
        else:
            self.press_button("Abort" if self.rng.random() < 0.5 else None)

    def press_button(self, caption):
        """Clicks along the move button row of the main window (Abort at its middle)."""
        main = self.x.main_window()
        if not main:
            return
        _, _, w, h = self.x.geometry(main)
        fifth = w // 5
        index = 2 if caption == "Abort" else self.rng.randrange(5)
        self.click(main, at=(fifth * index + fifth // 2, h - BUTTONS_FROM_BOTTOM))

    def link_event(self):
        if self.sim.proc is None:
            fault = self.rng.choice(FAULTS) if self.rng.random() < 0.5 else None
            log("link restored", "with fault " + fault if fault else "without faults")
            self.sim.start(fault)
        else:
            log("link cut")
            self.sim.cut()

    # --- checks ---

    def probe(self):
        if self.app.poll() is not None:
            if self.app.returncode != 0:
                raise Failure("the program ended with status %s" % self.app.returncode)
            # "Exit" (a click in the File menu, or an "x" typed while it was open) ends the
            # program as a person may: it is started again.
            log("the program was ended by its Exit; starting it again")
            self.restarts += 1
            self.start_program()
        main = self.x.main_window()
        if main is None:
            raise Failure("the main window is gone while the program runs")
        elapsed = self.x.ping(main)
        if elapsed is None or elapsed > PING_LIMIT_S:
            raise Failure("the event loop did not answer within %.0f ms (%s)" %
                          (PING_LIMIT_S * 1000, "no answer" if elapsed is None else "%.0f ms" % (elapsed * 1000)))
        self.slowest_ping = max(self.slowest_ping, elapsed)

    def finish(self):
        if self.sim.proc is None:
            self.sim.start()
        # Close what is open in front of the main window, as a person would before leaving.
        for _ in range(40):
            others = [w for w, n in self.x.windows() if not is_main(n)]
            if not others:
                break
            self.x.focus(others[-1])
            self.xdotool("key", "Escape")
            self.x.close(others[-1])
            time.sleep(0.3)
        main = self.x.main_window()
        x, y, w, h = self.x.geometry(main)
        # Abort on every row: select it with a click on its channel cell, then press Abort.
        for row in range(ROWS):
            self.click(main, at=(GRID_X, GRID_Y + 18 * row + 9))
            time.sleep(0.2)
            self.press_button("Abort")
            time.sleep(0.5)
            self.xdotool("key", "Escape")
        time.sleep(2)
        self.probe()
        self.x.close(main)
        try:
            self.app.wait(EXIT_LIMIT_S)
        except subprocess.TimeoutExpired:
            # Something may still hold the main window (a box): answer it and try once more
            # before calling it a fault.
            raise Failure("the program did not end within %.0f s of closing its main window" % EXIT_LIMIT_S)
        if self.app.returncode != 0:
            raise Failure("the program ended with status %s" % self.app.returncode)
        for module in MODULES:
            # A fault still in force may garble a reply: the module's word is the first clean one.
            status = None
            for _ in range(10):
                status = self.sim.status(module)
                if status.startswith("_") and status[1:].isalpha():
                    break
            if status != "_STP":
                raise Failure("module %d reports %r after the final Abort" % (module, status))

    def run(self):
        log("seed", self.args.seed, "duration", self.args.duration, "s")
        try:
            self.start_xvfb()
            self.sim = Simulator(self.procs, self.args.vmsim, self.workdir)
            self.sim.start()
            self.start_monitor()
            self.start_program()
            end = time.monotonic() + self.args.duration
            while time.monotonic() < end:
                self.act()
                self.actions += 1
                time.sleep(self.rng.choice((0.02, 0.05, 0.1, 0.3)))
                self.probe()
            self.finish()
        except Failure as e:
            log("FAILED:", e, "(seed %d, after %d actions)" % (self.args.seed, self.actions))
            return 1
        finally:
            self.procs.stop_all()
            if getattr(self, "app_log", None) and os.path.exists(self.app_log):
                err = open(self.app_log, "rb").read().decode("utf-8", "replace").strip()
                if err:
                    log("program output:", err[-2000:])
            shutil.rmtree(self.workdir, ignore_errors=True)
        log("passed: %d actions, %d restarts after Exit, slowest ping %.0f ms (seed %d)" %
            (self.actions, self.restarts, self.slowest_ping * 1000, self.args.seed))
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--vmsim", required=True)
    parser.add_argument("--vmcli", required=True)
    parser.add_argument("--app", required=True)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--duration", type=float, default=60.0)
    args = parser.parse_args()
    args.vmsim, args.vmcli, args.app = (os.path.abspath(p) for p in (args.vmsim, args.vmcli, args.app))
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(2**31)
        sys.argv += ["--seed", str(args.seed)]  # the namespace child uses the same one
    missing = [tool for tool in ("Xvfb", "xdotool", "unshare", "ip") if shutil.which(tool) is None]
    try:
        import Xlib  # noqa: F401
    except ImportError:
        missing.append("python3-xlib")
    if missing:
        log("skipped: missing", ", ".join(missing))
        return SKIPPED
    status = reenter_in_namespace()
    if status is not None:
        return status
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(2))
    return Robot(args).run()


if __name__ == "__main__":
    sys.exit(main())
