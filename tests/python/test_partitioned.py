"""PartitionedIndex against the brute-force composition in _reference.py, and its directory."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import kwivel
import kwivel.partitioned as partitioned
from kwivel import PartitionedIndex
from _reference import search_cells

DIM, N, CELLS = 128, 3000, 12


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    centres = rng.standard_normal((20, DIM))
    docs = (centres[rng.integers(0, 20, N)] + 0.8 * rng.standard_normal((N, DIM))).astype(np.float32)
    docs[40:60] = docs[0:20]                       # equal rows: caller ids decide the ties
    queries = (docs[rng.integers(0, N, 37)] + 0.3 * rng.standard_normal((37, DIM))).astype(np.float32)
    ids = rng.permutation(10 * N)[:N].astype(np.int64) * 7 - 5000  # unique, unordered, some negative
    return docs, queries, ids


def flat_oracle(docs, ids, kind, queries, k, m, rescore, allowed=None, centre=None):
    """The reference over one flat index of the vectors in the caller's order (the probe
    holding them centred as the partitioned index does)."""
    probe = kwivel.Bitmap(DIM, DIM // 2) if kind == "bitmap" else kwivel.SignBitmap(DIM)
    rerank = kwivel.RankQuant(DIM, 4)
    probe.add(partitioned._centred(docs, centre))
    rerank.add(docs)
    return search_cells(probe, rerank, queries, [0, len(docs)], np.zeros((len(queries), 1)), ids,
                        m, k, docs if rescore else None, rescore, allowed, centre)


def nearest_cells(index, queries, nprobe):
    """Independent oracle of the probed cells: cosine descending, then cell ascending."""
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    s = (q.astype(np.float32) @ index.centroids.T)
    return np.array([np.lexsort((np.arange(index.n_cells), -s[i]))[:nprobe] for i in range(len(q))])


@pytest.mark.parametrize("kind", ["bitmap", "signbitmap"])
@pytest.mark.parametrize("k,m,rescore,masked", [(10, 150, 0, False), (10, 150, 30, True), (25, 7, 0, True),
                                                (10, 3000, 40, False)])
def test_search_equals_reference(data, kind, k, m, rescore, masked):
    docs, queries, ids = data
    idx = PartitionedIndex.build(docs, ids=ids, cells=CELLS, probe=kind, seed=3)
    assert len(idx) == N and idx.n_cells == CELLS and idx.starts[-1] == N
    assert (np.diff(idx.starts) > 0).all()
    allowed = np.random.default_rng(1).random(N) < 0.7 if masked else None
    rows_allowed = None
    if masked:
        rows_allowed = np.empty(N, dtype=bool)
        rows_allowed[idx.rows_of(ids)] = allowed
    # Every cell probed: the flat answer over the caller's order, ties by caller id.
    got = idx.search(queries, k, nprobe=CELLS, m=m, rescore=rescore, allowed=rows_allowed)
    want = flat_oracle(docs, ids, kind, queries, k, m, rescore, allowed, idx.centre)
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_array_equal(got[0], want[0])
    if m < k:
        assert (got[1][:, m:] == -1).all() and np.isneginf(got[0][:, m:]).all()
    # Three cells probed: the reference over the independently chosen cells.
    cells = nearest_cells(idx, queries, 3)
    got = idx.search(queries, k, nprobe=3, m=m, rescore=rescore, allowed=rows_allowed)
    want = search_cells(idx.probe, idx.rerank, queries, idx.starts, cells, idx.ids, m, k,
                        idx.vectors if rescore else None, rescore, rows_allowed, idx.centre)
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_array_equal(got[0], want[0])
    # The exact subset rerank of given rows, against the same reference on those rows alone.
    rows = np.sort(np.random.default_rng(2).choice(N, 200, replace=False))
    mask = np.zeros(N, dtype=bool)
    mask[rows] = True
    got = idx.search_rows(queries, k, rows, rescore=rescore)
    want = search_cells(idx.probe, idx.rerank, queries, [0, N], np.zeros((len(queries), 1)), idx.ids,
                        N, k, idx.vectors if rescore else None, rescore, mask)
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_array_equal(got[0], want[0])


def test_ids_through_add_save_and_open(data, tmp_path):
    docs, queries, ids = data
    idx = PartitionedIndex.build(docs[:2000], ids=ids[:2000], cells=CELLS, seed=1)
    before = idx.search(queries, 10, nprobe=4)
    with pytest.raises(ValueError, match="unique"):
        idx.add(docs[2000:2010], ids=ids[1990:2000])
    np.testing.assert_array_equal(idx.search(queries, 10, nprobe=4)[1], before[1])   # unchanged
    idx.add(docs[2000:], ids=ids[2000:])
    assert len(idx) == N and idx.starts[-1] == N
    rows = idx.rows_of(ids)
    assert sorted(rows.tolist()) == list(range(N)) and (idx.ids[rows] == ids).all()
    np.testing.assert_array_equal(idx.vectors[rows], docs)
    assert (idx.rows_of(np.array([ids.max() + 1, ids.min() - 1])) == -1).all()
    # Every row sits in its nearest cell.
    cell = np.searchsorted(idx.starts, np.arange(N), side="right") - 1
    np.testing.assert_array_equal(cell, nearest_cells(idx, idx.vectors, 1)[:, 0])
    full = idx.search(queries, 10, nprobe=CELLS, m=400, rescore=20)
    np.testing.assert_array_equal(full[1], flat_oracle(docs, ids, "bitmap", queries, 10, 400, 20, None, idx.centre)[1])
    idx.save(str(tmp_path / "ix"))
    again = PartitionedIndex.open(str(tmp_path / "ix"))
    assert isinstance(again.vectors, np.memmap) and again.info()["n"] == N
    np.testing.assert_array_equal(again.ids, idx.ids)
    for a, b in zip(again.search(queries, 10, nprobe=5), idx.search(queries, 10, nprobe=5)):
        np.testing.assert_array_equal(a, b)


def _damage(root, how):
    doc = json.loads((root / "manifest.json").read_text())
    files = doc["files"]
    if how == "missing":
        os.unlink(root / files["ids"]["name"])
        return "ids"
    if how == "truncated":
        path = root / files["rerank"]["name"]
        path.write_bytes(path.read_bytes()[:-5])
        return "rerank"
    if how == "checksum":
        path = root / files["probe"]["name"]
        raw = bytearray(path.read_bytes())
        raw[-3] ^= 0x10
        path.write_bytes(bytes(raw))
        return "probe"
    if how == "rows":  # the float rows stay on disk: open checks their size, verify() their checksum
        path = root / files["vectors"]["name"]
        raw = bytearray(path.read_bytes())
        raw[-3] ^= 0x10
        path.write_bytes(bytes(raw))
        return "vectors"
    if how == "mismatch":
        doc["n_cells"] += 1
        (root / "manifest.json").write_text(json.dumps(doc))
        return "centroids"
    if how == "bad json":
        (root / "manifest.json").write_text("{\"format\": ")
        return "manifest"
    raise AssertionError(how)


@pytest.mark.parametrize("how", ["missing", "truncated", "checksum", "rows", "mismatch", "bad json", "interrupted"])
def test_damaged_or_interrupted(data, tmp_path, monkeypatch, how):
    docs, queries, _ = data
    root = tmp_path / "ix"
    first = PartitionedIndex.build(docs[:1500], str(root), cells=6, seed=2)
    want = first.search(queries, 10)
    if how != "interrupted":
        part = _damage(root, how)
        with pytest.raises(OSError, match=part) as err:
            opened = PartitionedIndex.open(str(root))
            if how == "rows":
                opened.verify()
        assert "\n" not in str(err.value)
        return
    second = PartitionedIndex.build(docs, cells=8, seed=2)
    monkeypatch.setattr(partitioned, "_save_rows", lambda path, rows: (_ for _ in ()).throw(
        KeyboardInterrupt()))                    # dies after the first parts are written
    listing = sorted(os.listdir(root))
    with pytest.raises(KeyboardInterrupt):
        second.save(str(root))
    assert sorted(os.listdir(root)) == listing
    again = PartitionedIndex.open(str(root))
    assert len(again) == 1500
    for a, b in zip(again.search(queries, 10), want):
        np.testing.assert_array_equal(a, b)


def test_same_answer_for_any_thread_count(data, tmp_path):
    docs, queries, ids = data
    root = tmp_path / "ix"
    PartitionedIndex.build(docs, str(root), ids=ids, cells=CELLS, probe="signbitmap", seed=4)
    np.save(tmp_path / "q.npy", queries)
    script = ("import sys, numpy as np, kwivel\n"
              "ix = kwivel.PartitionedIndex.open(sys.argv[1])\n"
              "s, i = ix.search(np.load(sys.argv[2]), 10, nprobe=4, m=90, rescore=20)\n"
              "t, j = ix.search(np.load(sys.argv[2]), 10, nprobe=5, m=60, rescore=0)\n"
              "np.savez(sys.argv[3], s=s, i=i, t=t, j=j)\n")
    outs = []
    for threads in ("1", "3"):
        out = tmp_path / f"out{threads}.npz"
        env = dict(os.environ, KWIVEL_NUM_THREADS=threads)
        subprocess.run([sys.executable, "-c", script, str(root), str(tmp_path / "q.npy"), str(out)],
                       env=env, check=True)
        outs.append(np.load(out))
    for name in "sitj":
        np.testing.assert_array_equal(outs[0][name], outs[1][name])
    assert np.isfinite(outs[0]["s"]).all()


def test_many_cells_train_in_two_levels(data):
    docs, queries, ids = data
    idx = PartitionedIndex.build(docs, ids=ids, cells=300, seed=6)    # above the one-level limit
    assert idx.n_cells == 300 and idx.centroids.shape == (300, DIM)
    np.testing.assert_allclose(np.linalg.norm(idx.centroids, axis=1), 1, rtol=1e-5)
    cell = np.searchsorted(idx.starts, np.arange(N), side="right") - 1
    np.testing.assert_array_equal(cell, nearest_cells(idx, idx.vectors, 1)[:, 0])
    got = idx.search(queries, 10, nprobe=300, m=300, rescore=20)
    np.testing.assert_array_equal(got[1], flat_oracle(docs, ids, "bitmap", queries, 10, 300, 20, None, idx.centre)[1])


def test_version_1_directory_opens_uncentred(data, tmp_path):
    """An index written before the probe was centred (no centre part) searches as written."""
    docs, queries, ids = data
    idx = PartitionedIndex.build(docs, ids=ids, cells=CELLS, seed=3)
    raw = kwivel.Bitmap(DIM, DIM // 2)
    raw.add(np.ascontiguousarray(idx.vectors))
    PartitionedIndex(idx.centroids, idx.starts, idx.ids, raw, idx.rerank, idx.vectors).save(str(tmp_path / "v1"))
    doc = json.loads((tmp_path / "v1" / "manifest.json").read_text())
    assert doc["version"] == 1 and "centre" not in doc["files"]
    old = PartitionedIndex.open(str(tmp_path / "v1"))
    assert old.centre is None and not old.info()["centred"]
    got = old.search(queries, 10, nprobe=CELLS, m=200, rescore=20)
    np.testing.assert_array_equal(got[1], flat_oracle(docs, ids, "bitmap", queries, 10, 200, 20)[1])
