"""Strings as points: one float per Unicode code point.

With ``korel.metrics.levenshtein`` (or ``hamming``) as the distance, encoded
strings can be stored and searched like any other points::

    index.add(encode("kitten"))
    decode(index.nearest(encode("sitting")))
"""

from typing import Iterable, List

__all__ = ["encode", "decode"]


def encode(text: str) -> List[float]:
    """Return the code points of ``text`` as floats: ``"ab"`` -> ``[97.0, 98.0]``."""
    if not isinstance(text, str):
        raise TypeError(f"encode() expects a str, not {type(text).__name__}")
    return [float(ord(character)) for character in text]


def decode(point: Iterable[float]) -> str:
    """Return the string whose code points are ``point``; the inverse of :func:`encode`.

    Raises ValueError for an element that is not a whole number in the range
    of code points (0 to 0x10FFFF).
    """
    characters = []
    for value in point:
        code = int(value) if float(value).is_integer() else -1
        if not 0 <= code <= 0x10FFFF:
            raise ValueError(f"decode(): {value!r} is not a Unicode code point")
        characters.append(chr(code))
    return "".join(characters)
