"""korel.encode / korel.decode: strings as points of code points."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korel

# No time limit per example: a loaded machine may stall any of them.
unhurried = settings(deadline=None)


@unhurried
@given(st.text())
def test_decode_inverts_encode(text):
    point = korel.encode(text)
    assert len(point) == len(text)
    assert all(isinstance(x, float) for x in point)
    assert korel.decode(point) == text


@unhurried
@given(st.text(max_size=30), st.text(max_size=30))
def test_equal_strings_give_equal_points_and_order_is_kept(first, second):
    assert (korel.encode(first) == korel.encode(second)) == (first == second)
    assert (korel.encode(first) < korel.encode(second)) == (first < second)


def test_decode_accepts_any_sequence_of_whole_numbers():
    assert korel.decode((104, 105.0)) == korel.decode([104.0, 105.0])
    assert korel.decode([]) == ""


@pytest.mark.parametrize("bad", [-1.0, 0x110000, 97.5, math.inf, -math.inf, math.nan])
def test_decode_rejects_values_that_are_no_code_point(bad):
    with pytest.raises(ValueError, match="code point"):
        korel.decode([97.0, bad])


@pytest.mark.parametrize("bad", [b"abc", ["a"], None, 5])
def test_encode_rejects_what_is_not_a_string(bad):
    with pytest.raises(TypeError):
        korel.encode(bad)


def plain_edit_distance(a, b):
    previous = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        current = [i]
        for j, y in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (x != y)))
        previous = current
    return previous[-1]


@unhurried
@given(st.text(max_size=20), st.text(max_size=20))
def test_levenshtein_on_encoded_strings_is_the_edit_distance_of_the_strings(first, second):
    distance = korel.metrics.levenshtein(korel.encode(first), korel.encode(second))
    assert distance == plain_edit_distance(first, second)
