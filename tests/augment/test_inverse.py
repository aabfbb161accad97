"""augment.inverse maps an augmented sample back onto the sample: a volume of each voxel's own x, y and z
(which linear sampling reproduces exactly inside) goes forward through the drawn transform and back through its
inverse to the voxels' own indices, where both passes stay inside."""

import numpy as np
import pytest

import voxwarpkit as vw
import voxwarpkit.augment as va

FORMS = {
    "affine": va.spatial(degrees=15, scales=0.15, shears=0.05, translation=2.0),
    "control-points": va.spatial(degrees=15, scales=0.15, translation=2.0, elastic=va.elastic(6, 3.0, 1)),
    "smoothed": va.spatial(degrees=15, translation=2.0, elastic=va.smoothed((3.0, 4.0), (2.0, 4.0))),
}


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("form", sorted(FORMS))
def test_there_and_back_gives_each_voxel_its_own_index(form, seed):
    shape = (20, 24, 28)
    indices = np.indices(shape, dtype=np.float32)[::-1]  # x, y, z: channels of the volume
    key = va.Key("linear", fill=np.nan)
    there, drawn = va.augment({"v": indices}, FORMS[form], np.random.default_rng(seed), keys={"v": key})
    # Within a voxel of a volume's faces linear sampling clamps: not the linear function, so not compared.
    sizes = np.array(shape[::-1], dtype=np.float32).reshape(3, 1, 1, 1)
    near_faces = np.any((there["v"] < 1) | (there["v"] > sizes - 2), axis=0)
    there["v"][:, near_faces] = np.nan
    for axis in (1, 2, 3):  # and so at the augmented volume's own faces, for the way back
        np.moveaxis(there["v"], axis, 0)[[0, -1]] = np.nan
    back = vw.resample(there["v"], (1, 1, 1), va.inverse(drawn[0], shape), fill=np.nan)
    inside = np.all(np.isfinite(back), axis=0)
    assert inside.mean() > 0.3
    error = np.abs(back - indices)[:, inside]
    # The fixed point is solved for the deformation blended between voxels, as the way back reads it: so
    # the voxels get their own indices to float32's precision, after moves of several voxels.
    assert error.max() < 1e-3
    assert np.nanmax(np.abs(there["v"] - indices)) > 2


def test_iterations_must_be_a_whole_number():
    drawn = va.draw(FORMS["smoothed"], np.random.default_rng(0), (6, 7, 8), (1, 1, 1))
    with pytest.raises(ValueError, match="iterations"):
        va.inverse(drawn, (6, 7, 8), iterations=0)
