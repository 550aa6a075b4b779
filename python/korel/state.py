"""The state of a korel.Index as plain data: what its files and pickles
store, and what an Index is rebuilt from."""

from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Optional, Union

Metric = Union[str, Callable[[Any, Any], float]]


@dataclass
class IndexState:
    """What an Index holds, as plain data: what its files store, and what
    an Index is rebuilt from.

    ``arrays`` holds ``ids`` (int64, one per point) and the points: for
    vectors ``points`` (2-D, of ``dtype``); for strings ``starts`` (int64,
    count + 1) and ``code_points`` (uint32), string i being
    ``code_points[starts[i]:starts[i + 1]]``; for bit codes ``codes`` (a 2-D
    uint8 array, one row a code); for objects ``objects`` (a list); and,
    when it was taken from an index with a tree, the tree's arrays, named
    ``tree_*``, so that the Index is rebuilt without measuring. ``metric``
    is a native metric's name or the callable."""

    kind: str
    metric: Metric
    dtype: Optional[str]
    next_id: int
    arrays: Dict[str, Any] = field(default_factory=dict)

    @property
    def count(self) -> int:
        return len(self.arrays["ids"])
