"""The metrics korel knows by name: one table, read by korel.Index, its
files and korel.distributed.

Each native metric has a name, the kind of points it measures (``"vector"``,
``"string"`` or ``"bits"``, packed bit codes) and its function in korel.metrics, which stands for the
name wherever a metric is taken. Any other callable measures Python objects
(kind ``"object"``).
"""

from typing import Any, Callable, Dict, NamedTuple, Tuple, Union

from . import metrics


class NativeMetric(NamedTuple):
    name: str
    kind: str
    function: Callable[..., float]


NATIVE: Dict[str, NativeMetric] = {
    entry.name: entry
    for entry in (
        NativeMetric("euclidean", "vector", metrics.euclidean),
        NativeMetric("manhattan", "vector", metrics.manhattan),
        NativeMetric("chebyshev", "vector", metrics.chebyshev),
        NativeMetric("angular", "vector", metrics.angular),
        NativeMetric("haversine", "vector", metrics.haversine),
        NativeMetric("levenshtein", "string", metrics.levenshtein),
        NativeMetric("hamming", "string", metrics.hamming),
        NativeMetric("bit_hamming", "bits", metrics.bit_hamming),
    )
}

KINDS = ("vector", "string", "bits", "object")

Metric = Union[str, Callable[[Any, Any], float]]


def names(kind: str) -> Tuple[str, ...]:
    """The native metrics of one kind of points."""
    return tuple(name for name, entry in NATIVE.items() if entry.kind == kind)


def resolve(metric: Any) -> Tuple[str, Any]:
    """(kind, name or callable) of a metric given by name, as a
    korel.metrics function, or as any Python callable."""
    if isinstance(metric, str):
        if metric not in NATIVE:
            raise ValueError(
                f"unknown metric {metric!r}: expected one of {', '.join(NATIVE)}, or a Python callable"
            )
        return NATIVE[metric].kind, metric
    for entry in NATIVE.values():
        if metric is entry.function:
            return entry.kind, entry.name
    if not callable(metric):
        raise TypeError(f"metric must be a metric name or a callable, not {type(metric).__name__}")
    return "object", metric


def describe(metric: Any) -> str:
    """A metric as messages name it: its name, or the callable's."""
    if isinstance(metric, str):
        return metric
    return getattr(metric, "__qualname__", repr(metric))
