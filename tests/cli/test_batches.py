"""Writes run a bounded batch at a time: on random graphs, every task runs once, each write sees
what it waits for, and a batch stays near its size wherever writes share no work."""

import random

import pytest

dask = pytest.importorskip("dask")
core = pytest.importorskip("dask.core")

from voxwarpkit.cli.batches import run_in_batches  # noqa: E402


class Calls:
    """The tasks run, in a holder that dask does not look into for keys (as it would a list)."""

    def __init__(self):
        self.names = []


def _count(calls, name, *inputs):
    calls.names.append(name)
    return hash((name,) + inputs) & 0xFFFF


def random_graph(rng, calls):
    """A random graph of tasks, some sharing their inputs, data nodes among them; and its writes
    in levels, each write waiting on tasks and on writes of the levels before it."""
    graph, levels = {}, []
    for level in range(rng.randint(1, 4)):
        writes = []
        for index in range(rng.randint(1, 25)):
            earlier = list(graph)
            inputs = rng.sample(earlier, min(len(earlier), rng.randint(0, 3)))
            if rng.random() < 0.3:  # a task only this write uses
                key = ("private", level, index)
                graph[key] = (_count, calls, str(key), *inputs)
                inputs = [key]
            if rng.random() < 0.2:  # data many may read
                key = ("data", level, index)
                graph[key] = rng.randint(0, 99)
                inputs.append(key)
            key = ("write", level, index)
            graph[key] = (_count, calls, str(key), *inputs)
            writes.append(key)
        levels.append(writes)
    return graph, levels


@pytest.mark.parametrize("seed", range(60))
def test_every_task_runs_once_with_what_it_waits_for(seed):
    rng = random.Random(seed)
    calls, whole_calls = Calls(), Calls()
    graph, levels = random_graph(rng, calls)
    whole_graph = {k: (v[:1] + (whole_calls,) + v[2:]) if core.istask(v) else v for k, v in graph.items()}
    keys = [key for writes in levels for key in writes]
    expected = dict(zip(keys, dask.get(whole_graph, keys)))
    size, batches, given = rng.randint(1, 6), [], {}

    def run(batch_graph, batch):
        for key, value in batch_graph.items():  # a write run before comes as its value, and only so
            assert (key in given) == (not core.istask(value) and key[0] == "write")
        values = dask.get(batch_graph, batch)
        given.update(zip(batch, values))
        batches.append(batch)
        return values

    run_in_batches(graph, levels, run, size)
    assert given == expected
    assert sorted(calls.names) == sorted(whole_calls.names)  # no task run twice, none left out
    assert sorted(key for batch in batches for key in batch) == sorted(keys)


def test_writes_that_share_nothing_run_in_batches_of_their_size():
    graph = {"array": 7}
    for index in range(100):
        graph[("read", index)] = (int, "array")
        graph[("write", 0, index)] = (int, ("read", index))
        if index % 2:  # a coarser write reads two finer ones
            graph[("write", 1, index)] = (max, ("write", 0, index - 1), ("write", 0, index))
    levels = [[k for k in graph if k[:2] == ("write", level)] for level in (0, 1)]
    sizes = []
    run_in_batches(graph, levels, lambda g, batch: sizes.append(len(g)) or dask.get(g, batch), 10)
    assert len(sizes) >= 15 and max(sizes) <= 10 * 3 + 1
