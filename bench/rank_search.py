"""rank_search: Rank.search / Rank.search_asymmetric versus numpy + BLAS.

The numpy peer computes the same scores as a float32 matrix product against
the centred corpus ranks C = ranks - (d-1)/2, prepared once and not timed:

  symmetric:  rank-transform the queries (double argsort), centre them,
              S = Q @ C.T, scale by 1/rn^2
  asymmetric: S = (L2-normalised float queries) @ C.T, scale by 1/rn

then top-k by argpartition and a sort of the k survivors (ties: lower id
first).  rn = sqrt(d (d^2 - 1) / 12) is the norm of a centred rank vector.

Besides queries/s this reports single-query latency, and the scan rate over
the stored ranks (n * d * 2 bytes per query) beside what a plain numpy
streaming read gets out of this machine's memory.
"""

from __future__ import annotations

import math
import os
import time
from concurrent.futures import ThreadPoolExecutor

from harness import (Context, Skip, check_row, fmt_num, fmt_time, note, numpy_rank_transform,
                     say, side_by_side, summary_row, table)

NAME = "rank_search"
TITLE = "rank_search: Rank.search / search_asymmetric vs numpy float32 matmul"
PEER = "numpy float32 matmul (OpenBLAS) + argpartition; scan rows: numpy streaming read"

DIM = 768
ROWS, ROWS_QUICK = 100_000, 10_000
QUERIES, QUERIES_QUICK = 1000, 100
K = 10
SEED = 20240601
GOAL_SYM = (">=", 1.0)      # kwivel q/s / numpy q/s
GOAL_ASYM = (">=", 0.5)
TOP1_GOAL = (">=", 0.99)    # fraction of queries whose top-1 id agrees
SCORE_TOL = 1e-5            # max |score difference| over the top-k
STREAM_BYTES = 1 << 30      # numpy streaming read: 1 GiB of float32


class NumpyPeer:
    """Top-k rank-cosine search with numpy, scores as a float32 matmul."""

    def __init__(self, np, corpus):
        self.np = np
        n, d = corpus.shape
        self.n = n
        self.centre = np.float32((d - 1) / 2.0)
        C = numpy_rank_transform(np, corpus, np.float32)
        C -= self.centre                       # exact: half-integers in float32
        self.C = C
        self.CT = C.T                          # a view: BLAS reads it transposed
        rn = float(np.float32(math.sqrt(d * (d * d - 1) / 12.0)))
        # Negated scales: argpartition then picks the k largest scores directly.
        self.neg_inv_sym = np.float32(-1.0 / (rn * rn))
        self.neg_inv_rn = np.float32(-1.0 / rn)

    def _topk(self, S, k):
        np = self.np
        k = min(k, S.shape[1])
        if k < S.shape[1]:
            part = np.argpartition(S, k - 1, axis=1)[:, :k]
        else:
            part = np.broadcast_to(np.arange(S.shape[1]), S.shape).copy()
        vals = np.take_along_axis(S, part, axis=1)
        order = np.lexsort((part, vals), axis=-1)   # by score, then lower id
        ids = np.take_along_axis(part, order, axis=1)
        return -np.take_along_axis(vals, order, axis=1), ids

    def search(self, Q, k):
        np = self.np
        Qc = numpy_rank_transform(np, Q, np.float32)
        Qc -= self.centre
        S = Qc @ self.CT
        S *= self.neg_inv_sym
        return self._topk(S, k)

    def search_asymmetric(self, Q, k):
        np = self.np
        U = Q / np.linalg.norm(Q, axis=1, keepdims=True)
        S = U @ self.CT
        S *= self.neg_inv_rn
        return self._topk(S, k)


def agreement(np, kw_res, np_res):
    ks, ki = kw_res
    ns, ni = np_res
    ks, ki = np.asarray(ks), np.asarray(ki)
    order = np.argsort(-ks, axis=1, kind="stable")   # kwivel's rows, best first
    ks = np.take_along_axis(ks, order, axis=1)
    ki = np.take_along_axis(ki, order, axis=1)
    top1 = float(np.mean(ki[:, 0] == ni[:, 0]))
    max_diff = float(np.max(np.abs(ks.astype(np.float64) - ns.astype(np.float64))))
    recall = float(np.mean(np.any(ki[:, :, None] == ni[:, None, :], axis=2)))
    return {"top1_agreement": top1, "max_abs_score_diff": max_diff, "recall_at_k": recall}


def streaming_read_gbs(np, nbytes, reps=5):
    """numpy's rate of reading a large float32 array once (a.sum()), on one
    thread and on every usable core (halves summed concurrently)."""
    a = np.ones(nbytes // 4, dtype=np.float32)       # page-faulted in here, untimed
    one = min(_t(lambda: a.sum()) for _ in range(reps))
    threads = len(os.sched_getaffinity(0))
    parts = np.array_split(a, max(1, threads))
    with ThreadPoolExecutor(max(1, threads)) as ex:
        many = min(_t(lambda: list(ex.map(np.sum, parts))) for _ in range(reps))
    del a, parts
    return {"bytes": nbytes, "one_thread_gbs": nbytes / one / 1e9,
            "all_threads_gbs": nbytes / many / 1e9, "threads": threads}


def _t(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def run(ctx: Context) -> dict:
    kw = ctx.require("Rank")
    np = ctx.np
    n = ROWS_QUICK if ctx.quick else ROWS
    nq = QUERIES_QUICK if ctx.quick else QUERIES
    d, k = DIM, K
    reps = 5
    budget = 20.0 if ctx.quick else 45.0
    single_reps = 20
    corpus_bytes = n * d * 2

    modes = []
    if ctx.has("Rank.search"):
        modes.append(("symmetric", "search", GOAL_SYM))
    else:
        note("Rank.search is missing: the symmetric search is skipped")
    if ctx.has("Rank.search_asymmetric"):
        modes.append(("asymmetric", "search_asymmetric", GOAL_ASYM))
    else:
        note("Rank.search_asymmetric is missing: the asymmetric search is skipped")
    if not modes:
        raise Skip("neither Rank.search nor Rank.search_asymmetric is available")

    rng = np.random.default_rng(SEED)
    corpus = rng.standard_normal((n, d), dtype=np.float32)
    queries = rng.standard_normal((nq, d), dtype=np.float32)
    say(f"   corpus float32 ({n}, {d}), {nq} queries, k={k}; stored ranks {corpus_bytes / 1e6:.0f} MB")

    t0 = time.perf_counter()
    index = kw.Rank(d)
    index.add(corpus)
    t_add = time.perf_counter() - t0
    t0 = time.perf_counter()
    peer = NumpyPeer(np, corpus)
    t_prep = time.perf_counter() - t0
    del corpus
    say(f"   setup (untimed in results): kwivel add {fmt_time(t_add)}, numpy corpus ranks {fmt_time(t_prep)}")

    results, checks, summary = {}, {}, []
    batched = {}
    for mode, method, goal in modes:
        kfn = getattr(index, method)
        pfn = getattr(peer, method)
        kfn(queries[:2], k)          # warm-up
        pfn(queries[:2], k)
        t = side_by_side({"kwivel": lambda: kfn(queries, k), "numpy": lambda: pfn(queries, k)},
                         reps=reps, budget_s=budget)
        batched[mode] = t
        qk, qn = nq / t["kwivel"].best, nq / t["numpy"].best
        r = qk / qn
        agree = agreement(np, t["kwivel"].last, t["numpy"].last)
        say(f"   {mode:<10} kwivel {fmt_num(qk):>8} q/s ({fmt_time(t['kwivel'].best)}, {t['kwivel'].reps} reps)"
            f"   numpy {fmt_num(qn):>8} q/s ({fmt_time(t['numpy'].best)}, {t['numpy'].reps} reps)"
            f"   kwivel/numpy {fmt_num(r)} (goal {goal[0]} {goal[1]:g})")
        say(f"   {'':<10} agreement: top-1 {agree['top1_agreement']:.4f}, recall@{k} "
            f"{agree['recall_at_k']:.4f}, max |score diff| {agree['max_abs_score_diff']:.2e}")
        results[mode] = {
            "kwivel": t["kwivel"].as_dict(), "numpy": t["numpy"].as_dict(),
            "kwivel_qps": qk, "numpy_qps": qn, "ratio_kwivel_over_numpy": r,
            "kwivel_effective_scan_gbs": corpus_bytes * nq / t["kwivel"].best / 1e9,
            "agreement": agree,
        }
        checks[f"{mode}_top1_ok"] = agree["top1_agreement"] >= TOP1_GOAL[1]
        checks[f"{mode}_scores_ok"] = agree["max_abs_score_diff"] <= SCORE_TOL
        summary.append(summary_row(NAME, f"{mode} search (q/s)", qk, qn, "q/s", r,
                                   "kwivel/numpy q/s", goal, "numpy matmul"))
        summary.append(check_row(NAME, f"{mode} top-1 agreement with numpy", agree["top1_agreement"],
                                 TOP1_GOAL))
        summary.append(check_row(NAME, f"{mode} max |top-{k} score diff|", agree["max_abs_score_diff"],
                                 ("<=", SCORE_TOL)))
        for side in ("kwivel", "numpy"):
            t[side].last = None

    # ---- single-query latency ----------------------------------------------------------
    q1 = queries[:1]
    fns = {}
    for mode, method, _ in modes:
        kfn, pfn = getattr(index, method), getattr(peer, method)
        fns[f"kwivel {mode}"] = (lambda f: lambda: f(q1, k))(kfn)
        fns[f"numpy {mode}"] = (lambda f: lambda: f(q1, k))(pfn)
    single = side_by_side(fns, reps=single_reps, budget_s=10.0 if ctx.quick else 30.0, keep=False)

    # ---- memory bandwidth reference -------------------------------------------------------
    stream = streaming_read_gbs(np, STREAM_BYTES)
    bw = max(stream["one_thread_gbs"], stream["all_threads_gbs"])
    say(f"   numpy streaming read GB/s: {fmt_num(stream['one_thread_gbs'])} (1 thread), "
        f"{fmt_num(stream['all_threads_gbs'])} ({stream['threads']} threads); "
        f"a.sum() over {stream['bytes'] >> 20} MiB float32")

    rows = []
    for mode, _, _ in modes:
        lk, ln = single[f"kwivel {mode}"].best, single[f"numpy {mode}"].best
        scan_single = corpus_bytes / lk / 1e9
        scan_batched = results[mode]["kwivel_effective_scan_gbs"]
        results[mode].update({
            "single_query": {"kwivel": single[f"kwivel {mode}"].as_dict(),
                             "numpy": single[f"numpy {mode}"].as_dict(),
                             "ratio_numpy_over_kwivel": ln / lk},
            "kwivel_single_scan_gbs": scan_single,
        })
        rows.append([mode, fmt_time(lk), fmt_time(ln), fmt_num(ln / lk),
                     fmt_num(scan_single), fmt_num(scan_batched), fmt_num(bw)])
        summary.append(summary_row(NAME, f"{mode} 1-query latency (ms)", lk * 1e3, ln * 1e3, "ms",
                                   ln / lk, "numpy/kwivel time", None, "numpy matmul"))
        summary.append(summary_row(NAME, f"{mode} 1-query scan (GB/s)", scan_single, bw, "GB/s",
                                   scan_single / bw, "kwivel/numpy read", None,
                                   "numpy streaming read"))
        summary.append(summary_row(NAME, f"{mode} batched scan, eff. (GB/s)", scan_batched, bw,
                                   "GB/s", scan_batched / bw, "kwivel/numpy read", None,
                                   "numpy streaming read"))
    say(f"   single query (best of up to {single_reps}); scan rates over {corpus_bytes / 1e6:.0f} MB "
        f"of stored ranks per query:")
    table(rows, ["mode", "kwivel 1q", "numpy 1q", "numpy/kwivel", "1q scan GB/s",
                 "batched eff. GB/s", "numpy read GB/s"])

    if not all(checks.values()):
        say("   !! an agreement check FAILED: see above")

    return {
        "params": {"rows": n, "dim": d, "queries": nq, "k": k, "seed": SEED, "max_reps": reps,
                   "corpus_bytes": corpus_bytes},
        "setup_s": {"kwivel_add": t_add, "numpy_corpus_ranks": t_prep},
        "results": results,
        "memory_bandwidth": stream,
        "checks": checks,
        "summary": summary,
    }
