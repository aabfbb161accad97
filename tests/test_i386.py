"""The kernel built for 32-bit x86 gives the 64-bit module's bits.

.ci/run builds the program with cmake/i386-linux-gnu.cmake into build/i386
(or set VOXWARPKIT_KERNEL_PROGRAM to another build of it).
"""

import json
import os
import pathlib
import subprocess

import numpy as np
import pytest

import _voxwarpkit_testing as testing
from reference import assert_same_bits

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROGRAM = pathlib.Path(os.environ.get("VOXWARPKIT_KERNEL_PROGRAM", ROOT / "build" / "i386" / "kernel_corpus"))
KERNEL_SOURCES = ["src/voxwarpkit.cpp", "src/source_box.cpp", "src/run_jobs.cpp", "src/float_environment.cpp",
                  "src/simd/kernel_variants.cpp", "src/simd/cpu_x86.cpp", "src/simd/resample_avx2.cpp",
                  "src/simd/resample_avx512.cpp"]

needs_program = pytest.mark.skipif(
    not PROGRAM.exists(), reason=f"the 32-bit kernel program is not built ({PROGRAM}); .ci/run builds it")


def write_case(path, image, voxel_size, matrix):
    with open(path, "wb") as out:
        out.write(b"VWKCASE1")
        out.write(np.array(image.shape, "<i4").tobytes())
        out.write(np.asarray(voxel_size, "<f4").tobytes())
        out.write(np.asarray(matrix, "<f4").tobytes())
        out.write(np.ascontiguousarray(image, "<f4").tobytes())


def corpus(rng):
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
    special = rng.standard_normal((1, 6, 7, 40)).astype(np.float32)
    bits = special.view(np.uint32).reshape(-1)
    bits[::7] = rng.integers(1, 1 << 22, bits[::7].size).astype(np.uint32) | np.uint32(0x7F800000)
    bits[3::11] = np.uint32(0x00000007)  # subnormal
    special.reshape(-1)[5::13] = np.inf
    tilt = np.float32([0.97, -0.2, 0.05, 0.3, 0.2, 0.97, 0, -0.4, 0.01, 0.03, 1, 0.2])
    cases.append(("special", special, np.float32([1, 1.5, 0.5]), tilt))
    for entry, value in [(0, np.nan), (3, np.inf), (7, 3e9), (11, -1e30)]:
        matrix = tilt.copy()
        matrix[entry] = value
        cases.append((f"matrix{entry}", special, np.ones(3, np.float32), matrix))
    return cases


@pytest.mark.skipif(not (PROGRAM.parent / "compile_commands.json").exists(),
                    reason="no compile_commands.json beside the 32-bit program")
def test_the_program_is_built_with_the_project_flags():
    commands = {pathlib.Path(entry["file"]).resolve(): entry["command"]
                for entry in json.loads((PROGRAM.parent / "compile_commands.json").read_text())}
    for source in KERNEL_SOURCES:
        command = commands[(ROOT / source).resolve()].split()
        for flag in ["-m32", "-msse2", "-mfpmath=sse", "-ffp-contract=off"]:
            assert flag in command, (source, flag)
        assert "-ffast-math" not in command
        assert ("-mavx2" in command) == source.endswith("_avx2.cpp"), source
        assert ("-mavx512f" in command) == source.endswith("_avx512.cpp"), source


@needs_program
def test_32_bit_results_equal_the_64_bit_module(tmp_path):
    header = PROGRAM.read_bytes()[:20]
    assert header[:4] == b"\x7fELF" and header[4] == 1, "not a 32-bit ELF program"
    assert int.from_bytes(header[18:20], "little") == 3, "not built for i386"

    cases = corpus(np.random.default_rng(2024))
    for name, image, voxel_size, matrix in cases:
        write_case(tmp_path / f"{name}.case", image, voxel_size, matrix)
    run = subprocess.run([str(PROGRAM), str(tmp_path)], capture_output=True, text=True, timeout=300, check=True)
    assert "pointer bits 32" in run.stdout
    # Lines read "variant NAME usable" or "variant NAME not usable".
    variants = [words[1] for words in map(str.split, run.stdout.splitlines())
                if words[:1] == ["variant"] and words[2:] == ["usable"]]
    assert "scalar" in variants

    for name, image, voxel_size, matrix in cases:
        expected = testing.resample(image, voxel_size, matrix, "scalar")
        for variant in variants:
            produced = np.fromfile(tmp_path / f"{name}.{variant}.out", dtype="<f4").reshape(image.shape)
            assert_same_bits(produced, expected)
