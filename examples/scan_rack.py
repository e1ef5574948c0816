#!/usr/bin/env python3
"""Scan a controller's rack: every slot, every axis with its drive settings and encoder count.

    scan_rack.py 192.168.1.20          a controller on the LAN
    scan_rack.py 127.0.0.1 --port N    a vmsim on another port
    scan_rack.py --sim                 the built-in virtual controller
    scan_rack.py                       the first USB controller
"""

import argparse

import vellumotor as vm


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("selector", nargs="?", help="IPv4 address, USB serial, SERV:NAME or CMON:NAME")
    parser.add_argument("--port", type=int, help="LAN command port (default 2048)")
    parser.add_argument("--sim", action="store_true", help="use the built-in virtual controller")
    args = parser.parse_args()

    target = vm.Simulator(rack="C,O,C1,-,R,-", speed=50) if args.sim else args.selector
    with vm.connect(target, port=args.port) as ctl:
        print(f"Controller {ctl.description}, configuration {ctl.configuration}")
        for module in ctl.modules():
            print(f"  {module}")
        for axis in ctl.axes():
            s = axis.settings
            counter = axis.counter
            print(f"  {axis.label}: {s.type} {s.temperature} K {s.frequency} Hz {s.step_size} %, "
                  f"counter {'-' if counter is None else counter}, failsafe 0x{axis.failsafe:X}")


if __name__ == "__main__":
    main()
