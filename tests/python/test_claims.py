"""Per-index claims under threads.

`add` and `swap_remove` take an exclusive claim on the index, every other
operation a shared one; claims never wait, they fail at once with
RuntimeError.  Long `add`/`search` calls release the interpreter lock, so a
second thread can observe the claim while they run.

Each test starts the long call in a worker thread and spins in the main
thread until the probe observes the conflict.  If the worker finishes before
a conflict was observed, the attempt is repeated with a bigger input on a
fresh index, so the tests do not depend on timing.
"""

import threading
import time

import numpy as np
import pytest

from kwivel import Rank

from conftest import EXCLUSIVE_CONFLICT, SHARED_CONFLICT, is_perfect

DIM = 256
ADD_SIZES = [25_000, 100_000, 200_000]   # rows of a long add
SEARCH_DOCS = 20_000                     # rows in the index for a long search
SEARCH_SIZES = [16, 96, 512, 2048]       # queries of a long search


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    return rng.random((max(ADD_SIZES), DIM), dtype=np.float32)


class Worker:
    """Runs `fn` in a thread; re-raises its exception on join."""

    def __init__(self, fn):
        self._result = {}
        self.started = threading.Event()

        def run():
            self.started.set()
            try:
                self._result["value"] = fn()
            except BaseException as exc:  # surfaced in join()
                self._result["error"] = exc

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()
        self.started.wait()

    def alive(self):
        return self.thread.is_alive()

    def join(self):
        self.thread.join()
        if "error" in self._result:
            raise self._result["error"]
        return self._result.get("value")


def _claim_error(fn):
    """Call fn; return the claim RuntimeError it raised, or None if it returned."""
    try:
        fn()
    except RuntimeError as exc:
        return exc
    return None


def _exclusive_held(r):
    """True iff a shared claim on r is refused right now (an add/swap_remove runs)."""
    exc = _claim_error(lambda: len(r))
    if exc is not None:
        assert str(exc) == SHARED_CONFLICT
        return True
    return False


def _assert_holds(r, rows, offset=0):
    """r holds rows[i] at position offset + i (checked on a few positions)."""
    n = len(rows)
    picks = sorted({0, n // 3, n // 2, n - 1})
    scores, ids = r.search(rows[picks], 1)
    assert is_perfect(scores[:, 0]).all()
    assert ids[:, 0].tolist() == [offset + p for p in picks]


def _fail_attempts(what):
    pytest.fail(f"never observed {what}: the long call finished first every time "
                "(does it release the interpreter lock, and do claims fail instead of waiting?)")


# --------------------------------------------------------------------------
# Conflicts with a running add (exclusive claim)
# --------------------------------------------------------------------------

READERS = {
    "len": len,
    "repr": repr,
    "is_empty": lambda r: r.is_empty(),
    "dim": lambda r: r.dim,
    "bytes_per_vec": lambda r: r.bytes_per_vec,
    "byte_size": lambda r: r.byte_size,
    "search": lambda r: r.search(np.ones((1, DIM), np.float32), 3),
}


@pytest.mark.parametrize("reader", sorted(READERS))
def test_readers_fail_during_add(data, reader):
    probe = READERS[reader]
    for n in ADD_SIZES:
        rows = data[:n]
        r = Rank(DIM)
        worker = Worker(lambda: r.add(rows))
        caught = None
        while caught is None and worker.alive():
            caught = _claim_error(lambda: probe(r))
        assert worker.join() is None
        if caught is None:
            continue
        assert type(caught) is RuntimeError
        assert str(caught) == SHARED_CONFLICT
        assert len(r) == n
        _assert_holds(r, rows)
        return
    _fail_attempts(f"{reader} failing during add")


MUTATORS = {
    "add": lambda r, extra: r.add(extra),
    "swap_remove": lambda r, extra: r.swap_remove(0),
}


@pytest.mark.parametrize("mutator", sorted(MUTATORS))
def test_mutations_fail_during_add(data, mutator):
    extra = np.full((1, DIM), 0.5, np.float32)
    extra[0, :3] = [3.0, 2.0, 1.0]
    # rows present before the long add
    head = np.random.default_rng(5).standard_normal((2, DIM)).astype(np.float32)
    for n in ADD_SIZES:
        rows = data[:n]
        r = Rank(DIM)
        r.add(head)
        worker = Worker(lambda: r.add(rows))
        caught = None
        interfered = False
        while worker.alive():
            if not _exclusive_held(r):
                continue
            # The long add holds its claim: a second mutation must be refused.
            caught = _claim_error(lambda: MUTATORS[mutator](r, extra))
            interfered = caught is None
            break
        assert worker.join() is None
        if caught is None or interfered:
            continue  # the long add ended in between; try again with more rows
        assert type(caught) is RuntimeError
        assert str(caught) == EXCLUSIVE_CONFLICT
        # the index holds exactly the old rows followed by the long add's rows
        assert len(r) == len(head) + n
        _assert_holds(r, head)
        _assert_holds(r, rows, offset=len(head))
        # and the refused mutation works once the add has finished
        before = len(r)
        MUTATORS[mutator](r, extra)
        assert len(r) == before + (1 if mutator == "add" else -1)
        return
    _fail_attempts(f"{mutator} failing during add")


# --------------------------------------------------------------------------
# Conflicts with a running search (shared claim)
# --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def search_setup(data):
    docs = data[:SEARCH_DOCS]
    rng = np.random.default_rng(11)
    queries = rng.random((max(SEARCH_SIZES), DIM), dtype=np.float32)
    return docs, queries


@pytest.mark.parametrize("mutator", sorted(MUTATORS))
def test_mutations_fail_during_search_and_succeed_after(search_setup, mutator):
    docs, queries = search_setup
    extra = np.linspace(-1.0, 1.0, DIM, dtype=np.float32)[None, :]
    for nq in SEARCH_SIZES:
        r = Rank(DIM)
        r.add(docs)
        q = queries[:nq]
        worker = Worker(lambda: r.search(q, 5))
        time.sleep(0.001)  # let the worker reach the native call
        caught = None
        mutated = False
        if worker.alive():
            caught = _claim_error(lambda: MUTATORS[mutator](r, extra))
            mutated = caught is None
        result = worker.join()
        if caught is None or mutated:
            continue  # the mutation ran before or after the search; retry
        assert type(caught) is RuntimeError
        assert str(caught) == EXCLUSIVE_CONFLICT
        # the index is unchanged and the search result is intact
        assert len(r) == len(docs)
        _assert_holds(r, docs)
        again = r.search(q[:4], 5)
        np.testing.assert_array_equal(result[0][:4], again[0])
        np.testing.assert_array_equal(result[1][:4], again[1])
        # the same mutation succeeds once the search has returned
        MUTATORS[mutator](r, extra)
        if mutator == "add":
            assert len(r) == len(docs) + 1
            scores, ids = r.search(extra, 1)
            assert ids[0, 0] == len(docs) and is_perfect(scores[0, 0])
        else:
            assert len(r) == len(docs) - 1
            _assert_holds(r, docs[-1:], offset=0)
        return
    _fail_attempts(f"{mutator} failing during search")


def test_shared_claims_coexist_during_search(search_setup):
    """Readers keep working while a search holds its shared claim."""
    docs, queries = search_setup
    extra = np.ones((1, DIM), np.float32)
    for nq in SEARCH_SIZES:
        r = Rank(DIM)
        r.add(docs)
        q = queries[:nq]
        worker = Worker(lambda: r.search(q, 3))
        time.sleep(0.001)
        confirmed = False
        mutated = False
        while worker.alive():
            first = _claim_error(lambda: r.add(extra))
            if first is None:
                mutated = True  # ran before/after the search: spoiled attempt
                break
            assert str(first) == EXCLUSIVE_CONFLICT
            # the search holds its claim; shared operations must still succeed
            assert len(r) == len(docs)
            assert repr(r) == f"Rank(dim={DIM}, n={len(docs)})"
            assert r.byte_size == 2 * DIM * len(docs)
            scores, ids = r.search(docs[5:6], 1)
            assert ids[0, 0] == 5 and is_perfect(scores[0, 0])
            # ... while the claim was still held throughout
            second = _claim_error(lambda: r.add(extra))
            if second is None:
                mutated = True
                break
            confirmed = True
            break
        worker.join()
        if confirmed and not mutated:
            return
    _fail_attempts("readers running alongside a search")


# --------------------------------------------------------------------------
# Independent index objects
# --------------------------------------------------------------------------

def test_other_index_unaffected_during_add(data):
    other_rows = np.random.default_rng(3).standard_normal((4, DIM)).astype(np.float32)
    for n in ADD_SIZES:
        rows = data[:n]
        busy, other = Rank(DIM), Rank(DIM)
        worker = Worker(lambda: busy.add(rows))
        confirmed = False
        while worker.alive():
            if not _exclusive_held(busy):
                continue
            other.add(other_rows)
            assert len(other) == 4
            scores, ids = other.search(other_rows, 1)
            assert ids[:, 0].tolist() == [0, 1, 2, 3]
            assert other.swap_remove(0) == 3
            assert repr(other) == f"Rank(dim={DIM}, n=3)"
            confirmed = _exclusive_held(busy)
            break
        worker.join()
        if not confirmed:
            continue
        assert len(busy) == n
        _assert_holds(busy, rows)
        assert len(other) == 3
        return
    _fail_attempts("another index being used while an add ran")


def test_other_index_unaffected_during_search(search_setup):
    docs, queries = search_setup
    extra = np.ones((1, DIM), np.float32)
    for nq in SEARCH_SIZES:
        busy, other = Rank(DIM), Rank(DIM)
        busy.add(docs)
        q = queries[:nq]
        worker = Worker(lambda: busy.search(q, 3))
        time.sleep(0.001)
        confirmed = False
        while worker.alive():
            if _claim_error(lambda: busy.add(extra)) is None:
                break  # busy index was mutated: attempt spoiled
            other.add(docs[:3])
            assert other.swap_remove(1) == 2
            assert len(other) == 2
            confirmed = _claim_error(lambda: busy.add(extra)) is not None
            break
        worker.join()
        if confirmed and len(busy) == len(docs):
            _assert_holds(other, docs[2:3], offset=1)
            return
    _fail_attempts("another index being mutated while a search ran")


def test_many_threads_on_separate_indexes(rng):
    """Concurrent adds and searches on distinct indexes give the single-thread results."""
    chunks = [rng.standard_normal((3000, 64)).astype(np.float32) for _ in range(4)]
    expected = []
    for c in chunks:
        r = Rank(64)
        r.add(c)
        expected.append(r.search(c[:8], 4))

    results = [None] * len(chunks)

    def job(i):
        r = Rank(64)
        r.add(chunks[i])
        results[i] = r.search(chunks[i][:8], 4)

    workers = [Worker(lambda i=i: job(i)) for i in range(len(chunks))]
    for w in workers:
        w.join()
    for got, want in zip(results, expected):
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
