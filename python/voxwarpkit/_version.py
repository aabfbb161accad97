"""The installed distribution's version, read from its metadata."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__: str = version("voxwarpkit")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"
