"""voxwarpkit's random spatial transform as a TorchIO transform on Subjects (the torchio extra).

TorchIO's images hold ``(C, W, H, D)`` tensors along ``(i, j, k)``, with the spacing along the same
axes; they are read as the ``(C, Z, Y, X)`` arrays voxwarpkit takes (a view with the spatial axes
reversed) with that spacing as ``(sx, sy, sz)``, so a subject gets the bits that
:func:`voxwarpkit.augment.augment` gives its images for the same generator state.
"""

from __future__ import annotations

import importlib
from typing import Any, Dict, Optional, Union

import numpy as np

from .apply import IMAGE, LABEL, Key, augment
from .draw import Drawn
from .settings import Settings

tio = importlib.import_module("torchio")
torch = importlib.import_module("torch")
_SpatialTransform: Any = tio.SpatialTransform


class RandomSpatial(_SpatialTransform):  # type: ignore[misc]
    """A random affine and elastic deformation drawn by ``settings`` from this transform's own numpy
    Generator (``seed``: a seed or a Generator), each image of the subject resampled once: scalar images
    by ``image`` (linear by default), label maps by ``label`` (label interpolation). The transform drawn
    last is ``last_drawn``, a :class:`voxwarpkit.augment.Drawn`.

    Without ``seed`` the Generator is seeded, at the first subject a process transforms, from torch's
    ``initial_seed()``, as TorchIO's own transforms draw from torch: so torch.manual_seed makes a run
    reproducible and each DataLoader worker, which torch seeds apart, draws its own transforms. With a
    seed, each worker's copy of the transform draws the same stream; for loaders whose samples depend on
    the seed alone, whatever the workers, use :class:`voxwarpkit.augment.Augmented`."""

    def __init__(
        self,
        settings: Settings,
        seed: Union[int, np.random.Generator, None] = None,
        *,
        image: Key = IMAGE,
        label: Key = LABEL,
        **kwargs: Any,
    ) -> None:
        super().__init__(**kwargs)
        self.settings = settings
        self.rng: Optional[np.random.Generator] = None
        if seed is not None:
            self.rng = seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)
        self.image_key = image
        self.label_key = label
        self.last_drawn: Optional[Drawn] = None

    def apply_transform(self, subject: Any) -> Any:
        subject.check_consistent_spatial_shape()
        images = subject.get_images_dict(intensity_only=False, include=self.include, exclude=self.exclude)
        if not images:
            return subject
        spacing = next(iter(images.values())).spacing
        arrays: Dict[str, Any] = {name: image.data.numpy().transpose(0, 3, 2, 1) for name, image in images.items()}
        keys = {
            name: self.label_key if isinstance(image, tio.LabelMap) else self.image_key
            for name, image in images.items()
        }
        if self.rng is None:
            self.rng = np.random.default_rng(torch.initial_seed())
        results, drawn = augment(arrays, self.settings, self.rng, keys=keys, voxel_size=spacing)
        for name, image in images.items():
            image.set_data(torch.from_numpy(results[name].transpose(0, 3, 2, 1)))  # a view: TorchIO's axes
        self.last_drawn = drawn[0]
        return subject
