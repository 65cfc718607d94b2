"""Module frame: exported names, constants, signatures and argument parsing."""

import inspect
import pathlib

import numpy as np
import pytest

import kwivel
from kwivel import _kwivel

from conftest import interpreter_u64_error

# Every name the extension may export, in registration order; names arrive
# incrementally, but whatever exists must appear in this order.
REGISTRATION_ORDER = [
    "Rank", "RankQuant", "Bitmap", "SignBitmap",
    "rank_transform", "rank_to_bucket", "bucket_ranks", "pack_buckets",
    "unpack_buckets", "rankquant_bytes_per_vec", "bucket_centre", "rank_norm",
    "rankquant_norm", "rankquant_eval_search",
    "MAX_DIM", "MAX_SIGN_BITMAP_DIM", "MAX_VECTORS",
]

CURRENT_NAMES = ["Rank", "rank_transform", "rank_norm",
                 "MAX_DIM", "MAX_SIGN_BITMAP_DIM", "MAX_VECTORS"]


def _f32(rows, dim):
    return np.zeros((rows, dim), dtype=np.float32)


# --------------------------------------------------------------------------
# Exported names and constants
# --------------------------------------------------------------------------

class TestSurface:
    def test_all_follows_registration_order(self):
        present = [n for n in REGISTRATION_ORDER if hasattr(_kwivel, n)]
        assert _kwivel.__all__ == present
        assert isinstance(_kwivel.__all__, list)

    def test_all_is_never_shorter_than_current_names(self):
        for name in CURRENT_NAMES:
            assert name in _kwivel.__all__

    def test_no_unlisted_public_names(self):
        public = {n for n in dir(_kwivel) if not n.startswith("_")}
        assert public == set(_kwivel.__all__)

    @pytest.mark.parametrize("name", CURRENT_NAMES)
    def test_package_reexports(self, name):
        assert getattr(kwivel, name) is getattr(_kwivel, name)
        assert name in kwivel.__all__

    def test_package_all_matches_module(self):
        # The native members in their order, then the package's pure-Python ones.
        assert list(kwivel.__all__) == list(_kwivel.__all__) + ["Pipeline"]

    @pytest.mark.parametrize(
        "name, value",
        [("MAX_DIM", 65535), ("MAX_SIGN_BITMAP_DIM", 16777216), ("MAX_VECTORS", 67108864)],
    )
    def test_constants(self, name, value):
        const = getattr(_kwivel, name)
        assert type(const) is int
        assert const == value

    def test_module_docstring(self):
        assert _kwivel.__doc__ == "The native extension module backing the `kwivel` Python package."

    def test_version(self):
        assert isinstance(kwivel.__version__, str)
        assert kwivel.__version__.strip()

    def test_panic_exception_not_exported(self):
        assert not hasattr(_kwivel, "PanicException")
        assert not hasattr(kwivel, "PanicException")


# --------------------------------------------------------------------------
# Signatures
# --------------------------------------------------------------------------

SIGNATURES = [
    (lambda: _kwivel.rank_transform, ["v"], "(v)"),
    (lambda: _kwivel.rank_norm, ["d"], "(d)"),
    (lambda: _kwivel.Rank, ["dim"], "(dim)"),
    (lambda: _kwivel.Rank.add, ["self", "vectors"], "($self, vectors)"),
    (lambda: _kwivel.Rank.search, ["self", "queries", "k"], "($self, queries, k)"),
    (lambda: _kwivel.Rank.swap_remove, ["self", "idx"], "($self, idx)"),
    (lambda: _kwivel.Rank.is_empty, ["self"], "($self)"),
    (lambda: _kwivel.Rank.write, ["self", "path"], "($self, path)"),
    (lambda: _kwivel.Rank.load, ["path"], "($cls, path)"),
]


@pytest.mark.parametrize(
    "get, params, text", SIGNATURES,
    ids=["rank_transform", "rank_norm", "Rank", "add", "search", "swap_remove",
         "is_empty", "write", "load"],
)
def test_signature(get, params, text):
    obj = get()
    sig = inspect.signature(obj)
    assert list(sig.parameters) == params
    for name, p in sig.parameters.items():
        assert p.default is inspect.Parameter.empty
        if name == "self":
            assert p.kind is inspect.Parameter.POSITIONAL_ONLY
        else:
            assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert obj.__text_signature__ == text
    if obj is not _kwivel.Rank:
        if obj.__doc__ is not None:
            # The signature line is consumed, not left at the head of the docstring.
            assert "\n--\n" not in obj.__doc__


@pytest.mark.parametrize("fn", [_kwivel.rank_transform, _kwivel.rank_norm])
def test_function_docstrings_present(fn):
    assert fn.__doc__ and fn.__doc__.strip()


# --------------------------------------------------------------------------
# Argument parsing
# --------------------------------------------------------------------------

def _rank(dim=4, rows=0):
    r = _kwivel.Rank(dim)
    if rows:
        r.add(np.random.default_rng(rows).standard_normal((rows, dim)).astype(np.float32))
    return r


ARITY_ERRORS = [
    # (call, exact message)
    (lambda r: r.search(_f32(1, 4)), "Rank.search() missing 1 required positional argument: 'k'"),
    (lambda r: r.search(), "Rank.search() missing 2 required positional arguments: 'queries' and 'k'"),
    (lambda r: r.search(k=1), "Rank.search() missing 1 required positional argument: 'queries'"),
    (lambda r: r.search(_f32(1, 4), 1, 2), "Rank.search() takes 2 positional arguments but 3 were given"),
    (lambda r: r.search(_f32(1, 4), 1, k=1), "Rank.search() got multiple values for argument 'k'"),
    (lambda r: r.search(_f32(1, 4), k=1, queries=_f32(1, 4)),
     "Rank.search() got multiple values for argument 'queries'"),
    (lambda r: r.search(_f32(1, 4), kk=1), "Rank.search() got an unexpected keyword argument 'kk'"),
    (lambda r: r.search(_f32(1, 4), k=1, extra=1), "Rank.search() got an unexpected keyword argument 'extra'"),
    (lambda r: r.add(), "Rank.add() missing 1 required positional argument: 'vectors'"),
    (lambda r: r.add(_f32(1, 4), _f32(1, 4)), "Rank.add() takes 1 positional argument but 2 were given"),
    (lambda r: r.add(vector=_f32(1, 4)), "Rank.add() got an unexpected keyword argument 'vector'"),
    (lambda r: r.swap_remove(), "Rank.swap_remove() missing 1 required positional argument: 'idx'"),
    (lambda r: r.swap_remove(0, idx=0), "Rank.swap_remove() got multiple values for argument 'idx'"),
    (lambda r: r.is_empty(1), "Rank.is_empty() takes 0 positional arguments but 1 was given"),
    (lambda r: r.is_empty(x=1), "Rank.is_empty() got an unexpected keyword argument 'x'"),
    (lambda r: r.write(), "Rank.write() missing 1 required positional argument: 'path'"),
    (lambda r: _kwivel.Rank.load(), "Rank.load() missing 1 required positional argument: 'path'"),
    (lambda r: _kwivel.Rank.load("a", "b"), "Rank.load() takes 1 positional argument but 2 were given"),
    (lambda r: _kwivel.Rank(), "Rank() missing 1 required positional argument: 'dim'"),
    (lambda r: _kwivel.Rank(4, 4), "Rank() takes 1 positional argument but 2 were given"),
    (lambda r: _kwivel.Rank(4, dim=4), "Rank() got multiple values for argument 'dim'"),
    (lambda r: _kwivel.Rank(dims=4), "Rank() got an unexpected keyword argument 'dims'"),
    (lambda r: _kwivel.rank_transform(), "rank_transform() missing 1 required positional argument: 'v'"),
    (lambda r: _kwivel.rank_transform(np.zeros(2), np.zeros(2)),
     "rank_transform() takes 1 positional argument but 2 were given"),
    (lambda r: _kwivel.rank_transform(np.zeros(2), v=np.zeros(2)),
     "rank_transform() got multiple values for argument 'v'"),
    (lambda r: _kwivel.rank_transform(x=np.zeros(2)), "rank_transform() got an unexpected keyword argument 'x'"),
    (lambda r: _kwivel.rank_norm(), "rank_norm() missing 1 required positional argument: 'd'"),
    (lambda r: _kwivel.rank_norm(1, 2), "rank_norm() takes 1 positional argument but 2 were given"),
    (lambda r: _kwivel.rank_norm(1, d=1), "rank_norm() got multiple values for argument 'd'"),
    (lambda r: _kwivel.rank_norm(n=1), "rank_norm() got an unexpected keyword argument 'n'"),
]


@pytest.mark.parametrize("call, message", ARITY_ERRORS, ids=[m for _, m in ARITY_ERRORS])
def test_arity_errors(call, message):
    r = _rank(4, rows=2)
    with pytest.raises(TypeError) as info:
        call(r)
    assert str(info.value) == message
    # a rejected call must not have touched the index
    assert len(r) == 2


class TestKeywordForms:
    def test_search_keywords_equal_positional(self, rng):
        r = _kwivel.Rank(8)
        r.add(rng.standard_normal((20, 8)).astype(np.float32))
        q = rng.standard_normal((3, 8)).astype(np.float32)
        pos = r.search(q, 5)
        for kw in (r.search(queries=q, k=5), r.search(k=5, queries=q), r.search(q, k=5)):
            np.testing.assert_array_equal(kw[0], pos[0])
            np.testing.assert_array_equal(kw[1], pos[1])

    def test_add_swap_remove_keywords(self, rng):
        r = _kwivel.Rank(dim=4)
        assert r.dim == 4
        assert r.add(vectors=rng.standard_normal((3, 4)).astype(np.float32)) is None
        assert len(r) == 3
        assert r.swap_remove(idx=0) == 2
        assert len(r) == 2

    def test_function_keywords(self):
        v = np.array([0.5, -1.0, 0.5])
        np.testing.assert_array_equal(_kwivel.rank_transform(v=v), _kwivel.rank_transform(v))
        assert _kwivel.rank_norm(d=768) == _kwivel.rank_norm(768)


# Integer parameters are unsigned 64-bit: the interpreter's own conversion
# errors surface, annotated with the parameter being processed.
INT_PARAM_CALLS = {
    "k": lambda r, x: r.search(_f32(1, 4), x),
    "idx": lambda r, x: r.swap_remove(x),
    "dim": lambda r, x: _kwivel.Rank(x),
    "d": lambda r, x: _kwivel.rank_norm(x),
}


@pytest.mark.parametrize("param", sorted(INT_PARAM_CALLS))
@pytest.mark.parametrize("bad", [-1, -(2 ** 70), 2 ** 64, 2 ** 80, 2.0, 0.5, "3", None, np.float64(1.0)],
                         ids=repr)
def test_integer_conversion_errors(param, bad):
    r = _rank(4, rows=2)
    exc_type, message = interpreter_u64_error(bad)
    with pytest.raises(exc_type) as info:
        INT_PARAM_CALLS[param](r, bad)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert f"while processing '{param}'" in getattr(info.value, "__notes__", [])
    assert len(r) == 2


@pytest.mark.parametrize("good", [1, True, np.int64(1), np.uint8(1)], ids=repr)
def test_integer_parameters_accept_index_types(good):
    r = _rank(4, rows=3)
    scores, ids = r.search(np.ones((1, 4), np.float32), good)
    assert scores.shape == ids.shape == (1, 1)
    assert _kwivel.rank_norm(good) == 0.0
    assert r.swap_remove(good) == 2


def test_unsigned_max_is_accepted_for_k():
    r = _rank(4, rows=3)
    scores, ids = r.search(np.ones((2, 4), np.float32), 2 ** 64 - 1)
    assert scores.shape == ids.shape == (2, 3)


@pytest.mark.parametrize("bad", [b"index.kwr", pathlib.Path("index.kwr"), None, 3], ids=repr)
@pytest.mark.parametrize("method", ["write", "load"])
def test_path_must_be_str(tmp_path, monkeypatch, method, bad):
    monkeypatch.chdir(tmp_path)
    r = _rank(4, rows=2)
    call = r.write if method == "write" else _kwivel.Rank.load
    with pytest.raises(TypeError) as info:
        call(bad)
    assert "while processing 'path'" in getattr(info.value, "__notes__", [])
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "queries",
    [
        [[1.0, 2.0, 3.0, 4.0]],
        np.zeros((1, 4), np.int32),
        np.zeros(4, np.float32),
        np.zeros((1, 5), np.float32),
        np.zeros((2, 8), np.float32)[:, ::2],
        np.full((1, 4), np.nan, np.float32),
    ],
    ids=["list", "int32", "1-D", "width", "strided", "nan"],
)
@pytest.mark.parametrize("bad_k, exc_type", [(-1, OverflowError), (2.0, TypeError)])
def test_conversions_precede_array_gating(queries, bad_k, exc_type):
    r = _rank(4, rows=2)
    with pytest.raises(exc_type) as info:
        r.search(queries, bad_k)
    assert "while processing 'k'" in getattr(info.value, "__notes__", [])
    assert "array" not in str(info.value)
