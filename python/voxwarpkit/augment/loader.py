"""A dataset whose samples are augmented from the seed and their index alone, for data-loader workers.

Each sample's generator is ``numpy.random.default_rng([seed, epoch, index])``: no state is shared between
workers or carried from one sample to the next, so the same seed gives the same samples whatever the
number of workers, their start method (fork or spawn) and the order they take the indices in. Each
sample runs on one thread unless told otherwise, as a worker is one process among several.
"""

from __future__ import annotations

from typing import Any, Dict, Mapping, Optional, Sequence

import numpy as np

from .apply import Key, augment
from .settings import Settings


class Augmented:
    """``dataset[index]`` (a mapping of names to arrays) augmented by ``settings`` with the generator of
    ``(seed, epoch, index)``; any map-style dataset with ``__len__`` and ``__getitem__``, a torch
    ``Dataset`` among them. ``keys`` and ``voxel_size`` are :func:`voxwarpkit.augment.augment`'s; with
    ``record``, the transform drawn goes under that name in each sample (torch's default collation takes
    no :class:`voxwarpkit.augment.Drawn`: give the DataLoader a ``collate_fn`` that keeps it)."""

    def __init__(
        self,
        dataset: Any,
        settings: Settings,
        seed: int,
        *,
        keys: Optional[Mapping[str, Key]] = None,
        voxel_size: Sequence[float] = (1.0, 1.0, 1.0),
        threads: int = 1,
        record: Optional[str] = None,
    ) -> None:
        if not isinstance(seed, (int, np.integer)) or isinstance(seed, bool) or seed < 0:
            raise ValueError(f"seed must be a whole number of at least 0, got {seed!r}")
        self.dataset = dataset
        self.settings = settings
        self.seed = int(seed)
        self.keys = dict(keys or {})
        self.voxel_size = tuple(float(v) for v in voxel_size)
        self.threads = threads
        self.record = record
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        """Draws the next samples for ``epoch``: each epoch its own transforms, the same for the same seed."""
        self.epoch = int(epoch)

    def __len__(self) -> int:
        return len(self.dataset)

    def __getitem__(self, index: int) -> Dict[str, Any]:
        sample = self.dataset[index]
        rng = np.random.default_rng([self.seed, self.epoch, int(index)])
        arrays = {name: value for name, value in sample.items() if name in self.keys or _is_array(value)}
        results, drawn = augment(
            arrays, self.settings, rng, keys=self.keys, voxel_size=self.voxel_size, threads=self.threads
        )
        made = dict(sample)
        made.update(results)
        if self.record is not None:
            made[self.record] = drawn[0] if len(drawn) == 1 else drawn
        return made


def _is_array(value: Any) -> bool:
    return isinstance(value, np.ndarray) or type(value).__module__.split(".")[0] == "torch"
