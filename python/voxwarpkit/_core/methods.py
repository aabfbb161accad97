"""The interpolation methods and linear sampling's edge rules: one record each, with the facts
every layer reads (argument checks, the command line's options, the filter passes, NIfTI
scaling, pyramids, fusion), so that a method is described once. The engine's own traits of each
method (how far it reads) are in src/kernel/method_traits.h, and its codes come from the engine
(:mod:`voxwarpkit._backends.codes`)."""

from __future__ import annotations

from typing import Literal, NamedTuple, Optional, Tuple

# The filter that turns an image into what a method reads: cubic's B-spline coefficients.
Prefilter = Literal["bspline"]


class Method(NamedTuple):
    """How positions take their values, as one record."""

    name: str
    order: Optional[int]  # scipy's order, None for a method scipy does not have
    blends: bool  # a float32 blend of values, not source elements copied as bits
    prefilter: Optional[Prefilter]  # what the image is made into before the method reads it
    antialias: bool  # whether anti-aliasing may smooth the image first
    fuses: bool  # whether fusion may blend tiles sampled by it (a blend of labels mixes them)
    note: str  # what the command line's help says of it, or ""


# In the order messages list them.
METHODS: Tuple[Method, ...] = (
    Method(
        "nearest",
        order=0,
        blends=False,
        prefilter=None,
        antialias=True,
        fuses=True,
        note="",
    ),
    Method(
        "linear",
        order=1,
        blends=True,
        prefilter=None,
        antialias=True,
        fuses=True,
        note="",
    ),
    Method(
        "cubic",
        order=3,
        blends=True,
        prefilter="bspline",
        antialias=True,
        fuses=True,
        note="B-spline",
    ),
    Method(
        "lanczos",
        order=None,
        blends=True,
        prefilter=None,
        antialias=True,
        fuses=True,
        note="windowed sinc, radius 3",
    ),
    # Smoothing or fusing a label map would mix its labels.
    Method(
        "label",
        order=None,
        blends=False,
        prefilter=None,
        antialias=False,
        fuses=False,
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
    extrapolation."""

    name: str


# In the order messages list them; the first is the default.
EDGE_RULES: Tuple[EdgeRule, ...] = (EdgeRule("clamp"), EdgeRule("transform"))

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
