"""The error the command line reports as one line instead of a traceback."""


class CommandError(Exception):
    """Something about the command's input or output that the user must fix."""
