"""voxwarpkit's random spatial transform as a MONAI dictionary transform (the monai extra).

The keys' arrays (numpy or torch, MetaTensors among them) are ``(C, Z, Y, X)``, their last three axes
taken as voxwarpkit takes them, with ``voxel_size`` ``(sx, sy, sz)`` along the last axis first; every
key goes through the same transform, so a sample gets the bits that :func:`voxwarpkit.augment.augment`
gives it for the same generator state. ``set_random_state`` seeds a numpy Generator of its own.
"""

from __future__ import annotations

import importlib
from typing import Any, Dict, Hashable, Mapping, Optional, Sequence, Union

import numpy as np

from .apply import IMAGE, Key, augment
from .draw import Drawn, draw
from .settings import Settings

_transforms = importlib.import_module("monai.transforms")
_Randomizable: Any = _transforms.Randomizable
_MapTransform: Any = _transforms.MapTransform


class RandSpatiald(_Randomizable, _MapTransform):  # type: ignore[misc]
    """A random affine and elastic deformation drawn by ``settings``, applied to ``keys``, each by its
    :class:`voxwarpkit.augment.Key` in ``modes`` (a key it omits: linear, fill 0). The transform drawn
    last is ``last_drawn``."""

    def __init__(
        self,
        keys: Any,
        settings: Settings,
        *,
        modes: Optional[Mapping[str, Key]] = None,
        voxel_size: Sequence[float] = (1.0, 1.0, 1.0),
        allow_missing_keys: bool = False,
    ) -> None:
        _MapTransform.__init__(self, keys, allow_missing_keys)
        self.settings = settings
        self.modes = dict(modes or {})
        self.voxel_size = tuple(float(v) for v in voxel_size)
        self.rng = np.random.default_rng()
        self.last_drawn: Optional[Drawn] = None

    def set_random_state(
        self, seed: Optional[int] = None, state: Union[np.random.Generator, np.random.RandomState, None] = None
    ) -> RandSpatiald:
        """Seeds this transform's Generator with ``seed``, or takes ``state`` (a Generator, or a
        RandomState whose next numbers seed one)."""
        if seed is not None:
            self.rng = np.random.default_rng(seed)
        elif isinstance(state, np.random.Generator):
            self.rng = state
        elif state is not None:
            self.rng = np.random.default_rng(state.randint(0, 2**31, 4))
        return self

    def randomize(self, data: Any = None) -> None:
        """Draws the next transform, for a sample like ``data``: a mapping (its first key's array) or an array."""
        if isinstance(data, Mapping):
            data = data[next(iter(self.key_iterator(dict(data))))]
        self.last_drawn = draw(self.settings, self.rng, tuple(np.shape(data)[-3:]), self.voxel_size)

    def __call__(self, data: Mapping[Hashable, Any]) -> Dict[Hashable, Any]:
        made = dict(data)
        names = [key for key in self.key_iterator(made)]
        if not names:
            return made
        arrays = {str(name): made[name] for name in names}
        modes = {str(name): self.modes.get(str(name), IMAGE) for name in names}
        results, drawn = augment(arrays, self.settings, self.rng, keys=modes, voxel_size=self.voxel_size)
        for name in names:
            made[name] = _with_meta(made[name], results[str(name)])
        self.last_drawn = drawn[0]
        return made


def _with_meta(original: Any, result: Any) -> Any:
    """``result`` as a MetaTensor with ``original``'s metadata when ``original`` is one: the grid is the
    same, so its affine still holds."""
    if not hasattr(original, "copy_meta_from"):
        return result
    made = type(original)(result)  # shares result's memory
    made.copy_meta_from(original)
    return made
