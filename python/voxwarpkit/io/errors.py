"""The error every reader and writer here raises, and the one-line form of other errors it reports."""


class FileError(Exception):
    """A file or folder that cannot be read or written as asked; the message names it."""


def first_line(error: BaseException) -> str:
    """The first line of an error's message, or "" when it has none."""
    lines = str(error).strip().splitlines()
    return lines[0] if lines else ""
