"""korel: exact nearest-neighbour search in any metric space."""

from ._korel import NearestNeighborsKorel

__version__ = "0.1.0"

__all__ = ["NearestNeighborsKorel", "__version__"]
