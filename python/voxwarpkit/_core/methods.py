"""The interpolation methods and linear sampling's edge rules: one record each, with the facts
every layer reads (argument checks, the command line's options, the filter passes, the dask
planner, NIfTI scaling, pyramids and the engine's codes), so that a method is described once.
The engine's own traits of each method are in src/kernel/method_traits.h."""

from __future__ import annotations

from typing import Literal, NamedTuple, Optional, Tuple

# The filter that turns an image into what a method reads: cubic's B-spline coefficients.
Prefilter = Literal["bspline"]


class Method(NamedTuple):
    """How positions take their values, as one record.

    ``reads_below`` and ``reads_above`` count the voxels a position reads
    along each axis before and after the one it starts from (the nearest
    voxel for nearest, the first of the pair for the others), as the engine's
    source box widens its ranges; cubic also reads the mirror images of taps
    past an edge. ``engine_code`` is the value of the C++ enum ``interpolation``
    (src/kernel/resample_job.h) that the engine's resample and source_box take.
    """

    name: str
    order: Optional[int]  # scipy's order, None for a method scipy does not have
    blends: bool  # a float32 blend of values, not source elements copied as bits
    prefilter: Optional[Prefilter]  # what the image is made into before the method reads it
    antialias: bool  # whether anti-aliasing may smooth the image first
    reads_below: int
    reads_above: int
    engine_code: int
    note: str  # what the command line's help says of it, or ""


# In the order messages list them.
METHODS: Tuple[Method, ...] = (
    Method(
        "nearest",
        order=0,
        blends=False,
        prefilter=None,
        antialias=True,
        reads_below=0,
        reads_above=0,
        engine_code=1,
        note="",
    ),
    Method(
        "linear",
        order=1,
        blends=True,
        prefilter=None,
        antialias=True,
        reads_below=0,
        reads_above=1,
        engine_code=0,
        note="",
    ),
    Method(
        "cubic",
        order=3,
        blends=True,
        prefilter="bspline",
        antialias=True,
        reads_below=1,
        reads_above=2,
        engine_code=4,
        note="B-spline",
    ),
    Method(
        "lanczos",
        order=None,
        blends=True,
        prefilter=None,
        antialias=True,
        reads_below=2,
        reads_above=3,
        engine_code=3,
        note="windowed sinc, radius 3",
    ),
    # Smoothing a label map would mix its labels.
    Method(
        "label",
        order=None,
        blends=False,
        prefilter=None,
        antialias=False,
        reads_below=0,
        reads_above=1,
        engine_code=2,
        note="the label with the largest trilinear weight",
    ),
)

# What resample and the command line take when no method is named.
DEFAULT_METHOD = "linear"

METHOD_NAMES = tuple(method.name for method in METHODS)

_BY_ORDER = {method.order: method for method in METHODS if method.order is not None}


class EdgeRule(NamedTuple):
    """Linear sampling's rule at the edges of the input: "clamp" samples where nearest
    sampling does and blends clamped neighbours; "transform" keeps transform's bands and
    extrapolation. ``engine_code`` is the value of the C++ enum ``edge_rule``
    (src/kernel/resample_job.h) that the engine takes with the method's code."""

    name: str
    engine_code: int


# In the order messages list them; the first is the default.
EDGE_RULES: Tuple[EdgeRule, ...] = (EdgeRule("clamp", engine_code=1), EdgeRule("transform", engine_code=0))

EDGE_RULE_NAMES = tuple(rule.name for rule in EDGE_RULES)


def method_named(name: str) -> Method:
    """The record of the method ``name``; KeyError for a name that is none (callers check names first)."""
    for method in METHODS:
        if method.name == name:
            return method
    raise KeyError(name)


def method_of_order(order: int) -> Optional[Method]:
    """The method of scipy's ``order``, or None when no method has it (looked up by hash, as
    a dict compares keys: 1.0 is 1, an unhashable order is a TypeError)."""
    return _BY_ORDER.get(order)


def edge_rule_named(name: str) -> EdgeRule:
    """The record of the edge rule ``name``; KeyError for a name that is none."""
    for rule in EDGE_RULES:
        if rule.name == name:
            return rule
    raise KeyError(name)


def blends(name: str) -> bool:
    """Whether the method ``name`` blends values into float32 (else it copies elements as bits)."""
    return method_named(name).blends


def orders_listed() -> str:
    """scipy's orders the methods have, as a message lists them: "0 (nearest), 1 (linear) or 3 (cubic)"."""
    listed = [f"{method.order} ({method.name})" for method in METHODS if method.order is not None]
    return ", ".join(listed[:-1]) + " or " + listed[-1]
