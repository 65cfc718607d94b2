"""Claims on every index class, made deterministic.

A call takes its claim before it converts its integer arguments, so an
integer whose __index__ waits on an event holds that call inside its claim
for as long as a test needs: a held search is a shared claim, a held
swap_remove an exclusive one.  While it is held, every other member is
called from the main thread: readers must give exactly the single-threaded
result (or be refused, under an exclusive claim), writers must be refused
and leave the index unchanged.
"""

import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import kwivel
from conftest import EXCLUSIVE_CONFLICT, SHARED_CONFLICT

DIM = 128
N = 3000


class HeldInt:
    """An integer argument whose conversion blocks until released."""

    def __init__(self, value):
        self.value = value
        self.inside = threading.Event()
        self.release = threading.Event()

    def __index__(self):
        self.inside.set()
        assert self.release.wait(60)
        return self.value


class Held:
    """Runs call(HeldInt) on a thread and keeps it inside its claim."""

    def __init__(self, call, value):
        self.arg = HeldInt(value)
        self.result = {}
        self.thread = threading.Thread(target=self._run, args=(call,), daemon=True)
        self.thread.start()
        assert self.arg.inside.wait(60)

    def _run(self, call):
        try:
            self.result["value"] = call(self.arg)
        except BaseException as exc:
            self.result["error"] = exc

    def finish(self):
        self.arg.release.set()
        self.thread.join(60)
        if "error" in self.result:
            raise self.result["error"]
        return self.result["value"]


def digest(value):
    """A comparable form of whatever a member returns."""
    if isinstance(value, tuple):
        return tuple(digest(v) for v in value)
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    return value


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    return {
        "rows": rng.standard_normal((N, DIM)).astype(np.float32),
        "queries": rng.standard_normal((24, DIM)).astype(np.float32),
        "extra": rng.standard_normal((2, DIM)).astype(np.float32),
        "ids": rng.permutation(N)[:200].astype(np.int64),
    }


def common_readers(tmp_path):
    def write(ix):
        path = tmp_path / f"w{threading.get_ident()}"
        ix.write(str(path))
        return path.read_bytes()
    return {
        "len": len, "repr": repr, "is_empty": lambda ix: ix.is_empty(), "dim": lambda ix: ix.dim,
        "bytes_per_vec": lambda ix: ix.bytes_per_vec, "byte_size": lambda ix: ix.byte_size, "write": write,
    }


# Per class: constructor, readers (name -> fn(index, data)), writers, the
# held reader (a call taking the held integer), the held writer if any.
KINDS = {
    "Rank": dict(
        make=lambda: kwivel.Rank(DIM),
        readers={
            "search": lambda ix, d: ix.search(d["queries"], 7),
            "search_asymmetric": lambda ix, d: ix.search_asymmetric(d["queries"], 7),
        },
        held=lambda ix, d: lambda k: ix.search(d["queries"], k),
        swap_remove=True,
    ),
    "RankQuant": dict(
        make=lambda: kwivel.RankQuant(DIM, 4),
        readers={
            "bits": lambda ix, d: ix.bits,
            "search": lambda ix, d: ix.search(d["queries"], 7),
            "search_asymmetric": lambda ix, d: ix.search_asymmetric(d["queries"], 7),
            "search_asymmetric_subset": lambda ix, d: ix.search_asymmetric_subset(d["queries"][0], d["ids"], 7),
        },
        held=lambda ix, d: lambda k: ix.search_asymmetric(d["queries"], k),
        swap_remove=True,
    ),
    "Bitmap": dict(
        make=lambda: kwivel.Bitmap(DIM, 16),
        readers={
            "n_top": lambda ix, d: ix.n_top,
            "search": lambda ix, d: ix.search(d["queries"], 7),
            "search_subset": lambda ix, d: ix.search_subset(d["queries"][0], d["ids"], 7),
            "top_m_candidates": lambda ix, d: ix.top_m_candidates(d["queries"][0], 50),
            "top_m_candidates_batched": lambda ix, d: ix.top_m_candidates_batched(d["queries"], 50),
            "top_m_candidates_batched_chunked":
                lambda ix, d: ix.top_m_candidates_batched_chunked(d["queries"], 50, 5),
            "build_query_bitmap_fp32": lambda ix, d: ix.build_query_bitmap_fp32(d["queries"][0]),
            "body_overlap_scores_subset": lambda ix, d: ix.body_overlap_scores_subset(
                ix.build_query_bitmap_fp32(d["queries"][0]), np.sort(d["ids"]).astype(np.uint32)),
        },
        held=lambda ix, d: lambda m: ix.top_m_candidates_batched(d["queries"], m),
        swap_remove=False,
    ),
    "SignBitmap": dict(
        make=lambda: kwivel.SignBitmap(DIM),
        readers={
            "top_m_candidates": lambda ix, d: ix.top_m_candidates(d["queries"][0], 50),
            "top_m_candidates_batched": lambda ix, d: ix.top_m_candidates_batched(d["queries"], 50),
            "score_all": lambda ix, d: ix.score_all(d["queries"][0]),
            "score_all_batched": lambda ix, d: ix.score_all_batched(d["queries"]),
            "build_query_bitmap": lambda ix, d: ix.build_query_bitmap(d["queries"][0]),
        },
        held=lambda ix, d: lambda m: ix.top_m_candidates_batched(d["queries"], m),
        swap_remove=False,
    ),
}


def readers_of(kind, tmp_path):
    out = {name: (lambda f: lambda ix, d: f(ix))(f) for name, f in common_readers(tmp_path).items()}
    out.update(KINDS[kind]["readers"])
    return out


def writers_of(kind):
    out = {"add": lambda ix, d: ix.add(d["extra"])}
    if KINDS[kind]["swap_remove"]:
        out["swap_remove"] = lambda ix, d: ix.swap_remove(0)
    return out


def built(kind, data):
    ix = KINDS[kind]["make"]()
    ix.add(data["rows"])
    return ix


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_under_a_held_reader_readers_agree_and_writers_are_refused(kind, data, tmp_path):
    ix = built(kind, data)
    readers = readers_of(kind, tmp_path)
    expected = {name: digest(f(ix, data)) for name, f in readers.items()}
    held = Held(KINDS[kind]["held"](ix, data), 9)
    try:
        for name, f in readers.items():
            assert digest(f(ix, data)) == expected[name], name
        for name, f in writers_of(kind).items():
            with pytest.raises(RuntimeError) as exc:
                f(ix, data)
            assert str(exc.value) == EXCLUSIVE_CONFLICT, name
    finally:
        result = held.finish()
    assert digest(result) == digest(KINDS[kind]["held"](ix, data)(9))
    for name, f in readers.items():  # nothing changed
        assert digest(f(ix, data)) == expected[name], name


@pytest.mark.parametrize("kind", [k for k in sorted(KINDS) if KINDS[k]["swap_remove"]])
def test_under_a_held_swap_remove_every_member_is_refused(kind, data, tmp_path):
    ix = built(kind, data)
    readers = readers_of(kind, tmp_path)
    before = {name: digest(f(ix, data)) for name, f in readers.items()}
    held = Held(lambda idx: ix.swap_remove(idx), 5)
    try:
        for name, f in readers.items():
            with pytest.raises(RuntimeError) as exc:
                f(ix, data)
            assert str(exc.value) == SHARED_CONFLICT, name
        for name, f in writers_of(kind).items():
            with pytest.raises(RuntimeError) as exc:
                f(ix, data)
            assert str(exc.value) == EXCLUSIVE_CONFLICT, name
    finally:
        assert held.finish() == N - 1
    assert len(ix) == N - 1
    assert before["len"] == N


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_readers_from_many_threads_match_one_thread(kind, data, tmp_path):
    ix = built(kind, data)
    readers = readers_of(kind, tmp_path)
    expected = {name: digest(f(ix, data)) for name, f in readers.items()}
    calls = [name for name in readers for _ in range(6)]
    np.random.default_rng(5).shuffle(calls)
    with ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(lambda name: (name, digest(readers[name](ix, data))), calls))
    for name, got in results:
        assert got == expected[name], name
