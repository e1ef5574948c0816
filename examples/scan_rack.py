#!/usr/bin/env python3
"""Scan a controller's rack: every slot, every axis with its drive settings and encoder count.

    scan_rack.py 192.168.1.20          a controller on the LAN
    scan_rack.py 127.0.0.1 --port N    a vmsim on another port
    scan_rack.py --sim                 the built-in virtual controller
    scan_rack.py                       the first USB controller
"""

from example_target import argument_parser, connect


def main():
    parser = argument_parser(__doc__)
    args = parser.parse_args()

    with connect(args, rack="C,O,C1,-,R,-", speed=50) as ctl:
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
