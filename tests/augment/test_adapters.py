"""The TorchIO and MONAI adapters give the bits of voxwarpkit.augment for the same seed; skipped, with the
reason shown, where TorchIO or MONAI is not installed (the augment-test extra installs both)."""

import numpy as np
import pytest
from support.augment_data import peer, sample
from support.bits import assert_same_bits

import voxwarpkit.augment as va

SETTINGS = va.spatial(degrees=8, scales=0.1, translation=1.5, elastic=va.elastic((5, 6, 7), 2.0, 1))


@pytest.mark.parametrize("seed", [0, 7])
@pytest.mark.parametrize("spacing", [(1.0, 1.0, 1.0), (1.2, 0.8, 2.0)])
def test_torchio_subjects_get_the_bits_of_augment(seed, spacing):
    tio = peer("torchio")
    torch = peer("torch")
    from voxwarpkit.augment.torchio import RandomSpatial

    data = sample(seed)
    affine = np.diag([*spacing, 1.0])
    # TorchIO's tensors are (C, i, j, k): voxwarpkit's (C, z, y, x) with the spatial axes reversed.
    as_tio = {name: torch.from_numpy(np.ascontiguousarray(array.transpose(0, 3, 2, 1))) for name, array in data.items()}
    subject = tio.Subject(
        t1=tio.ScalarImage(tensor=as_tio["image"], affine=affine),
        seg=tio.LabelMap(tensor=as_tio["label"], affine=affine),
    )
    transform = RandomSpatial(SETTINGS, seed)
    made = transform(subject)
    unseeded = RandomSpatial(SETTINGS)
    torch.manual_seed(seed)
    unseeded(subject)  # seeded from torch's initial seed, as TorchIO's own transforms draw

    expected, drawn = va.augment(
        {"t1": data["image"], "seg": data["label"]},
        SETTINGS,
        np.random.default_rng(seed),
        keys={"seg": va.LABEL},
        voxel_size=spacing,
    )
    assert_same_bits(made.t1.data.numpy().transpose(0, 3, 2, 1), expected["t1"])
    assert_same_bits(made.seg.data.numpy().transpose(0, 3, 2, 1), expected["seg"])
    assert_same_bits(transform.last_drawn.matrix, drawn[0].matrix)
    _, from_torch = va.augment(
        {"t1": data["image"]}, SETTINGS, np.random.default_rng(torch.initial_seed()), voxel_size=spacing
    )
    assert_same_bits(unseeded.last_drawn.matrix, from_torch[0].matrix)


@pytest.mark.parametrize("seed", [0, 7])
def test_monai_dictionaries_get_the_bits_of_augment(seed):
    peer("monai")
    torch = peer("torch")
    from monai.data import MetaTensor

    from voxwarpkit.augment.monai import RandSpatiald

    data = sample(seed)
    transform = RandSpatiald(["image", "label"], SETTINGS, modes={"label": va.LABEL}).set_random_state(seed)
    affine = torch.diag(torch.tensor([1.5, 2.0, 0.5, 1.0], dtype=torch.float64))
    image = MetaTensor(torch.from_numpy(data["image"]), affine=affine)
    made = transform({"image": image, "label": data["label"], "id": seed})

    expected, _ = va.augment(data, SETTINGS, np.random.default_rng(seed), keys={"label": va.LABEL})
    assert isinstance(made["image"], MetaTensor)
    assert torch.equal(made["image"].affine, affine)
    assert_same_bits(made["image"].numpy(), expected["image"])
    assert_same_bits(made["label"], expected["label"])
    assert made["id"] == seed
    # The next call draws the next transform of the same stream.
    second = transform({"image": data["image"], "label": data["label"]})
    rng = np.random.default_rng(seed)
    va.augment(data, SETTINGS, rng, keys={"label": va.LABEL})
    again, _ = va.augment(data, SETTINGS, rng, keys={"label": va.LABEL})
    assert_same_bits(second["image"], again["image"])
