"""Failures of the command line and their exit codes."""

from __future__ import annotations

# Exit codes.
OK = 0
SOME_INPUTS_FAILED = 1  # the run went through; some input files were reported and skipped
USAGE = 2               # bad command line, dictionary, parameter, board or camera file, no inputs
MISSING_PACKAGE = 3     # an optional dependency the command needs is not installed
OUTPUT_CLOSED = 141     # the reader of stdout went away (128 + SIGPIPE, as for tools the signal stops)


class CliError(Exception):
    """Stops the command with a message on stderr and an exit code."""

    def __init__(self, message: str, code: int = USAGE):
        super().__init__(message)
        self.code = code


class InputError(Exception):
    """One input file could not be used; the run goes on without it."""


def require_pillow():
    try:
        from PIL import Image
    except ImportError:
        raise CliError("this command reads and writes images with Pillow, which is not installed; "
                       "install it with: pip install 'morvelin[cli]'  (or: pip install pillow)",
                       MISSING_PACKAGE) from None
    return Image
