"""Samples resampled through their drawn transforms: numpy arrays or torch CPU tensors, one sample
``(C, Z, Y, X)`` (or ``(Z, Y, X)``) or a batch ``(N, C, Z, Y, X)``, each key of a sample with its own
interpolation, fill and edge rule, every key of a sample through the same transform in one pass.

A tensor is read through numpy's view of its memory and the result is a tensor made from numpy's array
(no copy either way); a batch's samples run on up to ``threads`` threads, one sample a thread, since
each engine call releases the interpreter, and the bits do not depend on how many.
"""

from __future__ import annotations

import sys
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .._backends.request import checked_request
from .._engine import bspline_displacements
from .._resample import resample
from ..bspline import BSpline
from ..field import Field
from .draw import Drawn, draw
from .settings import Settings

if TYPE_CHECKING:
    from numpy.typing import NDArray


class Key(NamedTuple):
    """How one key of a sample is resampled: ``interpolation`` (as :func:`voxwarpkit.resample` names it:
    "linear" or "cubic" for images, "nearest" or "label" for label maps), ``fill`` for positions outside
    the input, linear's ``edges`` rule and the blends' result ``dtype`` (None: float32)."""

    interpolation: str = "linear"
    fill: float = 0.0
    edges: str = "clamp"
    dtype: Any = None


IMAGE = Key("linear")
LABEL = Key("label")


def augment(
    sample: Mapping[str, Any],
    settings: Settings,
    rng: np.random.Generator,
    *,
    keys: Optional[Mapping[str, Key]] = None,
    voxel_size: Sequence[float] = (1.0, 1.0, 1.0),
    threads: int = 1,
) -> Tuple[Dict[str, Any], List[Drawn]]:
    """Each sample of ``sample`` (a mapping of names to arrays of one spatial shape) through its own random
    spatial transform drawn from ``rng``: the resampled arrays under the same names, and the transforms
    drawn, one per sample in order (a single sample has one).

    ``keys`` gives each name's :class:`Key` (names it omits: linear, fill 0; every name it lists must be in
    ``sample``). Arrays of rank 5 are batches ``(N, C, Z, Y, X)``, of rank 4 one sample of channels, of
    rank 3 one volume; all must agree. ``voxel_size`` ``(sx, sy, sz)`` is the samples' spacing, in whose
    units the settings' translations and displacements are. The transforms are drawn in sample order
    before anything is resampled, so the same generator state gives the same samples whatever
    ``threads``. ValueError or TypeError for arrays or keys that do not fit, before anything is drawn.
    """
    given = dict(keys or {})
    unknown = sorted(set(given) - set(sample))
    if unknown:
        raise ValueError(f"keys names {unknown}, which the sample does not hold")
    if not sample:
        raise ValueError("sample holds no array")
    views = {name: _as_numpy(array, name) for name, array in sample.items()}
    batch, spatial = _layout(views)
    parts = [
        _Part(view, given.get(name, IMAGE), _check_key(name, given.get(name, IMAGE), view))
        for name, view in views.items()
    ]
    drawn = [draw(settings, rng, spatial, voxel_size, threads=threads) for _ in range(1 if batch is None else batch)]
    results = _resampled(parts, drawn, batch, threads)
    return {name: _like(sample[name], result) for name, result in zip(views, results)}, drawn


def apply(drawn: Drawn, volumes: Any, key: Key = IMAGE, *, threads: int = 1) -> Any:
    """One sample ``(C, Z, Y, X)`` or ``(Z, Y, X)`` (numpy or torch) through a drawn transform: the bits
    :func:`augment` gave it."""
    view = _as_numpy(volumes, "volumes")
    if view.ndim not in (3, 4):
        raise ValueError(f"volumes must be (C, Z, Y, X) or (Z, Y, X), got shape {view.shape}")
    part = _Part(view, key, _check_key("volumes", key, view))
    return _like(volumes, _resampled([part], [drawn], None, threads)[0])


def _as_numpy(array: Any, name: str) -> NDArray[Any]:
    """numpy's view of a numpy array or a torch CPU tensor."""
    if isinstance(array, np.ndarray):
        return array
    torch = sys.modules.get("torch")
    if torch is not None and isinstance(array, torch.Tensor):
        if array.device.type != "cpu":
            raise TypeError(f"{name} is a tensor on {array.device}; augment reads CPU tensors")
        view: NDArray[Any] = array.detach().numpy()
        return view
    raise TypeError(f"{name} must be a numpy array or a torch tensor, not {type(array).__name__}")


def _like(original: Any, result: NDArray[Any]) -> Any:
    """``result`` as a tensor when ``original`` is one, sharing its memory."""
    if isinstance(original, np.ndarray):
        return result
    return sys.modules["torch"].from_numpy(result)


def _layout(views: Dict[str, NDArray[Any]]) -> Tuple[Optional[int], Tuple[int, int, int]]:
    """The batch size (None for one sample) and the spatial shape the arrays share, or ValueError."""
    ranks = {view.ndim for view in views.values()}
    spatials = {tuple(view.shape[-3:]) for view in views.values()}
    if not ranks <= {3, 4, 5} or len(spatials) != 1:
        shapes = {name: view.shape for name, view in views.items()}
        raise ValueError(f"arrays must share one spatial shape, of rank 3, 4 or 5 (N, C, Z, Y, X); got {shapes}")
    batches = {view.shape[0] for view in views.values() if view.ndim == 5}
    if batches and ranks != {5} or len(batches) > 1:
        raise ValueError("a batch's arrays must all be (N, C, Z, Y, X) with one N")
    z, y, x = spatials.pop()
    return (batches.pop() if batches else None), (int(z), int(y), int(x))


def _check_key(name: str, key: Key, view: NDArray[Any]) -> np.dtype[Any]:
    """The result's element type for this array by this Key, or TypeError or ValueError naming the key
    for a Key that resample would refuse."""
    if not isinstance(key, Key):
        raise TypeError(f"the key of {name} must be a voxwarpkit.augment.Key, not {type(key).__name__}")
    # The shapes alone: a reshape of a strided batch would copy it.
    shape = (view.shape[0] * view.shape[1], *view.shape[2:]) if view.ndim == 5 else view.shape
    try:
        request = checked_request(
            tuple(shape),
            view.dtype,
            (1, 1, 1),
            np.eye(4),
            shape=None,
            output_voxel_size=None,
            interpolation=key.interpolation,
            fill=key.fill,
            edges=key.edges,
            dtype=key.dtype,
            threads=1,
        )
    except (TypeError, ValueError) as error:
        raise type(error)(f"{name}: {error}") from None
    return request.result_type


class _Part(NamedTuple):
    """One name of a sample: its array, its Key and the result's element type."""

    view: NDArray[Any]
    key: Key
    result_type: np.dtype[Any]


def _resampled(parts: List[_Part], drawn: List[Drawn], batch: Optional[int], threads: int) -> List[NDArray[Any]]:
    """Every part of every sample through the sample's transform, each part into one new array of its
    view's layout: one sample on ``threads`` threads, a batch's samples side by side, one thread each,
    each sample's parts one after the other through the same chain."""
    results = [np.empty(part.view.shape, dtype=part.result_type) for part in parts]

    def run(n: int, threads: int) -> None:
        chain = _chain(drawn[n], parts[0].view.shape[-3:]) if len(parts) > 1 else drawn[n].chain
        for part, result in zip(parts, results):
            volumes, out = (part.view, result) if batch is None else (part.view[n], result[n])
            resample(
                volumes,
                (1.0, 1.0, 1.0),
                chain,
                interpolation=part.key.interpolation,
                fill=part.key.fill,
                edges=part.key.edges,
                dtype=part.key.dtype,
                threads=threads,
                out=out,
            )

    if batch is None:
        run(0, threads)
    else:
        with ThreadPoolExecutor(max_workers=max(1, min(threads, batch))) as pool:
            list(pool.map(run, range(batch), [1] * batch))
    return results


def _chain(drawn: Drawn, shape: Tuple[int, ...]) -> Any:
    """The drawn chain with a B-spline made once into the field of its displacements at the voxels, which
    the engine reads at whole indices as the B-spline's bits: every part of the sample reuses it."""
    if not isinstance(drawn.deformation, BSpline):
        return drawn.chain
    positions = [np.arange(n, dtype=np.float32) for n in shape[::-1]]
    steps = bspline_displacements(drawn.deformation.engine_form(), *positions)  # (3, nz, ny, nx)
    return [Field(np.moveaxis(steps, 0, 3), (1.0, 1.0, 1.0)), drawn.matrix]
