"""Replays the fuzzer: a fixed block of seeds, and every seed it saved as failing."""

import json

import fuzz_transform
import numpy as np
import pytest

SAVED = sorted(fuzz_transform.CASES.glob("seed-*.json"))


def replay(seed):
    with np.errstate(all="ignore"):
        return fuzz_transform.check(fuzz_transform.random_case(seed))


@pytest.mark.parametrize("first", range(0, 2000, 250))
def test_seed_block(first):
    problems = {seed: replay(seed) for seed in range(first, first + 250)}
    assert {seed: problem for seed, problem in problems.items() if problem is not None} == {}


def test_saved_cases():
    seeds = [json.loads(path.read_text())["seed"] for path in SAVED]
    assert {seed: replay(seed) for seed in seeds} == {seed: None for seed in seeds}
