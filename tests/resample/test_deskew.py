"""voxwarpkit.deskew: simulated beads of a stage-scanned light sheet come out round and in their places."""

import numpy as np
import pytest
from support.beads import image_beads, moments, raw_position, scatter_beads

import voxwarpkit

SIGMA = 0.8
SHAPE = (64, 48, 96)  # (nz, ny, nx): stage positions, camera rows, camera columns
VOXEL_SIZE = (0.25, 0.3, 0.5)  # (sx, sy, dz)


def about_y(degrees):
    turn = np.radians(degrees)
    return np.array([[np.cos(turn), 0, np.sin(turn)], [0, 1, 0], [-np.sin(turn), 0, np.cos(turn)]])


@pytest.mark.parametrize("angle", [31.5, 60.0, 125.0])
@pytest.mark.parametrize("rotate", [False, True])
def test_beads_come_out_round_and_where_the_frame_puts_them(angle, rotate):
    rng = np.random.default_rng(int(angle * 10) + rotate)
    beads = scatter_beads(rng, SHAPE, VOXEL_SIZE, angle, 5, SIGMA)
    stack = image_beads(SHAPE, VOXEL_SIZE, angle, beads, SIGMA)
    matrix, shape = voxwarpkit.deskew(SHAPE, VOXEL_SIZE, angle=angle, rotate=rotate)
    spacing = np.full(3, min(VOXEL_SIZE[:2]))  # isotropic at the finer camera pixel
    volume = voxwarpkit.resample(stack, VOXEL_SIZE, matrix, shape=shape, output_voxel_size=spacing, fill=0.0)

    # Where the matrix sends each bead's raw position, and where the frame puts the beads:
    # coverslip coordinates with rotate, else those turned back by the angle about y.
    to_input = voxwarpkit.as_homogeneous(matrix)
    placed = [np.linalg.solve(to_input, [*raw_position(b, VOXEL_SIZE, angle), 1.0])[:3] for b in beads]
    frame = np.eye(3) if rotate else about_y(angle).T
    found = []
    for expected in placed:
        centre, covariance = moments(volume, spacing, expected, 4 * SIGMA)
        assert np.all(np.abs(centre - expected) < 0.1 * spacing), (centre, expected)
        # Round: every axis of the ellipsoid is the bead's own width, within the linear blend's blur.
        widths = np.sqrt(np.linalg.eigvalsh(covariance))
        assert np.all(np.abs(widths / SIGMA - 1) < 0.06), widths
        found.append(centre)
    shifts = np.array(found) - found[0]
    assert np.allclose(shifts, (beads - beads[0]) @ frame.T, atol=0.1 * spacing[0])


@pytest.mark.parametrize("rotate", [False, True])
def test_the_grid_holds_every_plane_and_defaults_to_the_finer_pixel(rotate):
    voxel_size = (0.2, 0.15, 0.6)
    matrix, shape = voxwarpkit.deskew(SHAPE, voxel_size, angle=40, rotate=rotate)
    ones = np.ones(SHAPE, np.float32)
    volume = voxwarpkit.resample(ones, voxel_size, matrix, shape=shape, output_voxel_size=(0.15,) * 3, order=0)
    # The sampled part of the box is the stack's volume in the sample: planes dz * sin(angle) apart.
    sampled = volume.sum() * 0.15**3
    assert sampled == pytest.approx(np.prod(SHAPE) * np.prod(voxel_size) * np.sin(np.radians(40)), rel=0.05)
    given, given_shape = voxwarpkit.deskew(SHAPE, voxel_size, angle=40, rotate=rotate, output_voxel_size=(0.3,) * 3)
    assert all(abs(2 * a - b) <= 2 for a, b in zip(given_shape, shape))


@pytest.mark.parametrize("angle", [0, 180, -30, 200, float("nan")])
def test_angles_outside_the_open_half_turn_are_refused(angle):
    with pytest.raises(ValueError, match="angle|singular"):
        voxwarpkit.deskew(SHAPE, VOXEL_SIZE, angle=angle)
