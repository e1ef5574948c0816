#!/usr/bin/env python3
"""Record one sensor channel at high frequency while its stage moves, and plot it to a PNG.

    record_sensor.py 192.168.1.20 --slot 5 --channel 1 --axis 3A --png recording.png
    record_sensor.py --sim
"""

import matplotlib

matplotlib.use("Agg")  # draw to a file, no display needed
import matplotlib.pyplot as plt  # noqa: E402

import vellumotor as vm  # noqa: E402
from example_target import argument_parser, connect  # noqa: E402


def main():
    parser = argument_parser(__doc__)
    parser.add_argument("--slot", type=int, default=5, help="slot of the sensor module")
    parser.add_argument("--channel", type=int, default=1)
    parser.add_argument("--stage", default="CEDAR1-POT")
    parser.add_argument("--axis", default="3A", help="the axis that moves the stage during the recording")
    parser.add_argument("--png", default="recording.png")
    args = parser.parse_args()

    with connect(args, speed=50) as ctl:
        sensor = ctl.sensor_module(args.slot).channels[args.channel - 1]
        job = ctl.axis(args.axis).move_steps(200, "cw", type="PROFILE1", frequency=1000, wait=False)
        try:
            data = sensor.record(args.stage)
        finally:
            job.cancel()  # never leave the actuator running
    unit = vm.stage(args.stage).unit
    figure, axes = plt.subplots(figsize=(7, 3.5), layout="constrained")
    axes.plot(data[:, 0] * 1000, data[:, 1] * 1e6, linewidth=0.8)
    axes.set_xlabel("time [ms]")
    axes.set_ylabel(f"position [µ{unit}]")
    axes.set_title(f"Sensor {sensor.label}, {args.stage}")
    axes.grid(True, alpha=0.3)
    figure.savefig(args.png, dpi=100)
    print(f"{len(data)} samples, {data[-1, 0] * 1000:.1f} ms, written to {args.png}")


if __name__ == "__main__":
    main()
