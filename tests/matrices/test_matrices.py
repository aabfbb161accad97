"""The matrix helpers, held against scipy.ndimage, scipy's rotations and round trips."""

import numpy as np
import pytest

import voxwarpkit
from voxwarpkit import as_homogeneous, from_homogeneous, from_index, from_world, invert, rigid

ndimage = pytest.importorskip("scipy.ndimage")
Rotation = pytest.importorskip("scipy.spatial.transform").Rotation

# Coordinates are single precision in transform and double in scipy: on data of
# values in [0, 1] that moves the blends by a few float32 steps at most.
TOLERANCE = 2e-5
# Positions this close to the last voxel may round to either side of it.
MARGIN = 1e-3


def smooth_volume(shape, seed=0):
    """Random values in [0, 1], lightly smoothed so that blends stay well inside that range."""
    rng = np.random.default_rng(seed)
    return ndimage.uniform_filter(rng.random(shape), size=2).astype(np.float32)


def inside_mask(index_affine, shape):
    """Output positions whose source index lies well inside the input on every axis.

    ``index_affine`` maps output indices to input indices, both in the order of
    ``shape``'s axes.
    """
    grid = np.indices(shape).reshape(len(shape), -1).astype(np.float64)
    source = index_affine[:3, :3] @ grid + index_affine[:3, 3:]
    upper = np.array(shape, dtype=np.float64)[:, None] - 1 - MARGIN
    return np.all((source >= MARGIN) & (source <= upper), axis=0).reshape(shape)


def assert_close_inside(result, expected, index_affine):
    mask = inside_mask(index_affine, result.shape)
    assert mask.sum() > result.size // 4, "the comparison would cover too few voxels"
    np.testing.assert_allclose(result[mask], expected[mask], rtol=0, atol=TOLERANCE)


def homogeneous(linear, offset):
    affine = np.eye(4)
    affine[:3, :3] = linear
    affine[:3, 3] = offset
    return affine


def near_identity(seed, spread=0.08, shift=0.7):
    rng = np.random.default_rng(seed)
    return homogeneous(np.eye(3) + rng.normal(0, spread, (3, 3)), rng.normal(0, shift, 3))


VOXEL_SIZES = [(1.0, 1.0, 1.0), (0.7, 1.3, 2.5)]


# ---- from_index: scipy.ndimage.affine_transform is the peer ----------------------------


@pytest.mark.parametrize("voxel_size", VOXEL_SIZES)
@pytest.mark.parametrize("form", ["3x3 and offset", "diagonal and scalar offset", "3x4", "4x4"])
def test_from_index_agrees_with_scipy_inside_the_volume(form, voxel_size):
    image = smooth_volume((9, 10, 11))
    affine = near_identity(seed=len(form))
    if form == "3x3 and offset":
        args = (affine[:3, :3], affine[:3, 3])
    elif form == "diagonal and scalar offset":
        affine = homogeneous(np.diag([0.9, 1.1, 0.8]), [0.6, 0.6, 0.6])
        args = (np.diag(affine[:3, :3]), 0.6)
    elif form == "3x4":
        args = (affine[:3],)
    else:
        args = (affine,)
    expected = ndimage.affine_transform(image.astype(np.float64), affine, order=1, mode="constant", prefilter=False)
    matrix = from_index(*args, voxel_size=voxel_size)
    result = voxwarpkit.transform(image, np.array(voxel_size), matrix)
    assert_close_inside(result, expected, affine)


def test_from_index_on_a_stack_resamples_each_volume_like_scipy():
    stack = np.stack([smooth_volume((6, 7, 8), seed=s) for s in range(3)])
    affine = near_identity(seed=11)
    voxel_size = np.array([0.5, 0.5, 3.0])
    result = voxwarpkit.transform(stack, voxel_size, from_index(affine, voxel_size=voxel_size))
    for volume, resampled in zip(stack, result):
        expected = ndimage.affine_transform(volume.astype(np.float64), affine, order=1)
        assert_close_inside(resampled, expected, affine)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((np.eye(4), [1.0, 0.0, 0.0]), {}, "carries its own translation"),
        ((np.eye(2),), {}, "must be 3x3"),
        ((np.eye(3), [1.0, 2.0]), {}, "offset must be"),
        ((np.eye(3),), {"voxel_size": (1.0, 0.0, 1.0)}, "positive"),
        ((np.eye(3),), {"voxel_size": (1.0, 1.0)}, "3 numbers"),
        ((np.full((3, 3), np.nan),), {}, "finite"),
    ],
)
def test_from_index_refuses_ambiguous_or_bad_input(args, kwargs, message):
    kwargs = {"voxel_size": (1.0, 1.0, 1.0), **kwargs}
    with pytest.raises(ValueError, match=message):
        from_index(*args, **kwargs)


# ---- from_homogeneous: whole-voxel shifts are exact, so the peer is plain slicing ------


@pytest.mark.parametrize("form", ["4x4", "3x4", "12 numbers", "nested lists"])
def test_from_homogeneous_whole_voxel_translation_is_a_slice(form):
    sx, sy, sz = 0.5, 2.0, 3.0
    image = smooth_volume((8, 9, 10))
    # The input position is the output's plus (2, 1, 3) voxels along (x, y, z).
    affine = homogeneous(np.eye(3), [2 * sx, 1 * sy, 3 * sz])
    matrix = {
        "4x4": affine,
        "3x4": affine[:3],
        "12 numbers": affine[:3].ravel(),
        "nested lists": affine.tolist(),
    }[form]
    result = voxwarpkit.transform(image, np.array([sx, sy, sz]), from_homogeneous(matrix))
    np.testing.assert_array_equal(result[:-4, :-2, :-3], image[3:-1, 1:-1, 2:-1])


@pytest.mark.parametrize(
    "matrix, message",
    [
        (np.eye(3), "4x4, 3x4 or 12 numbers"),
        (np.zeros(13), "4x4, 3x4 or 12 numbers"),
        (np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0.5, 1]]), "last row"),
        (np.where(np.eye(4) == 1, np.inf, 0.0), "finite"),
        ([["1", "0", "0", "x"]] * 3, "numbers"),
        (homogeneous(np.eye(3) * 1e39, [0.0, 0.0, 0.0]), "float32"),
    ],
)
def test_from_homogeneous_refuses_what_is_not_an_affine(matrix, message):
    with pytest.raises(ValueError, match=message):
        from_homogeneous(matrix)


def test_as_homogeneous_and_from_homogeneous_round_trip_bit_for_bit():
    twelve = np.random.default_rng(3).normal(0, 10, 12).astype(np.float32)
    affine = as_homogeneous(twelve)
    assert affine.dtype == np.float64
    np.testing.assert_array_equal(affine[3], [0, 0, 0, 1])
    np.testing.assert_array_equal(from_homogeneous(affine).view(np.uint32), twelve.view(np.uint32))


# ---- invert: a feature at input p must appear at output forward(p) ---------------------

SQUARE = (1.25, 1.25, 1.25)


def quarter_turn_about_z():
    return np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])


FORWARD_MATRICES = {
    "translation": (homogeneous(np.eye(3), [2.5, -1.25, 3.75]), SQUARE),
    "quarter turn and shift": (homogeneous(quarter_turn_about_z(), [10.0, 0.0, 2.5]), SQUARE),
    "mirror in y": (homogeneous(np.diag([1.0, -1.0, 1.0]), [0.0, 12.5, 0.0]), SQUARE),
    "anisotropic shift": (homogeneous(np.eye(3), [1.0, 6.0, -2.0]), (0.5, 3.0, 2.0)),
}


@pytest.mark.parametrize("name", sorted(FORWARD_MATRICES))
def test_invert_moves_a_feature_where_the_forward_matrix_sends_it(name):
    forward, voxel_size = FORWARD_MATRICES[name]
    spacing = np.array(voxel_size)
    shape = (9, 11, 11)
    source = np.array([3, 4, 5])  # (z, y, x)
    image = np.zeros(shape, dtype=np.float32)
    image[tuple(source)] = 1.0
    physical = forward[:3, :3] @ (source[::-1] * spacing) + forward[:3, 3]
    target = tuple(np.rint(physical / spacing).astype(int)[::-1])
    result = voxwarpkit.transform(image, spacing, invert(forward))
    assert result[target] == pytest.approx(1.0, abs=1e-5)
    assert np.sum(np.abs(result)) == pytest.approx(1.0, abs=1e-4)


@pytest.mark.parametrize("seed", range(4))
def test_invert_round_trips(seed):
    forward = near_identity(seed, spread=0.3, shift=20.0)
    backward = as_homogeneous(invert(forward))
    np.testing.assert_allclose(backward @ forward, np.eye(4), atol=1e-5)
    np.testing.assert_allclose(as_homogeneous(invert(backward)), forward, rtol=1e-5, atol=1e-4)


@pytest.mark.parametrize("matrix", [np.diag([1.0, 1.0, 0.0, 1.0]), homogeneous(np.ones((3, 3)), [1.0, 2.0, 3.0])])
def test_invert_refuses_a_singular_matrix(matrix):
    with pytest.raises(ValueError, match="singular"):
        invert(matrix)


# ---- rigid: scipy's rotations are the peer for the angles and their order --------------


@pytest.mark.parametrize("rotation", [(30.0, 0.0, 0.0), (0.0, -45.0, 0.0), (0.0, 0.0, 120.0), (10.0, 20.0, 30.0)])
@pytest.mark.parametrize("voxel_size", VOXEL_SIZES)
def test_rigid_rotates_like_scipy_euler_xyz_about_the_centre(rotation, voxel_size):
    shape = (6, 8, 10)
    translation = np.array([1.0, -2.0, 0.5])
    backward = as_homogeneous(rigid(shape, voxel_size, rotation=rotation, translation=translation))
    motion = np.linalg.inv(backward)
    expected = Rotation.from_euler("xyz", rotation, degrees=True).as_matrix()
    np.testing.assert_allclose(motion[:3, :3], expected, atol=1e-6)
    centre = (np.array([10, 8, 6]) - 1) * np.array(voxel_size) / 2
    moved_centre = motion[:3, :3] @ centre + motion[:3, 3]
    np.testing.assert_allclose(moved_centre, centre + translation, atol=1e-5)


@pytest.mark.parametrize(
    "rotation, source, target",
    [
        # (z, y, x) indices of a bright voxel before and after, on a 9x9x9 grid centred at 4.
        ((0.0, 0.0, 90.0), (4, 4, 6), (4, 6, 4)),  # +x turns towards +y
        ((90.0, 0.0, 0.0), (4, 6, 4), (6, 4, 4)),  # +y turns towards +z
        ((0.0, 90.0, 0.0), (6, 4, 4), (4, 4, 6)),  # +z turns towards +x
        ((0.0, 0.0, 180.0), (4, 4, 4), (4, 4, 4)),  # the centre stays
    ],
)
def test_rigid_turns_content_right_handed_about_each_axis(rotation, source, target):
    image = np.zeros((9, 9, 9), dtype=np.float32)
    image[source] = 1.0
    spacing = np.array([1.5, 1.5, 1.5])
    result = voxwarpkit.transform(image, spacing, rigid(image.shape, spacing, rotation=rotation))
    assert result[target] == pytest.approx(1.0, abs=1e-5)


def test_rigid_translation_moves_content_by_physical_units():
    spacing = np.array([0.5, 2.0, 3.0])
    image = smooth_volume((8, 9, 10))
    matrix = rigid(image.shape, spacing, translation=(1.0, -2.0, 6.0))  # (2, -1, 2) voxels
    result = voxwarpkit.transform(image, spacing, matrix)
    np.testing.assert_array_equal(result[2:-1, :-2, 2:-1], image[:-3, 1:-1, :-3])


def test_rigid_without_motion_is_the_identity_and_ignores_the_volume_count():
    spacing = (0.8, 0.8, 2.0)
    identity = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], dtype=np.float32)
    np.testing.assert_array_equal(rigid((5, 6, 7), spacing), identity)
    turned = rigid((5, 6, 7), spacing, rotation=(5.0, 6.0, 7.0))
    np.testing.assert_array_equal(rigid((3, 5, 6, 7), spacing, rotation=(5.0, 6.0, 7.0)), turned)


def test_rigid_about_a_given_centre_keeps_that_point():
    centre = np.array([3.0, 2.0, 5.0])
    backward = as_homogeneous(rigid((8, 8, 8), (1.0, 1.0, 1.0), rotation=(20.0, 30.0, 40.0), centre=centre))
    np.testing.assert_allclose(backward[:3, :3] @ centre + backward[:3, 3], centre, atol=1e-5)


@pytest.mark.parametrize(
    "shape, kwargs, message",
    [
        ((8, 8), {}, "image shape"),
        ((8, 8, 8), {"rotation": (1.0, 2.0)}, "3 numbers"),
        ((8, 8, 8), {"translation": (np.nan, 0.0, 0.0)}, "finite"),
        ((8, 8, 8), {"centre": (1.0, 2.0, 3.0, 4.0)}, "centre"),
    ],
)
def test_rigid_refuses_bad_arguments(shape, kwargs, message):
    with pytest.raises(ValueError, match=message):
        rigid(shape, (1.0, 1.0, 1.0), **kwargs)


# ---- from_world: scipy on nibabel's (i, j, k) array, in index space, is the peer ---------


def oblique_affine(zooms):
    """A voxel-to-world affine with a rotation, the given zooms and an origin."""
    turn = Rotation.from_euler("xyz", (8.0, -5.0, 12.0), degrees=True).as_matrix()
    return homogeneous(turn * np.array(zooms), [-90.0, 120.0, -60.0])


@pytest.mark.parametrize("voxel_size", ["zooms", "any positive spacing"])
def test_from_world_agrees_with_scipy_in_index_space(voxel_size):
    zooms = (1.2, 0.9, 2.5)
    data = smooth_volume((11, 12, 9))  # nibabel's axis order (i, j, k)
    affine = oblique_affine(zooms)
    # A small turn about the volume's centre in world coordinates, and a shift.
    centre = affine[:3, :3] @ ((np.array(data.shape) - 1) / 2) + affine[:3, 3]
    turn = Rotation.from_euler("xyz", (4.0, 3.0, -6.0), degrees=True).as_matrix()
    world = homogeneous(turn, centre - turn @ centre + [1.5, -2.0, 1.0])
    index_map = np.linalg.inv(affine) @ world @ affine
    expected = ndimage.affine_transform(data.astype(np.float64), index_map, order=1)
    spacing = np.array(zooms if voxel_size == "zooms" else (3.0, 0.25, 1.0))
    matrix = from_world(world, affine, voxel_size=spacing)
    result = voxwarpkit.transform(data.T, spacing, matrix).T
    assert_close_inside(result, expected, index_map)


def test_from_world_refuses_a_singular_affine():
    with pytest.raises(ValueError, match="affine is singular"):
        from_world(np.eye(4), np.diag([1.0, 1.0, 0.0, 1.0]), voxel_size=(1.0, 1.0, 1.0))


# ---- what every helper returns ---------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: from_homogeneous(np.eye(4)),
        lambda: from_index(np.eye(3), voxel_size=(1, 2, 3)),
        lambda: invert(np.eye(4)),
        lambda: rigid((4, 5, 6), (1, 2, 3), rotation=(1, 2, 3)),
        lambda: from_world(np.eye(4), np.diag([2.0, 2.0, 2.0, 1.0]), voxel_size=(2, 2, 2)),
    ],
    ids=["from_homogeneous", "from_index", "invert", "rigid", "from_world"],
)
def test_every_helper_returns_twelve_float32_numbers(make):
    matrix = make()
    assert matrix.dtype == np.float32
    assert matrix.shape == (12,)


# ---- fit_grid: every input voxel centre lands on the fitted output grid, which is no larger than it must be ----


@pytest.mark.parametrize("seed", range(6))
def test_fit_grid_holds_every_input_voxel_and_no_more(seed):
    rng = np.random.default_rng(seed)
    shape = tuple(int(n) for n in rng.integers(2, 30, 3))
    spacing, output_spacing = rng.uniform(0.5, 2, 3), rng.uniform(0.5, 2, 3)
    matrices = np.stack([rigid(shape, spacing, rotation=rng.uniform(-40, 40, 3)) for _ in range(int(seed % 3) + 1)])
    out_shape, fitted = voxwarpkit.fit_grid(
        shape, spacing, matrices if len(matrices) > 1 else matrices[0], output_voxel_size=output_spacing
    )
    corners = np.array(np.meshgrid(*[[0, n - 1] for n in shape[::-1]], indexing="ij")).reshape(3, -1).T * spacing
    reach = []
    for m in np.reshape(fitted, (-1, 12)):
        forward = np.linalg.inv(as_homogeneous(m))
        reach.append((corners @ forward[:3, :3].T + forward[:3, 3]) / output_spacing)  # output indices (x, y, z)
    reach = np.concatenate(reach)
    assert np.all(reach >= -1e-3) and np.all(reach <= np.array(out_shape[::-1]) - 1 + 1e-3)
    span = reach.max(axis=0) - reach.min(axis=0)
    assert np.all(np.array(out_shape[::-1]) - 1 < span + 1 + 1e-3)  # one voxel fewer would not hold them
