"""korel: exact nearest-neighbour search in any metric space."""

from . import metrics
from ._korel import NearestNeighborsKorel
from .index import Index
from .text import decode, encode

__version__ = "0.1.0"

__all__ = ["Index", "NearestNeighborsKorel", "decode", "encode", "metrics", "__version__"]
