"""Command line of morvelin: ``python -m morvelin <command>``."""

from __future__ import annotations

import argparse
import sys


def _demo(args: argparse.Namespace) -> int:
    from . import _demo as demo

    return demo.run(args.output, args.data)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="morvelin", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="run the detectors on bundled sample images")
    demo.add_argument("--output", default="demo_output", help="folder for annotated images")
    demo.add_argument("--data", default="tests/data/real", help="folder of the sample photographs")
    demo.set_defaults(handler=_demo)
    args = parser.parse_args(argv)
    return args.handler(args)


if __name__ == "__main__":
    sys.exit(main())
