"""voxwarpkit.augment.Augmented in torch's DataLoader: the same seed gives the same samples whatever the
number of workers and their start method, each epoch its own."""

import numpy as np
import pytest
from support.augment_data import Samples, peer
from support.bits import assert_same_bits

import voxwarpkit.augment as va

SETTINGS = va.spatial(degrees=10, scales=0.1, elastic=va.elastic(5, 2.0, 1))


def _batches(torch, dataset, workers, method):
    context = None if workers == 0 else method
    loader = torch.utils.data.DataLoader(dataset, batch_size=3, num_workers=workers, multiprocessing_context=context)
    return [{name: batch[name].numpy() for name in ("image", "label")} for batch in loader]


@pytest.mark.parametrize(("workers", "method"), [(1, "fork"), (2, "fork"), (2, "spawn"), (2, "forkserver")])
def test_workers_give_the_samples_of_one_process(workers, method):
    torch = peer("torch")
    dataset = va.Augmented(Samples(7), SETTINGS, seed=42, keys={"label": va.LABEL})
    alone = _batches(torch, dataset, 0, None)
    for one, other in zip(alone, _batches(torch, dataset, workers, method)):
        for name in one:
            assert_same_bits(other[name], one[name])


def test_epochs_and_seeds_draw_other_samples_and_replay_their_own():
    dataset = va.Augmented(Samples(3), SETTINGS, seed=1, keys={"label": va.LABEL}, record="transform")
    first = dataset[2]
    dataset.set_epoch(1)
    later = dataset[2]
    other = va.Augmented(Samples(3), SETTINGS, seed=2)[2]
    assert not np.array_equal(first["image"], later["image"])
    assert not np.array_equal(first["image"], other["image"])
    dataset.set_epoch(0)
    assert_same_bits(dataset[2]["image"], first["image"])
    replayed = va.apply(first["transform"], Samples(3)[2]["label"], va.LABEL)
    assert_same_bits(replayed, first["label"])


@pytest.mark.parametrize("seed", [-1, 1.5, True])
def test_a_seed_must_be_a_whole_number(seed):
    with pytest.raises(ValueError, match="seed must be"):
        va.Augmented(Samples(1), SETTINGS, seed=seed)
