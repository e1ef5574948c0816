#!/usr/bin/env python3
"""Move one axis by a number of steps and show the encoder count while it moves.

    move_progress.py 192.168.1.20 --axis 1A --steps 2000 --direction cw
    move_progress.py --sim
"""

from example_target import argument_parser, connect


def main():
    parser = argument_parser(__doc__)
    parser.add_argument("--axis", default="1A")
    parser.add_argument("--steps", type=int, default=600)
    parser.add_argument("--direction", default="cw", choices=["cw", "ccw"])
    parser.add_argument("--frequency", type=int, default=300)
    args = parser.parse_args()

    with connect(args, speed=50) as ctl:
        axis = ctl.axis(args.axis)
        start = axis.counter
        job = axis.move_steps(args.steps, args.direction, frequency=args.frequency, wait=False)
        try:
            while not job.done():
                count = axis.counter
                if count is not None and start is not None:
                    done = abs(count - start)
                    print(f"{axis.label}: {count:7d}  {100 * done // args.steps:3d} %", flush=True)
                ctl.sleep(0.2)
            final = job.wait()
        except BaseException:
            job.cancel()  # never leave the actuator running
            raise
        print(f"{axis.label}: stopped at {final if final is not None else 'unknown (no encoder)'}")


if __name__ == "__main__":
    main()
