"""Samples for the augmentation tests: smooth images and label maps of nested shapes, made from a seed,
and a map-style dataset of them that data-loader workers can import, under fork and spawn alike."""

import numpy as np
import pytest


def sample(seed, shape=(18, 20, 22), channels=2):
    """An image (channels, *shape) of smooth float32 values and a uint8 label map (1, *shape) of nested balls."""
    rng = np.random.default_rng(seed)
    z, y, x = np.indices(shape, dtype=np.float64)
    centre = np.array(shape) / 2 + rng.uniform(-2, 2, 3)
    radius = np.sqrt((z - centre[0]) ** 2 + (y - centre[1]) ** 2 + (x - centre[2]) ** 2)
    waves = [np.sin(x / rng.uniform(2, 5) + c) * np.cos(y / rng.uniform(2, 5)) + z / shape[0] for c in range(channels)]
    image = (np.stack(waves) * 100).astype(np.float32)
    label = np.digitize(radius, [3, 5, 8])[np.newaxis].astype(np.uint8)
    return {"image": image, "label": label}


class Samples:
    """``count`` samples, sample ``i`` made from seed ``i``."""

    def __init__(self, count, shape=(18, 20, 22)):
        self.count, self.shape = count, shape

    def __len__(self):
        return self.count

    def __getitem__(self, index):
        return sample(index, self.shape)


def peer(name):
    """The module ``name`` (torch, torchio, monai or one of theirs), or a visible skip that says how to get it."""
    return pytest.importorskip(
        name, reason=f"{name.split('.')[0]} is not installed: pip install 'voxwarpkit[augment-test]'"
    )
