"""The examples in korel.Index's docstrings run and print what they say."""

import doctest

import korel.index


def test_docstring_examples_hold():
    failed, attempted = doctest.testmod(korel.index, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert attempted > 20 and failed == 0
