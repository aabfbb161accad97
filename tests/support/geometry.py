"""Matrices and positions: random rotations, world motions, identity matrices, sampled indices."""

import numpy as np


def rotation(rng, degrees):
    a, b, c = np.deg2rad(rng.uniform(-degrees, degrees, 3))
    rx = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    ry = np.array([[np.cos(b), 0, np.sin(b)], [0, 1, 0], [-np.sin(b), 0, np.cos(b)]])
    rz = np.array([[np.cos(c), -np.sin(c), 0], [np.sin(c), np.cos(c), 0], [0, 0, 1]])
    return rz @ ry @ rx


def turn_about(centre, degrees, shift):
    """A world motion, output -> input: turn about ``centre`` (about z, then x), then shift."""
    z, x = np.radians(degrees)
    about_z = np.array([[np.cos(z), -np.sin(z), 0], [np.sin(z), np.cos(z), 0], [0, 0, 1]])
    about_x = np.array([[1, 0, 0], [0, np.cos(x), -np.sin(x)], [0, np.sin(x), np.cos(x)]])
    motion = np.eye(4)
    motion[:3, :3] = about_x @ about_z
    motion[:3, 3] = centre - motion[:3, :3] @ centre + shift
    return motion


def identity(tx=0.0, ty=0.0, tz=0.0):
    """The 12 float32 entries of the identity matrix, shifted by (tx, ty, tz)."""
    return np.array([1, 0, 0, tx, 0, 1, 0, ty, 0, 0, 1, tz], dtype=np.float32)


def source_positions(to_input_index, shape):
    """Input voxel indices (3, *shape) that output voxels sample through an index map."""
    linear, shift = to_input_index[:3, :3], to_input_index[:3, 3, None, None, None]
    return np.tensordot(linear, np.indices(shape), axes=1) + shift
