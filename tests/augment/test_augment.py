"""voxwarpkit.augment: every sample replays through the chain it records, threads, batches and tensors
change no bit, the geometry means what it says (shifts, quarter turns, TorchIO's B-spline grid), and
bad arguments are refused before anything is drawn."""

import numpy as np
import pytest
from support.augment_data import peer, sample
from support.bits import assert_same_bits
from support.layouts import LAYOUTS

import voxwarpkit as vw
import voxwarpkit.augment as va
from voxwarpkit._backends.bspline_fields import bspline_displacements

SETTINGS = va.spatial(degrees=12, scales=0.15, shears=0.05, translation=2.0, elastic=va.elastic(6, 2.5, 1))
# MONAI's form of the elastic deformation: a dense smoothed field, with a sometimes-skipped affine.
SMOOTHED = va.spatial(degrees=12, translation=2.0, elastic=va.smoothed((1.5, 3.0), (2.0, 6.0)), affine_probability=0.5)
KEYS = [
    va.Key("linear", fill=-7.0),
    va.Key("linear", edges="transform"),
    va.Key("cubic", fill=1.5),
    va.Key("linear", dtype=np.int16),
    va.Key("nearest"),
    va.Key("label", fill=9),
]


@pytest.mark.parametrize("key", KEYS, ids=lambda k: f"{k.interpolation}-{k.edges}-{k.dtype}")
@pytest.mark.parametrize("voxel_size", [(1, 1, 1), (0.8, 1.1, 2.5)])
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("settings", [SETTINGS, SMOOTHED], ids=["control-points", "smoothed"])
def test_each_sample_replays_through_its_chain(settings, seed, voxel_size, key):
    data = sample(seed)
    name = "label" if key.interpolation in ("nearest", "label") else "image"
    batch = np.stack([data[name], sample(seed + 10)[name], sample(seed + 20)[name]])
    # Alone, a key goes through the chain as drawn; beside another, through the chain whose B-spline is
    # made once into a field for both: the same bits either way.
    other = np.stack([sample(seed + k)["label"] for k in (1, 2, 3)])
    for arrays, keys in (({name: batch}, {name: key}), ({name: batch, "other": other}, {name: key, "other": va.LABEL})):
        results, drawn = va.augment(
            arrays, settings, np.random.default_rng(seed), keys=keys, voxel_size=voxel_size, threads=2
        )
        _replays(results[name], drawn, batch, key)
    assert not np.array_equal(results[name][0], results[name][1])  # each sample its own transform


def _replays(results, drawn, batch, key):
    assert len(drawn) == len(batch)
    for n in range(len(batch)):
        replayed = vw.resample(
            batch[n],
            (1, 1, 1),
            drawn[n].chain,
            interpolation=key.interpolation,
            fill=key.fill,
            edges=key.edges,
            dtype=key.dtype,
        )
        assert_same_bits(results[n], replayed)
        assert_same_bits(va.apply(drawn[n], batch[n], key), replayed)


@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("settings", [SETTINGS, SMOOTHED], ids=["control-points", "smoothed"])
@pytest.mark.parametrize("kind", ["numpy", "torch"])
def test_threads_batches_and_tensors_change_no_bit(kind, settings, threads):
    parts = [sample(s) for s in range(4)]
    batch = {name: np.stack([p[name] for p in parts]) for name in ("image", "label")}
    keys = {"label": va.LABEL}
    one, drawn_one = va.augment(batch, settings, np.random.default_rng(3), keys=keys, threads=1)
    given = batch
    if kind == "torch":
        torch = peer("torch")
        given = {name: torch.from_numpy(array) for name, array in batch.items()}
    many, drawn_many = va.augment(given, settings, np.random.default_rng(3), keys=keys, threads=threads)
    for name in batch:
        assert type(many[name]) is type(given[name])
        assert_same_bits(np.asarray(many[name]), one[name])
    # One sample at a time from the same stream: the same transforms, in order.
    rng = np.random.default_rng(3)
    for n, part in enumerate(parts):
        alone, drawn = va.augment(part, settings, rng, keys=keys, threads=threads)
        assert_same_bits(alone["image"], one["image"][n])
        assert_same_bits(alone["label"], one["label"][n])
        assert_same_bits(drawn[0].matrix, drawn_many[n].matrix)


def _fixed(**ranges):
    """Settings that draw one value only for each parameter given, the identity for the others."""
    given = dict(scales=(1, 1), degrees=0, shears=0, translation=0)
    given.update(ranges)
    return va.spatial(**given)


def test_the_identity_returns_the_sample():
    data = sample(4)
    results, drawn = va.augment(data, _fixed(), np.random.default_rng(0), keys={"label": va.LABEL})
    assert_same_bits(results["image"], data["image"])
    assert_same_bits(results["label"], data["label"])
    assert drawn[0].deformation is None


@pytest.mark.parametrize("voxel_size", [(1, 1, 1), (2, 0.5, 1)])
def test_a_translation_of_whole_voxels_shifts_the_sample(voxel_size):
    data = sample(5)
    shift = np.array([2.0, -3.0, 1.0]) * voxel_size  # physical, along x, y, z: the content moves that way
    settings = _fixed(translation=[v for s in shift for v in (s, s)])
    results, _ = va.augment(
        data, settings, np.random.default_rng(0), keys={"label": va.Key("nearest", fill=255)}, voxel_size=voxel_size
    )
    moved = np.roll(data["label"], (1, -3, 2), axis=(1, 2, 3))
    inside = (slice(None), slice(1, None), slice(0, -3), slice(2, None))
    assert_same_bits(results["label"][inside], moved[inside])
    assert np.all(results["label"][:, 0] == 255)


def test_a_quarter_turn_about_z_turns_a_cube():
    cube = np.random.default_rng(0).integers(0, 200, (1, 9, 11, 11)).astype(np.uint8)
    results, _ = va.augment(
        {"v": cube}, _fixed(degrees=[0, 0, 0, 0, 90, 90]), np.random.default_rng(0), keys={"v": va.Key("nearest")}
    )
    # About z by +90 degrees: the content at (x, y) goes to (-y, x) about the centre, from x towards y.
    assert_same_bits(results["v"], np.rot90(cube, k=1, axes=(3, 2)))


def test_the_elastic_grid_is_torchio_s():
    sitk = pytest.importorskip("SimpleITK")
    shape, voxel_size = (12, 14, 16), (1.3, 0.9, 1.1)
    drawn = va.draw(
        va.spatial(elastic=va.elastic((5, 6, 7), (3, 2, 4), 0)), np.random.default_rng(2), shape, voxel_size
    )
    # TorchIO's ElasticDeformation: the initializer's grid over the image, the (nx, ny, nz, 3) control
    # displacements flattened in Fortran order.
    image = sitk.Image(list(shape[::-1]), sitk.sitkFloat32)
    image.SetSpacing(voxel_size)
    transform = sitk.BSplineTransformInitializer(image, [2, 3, 4])  # meshes: control points less 3
    control = drawn.parameters.displacements.transpose(2, 1, 0, 3)  # (nx, ny, nz, 3)
    transform.SetParameters(control.flatten(order="F").tolist())
    positions = [np.arange(n, dtype=np.float32) for n in shape[::-1]]
    index_steps = bspline_displacements(drawn.deformation.engine_form(), *positions)
    for z, y, x in np.random.default_rng(0).integers(0, shape, (200, 3)):
        point = np.array([x, y, z]) * voxel_size
        theirs = (np.array(transform.TransformPoint(point.tolist())) - point) / voxel_size
        np.testing.assert_allclose(index_steps[:, z, y, x], theirs, atol=1e-5)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda rng: va.spatial(scales=(1.2, 0.8)), ValueError, "low <= high"),
        (lambda rng: va.spatial(scales=1.5), ValueError, "scales must be positive"),
        (lambda rng: va.spatial(degrees=(1, 2, 3, 4)), ValueError, "1, 2, 3 or 6 numbers"),
        (lambda rng: va.spatial(affine_probability=1.5), ValueError, "from 0 to 1"),
        (lambda rng: va.elastic(3), ValueError, "at least 4"),
        (lambda rng: va.elastic(4, 1, 2), ValueError, "displaces nothing"),
        (lambda rng: va.elastic(7, -1), ValueError, "at least 0"),
        (lambda rng: va.elastic(7.5), ValueError, "whole numbers"),
        (lambda rng: va.smoothed((0, 2), (1, 2)), ValueError, "sigma must be positive"),
        (lambda rng: va.smoothed((1, 2), (3, 2)), ValueError, "low <= high"),
        (lambda rng: va.spatial(elastic=(7, 7.5)), TypeError, "Elastic, a Smoothed or None"),
        (lambda rng: va.augment({}, SETTINGS, rng), ValueError, "holds no array"),
        (lambda rng: va.augment({"a": np.zeros((2, 3))}, SETTINGS, rng), ValueError, "rank 3, 4 or 5"),
        (
            lambda rng: va.augment({"a": np.zeros((4, 4, 4)), "b": np.zeros((4, 4, 5))}, SETTINGS, rng),
            ValueError,
            "one spatial shape",
        ),
        (lambda rng: va.augment({"a": [1, 2]}, SETTINGS, rng), TypeError, "numpy array or a torch"),
        (
            lambda rng: va.augment({"a": np.zeros((4, 4, 4))}, SETTINGS, rng, keys={"b": va.IMAGE}),
            ValueError,
            "does not hold",
        ),
        (
            lambda rng: va.augment({"a": np.zeros((4, 4, 4))}, SETTINGS, rng, keys={"a": va.Key("bicubic")}),
            ValueError,
            "bicubic",
        ),
    ],
)
def test_bad_arguments_are_refused_before_anything_is_drawn(call, error, message):
    rng = np.random.default_rng(0)
    state = rng.bit_generator.state
    with pytest.raises(error, match=message):
        call(rng)
    assert rng.bit_generator.state == state


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_memory_layouts_change_no_bit(layout):
    parts = [sample(s) for s in range(3)]
    batch = {name: np.stack([p[name] for p in parts]) for name in ("image", "label")}
    keys = {"label": va.LABEL}
    expected, _ = va.augment(batch, SETTINGS, np.random.default_rng(8), keys=keys, threads=2)
    laid_out = {name: LAYOUTS[layout](array) for name, array in batch.items()}
    results, _ = va.augment(laid_out, SETTINGS, np.random.default_rng(8), keys=keys, threads=2)
    for name in batch:
        assert_same_bits(results[name], expected[name])
