"""An independent model of voxwarpkit.ndimage's arithmetic, written from the definitions page
("The scipy.ndimage path") in Python floats, one rounding per operation, with no engine code: slow,
for small inputs, and the oracle the engine's bits are checked against."""

from __future__ import annotations

import math
from typing import Any, Callable, List, Optional, Sequence, Tuple

import numpy as np

POLES = {
    2: [-0.171572875253809902396622551580603843],
    3: [-0.267949192431122706472553658494127633],
    4: [-0.361341225900220177092212841325675255, -0.013725429297339121360331226939128204],
    5: [-0.430575347099973791851434783493520110, -0.043096288203264653822712376822550182],
}
FILTER_START = {
    "constant": "mirror",
    "grid-constant": "mirror",
    "mirror": "mirror",
    "wrap": "mirror",
    "reflect": "reflect",
    "grid-mirror": "reflect",
    "nearest": "reflect",
    "grid-wrap": "wrap",
}


def weights_of(order: int, x: float) -> List[float]:
    """The tap weights at offset x from the taps' base (definitions page, "Weights")."""
    if order == 0:
        return [1.0]
    if order == 1:
        return [1.0 - x, x]
    if order == 3:
        s = 1.0 - x
        t3 = (x * x) * x
        return [
            ((s * s) * s) / 6.0,
            (((3.0 * t3) - (6.0 * (x * x))) + 4.0) / 6.0,
            ((((3.0 * (x * x)) - (3.0 * t3)) + (3.0 * x)) + 1.0) / 6.0,
            t3 / 6.0,
        ]
    w = [0.0] * (order + 1)
    if order == 2:
        w[1] = 0.75 - x * x
        y = 0.5 - x
        w[0] = (0.5 * y) * y
    elif order == 4:
        t = x * x
        w[2] = t * (t * 0.25 - 0.625) + 115.0 / 192.0
        y = 1.0 + x
        w[1] = y * (y * ((y * (5.0 - y)) / 6.0 - 1.25) + 5.0 / 24.0) + 55.0 / 96.0
        z = 1.0 - x
        w[3] = z * (z * ((z * (5.0 - z)) / 6.0 - 1.25) + 5.0 / 24.0) + 55.0 / 96.0
        v = 0.5 - x
        w[0] = ((v * v) * (v * v)) / 24.0
    else:
        y, z = x, 1.0 - x
        w[2] = (y * y) * ((y * y) * (0.25 - y / 12.0) - 0.5) + 0.55
        w[3] = (z * z) * ((z * z) * (0.25 - z / 12.0) - 0.5) + 0.55
        y1, z1 = y + 1.0, z + 1.0
        w[1] = y1 * (y1 * (y1 * (y1 * (y1 / 24.0 - 0.375) + 1.25) - 1.75) + 0.625) + 0.425
        w[4] = z1 * (z1 * (z1 * (z1 * (z1 / 24.0 - 0.375) + 1.25) - 1.75) + 0.625) + 0.425
        v = 1.0 - x
        w[0] = ((v * (v * v)) * (v * v)) / 120.0
    last = 1.0
    for k in range(order):
        last = last - w[k]
    w[order] = last
    return w


def mapped(c: float, n: int, mode: str) -> float:
    """A position outside [0, n - 1] brought back by ``mode`` (-1 for constant)."""
    if 0.0 <= c <= n - 1 or mode == "grid-constant":
        return c
    if mode == "nearest":
        return 0.0 if c < 0 else float(n - 1)
    if mode == "constant":
        return -1.0
    if n <= 1:
        return 0.0
    below = c < 0
    if mode == "mirror":
        period = 2 * n - 2
        if below:
            moved = float(period * int(-c / period)) + c
            return moved + period if moved <= 1 - n else -moved
        moved = c - float(period * int(c / period))
        return period - moved if moved >= n else moved
    if mode in ("reflect", "grid-mirror"):
        period = 2 * n
        if below:
            moved = c
            if moved < -period:
                moved = float(period * int(-moved / period)) + moved
            if moved < -n:
                return moved + period
            return (1e-15 if moved > -1e-15 else -moved) - 1.0
        moved = c - float(period * int(c / period))
        return (period - moved) - 1.0 if moved >= n else moved
    if mode == "wrap":
        period = n - 1
        if below:
            return c + float(period * (int(-c / period) + 1))
        return c - float(period * int(c / period))
    assert mode == "grid-wrap"
    if below:
        return c + float(n * (int((-1.0 - c) / n) + 1))
    return c - float(n * int(c / n))


def taps_of(c: float, n: int, order: int, mode: str) -> Optional[List[Tuple[Optional[int], float]]]:
    """Each tap's voxel (None: reads cval) and weight at position c, or None when not sampled."""
    if not abs(c) < 2.0**52:
        return None
    if mode not in ("nearest", "grid-constant"):
        c = mapped(c, n, mode)
        if not c > -1.0:
            return None
    base = math.floor(c) if order % 2 else math.floor(c + 0.5)
    start = base - order // 2
    weights = weights_of(order, c - base)
    tap_mode = "mirror" if mode in ("constant", "wrap") else mode
    taps: List[Tuple[Optional[int], float]] = []
    for k in range(order + 1):
        index: Optional[int] = start + k
        assert index is not None
        if mode == "grid-constant":
            index = index if 0 <= index < n else None
        elif start < 0 or start + order >= n:
            index = int(mapped(float(index), n, tap_mode)) if not 0 <= index < n else index
        taps.append((index, weights[k]))
    return taps


def added(values: Sequence[float], weights: Sequence[float]) -> float:
    total = values[0] * weights[0]
    for value, weight in zip(values[1:], weights[1:]):
        total = total + value * weight
    return total


def blend(values: Any, axes: List[List[Tuple[Optional[int], float]]], cval: float) -> float:
    """The nested sum: the last axis's taps weighed first, then each axis before it."""

    def level(depth: int, index: Tuple[Optional[int], ...]) -> float:
        taps = axes[depth]
        if depth == len(axes) - 1:
            row = []
            for voxel, _ in taps:
                at = index + (voxel,)
                row.append(cval if None in at else float(values[at]))
            return added(row, [w for _, w in taps])
        return added([level(depth + 1, index + (voxel,)) for voxel, _ in taps], [w for _, w in taps])

    return level(0, ())


def prefiltered(values: Any, order: int, mode: str, cval: float) -> Tuple[Any, int]:
    """The float64 coefficients (padded by 12 under nearest and grid-constant) and the padding."""
    padding = 0
    if mode == "nearest":
        values, padding = np.pad(values, 12, mode="edge"), 12
    elif mode == "grid-constant":
        values, padding = np.pad(values, 12, mode="constant", constant_values=cval), 12
    c = np.array(values, dtype=np.float64)
    for axis in range(c.ndim):
        moved = np.moveaxis(c, axis, -1)
        for index in np.ndindex(*moved.shape[:-1]):
            moved[index] = filtered_line([float(v) for v in moved[index]], order, FILTER_START[mode])
    return c, padding


def filtered_line(c: List[float], order: int, start: str) -> List[float]:
    n = len(c)
    if n < 2:
        return c
    gain = 1.0
    for z in POLES[order]:
        gain = gain * ((1.0 - z) * (1.0 - 1.0 / z))
    c = [v * gain for v in c]

    def power(z: float, k: int) -> float:
        p = z
        for _ in range(k - 1):
            p = p * z
        return p

    for z in POLES[order]:
        if start == "mirror":
            zl = power(z, n - 1)
            s = c[0] + zl * c[n - 1]
            zi = z
            for i in range(1, n - 1):
                s = s + zi * (c[i] + zl * c[n - 1 - i])
                zi = zi * z
            c[0] = s / (1.0 - zl * zl)
        elif start == "reflect":
            zn = power(z, n)
            first = c[0]
            s = c[0] + zn * c[n - 1]
            zi = z
            for i in range(1, n):
                s = s + zi * (c[i] + zn * c[n - 1 - i])
                zi = zi * z
            c[0] = s * (z / (1.0 - zn * zn)) + first
        else:
            s, zi = c[0], z
            for i in range(1, n):
                s = s + zi * c[n - i]
                zi = zi * z
            c[0] = s / (1.0 - zi)
        for i in range(1, n):
            c[i] = c[i] + z * c[i - 1]
        if start == "mirror":
            c[n - 1] = ((z * c[n - 2] + c[n - 1]) * z) / (z * z - 1.0)
        elif start == "reflect":
            c[n - 1] = c[n - 1] * (z / (z - 1.0))
        else:
            s, zi = c[n - 1], z
            for i in range(n - 1):
                s = s + zi * c[i]
                zi = zi * z
            c[n - 1] = s * (z / (zi - 1.0))
        for i in range(n - 2, -1, -1):
            c[i] = z * (c[i + 1] - c[i])
    return c


def cast(value: float, dtype: np.dtype[Any]) -> Any:
    """A sum as an element of ``dtype`` by scipy's casts."""
    if dtype.kind == "f":
        return np.array(value).astype(dtype)
    if dtype.kind == "b":
        return np.bool_(value != 0.0)
    info = np.iinfo(dtype)
    if value != value:
        return dtype.type(0)
    rounded = value + 0.5 if value > 0 else (value - 0.5 if info.min < 0 else 0.0)
    if rounded >= float(info.max) + 1.0:
        return dtype.type(info.max)
    if rounded <= float(info.min) - 1.0:
        return dtype.type(info.min)
    return dtype.type(int(rounded))


def transform(
    values: Any,
    position: Callable[[Tuple[int, ...]], Sequence[float]],
    output_shape: Tuple[int, ...],
    order: int,
    mode: str,
    cval: float,
    dtype: np.dtype[Any],
    prefilter: bool = True,
) -> Any:
    """The result at each output index, whose input position ``position(index)`` gives."""
    padding = 0
    if prefilter and order > 1:
        values, padding = prefiltered(values, order, mode, cval)
    out = np.zeros(output_shape, dtype=dtype)
    for index in np.ndindex(*output_shape):
        axes = []
        for p, n in zip(position(index), values.shape):
            taps = taps_of(p + padding, n, order, mode)
            if taps is None:
                break
            axes.append(taps)
        out[index] = cast(cval if len(axes) < values.ndim else blend(values, axes, cval), dtype)
    return out


def affine_position(matrix: Any, shift: Sequence[float]) -> Callable[[Tuple[int, ...]], List[float]]:
    """scipy's order: the shift, then each output index times its column, added from the left."""

    def position(index: Tuple[int, ...]) -> List[float]:
        result = []
        for h in range(len(shift)):
            p = float(shift[h])
            for l, o in enumerate(index):
                p = p + float(o) * float(matrix[h][l])
            result.append(p)
        return result

    return position


def zoom_shift_position(
    zoom: Optional[Sequence[float]], shift: Optional[Sequence[float]], grid_mode: bool = False
) -> Callable[[Tuple[int, ...]], List[float]]:
    def position(index: Tuple[int, ...]) -> List[float]:
        result = []
        for h, o in enumerate(index):
            p = float(o)
            if shift is not None:
                p = p + float(shift[h])
            if zoom is not None:
                p = ((p + 0.5) * float(zoom[h])) - 0.5 if grid_mode else p * float(zoom[h])
            result.append(p)
        return result

    return position
