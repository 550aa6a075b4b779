"""The CRC-32 of korel's files, computed by korel._index: the values of
zlib.crc32 for any bytes, any start value and any alignment, pieces joined
by crc32_combine, and sections read with their checksum on several
threads."""

import os
import subprocess
import sys
import zlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korel import _index


@settings(max_examples=300, deadline=None)
@given(data=st.binary(max_size=700), start=st.integers(0, 2**32 - 1), skip=st.integers(0, 15))
def test_crc32_equals_zlib_at_any_length_and_alignment(data, start, skip):
    view = memoryview(b"\0" * skip + data)[skip:]  # the same bytes, starting at another address
    assert _index.crc32(view, start) == zlib.crc32(data, start)


@pytest.mark.parametrize("length", [63, 64, 65, 79, 80, 127, 128, 4095, 65535, 65536, 65537, 3 << 20])
def test_crc32_equals_zlib_around_the_folding_steps(length):
    data = np.random.default_rng(length).integers(0, 256, length + 3, dtype=np.uint8).tobytes()
    for skip in range(4):
        assert _index.crc32(data[skip : skip + length]) == zlib.crc32(data[skip : skip + length])


@settings(max_examples=200, deadline=None)
@given(first=st.binary(max_size=300), second=st.binary(max_size=300))
def test_crc32_combine_joins_two_pieces(first, second):
    joined = _index.crc32_combine(zlib.crc32(first), zlib.crc32(second), len(second))
    assert joined == zlib.crc32(first + second)


@pytest.mark.skipif(not hasattr(_index, "read_checked"), reason="no reads by position on this system")
@pytest.mark.parametrize("threads", [1, 2, 5])
@pytest.mark.parametrize(
    "parts",
    [[(0, 0)], [(3, 1000)], [(100, (9 << 20) + 7)], [(64, 1 << 22)], [(5, 70), (0, 3 << 20), (1 << 20, 0), (11, 300_001)]],
)
@pytest.mark.parametrize("waits", [False, True])
def test_reads_give_each_part_and_its_crc(tmp_path, threads, parts, waits):
    def fill(descriptor, parts, threads):
        if waits:  # started, then waited for
            return _index.start_read(descriptor, parts, threads).wait()
        return _index.read_checked(descriptor, parts, threads)

    length = max(offset + size for offset, size in parts)
    content = np.random.default_rng(length).integers(0, 256, length + 11, dtype=np.uint8).tobytes()
    path = tmp_path / "data"
    path.write_bytes(content)
    descriptor = os.open(path, os.O_RDONLY)
    try:
        buffers = [bytearray(size) for _, size in parts]
        results = fill(descriptor, [(offset, into) for (offset, _), into in zip(parts, buffers)], threads)
        for (offset, size), into, (read, crc) in zip(parts, buffers, results):
            assert read == size and bytes(into) == content[offset : offset + size]
            assert crc == zlib.crc32(content[offset : offset + size])
        # Beyond the end: what there is, and its CRC.
        tails = [bytearray(len(content) - offset + 50) for offset, _ in parts]
        results = fill(descriptor, [(offset, into) for (offset, _), into in zip(parts, tails)], threads)
        for (offset, _), (read, crc) in zip(parts, results):
            assert read == len(content) - offset and crc == zlib.crc32(content[offset:])
    finally:
        os.close(descriptor)


PORTABLE = """
import zlib, numpy as np
from korel import _index
assert not _index.crc32_folds()
data = np.random.default_rng(3).integers(0, 256, (1 << 20) + 13, dtype=np.uint8).tobytes()
for start in range(0, 200, 7):
    assert _index.crc32(data[start:], start) == zlib.crc32(data[start:], start)
print("same")
"""


def test_the_portable_tables_give_the_same_values():
    environment = {**os.environ, "VEXEL_SIMD": "portable"}
    run = subprocess.run([sys.executable, "-c", PORTABLE], env=environment, capture_output=True, text=True, timeout=120)
    assert run.stdout.strip() == "same", run.stderr
