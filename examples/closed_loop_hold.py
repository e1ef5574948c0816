#!/usr/bin/env python3
"""Hold three stages at set-points in the controller's closed loop, and wait until they settle.

    closed_loop_hold.py 192.168.1.20 --stage CEDAR1-POT --set-point 0.2
    closed_loop_hold.py --sim
"""

from example_target import argument_parser, connect


def main():
    parser = argument_parser(__doc__)
    parser.add_argument("--stage", default="CEDAR1-POT", help="stage type of the three axes")
    parser.add_argument("--set-point", type=float, default=0.2, help="set-point of every axis, -1 to 1")
    parser.add_argument("--temperature", type=int, default=293, help="actuator temperature in K")
    args = parser.parse_args()

    with connect(args, speed=50) as ctl:
        loop = ctl.closed_loop
        loop.enable(args.stage, clear=0.5, temperature=args.temperature, tolerance=0.0005)
        try:
            loop.set_points(args.set_point, args.set_point, args.set_point)
            state = loop.wait_settled(timeout=30)
            print(f"settled: enabled {state.enabled}, position errors {state.position_error}")
        finally:
            loop.stop()  # stop every axis where it is and leave the loop


if __name__ == "__main__":
    main()
