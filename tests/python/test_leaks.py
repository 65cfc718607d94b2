"""Calls that return, and calls that fail, must not leak.

Each member runs a few thousand times; the process's resident memory and
the interpreter's traced allocations must not grow with the count.  Result
buffers are allocated by the native core (invisible to tracemalloc), so
each call returns at least a few kilobytes: a lost buffer or a lost array
reference shows up as megabytes of resident growth.
"""

import os
import tracemalloc

import numpy as np
import pytest

import kwivel

DIM = 256
ROUNDS = 2000
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def expect_raises(fn, exc):
    def call():
        try:
            fn()
        except exc:
            return
        raise AssertionError("expected a failure")
    return call


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    rng = np.random.default_rng(2)
    rows = rng.standard_normal((2000, DIM)).astype(np.float32)
    q = rng.standard_normal((16, DIM)).astype(np.float32)
    bad = q.copy()
    bad[3, 7] = np.nan
    ids = np.arange(0, 2000, 3, dtype=np.int64)
    d = tmp_path_factory.mktemp("leaks")
    out = {"q": q, "bad": bad, "ids": ids, "dir": d, "rows": rows}
    for name, ix in (("rank", kwivel.Rank(DIM)), ("quant", kwivel.RankQuant(DIM, 2)),
                     ("bitmap", kwivel.Bitmap(DIM, 32)), ("sign", kwivel.SignBitmap(DIM))):
        ix.add(rows)
        ix.write(str(d / name))
        out[name] = ix
    return out


def calls(e):
    r, rq, bm, sb, q, bad, ids, d = (e["rank"], e["quant"], e["bitmap"], e["sign"], e["q"], e["bad"], e["ids"],
                                     e["dir"])
    return {
        "rank.search": lambda: r.search(q, 50),
        "rank.search_asymmetric": lambda: r.search_asymmetric(q, 50),
        "rank.search nan": expect_raises(lambda: r.search(bad, 50), ValueError),
        "rank.load": lambda: kwivel.Rank.load(str(d / "rank")),
        "rank.load missing": expect_raises(lambda: kwivel.Rank.load(str(d / "none")), OSError),
        "rank.add+swap_remove": lambda: (r.add(q[:1]), r.swap_remove(len(r) - 1)),
        "quant.search": lambda: rq.search(q, 50),
        "quant.search_asymmetric": lambda: rq.search_asymmetric(q, 50),
        "quant.subset": lambda: rq.search_asymmetric_subset(q[0], ids, 500),
        "quant.subset out of range": expect_raises(
            lambda: rq.search_asymmetric_subset(q[0], np.array([5, 99999]), 5), IndexError),
        "quant.load": lambda: kwivel.RankQuant.load(str(d / "quant")),
        "eval_search": lambda: kwivel.rankquant_eval_search(e["rows"][:300], q, 3, 50),
        "eval_search bad bits": expect_raises(lambda: kwivel.rankquant_eval_search(e["rows"][:30], q, 9, 5),
                                              ValueError),
        "bitmap.search": lambda: bm.search(q, 50),
        "bitmap.top_m_batched": lambda: bm.top_m_candidates_batched(q, 100),
        "bitmap.chunked": lambda: bm.top_m_candidates_batched_chunked(q, 100, 5),
        "bitmap.subset": lambda: bm.search_subset(q[0], ids, 500),
        "bitmap.body_overlap": lambda: bm.body_overlap_scores_subset(bm.build_query_bitmap_fp32(q[0]),
                                                                     ids.astype(np.uint32)),
        "bitmap.top_m nan": expect_raises(lambda: bm.top_m_candidates(bad[3], 10), ValueError),
        "bitmap.load": lambda: kwivel.Bitmap.load(str(d / "bitmap")),
        "sign.score_all_batched": lambda: sb.score_all_batched(q),
        "sign.top_m_batched": lambda: sb.top_m_candidates_batched(q, 100),
        "sign.build_query_bitmap": lambda: sb.build_query_bitmap(q[0]),
        "sign.load": lambda: kwivel.SignBitmap.load(str(d / "sign")),
        "rank_transform": lambda: kwivel.rank_transform(e["rows"][0]),
        "pack_buckets wrong dtype": expect_raises(lambda: kwivel.pack_buckets(ids, 2), TypeError),
    }


NAMES = sorted(calls({k: None for k in ("rank", "quant", "bitmap", "sign", "q", "bad", "ids", "dir", "rows")}))


@pytest.mark.parametrize("name", NAMES)
def test_no_growth(env, name):
    call = calls(env)[name]
    for _ in range(200):
        call()
    tracemalloc.start()
    try:
        base_rss = rss()
        base_traced = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            call()
        grown_rss = rss() - base_rss
        grown_traced = tracemalloc.get_traced_memory()[0] - base_traced
    finally:
        tracemalloc.stop()
    assert grown_traced < 64 * 1024, f"{grown_traced} bytes of Python objects kept after {ROUNDS} calls"
    assert grown_rss < 4 * 1024 * 1024, f"resident memory grew by {grown_rss} bytes over {ROUNDS} calls"
