"""The errors the command line reports as one line instead of a traceback."""


class CommandError(Exception):
    """Something about the command's input or output that the user must fix."""


class Terminated(BaseException):
    """SIGTERM arrived while a command ran.

    A BaseException, like KeyboardInterrupt, so that the ``except Exception``
    around reading and writing files lets it through to the clean-up.
    """
