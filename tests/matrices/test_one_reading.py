"""Every entry point reads a matrix the same way: a projective 4x4 is refused by each with one message,
and where an inverse is needed (fitted grids, fusion's tiles, manifests) so is a singular matrix."""

import json

import numpy as np
import pytest

import voxwarpkit

IMAGE = np.random.default_rng(2).random((4, 5, 6), dtype=np.float32)
PROJECTIVE = np.vstack([np.eye(3, 4), [[0.0, 0.0, 1e-6, 1.0]]])  # 1e-6 off: more than the one tolerance
NEARLY_AFFINE = np.vstack([np.eye(3, 4), [[0.0, 0.0, 1e-12, 1.0]]])  # within it
SINGULAR = np.array([[1.0, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 0]])


def through_resample(matrix):
    return voxwarpkit.resample(IMAGE, (1, 1, 1), matrix)


def through_resample_image(matrix):
    nib = pytest.importorskip("nibabel")
    return voxwarpkit.resample_image(nib.Nifti1Image(IMAGE.T.copy(), np.eye(4)), matrix=matrix)


def through_fit_grid(matrix):
    return voxwarpkit.fit_grid(IMAGE.shape, (1, 1, 1), matrix)


def through_fuse(matrix):
    return voxwarpkit.fuse(
        [IMAGE, IMAGE], (1, 1, 1), [np.eye(4), matrix], shape=IMAGE.shape, output_voxel_size=(1, 1, 1)
    )


def through_covering_grid(matrix):
    return voxwarpkit.covering_grid((1, 1, 1), [np.eye(4), matrix], [IMAGE.shape] * 2, (1, 1, 1))


def through_manifest(matrix, tmp_path):
    pytest.importorskip("zarr")
    from voxwarpkit.io.errors import FileError
    from voxwarpkit.io.tile_manifest import read_manifest

    manifest = tmp_path / "tiles.json"
    manifest.write_text(json.dumps({"tiles": [{"path": "tile.zarr", "to_world": np.asarray(matrix).tolist()}]}))
    try:
        return read_manifest(manifest)
    except FileError as error:
        raise ValueError(str(error)) from None


ENTRIES = [through_resample, through_resample_image, through_fit_grid, through_fuse, through_covering_grid]
ENTRIES += [through_manifest]
NEEDS_INVERSE = {through_fit_grid, through_fuse, through_covering_grid, through_manifest}


def call(entry, matrix, tmp_path):
    return entry(matrix, tmp_path) if entry is through_manifest else entry(matrix)


@pytest.mark.parametrize("entry", ENTRIES, ids=[entry.__name__ for entry in ENTRIES])
def test_a_projective_matrix_is_refused_by_every_entry_point_alike(entry, tmp_path):
    with pytest.raises(ValueError, match=r"last row of a 4x4 .*must be 0 0 0 1, got \[0.0, 0.0, 1e-06, 1.0\]"):
        call(entry, PROJECTIVE, tmp_path)


@pytest.mark.parametrize("entry", sorted(NEEDS_INVERSE, key=str), ids=lambda entry: entry.__name__)
def test_a_singular_matrix_is_refused_where_an_inverse_is_needed(entry, tmp_path):
    with pytest.raises(ValueError, match="singular"):
        call(entry, SINGULAR, tmp_path)


def test_resample_takes_a_singular_matrix_and_a_last_row_within_the_tolerance():
    """A singular matrix samples a plane of the input (here z = 0 for every output plane)."""
    flat = through_resample(SINGULAR)
    np.testing.assert_array_equal(flat, np.broadcast_to(IMAGE[0], IMAGE.shape))
    np.testing.assert_array_equal(through_resample(NEARLY_AFFINE), through_resample(np.eye(4)))
