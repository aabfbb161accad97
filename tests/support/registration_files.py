"""Registration tools' matrix files, written here by each tool's own definition.

Each writer stores world motions (output/reference -> input/moving, RAS+) the way its tool
defines its files; reading them back must give the same motions.
"""

import numpy as np

LPS = np.diag([-1.0, -1.0, 1.0, 1.0])


def numbers(values):
    """The values on one line, separated by spaces, each to 17 significant digits."""
    return " ".join(f"{value:.17g}" for value in np.ravel(values))


def itk_parameters(motion, centre):
    """ITK maps a fixed (reference) LPS point p to A (p - c) + c + t, c the centre."""
    lps = LPS @ motion @ LPS
    linear, offset = lps[:3, :3], lps[:3, 3]
    return linear, offset - centre + linear @ centre


def itk_text(folder, motions, reference, moving, name="affine.tfm"):
    centre = np.array([10.0, -5.0, 3.0])
    lines = ["#Insight Transform File V1.0"]
    for index, motion in enumerate(motions):
        linear, translation = itk_parameters(motion, centre)
        lines += [
            f"#Transform {index}",
            "Transform: AffineTransform_double_3_3",
            f"Parameters: {numbers(linear)} {numbers(translation)}",
            f"FixedParameters: {numbers(centre)}",
        ]
    (folder / name).write_text("\n".join(lines) + "\n")
    return folder / name


def itk_binary(folder, motions, reference, moving):
    """ITK's MATLAB 4 file, as ANTs writes 0GenericAffine.mat."""
    import scipy.io as scipy_io  # here, so that a missing scipy skips the test files that need it

    centre = np.array([4.0, 7.0, -2.0])
    linear, translation = itk_parameters(motions[0], centre)
    parameters = np.concatenate([linear.ravel(), translation])[:, np.newaxis]
    path = folder / "0GenericAffine.mat"
    scipy_io.savemat(
        str(path),
        {"AffineTransform_double_3_3": parameters, "fixed": centre[:, np.newaxis]},
        format="4",
    )
    return path


def fsl_coordinates(image):
    """World -> FSL's coordinates: voxel index times voxel size, i mirrored if det > 0."""
    zooms = np.linalg.norm(image.affine[:3, :3], axis=0)
    to_fsl = np.diag([*zooms, 1.0]) @ np.linalg.inv(image.affine)
    if np.linalg.det(image.affine) > 0:
        mirror = np.eye(4)
        mirror[0, :] = [-1.0, 0.0, 0.0, (image.shape[0] - 1) * zooms[0]]
        to_fsl = mirror @ to_fsl
    return to_fsl


def fsl_flirt(folder, motions, reference, moving):
    """FLIRT's matrix maps the moving image's FSL coordinates to the reference's."""
    flirt = fsl_coordinates(reference) @ np.linalg.inv(motions[0]) @ np.linalg.inv(fsl_coordinates(moving))
    np.savetxt(folder / "flirt.mat", flirt, fmt="%.17g")
    return folder / "flirt.mat"


def afni(folder, motions, reference, moving):
    """AFNI: per line, the 3x4 that maps base (reference) to source DICOM (LPS) coordinates."""
    lines = ["# 3dvolreg matrices (DICOM-to-DICOM, row-by-row):"]
    lines += [numbers((LPS @ motion @ LPS)[:3]) for motion in motions]
    (folder / "motion.aff12.1D").write_text("\n".join(lines) + "\n")
    return folder / "motion.aff12.1D"


def lta_geometry(image, name):
    """FreeSurfer's volume geometry; its centre (cras) is the world position of voxel N/2."""
    zooms = np.linalg.norm(image.affine[:3, :3], axis=0)
    axes = image.affine[:3, :3] / zooms
    centre = image.affine @ [*(np.array(image.shape[:3]) / 2), 1.0]
    return [
        "valid = 1  # volume info valid",
        f"filename = {name}",
        "volume = {} {} {}".format(*image.shape[:3]),
        f"voxelsize = {numbers(zooms)}",
        f"xras   = {numbers(axes[:, 0])}",
        f"yras   = {numbers(axes[:, 1])}",
        f"zras   = {numbers(axes[:, 2])}",
        f"cras   = {numbers(centre[:3])}",
    ]


def lta(folder, motions, reference, moving, voxels=False):
    """An LTA maps src (the moving image) to dst (the reference), RAS or voxel to voxel."""
    to_reference = np.linalg.inv(motions[0])
    if voxels:
        to_reference = np.linalg.inv(reference.affine) @ to_reference @ moving.affine
    kind = "0 # LINEAR_VOX_TO_VOX" if voxels else "1 # LINEAR_RAS_TO_RAS"
    lines = [f"type      = {kind}", "nxforms   = 1", "mean      = 0.0000 0.0000 0.0000"]
    lines += ["sigma     = 1.0000", "1 4 4", *(numbers(row) for row in to_reference)]
    lines += ["src volume info", *lta_geometry(moving, "moving.nii.gz")]
    lines += ["dst volume info", *lta_geometry(reference, "reference.nii.gz")]
    (folder / "register.lta").write_text("\n".join(lines + ["subject unknown", ""]))
    return folder / "register.lta"


def mcflirt(folder, motions, image, names=None):
    """MCFLIRT's MAT_0000, MAT_0001, ... in ``folder``: each maps its volume's (moving) FSL coordinates
    to the reference volume's, on the same grid: the inverse of the volume's world motion."""
    to_fsl = fsl_coordinates(image)
    folder.mkdir(exist_ok=True)
    for t, motion in enumerate(motions):
        name = f"MAT_{t:04d}" if names is None else names[t]
        np.savetxt(folder / name, to_fsl @ np.linalg.inv(motion) @ np.linalg.inv(to_fsl), fmt="%.17g")
    return folder
