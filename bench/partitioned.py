"""partitioned: the k-means partitioned index beside hnswlib on real sentence vectors.

Data: the fastText sentence vectors that bench/realdata.py writes (corpus.npy,
queries.npy; the directory is KWIVEL_BENCH_REALDATA, default build/data under
the repository root, then /work/wt/data/build/data).  --quick uses the first
50,000 corpus rows and 200 queries, KWIVEL_BENCH_PARTITIONED_ROWS=N the first N rows.
Skipped when the files are missing.

Measured side by side in one run, with the same threads:
  * exact cosine top-10 by numpy (the truth) and recall@10 against it;
  * the k-means trainers on the same normalised sample (faiss spherical k-means
    in two levels as the index trains, faiss in one level, scikit-learn
    MiniBatchKMeans): training seconds and the fraction of the true top-10
    lying in the query's 8 or 32 nearest cells;
  * kwivel.PartitionedIndex at the default number of cells (and half of it):
    build seconds, then a sweep of (nprobe, m, rescore) giving recall@10 and
    queries/s, and its resident bytes per vector (probe + rerank + id; the
    float rows stay on disk, memory-mapped, read only for the rescoring);
  * hnswlib (M=16, ef_construction=200, ef swept): build seconds, recall,
    queries/s, resident bytes (its saved index: graph plus float vectors).

Goal rows: at recall >= 0.99 the fastest kwivel setting reaching it has
q/s >= 3x hnswlib's at the first ef reaching the same recall; at >= 0.95,
>= 2x; build >= 10x faster than hnswlib's; resident bytes <= 1/4 of hnswlib's.
"""

from __future__ import annotations

import gc
import os
import tempfile
import time

from harness import Context, Skip, fmt_num, note, ratio, say, summary_row, table
from pipeline import best_time, hnsw_index

NAME = "partitioned"
TITLE = "partitioned: k-means cells + bitmap shortlist + RankQuant rerank (+ rescoring) vs hnswlib"
PEER = "hnswlib HNSW (M=16, ef_construction=200, ef swept), same threads"

K = 10
QUICK_ROWS, QUICK_QUERIES, QUERIES = 50_000, 200, 1000
NPROBES = (16, 32, 64, 128, 256)
MS = (500, 1000, 2000)
RESCORES = (0, 20, 50)
EFS = (16, 32, 64, 128, 256, 512)
GOALS = ((0.99, 3.0), (0.95, 2.0))
GOAL_BUILD = (">=", 10.0)
GOAL_MEMORY = ("<=", 0.25)


def data_dir(ctx: Context) -> str:
    for d in (os.environ.get("KWIVEL_BENCH_REALDATA"), os.path.join(str(ctx.root), "build", "data"),
              "/work/wt/data/build/data"):
        if d and os.path.exists(os.path.join(d, "corpus.npy")) and os.path.exists(os.path.join(d, "queries.npy")):
            return d
    raise Skip("no real data set (run bench/realdata.py, or set KWIVEL_BENCH_REALDATA)")


def trainers(ctx: Context, corpus, queries, truth, n_cells: int, seed: int = 0) -> list:
    """faiss and scikit-learn k-means on the same sample: seconds and how many true
    neighbours lie in the probed cells (each corpus row in its nearest cell)."""
    np = ctx.np
    from kwivel import partitioned as P
    n, dim = corpus.shape
    size = min(n, P._SAMPLE_PER_CELL * n_cells)
    rows = np.sort(np.random.default_rng(seed).choice(n, size, replace=False))
    x = P._normalised(corpus[rows])
    out = []

    def two_level():
        return P._train(corpus, n_cells, None, seed)[0]

    def faiss_km():
        return P._kmeans(x, n_cells, seed)

    def sklearn_km():
        from sklearn.cluster import MiniBatchKMeans
        km = MiniBatchKMeans(n_clusters=n_cells, batch_size=4096, max_iter=P._KMEANS_ITERATIONS,
                             n_init=1, random_state=seed)
        km.fit(x)
        return P._normalised(km.cluster_centers_)

    for name, fn in (("faiss spherical, two levels (used)", two_level), ("faiss spherical, one level", faiss_km),
                     ("sklearn MiniBatchKMeans", sklearn_km)):
        try:
            t, centroids = best_time(fn, 1)
        except ImportError as e:
            note(f"{name} left out: {e}")
            continue
        cell = P._assign(corpus, centroids)
        hits = {}
        for nprobe in (8, 32):
            probed = P._nearest(P._normalised(queries), centroids, nprobe)
            inside = (cell[truth][:, :, None] == probed[:, None, :]).any(axis=2)
            hits[nprobe] = float(inside.mean())
        out.append({"trainer": name, "seconds": t, "sample": size, "cells": n_cells,
                    "neighbours_in_8": hits[8], "neighbours_in_32": hits[32]})
    return out


def run(ctx: Context) -> dict:
    kw = ctx.require("PartitionedIndex")
    np = ctx.np
    from kwivel import evaluate as cli
    from kwivel.partitioned import default_cells
    from kwivel.pipeline import _default_threads
    try:
        import hnswlib
    except ImportError:
        hnswlib = None
        note("hnswlib is not installed (python3-hnswlib): its rows are left out")
    threads = _default_threads()
    src = data_dir(ctx)
    corpus = np.load(os.path.join(src, "corpus.npy"), mmap_mode="r")
    queries = np.ascontiguousarray(np.load(os.path.join(src, "queries.npy")), dtype=np.float32)
    if ctx.quick:
        corpus, queries = corpus[:QUICK_ROWS], queries[:QUICK_QUERIES]
    else:
        queries = queries[:QUERIES]
    rows_cap = os.environ.get("KWIVEL_BENCH_PARTITIONED_ROWS", "")
    if rows_cap.isdigit():
        corpus = corpus[:int(rows_cap)]
    n, dim = corpus.shape
    nq = len(queries)
    reps = 1 if ctx.quick else 2
    say(f"   {src}: corpus ({n}, {dim}), {nq} queries, k = {K}, {threads} threads")
    truth, t_exact = cli.exact_cosine_topk(corpus, queries, K)
    res = {"n": n, "dim": dim, "queries": nq, "threads": threads, "exact_cosine_s": t_exact}

    res["trainers"] = trainers(ctx, corpus, queries, truth, default_cells(n))
    table([[t["trainer"], str(t["cells"]), str(t["sample"]), f"{t['seconds']:.2f}",
            f"{t['neighbours_in_8']:.3f}", f"{t['neighbours_in_32']:.3f}"] for t in res["trainers"]],
          ["k-means", "cells", "sample", "train s", "top-10 in 8 cells", "in 32 cells"])

    rows, configs = [], []
    root = os.path.join(str(ctx.root), "build")
    os.makedirs(root, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=root, prefix="bench-partitioned-") as tmpdir:
        for cells in (default_cells(n), max(1, default_cells(n) // 2)):
            path = os.path.join(tmpdir, f"cells-{cells}")
            t0 = time.perf_counter()
            idx = kw.PartitionedIndex.build(corpus, path, cells=cells)
            t_build = time.perf_counter() - t0
            info = idx.info()
            resident = info["resident_bytes"]
            say(f"   {idx!r}: built and saved in {t_build:.1f} s; cells of {info['smallest_cell']} to "
                f"{info['largest_cell']} rows; default nprobe {info['nprobe']}, m {info['m']}")
            for nprobe in NPROBES + (None,):
                for m in MS + (None,):
                    for r in RESCORES + (None,):
                        if (nprobe is None) != (m is None) or (nprobe is None) != (r is None):
                            continue          # the defaults are tried together
                        t, (_, ids) = best_time(lambda: idx.search(queries, K, nprobe=nprobe, m=m,
                                                                   rescore=r), reps)
                        rc = cli.recall(ids, truth, K)
                        label = "defaults" if nprobe is None else f"nprobe={nprobe} m={m} rescore={r}"
                        cfg = {"cells": cells, "nprobe": nprobe, "m": m, "rescore": r, "recall": rc,
                               "qps": nq / t, "build_s": t_build, "resident_bytes": resident}
                        configs.append(cfg)
                        rows.append([f"partitioned cells={cells} {label}", f"{rc:.3f}", fmt_num(nq / t),
                                     f"{resident / n:.0f}", f"{t_build:.1f}"])
            del idx
            gc.collect()

    hnsw = None
    if hnswlib is not None:
        with tempfile.TemporaryDirectory(dir=root, prefix="bench-hnsw-") as tmpdir:
            index, t_hnsw, h_resident = hnsw_index(hnswlib, corpus, threads, tmpdir)
        hnsw = {"build_s": t_hnsw, "resident_bytes": h_resident, "sweep": []}
        for ef in EFS:
            index.set_ef(max(ef, K))
            t, (ids, _) = best_time(lambda: index.knn_query(queries, k=K), reps)
            rc = cli.recall(ids, truth, K)
            hnsw["sweep"].append({"ef": ef, "recall": rc, "qps": nq / t})
            rows.append([f"hnswlib ef={ef}", f"{rc:.3f}", fmt_num(nq / t), f"{h_resident / n:.0f}",
                         f"{t_hnsw:.1f}"])
        del index
        gc.collect()
    table(rows, ["method", f"recall@{K}", "queries/s", "bytes/vec", "build s"])
    res["configs"], res["hnswlib"] = configs, hnsw

    summary = []
    if hnsw is not None:
        for target, goal in GOALS:
            eligible = [c for c in configs if c["recall"] >= target]
            op = max(eligible, key=lambda c: c["qps"], default=None)
            if op is None:
                note(f"no partitioned setting reaches recall {target}")
                continue
            reach = [s for s in hnsw["sweep"] if s["recall"] >= op["recall"]]
            peer = reach[0] if reach else max(hnsw["sweep"], key=lambda s: s["recall"])
            say(f"   recall >= {target}: cells={op['cells']} nprobe={op['nprobe']} m={op['m']} "
                f"rescore={op['rescore']} (recall {op['recall']:.3f}, {fmt_num(op['qps'])} q/s) vs hnswlib "
                f"ef={peer['ef']} (recall {peer['recall']:.3f}, {fmt_num(peer['qps'])} q/s)")
            summary.append(summary_row(NAME, f"q/s at recall >= {target} ({op['recall']:.3f})", op["qps"],
                                       peer["qps"], "q/s", ratio(op["qps"], peer["qps"]),
                                       "kwivel/hnswlib q/s", (">=", goal), f"hnswlib ef={peer['ef']}"))
        default = next(c for c in configs if c["nprobe"] is None and c["cells"] == default_cells(n))
        summary.append(summary_row(NAME, f"recall of the defaults ({default['recall']:.3f})", default["recall"],
                                   None, "", default["recall"], "recall@10", (">=", 0.99)))
        summary.append(summary_row(NAME, "build (s)", default["build_s"], hnsw["build_s"], "s",
                                   ratio(hnsw["build_s"], default["build_s"]), "hnswlib/kwivel time",
                                   GOAL_BUILD, "hnswlib"))
        summary.append(summary_row(NAME, "resident bytes/vector", default["resident_bytes"] / n,
                                   hnsw["resident_bytes"] / n, "B",
                                   ratio(default["resident_bytes"], hnsw["resident_bytes"]),
                                   "kwivel/hnswlib bytes", GOAL_MEMORY, "hnswlib"))
    res["summary"] = summary
    return res
