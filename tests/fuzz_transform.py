"""Random and adversarial calls of transform, each checked against the rules.

    python tests/fuzz_transform.py --seconds 60 [--seed N]

Every case comes from one integer seed: arrays of every element type
(accepted and refused), rank and shape (axes of 0 and 1 included), in every
layout (strided, reversed, misaligned, byte-swapped, zero-stride), with voxel
sizes and matrices drawn from adversarial values (huge, tiny, subnormal, NaN,
infinite, exact band edges). A result must equal the independent reference
bit for bit; a refusal must be the exception and message the rules give.

A failing seed is saved as tests/fuzz_cases/seed-N.json, which
tests/kernel/test_fuzz_cases.py replays from then on. The seed being run is kept in
tests/fuzz_cases/last-seed, so that a crash can be replayed too.
"""

import argparse
import json
import math
import pathlib
import sys
import time
import traceback

import numpy as np
from numpy.lib.stride_tricks import as_strided

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from support.bits import assert_same_bits  # noqa: E402
from support.layouts import LAYOUTS  # noqa: E402
from support.reference import accepted_types, transform_reference  # noqa: E402

import _voxwarpkit  # noqa: E402

CASES = HERE / "fuzz_cases"
IMAGE_TYPES = "Bhilfd"
REFUSED_TYPES = ["?", "b", "H", "I", "L", "q", "Q", "e", "g", "F", "D", "O", "U2", "M8[s]"]
LIMIT = 2**31 - 1

FLOAT_POOL = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    2.0,
    1e-45,
    -1e-45,
    1e-40,
    1.2e-38,
    1e-30,
    3e38,
    -3e38,
    1e30,
    3e9,
    -3e9,
    16777217.0,
    np.inf,
    -np.inf,
    np.nan,
]


def adversarial_floats(rng, count, dtype):
    values = rng.standard_normal(count) * 10.0 ** rng.integers(-3, 5, count)
    picked = rng.random(count) < 0.3
    values[picked] = rng.choice(FLOAT_POOL, picked.sum())
    with np.errstate(over="ignore"):
        out = values.astype(dtype)
    if np.dtype(dtype).kind == "f" and np.dtype(dtype).itemsize == 4 and count:
        # NaNs with payloads, quiet and signalling, of both signs
        nan = rng.random(count) < 0.05
        bits = rng.integers(1, 1 << 22, nan.sum()).astype(np.uint32)
        bits |= rng.integers(0, 2, nan.sum()).astype(np.uint32) << np.uint32(22)
        bits |= rng.integers(0, 2, nan.sum()).astype(np.uint32) << np.uint32(31)
        out.view(np.uint32)[nan] = bits | np.uint32(0x7F800000)
    return out


def values_of(rng, dtype, shape):
    dtype = np.dtype(dtype)
    count = int(np.prod(shape))
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return (
            rng.integers(info.min, info.max, count, dtype=np.int64 if dtype.kind == "i" else np.uint64, endpoint=True)
            .astype(dtype)
            .reshape(shape)
        )
    if dtype.kind == "f":
        return adversarial_floats(rng, count, dtype).reshape(shape)
    if dtype.kind == "b":
        return (rng.random(count) < 0.5).reshape(shape)
    if dtype.kind == "c":
        return (rng.standard_normal(count) + 1j).astype(dtype).reshape(shape)
    return np.zeros(shape, dtype)


def in_layout(rng, array):
    """The same logical array in a random memory layout."""
    choice = rng.integers(0, len(LAYOUTS) + 2)
    if array.dtype.kind in "OUM" and choice >= 5:
        return array
    if choice < len(LAYOUTS):
        name = sorted(LAYOUTS)[choice]
        if array.dtype.kind in "OUM" and name in ("misaligned", "swapped", "mixed"):
            return array
        return LAYOUTS[name](array)
    if choice == len(LAYOUTS) and array.ndim:
        axes = rng.permutation(array.ndim)
        return np.ascontiguousarray(array.transpose(axes)).transpose(np.argsort(axes))
    # zero strides: every index on some axes reads one element
    if array.size == 0 or array.ndim == 0:
        return array
    flat_axes = rng.random(array.ndim) < 0.5
    base = array[tuple(slice(0, 1) if flat else slice(None) for flat in flat_axes)].copy()
    strides = [0 if flat else stride for flat, stride in zip(flat_axes, base.strides)]
    return as_strided(base, shape=array.shape, strides=strides)


def random_shape(rng, rank, lengths):
    return tuple(int(rng.choice(lengths)) for _ in range(rank))


def random_image(rng):
    # mostly images that transform accepts, so that most cases compare results
    sound = rng.random() < 0.85
    rank = int(rng.choice([3, 4])) if sound else int(rng.choice([3, 4, 0, 1, 2, 5]))
    shape = random_shape(rng, rank, [0, 1, 1, 2, 3, 4, 5, 7, 9, 13, 16, 17, 31, 40])
    while int(np.prod(shape)) > 40000:
        longest = int(np.argmax(shape))
        shape = shape[:longest] + (1,) + shape[longest + 1 :]
    dtype = rng.choice(list(IMAGE_TYPES)) if sound else rng.choice(REFUSED_TYPES + list(IMAGE_TYPES))
    if rank in (3, 4) and rng.random() < 0.03:
        # too large for 32-bit counts: zero strides, so nothing real is behind it
        shape = tuple(int(n) for n in rng.choice([[2, 2**30, 1], [2**31, 1, 1], [2**31, 0, 3], [2**16, 2**16, 2**16]]))
        shape = shape if rank == 3 else (1,) + shape
        return as_strided(np.zeros(1, dtype), shape=shape, strides=(0,) * rank)
    return in_layout(rng, values_of(rng, dtype, shape))


def random_parameter(rng, needed, shape_zyx):
    """voxel_size (needed 3) or matrix (needed 12): usually valid, sometimes not."""
    accepted = ["f", "f", "d", "d", "q", "l", "i", "h", "B"]
    if rng.random() < 0.85:
        rank = int(rng.choice([1, 1, 1, 2]))
        shape = (needed + int(rng.choice([0, 0, 0, 1, 5])),) + random_shape(rng, rank - 1, [1, 2, 3])
        dtype = rng.choice(accepted)
    else:
        rank = int(rng.choice([1, 2, 3, 0]))
        length = int(rng.choice([needed, needed + 1, needed - 1, 1, 0]))
        shape = (length,) + random_shape(rng, rank - 1, [1, 2, 3, 0]) if rank else ()
        dtype = rng.choice(accepted + REFUSED_TYPES)
    length = shape[0] if rank else 0
    values = values_of(rng, dtype, shape)
    if rank and length >= needed and 0 not in shape and np.dtype(dtype).kind == "f" and rng.random() < 0.7:
        column = values[(slice(None),) + (0,) * (rank - 1)]
        if needed == 3:
            column[:3] = rng.choice([1.0, 0.5, 2.0, 1.2, 2.5, 1e-3, 0.0], 3)
        else:
            # mostly near-identity maps whose translations put positions on band edges
            linear = np.eye(3) + rng.choice([0.0, 0.0, 0.01, 0.2], (3, 3)) * rng.standard_normal((3, 3))
            counts = np.array(shape_zyx[::-1] + (1,) * (3 - len(shape_zyx)), float)[:3] if shape_zyx else np.ones(3)
            edges = np.array(
                [rng.choice([-2.0, -1.5, -1.0, -0.5, 0.0, c - 1, c - 0.5, c, np.nextafter(-1.0, 0)]) for c in counts]
            )
            column[:12] = np.hstack([linear, edges[:, None]]).ravel()
            picked = rng.random(12) < 0.1
            column[:12][picked] = rng.choice(FLOAT_POOL, picked.sum())
    return in_layout(rng, values)


def random_case(seed):
    rng = np.random.default_rng(seed)
    image = random_image(rng)
    spatial = tuple(image.shape[-3:]) if image.ndim >= 3 else ()
    voxel_size = random_parameter(rng, 3, spatial)
    matrix = random_parameter(rng, 12, spatial)
    if rng.random() < 0.02:
        which = int(rng.integers(0, 3))
        replacement = rng.choice([None, 1.5, "text"], 1)[0] if rng.random() < 0.5 else [1.0, 1.0, 1.0]
        args = [image, voxel_size, matrix]
        args[which] = replacement
        return tuple(args)
    return image, voxel_size, matrix


def parameter_error(array, needed, name):
    if array.ndim == 0:
        return ValueError, f"{name} must be an array with at least one axis, not a 0-d array"
    for axis in range(1, array.ndim):
        if array.shape[axis] == 0:
            return ValueError, f"{name} has no elements: its axis {axis} has length 0"
    if array.shape[0] > 0 and array.dtype.char not in accepted_types(1):
        return ValueError, "Failed to convert to FLOAT"
    if array.shape[0] < needed:
        return ValueError, f"{name} must hold at least {needed} numbers along axis 0, got {array.shape[0]}"
    return None


def expected_error(image, voxel_size, matrix):
    """(exception, message) that transform must raise, or None."""
    for value, name in [(image, "image"), (voxel_size, "voxel_size"), (matrix, "matrix")]:
        if not isinstance(value, np.ndarray):
            return TypeError, f"{name} must be a numpy.ndarray, not {type(value).__name__}"
    if image.ndim not in (3, 4):
        return ValueError, f"image must have 3 or 4 dimensions, got {image.ndim}"
    for axis, length in enumerate(image.shape):
        if length > LIMIT:
            return ValueError, f"image is too large: axis {axis} has {length} elements, more than the limit of {LIMIT}"
    if 0 not in image.shape and math.prod(image.shape) > LIMIT:
        return ValueError, f"image is too large: it has more than {LIMIT} elements"
    if image.size > 0 and image.dtype.char not in accepted_types(image.ndim):
        return ValueError, f"Failed to convert to FLOAT {image.ndim}D"
    # both are read; the matrix's error, set last, wins
    return parameter_error(matrix, 12, "matrix") or parameter_error(voxel_size, 3, "voxel_size")


def check(case):
    """None when transform follows the rules for this case, else what went wrong."""
    image, voxel_size, matrix = case
    error = expected_error(image, voxel_size, matrix)
    try:
        result = _voxwarpkit.transform(image, voxel_size, matrix)
    except Exception as raised:  # noqa: BLE001 - any exception is compared with the rules
        if error is None:
            return f"unexpected {type(raised).__name__}: {raised}"
        if type(raised) is not error[0] or not str(raised).startswith(error[1].split(",")[0]):
            return f"raised {type(raised).__name__}: {raised!s}; expected {error[0].__name__}: {error[1]}"
        if error[0] is not TypeError and str(raised) != error[1]:
            return f"message {raised!s}; expected {error[1]}"
        return None
    if error is not None:
        return f"returned a result; expected {error[0].__name__}: {error[1]}"
    try:
        assert_same_bits(result, transform_reference(image, voxel_size, matrix))
    except AssertionError as mismatch:
        return str(mismatch)
    return None


def save(seed, problem):
    CASES.mkdir(exist_ok=True)
    path = CASES / f"seed-{seed}.json"
    path.write_text(json.dumps({"seed": seed, "problem": problem.splitlines()[0][:500]}, indent=1) + "\n")
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=30.0, help="time budget")
    parser.add_argument("--seed", type=int, default=None, help="first seed (default: from the clock)")
    args = parser.parse_args(argv)
    first = args.seed if args.seed is not None else int(time.time() * 1000) % 2**40
    CASES.mkdir(exist_ok=True)
    last_seed = CASES / "last-seed"
    deadline = time.monotonic() + args.seconds
    seed, failures = first, 0
    with np.errstate(all="ignore"):
        while time.monotonic() < deadline:
            last_seed.write_text(f"{seed}\n")
            try:
                problem = check(random_case(seed))
            except Exception:  # noqa: BLE001 - a fault of the generator or oracle is a finding too
                problem = "fuzzer fault: " + traceback.format_exc()
            if problem is not None:
                failures += 1
                print(f"seed {seed}: {problem}\n  saved as {save(seed, problem)}", file=sys.stderr)
            seed += 1
    last_seed.unlink(missing_ok=True)
    print(f"{seed - first} cases from seed {first} in {args.seconds:g} s, {failures} failing")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
