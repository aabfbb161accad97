"""Deskew a stage-scanned light-sheet stack of beads from OME-TIFF and write an OME-Zarr pyramid of it.

The stack is simulated: Gaussian beads in the sample, imaged by a sheet at 31.5
degrees to the coverslip, the stage stepping 0.4 um between camera frames of
0.104 um pixels. The deskew and the pyramid run as one command line, as a user
would run it; the picture shows the raw stack and level 1 of the pyramid, seen from
the side (a maximum along y), so the skew and its removal are plain.

    python examples/deskew_to_pyramid.py [FOLDER]   # writes beads.ome.tif, the OME-Zarr store and deskew.png
"""

import pathlib
import subprocess
import sys

import numpy as np

ANGLE = 31.5
VOXEL_SIZE = (0.104, 0.104, 0.4)  # camera x, camera y, stage step (um)
SHAPE = (120, 64, 160)  # (stage positions, camera y, camera x)


def simulated_stack(rng, beads=60, sigma=0.25):
    """Raw voxel (k, j, i) sees the sample at (k dz + i sx cos a, j sy, -i sx sin a) in coverslip coordinates."""
    sx, sy, dz = VOXEL_SIZE
    turn = np.radians(ANGLE)
    k, j, i = np.meshgrid(*(np.arange(n, dtype=np.float64) for n in SHAPE), indexing="ij")
    where = np.stack([k * dz + i * sx * np.cos(turn), j * sy, -i * sx * np.sin(turn)], axis=-1)
    low, high = where.reshape(-1, 3).min(axis=0), where.reshape(-1, 3).max(axis=0)
    stack = np.zeros(SHAPE)
    for centre in rng.uniform(low + 1, high - 1, (beads, 3)):
        stack += np.exp(-np.sum((where - centre) ** 2, axis=-1) / (2 * sigma**2))
    return (stack * 4000 + rng.poisson(100, SHAPE)).astype(np.uint16)


def run(*command):
    print("$", " ".join(command))
    subprocess.run(command, check=True)


def main(folder):
    import tifffile
    import zarr

    folder.mkdir(parents=True, exist_ok=True)
    raw = folder / "beads.ome.tif"
    sx, sy, dz = VOXEL_SIZE
    stack = simulated_stack(np.random.default_rng(0))
    metadata = {"axes": "ZYX", "PhysicalSizeX": sx, "PhysicalSizeY": sy, "PhysicalSizeZ": dz}
    tifffile.imwrite(raw, stack, ome=True, metadata=metadata)
    pyramid = folder / "deskewed.ome.zarr"
    voxwarpkit = [sys.executable, "-m", "voxwarpkit", "apply", str(raw), str(pyramid)]
    run(
        *voxwarpkit, "--deskew", str(ANGLE), "--deskew-rotate", "--levels", "3", "--chunks", "32", "64", "64", "--force"
    )
    level = np.asarray(zarr.open_group(str(pyramid), mode="r")["1"])
    picture(stack, level, folder / "deskew.png")


def picture(stack, level, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    side_raw = stack.max(axis=1)  # (stage position, camera x)
    side = level.max(axis=1)  # (Z, X) of the coverslip frame
    figure, axes = plt.subplots(1, 2, figsize=(9, 3.6))
    axes[0].imshow(side_raw.T, cmap="magma", aspect=VOXEL_SIZE[0] / VOXEL_SIZE[2])
    axes[0].set_title("raw stack: camera x against stage position")
    axes[1].imshow(side[::-1], cmap="magma")
    axes[1].set_title("pyramid level 1, deskewed: Z against X")
    for axis in axes:
        axis.set_xticks([])
        axis.set_yticks([])
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    print(f"wrote {path}")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "deskew-example"))
