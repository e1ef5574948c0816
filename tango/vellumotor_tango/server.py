"""The program vellumotor-tango: the Tango device server of the Vellumotor controller.

With a Tango database (TANGO_HOST set, devices registered, see docs/tango.md):

    vellumotor-tango INSTANCE [Tango options]

Without one ("no database" mode, for tests and a quick start), the devices come from the
command line: one VellumotorController and one VellumotorAxis per drive channel of the rack (or
per label given with --axes), named DOMAIN/INSTANCE/controller and DOMAIN/INSTANCE/1a, ..., one
VellumotorClosedLoop DOMAIN/INSTANCE/closedloop, and one VellumotorSensor per channel given with
--sensors (DOMAIN/INSTANCE/sensor-5-1, ...); the server listens on --endpoint only:

    vellumotor-tango INSTANCE --nodb --selector 192.168.1.20 [--endpoint 127.0.0.1:10000]
        [--axes 1A,1B] [--sensors 5.1=CEDAR1-POT] [--domain vellumotor] [--ready-file FILE]

(--ready-file FILE, in both modes, receives "HOST PORT" once the server runs.)

Clients then name the devices as tango://127.0.0.1:10000/vellumotor/INSTANCE/1a#dbase=no.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import tempfile
from typing import List, Optional

PROGRAM = "vellumotor-tango"


def _arguments(argv: List[str]):
    parser = argparse.ArgumentParser(prog=PROGRAM, description="Tango device server of the Vellumotor controller")
    parser.add_argument("instance", help="server instance name")
    parser.add_argument("--nodb", action="store_true", help="run without a Tango database")
    parser.add_argument(
        "--selector",
        default="",
        help="no-database mode: the controller (IPv4 address or ADDRESS:PORT, USB serial, SERV:NAME, "
        "CMON:NAME, sim[:RACK[:SPEED]]; empty: the first USB controller)",
    )
    parser.add_argument("--endpoint", default="127.0.0.1:10000", help="no-database mode: HOST:PORT to listen on")
    parser.add_argument("--axes", default="", help="no-database mode: axis labels (1A,3B); default every drive channel")
    parser.add_argument("--domain", default="vellumotor", help="no-database mode: first part of the device names")
    parser.add_argument(
        "--sensors",
        default="",
        help="no-database mode: sensor channels and their stage types (5.1=CEDAR1-POT,5.2=MAPLE1-ENC)",
    )
    parser.add_argument("--ready-file", help="write 'HOST PORT' here once the server runs")
    return parser.parse_known_args(argv)


def device_names(domain: str, instance: str, labels: List[str]):
    """The controller's device name and the axes' names by label."""
    base = f"{domain}/{instance}".lower()
    return f"{base}/controller", {label: f"{base}/{label.lower()}" for label in labels}


def _file_database(path: str, mode: str, instance: str, classes: dict, properties: dict) -> None:
    """Write the instance's devices by class ({class: [names]}) to a Tango file database (mode "w"
    starts it, "a" adds to it), then their properties ({name: {property: value}})."""
    import tango

    with open(path, mode) as f:
        for klass, names in classes.items():
            if names:
                f.write(f"{PROGRAM}/{instance}/DEVICE/{klass}: {', '.join(names)}\n")
    db = tango.Database(path)
    for name, values in properties.items():
        db.put_device_property(name, values)


def _stored_selector(selector: str) -> str:
    """The selector as a file database keeps it: an empty property cannot be stored there (a blank
    means the same to connect()), and a database splits values at commas, so a simulator's rack
    goes in without them."""
    from . import shared

    return shared.without_commas(selector) or " "


def write_database(path: str, instance: str, selector: str, controller: str, axes: dict) -> None:
    """A Tango file database with the devices and their properties."""
    selector = _stored_selector(selector)
    properties = {controller: {"Selector": selector}}
    for label, name in axes.items():
        properties[name] = {"Selector": selector, "Module": label[0], "Channel": "ABC".index(label[1]) + 1}
    _file_database(path, "w", instance, {"VellumotorController": [controller], "VellumotorAxis": list(axes.values())},
                   properties)


def sensor_devices(domain: str, instance: str, text: str):
    """The sensor devices of --sensors: {name: (slot, channel, stage word)}; ValueError when wrong."""
    devices = {}
    for item in (i.strip() for i in text.split(",")):
        if not item:
            continue
        match = re.match(r"^([1-6])\.([1-3])=(\S+)$", item)
        if not match:
            raise ValueError(f"not SLOT.CHANNEL=STAGE: {item}")
        slot, channel, word = match.groups()
        devices[f"{domain}/{instance}/sensor-{slot}-{channel}".lower()] = (int(slot), int(channel), word.upper())
    return devices


def add_positioning_devices(path: str, instance: str, selector: str, closed_loop: str, sensors: dict) -> None:
    """Add the closed-loop device and the sensor devices to the file database of write_database."""
    selector = _stored_selector(selector)
    properties = {closed_loop: {"Selector": selector}}
    for name, (slot, channel, word) in sensors.items():
        properties[name] = {"Selector": selector, "Module": slot, "Channel": channel, "Stage": word}
    _file_database(path, "a", instance, {"VellumotorClosedLoop": [closed_loop], "VellumotorSensor": list(sensors)},
                   properties)


def file_database_classes(classes, path: str, instance: str):
    """The classes a Tango file database names for the instance (it fails on any other), or all."""
    pattern = re.compile(rf"^{re.escape(PROGRAM)}/{re.escape(instance)}/DEVICE/(\w+)\s*:", re.I | re.M)
    with open(path) as f:
        named = {name.lower() for name in pattern.findall(f.read())}
    return tuple(c for c in classes if c.__name__.lower() in named) or classes


def main(argv: Optional[List[str]] = None) -> int:
    args, tango_args = _arguments(sys.argv[1:] if argv is None else argv)
    from tango.server import run

    from . import shared
    from .axis_device import VellumotorAxis
    from .closed_loop_device import VellumotorClosedLoop
    from .controller_device import VellumotorController
    from .sensor_device import VellumotorSensor

    classes = (VellumotorController, VellumotorAxis, VellumotorSensor, VellumotorClosedLoop)

    def ready():
        if args.ready_file:
            from tango.test_context import get_server_host_port

            host, port = get_server_host_port()
            temporary = args.ready_file + ".tmp"
            with open(temporary, "w") as f:
                f.write(f"{host} {port}\n")
            os.rename(temporary, args.ready_file)

    if not args.nodb:
        path = next((a[len("-file=") :] for a in tango_args if a.startswith("-file=")), None)
        if path and os.path.exists(path):
            classes = file_database_classes(classes, path, args.instance)
        try:
            run(classes, args=[PROGRAM, args.instance, *tango_args], post_init_callback=ready)
        finally:
            shared.close_all()
        return 0

    import vellumotor as vm

    endpoint = re.match(r"^([^:]+):(\d+)$", args.endpoint)
    if not endpoint or int(endpoint.group(2)) > 65535:
        print(f"{PROGRAM}: --endpoint must be HOST:PORT with a port 0 to 65535, not {args.endpoint!r}", file=sys.stderr)
        return 2
    selector = args.selector.strip()
    labels = [a.strip().upper() for a in args.axes.split(",") if a.strip()]
    try:
        ctl = shared.controller(selector)
        labels = labels or [label for m in ctl.modules() for label in m.axes]
    except ValueError as e:
        print(f"{PROGRAM}: {e}", file=sys.stderr)
        return 2
    except vm.Error as e:
        # The devices start in FAULT and recover once the controller answers; without --axes the
        # rack is unknown, so only the controller device is served.
        print(f"{PROGRAM}: the controller does not answer yet ({e}); its devices start in FAULT", file=sys.stderr)
    bad = [label for label in labels if not re.match(r"^[1-6][ABC]$", label)]
    if bad:
        print(f"{PROGRAM}: not an axis label: {', '.join(bad)}", file=sys.stderr)
        return 2
    try:
        sensors = sensor_devices(args.domain, args.instance, args.sensors)
    except ValueError as e:
        print(f"{PROGRAM}: --sensors: {e}", file=sys.stderr)
        return 2
    controller, axes = device_names(args.domain, args.instance, labels)
    handle, database = tempfile.mkstemp(prefix="vellumotor-tango-", suffix=".db")
    os.close(handle)

    try:
        write_database(database, args.instance, selector, controller, axes)
        closed_loop = controller[: -len("controller")] + "closedloop"
        add_positioning_devices(database, args.instance, selector, closed_loop, sensors)
        host, port = endpoint.groups()
        run(
            file_database_classes(classes, database, args.instance),
            args=[PROGRAM, args.instance, "-ORBendPoint", f"giop:tcp:{host}:{port}", f"-file={database}", *tango_args],
            post_init_callback=ready,
        )
    finally:
        os.unlink(database)
        shared.close_all()
    return 0
