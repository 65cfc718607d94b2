"""pipeline: two-stage retrieval (bitmap shortlist, RankQuant rerank, float rescoring) beside hnswlib.

Two data sets: Fashion-MNIST (60,000 training images as the corpus, 1000 test
images as queries, 784 pixels mapped to 768 dims by the seeded Gaussian
projection of ``kwivel demo``; skipped when Debian's dataset-fashion-mnist is
missing) and (100000, 768) standard Gaussian vectors with 1000 Gaussian queries.

For each: exact cosine top-10 (numpy float32) and exact Spearman top-10
(``Rank.search``) as the two ground truths; ``kwivel.Pipeline`` with a Bitmap
(n_top = dim/2) or SignBitmap probe, a 4-bit or 2-bit RankQuant rerank, m in
{100, 200, 500, 1000}, without and with exact float rescoring of the best 20
(and of the best 50 after the 4-bit rerank; the float rows read from a
memory-mapped .npy); the full
``search_asymmetric`` scan at each width; and hnswlib (M = 16,
ef_construction = 200, ef swept) on the same corpus, with the same threads.

Reported beside each other: recall@10 against both truths, queries/s, build
time, and resident bytes per vector (kwivel: the probe's and the rerank's
``byte_size``; hnswlib: the size of its saved index, which is the graph plus
the float vectors it holds in memory).

Goals (one set per data set):
  * shortlist: pipeline recall at m = 200 / full-scan recall at the same bits >= 0.98;
  * with rescoring: recall@10 (cosine) >= 0.99 and >= hnswlib's best in the sweep;
  * at that recall: queries/s >= hnswlib's at an ef reaching the same recall;
    hnswlib build time / kwivel build time >= 50; kwivel bytes / hnswlib bytes <= 0.25.
"""

from __future__ import annotations

import gc
import os
import tempfile
import time

from harness import Context, Skip, check_row, fmt_num, note, ratio, say, summary_row, table

NAME = "pipeline"
TITLE = "pipeline: Bitmap/SignBitmap shortlist + RankQuant rerank (+ float rescoring) vs hnswlib"
PEER = "hnswlib HNSW (M=16, ef_construction=200, ef swept), same threads"

DIM, K = 768, 10
GAUSS_ROWS, GAUSS_ROWS_QUICK = 100_000, 10_000
QUERIES, QUERIES_QUICK = 1000, 200
MS = (100, 200, 500, 1000)
BITS = (4, 2)
RESCORE = 20
RESCORE_WIDE = 50               # also tried with the 4-bit rerank: the recall ceiling
EFS = (16, 32, 64, 128, 256, 512)
SEED = 20241111
GOAL_SHORTLIST = (">=", 0.98)
GOAL_RECALL = (">=", 0.99)
GOAL_QPS = (">=", 1.0)
GOAL_BUILD = (">=", 50.0)
GOAL_MEMORY = ("<=", 0.25)


def best_time(fn, reps):
    best, out = None, None
    for _ in range(reps):
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        t = time.perf_counter() - t0
        best = t if best is None else min(best, t)
    return best, out


def hnsw_index(hnswlib, vectors, threads: int, tmpdir: str):
    """hnswlib (M = 16, ef_construction = 200) over ``vectors``: (index, build seconds,
    resident bytes).  Its memory: the saved index holds exactly the graph and the float
    vectors it keeps resident (the growth of this process's resident set is no measure
    here: it reuses what the kwivel indexes freed)."""
    import numpy as np
    n, d = vectors.shape
    t0 = time.perf_counter()
    index = hnswlib.Index(space="cosine", dim=d)
    index.init_index(max_elements=n, M=16, ef_construction=200, random_seed=100)
    index.set_num_threads(threads)
    for a in range(0, n, 20_000):
        index.add_items(np.asarray(vectors[a:a + 20_000], dtype=np.float32), np.arange(a, min(n, a + 20_000)))
    seconds = time.perf_counter() - t0
    saved = os.path.join(tmpdir, "hnsw.bin")
    index.save_index(saved)
    resident = os.path.getsize(saved)
    os.unlink(saved)
    return index, seconds, resident


def datasets(ctx: Context):
    """(name, corpus, queries); KWIVEL_BENCH_PIPELINE_SETS=fashion-mnist (or gaussian) runs one."""
    np = ctx.np
    from kwivel import evaluate
    nq = QUERIES_QUICK if ctx.quick else QUERIES
    wanted = os.environ.get("KWIVEL_BENCH_PIPELINE_SETS", "fashion-mnist,gaussian").split(",")
    if "fashion-mnist" in wanted:
        try:
            corpus, queries, _ = evaluate.fashion_mnist_768(evaluate.FASHION_MNIST_DIR, nq)
            if ctx.quick:
                corpus = corpus[:GAUSS_ROWS_QUICK]
            yield "fashion-mnist", corpus, queries
        except evaluate.CliError as e:
            note(f"Fashion-MNIST left out: {e}")
    if "gaussian" in wanted:
        rng = np.random.default_rng(SEED)
        n = GAUSS_ROWS_QUICK if ctx.quick else GAUSS_ROWS
        yield "gaussian", rng.standard_normal((n, DIM), dtype=np.float32), \
            rng.standard_normal((nq, DIM), dtype=np.float32)


def run_one(ctx: Context, name: str, corpus, queries, hnswlib, threads: int, tmpdir: str) -> dict:
    np, kw = ctx.np, ctx.kw
    from kwivel import evaluate
    n, d = corpus.shape
    nq = len(queries)
    reps = 1 if ctx.quick else 2
    say(f"   {name}: corpus ({n}, {d}), {nq} queries, k = {K}, {threads} threads")
    path = os.path.join(tmpdir, f"{name}.npy")
    np.save(path, corpus)
    vectors = np.load(path, mmap_mode="r")

    gt_cos, t_exact = evaluate.exact_cosine_topk(vectors, queries, K)
    rank, _ = evaluate.build_index("rank", vectors, path)
    gt_sp = rank.search(queries, K)[1]
    del rank

    def recalls(ids):
        return evaluate.recall(ids, gt_cos, K), evaluate.recall(ids, gt_sp, K)

    rows, res = [], {"n": n, "queries": nq, "exact_cosine_s": t_exact, "configs": []}
    rqs, full = {}, {}
    for bits in BITS:
        rq, t_build = evaluate.build_index("rankquant", vectors, path, bits=bits)
        t, (_, ids) = best_time(lambda: rq.search_asymmetric(queries, K), reps)
        rc, rs = recalls(ids)
        rqs[bits] = (rq, t_build)
        full[bits] = rc
        rows.append([f"RankQuant({bits}).search_asymmetric (full scan)", "-", f"{rc:.3f}", f"{rs:.3f}",
                     fmt_num(nq / t), f"{rq.bytes_per_vec}", f"{t_build:.2f}"])
        res["configs"].append({"method": "full", "bits": bits, "recall_cos": rc, "recall_sp": rs,
                               "qps": nq / t, "build_s": t_build, "bytes_per_vec": rq.bytes_per_vec})

    shortlist_ratios = []
    for probe_kind in ("bitmap", "signbitmap"):
        probe, t_probe = evaluate.build_index(probe_kind, vectors, path)
        for bits, (rq, t_rq) in rqs.items():
            with kw.Pipeline(probe, rq, vectors=vectors, threads=threads) as pipe:
                for r in (None, RESCORE) + ((RESCORE_WIDE,) if bits == 4 else ()):
                    for m in MS:
                        t, (_, ids) = best_time(lambda: pipe.search(queries, K, m, rescore=r), reps)
                        rc, rs = recalls(ids)
                        label = f"{type(probe).__name__} + RankQuant({bits})" + (f" + rescore {r}" if r else "")
                        bpv = probe.bytes_per_vec + rq.bytes_per_vec
                        build = t_probe + t_rq
                        rows.append([label, str(m), f"{rc:.3f}", f"{rs:.3f}", fmt_num(nq / t), str(bpv),
                                     f"{build:.2f}"])
                        cfg = {"method": label, "probe": probe_kind, "bits": bits, "m": m, "rescore": r,
                               "recall_cos": rc, "recall_sp": rs, "qps": nq / t, "build_s": build,
                               "bytes_per_vec": bpv, "resident_bytes": probe.byte_size + rq.byte_size}
                        res["configs"].append(cfg)
                        if m == 200 and r is None:
                            shortlist_ratios.append((label, ratio(rc, full[bits])))
        del probe
        gc.collect()
    del rqs
    gc.collect()

    hnsw = None
    if hnswlib is not None:
        index, t_hnsw, resident = hnsw_index(hnswlib, vectors, threads, tmpdir)
        hnsw = {"build_s": t_hnsw, "resident_bytes": resident, "sweep": []}
        for ef in EFS:
            index.set_ef(max(ef, K))
            t, (ids, _) = best_time(lambda: index.knn_query(queries, k=K), reps)
            rc, rs = recalls(ids)
            hnsw["sweep"].append({"ef": ef, "recall_cos": rc, "recall_sp": rs, "qps": nq / t})
            rows.append([f"hnswlib ef={ef}", "-", f"{rc:.3f}", f"{rs:.3f}", fmt_num(nq / t),
                         f"{resident / n:.0f}", f"{t_hnsw:.2f}"])
        del index
        gc.collect()
    res["hnswlib"] = hnsw

    table(rows, ["method", "m", f"recall@{K} cos", f"recall@{K} Spearman", "queries/s", "bytes/vec",
                 "build s"], right=[False, True, True, True, True, True, True])
    say(f"   float32: {4 * d} bytes/vec; exact cosine (numpy) {fmt_num(nq / t_exact)} queries/s")

    summary = []
    for label, r in shortlist_ratios:
        summary.append(check_row(NAME, f"{name}: {label} m=200 / full scan recall", r, GOAL_SHORTLIST))
    best_recall = max((c["recall_cos"] for c in res["configs"] if c.get("rescore")), default=None)
    summary.append(check_row(NAME, f"{name}: best recall@10 with rescoring", best_recall, GOAL_RECALL))
    if hnsw is not None:
        hnsw_best = max(s["recall_cos"] for s in hnsw["sweep"])
        summary.append(check_row(NAME, f"{name}: best rescored recall - hnswlib best",
                                 None if best_recall is None else best_recall - hnsw_best, (">=", 0.0)))
        # Operating point: the fastest pipeline at recall >= 0.99, or at hnswlib's
        # best recall where hnswlib stays below 0.99 (kwivel's best recall where
        # kwivel stays below both); against the first ef that reaches the same
        # recall (else hnswlib's best point).
        target = min(GOAL_RECALL[1], hnsw_best)
        eligible = [c for c in res["configs"] if c["method"] != "full" and c["recall_cos"] >= target]
        op = max(eligible, key=lambda c: c["qps"], default=None)
        if op is None:      # kwivel stays below: compare at its best recall instead
            op = max((c for c in res["configs"] if c["method"] != "full"),
                     key=lambda c: (c["recall_cos"], c["qps"]), default=None)
        if op is not None:
            reach = [s for s in hnsw["sweep"] if s["recall_cos"] >= op["recall_cos"]]
            peer = reach[0] if reach else max(hnsw["sweep"], key=lambda s: s["recall_cos"])
            say(f"   operating point: {op['method']} m={op['m']} (recall {op['recall_cos']:.3f}, "
                f"{fmt_num(op['qps'])} q/s) vs hnswlib ef={peer['ef']} (recall {peer['recall_cos']:.3f}, "
                f"{fmt_num(peer['qps'])} q/s)")
            summary.append(summary_row(NAME, f"{name}: q/s at recall {op['recall_cos']:.3f}", op["qps"],
                                       peer["qps"], "q/s", ratio(op["qps"], peer["qps"]),
                                       "kwivel/hnswlib q/s", GOAL_QPS, f"hnswlib ef={peer['ef']}"))
            summary.append(summary_row(NAME, f"{name}: build (s)", op["build_s"], hnsw["build_s"], "s",
                                       ratio(hnsw["build_s"], op["build_s"]), "hnswlib/kwivel time",
                                       GOAL_BUILD, "hnswlib"))
            summary.append(summary_row(NAME, f"{name}: resident bytes/vector", op["resident_bytes"] / n,
                                       hnsw["resident_bytes"] / n, "B",
                                       ratio(op["resident_bytes"], hnsw["resident_bytes"]),
                                       "kwivel/hnswlib bytes", GOAL_MEMORY, "hnswlib"))
    res["summary"] = summary
    os.unlink(path)
    return res


def run(ctx: Context) -> dict:
    ctx.require("Pipeline", "Bitmap", "SignBitmap", "RankQuant.search_asymmetric_subset")
    try:
        import hnswlib
    except ImportError:
        hnswlib = None
        note("hnswlib is not installed (python3-hnswlib): its rows are left out")
    from kwivel.pipeline import _default_threads
    threads = _default_threads()
    out, summary = {}, []
    root = os.path.join(str(ctx.root), "build")
    os.makedirs(root, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=root, prefix="bench-pipeline-") as tmpdir:
        for name, corpus, queries in datasets(ctx):
            res = run_one(ctx, name, corpus, queries, hnswlib, threads, tmpdir)
            summary.extend(res.pop("summary"))
            out[name] = res
            del corpus
            gc.collect()
    if not out:
        raise Skip("no data set")
    out["summary"] = summary
    return out
