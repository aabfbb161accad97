"""The drawn parameters follow each peer's distributions for the same settings: many draws of ours against
many of TorchIO's and MONAI's own (two-sample Kolmogorov-Smirnov tests) and against the uniform laws both
document; TorchIO and MONAI are skipped, with the reason shown, where absent."""

import numpy as np
import pytest
from support.augment_data import peer

import voxwarpkit.augment as va

stats = pytest.importorskip("scipy.stats")

DRAWS = 3000
# Fixed seeds make each test deterministic; a level this low fails only for distributions that differ.
LEVEL = 1e-4


def _ours(settings, seed, shape=(16, 16, 16)):
    rng = np.random.default_rng(seed)
    return [va.draw(settings, rng, shape, (1, 1, 1)).parameters for _ in range(DRAWS)]


def _same_law(ours, theirs):
    assert stats.ks_2samp(np.ravel(ours), np.ravel(theirs)).pvalue > LEVEL


def _uniform(values, low, high):
    assert stats.kstest(np.ravel(values), stats.uniform(low, high - low).cdf).pvalue > LEVEL


def test_affine_parameters_follow_torchio_s_random_affine():
    tio = peer("torchio")
    torch = peer("torch")
    scales, degrees, translation = (0.8, 1.3), (-15, 25), 4.0
    transform = tio.RandomAffine(scales=scales, degrees=degrees, translation=translation)
    torch.manual_seed(0)
    theirs = [
        transform.get_params(transform.scales, transform.degrees, transform.translation, False) for _ in range(DRAWS)
    ]
    ours = _ours(va.spatial(scales=scales, degrees=degrees, translation=translation), 0)
    for axis in range(3):
        _same_law([p.scales[axis] for p in ours], [t[0][axis].item() for t in theirs])
        _same_law([p.degrees[axis] for p in ours], [t[1][axis].item() for t in theirs])
        _same_law([p.translation[axis] for p in ours], [t[2][axis].item() for t in theirs])
        _uniform([p.degrees[axis] for p in ours], -15, 25)


def test_control_points_follow_torchio_s_random_elastic_deformation():
    tio = peer("torchio")
    torch = peer("torch")
    points, largest = (5, 6, 7), (3.0, 7.5, 1.0)
    transform = tio.RandomElasticDeformation(num_control_points=points, max_displacement=largest, locked_borders=0)
    torch.manual_seed(1)
    theirs = np.stack([transform.get_params(points, largest, 0) for _ in range(300)])  # (n, nx, ny, nz, 3)
    ours = np.stack([p.displacements for p in _ours(va.spatial(elastic=va.elastic(points, largest, 0)), 1)[:300]])
    assert ours.shape[1:4] == points[::-1]  # (nz, ny, nx): the same grid, in voxwarpkit's order
    for axis in range(3):
        _same_law(ours[..., axis], theirs[..., axis])
        _uniform(ours[..., axis], -largest[axis], largest[axis])


def test_locked_borders_hold_every_face_still():
    # TorchIO's documentation: the border control points are not displaced (its code holds those of its
    # first two axes); here every face's are, one layer or two.
    for locked in (1, 2):
        values = np.stack([p.displacements for p in _ours(va.spatial(elastic=va.elastic(7, 2.0, locked)), 2)[:50]])
        inner = values[:, locked:-locked, locked:-locked, locked:-locked]
        assert np.count_nonzero(values) == np.count_nonzero(inner) == inner.size


def test_affine_parameters_follow_monai_s_rand_affine():
    transforms = peer("monai.transforms")
    rotate, translate, scale = (0.3, 0.1, 0.5), (4.0, 2.0, 6.0), (0.1, 0.2, 0.05)
    shear = (0.2, 0.1, 0.05, 0.3, 0.15, 0.25)  # MONAI draws one shear per number given
    transform = transforms.RandAffine(
        prob=1.0, rotate_range=rotate, shear_range=shear, translate_range=translate, scale_range=scale
    )
    transform.set_random_state(3)
    theirs = []
    for _ in range(DRAWS):
        transform.randomize()
        grid = transform.rand_affine_grid
        theirs.append((grid.rotate_params, grid.shear_params, grid.translate_params, grid.scale_params))
    settings = va.spatial(degrees=np.degrees(rotate), shears=shear, translation=translate, scales=scale)
    ours = _ours(settings, 3)
    for axis in range(3):
        _same_law([np.radians(p.degrees[axis]) for p in ours], [t[0][axis] for t in theirs])
        _same_law([p.translation[axis] for p in ours], [t[2][axis] for t in theirs])
        _same_law([p.scales[axis] for p in ours], [t[3][axis] for t in theirs])
    for k in range(6):
        _same_law([p.shears[k] for p in ours], [t[1][k] for t in theirs])


@pytest.mark.parametrize("probability", [0.0, 0.3, 1.0])
def test_each_part_applies_as_often_as_its_probability(probability):
    settings = va.spatial(
        elastic=va.elastic(5, 1.0, 0), affine_probability=probability, elastic_probability=1 - probability
    )
    ours = _ours(settings, 4)
    for applied, p in (([q.affine for q in ours], probability), ([q.elastic for q in ours], 1 - probability)):
        assert stats.binomtest(sum(applied), DRAWS, p).pvalue > LEVEL if 0 < p < 1 else all(applied) == (p == 1)


def test_smoothed_fields_follow_monai_s_rand_3d_elastic():
    transforms = peer("monai.transforms")
    sigma, magnitude, shape = (2.0, 6.0), (50.0, 150.0), (6, 7, 8)
    transform = transforms.Rand3DElastic(sigma_range=sigma, magnitude_range=magnitude, prob=1.0)
    transform.set_random_state(5)
    theirs = []
    for _ in range(DRAWS):
        transform.randomize(shape)
        theirs.append((transform.sigma, transform.magnitude))
    ours = _ours(va.spatial(elastic=va.smoothed(sigma, magnitude)), 5, shape)
    _same_law([p.sigma for p in ours], [t[0] for t in theirs])
    _same_law([p.magnitude for p in ours], [t[1] for t in theirs])
    _uniform([p.magnitude for p in ours], *magnitude)
    # A Gaussian this narrow leaves every offset as drawn, so the field shows MONAI's U(-1, 1) offsets.
    narrow = va.spatial(elastic=va.smoothed((0.01, 0.01), (1.0, 1.0)))
    field = va.draw(narrow, np.random.default_rng(6), (20, 30, 40), (1, 1, 1)).deformation.displacements
    _same_law(field[..., 0].ravel()[:DRAWS], transform.rand_offset.ravel()[:DRAWS])
    _uniform(field, -1.0, 1.0)
