"""korel.metrics: each metric against a plain-Python oracle, its metric
properties, its errors, and its use as a native distance inside the index."""

import decimal
import json
import math
import os
import random
import subprocess
import sys
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korel
from korel import metrics

INF = float("inf")
NAN = float("nan")


# --- plain-Python oracles ----------------------------------------------------


def oracle_euclidean(a, b):
    # Exact sum of squares; its square root in decimal, whose exponent range
    # has no underflow.
    squares = sum((Fraction(x) - Fraction(y)) ** 2 for x, y in zip(a, b))
    with decimal.localcontext() as context:
        context.prec = 40
        exact = decimal.Decimal(squares.numerator) / decimal.Decimal(squares.denominator)
        return float(exact.sqrt())


def oracle_manhattan(a, b):
    return float(sum(abs(Fraction(x) - Fraction(y)) for x, y in zip(a, b)))


def oracle_chebyshev(a, b):
    return max((abs(x - y) for x, y in zip(a, b)), default=0.0)


def oracle_hamming(a, b):
    return float(sum(1 for x, y in zip(a, b) if x != y))


def oracle_angular(a, b):
    """Angle / pi from exact rational sums, through the identity
    sin^2 = (|a|^2 |b|^2 - (a.b)^2) / (|a|^2 |b|^2) and cos^2 = (a.b)^2 / (|a|^2 |b|^2)."""
    fa, fb = [Fraction(x) for x in a], [Fraction(y) for y in b]
    aa = sum(x * x for x in fa)
    bb = sum(y * y for y in fb)
    ab = sum(x * y for x, y in zip(fa, fb))
    if aa == 0 or bb == 0:
        return 0.0 if aa == bb else 0.5
    sine = math.sqrt((aa * bb - ab * ab) / (aa * bb))
    cosine = math.copysign(math.sqrt(ab * ab / (aa * bb)), ab)
    return math.atan2(sine, cosine) / math.pi


def oracle_levenshtein(a, b):
    """Full dynamic-programming table."""
    table = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i in range(len(a) + 1):
        table[i][0] = i
    for j in range(len(b) + 1):
        table[0][j] = j
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            table[i][j] = min(
                table[i - 1][j] + 1,
                table[i][j - 1] + 1,
                table[i - 1][j - 1] + (a[i - 1] != b[j - 1]),
            )
    return float(table[len(a)][len(b)])


# name -> (native function, oracle, absolute tolerance, needs equal lengths)
METRICS = {
    "euclidean": (metrics.euclidean, oracle_euclidean, 0.0, True),
    "manhattan": (metrics.manhattan, oracle_manhattan, 0.0, True),
    "chebyshev": (metrics.chebyshev, oracle_chebyshev, 0.0, True),
    "hamming": (metrics.hamming, oracle_hamming, 0.0, True),
    "angular": (metrics.angular, oracle_angular, 1e-14, True),
    "levenshtein": (metrics.levenshtein, oracle_levenshtein, 0.0, False),
}
EQUAL_LENGTH = [name for name, spec in METRICS.items() if spec[3]]

# Coordinates: a few small integers (so equal elements are common, which
# hamming and levenshtein need) mixed with arbitrary finite floats.
coordinates = st.one_of(
    st.integers(-3, 3).map(float),
    st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False),
)


@st.composite
def point_pairs(draw, equal_lengths):
    n = draw(st.integers(0, 12))
    a = draw(st.lists(coordinates, min_size=n, max_size=n))
    m = n if equal_lengths else draw(st.integers(0, 12))
    b = draw(st.lists(coordinates, min_size=m, max_size=m))
    return a, b


def close(got, expected, tolerance):
    # Relative 1e-14 covers the rounding of the native sums.
    return got == expected or abs(got - expected) <= tolerance + 1e-14 * abs(expected)


# --- values ------------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(METRICS))
@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_matches_the_python_oracle(name, data):
    native, oracle, tolerance, equal_lengths = METRICS[name]
    a, b = data.draw(point_pairs(equal_lengths))
    got = native(a, b)
    assert isinstance(got, float)
    assert close(got, oracle(a, b), tolerance), (a, b, got, oracle(a, b))


@pytest.mark.parametrize("name", sorted(METRICS))
def test_matches_the_python_oracle_on_seeded_random_points(name):
    native, oracle, tolerance, equal_lengths = METRICS[name]
    rng = random.Random(name)
    for _ in range(300):
        n = rng.randrange(0, 40)
        m = n if equal_lengths else rng.randrange(0, 40)
        if name in ("hamming", "levenshtein"):
            a = [float(rng.randrange(4)) for _ in range(n)]
            b = [float(rng.randrange(4)) for _ in range(m)]
        else:
            a = [rng.gauss(0, 1) for _ in range(n)]
            b = [rng.gauss(0, 1) for _ in range(m)]
        assert close(native(a, b), oracle(a, b), tolerance), (a, b)


@pytest.mark.parametrize("name", sorted(METRICS))
def test_empty_points_are_at_zero(name):
    assert METRICS[name][0]([], []) == 0.0


def test_levenshtein_against_an_empty_sequence_is_the_length():
    for n in range(6):
        point = [float(i) for i in range(n)]
        assert metrics.levenshtein(point, []) == n
        assert metrics.levenshtein([], point) == n


# --- metric properties ---------------------------------------------------------


@pytest.mark.parametrize("name", sorted(METRICS))
@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_metric_axioms(name, data):
    native, _, _, equal_lengths = METRICS[name]
    a, b = data.draw(point_pairs(equal_lengths))
    length = len(a) if equal_lengths else data.draw(st.integers(0, 12))
    c = data.draw(st.lists(coordinates, min_size=length, max_size=length))
    assert native(a, a) == 0.0
    assert native(b, b) == 0.0
    assert native(a, b) == native(b, a)
    assert native(a, b) >= 0.0
    # Rounding of the native sums is the only slack.
    slack = 1e-12 * (native(a, c) + native(c, b) + 1.0)
    assert native(a, b) <= native(a, c) + native(c, b) + slack


@settings(max_examples=500, deadline=None)
@given(
    point=st.lists(st.floats(-1e300, 1e300, allow_nan=False), min_size=1, max_size=10),
    scale=st.floats(1e-100, 1e100),
)
def test_angular_is_zero_between_a_vector_and_its_positive_multiples(point, scale):
    multiple = [x * scale for x in point]
    # Overflow, or underflow into subnormals, genuinely changes the direction.
    for x, y in zip(point, multiple):
        if math.isinf(y) or (x != 0.0 and min(abs(x), abs(y)) < sys.float_info.min):
            return
    if all(x == 0.0 for x in point):
        return
    assert metrics.angular(point, multiple) == 0.0
    assert metrics.angular(multiple, point) == 0.0


@pytest.mark.parametrize("size", [1, 2, 7])
def test_angular_zero_vectors_keep_the_triangle_inequality(size):
    rng = random.Random(size)
    zero = [0.0] * size
    others = [[rng.uniform(-1, 1) for _ in range(size)] for _ in range(30)]
    points = [zero] + others
    for x in points:
        for y in points:
            for z in points:
                assert metrics.angular(x, z) <= (
                    metrics.angular(x, y) + metrics.angular(y, z) + 1e-15
                )
    assert metrics.angular(zero, zero) == 0.0
    assert all(metrics.angular(zero, p) == 0.5 for p in others)


def test_angular_extremes():
    assert metrics.angular([1.0, 2.0], [-1.0, -2.0]) == 1.0
    assert metrics.angular([1.0, 0.0], [0.0, 5.0]) == 0.5
    # Coordinates whose squares under- or overflow still have a direction.
    assert metrics.angular([1e-200, 0.0], [0.0, 1e-200]) == 0.5
    assert metrics.angular([1e200, 1e200], [1e200, -1e200]) == 0.5
    assert metrics.angular([1e-320], [0.0]) == 0.5


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1e-200], [0.0], 1e-200),  # the square underflows
        ([1e200, 1e200], [0.0, 0.0], math.sqrt(2) * 1e200),  # the square overflows
        ([INF], [INF], 0.0),  # equal infinities are equal elements
        ([INF], [0.0], INF),
    ],
)
def test_euclidean_without_overflow_or_underflow(a, b, expected):
    assert metrics.euclidean(a, b) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("name", ["euclidean", "manhattan", "chebyshev"])
@pytest.mark.parametrize("length", [1, 3, 4, 9])
def test_equal_infinities_are_equal_elements(name, length):
    native, oracle = METRICS[name][0], METRICS[name][1]
    a = [INF] + [float(i) for i in range(length - 1)]
    b = [INF] + [float(2 * i) for i in range(length - 1)]
    b[-1] = -INF if length > 1 else INF
    a[-1] = -INF if length > 1 else INF
    finite_a = [x for x in a if math.isfinite(x)]
    finite_b = [x for x in b if math.isfinite(x)]
    assert native(a, b) == pytest.approx(oracle(finite_a, finite_b), rel=1e-15)
    assert native(a, a) == 0.0


@pytest.mark.parametrize("name", ["euclidean", "manhattan", "chebyshev"])
def test_nan_coordinates_give_nan(name):
    native = METRICS[name][0]
    assert math.isnan(native([NAN, 1.0], [0.0, 1.0]))
    assert math.isnan(native([0.0, 5.0, NAN], [0.0, 1.0, 2.0]))


def test_nan_elements_differ_from_everything():
    assert metrics.hamming([NAN, 1.0], [NAN, 1.0]) == 1.0
    assert metrics.levenshtein([NAN], [NAN]) == 1.0


# --- bad input -----------------------------------------------------------------


@pytest.mark.parametrize("name", EQUAL_LENGTH)
@pytest.mark.parametrize("lengths", [(0, 1), (3, 2), (5, 17)])
def test_unequal_lengths_raise_value_error_naming_both(name, lengths):
    a = [1.0] * lengths[0]
    b = [2.0] * lengths[1]
    with pytest.raises(ValueError) as error:
        METRICS[name][0](a, b)
    message = str(error.value)
    assert name in message
    assert f"({lengths[0]} and {lengths[1]})" in message


@pytest.mark.parametrize("bad", [INF, -INF, NAN])
def test_angular_rejects_non_finite_coordinates(bad):
    with pytest.raises(ValueError, match="finite"):
        metrics.angular([1.0, bad], [1.0, 2.0])
    with pytest.raises(ValueError, match="finite"):
        metrics.angular([1.0, 2.0], [bad, 1.0])


@pytest.mark.parametrize("name", sorted(METRICS))
@pytest.mark.parametrize("bad", ["ab", None, [1.0, "x"], 3.0])
def test_non_sequences_raise_type_error(name, bad):
    with pytest.raises(TypeError):
        METRICS[name][0](bad, [1.0, 2.0])


# --- inside the index: the native shortcut ---------------------------------


def random_vectors(rng, count, dimension):
    return [[rng.uniform(-1, 1) for _ in range(dimension)] for _ in range(count)]


def random_words(rng, count):
    return [
        korel.encode("".join(rng.choice("abcde") for _ in range(rng.randrange(0, 9))))
        for _ in range(count)
    ]


def points_for(name, rng, count):
    if name == "levenshtein":
        return random_words(rng, count)
    if name == "hamming":
        return [[float(rng.randrange(3)) for _ in range(6)] for _ in range(count)]
    points = random_vectors(rng, count, 5)
    if name == "angular":
        points[::50] = [[0.0] * 5 for _ in points[::50]]
    return points


def index_with(distance, points):
    index = korel.NearestNeighborsKorel()
    index.set_distance_function(distance)
    index.add_list(points)
    return index


@pytest.mark.parametrize("name", sorted(METRICS))
def test_native_and_python_callable_give_identical_results(name):
    """The same C++ function called directly and through a Python lambda must
    build the same tree and answer every query alike; brute force checks both."""
    native = METRICS[name][0]
    rng = random.Random(name)
    points = points_for(name, rng, 400)
    queries = points_for(name, rng, 15) + points[:5]
    direct = index_with(native, points)
    through_python = index_with(lambda a, b: native(a, b), points)
    assert direct.list() == through_python.list()
    for query in queries:
        distances = sorted(native(query, p) for p in points)
        ties = len(set(distances)) < len(distances)

        def check(got, expected, brute_force):
            assert [native(query, p) for p in got] == brute_force
            if ties:
                assert [native(query, p) for p in expected] == brute_force
            else:
                assert got == expected

        check([direct.nearest(query)], [through_python.nearest(query)], distances[:1])
        check(direct.nearest_k(query, 7), through_python.nearest_k(query, 7), distances[:7])
        radius = distances[20]
        within = direct.nearest_r(query, radius)
        within_python = through_python.nearest_r(query, radius)
        check(within, within_python, [d for d in distances if d <= radius])
        assert sorted(within) == sorted(within_python)


def test_the_index_holds_no_python_reference_to_a_native_metric():
    # A wrapped Python callable is referenced by the index (twice); a
    # shortcut native function is held as a C++ function pointer only.
    def python_metric(a, b):
        return metrics.euclidean(a, b)

    function = metrics.euclidean
    before = sys.getrefcount(function)
    index = index_with(function, [[0.0], [1.0]])
    assert sys.getrefcount(function) == before

    before = sys.getrefcount(python_metric)
    wrapped = index_with(python_metric, [[0.0], [1.0]])
    assert sys.getrefcount(python_metric) > before
    del index, wrapped


def calls_made_by(action):
    """Names of the functions, Python or built-in, that ``action`` calls."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is not action.__code__:
            calls.append(frame.f_code.co_name)
        elif event == "c_call" and arg is not sys.setprofile:
            calls.append(arg.__name__)

    sys.setprofile(profile)
    try:
        action()
    finally:
        sys.setprofile(None)
    return calls


def test_native_searches_make_no_python_calls():
    rng = random.Random(7)
    points = random_vectors(rng, 2000, 4)
    query = [0.1, 0.2, 0.3, 0.4]
    native = index_with(metrics.euclidean, points)

    def search_native():
        native.nearest_k(query, 10)

    # The search method itself shows up on some Python versions, nothing else.
    assert [name for name in calls_made_by(search_native) if name != "nearest_k"] == []

    # The same search with the metric as a Python callable calls it many times.
    python = index_with(lambda a, b: metrics.euclidean(a, b), points)

    def search_python():
        python.nearest_k(query, 10)

    calls = calls_made_by(search_python)
    assert calls.count("<lambda>") > 10


@pytest.mark.parametrize("name", EQUAL_LENGTH)
def test_unequal_lengths_raise_value_error_through_the_index(name):
    native = METRICS[name][0]
    index = index_with(native, [[1.0, 2.0, 3.0], [0.5, 0.0, 1.0]])
    with pytest.raises(ValueError, match=r"\(2 and 3\)"):
        index.nearest([1.0, 2.0])
    assert index.size() == 2
    assert index.nearest([1.0, 2.0, 3.0]) == [1.0, 2.0, 3.0]


# --- instruction-set levels ------------------------------------------------------

LEVELS = ["portable", "avx2", "avx512"]


def supported_levels():
    """The levels this machine runs, found by trying them; restores the level."""
    before = metrics.simd_level()
    levels = []
    for level in LEVELS:
        try:
            metrics.set_simd_level(level)
        except ValueError:
            break
        levels.append(level)
    metrics.set_simd_level(before)
    return levels


def fixed_order_sum(terms):
    """8 lanes, lane j sums the terms i = j (mod 8); then pairs of lanes 4
    apart, then 2 apart, then the last two."""
    lanes = [0.0] * 8
    for i, term in enumerate(terms):
        lanes[i % 8] += term
    s = [lanes[i] + lanes[i + 4] for i in range(4)]
    t = [s[i] + s[i + 2] for i in range(2)]
    return t[0] + t[1]


FIXED_ORDER = {
    "euclidean": lambda a, b: math.sqrt(fixed_order_sum([(x - y) * (x - y) for x, y in zip(a, b)])),
    "manhattan": lambda a, b: fixed_order_sum([abs(x - y) for x, y in zip(a, b)]),
    "chebyshev": lambda a, b: max((abs(x - y) for x, y in zip(a, b)), default=0.0),
}


@pytest.fixture
def restore_simd_level():
    before = metrics.simd_level()
    yield
    metrics.set_simd_level(before)


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("name", sorted(FIXED_ORDER))
def test_every_level_sums_in_the_fixed_order(name, level, restore_simd_level):
    if level not in supported_levels():
        pytest.skip(f"{level} does not run here")
    metrics.set_simd_level(level)
    assert metrics.simd_level() == level
    native, reference = METRICS[name][0], FIXED_ORDER[name]
    rng = random.Random(name + level)
    for _ in range(200):
        n = rng.randrange(0, 40)
        a = [rng.gauss(0, 1) for _ in range(n)]
        b = [rng.gauss(0, 1) for _ in range(n)]
        assert native(a, b) == reference(a, b), (a, b)


@pytest.mark.parametrize("name", ["sse2", "AVX2", "", "portable "])
def test_set_simd_level_rejects_unknown_names(name, restore_simd_level):
    with pytest.raises(ValueError, match="unknown"):
        metrics.set_simd_level(name)


def test_set_simd_level_rejects_levels_this_machine_does_not_run(restore_simd_level):
    unsupported = LEVELS[len(supported_levels()):]
    if not unsupported:
        pytest.skip("this machine runs every level")
    for level in unsupported:
        with pytest.raises(ValueError, match="not supported"):
            metrics.set_simd_level(level)


SPECIAL_INPUTS = [
    ([1.0, 2.0, 3.0], [4.0, -5.0, 6.5]),
    ([0.1 * i for i in range(37)], [0.3 * i - 2 for i in range(37)]),
    ([1e-200, 3e-170, 0.0], [0.0, 0.0, -1e-300]),
    ([1e200] * 11, [-1e200] * 11),
    ([INF, 1.0, -INF] * 4, [INF, 2.0, -INF] * 4),
    ([NAN] + [1.0] * 9, [0.0] * 10),
]
VECTOR_METRICS = ["euclidean", "manhattan", "chebyshev", "angular"]


def vector_results(inputs):
    """Every vector metric on every pair, as exact hex strings."""
    return [
        [
            getattr(metrics, name)(a, b).hex()
            for name in VECTOR_METRICS
            if name != "angular" or all(map(math.isfinite, a + b))
        ]
        for a, b in inputs
    ]


def test_the_environment_lowers_the_level_and_results_stay_bit_identical(restore_simd_level):
    script = (
        "import json, sys\n"
        "from korel import metrics\n"
        "from test_metrics import vector_results\n"
        "inputs = json.loads(sys.stdin.read())\n"
        "print(json.dumps([metrics.simd_level(), vector_results(inputs)]))\n"
    )
    environment = dict(os.environ, VEXEL_SIMD="portable")
    environment["PYTHONPATH"] = os.pathsep.join([os.path.dirname(__file__), environment.get("PYTHONPATH", "")])
    completed = subprocess.run(
        [sys.executable, "-c", script],
        input=json.dumps(SPECIAL_INPUTS),  # Python's json writes NaN and Infinity
        capture_output=True, text=True, env=environment, check=True,
    )
    level, results = json.loads(completed.stdout)
    assert level == "portable"
    metrics.set_simd_level(supported_levels()[-1])
    assert results == vector_results(SPECIAL_INPUTS)
