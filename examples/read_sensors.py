#!/usr/bin/env python3
"""Read every channel of every sensor module, in metres or radians, with the kept extremes.

    read_sensors.py 192.168.1.20 --stage CEDAR1-POT
    read_sensors.py --sim
"""

import argparse

import vellumotor as vm


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("selector", nargs="?", help="IPv4 address, USB serial, SERV:NAME or CMON:NAME")
    parser.add_argument("--port", type=int, help="LAN command port (default 2048)")
    parser.add_argument("--sim", action="store_true", help="use the built-in virtual controller")
    parser.add_argument("--stage", default="CEDAR1-POT", help="stage type wired to every channel")
    args = parser.parse_args()

    target = vm.Simulator(speed=50) if args.sim else args.selector
    with vm.connect(target, port=args.port) as ctl:
        sensors = ctl.sensors()
        if not sensors:
            print("no sensor module in the rack")
        unit = vm.stage(args.stage).unit
        for sensor in sensors:
            sensor.stage = args.stage
            print(f"{sensor.label}: {sensor.position():.9f} {unit} "
                  f"(min {sensor.minimum():.9f}, max {sensor.maximum():.9f}, raw {sensor.reading()})")


if __name__ == "__main__":
    main()
