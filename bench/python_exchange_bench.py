#!/usr/bin/env python3
"""Exchanges per second through the vellumotor package against TCP_COM::Exchange in C++.

    python_exchange_bench.py [BUILD_DIR] [ROUNDS] [BATCH]      (--help for the details)

Starts one vmsim on 127.0.0.1 (free port), then for every round runs a batch of "STS 1"
exchanges through ``Controller.exchange`` and a batch through the C++ program exchange_loop
(TCP_COM::Exchange with the same desktop link settings), taking turns on which goes first. Prints
the median per exchange of each and their ratio (Python / C++), and the same as JSON on the last
line. The vmsim process is killed by its pid at the end.
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def _arguments():
    parser = argparse.ArgumentParser(
        description="Exchanges per second through the vellumotor package against TCP_COM::Exchange in C++.",
        epilog="The build directory needs the package (target vellumotor), sim/vmsim and bench/exchange_loop "
        "(bench/run.sh builds all of them in build/bench; or configure with -DVM_BUILD_BENCH=ON).",
    )
    parser.add_argument("build", nargs="?", default="build/bench", help="build directory (default build/bench)")
    parser.add_argument("rounds", nargs="?", type=int, default=20, help="rounds of both batches (default 20)")
    parser.add_argument("batch", nargs="?", type=int, default=500, help="exchanges per batch (default 500)")
    args = parser.parse_args()
    if args.rounds < 1 or args.batch < 1:
        parser.error("rounds and batch must be 1 or more")
    build = os.path.abspath(args.build)
    needed = [os.path.join(build, "python", "vellumotor"), os.path.join(build, "sim", "vmsim"),
              os.path.join(build, "bench", "exchange_loop")]
    missing = [path for path in needed if not os.path.exists(path)]
    if missing:
        parser.error("not built in " + build + ": " + ", ".join(os.path.relpath(p, build) for p in missing))
    return build, args.rounds, args.batch


def main():
    build, rounds, batch = _arguments()
    sys.path.insert(0, os.path.join(build, "python"))
    import vellumotor as vm

    with tempfile.TemporaryDirectory() as directory:
        ready = os.path.join(directory, "ready")
        argv = [os.path.join(build, "sim", "vmsim"), "--bind", "127.0.0.1", "--port", "0", "--no-discovery",
                "--ready-file", ready]
        sim = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while not os.path.exists(ready):
                if sim.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit("vmsim did not start")
                time.sleep(0.01)
            with open(ready) as f:
                port = int(f.read().split()[0])
            loop = os.path.join(build, "bench", "exchange_loop")
            python_us, cpp_us = [], []
            with vm.connect("127.0.0.1", port=port) as ctl:

                def python_batch():
                    exchange = ctl.exchange
                    start = time.perf_counter()
                    for _ in range(batch):
                        if exchange("STS 1") != "_STP":
                            raise SystemExit("wrong reply")
                    python_us.append((time.perf_counter() - start) * 1e6 / batch)

                def cpp_batch():
                    out = subprocess.run([loop, str(port), str(batch)], capture_output=True, text=True, check=True)
                    us, wrong = out.stdout.split()
                    if int(wrong):
                        raise SystemExit("wrong reply")
                    cpp_us.append(float(us))

                python_batch()  # warm-up
                cpp_batch()
                python_us.clear()
                cpp_us.clear()
                for r in range(rounds):
                    for run in (python_batch, cpp_batch) if r % 2 == 0 else (cpp_batch, python_batch):
                        run()
        finally:
            if sim.poll() is None:
                os.kill(sim.pid, signal.SIGKILL)
            sim.wait()

    py, cpp = statistics.median(python_us), statistics.median(cpp_us)
    print(f"vellumotor Controller.exchange: {py:8.1f} us ({1e6 / py:7.0f} /s)")
    print(f"TCP_COM::Exchange (C++):        {cpp:8.1f} us ({1e6 / cpp:7.0f} /s)")
    print(f"Python / C++: {py / cpp:.3f}   (added per call: {py - cpp:.1f} us)")
    print(json.dumps({"python_us": py, "cpp_us": cpp, "ratio": py / cpp, "rounds": rounds, "batch": batch}))


if __name__ == "__main__":
    main()
