"""Shared oracles, messages and hypothesis settings for the kwivel Python tests.

The helpers here are deliberately written against NumPy only, so that they
serve as an independent reference for what the native module computes.
"""

import ctypes
import math
import operator

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "kwivel",
    max_examples=60,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("kwivel")


# --------------------------------------------------------------------------
# Exact user-facing messages
# --------------------------------------------------------------------------

def dtype_message(what):
    """Message of the float-kind gate; `what` is str(dtype) or 'a non-array object'."""
    return (
        f"expected a floating-point NumPy array (float16/float32/float64), got {what}; "
        "kwivel rank/sign-transforms real vectors and converts them to float32 at the "
        "boundary — boolean, integer, complex, object, and string arrays are rejected "
        "(a {0, 1} or narrow-integer vector rank-transforms to a degenerate index "
        "artefact, not a meaningful ordinal signal; call .astype(np.float32) to opt in "
        "deliberately)"
    )


NOT_2D = "expected a 2-D float array"
NOT_1D = "expected a 1-D float array"
NON_CONTIGUOUS = (
    "expected a C-contiguous NumPy array; got non-contiguous input. "
    "Use np.ascontiguousarray(x, dtype=np.float32) if you intend to make a copy."
)
NON_FINITE = "input contains NaN or infinity; kwivel requires all-finite f32 embeddings"
DIM_RANGE = "dim must be in [2, 65535]"
SHARED_CONFLICT = "Already mutably borrowed"
EXCLUSIVE_CONFLICT = "Already borrowed"


def width_message(width, dim):
    return f"array width {width} does not match index dimension {dim}"


def interpreter_u64_error(value):
    """The (type, message) the interpreter itself raises converting `value` to a u64."""
    try:
        index = operator.index(value)
    except TypeError as exc:
        return TypeError, str(exc)
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.restype = ctypes.c_ulonglong
    convert.argtypes = [ctypes.py_object]
    try:
        convert(index)
    except (OverflowError, TypeError) as exc:
        return type(exc), str(exc)
    raise AssertionError(f"{value!r} converts to u64 without error")


# --------------------------------------------------------------------------
# Reference rank transform and rank-cosine scores
# --------------------------------------------------------------------------

def oracle_ranks(values):
    """Ranks of the float32 roundings of `values` along the last axis (stable ties)."""
    v32 = np.asarray(values).astype(np.float32)
    order = np.argsort(v32, axis=-1, kind="stable")
    return np.argsort(order, axis=-1, kind="stable").astype(np.int64)


def oracle_rank_norm(d):
    return float(np.float32(math.sqrt(d * (d * d - 1) / 12))) if d > 0 else 0.0


def oracle_scores(queries, docs):
    """Symmetric rank-cosine (Spearman) score matrix, reproduced in float32.

    score = float32(dot) * 0.25 * (1 / rn^2), dot = sum (2 rq - (d - 1)) (2 rd - (d - 1))
    """
    d = np.asarray(queries).shape[1]
    cq = 2 * oracle_ranks(queries) - (d - 1)
    cd = 2 * oracle_ranks(docs) - (d - 1)
    dot = cq @ cd.T
    rn = np.float32(oracle_rank_norm(d))
    inv = np.float32(1.0) / (rn * rn)
    return dot.astype(np.float32) * np.float32(0.25) * inv


def check_search_against_oracle(scores, ids, expected, k):
    """Check one search result (scores, ids) against a full expected score matrix."""
    nq, n = expected.shape
    kk = min(k, n)
    assert scores.shape == (nq, kk)
    assert ids.shape == (nq, kk)
    assert scores.dtype == np.float32
    assert np.issubdtype(ids.dtype, np.integer)
    if kk == 0 or nq == 0:
        return
    assert ids.min() >= 0 and ids.max() < n
    for q in range(nq):
        assert len(set(ids[q].tolist())) == kk, "duplicate ids in one result row"
        # scores reported for each id are that id's score ...
        np.testing.assert_allclose(scores[q], expected[q, ids[q]], rtol=3e-7, atol=0)
        # ... in non-increasing order ...
        assert np.all(np.diff(scores[q]) <= 0)
        # ... and they are the k best (up to ties).
        best = np.sort(expected[q])[::-1][:kk]
        np.testing.assert_allclose(scores[q], best, rtol=3e-7, atol=0)


# A stored row scored against a query with identical ranks: 1.0 up to the
# float32 rounding of the normalisation (a couple of ulps).
PERFECT_ATOL = 3e-7


def is_perfect(scores):
    return np.abs(np.asarray(scores, dtype=np.float64) - 1.0) <= PERFECT_ATOL


@pytest.fixture
def rng():
    return np.random.default_rng(20240607)
