"""The command line the examples share: a controller selector, a LAN port, or the simulator."""

import argparse

import vellumotor as vm


def argument_parser(doc):
    """A parser with the selector, --port and --sim; an example adds its own options."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("selector", nargs="?", help="IPv4 address, USB serial, SERV:NAME or CMON:NAME")
    parser.add_argument("--port", type=int, help="LAN command port (default 2048)")
    parser.add_argument("--sim", action="store_true", help="use the built-in virtual controller")
    return parser


def connect(args, **simulator):
    """Connect to what the arguments name; ``simulator`` are the Simulator's arguments for --sim."""
    target = vm.Simulator(**simulator) if args.sim else args.selector
    return vm.connect(target, port=args.port)
