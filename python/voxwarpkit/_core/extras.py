"""Which extra installs each optional package, and the one way a missing one is told to the user."""

from typing import Any

# The extra of pyproject.toml that installs each package imported only when
# a feature needs it.
EXTRA_OF = {
    "nibabel": "cli",
    "matplotlib": "cli",
    "tqdm": "cli",
    "nitransforms": "cli",
    "tifffile": "cli",
    "dask": "dask",
    "zarr": "dask",
    "SimpleITK": "itk",
    "h5py": "itk",
    "universal_pathlib": "remote",  # imported as upath
    "fsspec": "remote",
    "s3fs": "remote",
    "aiohttp": "remote",
}


def not_installed(what: str, package: str) -> str:
    """The sentence "``what`` needs ``package``, which is not installed: install ..." for an error.

    voxwarpkit is installed from its source folder, not from a package
    index, so the hint names the extra as the README installs it there.
    """
    extra = EXTRA_OF.get(package.split(".")[0])
    if extra is None:  # a dependency of one of them
        return f"{what} needs {package}, which is not installed"
    return (
        f"{what} needs {package}, which is not installed: "
        f"install voxwarpkit's {extra} extra (pip install '.[{extra}]' in its source folder)"
    )


# What Zarr format 3 (shards, OME-Zarr 0.5) and writing to URLs need: zarr 3 installs on Python
# 3.11 or newer, and older Pythons get zarr 2, which reads and writes Zarr format 2 alone.
ZARR_3 = "zarr 3 or later (on Python 3.11 or newer)"


def zarr_major(zarr: Any) -> int:
    """The major version of the ``zarr`` module given."""
    return int(str(zarr.__version__).split(".")[0])
