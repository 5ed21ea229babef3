"""The demo behind ``make demo``: what the module offers, run on sample data."""

from __future__ import annotations

import morvelin


def run(output: str) -> int:
    print("morvelin", morvelin.__version__)
    print("predefined dictionaries:", ", ".join(morvelin.predefined_dictionaries()))
    print("default detector parameters:")
    print(" ", morvelin.DetectorParameters())
    return 0
