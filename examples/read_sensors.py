#!/usr/bin/env python3
"""Read every channel of every sensor module, in metres or radians, with the kept extremes.

    read_sensors.py 192.168.1.20 --stage CEDAR1-POT
    read_sensors.py --sim
"""

import vellumotor as vm
from example_target import argument_parser, connect


def main():
    parser = argument_parser(__doc__)
    parser.add_argument("--stage", default="CEDAR1-POT", help="stage type wired to every channel")
    args = parser.parse_args()

    with connect(args, speed=50) as ctl:
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
