"""Sharded indexes: in process and on a two-worker Dask LocalCluster (loopback only).

The oracle is one index of the same kind holding the whole corpus: the
sharded answer must equal it bit for bit, ties across shards included."""

import json
import os
import signal
import subprocess
import sys

import numpy as np
import pytest

import kwivel
from kwivel.shards import MANIFEST, ShardError, ShardedIndex, build_sharded, search_index

pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

DIM, N, SHARD = 128, 2600, 1000        # shards of 1000, 1000 and 600 rows

KINDS = {
    "rank": lambda: kwivel.Rank(DIM),
    "rankquant": lambda: kwivel.RankQuant(DIM, 4),
    "bitmap": lambda: kwivel.Bitmap(DIM, DIM // 4),
    "signbitmap": lambda: kwivel.SignBitmap(DIM),
}
CLASSES = {"rank": "Rank", "rankquant": "RankQuant", "bitmap": "Bitmap", "signbitmap": "SignBitmap"}


def _search(kind, asymmetric):
    """(kind, asymmetric), skipped visibly when this build lacks the class or method."""
    cls = getattr(kwivel, CLASSES[kind], None)
    missing = cls is None or (asymmetric and not hasattr(cls, "search_asymmetric"))
    return pytest.param(kind, asymmetric, marks=pytest.mark.skipif(
        missing, reason=f"{CLASSES[kind]}{'.search_asymmetric' if asymmetric else ''} not in this build"))


# every top-k search of every kind
SEARCHES = [_search(*s) for s in [("rank", False), ("rank", True), ("rankquant", False),
                                   ("rankquant", True), ("bitmap", False), ("signbitmap", False)]]


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(12)
    docs = rng.standard_normal((N, DIM)).astype(np.float32)
    docs[2300:2400] = docs[100:200]          # equal scores in different shards: ids decide
    queries = np.concatenate([docs[[5, 150, 1500, 2350]], rng.standard_normal((25, DIM))])
    return docs, queries.astype(np.float32)


@pytest.fixture(scope="module")
def built(data, tmp_path_factory):
    """kind -> (one index over the whole corpus, the sharded index)."""
    docs, _ = data
    root = tmp_path_factory.mktemp("shards")
    out = {}
    for kind, make in KINDS.items():
        if not hasattr(kwivel, CLASSES[kind]):
            continue
        whole = make()
        whole.add(docs)
        out[kind] = whole, build_sharded(docs, str(root / kind), kind, shard_size=SHARD, n_top=DIM // 4)
    return out


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       worker_dashboard_address="127.0.0.1:0",
                                       scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})
    c = distributed.Client(cluster, timeout=60)
    try:
        yield c
    finally:
        c.close()
        cluster.close()


def assert_same(got, want):
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_array_equal(got[0].view(np.uint32), want[0].view(np.uint32))


@pytest.mark.parametrize("kind,asymmetric", SEARCHES)
@pytest.mark.parametrize("k", [7, 1700])          # 1700: more than any shard holds
def test_sharded_search_equals_one_index(built, data, kind, asymmetric, k):
    whole, sharded = built[kind]
    queries = data[1]
    assert [s.count for s in sharded.shards] == [1000, 1000, 600]
    assert_same(sharded.search(queries, k, asymmetric), search_index(whole, queries, k, asymmetric))


@pytest.mark.parametrize("kind,asymmetric", SEARCHES)
def test_distributed_search_equals_one_index(built, data, client, kind, asymmetric):
    whole, sharded = built[kind]
    queries = data[1]
    want = search_index(whole, queries, 9, asymmetric)
    assert_same(sharded.search(queries, 9, asymmetric, client=client, timeout=60), want)
    # The whole index, pickled to a worker process, answers the same there.
    assert_same(client.submit(search_index, whole, queries, 9, asymmetric).result(timeout=60), want)
    # Only (nq, k) parts come back: one per worker.
    assert sharded.last_transfer["result_bytes_received"] == len(queries) * 9 * 12 * 2
    # Each shard is loaded once, by one worker, and kept for the searches that follow.
    loads = {}
    for per_worker in client.run(kwivel.shards._worker_loads).values():
        for (directory, name), count in per_worker.items():
            if directory == sharded.directory:
                loads[name] = loads.get(name, 0) + count
    assert loads == {s.file: 1 for s in sharded.shards}


@pytest.mark.parametrize("probe_kind", ["bitmap", "signbitmap"])
@pytest.mark.parametrize("m", [5, 1200])                 # 1200: every row of every shard
def test_two_stage_per_shard_reranks_the_union_of_shard_shortlists(built, data, client, probe_kind, m):
    whole, rerank = built["rankquant"]
    probe = built[probe_kind][1]
    queries, k = data[1], 9
    want_s = np.full((len(queries), k), -np.inf, np.float32)
    want_i = np.full((len(queries), k), -1, np.int64)
    for row, q in enumerate(queries):
        union = np.concatenate([probe.load_shard(s.number).top_m_candidates(q, m).astype(np.int64)
                                + s.offset for s in probe.shards])
        s_, i_ = whole.search_asymmetric_subset(q, union, k)
        want_s[row, :len(i_)], want_i[row, :len(i_)] = s_, i_
    for c in (None, client):
        assert_same(rerank.search_two_stage(probe, queries, k, m, client=c, timeout=60), (want_s, want_i))


def _dying_search_shard(marker):
    """Worker-side: the first shard search on any worker kills its own process."""
    import kwivel.shards as shards
    original = shards._search_shard

    def search_shard(*args, **kwargs):
        try:
            fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return original(*args, **kwargs)
        os.close(fd)
        os.kill(os.getpid(), signal.SIGKILL)

    shards._search_shard = search_shard
    return os.getpid()


def test_worker_killed_mid_search_gives_the_same_answer(built, data, client, tmp_path):
    whole, sharded = built["rankquant"]
    queries = data[1]
    sharded.search(queries, 5, client=client, timeout=60)     # every worker holds its shards
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    marker = str(tmp_path / "killed")
    before = set(client.run(_dying_search_shard, marker).values())
    got = sharded.search(queries, 5, client=client, timeout=120)
    assert os.path.exists(marker), "no worker was killed"
    assert_same(got, search_index(whole, queries, 5))
    client.wait_for_workers(2, timeout=60)
    assert set(client.run(os.getpid).values()) != before


def _copy_index(src, dst):
    os.makedirs(dst)
    for name in os.listdir(src):
        with open(os.path.join(src, name), "rb") as f, open(os.path.join(dst, name), "wb") as g:
            g.write(f.read())
    return dst


def _truncate(path):
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) - 8)


def _flip_last_byte(path):
    with open(path, "r+b") as f:
        f.seek(-1, os.SEEK_END)
        byte = f.read(1)[0]
        f.seek(-1, os.SEEK_END)
        f.write(bytes([byte ^ 0x01]))


def _count_off_by_one(manifest):
    with open(manifest) as f:
        doc = json.load(f)
    doc["shards"][1]["count"] += 1
    doc["shards"][2]["offset"] += 1
    doc["n_vectors"] += 1
    with open(manifest, "w") as f:
        json.dump(doc, f)


@pytest.mark.parametrize("damage,message", [
    ("truncate", r"shard 1 \(shard-00001-\w+\.kwrq\): file has \d+ B, the manifest records \d+ B \(truncated\)"),
    ("checksum", r"shard 1 \(shard-00001-\w+\.kwrq\): checksum mismatch"),
    ("missing", r"shard 1 \(shard-00001-\w+\.kwrq\): file is missing"),
    ("count", r"shard 1 \(shard-00001-\w+\.kwrq\): file holds 1000 vectors, the manifest records 1001"),
])
def test_damaged_shard_is_an_error_naming_it(built, data, client, tmp_path, damage, message):
    directory = _copy_index(built["rankquant"][1].directory, str(tmp_path / "idx"))
    shard_file = os.path.join(directory, built["rankquant"][1].shards[1].file)
    {"truncate": _truncate, "checksum": _flip_last_byte, "missing": os.unlink,
     "count": lambda _: _count_off_by_one(os.path.join(directory, MANIFEST))}[damage](shard_file)
    queries = data[1]
    with pytest.raises(ShardError, match=message):
        ShardedIndex.open(directory).search(queries, 5)
    if damage == "checksum":       # caught where the shard is loaded, on the worker
        index = ShardedIndex.open(directory)
        with pytest.raises(ShardError, match=message):
            index.search(queries, 5, client=client, timeout=60)


def test_interrupted_build_leaves_the_old_index_or_none(data, tmp_path, monkeypatch):
    docs, queries = data
    old = build_sharded(docs[:900], str(tmp_path / "idx"), "rank", shards=3)
    want = old.search(queries, 6)
    written = []
    real_write = kwivel.shards._write_shard

    def crash_after_first(directory, index, name):
        if written:
            raise KeyboardInterrupt("simulated crash")
        written.append(name)
        return real_write(directory, index, name)

    monkeypatch.setattr(kwivel.shards, "_write_shard", crash_after_first)
    for target in (str(tmp_path / "idx"), str(tmp_path / "fresh")):
        written.clear()
        with pytest.raises(KeyboardInterrupt):
            build_sharded(docs, target, "rank", shards=3)
        assert written and os.path.exists(os.path.join(target, written[0]))
    assert_same(ShardedIndex.open(str(tmp_path / "idx")).search(queries, 6), want)
    with pytest.raises(ShardError, match="not a sharded index"):
        ShardedIndex.open(str(tmp_path / "fresh"))
    monkeypatch.undo()
    # A temporary whose writer was killed before its rename (its pid is gone).
    dead = subprocess.Popen([sys.executable, "-c", ""])
    dead.wait()
    (tmp_path / "idx" / f".shard-00001-{'0' * 16}.kwr.{dead.pid}.Ab12.tmp").write_bytes(b"")
    new = build_sharded(docs, str(tmp_path / "idx"), "rank", shards=3)   # clears the leftovers
    assert sorted(os.listdir(new.directory)) == sorted([MANIFEST] + [s.file for s in new.shards])


def test_command_builds_and_searches_a_directory(data, client, tmp_path):
    from kwivel.cli import main
    docs, queries = data
    np.save(tmp_path / "corpus.npy", docs)
    np.save(tmp_path / "queries.npy", queries)
    run = lambda *args: main([str(a) for a in args])       # noqa: E731
    assert run("build", tmp_path / "corpus.npy", tmp_path / "one.kwrq", "--kind", "rankquant") == 0
    assert run("build", tmp_path / "corpus.npy", tmp_path / "dir", "--kind", "rankquant",
               "--shard-size", 900) == 0
    assert run("search", tmp_path / "one.kwrq", tmp_path / "queries.npy", tmp_path / "one.npz") == 0
    address = client.scheduler.address
    assert address.startswith("tcp://127.0.0.1:")
    for extra in ([], ["--scheduler", address]):
        assert run("search", tmp_path / "dir", tmp_path / "queries.npy", tmp_path / "dir.npz", *extra) == 0
        want, got = np.load(tmp_path / "one.npz"), np.load(tmp_path / "dir.npz")
        assert_same((got["scores"], got["ids"]), (want["scores"], want["ids"]))
    assert run("build", tmp_path / "corpus.npy", tmp_path / "x", "--kind", "rank", "--shards", 0) == 2
