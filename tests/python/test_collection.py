"""kwivel.Collection: filters exact against numpy, ids through every write, crash-safe commits.

The oracle is numpy's float64 cosine over the rows a filter passes: with every
cell probed, a shortlist as wide as the collection and every hit rescored, a
search must return exactly numpy's top k of the passing live rows (ties to the
lower id), whichever path (shortlist, exact subset rerank, re-run of short
queries) answered it."""

import os
import shutil
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kwivel.collection
import kwivel.shards
from kwivel.collection import MANIFEST, Collection

DIM, N = 64, 3000


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    docs = rng.standard_normal((N + 400, DIM)).astype(np.float32)
    ids = rng.permutation(10 * N)[:N + 400].astype(np.int64) * 3 + 1     # not row positions
    return docs, ids, rng.standard_normal((12, DIM)).astype(np.float32)


@pytest.fixture(scope="module")
def built(data, tmp_path_factory):
    """A two-shard collection with an added segment and deleted rows (not compacted)."""
    docs, ids, _ = data
    path = str(tmp_path_factory.mktemp("col") / "c")
    col = Collection.build(docs[:N], path, ids[:N], shards=2)
    col.add(docs[N:], ids[N:])
    col.delete(ids[::37][:40])                 # ~1% of the rows: below the compaction threshold
    assert col.info()["segments"] == 3 and col.info()["deleted"] == 40
    return path


def copy_of(path, tmp_path):
    return shutil.copytree(path, str(tmp_path / "copy"))


def live_rows(data, col):
    """(vectors, ids) of the live rows, by the test's own bookkeeping."""
    docs, ids, _ = data
    keep = np.isin(ids, col.ids())
    return docs[keep], ids[keep]


def oracle(vectors, ids, queries, k):
    x = vectors.astype(np.float64)
    q = queries.astype(np.float64)
    cos = (q @ x.T) / np.outer(np.linalg.norm(q, axis=1), np.linalg.norm(x, axis=1))
    cos = cos.astype(np.float32)
    out_s = np.full((len(q), k), -np.inf, np.float32)
    out_i = np.full((len(q), k), -1, np.int64)
    for r in range(len(q)):
        order = np.lexsort((ids, -cos[r]))[:k]
        out_s[r, :len(order)], out_i[r, :len(order)] = cos[r, order], ids[order]
    return out_s, out_i


@pytest.mark.parametrize("kind,fraction,k", [
    (None, 1.0, 10),
    ("ids", 0.3, 10),
    ("mask", 0.1, 10),
    ("ids", 0.005, 10),          # selective: straight to the exact subset rerank
    ("mask", 0.002, 10),         # fewer passing rows than k
    ("ids", 0.0, 5),             # nothing passes
])
def test_filtered_search_is_numpys_top_k_of_the_passing_rows(data, built, monkeypatch, kind, fraction, k):
    col = Collection.open(built)
    vectors, ids = live_rows(data, col)
    queries = data[2]
    rng = np.random.default_rng(int(fraction * 1000))
    passing = rng.random(len(ids)) < fraction
    if kind == "ids":
        flt = np.concatenate([ids[passing], [-5, 2]])          # absent ids are ignored
    elif kind == "mask":
        flt = np.isin(col.ids(), ids[passing])
    else:
        flt, passing = None, np.ones(len(ids), bool)
    got = col.search(queries, k, flt, nprobe=10 ** 6, m=len(ids), rescore=len(ids))
    want = oracle(vectors[passing], ids[passing], queries, k)
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_allclose(got[0], want[0], rtol=1e-6, atol=1e-6)
    # Narrow probing: the shortlist misses passing rows, short queries are re-run; still
    # min(k, passing) hits, all inside the filter, best first with their exact cosines.
    monkeypatch.setattr(kwivel.collection, "SMALL_SEGMENT", 0)       # probe small segments narrowly too
    s, i = col.search(queries, k, flt, nprobe=1, m=k, rescore=max(k, 20))
    n_pass = int(passing.sum())
    assert ((i >= 0).sum(axis=1) == min(k, n_pass)).all()
    assert np.isin(i[i >= 0], ids[passing]).all()
    for r in range(len(queries)):
        hit = i[r][i[r] >= 0]
        exact = oracle(vectors[np.isin(ids, hit)], ids[np.isin(ids, hit)], queries[r:r + 1], len(hit))
        np.testing.assert_array_equal(hit, exact[1][0])
        np.testing.assert_allclose(s[r][:len(hit)], exact[0][0], rtol=1e-6, atol=1e-6)


def test_ids_through_build_add_delete_compact_open(data, tmp_path):
    docs, ids, _ = data
    model = {}                                 # id -> row of docs, the live rows

    def check(col):
        assert len(col) == len(model)
        np.testing.assert_array_equal(col.ids(), np.array(sorted(model), dtype=np.int64))
        for c in (col, Collection.open(col.path)):
            probe = sorted(model)[::97]
            s, i = c.search(docs[[model[j] for j in probe]], 3)
            np.testing.assert_array_equal(i[:, 0], probe)      # each row finds itself first
            assert np.isin(i[i >= 0], list(model)).all()

    path = str(tmp_path / "c")
    col = Collection.build(docs[:2000], path, ids[:2000], shards=2)
    model.update({int(j): r for r, j in enumerate(ids[:2000])})
    check(col)
    got = col.add(docs[2000:2300], ids[2000:2300])
    np.testing.assert_array_equal(got, ids[2000:2300])
    model.update({int(j): 2000 + r for r, j in enumerate(ids[2000:2300])})
    check(col)
    before = sorted(os.listdir(path))
    for bad in (ids[5:8], np.array([ids[2301], ids[2301]])):   # live ids; a repeat in the batch
        with pytest.raises(ValueError, match="unique"):
            col.add(docs[2300:2300 + len(bad)], bad)
    assert sorted(os.listdir(path)) == before
    gone = ids[:2300][::9]
    assert col.delete(np.concatenate([gone, gone[:3], [-1]])) == len(gone)
    for j in gone:
        del model[int(j)]
    check(col)
    col.add(docs[[0, 9]], ids[[0, 9]])         # deleted ids may come back
    model.update({int(ids[0]): 0, int(ids[9]): 9})
    default = col.add(docs[2300:2302])         # default ids follow the largest ever held
    np.testing.assert_array_equal(default, [ids[:2300].max() + 1, ids[:2300].max() + 2])
    model.update({int(default[0]): 2300, int(default[1]): 2301})
    check(col)
    assert col.info()["segments"] == 4 and col.info()["deleted"] == 0   # 11% deleted: compacted
    col.delete(ids[[1, 2]])
    del model[int(ids[1])], model[int(ids[2])]
    col.compact()
    assert col.info()["segments"] == 2 and col.info()["deleted"] == 0
    check(col)
    keep = {MANIFEST, "collection.lock"} | {n for n in os.listdir(path) if n.startswith("seg-")}
    assert set(os.listdir(path)) == keep and len(keep) == 4


# (operation, crash point, state a reopen must show)
CRASHES = [
    ("add", "add:after-segment", "old"), ("add", "add:after-manifest", "new"),
    ("delete", "delete:after-tombstone", "old"), ("delete", "delete:after-manifest", "new"),
    ("compact", "compact:after-segment", "old"), ("compact", "compact:after-manifest", "new"),
]
OPS = {
    "add": "col.add(np.load(sys.argv[2]), np.load(sys.argv[3]))",
    "delete": "col.delete(np.load(sys.argv[3]))",
    "compact": "col.compact()",
}


def snapshot(path, queries):
    col = Collection.open(path)
    s, i = col.search(queries, 8)
    return col.ids(), s.view(np.uint32), i, np.array([col.info()["segments"]])


@pytest.mark.parametrize("op,point,expect", CRASHES)
def test_a_write_killed_at_any_point_leaves_the_old_or_the_new_state(data, built, tmp_path, op, point, expect):
    docs, ids, queries = data
    rng = np.random.default_rng(3)
    np.save(tmp_path / "v.npy", rng.standard_normal((50, DIM)).astype(np.float32))
    np.save(tmp_path / "ids.npy", ids[100:150] if op == "delete" else np.arange(50, dtype=np.int64) * 3)
    old = snapshot(built, queries)
    after = copy_of(built, tmp_path)
    script = "import sys, numpy as np\nfrom kwivel.collection import Collection\n" \
             "col = Collection.open(sys.argv[1])\n" + OPS[op]
    run = lambda path, env: subprocess.run(          # noqa: E731
        [sys.executable, "-c", script, path, str(tmp_path / "v.npy"), str(tmp_path / "ids.npy")],
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), **env}, capture_output=True)
    assert run(after, {}).returncode == 0
    new = snapshot(after, queries)
    assert not np.array_equal(new[0], old[0]) or op == "compact"
    crashed = shutil.copytree(built, str(tmp_path / "crashed"))
    result = run(crashed, {"KWIVEL_CRASH_AT": point})
    assert result.returncode == -signal.SIGKILL, result.stderr.decode()[-2000:]
    got = snapshot(crashed, queries)
    for a, b in zip(got, old if expect == "old" else new):
        np.testing.assert_array_equal(a, b)
    # The next write removes what the killed one left behind.
    col = Collection.open(crashed)
    col.delete(col.ids()[:1])
    referenced = {MANIFEST, "collection.lock"} | {
        name for name in os.listdir(crashed) if name in open(os.path.join(crashed, MANIFEST)).read()}
    assert set(os.listdir(crashed)) == referenced


def _dying_search_segment(marker):
    """Worker-side: the first segment search on any worker kills its own process."""
    import kwivel.collection as collection
    original = collection.search_segment

    def search_segment(*args, **kwargs):
        try:
            os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return original(*args, **kwargs)
        os.kill(os.getpid(), signal.SIGKILL)

    collection.search_segment = search_segment


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_dask_search_equals_in_process_and_survives_a_killed_worker(data, built, tmp_path):
    distributed = pytest.importorskip("distributed")
    cloudpickle = pytest.importorskip("cloudpickle")
    col = Collection.open(built)
    queries = data[2]
    flt = col.ids()[::3]
    want = [col.search(queries, 7), col.search(queries, 7, flt)]
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       worker_dashboard_address="127.0.0.1:0",
                                       scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})
    with cluster, distributed.Client(cluster, timeout=60) as client:
        for _ in range(2):                     # the second time from the kept segments
            for w, f in zip(want, (None, flt)):
                got = col.search(queries, 7, f, client=client, timeout=60)
                np.testing.assert_array_equal(got[1], w[1])
                np.testing.assert_array_equal(got[0].view(np.uint32), w[0].view(np.uint32))
        loads = {}
        for per_worker in client.run(kwivel.shards._worker_loads).values():
            for (directory, name), count in per_worker.items():
                loads[name] = loads.get(name, 0) + count
        assert loads == {s: 1 for s in os.listdir(built) if s.startswith("seg-")}
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
        marker = str(tmp_path / "killed")
        client.run(_dying_search_segment, marker)
        got = col.search(queries, 7, flt, client=client, timeout=120)
        assert os.path.exists(marker), "no worker was killed"
        np.testing.assert_array_equal(got[1], want[1][1])


def test_commands_build_add_delete_search_info(data, tmp_path, capsys):
    from kwivel.cli import main
    docs, ids, queries = data
    for name, arr in (("corpus", docs[:1500]), ("more", docs[1500:1600]), ("ids", ids[:1500]),
                      ("more_ids", ids[1500:1600]), ("gone", ids[:1500:7]), ("q", queries),
                      ("filter", ids[:1600:2])):
        np.save(tmp_path / f"{name}.npy", arr)
    run = lambda *args: main([str(a) for a in args])       # noqa: E731
    c = tmp_path / "c"
    assert run("build", tmp_path / "corpus.npy", c, "--ids", tmp_path / "ids.npy", "--shards", 2,
               "--partitions", 20) == 0
    assert run("add", c, tmp_path / "more.npy", "--ids", tmp_path / "more_ids.npy") == 0
    assert run("add", c, tmp_path / "more.npy", "--ids", tmp_path / "more_ids.npy") == 2   # ids taken
    assert "already in the collection" in capsys.readouterr().err
    assert run("delete", c, tmp_path / "gone.npy") == 0
    assert run("search", c, tmp_path / "q.npy", tmp_path / "out.npz", "-k", 6,
               "--filter", tmp_path / "filter.npy") == 0
    got = np.load(tmp_path / "out.npz")
    col = Collection.open(str(c))
    want = col.search(queries, 6, ids[:1600:2])
    np.testing.assert_array_equal(got["ids"], want[1])
    assert not np.isin(got["ids"], ids[:1500:7]).any()
    assert len(col) == 1600 - len(ids[:1500:7])
    assert col.info()["segments"] == 2 and col.info()["deleted"] == 0       # 14% deleted: compacted
    capsys.readouterr()
    assert run("info", c) == 0 and f"n: {len(col)}" in capsys.readouterr().out
    assert run("search", c, tmp_path / "ids.npy", tmp_path / "x.npz") == 2      # not 2-D floats
