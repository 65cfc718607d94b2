"""cores: the core's speed goals at the best tier and at KWIVEL_MAX_TIER=avx2, side by side with each peer.

Six rows, each measured in a child process per tier (the tier is fixed for a
process), kwivel and its peer timed interleaved in that child:

  * ``Rank(768).add`` of (100000, 768) float32 vs numpy's stable double argsort;
  * ``RankQuant(768, 4).add``, same data and peer;
  * ``Bitmap(768, 192).top_m_candidates_batched`` over 1,000,000 rows, 1000
    queries, m = 100, vs faiss ``IndexBinaryFlat`` k = 100 on the same bits;
  * ``SignBitmap(768).top_m_candidates_batched``, same sizes and peer;
  * ``Rank.search_asymmetric`` over 100000 rows, 1000 queries, k = 10, vs a
    numpy float32 matmul (OpenBLAS) plus argpartition;
  * the two-stage pipeline (Bitmap shortlist, 4-bit RankQuant rerank, exact
    rescoring of 20 from the memory-mapped float rows) on Fashion-MNIST vs
    hnswlib (M = 16, ef_construction = 200): queries/s of the pipeline at the
    smallest m reaching recall@10 >= 0.99, against hnswlib at the smallest ef
    reaching at least the same recall (the hnswlib graph is built once and
    loaded by each child).

Every row's goal holds on AVX2-only and AVX-512 processors alike, so each is
printed for both tiers.  On a machine without AVX-512 both runs use the AVX2
kernels; the header of the run says which processor gave the figures.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time

from harness import Context, Skip, fmt_num, say, summary_row, table

NAME = "cores"
TITLE = "cores: the core's goals at the best tier and at KWIVEL_MAX_TIER=avx2"
PEER = "numpy double argsort; faiss IndexBinaryFlat; numpy matmul + argpartition; hnswlib"

DIM, K = 768, 10
SEED = 20261209
ROWS = {"add": 100_000, "bits": 1_000_000, "asym": 100_000}
QUERIES = 1000
M_BITS = 100
PIPE_MS = (200, 300, 500, 700, 1000)
PIPE_RESCORE = 20
HNSW_EFS = (16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)
TARGET_RECALL = 0.99

GOALS = {
    "rank_add": (">=", 25.0),
    "rankquant_add": (">=", 25.0),
    "bitmap_batched": (">=", 15.0),
    "signbitmap_batched": (">=", 15.0),
    "rank_asym": (">=", 3.0),
    "pipeline": (">=", 1.5),
}
LABELS = {
    "rank_add": "Rank.add (100000, 768) vs numpy double argsort",
    "rankquant_add": "RankQuant(768, 4).add vs numpy double argsort",
    "bitmap_batched": "Bitmap batched shortlists 1M rows, m=100 vs faiss",
    "signbitmap_batched": "SignBitmap batched shortlists 1M rows vs faiss",
    "rank_asym": "Rank.search_asymmetric vs numpy matmul + argpartition",
    "pipeline": "pipeline vs hnswlib on Fashion-MNIST, q/s at recall >= 0.99",
}


def scale(n: int, quick: bool) -> int:
    return max(1000, n // 10) if quick else n


# ----------------------------------------------------------------------------
# Children: one row at one tier; prints one JSON line.

def _best(fn, reps):
    best, out = float("inf"), None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def _interleaved(fns, reps):
    """Best time of each function, run rep by rep in turn."""
    best = {name: float("inf") for name in fns}
    for _ in range(reps):
        for name, fn in fns.items():
            t, _ = _best(fn, 1)
            best[name] = min(best[name], t)
    return best


def child_add(np, kw, quick, which):
    rng = np.random.default_rng(SEED)
    X = rng.standard_normal((scale(ROWS["add"], quick), DIM), dtype=np.float32)

    def ours():
        idx = kw.Rank(DIM) if which == "rank" else kw.RankQuant(DIM, 4)
        idx.add(X)
        return idx

    def peer():
        return np.argsort(np.argsort(X, axis=1, kind="stable"), axis=1, kind="stable").astype(np.uint16)

    t = _interleaved({"kwivel": ours, "peer": peer}, 2)
    return {"kwivel_s": t["kwivel"], "peer_s": t["peer"], "ratio": t["peer"] / t["kwivel"],
            "ratio_means": "numpy/kwivel time"}


def child_bits(np, kw, quick, which):
    import faiss
    rng = np.random.default_rng(SEED + 1)
    n, nq = scale(ROWS["bits"], quick), scale(QUERIES, quick) if quick else QUERIES
    X = rng.standard_normal((n, DIM), dtype=np.float32)
    Q = rng.standard_normal((nq, DIM), dtype=np.float32)
    if which == "bitmap":
        idx = kw.Bitmap(DIM, DIM // 4)
        part = np.argpartition(X, DIM - DIM // 4, axis=1)[:, DIM - DIM // 4:]
        mask = np.zeros(X.shape, dtype=bool)
        np.put_along_axis(mask, part, True, axis=1)
        qwords = np.stack([idx.build_query_bitmap_fp32(q) for q in Q])
    else:
        idx = kw.SignBitmap(DIM)
        mask = X > 0
        qwords = np.stack([idx.build_query_bitmap(q) for q in Q])
    idx.add(X)
    del X
    codes = np.packbits(mask, axis=1, bitorder="little")
    del mask
    # faiss ranks by Hamming distance (for bitmaps of equal weight, the
    # overlap order); it is timed on a slice of the queries, its time being
    # linear in them.
    fi = faiss.IndexBinaryFlat(DIM)
    fi.add(codes)
    qb = np.ascontiguousarray(qwords).view(np.uint8)
    n_faiss = min(nq, 200)
    t = _interleaved({"kwivel": lambda: idx.top_m_candidates_batched(Q, M_BITS),
                      "peer": lambda: fi.search(qb[:n_faiss], M_BITS)}, 1 if quick else 2)
    kq, fq = nq / t["kwivel"], n_faiss / t["peer"]
    return {"kwivel_s": t["kwivel"], "peer_s": t["peer"] * nq / n_faiss, "kwivel_qps": kq, "peer_qps": fq,
            "ratio": kq / fq, "ratio_means": "kwivel/faiss q/s"}


def child_asym(np, kw, quick):
    from rank_search import NumpyPeer
    rng = np.random.default_rng(SEED + 2)
    X = rng.standard_normal((scale(ROWS["asym"], quick), DIM), dtype=np.float32)
    Q = rng.standard_normal((scale(QUERIES, quick) if quick else QUERIES, DIM), dtype=np.float32)
    idx = kw.Rank(DIM)
    idx.add(X)
    peer = NumpyPeer(np, X)
    del X
    t = _interleaved({"kwivel": lambda: idx.search_asymmetric(Q, K),
                      "peer": lambda: peer.search_asymmetric(Q, K)}, 2)
    return {"kwivel_s": t["kwivel"], "peer_s": t["peer"], "kwivel_qps": len(Q) / t["kwivel"],
            "peer_qps": len(Q) / t["peer"], "ratio": t["peer"] / t["kwivel"], "ratio_means": "kwivel/numpy q/s"}


def _recall(np, ids, truth):
    return float(np.mean([len(set(a[:K].tolist()) & set(t[:K].tolist())) / K for a, t in zip(ids, truth)]))


def child_pipeline(np, kw, quick, data_dir):
    import hnswlib
    corpus = np.load(os.path.join(data_dir, "corpus.npy"), mmap_mode="r")
    queries = np.load(os.path.join(data_dir, "queries.npy"))
    truth = np.load(os.path.join(data_dir, "truth.npy"))
    n, d = corpus.shape
    threads = int(os.environ.get("KWIVEL_NUM_THREADS", "0")) or len(os.sched_getaffinity(0))
    probe, rq = kw.Bitmap(d, d // 2), kw.RankQuant(d, 4)
    for a in range(0, n, 65536):
        block = np.ascontiguousarray(corpus[a:a + 65536])
        probe.add(block)
        rq.add(block)
    hn = hnswlib.Index(space="cosine", dim=d)
    hn.load_index(os.path.join(data_dir, "hnsw.bin"), max_elements=n)
    hn.set_num_threads(threads)
    reps = 1 if quick else 3
    ours, theirs = [], []
    with kw.Pipeline(probe, rq, vectors=corpus, threads=threads) as pipe:
        pipe.search(queries[:64], K, PIPE_MS[0], rescore=PIPE_RESCORE)   # warm the pool and the mapping
        for rnd in range(reps):
            for m in PIPE_MS:
                t, (_, ids) = _best(lambda: pipe.search(queries, K, m, rescore=PIPE_RESCORE), 1)
                if rnd == 0:
                    ours.append({"m": m, "recall": _recall(np, ids, truth), "qps": len(queries) / t})
                else:
                    ours[PIPE_MS.index(m)]["qps"] = max(ours[PIPE_MS.index(m)]["qps"], len(queries) / t)
            for i, ef in enumerate(HNSW_EFS):
                hn.set_ef(max(ef, K))
                t, (ids, _) = _best(lambda: hn.knn_query(queries, k=K), 1)
                if rnd == 0:
                    theirs.append({"ef": ef, "recall": _recall(np, ids, truth), "qps": len(queries) / t})
                else:
                    theirs[i]["qps"] = max(theirs[i]["qps"], len(queries) / t)
    mine = next((r for r in ours if r["recall"] >= TARGET_RECALL), None)
    if mine is None:
        return {"ratio": None, "note": f"no m reaches recall {TARGET_RECALL}", "ours": ours, "hnswlib": theirs}
    peer = next((r for r in theirs if r["recall"] >= mine["recall"]), None)
    if peer is None:
        return {"ratio": None, "note": f"no ef reaches recall {mine['recall']:.3f}", "ours": ours,
                "hnswlib": theirs}
    return {"kwivel_qps": mine["qps"], "peer_qps": peer["qps"], "ratio": mine["qps"] / peer["qps"],
            "ratio_means": "kwivel/hnswlib q/s", "at": f"m={mine['m']} recall {mine['recall']:.3f}; "
            f"hnswlib ef={peer['ef']} recall {peer['recall']:.3f}", "ours": ours, "hnswlib": theirs}


def child_main(row, quick, data_dir):
    import numpy as np
    import kwivel as kw
    if row in ("rank_add", "rankquant_add"):
        out = child_add(np, kw, quick, row.split("_")[0])
    elif row in ("bitmap_batched", "signbitmap_batched"):
        out = child_bits(np, kw, quick, row.split("_")[0])
    elif row == "rank_asym":
        out = child_asym(np, kw, quick)
    else:
        out = child_pipeline(np, kw, quick, data_dir)
    print("RESULT " + json.dumps(out), flush=True)


# ----------------------------------------------------------------------------
# Parent.

def _fashion_data(ctx: Context, directory: str) -> str:
    """Corpus, queries, exact truth and a saved hnswlib graph for the pipeline row; returns the folder."""
    np = ctx.np
    try:
        import hnswlib
    except ImportError:
        raise Skip("hnswlib is not installed (python3-hnswlib)")
    try:
        from kwivel.evaluate import exact_cosine_topk, fashion_mnist_768, FASHION_MNIST_DIR
    except ImportError:
        from kwivel.cli import exact_cosine_topk, fashion_mnist_768, FASHION_MNIST_DIR
    if not os.path.isdir(FASHION_MNIST_DIR):
        raise Skip(f"{FASHION_MNIST_DIR} is missing (Debian's dataset-fashion-mnist)")
    corpus, queries, _ = fashion_mnist_768(FASHION_MNIST_DIR, 200 if ctx.quick else QUERIES)
    np.save(os.path.join(directory, "corpus.npy"), corpus)
    np.save(os.path.join(directory, "queries.npy"), queries)
    truth, _ = exact_cosine_topk(corpus, queries, K)
    np.save(os.path.join(directory, "truth.npy"), truth)
    t0 = time.perf_counter()
    hn = hnswlib.Index(space="cosine", dim=corpus.shape[1])
    hn.init_index(max_elements=len(corpus), M=16, ef_construction=200, random_seed=100)
    hn.set_num_threads(len(os.sched_getaffinity(0)))
    hn.add_items(corpus, np.arange(len(corpus)))
    hn.save_index(os.path.join(directory, "hnsw.bin"))
    say(f"   Fashion-MNIST ({len(corpus)}, {corpus.shape[1]}); hnswlib graph built in "
        f"{time.perf_counter() - t0:.1f} s")
    return directory


def _run_child(row, tier, quick, data_dir):
    env = dict(os.environ)
    env.pop("KWIVEL_MAX_TIER", None)
    if tier != "best":
        env["KWIVEL_MAX_TIER"] = tier
    args = [sys.executable, os.path.abspath(__file__), "--child", row, "--data", data_dir or ""]
    if quick:
        args.append("--quick")
    proc = subprocess.run(args, env=env, capture_output=True, text=True,
                          cwd=os.path.dirname(os.path.abspath(__file__)))
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    raise RuntimeError(f"{row} at {tier}: child failed:\n{proc.stderr[-2000:]}")


def run(ctx: Context) -> dict:
    ctx.require("Rank", "RankQuant", "Bitmap", "SignBitmap", "Pipeline")
    best_tier = _tier_name()
    say(f"   best tier here: {best_tier}; rows run in child processes at that tier and at avx2")
    out, rows, summary = {"best_tier": best_tier, "rows": {}}, [], []
    with tempfile.TemporaryDirectory(prefix="kwivel-cores-", dir=str(ctx.root / "build")) as tmp:
        try:
            data_dir = _fashion_data(ctx, tmp)
        except Skip as e:
            say(f"   pipeline row skipped: {e}")
            data_dir = None
        for row in GOALS:
            if row == "pipeline" and data_dir is None:
                continue
            if row.endswith("_batched"):
                try:
                    import faiss  # noqa: F401
                except ImportError:
                    say(f"   {row} skipped: faiss is not installed (python3-faiss)")
                    continue
            for tier in ("best", "avx2"):
                res = _run_child(row, tier, ctx.quick, data_dir)
                out["rows"][f"{row}@{tier}"] = res
                r = res.get("ratio")
                label = f"{LABELS[row]} [{best_tier if tier == 'best' else 'avx2'}]"
                rows.append([label, fmt_num(r) if r is not None else res.get("note", "-"),
                             f"{GOALS[row][0]} {GOALS[row][1]:g}", res.get("at", "")])
                summary.append(summary_row(NAME, label, res.get("kwivel_qps", res.get("kwivel_s")),
                                           res.get("peer_qps", res.get("peer_s")), "",
                                           r, res.get("ratio_means", ""), GOALS[row]))
    table(rows, ["measurement", "ratio", "goal", "operating point"])
    out["summary"] = summary
    return out


def _tier_name() -> str:
    """The processor's best tier, from its feature flags."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = set(next((line for line in f if line.startswith("flags")), "").split())
    except OSError:
        flags = set()
    if {"avx512f", "avx512dq", "avx512bw", "avx512vl"} <= flags:
        return "avx512_vpopcnt" if "avx512_vpopcntdq" in flags else "avx512"
    return "avx2" if {"avx2", "fma", "popcnt"} <= flags else "portable"


if __name__ == "__main__":
    if "--child" in sys.argv:
        i = sys.argv.index("--child")
        data = sys.argv[sys.argv.index("--data") + 1] if "--data" in sys.argv else ""
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        child_main(sys.argv[i + 1], "--quick" in sys.argv, data)
