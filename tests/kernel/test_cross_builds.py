"""The kernel built for 32-bit x86 and for ARM64 gives the 64-bit x86 module's bits.

.ci/run builds the kernel-only program (tests/native/kernel_corpus.cpp) with
cmake/i386-linux-gnu.cmake into build/i386 and with cmake/aarch64-linux-gnu.cmake
into build/aarch64; the ARM64 one runs under qemu-aarch64 on other machines.
VOXWARPKIT_CROSS_BUILDS names another folder holding i386/ and aarch64/, and
VOXWARPKIT_REQUIRE_CROSS_BUILDS=1 turns a missing program into a failure.
VOXWARPKIT_X86_CPU names a qemu processor model (Haswell-v4: AVX2 without
AVX-512; Nehalem: neither) to run the i386 program on, as the suite itself
runs under qemu-x86_64 on it in CI.
"""

import json
import os
import pathlib
import platform
import shutil
import subprocess
from typing import NamedTuple, Tuple

import numpy as np
import pytest
from support.bits import assert_same_bits
from support.geometry import rotation
from support.values import values, with_specials

import _voxwarpkit_testing as testing
from voxwarpkit import _engine
from voxwarpkit._backends.codes import EDGE_RULE_CODES, METHOD_CODES

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILDS = pathlib.Path(os.environ.get("VOXWARPKIT_CROSS_BUILDS", ROOT / "build"))
REQUIRED = os.environ.get("VOXWARPKIT_REQUIRE_CROSS_BUILDS") == "1"
X86_CPU = os.environ.get("VOXWARPKIT_X86_CPU")
KERNEL_SOURCES = [
    "src/voxwarpkit.cpp",
    "src/kernel/resample_scalar.cpp",
    "src/kernel/whole_grid.cpp",
    "src/kernel/source_box.cpp",
    "src/kernel/tile_blend.cpp",
    "src/kernel/run_jobs.cpp",
    "src/kernel/float_environment.cpp",
    "src/kernel/simd/kernel_variants.cpp",
    "src/kernel/simd/cpu_x86.cpp",
    "src/kernel/ndimage/spline_kernel.cpp",
    "src/kernel/ndimage/spline_filter.cpp",
]
X86_VARIANT_SOURCES = [
    "src/kernel/simd/resample_avx2.cpp",
    "src/kernel/simd/resample_avx512.cpp",
    "src/kernel/ndimage/spline_lanes_avx512.cpp",
]


class Target(NamedTuple):
    name: str
    pointer_bits: int
    elf_class: int  # ELF header byte 4: 1 for 32-bit, 2 for 64-bit
    elf_machine: int  # e_machine: 3 is i386, 183 is AArch64
    flags: Tuple[str, ...]  # on the command line of every kernel source
    sources: Tuple[str, ...]
    emulator: str  # run under this on other machines; "" when the host runs it
    native_machines: Tuple[str, ...]


TARGETS = {
    "i386": Target(
        "i386",
        32,
        1,
        3,
        ("-m32", "-msse2", "-mfpmath=sse", "-ffp-contract=off"),
        tuple(KERNEL_SOURCES + X86_VARIANT_SOURCES),
        "",
        (),
    ),
    "aarch64": Target(
        "aarch64",
        64,
        2,
        183,
        ("--target=aarch64-linux-gnu", "-ffp-contract=off"),
        tuple(KERNEL_SOURCES),
        "qemu-aarch64",
        ("aarch64", "arm64"),
    ),
}


def program_of(target):
    return BUILDS / target.name / "kernel_corpus"


def command_for(target):
    """How to run the target's program here, or skip (fail when required)."""
    program = program_of(target)
    missing = None
    if not program.exists():
        missing = f"the {target.name} kernel program is not built ({program}); .ci/run builds it"
    elif target.emulator and platform.machine().lower() not in target.native_machines:
        emulator = shutil.which(target.emulator)
        if emulator is None:
            missing = f"{target.emulator} is not installed; .ci/run installs it (Debian: qemu-user)"
        else:
            return [emulator, str(program)]
    elif X86_CPU and target.name == "i386":
        emulator = shutil.which("qemu-i386")
        if emulator is None:
            missing = "qemu-i386 is not installed; .ci/run installs it (Debian: qemu-user)"
        else:
            return [emulator, "-cpu", X86_CPU, str(program)]
    if missing is not None:
        if REQUIRED:
            pytest.fail(missing)
        pytest.skip(missing)
    return [str(program)]


# Whole-grid cases, run as transform runs them.


def whole_grid_case(image, voxel_size, matrix):
    header = b"VWKCASE1" + np.array(image.shape, "<i4").tobytes()
    return (
        header
        + np.asarray(voxel_size, "<f4").tobytes()
        + np.asarray(matrix, "<f4").tobytes()
        + np.ascontiguousarray(image, "<f4").tobytes()
    )


def whole_grid_corpus(rng):
    """Random volumes and matrices, band edges, special values in image and matrix."""
    cases = []
    for k in range(16):
        shape = (int(rng.integers(1, 3)),) + tuple(int(n) for n in rng.choice([1, 2, 5, 9, 16, 17, 33], 3))
        image = (rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4)).astype(np.float32)
        voxel_size = rng.uniform(0.4, 3, 3).astype(np.float32)
        linear = np.eye(3) + rng.uniform(-0.4, 0.4, (3, 3))
        matrix = np.hstack([linear, rng.uniform(-3, 3, (3, 1))]).astype(np.float32).ravel()
        cases.append((f"random{k}", image, voxel_size, matrix))
    base = np.arange(2 * 4 * 5 * 19, dtype=np.float32).reshape(2, 4, 5, 19)
    for shift in [-2.0, -1.5, -1.0, -0.5, 0.0, 0.5, 18.0, 18.5, 19.0, -1.9999999, 17.999998]:
        matrix = np.float32([1, 0, 0, shift, 0, 1, 0, shift / 4, 0, 0, 1, shift / 5])
        cases.append((f"edges{shift}", base, np.ones(3, np.float32), matrix))
    special = special_values(rng, (1, 6, 7, 40))
    tilt = np.float32([0.97, -0.2, 0.05, 0.3, 0.2, 0.97, 0, -0.4, 0.01, 0.03, 1, 0.2])
    cases.append(("special", special, np.float32([1, 1.5, 0.5]), tilt))
    for entry, value in [(0, np.nan), (3, np.inf), (7, 3e9), (11, -1e30)]:
        matrix = tilt.copy()
        matrix[entry] = value
        cases.append((f"matrix{entry}", special, np.ones(3, np.float32), matrix))
    return [(name, whole_grid_case(*case), testing.resample(*case, "scalar")) for name, *case in cases]


# General jobs: resample_block's arguments (source window, its origin, the
# source grid, source spacing, matrices, target shape, target origin, target
# spacing, interpolation, edges, fill), run as the package engine runs them.


# The kernel's numbers for the element types a blend reads (element_types.h).
ELEMENT_TYPES = ["f4", "b1", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f8"]


def engine_method(name, edges="transform"):
    """The engine's codes for a method and linear's edge rule."""
    return (METHOD_CODES[name], EDGE_RULE_CODES[edges])


NEAREST, LINEAR, CLAMPED = engine_method("nearest"), engine_method("linear"), engine_method("linear", "clamp")
LABEL, LANCZOS, CUBIC = engine_method("label"), engine_method("lanczos"), engine_method("cubic")
BLENDS = (LINEAR, CLAMPED, LANCZOS, CUBIC)


def general_case(
    source,
    source_origin,
    grid,
    spacing,
    matrices,
    shape,
    origin,
    target_spacing,
    interpolation,
    edges,
    fill,
    out=None,
    chain=None,
    result_type=None,
):
    """VWKCASE2, VWKCASE4 for a blend of another element type than float32, or VWKCASE6 for a
    blend with a result type (``result_type``, the engine's code)."""
    code = ELEMENT_TYPES.index(f"{source.dtype.kind}{source.dtype.itemsize}")
    result_typed = result_type is not None
    typed = (interpolation, edges) in BLENDS and (code != 0 or result_typed)
    if result_typed:
        size, magic = np.dtype(ELEMENT_TYPES[result_type]).itemsize, b"VWKCASE6"
    else:
        size, magic = 4 if typed else source.dtype.itemsize, b"VWKCASE4" if typed else b"VWKCASE2"
    counts = [
        interpolation,
        edges,
        size,
        *([code] if typed else []),
        *([result_type] if result_typed else []),
        source.shape[0],
        matrices.shape[0],
        *source.shape[1:],
        *source_origin,
        *grid,
        *shape,
        *origin,
    ]
    return (
        magic
        + np.array(counts, "<i4").tobytes()
        + np.array([*spacing, *target_spacing], "<f4").tobytes()
        + fill.ljust(8, b"\0")
        + np.ascontiguousarray(matrices, "<f4").tobytes()
        + np.ascontiguousarray(source, source.dtype.newbyteorder("<")).tobytes()
    )


def nan_bits(rng, count, width):
    """Quiet and signalling NaNs of both signs with random payloads, as unsigned integers."""
    mantissa = 23 if width == 4 else 52
    unsigned = np.dtype(f"u{width}")
    quiet = unsigned.type(1) << unsigned.type(mantissa - 1)
    exponent = unsigned.type((1 << (8 * width - 1)) - (1 << mantissa))  # all ones
    payload = rng.integers(1, int(quiet), count, dtype=unsigned, endpoint=False)
    sign = rng.integers(0, 2, count, dtype=unsigned) << unsigned.type(8 * width - 1)
    return sign | exponent | np.where(rng.random(count) < 0.5, quiet, unsigned.type(0)) | payload


def special_values(rng, shape, dtype=np.float32):
    """Normal numbers among NaN payloads, infinities, zeros of both signs and subnormals."""
    data = rng.standard_normal(shape).astype(dtype)
    bits = data.view(f"u{data.itemsize}").reshape(-1)
    kind = rng.integers(0, 10, bits.size)
    bits[kind == 0] = nan_bits(rng, int((kind == 0).sum()), data.itemsize)
    flat = data.reshape(-1)
    flat[kind == 1] = np.where(rng.random(int((kind == 1).sum())) < 0.5, np.inf, -np.inf)
    tiny = np.nextafter(np.dtype(dtype).type(0), np.dtype(dtype).type(1))  # finfo.smallest_subnormal: numpy 1.22
    flat[kind == 2] = tiny * rng.integers(-1000, 1000, int((kind == 2).sum()))
    flat[kind == 3] = np.where(rng.random(int((kind == 3).sum())) < 0.5, 0.0, -0.0)
    return data


def random_job(rng, method, make_source, fill):
    """A block of a larger output grid with its own spacing, read from a window
    of a larger source grid that holds what the block reads."""
    nvol = int(rng.integers(1, 4))
    grid = tuple(int(n) for n in rng.choice([1, 2, 5, 5, 9, 9, 16, 17], 3))  # (z, y, x)
    spacing = tuple(float(s) for s in rng.uniform(0.5, 2.5, 3).astype(np.float32))  # (sx, sy, sz)
    target_spacing = tuple(float(s) for s in (np.array(spacing) * rng.uniform(0.6, 1.6, 3)).astype(np.float32))
    whole = rng.integers(3, 24, 3)
    origin = tuple(int(rng.integers(0, n // 3 + 1)) for n in whole)
    shape = tuple(int(rng.integers((n - o + 1) // 2, n - o + 1)) for n, o in zip(whole, origin))
    centre_in = (np.array(grid[::-1]) - 1.0) * spacing / 2
    centre_out = (whole[::-1] - 1.0) * target_spacing / 2
    count = nvol if rng.random() < 0.5 else 1
    linears = [rotation(rng, 30) * rng.uniform(0.7, 1.4) for _ in range(count)]
    matrices = np.stack(
        [np.hstack([a, (centre_in - a @ centre_out + rng.uniform(-2, 2, 3))[:, None]]).ravel() for a in linears]
    ).astype(np.float32)
    return finish_job(rng, make_source, nvol, grid, spacing, matrices, shape, origin, target_spacing, method, fill)


def finish_job(rng, make_source, nvol, grid, spacing, matrices, shape, origin, target_spacing, method, fill):
    """The arguments, with a window that holds what the block reads and a margin where the grid allows."""
    box = _engine.source_box(grid, spacing, matrices, shape, origin, target_spacing, *method)
    if box is None:
        box = ((0, 1), (0, 1), (0, 1))
    window_origin, window = [], []
    for (start, stop), n in zip(box, grid):
        first = int(rng.integers(0, start + 1))
        window_origin.append(first)
        window.append(int(rng.integers(stop, n + 1)) - first)
    source = make_source(rng, (nvol, *window))
    return (source, tuple(window_origin), grid, spacing, matrices, shape, origin, target_spacing, *method, fill)


def float_fill(rng, dtype, half=False):
    choices = [np.array(v, dtype).tobytes() for v in (0.0, -0.0, 7.5, np.inf)]
    nan = np.array([0xFD5A], "<u2") if half else nan_bits(rng, 1, np.dtype(dtype).itemsize)
    choices.append(nan.tobytes())
    return choices[int(rng.integers(0, len(choices)))]


def integers(dtype):
    def make(rng, shape):
        return rng.integers(0, 256, (*shape, np.dtype(dtype).itemsize), dtype=np.uint8).view(dtype)[..., 0]

    return make


def floats_with_specials(dtype):
    return lambda rng, shape: special_values(rng, shape, dtype)


def hard_to_convert(dtype):
    return lambda rng, shape: with_specials(rng, values(rng, dtype, shape))


def alternating_infinities(rng, shape):
    """+inf and -inf side by side along every axis: blends subtract them."""
    z, y, x = np.indices(shape[1:])
    data = np.where((x + y + z) % 2 == 0, np.float32(np.inf), np.float32(-np.inf))
    return np.broadcast_to(data, shape).astype(np.float32)


def subnormals(rng, shape):
    """Nothing but subnormals of both signs: every blend gives one, unless something flushes them."""
    magnitude = rng.integers(1, 1 << 23, shape, dtype=np.uint32)
    return (magnitude | (rng.integers(0, 2, shape, dtype=np.uint32) << np.uint32(31))).view(np.float32)


def general_corpus(rng):
    jobs = []
    for k in range(12):
        jobs.append(
            (f"linear{k}", random_job(rng, LINEAR, floats_with_specials(np.float32), float_fill(rng, np.float32)))
        )
    for k in range(4):  # Lanczos
        jobs.append(
            (f"lanczos{k}", random_job(rng, LANCZOS, floats_with_specials(np.float32), float_fill(rng, np.float32)))
        )
    for k in range(4):  # cubic B-spline, from a window of coefficients
        jobs.append(
            (f"cubic{k}", random_job(rng, CUBIC, floats_with_specials(np.float32), float_fill(rng, np.float32)))
        )
    for k in range(8):  # linear with the clamped edge rule
        jobs.append(
            (f"clamped{k}", random_job(rng, CLAMPED, floats_with_specials(np.float32), float_fill(rng, np.float32)))
        )
    for k, dtype in enumerate([np.uint8, np.int16, np.float32, np.float64] * 2):
        make = floats_with_specials(dtype) if np.dtype(dtype).kind == "f" else integers(dtype)
        fill = float_fill(rng, dtype) if np.dtype(dtype).kind == "f" else integers(dtype)(rng, (1,)).tobytes()
        jobs.append((f"nearest{k}_{np.dtype(dtype).name}", random_job(rng, NEAREST, make, fill)))
    for k, dtype in enumerate([np.uint8, np.int16, np.float32, np.float64]):  # label interpolation
        make = floats_with_specials(dtype) if np.dtype(dtype).kind == "f" else integers(dtype)
        fill = float_fill(rng, dtype) if np.dtype(dtype).kind == "f" else integers(dtype)(rng, (1,)).tobytes()
        jobs.append((f"label{k}_{np.dtype(dtype).name}", random_job(rng, LABEL, make, fill)))
    one = (1.0, 1.0, 1.0)
    identity = np.float32([[1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0]])
    # Weights of 0 meet infinities (0 * inf) where positions fall on voxels,
    # and halves of +inf and -inf are added (inf - inf) between them.
    for name, shift in [("zero_times_inf", (1.0, 0.0, 2.0)), ("inf_minus_inf", (0.5, 0.25, 0.75))]:
        matrices = identity.copy()
        matrices[0, 3::4] = shift
        jobs.append(
            (
                name,
                finish_job(
                    rng,
                    alternating_infinities,
                    2,
                    (5, 6, 7),
                    one,
                    matrices,
                    (5, 6, 7),
                    (0, 0, 0),
                    one,
                    LINEAR,
                    b"\0" * 4,
                ),
            )
        )
    tilt = np.float32([[0.97, -0.2, 0.05, 0.3, 0.2, 0.97, 0, -0.4, 0.01, 0.03, 1, 0.2]])
    jobs.append(
        (
            "subnormals",
            finish_job(rng, subnormals, 2, (5, 6, 7), one, tilt, (5, 6, 7), (0, 0, 0), one, LINEAR, b"\0" * 4),
        )
    )
    # NaN, infinite and huge matrix entries, linear and nearest, with a fill.
    for entry, value in [(0, np.nan), (3, np.inf), (5, -np.inf), (7, 3e9), (11, -1e30), (9, 1e38)]:
        for name, method, dtype in [
            ("linear", LINEAR, np.float32),
            ("clamped", CLAMPED, np.float32),
            ("nearest", NEAREST, np.float64),
        ]:
            matrices = tilt.copy()
            matrices[0, entry] = value
            jobs.append(
                (
                    f"matrix{entry}_{name}",
                    finish_job(
                        rng,
                        floats_with_specials(dtype),
                        1,
                        (6, 7, 9),
                        (1.0, 1.5, 0.5),
                        matrices,
                        (4, 8, 9),
                        (1, 0, 2),
                        (1.25, 1.0, 0.75),
                        method,
                        float_fill(rng, dtype),
                    ),
                )
            )
    # Linear (both edge rules) and Lanczos reading other element types where they lie.
    for k, dtype in enumerate(
        [np.int16, np.uint8, np.float64, np.float16, np.int64, np.uint64, np.float64, np.bool_, np.uint32]
    ):
        name, method = [("linear", LINEAR), ("clamped", CLAMPED), ("lanczos", LANCZOS)][k % 3]
        case = f"blend{k}_{name}_{np.dtype(dtype).name}"
        jobs.append((case, random_job(rng, method, hard_to_convert(dtype), float_fill(rng, np.float32))))
    # Every result type a blend writes, from sources with specials and ties: the rounding and
    # saturation of each, float16's straight from the double, NaN as the fill.
    for k, result in enumerate(["i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f8"]):
        name, method = [("linear", LINEAR), ("clamped", CLAMPED), ("lanczos", LANCZOS), ("cubic", CUBIC)][k % 4]
        fill = integer_fill(rng, result) if result[0] in "iu" else float_fill(rng, result, result == "f2")
        scale = np.float32(np.iinfo(result).max / 2 if result[0] in "iu" else 4.0e4 if result == "f2" else 1.0)
        job = random_job(rng, method, scaled_specials(scale), fill)
        jobs.append((f"result{k}_{name}_{result}", (*job, None, None, ELEMENT_TYPES.index(result))))
    return [(name, general_case(*job), testing.resample_block(*job, "scalar")) for name, job in jobs]


def scaled_specials(scale):
    """special_values with the finite ones times ``scale``: past an integer type's range and
    within it; the NaNs keep their payloads."""

    def make(rng, shape):
        data = special_values(rng, shape)
        finite = np.isfinite(data)
        data[finite] *= scale
        return data

    return make


def integer_fill(rng, dtype):
    info = np.iinfo(dtype)
    return np.array([0, info.min, info.max, 5][int(rng.integers(4))], dtype).tobytes()


def prefilter_corpus(rng):
    """B-spline prefilter passes along each axis over lines of 1, 2, 3 and more samples, with specials."""
    cases = []
    for k in range(9):
        shape = (int(rng.integers(1, 3)),) + tuple(int(n) for n in rng.choice([1, 2, 3, 7, 40, 70], 3))
        values = special_values(rng, shape) if k % 3 == 0 else (rng.standard_normal(shape) * 100).astype(np.float32)
        axis = k % 3  # 0 x, 1 y, 2 z
        case = b"VWKCASE3" + np.array([*shape, axis], "<i4").tobytes() + values.astype("<f4").tobytes()
        expected = values.copy()
        _engine.prefilter(expected, 3 - axis, 1)
        cases.append((f"prefilter{k}", case, expected))
    return cases


def smoothing_corpus(rng):
    """Gaussian FIR passes along each axis, with sigmas from none to longer than the lines, and specials."""
    cases = []
    for k in range(9):
        shape = (int(rng.integers(1, 3)),) + tuple(int(n) for n in rng.choice([1, 2, 3, 7, 40, 70], 3))
        values = special_values(rng, shape) if k % 3 == 0 else (rng.standard_normal(shape) * 100).astype(np.float32)
        axis = k % 3  # 0 x, 1 y, 2 z
        sigma = float(rng.choice([0.0, 0.01, 0.7, rng.uniform(1, 4), 25.0]))
        header = np.array([*shape, axis], "<i4").tobytes() + np.array(sigma, "<f8").tobytes()
        case = b"VWKCASE5" + header + values.astype("<f4").tobytes()
        expected = values.copy()
        _engine.smooth(expected, 3 - axis, sigma, 1)
        cases.append((f"smoothing{k}", case, expected))
    return cases


def fusion_corpus(rng):
    """One tile added into a fused block and the block finished, for every blending and several result
    types: turned tiles, ramps of every width, sums and weights already holding other tiles', specials."""
    cases = []
    for k in range(12):
        volumes = int(rng.integers(1, 3))
        block = tuple(int(n) for n in rng.integers(1, 9, 3))
        origin = tuple(int(n) for n in rng.integers(-3, 6, 3))
        tile = tuple(int(n) for n in rng.integers(1, 9, 3))
        matrix = np.hstack([np.eye(3) + rng.uniform(-0.3, 0.3, (3, 3)) * (k % 3 != 0), rng.uniform(-4, 4, (3, 1))])
        scale = tuple(float(s) for s in rng.choice([0.05, 0.3, 1.0, np.inf], 3))
        blending, result_code = k % 4, int(rng.choice([0, 2, 5, 9, 10, 11]))
        result_type = np.dtype(ELEMENT_TYPES[result_code])
        fill = np.zeros(1, result_type)
        with np.errstate(invalid="ignore", over="ignore"):  # signalling NaNs made quiet
            values = special_values(rng, (volumes, *block)).astype(np.float64) * 100
        sums = rng.uniform(-1e4, 1e4, (volumes, *block)) * (k % 2)
        weights = rng.uniform(0, 2, block) * (k % 2)
        header = np.array([volumes, *block], "<i4").tobytes() + np.array([*origin, *tile], "<i8").tobytes()
        header += np.array([*matrix.ravel(), *scale], "<f8").tobytes()
        header += np.array([blending, result_code], "<i4").tobytes()
        arrays = b"".join(a.astype("<f8").tobytes() for a in (values, sums, weights))
        case = b"VWKCASE7" + header + fill.tobytes().ljust(8, b"\0") + arrays
        expected_sums, expected_weights = sums.copy(), weights.copy()
        geometry = (origin, (0, 0, 0), tuple(matrix.ravel()), tile, scale, blending)
        _engine.blend_tile(expected_sums, expected_weights, values, *geometry)
        expected = np.empty(sums.shape, result_type)
        _engine.finish_blend(expected_sums, expected_weights, expected, fill.tobytes(), result_code, blending == 3)
        cases.append((f"fusion{k}", case, expected))
    return cases


# voxwarpkit.ndimage's spline path: positions in double, every mode and order, the kinds of position.
SPLINE_SOURCES = ["f4", "f8", "u1", "u2", "i2"]
SPLINE_TARGETS = ["f4", "f8", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "b1"]


def spline_case(rng, k):
    """A random spline job (VWKCASE8) and what this build's engine writes for it."""
    modes = _engine.spline_modes()
    input_rank, order, mode = int(rng.integers(1, 4)), k % 6, k % len(modes)
    kind = int(rng.integers(0, 3))  # affine, zoom_shift, coordinates
    output_rank = input_rank if kind == 1 else int(rng.integers(1, 4))
    volumes = int(rng.integers(1, 3))
    source_code = SPLINE_SOURCES[k % len(SPLINE_SOURCES)]
    target_code = SPLINE_TARGETS[k % len(SPLINE_TARGETS)]
    grid = (1,) * (3 - input_rank) + tuple(int(n) for n in rng.choice([1, 2, 3, 7, 12], input_rank))
    shape = (1,) * (3 - output_rank) + tuple(int(n) for n in rng.integers(1, 9, output_rank))
    if source_code[0] == "f":
        source = special_values(rng, (volumes, *grid), np.dtype(source_code))
    else:
        source = integers(source_code)(rng, (volumes, *grid))
    target = np.zeros((volumes, *shape), np.dtype(SPLINE_TARGETS[k % len(SPLINE_TARGETS)]))
    matrix = (np.eye(input_rank, output_rank) + rng.normal(0, 0.5, (input_rank, output_rank))).ravel()
    shift = rng.normal(0, 4, input_rank)
    zoom = rng.uniform(-1.5, 2.5, input_rank)
    if k % 7 == 0:
        shift[0] = [np.nan, np.inf, 3e17][k % 3]
    cval = float([0.0, -7.25, np.nan, 1e40][k % 4])
    prepad = float([0, 0, 12][k % 3])
    has_shift, has_zoom, grid_mode = kind == 0 or rng.random() < 0.7, kind == 1 and rng.random() < 0.7, k % 2 == 1
    voxels = int(np.prod(shape))
    coordinates = rng.uniform(-20, 20, (input_rank, voxels))
    coordinates.ravel()[:: max(1, voxels // 3)] = [np.nan, np.inf, -1e300, 2.0**52][k % 4]
    arguments = (
        matrix if kind == 0 else None,
        shift if has_shift else None,
        zoom if has_zoom else None,
        grid_mode,
        coordinates if kind == 2 else None,
    )
    _engine.spline_transform(source, target, input_rank, output_rank, order, mode, cval, prepad, *arguments,
                             (0, 0, 0), grid, (0, 0, 0), False, 1)  # fmt: skip
    flags = [has_shift, has_zoom, grid_mode]
    ints = [input_rank, output_rank, order, mode, kind, ELEMENT_TYPES.index(source_code)]
    ints += [ELEMENT_TYPES.index(target_code), *(int(f) for f in flags)]
    padded = np.zeros(9)
    padded.reshape(3, 3)[:input_rank, :output_rank] = matrix.reshape(input_rank, output_rank)
    doubles = [cval, prepad, *padded, *np.pad(shift, (0, 3 - input_rank)), *np.pad(zoom, (0, 3 - input_rank))]
    case = b"VWKCASE8" + np.array(ints, "<i4").tobytes() + np.array([volumes, *grid, *shape], "<i8").tobytes()
    case += np.array(doubles, "<f8").tobytes() + np.ascontiguousarray(source, source.dtype.newbyteorder("<")).tobytes()
    if kind == 2:
        case += coordinates.astype("<f8").tobytes()
    return case, target


def spline_corpus(rng):
    cases = [(f"spline{k}", *spline_case(rng, k)) for k in range(60)]
    for k in range(12):  # the spline path's prefilter: every order and start, lines of 1, 2, 3 and more
        shape = tuple(int(n) for n in rng.choice([1, 2, 3, 7, 40], int(rng.integers(1, 4))))
        values = special_values(rng, shape, np.float64) if k % 4 == 0 else rng.standard_normal(shape) * 100
        axis, order, mode = k % len(shape), 2 + k % 4, k % len(_engine.spline_modes())
        header = np.array([len(shape)], "<i4").tobytes() + np.array(shape, "<i8").tobytes()
        case = b"VWKCASE9" + header + np.array([axis, order, mode], "<i4").tobytes() + values.astype("<f8").tobytes()
        expected = np.array(values, dtype=np.float64)
        _engine.spline_filter(expected, axis, order, mode, 1)
        cases.append((f"spline_filter{k}", case, expected))
    return cases


@pytest.fixture(scope="module")
def corpus():
    """(name, case file bytes, expected result) for every case, expected from this 64-bit x86 build."""
    return (
        whole_grid_corpus(np.random.default_rng(2024))
        + general_corpus(np.random.default_rng(2025))
        + prefilter_corpus(np.random.default_rng(2026))
        + smoothing_corpus(np.random.default_rng(2027))
        + fusion_corpus(np.random.default_rng(2028))
        + spline_corpus(np.random.default_rng(2029))
    )


def test_the_corpus_reaches_what_the_processors_disagree_on(corpus):
    """NaN payloads of both signs (quiet ones made from signalling ones too),
    the default NaN of an invalid operation, infinities, subnormals and fills
    all reach the expected outputs."""
    float_bits = np.concatenate(
        [expected.view(np.uint32).ravel() for _, _, expected in corpus if expected.dtype == np.float32]
    )
    exponent, mantissa = float_bits & 0x7F800000, float_bits & 0x7FFFFF
    nans = float_bits[(exponent == 0x7F800000) & (mantissa != 0)]
    assert (nans >> 31 == 1).any() and (nans >> 31 == 0).any()
    assert (nans == 0xFFC00000).any(), "no invalid operation"
    assert np.setdiff1d(nans, [0xFFC00000, 0x7FC00000]).size > 100, "too few payloads"
    assert ((exponent == 0) & (mantissa != 0)).sum() > 100, "too few subnormals"
    assert ((exponent == 0x7F800000) & (mantissa == 0)).any(), "no infinity"
    names = [name for name, _, _ in corpus]
    assert {"nearest0_uint8", "nearest1_int16", "nearest2_float32", "nearest3_float64"} <= set(names)


@pytest.mark.parametrize("target", TARGETS.values(), ids=TARGETS.keys())
def test_the_program_is_built_with_the_project_flags(target):
    compile_commands = program_of(target).parent / "compile_commands.json"
    if not compile_commands.exists():
        command_for(target)  # skips or fails as a missing program does
        pytest.skip(f"no compile_commands.json beside the {target.name} program")
    commands = {
        pathlib.Path(entry["file"]).resolve(): entry["command"] for entry in json.loads(compile_commands.read_text())
    }
    kernel = {(ROOT / source).resolve() for source in KERNEL_SOURCES + X86_VARIANT_SOURCES}
    assert {path for path in commands if path in kernel} == {(ROOT / s).resolve() for s in target.sources}
    for source in target.sources:
        command = commands[(ROOT / source).resolve()].split()
        for flag in target.flags:
            assert flag in command, (source, flag)
        # The last of each kind of flag is the one in force.
        assert [flag for flag in command if flag.startswith("-ffp-contract=")][-1] == "-ffp-contract=off", source
        assert "-ffast-math" not in command and "-Ofast" not in command, source
        assert ("-mavx2" in command) == source.endswith("_avx2.cpp"), source
        assert ("-mavx512f" in command) == source.endswith("_avx512.cpp"), source


@pytest.mark.parametrize("caller", ["default", "flush-to-zero"])
@pytest.mark.parametrize("target", TARGETS.values(), ids=TARGETS.keys())
def test_results_equal_the_64_bit_module(target, caller, corpus, tmp_path):
    command = command_for(target)
    header = program_of(target).read_bytes()[:20]
    assert header[:4] == b"\x7fELF" and header[4] == target.elf_class, f"not a {target.pointer_bits}-bit ELF program"
    assert int.from_bytes(header[18:20], "little") == target.elf_machine, f"not built for {target.name}"

    for name, case, _ in corpus:
        (tmp_path / f"{name}.case").write_bytes(case)
    options = ["--caller-flush-to-zero"] if caller == "flush-to-zero" else []
    # The sanitizer runs preload their runtimes, which neither these programs nor qemu are built for.
    environment = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    run = subprocess.run(
        command + options + [str(tmp_path)], capture_output=True, text=True, timeout=600, env=environment
    )
    assert run.returncode == 0, run.stderr
    assert f"pointer bits {target.pointer_bits}" in run.stdout
    assert f" {caller}\n" in run.stdout
    # Lines read "variant NAME usable" or "variant NAME not usable".
    variants = [
        words[1]
        for words in map(str.split, run.stdout.splitlines())
        if words[:1] == ["variant"] and words[2:] == ["usable"]
    ]
    assert "scalar" in variants

    for name, _, expected in corpus:
        for variant in variants:
            produced = np.fromfile(tmp_path / f"{name}.{variant}.out", dtype=expected.dtype)
            assert_same_bits(produced.reshape(expected.shape), expected)
