"""NIfTI's data scaling (``scl_slope``, ``scl_inter``) for the methods that copy values.

A file stores raw elements; a reader sees ``raw * slope + inter``. Nearest and
label sampling copy elements, so they copy the raw ones and the output keeps
the element type and the scaling: the file written holds the same raw
elements, and a reader sees the same values. The blends read the values.
"""

from __future__ import annotations

import io
import math
from typing import Any, NamedTuple, Optional

import numpy as np

from .._core.methods import blends

# The raw value a fill stands for may miss a whole number by this much (relative)
# and still be taken for it: what the slope's float32 rounding leaves.
_WHOLE_TOLERANCE = 1e-6


class Scaling(NamedTuple):
    """How a NIfTI file stores its values: ``raw * slope + inter``, ``raw`` of ``raw_type``."""

    slope: float
    inter: float
    raw_type: np.dtype[Any]


def copied_scaling(img: Any, method: str, antialias: bool, fill: Optional[float] = None) -> Optional[Scaling]:
    """The scaling of ``img``'s data when ``method`` copies its elements (nearest or label,
    unsmoothed); None when it blends values, or the data are not scaled: an image in
    memory (its array holds the values) or any image but NIfTI.

    ``fill`` None is the default fill, 0: where the stored type holds no element that
    reads as 0 (a slope and intercept that put 0 outside its range, as many scanners'
    files do), the values are resampled instead, as a blend resamples them, so that a
    call with the defaults works on every file. A fill that was given is the caller's
    to check with :func:`raw_fill`.
    """
    import nibabel as nib

    if blends(method) or antialias:
        return None
    proxy = img.dataobj
    is_proxy: Any = nib.is_proxy  # nibabel leaves it unannotated
    if not (isinstance(img, nib.Nifti1Pair) and is_proxy(proxy)):
        return None
    slope, inter = float(getattr(proxy, "slope", 1.0)), float(getattr(proxy, "inter", 0.0))
    if slope == 1.0 and inter == 0.0:
        return None
    scaling = Scaling(slope, inter, np.dtype(proxy.dtype))
    if fill is None and _raw_element(0.0, scaling) is None:
        return None
    return scaling


def unscaled(img: Any) -> Any:
    """A proxy that reads ``img``'s raw elements from its file, slice by slice, as its own proxy does."""
    from nibabel.arrayproxy import ArrayProxy

    proxy = img.dataobj
    made: Any = ArrayProxy  # its constructor is not annotated
    return made(
        proxy.file_like, (proxy.shape, proxy.dtype, proxy.offset, 1.0, 0.0), order=proxy.order, keep_file_open=True
    )


def scaled(raw: np.ndarray[Any, Any], scaling: Scaling) -> Any:
    """A proxy over ``raw`` (in memory) that reads its values as a file with ``scaling`` reads."""
    from nibabel.arrayproxy import ArrayProxy

    layout = (raw.shape, raw.dtype, 0, scaling.slope, scaling.inter)
    made: Any = ArrayProxy  # its constructor is not annotated
    return made(io.BytesIO(raw.tobytes(order="F")), layout, order="F")


def raw_fill(fill: Optional[float], scaling: Scaling) -> Any:
    """The raw element that reads as ``fill`` (None: 0): ``(fill - inter) / slope``, a whole
    number for integers; ValueError when the raw type cannot hold it."""
    fill = 0.0 if fill is None else fill
    try:
        number = float(fill)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"fill {fill!r} is not a number") from None
    whole = _raw_element(number, scaling)
    if whole is None:
        info, value = np.iinfo(scaling.raw_type), (number - scaling.inter) / scaling.slope
        raise ValueError(
            f"fill {fill!r} is not a value the data can hold: they are stored as "
            f"{scaling.raw_type.newbyteorder('=').name} times {scaling.slope:g} plus {scaling.inter:g}, "
            f"so the fill would be stored as {value:g}, not a whole number from {info.min} to {info.max}"
        )
    return whole


def _raw_element(fill: float, scaling: Scaling) -> Any:
    """The raw element that reads as ``fill``, or None when the raw type holds none."""
    value = (fill - scaling.inter) / scaling.slope
    if scaling.raw_type.kind == "f":
        return value
    whole = round(value) if math.isfinite(value) else None
    info = np.iinfo(scaling.raw_type)
    if (
        whole is None
        or abs(value - whole) > _WHOLE_TOLERANCE * max(1.0, abs(value))
        or not info.min <= whole <= info.max
    ):
        return None
    return whole
