"""BigStitcher dataset.xml tile sets for tests, written with ElementTree and h5py as the format describes them."""

import xml.etree.ElementTree as ElementTree

import numpy as np
from scipy.spatial.transform import Rotation

SHAPE = (4, 6, 5)  # (nz, ny, nx)
SIZES = {0: (0.4, 0.4, 1.5), 1: (0.5, 0.3, 2.0), 2: (0.25, 0.25, 1.0)}  # (sx, sy, sz) per setup


def write_xml(path, loader, transforms, missing=(), channels=None, timepoints=(0, 0), zgroups=()):
    """A dataset.xml: ``loader`` is (format, {child tag: text}), ``transforms`` maps (timepoint, setup)
    to the 3x4 affines in the order they are listed, ``zgroups`` maps (timepoint, setup) to a group."""
    root = ElementTree.Element("SpimData", version="0.2")
    ElementTree.SubElement(root, "BasePath", type="relative").text = "."
    sequence = ElementTree.SubElement(root, "SequenceDescription")
    image_loader = ElementTree.SubElement(sequence, "ImageLoader", format=loader[0])
    for tag, text in loader[1].items():
        ElementTree.SubElement(image_loader, tag, type="relative").text = text
    listed = ElementTree.SubElement(image_loader, "zgroups")
    for (timepoint, setup), group in dict(zgroups).items():
        zgroup = ElementTree.SubElement(listed, "zgroup", timepoint=str(timepoint), setup=str(setup))
        ElementTree.SubElement(zgroup, "path").text = group
    view_setups = ElementTree.SubElement(sequence, "ViewSetups")
    for setup, size in SIZES.items():
        element = ElementTree.SubElement(view_setups, "ViewSetup")
        ElementTree.SubElement(element, "id").text = str(setup)
        ElementTree.SubElement(element, "size").text = " ".join(map(str, SHAPE[::-1]))
        voxel = ElementTree.SubElement(element, "voxelSize")
        ElementTree.SubElement(voxel, "unit").text = "µm"
        ElementTree.SubElement(voxel, "size").text = " ".join(map(str, size))
        channel = ElementTree.SubElement(ElementTree.SubElement(element, "attributes"), "channel")
        channel.text = str((channels or {}).get(setup, 0))
    listed = ElementTree.SubElement(sequence, "Timepoints", type="range")
    ElementTree.SubElement(listed, "first").text, ElementTree.SubElement(listed, "last").text = map(str, timepoints)
    missing_views = ElementTree.SubElement(sequence, "MissingViews")
    for timepoint, setup in missing:
        ElementTree.SubElement(missing_views, "View", timepoint=str(timepoint), setup=str(setup))
    registrations = ElementTree.SubElement(root, "ViewRegistrations")
    for (timepoint, setup), affines in transforms.items():
        element = ElementTree.SubElement(registrations, "ViewRegistration", timepoint=str(timepoint), setup=str(setup))
        for affine in affines:
            transform = ElementTree.SubElement(element, "ViewTransform", type="affine")
            ElementTree.SubElement(transform, "affine").text = " ".join(str(float(v)) for v in np.ravel(affine))
    ElementTree.ElementTree(root).write(path, encoding="utf-8")


def random_affines(rng, count):
    """``count`` 3x4 affines: small rotations about all axes, shifts of tens of units, and a calibration."""
    affines = [np.diag([1.0, 1.0, 3.0, 1.0])[:3]]
    for _ in range(count - 1):
        affine = np.zeros((3, 4))
        affine[:, :3] = Rotation.from_rotvec(rng.uniform(-0.05, 0.05, 3)).as_matrix()
        affine[:, 3] = rng.uniform(-40, 40, 3)
        affines.insert(0, affine)
    return affines


def write_hdf5(path, images):
    import h5py  # here: only the tests that write HDF5 need it

    with h5py.File(path, "w") as stored:
        for (timepoint, setup), image in images.items():
            stored[f"t{timepoint:05d}/s{setup:02d}/0/cells"] = image
