"""Running a large graph of writes a bounded batch at a time.

dask's local scheduler keeps several kilobytes of state for every task of the
graph it runs, and orders the whole graph before it starts: a pyramid of a
64 GiB volume is some 30,000 tasks, so its run would grow with the volume for
bookkeeping alone. Here the graph's final tasks (its writes, each returning a
small flag) run some hundreds at a time, each batch as a graph of its own
holding what its writes need; a write already run is handed to later batches
as its value, so nothing is written twice.

A batch takes, from the last list of writes to the first (the coarsest
pyramid level first), the next writes that are ready: every write they wait
for, through tasks that are not writes, has run or is in the batch. The
coarser levels so follow the finer ones a batch behind, while what they read
is fresh. Writes that share a task (a window that makes blocks of two levels,
say) go into one batch together, with what they wait for, so that no task
runs twice; only data (an array to read from) is in every batch that needs
it. Writes that all share tasks with their neighbours (blocks resampled from
the chunks of a dask array) make one batch, as one graph ran before.
"""

from __future__ import annotations

import collections
import importlib
from typing import Any, Callable, Dict, Hashable, List, Mapping, Optional, Sequence, Set

# Writes a batch takes: big enough that the last few tasks of a batch, run while
# a thread waits for the next batch, cost little; small enough that its graph is
# a few megabytes, whatever the volume.
BATCH_WRITES = 512

Key = Hashable
# Runs a graph: (graph, keys) -> the keys' values, in order.
Run = Callable[[Dict[Key, Any], List[Key]], Sequence[Any]]


def run_in_batches(
    graph: Mapping[Key, Any], writes: Sequence[Sequence[Key]], run: Run, size: Optional[int] = None
) -> None:
    """Run the tasks ``writes`` (lists of keys of ``graph``, each list in the order it is best
    run) by ``run``, each batch of about ``size`` (BATCH_WRITES) writes as a graph of its own
    (see the module's docstring); every task runs once."""
    core = importlib.import_module("dask.core")
    dependencies = core.get_dependencies
    final: Set[Key] = {key for keys in writes for key in keys}
    dependents: Dict[Key, List[Key]] = collections.defaultdict(list)
    for key in graph:
        for dependency in dependencies(graph, key):
            dependents[dependency].append(key)

    def waits_for(key: Key) -> Set[Key]:
        """The writes ``key`` waits for, through tasks that are not writes."""
        return _first_writes(key, lambda task: dependencies(graph, task), final)

    def sharing(key: Key) -> Set[Key]:
        """The other writes that use a task computing something that ``key`` uses."""
        found: Set[Key] = set()
        seen, stack = {key}, [key]
        while stack:
            for dependency in dependencies(graph, stack.pop()):
                if dependency in seen or dependency in final:
                    continue
                seen.add(dependency)
                stack.append(dependency)
                if len(dependents[dependency]) > 1 and core.istask(graph[dependency]):
                    found |= _first_writes(dependency, lambda task: dependents.get(task, ()), final)
        found.discard(key)
        return found

    size = size or BATCH_WRITES
    done: Dict[Key, Any] = {}
    cursors = [0] * len(writes)
    while any(cursor < len(keys) for cursor, keys in zip(cursors, writes)):
        batch: Dict[Key, None] = {}  # in the order taken
        for level in reversed(range(len(writes))):
            keys = writes[level]
            while cursors[level] < len(keys) and len(batch) < size:
                key = keys[cursors[level]]
                if key not in done and key not in batch:
                    if not all(w in done or w in batch for w in waits_for(key)):
                        break
                    _take(key, batch, done, waits_for, sharing)
                cursors[level] += 1
        if not batch:  # the writes left were run with others', or wait for each other
            if any(cursor < len(keys) for cursor, keys in zip(cursors, writes)):
                raise ValueError("the writes wait for each other in a circle")
            break
        keys = list(batch)
        done.update(zip(keys, run(_batch_graph(graph, keys, done, dependencies), keys)))


def _take(key: Key, batch: Dict[Key, None], done: Mapping[Key, Any], waits_for: Any, sharing: Any) -> None:
    """Put ``key`` in ``batch``, with the writes that share its work and those they wait for."""
    stack = [key]
    while stack:
        write = stack.pop()
        if write in batch or write in done:
            continue
        batch[write] = None
        stack.extend(waits_for(write))
        stack.extend(sharing(write))


def _first_writes(start: Key, neighbours: Callable[[Key], Any], final: Set[Key]) -> Set[Key]:
    """The writes reached from ``start`` along ``neighbours`` (dependencies or dependents), up to
    the first write along each path."""
    found, seen, stack = set(), {start}, [start]
    while stack:
        for neighbour in neighbours(stack.pop()):
            if neighbour in seen:
                continue
            seen.add(neighbour)
            if neighbour in final:
                found.add(neighbour)
            else:
                stack.append(neighbour)
    return found


def _batch_graph(
    graph: Mapping[Key, Any], keys: List[Key], done: Mapping[Key, Any], dependencies: Any
) -> Dict[Key, Any]:
    """The tasks ``keys`` need from ``graph``, with the writes already run given as their values."""
    needed: Dict[Key, Any] = {}
    stack = list(keys)
    while stack:
        key = stack.pop()
        if key in needed:
            continue
        if key in done:
            needed[key] = done[key]
            continue
        needed[key] = graph[key]
        stack.extend(dependencies(graph, key))
    return needed
