"""A second engine is a module and one entry in the engines' table: a stand-in that wraps the CPU
engine and counts its calls serves resample, a chain, fuse and pyramid_of, which know nothing of it."""

import sys
import types
from collections import Counter

import numpy as np
import pytest
from support.bits import assert_same_bits

import voxwarpkit
from voxwarpkit._backends import cpu, engines

# Every call of the protocol, read from the protocol itself.
CALLS = sorted(name for name in vars(engines.Engine) if not name.startswith("_"))


@pytest.fixture
def stand_in():
    """The stand-in engine, serving numpy arrays for the test; its calls counted by name."""
    counted = Counter()
    module = types.ModuleType("stand_in_engine")

    def counting(name):
        def call(*arguments, **keywords):
            counted[name] += 1
            return getattr(cpu, name)(*arguments, **keywords)

        return call

    for name in CALLS:
        setattr(module, name, counting(name))
    sys.modules[module.__name__] = module
    before = engines.register("numpy", module.__name__)
    try:
        yield counted
    finally:
        engines.register("numpy", before)
        del sys.modules[module.__name__]


def every_kind_of_work():
    rng = np.random.default_rng(4)
    image = rng.random((12, 14, 16), dtype=np.float32)
    turn = voxwarpkit.rigid(image.shape, (1.0, 1.0, 1.0), rotation=(4, -3, 9))
    field = voxwarpkit.Field(rng.normal(0, 0.5, (3, 4, 5, 3)), (5.0, 5.0, 5.0))
    shifted = np.eye(3, 4) + np.eye(3, 4, 3) * 6
    return [
        voxwarpkit.resample(image, (1, 1, 1), turn),
        voxwarpkit.resample(image, (1, 1, 1), turn, interpolation="cubic"),
        voxwarpkit.resample(image, (1, 1, 1), turn, shape=(6, 7, 8), output_voxel_size=(2, 2, 2), antialias=True),
        voxwarpkit.resample(image, (1, 1, 1), [turn, field]),
        voxwarpkit.fuse([image, image], (1, 1, 1), [turn, shifted], shape=(12, 14, 22), output_voxel_size=(1, 1, 1)),
        voxwarpkit.fuse([image], (1, 1, 1), [[turn, field]], shape=(12, 14, 16), output_voxel_size=(1, 1, 1)),
        *(values for _, values in voxwarpkit.pyramid_of(image, (1, 1, 1), levels=3)),
    ]


def test_a_stand_in_engine_serves_every_call_with_the_cpu_engines_bits(stand_in):
    results = every_kind_of_work()
    assert sorted(name for name in CALLS if stand_in[name] == 0) == []
    engines.register("numpy", "voxwarpkit._backends.cpu")  # the same work on the CPU engine itself
    for got, want in zip(results, every_kind_of_work()):
        assert_same_bits(np.asarray(got), np.asarray(want))
