"""`rank_transform` against NumPy/SciPy rank oracles, and `rank_norm`."""

import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy import stats

from kwivel import MAX_DIM, rank_norm, rank_transform

from conftest import interpreter_u64_error, oracle_rank_norm, oracle_ranks

F32_MAX = float(np.finfo(np.float32).max)


def _check_ranks(v):
    out = rank_transform(v)
    v32 = np.asarray(v).astype(np.float32)
    assert out.dtype == np.uint16
    assert out.shape == v32.shape
    np.testing.assert_array_equal(out, np.argsort(np.argsort(v32, kind="stable"), kind="stable"))
    if len(v32):
        # (float64 so that SciPy's internal NaN screening cannot overflow)
        np.testing.assert_array_equal(out, stats.rankdata(v32.astype(np.float64), method="ordinal") - 1)
    np.testing.assert_array_equal(np.sort(out), np.arange(len(v32)))
    return out


# --------------------------------------------------------------------------
# Property tests
# --------------------------------------------------------------------------

# Few distinct values -> many ties, including signed zeros.
_tie_pool = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0 ** -100, -(2.0 ** -100),
                             2.0 ** 127, -(2.0 ** 127), 7.0])

f32_vectors = hnp.arrays(
    np.float32,
    st.integers(0, 300),
    elements=st.floats(allow_nan=False, allow_infinity=False, width=32),
)
f32_tied_vectors = hnp.arrays(np.float32, st.integers(0, 300), elements=_tie_pool)
f16_vectors = hnp.arrays(
    np.float16, st.integers(0, 300),
    elements=st.floats(allow_nan=False, allow_infinity=False, width=16),
)
# float64 values whose float32 rounding stays finite; narrow gaps make
# float64-distinct values collapse to equal float32 values.
f64_vectors = hnp.arrays(
    np.float64, st.integers(0, 300),
    elements=st.one_of(
        st.floats(min_value=-3.0e38, max_value=3.0e38, allow_nan=False),
        st.floats(min_value=1.0, max_value=1.0 + 1e-6),
        st.floats(min_value=-1e-44, max_value=1e-44),
    ),
)


@given(f32_vectors)
def test_matches_double_argsort_float32(v):
    _check_ranks(v)


@given(f32_tied_vectors)
def test_ties_broken_by_position(v):
    out = _check_ranks(v)
    # equal values (signed zeros included) get increasing ranks by position
    for value in np.unique(v):
        positions = np.flatnonzero(v == value)
        assert np.all(np.diff(out[positions].astype(np.int64)) == 1)


@given(f16_vectors)
def test_float16_ranked_by_float32_roundings(v):
    _check_ranks(v)


@given(f64_vectors)
def test_float64_ranked_by_float32_roundings(v):
    _check_ranks(v)


@given(f32_vectors, st.sampled_from(["<f4", ">f4", "<f8", ">f8"]))
def test_byte_order_is_respected(v, dtype):
    x = v.astype(dtype)
    np.testing.assert_array_equal(rank_transform(x), rank_transform(v))


@given(f32_vectors)
def test_input_not_modified_and_output_independent(v):
    before = v.copy()
    out = rank_transform(v)
    np.testing.assert_array_equal(v, before)
    out[...] = 0
    np.testing.assert_array_equal(v, before)
    if len(v) > 1:
        np.testing.assert_array_equal(rank_transform(v), oracle_ranks(v))


@given(f32_vectors, st.randoms(use_true_random=False))
def test_order_equivariance(v, random):
    """Distinct values: negation reverses the ranks; a monotone map keeps the oracle order."""
    v = np.unique(v)  # distinct values (+0.0 and -0.0 count as one)
    order = list(range(len(v)))
    random.shuffle(order)
    v = v[order]
    out = rank_transform(v).astype(np.int64)
    np.testing.assert_array_equal(rank_transform(np.negative(v)), len(v) - 1 - out)
    np.testing.assert_array_equal(rank_transform(np.arctan(v.astype(np.float64))),
                                  oracle_ranks(np.arctan(v.astype(np.float64))))


_ADVERSARIAL_POOL = np.array([0.0, -0.0, 1.0, -1.0, 1e-45, -1e-45, 1e-40, 3e38, -3e38, F32_MAX, -F32_MAX,
                              0.5, 7.0], dtype=np.float32)


def _adversarial_row(kind, d, rng):
    z = rng.standard_normal(d).astype(np.float32)
    if kind == "pool":
        return rng.choice(_ADVERSARIAL_POOL, d)
    if kind == "gauss+pool":
        return np.where(rng.random(d) < 0.3, rng.choice(_ADVERSARIAL_POOL, d), z)
    if kind == "skewed":  # cubes: heavy mass near zero, long tails
        return (z ** 3 * np.where(rng.random(d) < 0.5, 3.0, 0.2)).astype(np.float32)
    if kind == "bits":
        x = rng.integers(0, 2 ** 32, d, dtype=np.uint64).astype(np.uint32).view(np.float32)
        return np.where(np.isfinite(x), x, np.float32(1.0))
    if kind == "binades":
        return (np.ldexp(1.0, rng.integers(-149, 128, d)) * rng.choice([-1.0, 1.0], d)).astype(np.float32)
    if kind == "tiny+huge":
        return np.where(rng.random(d) < 0.05, np.float32(3e38), (z * 1e-38).astype(np.float32))
    if kind == "two":
        return rng.choice(np.array([1.0, 2.0], dtype=np.float32), d)
    return np.full(d, np.float32(5.0))  # constant


@given(st.sampled_from(["pool", "gauss+pool", "skewed", "bits", "binades", "tiny+huge", "two", "constant"]),
       st.integers(2, 3000), st.integers(0, 2 ** 32 - 1))
def test_adversarial_rows_match_stable_double_argsort(kind, d, seed):
    """Rows built to defeat value bucketing: ties, +-0.0, denormals, +-3e38 beside small values."""
    v = _adversarial_row(kind, d, np.random.default_rng(seed))
    expected = np.argsort(np.argsort(v.astype(np.float64), kind="stable"), kind="stable")
    np.testing.assert_array_equal(rank_transform(v), expected)


# --------------------------------------------------------------------------
# Examples and edges
# --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "v, expected",
    [
        ([0.5, -1.0, 0.5], [1, 0, 2]),
        ([0.0, -0.0], [0, 1]),
        ([-0.0, 0.0], [0, 1]),
        ([1.0, 0.5, 1.0, 0.5], [2, 0, 3, 1]),
        ([3.0, 2.0, 1.0, 0.0], [3, 2, 1, 0]),
        ([7.0], [0]),
        ([2.0, 2.0, 2.0], [0, 1, 2]),
        ([1e-45, 0.0, -1e-45], [2, 1, 0]),
    ],
)
@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.dtype(">f4")], ids=["f4", "f8", ">f4"])
def test_examples(v, expected, dtype):
    out = rank_transform(np.array(v, dtype=dtype))
    assert out.dtype == np.uint16
    assert out.tolist() == expected


def test_float64_values_tied_after_rounding():
    v = np.array([1.0 + 1e-12, 1.0, 0.5, 2.0])
    assert np.argsort(np.argsort(v)).tolist() == [2, 1, 0, 3]
    assert rank_transform(v).tolist() == [1, 2, 0, 3]
    v = np.array([1e-50, -1e-50, 0.0])  # all round to signed zeros
    assert rank_transform(v).tolist() == [0, 1, 2]


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_empty(dtype):
    out = rank_transform(np.zeros(0, dtype=dtype))
    assert out.dtype == np.uint16
    assert out.shape == (0,)


def test_max_length_is_a_permutation(rng):
    v = rng.standard_normal(MAX_DIM).astype(np.float32)
    v[:1000] = np.round(v[:1000])  # plenty of ties too
    out = _check_ranks(v)
    assert out.shape == (65535,)
    assert out.max() == 65534


@pytest.mark.parametrize("n", [65536, 70000])
def test_too_long(n):
    with pytest.raises(ValueError) as info:
        rank_transform(np.zeros(n, np.float32))
    assert str(info.value) == f"length {n} exceeds u16::MAX (65535)"


def test_result_array_properties():
    out = rank_transform(np.array([3.0, 1.0, 2.0], np.float32))
    assert out.flags.writeable
    assert out.flags.c_contiguous
    assert out.base is not None
    assert not out.flags.owndata
    out[0] = 9
    assert out.tolist() == [9, 0, 1]


# --------------------------------------------------------------------------
# rank_norm
# --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "d, expected",
    [(768, 6143.99462890625), (2, 0.7071067690849304), (1, 0.0), (0, 0.0), (3, 1.4142135381698608)],
)
def test_rank_norm_values(d, expected):
    got = rank_norm(d)
    assert type(got) is float
    assert got == expected


@pytest.mark.parametrize("d", [0, 1])
def test_rank_norm_degenerate_is_positive_zero(d):
    assert math.copysign(1.0, rank_norm(d)) == 1.0, f"rank_norm({d}) returned {rank_norm(d)!r}"


def test_rank_norm_all_valid_dims():
    dims = np.arange(1, MAX_DIM + 1, dtype=np.float64)
    expected = np.sqrt(dims * (dims * dims - 1) / 12).astype(np.float32).astype(np.float64)
    got = np.array([rank_norm(int(d)) for d in dims])
    np.testing.assert_array_equal(got, expected)


@given(st.integers(2, 2000))
def test_rank_norm_is_norm_of_centred_ranks(d):
    centred = np.arange(d, dtype=np.float64) - (d - 1) / 2
    assert math.isclose(rank_norm(d), float(np.linalg.norm(centred)), rel_tol=1e-7)
    assert rank_norm(d) == oracle_rank_norm(d)


@pytest.mark.parametrize("d", [-1, 2 ** 64, 2.0])
def test_rank_norm_conversion_errors(d):
    exc_type, message = interpreter_u64_error(d)
    with pytest.raises(exc_type) as info:
        rank_norm(d)
    assert str(info.value) == message
    assert "while processing 'd'" in info.value.__notes__
