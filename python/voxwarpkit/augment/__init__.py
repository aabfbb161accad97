"""Random spatial augmentation for deep learning, exact: a random affine and an elastic deformation drawn
per sample from a numpy Generator, applied to an image and its label maps in one pass each.

:func:`spatial` (with :func:`elastic`, TorchIO's form, or :func:`smoothed`, MONAI's) make the
:class:`Settings` to draw from; :func:`augment` draws one transform per sample and resamples every key of the
sample through it, by the key's :class:`Key` (interpolation, fill, edge rule); each transform drawn comes back
as a :class:`Drawn`, whose ``chain`` :func:`voxwarpkit.resample` takes (with ``voxel_size=(1, 1, 1)``) to
replay the sample bit for bit, :func:`apply` replays it on other volumes, a network's prediction say, and
:func:`write_itk` writes it as an ITK transform file that ``voxwarpkit apply --transform`` replays on the
image's file. The results are the same bits on every machine, kernel variant and thread count. Adapters for
TorchIO and MONAI live in :mod:`voxwarpkit.augment.torchio` and :mod:`voxwarpkit.augment.monai`;
:class:`Augmented` makes a dataset whose samples are drawn from the seed and their index, for DataLoader
workers.
"""

from .apply import IMAGE, LABEL, Key, apply, augment
from .draw import Drawn, Parameters, draw
from .inverse import inverse
from .itk_file import write_itk
from .loader import Augmented
from .settings import Elastic, Settings, Smoothed, elastic, smoothed, spatial

__all__ = [
    "IMAGE",
    "Augmented",
    "LABEL",
    "Drawn",
    "Elastic",
    "Key",
    "Parameters",
    "Settings",
    "Smoothed",
    "apply",
    "augment",
    "draw",
    "elastic",
    "inverse",
    "smoothed",
    "spatial",
    "write_itk",
]
