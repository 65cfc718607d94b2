"""Array gates at the Python boundary: dtype kind, rank, width, contiguity, finiteness.

1-D gates are exercised through `rank_transform(v)`, 2-D gates through
`Rank.add(vectors)` and `Rank.search(queries, k)`.  Every failing gate must
leave the index untouched.
"""

import numpy as np
import pytest

from kwivel import Rank, rank_transform

from conftest import (
    NON_CONTIGUOUS,
    NON_FINITE,
    NOT_1D,
    NOT_2D,
    dtype_message,
    is_perfect,
    oracle_ranks,
    oracle_scores,
    width_message,
)

DIM = 4
FLOAT_DTYPES = [np.float16, np.float32, np.float64, np.dtype(">f4"), np.dtype(">f8")]
FLOAT_IDS = ["f2", "f4", "f8", ">f4", ">f8"]

NON_FLOAT_DTYPES = [
    np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32,
    np.int64, np.uint64, np.dtype(">i4"), np.complex64, np.complex128, np.object_,
    np.dtype("U3"), np.dtype("S3"), np.dtype("datetime64[ns]"), np.dtype("timedelta64[s]"),
    np.dtype([("a", np.float32), ("b", np.float32)]),
]


def _filled_index(rows=3, dim=DIM):
    r = Rank(dim)
    r.add(np.random.default_rng(rows).standard_normal((rows, dim)).astype(np.float32))
    return r


def _probe_add(r, x):
    before = len(r)
    try:
        r.add(x)
    finally:
        assert len(r) == before, "a rejected add must not change the index"


def _probe_search(r, x):
    r.search(x, 2)


TWO_D_ENTRY = {"add": _probe_add, "search": _probe_search}


# --------------------------------------------------------------------------
# (1) dtype kind
# --------------------------------------------------------------------------

class TestDtypeGate:
    @pytest.mark.parametrize("dtype", NON_FLOAT_DTYPES, ids=lambda d: str(np.dtype(d)))
    @pytest.mark.parametrize("entry", sorted(TWO_D_ENTRY))
    def test_2d_rejects_non_float(self, entry, dtype):
        x = np.zeros((2, DIM), dtype=dtype)
        with pytest.raises(TypeError) as info:
            TWO_D_ENTRY[entry](_filled_index(), x)
        assert str(info.value) == dtype_message(str(x.dtype))

    @pytest.mark.parametrize("dtype", NON_FLOAT_DTYPES, ids=lambda d: str(np.dtype(d)))
    def test_1d_rejects_non_float(self, dtype):
        x = np.zeros(5, dtype=dtype)
        with pytest.raises(TypeError) as info:
            rank_transform(x)
        assert str(info.value) == dtype_message(str(x.dtype))

    def test_message_keeps_literal_braces(self):
        with pytest.raises(TypeError) as info:
            rank_transform(np.array([0, 1, 1, 0], dtype=np.int8))
        assert "a {0, 1} or narrow-integer vector" in str(info.value)
        assert "got int8;" in str(info.value)

    @pytest.mark.parametrize(
        "obj",
        [[[1.0, 2.0, 3.0, 4.0]], ((1.0, 2.0, 3.0, 4.0),), None, 1.5, "abcd",
         memoryview(np.zeros((1, DIM), np.float32)), bytearray(16)],
        ids=["list", "tuple", "None", "float", "str", "memoryview", "bytearray"],
    )
    @pytest.mark.parametrize("entry", sorted(TWO_D_ENTRY))
    def test_2d_rejects_non_arrays(self, entry, obj):
        with pytest.raises(TypeError) as info:
            TWO_D_ENTRY[entry](_filled_index(), obj)
        assert str(info.value) == dtype_message("a non-array object")

    @pytest.mark.parametrize("obj", [[1.0, 2.0, 3.0], (0.5, 0.25), None, 3.0],
                             ids=["list", "tuple", "None", "float"])
    def test_1d_rejects_non_arrays(self, obj):
        with pytest.raises(TypeError) as info:
            rank_transform(obj)
        assert str(info.value) == dtype_message("a non-array object")

    @pytest.mark.parametrize("shape", [(), (4,), (1, 4), (2, 2, 1)])
    def test_kind_is_checked_before_ndim(self, shape):
        x = np.zeros(shape, dtype=np.int64)
        with pytest.raises(TypeError) as info:
            rank_transform(x)
        assert str(info.value) == dtype_message("int64")
        with pytest.raises(TypeError) as info:
            _filled_index().add(x)
        assert str(info.value) == dtype_message("int64")

    def test_kind_is_checked_before_width_contiguity_and_values(self):
        x = np.full((3, 2 * (DIM + 1)), -1, dtype=np.int32)[:, ::2]
        with pytest.raises(TypeError) as info:
            _filled_index().add(x)
        assert str(info.value) == dtype_message("int32")


# --------------------------------------------------------------------------
# (2) number of dimensions
# --------------------------------------------------------------------------

class TestNdimGate:
    @pytest.mark.parametrize("dtype", FLOAT_DTYPES, ids=FLOAT_IDS)
    @pytest.mark.parametrize("shape", [(), (DIM,), (7,), (0,), (1, 1, DIM), (2, DIM, 1)],
                             ids=str)
    @pytest.mark.parametrize("entry", sorted(TWO_D_ENTRY))
    def test_2d_entry_points(self, entry, shape, dtype):
        x = np.zeros(shape, dtype=dtype)
        with pytest.raises(TypeError) as info:
            TWO_D_ENTRY[entry](_filled_index(), x)
        assert str(info.value) == NOT_2D

    @pytest.mark.parametrize("dtype", FLOAT_DTYPES, ids=FLOAT_IDS)
    @pytest.mark.parametrize("shape", [(), (1, 3), (3, 1), (0, 0), (2, 2, 2)], ids=str)
    def test_1d_entry_point(self, shape, dtype):
        with pytest.raises(TypeError) as info:
            rank_transform(np.zeros(shape, dtype=dtype))
        assert str(info.value) == NOT_1D

    def test_numpy_scalar_is_not_a_vector(self):
        with pytest.raises(TypeError) as info:
            rank_transform(np.float32(1.0))
        assert str(info.value) == NOT_1D

    def test_ndim_checked_before_contiguity_and_values(self):
        x = np.full(2 * DIM, np.nan, np.float32)[::2]
        with pytest.raises(TypeError) as info:
            _filled_index().add(x)
        assert str(info.value) == NOT_2D
        y = np.full((3, 6), np.nan, np.float32)[:, ::2]
        with pytest.raises(TypeError) as info:
            rank_transform(y)
        assert str(info.value) == NOT_1D


# --------------------------------------------------------------------------
# (3) width
# --------------------------------------------------------------------------

class TestWidthGate:
    @pytest.mark.parametrize("dtype", FLOAT_DTYPES, ids=FLOAT_IDS)
    @pytest.mark.parametrize("width", [1, DIM - 1, DIM + 1, 2 * DIM])
    @pytest.mark.parametrize("rows", [0, 1, 3])
    @pytest.mark.parametrize("entry", sorted(TWO_D_ENTRY))
    def test_width_mismatch(self, entry, rows, width, dtype):
        x = np.ones((rows, width), dtype=dtype)
        with pytest.raises(ValueError) as info:
            TWO_D_ENTRY[entry](_filled_index(), x)
        assert str(info.value) == width_message(width, DIM)

    @pytest.mark.parametrize("dim", [2, 3, 300])
    def test_message_uses_index_dim(self, dim):
        r = Rank(dim)
        with pytest.raises(ValueError) as info:
            r.add(np.ones((2, dim + 7), np.float32))
        assert str(info.value) == width_message(dim + 7, dim)
        assert len(r) == 0

    @pytest.mark.parametrize(
        "make",
        [
            lambda w: np.ones((3, 2 * w), np.float32)[:, ::2],
            lambda w: np.asfortranarray(np.ones((3, w), np.float32)),
            lambda w: np.ones((w, 3), np.float32).T,
            lambda w: np.ones((3, w), np.float64)[::-1],
        ],
        ids=["column-stride", "fortran", "transpose", "reversed-rows"],
    )
    @pytest.mark.parametrize("entry", sorted(TWO_D_ENTRY))
    def test_width_checked_before_contiguity(self, entry, make):
        x = make(DIM + 2)
        assert not x.flags.c_contiguous
        with pytest.raises(ValueError) as info:
            TWO_D_ENTRY[entry](_filled_index(), x)
        assert str(info.value) == width_message(DIM + 2, DIM)

    @pytest.mark.parametrize("entry", sorted(TWO_D_ENTRY))
    def test_width_checked_before_values(self, entry):
        x = np.full((2, DIM + 1), np.inf, np.float32)
        with pytest.raises(ValueError) as info:
            TWO_D_ENTRY[entry](_filled_index(), x)
        assert str(info.value) == width_message(DIM + 1, DIM)


# --------------------------------------------------------------------------
# (4) C-contiguity
# --------------------------------------------------------------------------

NON_CONTIGUOUS_2D = {
    "column-stride": lambda dt: np.arange(3 * 2 * DIM, dtype=dt).reshape(3, 2 * DIM)[:, ::2],
    "fortran": lambda dt: np.asfortranarray(np.arange(3 * DIM, dtype=dt).reshape(3, DIM)),
    "transpose": lambda dt: np.arange(3 * DIM, dtype=dt).reshape(DIM, 3).T,
    "reversed-rows": lambda dt: np.arange(3 * DIM, dtype=dt).reshape(3, DIM)[::-1],
    "row-stride": lambda dt: np.arange(6 * DIM, dtype=dt).reshape(6, DIM)[::2],
    "column-window": lambda dt: np.arange(3 * (DIM + 2), dtype=dt).reshape(3, DIM + 2)[:, 1:-1],
}


class TestContiguityGate:
    @pytest.mark.parametrize("dtype", FLOAT_DTYPES, ids=FLOAT_IDS)
    @pytest.mark.parametrize("layout", sorted(NON_CONTIGUOUS_2D))
    @pytest.mark.parametrize("entry", sorted(TWO_D_ENTRY))
    def test_2d_rejects_non_contiguous(self, entry, layout, dtype):
        x = NON_CONTIGUOUS_2D[layout](np.dtype(dtype))
        assert x.shape[1] == DIM and not x.flags.c_contiguous
        with pytest.raises(ValueError) as info:
            TWO_D_ENTRY[entry](_filled_index(), x)
        assert str(info.value) == NON_CONTIGUOUS

    @pytest.mark.parametrize("dtype", FLOAT_DTYPES, ids=FLOAT_IDS)
    @pytest.mark.parametrize("make", [lambda dt: np.arange(10, dtype=dt)[::2],
                                      lambda dt: np.arange(10, dtype=dt)[::-1]],
                             ids=["stride-2", "reversed"])
    def test_1d_rejects_non_contiguous(self, make, dtype):
        with pytest.raises(ValueError) as info:
            rank_transform(make(np.dtype(dtype)))
        assert str(info.value) == NON_CONTIGUOUS

    @pytest.mark.parametrize("entry", sorted(TWO_D_ENTRY))
    def test_contiguity_checked_before_values(self, entry):
        x = np.full((3, 2 * DIM), np.nan, np.float32)[:, ::2]
        with pytest.raises(ValueError) as info:
            TWO_D_ENTRY[entry](_filled_index(), x)
        assert str(info.value) == NON_CONTIGUOUS
        with pytest.raises(ValueError) as info:
            rank_transform(np.full(8, np.inf)[::2])
        assert str(info.value) == NON_CONTIGUOUS

    @pytest.mark.parametrize("dtype", FLOAT_DTYPES, ids=FLOAT_IDS)
    def test_accepted_contiguous_views(self, dtype, rng):
        base = rng.standard_normal((6, DIM)).astype(dtype)
        views = {
            "single-row": base[2:3],
            "row-range": base[1:4],
            "empty": np.zeros((0, DIM), dtype=dtype),
            "empty-slice": base[3:3],
            "single-row-fortran": np.asfortranarray(base[4:5]),
        }
        r = Rank(DIM)
        expected_rows = []
        for name, v in views.items():
            assert v.flags.c_contiguous, name
            assert r.add(v) is None
            expected_rows.extend(v.astype(np.float32))
            assert len(r) == len(expected_rows), name
            scores, ids = r.search(v, 1)
            assert scores.shape == (v.shape[0], min(1, len(r)))
        docs = np.array(expected_rows, dtype=np.float32)
        scores, ids = r.search(docs, len(docs))
        want = oracle_scores(docs, docs)
        assert is_perfect(scores[:, 0]).all()
        np.testing.assert_allclose(scores, np.take_along_axis(want, ids, 1), rtol=3e-7, atol=0)

    def test_1d_views_accepted(self):
        base = np.array([3.0, 1.0, 2.0, 0.0, 5.0], np.float32)
        np.testing.assert_array_equal(rank_transform(base[1:4]), [1, 2, 0])
        np.testing.assert_array_equal(rank_transform(base[2:3]), [0])
        np.testing.assert_array_equal(rank_transform(np.arange(12.0).reshape(3, 4)[1]), [0, 1, 2, 3])


# --------------------------------------------------------------------------
# (5) finiteness
# --------------------------------------------------------------------------

def _with_bad_value(shape, dtype, flat_pos, value):
    x = np.ones(shape, dtype=np.float64)
    x.flat[flat_pos] = value
    with np.errstate(over="ignore", invalid="ignore"):
        return x.astype(dtype)


BAD_VALUES = [np.nan, np.inf, -np.inf]


class TestFiniteGate:
    @pytest.mark.parametrize("dtype", FLOAT_DTYPES, ids=FLOAT_IDS)
    @pytest.mark.parametrize("value", BAD_VALUES, ids=["nan", "inf", "-inf"])
    @pytest.mark.parametrize("pos", [0, DIM + 1, 5 * DIM - 1], ids=["first", "middle", "last"])
    @pytest.mark.parametrize("entry", sorted(TWO_D_ENTRY))
    def test_2d_rejects_non_finite(self, entry, pos, value, dtype):
        x = _with_bad_value((5, DIM), dtype, pos, value)
        with pytest.raises(ValueError) as info:
            TWO_D_ENTRY[entry](_filled_index(), x)
        assert str(info.value) == NON_FINITE

    @pytest.mark.parametrize("dtype", FLOAT_DTYPES, ids=FLOAT_IDS)
    @pytest.mark.parametrize("value", BAD_VALUES, ids=["nan", "inf", "-inf"])
    @pytest.mark.parametrize("pos", [0, 17, 99])
    def test_1d_rejects_non_finite(self, pos, value, dtype):
        with pytest.raises(ValueError) as info:
            rank_transform(_with_bad_value(100, dtype, pos, value))
        assert str(info.value) == NON_FINITE

    # the conversion must not warn: under warnings-as-errors the caller still
    # sees the finiteness ValueError
    @pytest.mark.filterwarnings("error")
    @pytest.mark.parametrize("value", [1e39, -1e39, 3.5e38, np.finfo(np.float64).max])
    def test_float64_overflowing_float32_is_rejected(self, value):
        x = np.ones((2, DIM), np.float64)
        x[1, 2] = value
        assert np.isfinite(x).all()
        for call in (lambda: _probe_add(_filled_index(), x),
                     lambda: _probe_search(_filled_index(), x),
                     lambda: rank_transform(x[1].copy())):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == NON_FINITE

    def test_largest_float32_roundings_are_accepted(self):
        big = float(np.finfo(np.float32).max)
        x = np.array([[big, -big, 1.0, 0.0]], np.float64)
        r = Rank(DIM)
        r.add(x)
        scores, _ = r.search(np.array([[3.0, 0.0, 2.0, 1.0]], np.float32), 1)
        assert is_perfect(scores[0, 0])
        np.testing.assert_array_equal(rank_transform(x[0].copy()), [3, 0, 2, 1])

    @pytest.mark.parametrize("dtype", FLOAT_DTYPES, ids=FLOAT_IDS)
    def test_extreme_finite_values_accepted(self, dtype):
        fi = np.finfo(dtype)
        v = np.array([fi.max, fi.min, fi.tiny, -fi.tiny, 0.0], dtype=np.float64)
        if np.dtype(dtype).itemsize > 4:
            v[:2] = [3e38, -3e38]
        v = v.astype(dtype)
        np.testing.assert_array_equal(rank_transform(v), oracle_ranks(v))
