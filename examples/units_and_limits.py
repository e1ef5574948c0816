#!/usr/bin/env python3
"""Move an axis in millimetres within soft limits; a target outside them is refused.

    units_and_limits.py 192.168.1.20 --axis 1A --counts-per-mm 1000 --steps-per-mm 1000
    units_and_limits.py --sim
"""

import vellumotor as vm
from example_target import argument_parser, connect


def main():
    parser = argument_parser(__doc__)
    parser.add_argument("--axis", default="1A")
    parser.add_argument("--counts-per-mm", type=float, default=1000)
    parser.add_argument("--steps-per-mm", type=float, default=1000)
    args = parser.parse_args()

    with connect(args, speed=50) as ctl:
        ax = ctl.axis(args.axis)
        ax.configure(units="mm", counts_per_unit=args.counts_per_mm, steps_per_unit=args.steps_per_mm,
                     limits=(-0.5, 0.5))
        ax.set_position(0.0)
        print(f"{ax.label}: position {ax.position:.4f} mm from the {ax.position_source}")
        for target_mm in (0.2, -0.1, 0.0):
            print(f"{ax.label}: moved to {ax.move_to(target_mm, frequency=1000):.4f} mm")
        try:
            ax.move_by(1.0)
        except vm.LimitError as error:
            print(f"{ax.label}: refused: {error}")


if __name__ == "__main__":
    main()
