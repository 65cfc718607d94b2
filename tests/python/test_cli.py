"""The kwivel command, driven through subprocess on small generated files; and
the writers behind its outputs, killed mid-write."""

import gzip
import os
import re
import signal
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import kwivel
from kwivel import _atomic

DIM = 64


def kwivel_cmd(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-m", "kwivel", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli")
    rng = np.random.default_rng(11)
    corpus = rng.standard_normal((300, DIM)).astype(np.float32)
    queries = (corpus[:6] + 0.2 * rng.standard_normal((6, DIM))).astype(np.float32)
    np.save(d / "corpus.npy", corpus)
    np.save(d / "queries.npy", queries)
    with open(d / "corpus.fvecs", "wb") as f:   # .fvecs: each row prefixed by its int32 dim
        f.write(np.hstack([np.full((300, 1), DIM, np.int32), corpus.view(np.int32)]).tobytes())
    np.save(d / "ints.npy", np.ones((10, DIM), np.int32))
    np.save(d / "flat.npy", np.ones(DIM, np.float32))
    np.save(d / "narrow.npy", corpus[:, :40])
    bad = corpus.copy()
    bad[250, 3] = np.nan
    np.save(d / "nan.npy", bad)
    (d / "junk.kwr").write_bytes(b"not an index")
    return d, corpus, queries


@pytest.mark.parametrize("kind,opts", [("rank", []), ("rankquant", ["--bits", "2"]),
                                       ("bitmap", ["--n-top", "16"]), ("signbitmap", [])])
def test_build_then_search(files, kind, opts):
    d, corpus, queries = files
    out = d / f"idx-{kind}"
    r = kwivel_cmd("build", d / "corpus.npy", out, "--kind", kind, *opts)
    assert r.returncode == 0, r.stderr
    fv = d / f"idx-{kind}-fvecs"
    assert kwivel_cmd("build", d / "corpus.fvecs", fv, "--kind", kind, *opts).returncode == 0
    assert out.read_bytes() == fv.read_bytes()
    r = kwivel_cmd("search", out, d / "queries.npy", d / f"res-{kind}.npz", "-k", "7")
    assert r.returncode == 0, r.stderr
    res = np.load(d / f"res-{kind}.npz")
    scores, ids = res["scores"], res["ids"]
    assert scores.shape == ids.shape == (6, 7) and ids.dtype == np.int64
    if kind == "signbitmap":
        # Independent oracle: sign agreement counted with numpy, nearest first, then lower id.
        agree = ((queries > 0)[:, None, :] == (corpus > 0)[None, :, :]).sum(axis=2)
        for q in range(6):
            np.testing.assert_array_equal(ids[q], np.lexsort((np.arange(300), -agree[q]))[:7])
            np.testing.assert_array_equal(scores[q], agree[q, ids[q]])
    else:
        index = {"rank": lambda: kwivel.Rank(DIM), "rankquant": lambda: kwivel.RankQuant(DIM, 2),
                 "bitmap": lambda: kwivel.Bitmap(DIM, 16)}[kind]()
        index.add(corpus)
        want_s, want_i = index.search(queries, 7)
        np.testing.assert_array_equal(ids, want_i)
        np.testing.assert_array_equal(scores, want_s)
    if kind in ("rank", "rankquant"):
        r = kwivel_cmd("search", out, d / "queries.npy", d / "asym.npz", "-k", "3", "--asymmetric")
        assert r.returncode == 0, r.stderr
        want_s, want_i = index.search_asymmetric(queries, 3)
        np.testing.assert_array_equal(np.load(d / "asym.npz")["ids"], want_i)


@pytest.mark.parametrize("args,named,problem", [
    (["build", "missing.npy", "o.kwr", "--kind", "rank"], "missing.npy", "no such file"),
    (["build", "ints.npy", "o.kwr", "--kind", "rank"], "ints.npy", "int32"),
    (["build", "flat.npy", "o.kwr", "--kind", "rank"], "flat.npy", "2-D"),
    (["build", "narrow.npy", "o.kwbm", "--kind", "bitmap"], "narrow.npy", "width 40"),
    (["build", "nan.npy", "o.kwrq", "--kind", "rankquant"], "nan.npy", "rows"),
    (["build", "corpus.npy", "nodir/o.kwr", "--kind", "rank"], "nodir/o.kwr", "cannot write"),
    (["build", "corpus.npy", "o.kwrq", "--kind", "rankquant", "--bits", "3"], "corpus.npy", "bits"),
    (["search", "missing.kwr", "queries.npy", "o.npz"], "missing.kwr", "no such file"),
    (["search", "junk.kwr", "queries.npy", "o.npz"], "junk.kwr", "not a kwivel index"),
    (["search", "idx", "narrow.npy", "o.npz"], "narrow.npy", "width 40"),
    (["search", "idx", "queries.npy", "nodir/o.npz"], "nodir/o.npz", "cannot write"),
    (["search", "idx-bm", "queries.npy", "o.npz", "--asymmetric"], "idx-bm", "--asymmetric"),
    (["eval", "corpus.npy", "narrow.npy"], "narrow.npy", "width 40"),
    (["eval", "narrow.npy", "narrow.npy"], "narrow.npy", "index of width 40"),
    (["eval", "corpus.npy", "queries.npy", "--plot", "nodir/p.png"], "nodir/p.png", "cannot write"),
])
def test_bad_input_is_one_line_exit_2_and_leaves_no_file(files, args, named, problem):
    d = files[0]
    for name, kind in (("idx", "rank"), ("idx-bm", "bitmap")):
        if not (d / name).exists():
            assert kwivel_cmd("build", "corpus.npy", name, "--kind", kind, cwd=d).returncode == 0
    (d / "o.kwrq").write_bytes(b"previous")          # a failed build keeps what was there
    before = sorted(os.listdir(d))
    r = kwivel_cmd(*args, cwd=d)
    assert r.returncode == 2
    lines = r.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in r.stderr, r.stderr
    assert named in lines[0] and problem in lines[0], lines[0]
    assert sorted(os.listdir(d)) == before
    assert (d / "o.kwrq").read_bytes() == b"previous"


def test_eval_writes_table_and_plot(files, tmp_path):
    d = files[0]
    r = kwivel_cmd("eval", d / "corpus.npy", d / "queries.npy", "--m", "20,300", "--rescore", "300",
                   "--plot", tmp_path / "p.png", "--table", tmp_path / "t.md", "--partitions", "4",
                   "--nprobe", "4")
    assert r.returncode == 0, r.stderr
    png = (tmp_path / "p.png").read_bytes()
    assert png.startswith(b"\x89PNG") and len(png) > 1000
    table = (tmp_path / "t.md").read_text()
    assert table in r.stdout
    rows = {line.split("|")[1].strip(): line.split("|")[2:-1] for line in table.splitlines()[2:]}
    recall_cos = {name: float(cells[0]) for name, cells in rows.items()}
    assert recall_cos["exact cosine (numpy float32)"] == 1.0
    assert float(rows["Rank.search (exact Spearman)"][1]) == 1.0
    # A shortlist of the whole corpus with rescoring is exact cosine search.
    for probe in ("Bitmap", "SignBitmap"):
        for bits in (4, 2):
            assert recall_cos[f"{probe} + RankQuant({bits}) + rescore 300, m=300"] == 1.0
    # So is a partitioned search reading every cell.
    assert recall_cos["4 cells, nprobe=4: Bitmap + RankQuant(4) + rescore 300, m=300"] == 1.0


def write_idx(path, images):
    with gzip.open(path, "wb") as f:
        f.write(struct.pack(">IIII", 2051, len(images), 28, 28) + images.astype(np.uint8).tobytes())


def test_demo_on_a_small_idx_set(tmp_path):
    rng = np.random.default_rng(3)
    data = tmp_path / "data"
    data.mkdir()
    write_idx(data / "train-images-idx3-ubyte.gz", rng.integers(0, 256, (200, 784)))
    write_idx(data / "t10k-images-idx3-ubyte.gz", rng.integers(0, 256, (30, 784)))
    r = kwivel_cmd("demo", "--out", tmp_path / "out", "--data", data, "--queries", "5",
                   "--m", "50", "--hnsw", "")
    assert r.returncode == 0, r.stderr
    assert "768 dims" in r.stdout and "seeded Gaussian projection" in r.stdout
    assert sorted(os.listdir(tmp_path / "out")) == ["recall_qps.png", "table.md"]
    r = kwivel_cmd("demo", "--out", tmp_path / "out", "--data", tmp_path / "nothing")
    assert r.returncode == 2 and "dataset-fashion-mnist" in r.stderr


# A writer that loops replacing TARGET with a 4 MB index file, natively
# (index.write) or through the package's helper (kwivel._atomic).
_LOOPING_WRITER = """
import sys, numpy as np, kwivel
from kwivel import _atomic
target, how = sys.argv[1], sys.argv[2]
index = kwivel.Rank(256)
index.add(np.random.default_rng(5).standard_normal((8000, 256)).astype(np.float32))
data = kwivel._pickle.index_to_bytes(index)
print("writing", flush=True)
while True:
    index.write(target) if how == "native" else _atomic.write_bytes(target, data)
"""


def _kill_mid_write(target, how):
    """SIGKILLs a looping writer while its temporary exists; (its pid, the temporaries it left)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for _ in range(5):       # the kill may land just after a rename: try again
        child = subprocess.Popen([sys.executable, "-c", _LOOPING_WRITER, str(target), how],
                                 stdout=subprocess.PIPE, text=True, env=env)
        assert child.stdout.readline() == "writing\n"
        mine = f".{target.name}.{child.pid}."
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not any(n.startswith(mine) for n in os.listdir(target.parent)):
            pass
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        left = [n for n in os.listdir(target.parent) if n.startswith(mine)]
        if left:
            return child.pid, left
    pytest.fail("no write was caught before its rename")


@pytest.mark.parametrize("how", ["native", "helper"])
def test_next_write_removes_the_temporary_of_a_killed_writer(tmp_path, how):
    target = tmp_path / "corpus.kwr"
    old = kwivel.Rank(DIM)
    old.add(np.eye(3, DIM, dtype=np.float32))
    old.write(str(target))
    pid, left = _kill_mid_write(target, how)
    assert len(left) == 1 and re.fullmatch(rf"\.corpus\.kwr\.{pid}\.[A-Za-z0-9]+\.tmp", left[0]), left
    assert len(kwivel.Rank.load(str(target))) in (3, 8000)     # the old file or the whole new one
    # Temporaries that must stay: a live writer's (this process), and another target's.
    live = f".corpus.kwr.{os.getpid()}.live.tmp"
    other = f".other.kwr.{pid}.abc.tmp"
    for name in (live, other):
        (tmp_path / name).write_bytes(b"")
    new = kwivel.Rank(DIM)
    new.add(np.ones((2, DIM), np.float32))
    data = kwivel._pickle.index_to_bytes(new)
    if how == "native":
        new.write(str(target))
    else:
        _atomic.write_bytes(str(target), data)
    assert sorted(os.listdir(tmp_path)) == sorted(["corpus.kwr", live, other])
    assert target.read_bytes() == data
