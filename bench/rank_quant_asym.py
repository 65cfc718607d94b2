"""rank_quant_asym: RankQuant asymmetric search and the evaluation search beside numpy.

RankQuant(d, bits).search_asymmetric keeps the float query (L2-normalised)
and scores it against each stored row's centred bucket codes; the peer is the
exact float search a numpy user writes on the same float vectors: S = Q @ X.T
(float32, OpenBLAS), top-k by argpartition, then a sort of the k survivors
(rank_quant.NumpyFloatSearch).

  search:   4-bit and 2-bit search_asymmetric, 1000 queries, at this
            machine's best kernel tier, interleaved with the peer.
  avx2:     the same with KWIVEL_MAX_TIER=avx2, in a subprocess (the tier is
            fixed per process), again interleaved with the peer there.
  latency:  one query at a time, kwivel beside the peer (info).
  eval:     rankquant_eval_search(X, Q, 3, k), which rank-transforms and
            buckets the whole corpus on every call, beside the peer.
  checks:   kwivel's scores against float64 references for the ids it
            returned, and the top-k ids of the AVX2 run against the best tier's.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time

from harness import Context, check_row, fmt_num, fmt_time, note, say, side_by_side, summary_row

NAME = "rank_quant_asym"
TITLE = "rank_quant_asym: RankQuant.search_asymmetric / rankquant_eval_search vs numpy float32 matmul"
PEER = "numpy float32 matmul (OpenBLAS) + argpartition over the float vectors"

DIM = 768
ROWS, ROWS_QUICK = 100_000, 10_000
QUERIES, QUERIES_QUICK = 1000, 100
K = 10
BITS = (4, 2)
EVAL_BITS = 3
SEED = 20261208
GOAL_BEST = (">=", 2.0)     # kwivel q/s / numpy q/s at the best tier
GOAL_AVX2 = (">=", 1.0)     # the same with KWIVEL_MAX_TIER=avx2
GOAL_EVAL = (">=", 0.5)     # numpy time / rankquant_eval_search time (encoding included)
SCORE_TOL = 1e-5
CHECK_QUERIES = 8
LATENCY_QUERIES = 20


def make_data(np, quick):
    n = ROWS_QUICK if quick else ROWS
    nq = QUERIES_QUICK if quick else QUERIES
    rng = np.random.default_rng(SEED)
    return rng.standard_normal((n, DIM), dtype=np.float32), rng.standard_normal((nq, DIM), dtype=np.float32)


def codes_of(np, rows, bits):
    ranks = np.argsort(np.argsort(rows, axis=1, kind="stable"), axis=1, kind="stable")
    return (ranks.astype(np.int64) << bits) // rows.shape[1]


def asym_reference(np, X, q, ids, bits):
    """float64 centred-code cosine of query q against rows ids."""
    d = X.shape[1]
    centre = (2 ** bits - 1) / 2.0
    norm = np.sqrt(d * (4 ** bits - 1) / 12.0)
    qn = q.astype(np.float64) / np.linalg.norm(q.astype(np.float64))
    return (codes_of(np, X[ids], bits) - centre) @ qn / norm


def eval_reference(np, X, q, ids, bits):
    d = X.shape[1]
    centre = (2 ** bits - 1) / 2.0
    qc = codes_of(np, q[None, :], bits)[0] - centre
    s = np.sum(((np.arange(d) << bits) // d - centre) ** 2)
    return (codes_of(np, X[ids], bits) - centre) @ qc / s


def max_own_diff(np, X, Q, scores, ids, bits, ref):
    sel = np.linspace(0, Q.shape[0] - 1, min(CHECK_QUERIES, Q.shape[0])).astype(np.int64)
    return max(float(np.max(np.abs(scores[r] - ref(np, X, Q[r], ids[r], bits)))) for r in sel)


def search_round(np, kw, X, Q, reps, budget):
    """Interleaved timing of search_asymmetric at each width and the numpy peer."""
    from rank_quant import NumpyFloatSearch
    peer = NumpyFloatSearch(np, X)
    fns, indexes = {}, {}
    for bits in BITS:
        index = indexes[bits] = kw.RankQuant(DIM, bits)
        index.add(X)
        index.search_asymmetric(Q[:2], K)       # warm-up
        fns[f"{bits}-bit"] = (lambda ix: lambda: ix.search_asymmetric(Q, K))(index)
    peer.search(Q[:2], K)
    fns["numpy"] = lambda: peer.search(Q, K)
    t = side_by_side(fns, reps=reps, budget_s=budget)
    nq = Q.shape[0]
    out = {"numpy_s": t["numpy"].best, "numpy_reps": t["numpy"].reps}
    for bits in BITS:
        tm = t[f"{bits}-bit"]
        scores, ids = tm.last
        out[f"{bits}bit"] = {"best_s": tm.best, "reps": tm.reps, "qps": nq / tm.best,
                             "ratio": t["numpy"].best / tm.best,
                             "score_diff": max_own_diff(np, X, Q, scores, ids, bits, asym_reference),
                             "ids": ids}
    out["truth_ids"] = t["numpy"].last[1]
    return out, indexes


def child_main(quick):
    """The KWIVEL_MAX_TIER=avx2 round, run in its own process; prints JSON."""
    import numpy as np
    import kwivel
    X, Q = make_data(np, quick)
    out, _ = search_round(np, kwivel, X, Q, reps=3, budget=15.0 if quick else 40.0)
    for bits in BITS:
        out[f"{bits}bit"]["ids"] = out[f"{bits}bit"]["ids"].tolist()
    del out["truth_ids"]
    print("RESULT " + json.dumps(out), flush=True)


def run_avx2_child(ctx, kw):
    env = dict(os.environ)
    env["KWIVEL_MAX_TIER"] = "avx2"
    pkg_root = os.path.dirname(os.path.dirname(os.path.abspath(kw.__file__)))
    bench_dir = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join([pkg_root, bench_dir] + [p for p in [env.get("PYTHONPATH")] if p])
    cmd = [sys.executable, os.path.abspath(__file__), "--avx2-child"] + (["--quick"] if ctx.quick else [])
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=900)
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("RESULT ")]
    if proc.returncode != 0 or not lines:
        raise RuntimeError(f"AVX2 subprocess failed ({proc.returncode}): {proc.stderr.strip()[-500:]}")
    return json.loads(lines[-1][len("RESULT "):])


def recall(np, ids, truth):
    return float(np.mean(np.any(np.asarray(truth)[:, :, None] == np.asarray(ids)[:, None, :], axis=2)))


def run(ctx: Context) -> dict:
    kw = ctx.require("RankQuant.search_asymmetric", "rankquant_eval_search")
    np = ctx.np
    X, Q = make_data(np, ctx.quick)
    n, nq = X.shape[0], Q.shape[0]
    summary, results = [], {}

    # ---- best tier --------------------------------------------------------------------------
    say(f"   search_asymmetric: corpus ({n}, {DIM}) float32, {nq} queries, k={K}; best of up to 5 "
        f"interleaved reps")
    best, indexes = search_round(np, kw, X, Q, reps=5, budget=15.0 if ctx.quick else 40.0)
    qn = nq / best["numpy_s"]
    say(f"   numpy float32 matmul + argpartition {fmt_num(qn):>8} q/s ({fmt_time(best['numpy_s'])})")
    for bits in BITS:
        r = best[f"{bits}bit"]
        rec = recall(np, r["ids"], best["truth_ids"])
        say(f"   kwivel {bits}-bit search_asymmetric {fmt_num(r['qps']):>8} q/s ({fmt_time(r['best_s'])}, "
            f"{r['reps']} reps)  kwivel/numpy {fmt_num(r['ratio'])} (goal {GOAL_BEST[0]} {GOAL_BEST[1]:g})  "
            f"recall@{K} vs float IP {rec:.3f}  max |score - float64 ref| {r['score_diff']:.1e}")
        results[f"best_{bits}bit"] = {k: v for k, v in r.items() if k != "ids"} | {"recall": rec}
        summary.append(summary_row(NAME, f"search_asymmetric {bits}-bit, best tier (q/s)", r["qps"], qn, "q/s",
                                   r["ratio"], "kwivel/numpy q/s", GOAL_BEST, "numpy float32 matmul"))
        summary.append(check_row(NAME, f"{bits}-bit max |score - float64 ref|", r["score_diff"],
                                 ("<=", SCORE_TOL)))

    # ---- single-query latency --------------------------------------------------------------
    from rank_quant import NumpyFloatSearch
    peer = NumpyFloatSearch(np, X)
    index4 = indexes[4]
    lat = {"kwivel": [], "numpy": []}
    for i in range(min(LATENCY_QUERIES, nq)):
        t = side_by_side({"kwivel": lambda: index4.search_asymmetric(Q[i:i + 1], K),
                          "numpy": lambda: peer.search(Q[i:i + 1], K)}, reps=1, budget_s=0.0, keep=False)
        for name in lat:
            lat[name].append(t[name].best)
    lk, ln = float(np.median(lat["kwivel"])), float(np.median(lat["numpy"]))
    say(f"   single query (median of {len(lat['kwivel'])}): kwivel 4-bit {fmt_time(lk)}, numpy {fmt_time(ln)}")
    results["latency_s"] = {"kwivel_4bit": lk, "numpy": ln}
    summary.append(summary_row(NAME, "single-query latency 4-bit (s)", lk, ln, "s", ln / lk,
                               "numpy/kwivel time", None, "numpy float32 matmul"))
    del indexes, index4, peer

    # ---- KWIVEL_MAX_TIER=avx2 ---------------------------------------------------------------
    try:
        sub = run_avx2_child(ctx, kw)
    except (RuntimeError, subprocess.TimeoutExpired) as e:
        note(f"the AVX2 run failed: {e}")
        sub = None
    if sub is not None:
        qn2 = nq / sub["numpy_s"]
        say(f"   KWIVEL_MAX_TIER=avx2 (subprocess): numpy {fmt_num(qn2)} q/s there")
        for bits in BITS:
            r = sub[f"{bits}bit"]
            same = float(np.mean(np.asarray(r["ids"]) == best[f"{bits}bit"]["ids"]))
            say(f"   kwivel {bits}-bit AVX2 {fmt_num(r['qps']):>8} q/s ({fmt_time(r['best_s'])})  kwivel/numpy "
                f"{fmt_num(r['ratio'])} (goal {GOAL_AVX2[0]} {GOAL_AVX2[1]:g})  ids equal to the best tier's "
                f"at {same:.4f} of positions")
            results[f"avx2_{bits}bit"] = {k: v for k, v in r.items() if k != "ids"} | {"ids_equal": same}
            summary.append(summary_row(NAME, f"search_asymmetric {bits}-bit, KWIVEL_MAX_TIER=avx2 (q/s)",
                                       r["qps"], qn2, "q/s", r["ratio"], "kwivel/numpy q/s", GOAL_AVX2,
                                       "numpy float32 matmul"))
            summary.append(check_row(NAME, f"{bits}-bit AVX2 ids == best tier's (fraction)", same,
                                     (">=", 0.999)))
    del best

    # ---- evaluation search ------------------------------------------------------------------
    from rank_quant import NumpyFloatSearch as Peer
    peer = Peer(np, X)
    kw.rankquant_eval_search(X[:256], Q[:2], EVAL_BITS, K)
    t = side_by_side({"kwivel": lambda: kw.rankquant_eval_search(X, Q, EVAL_BITS, K),
                      "numpy": lambda: peer.search(Q, K)}, reps=3, budget_s=15.0 if ctx.quick else 40.0)
    te, tn = t["kwivel"].best, t["numpy"].best
    scores, ids = t["kwivel"].last
    diff = max_own_diff(np, X, Q, scores, ids, EVAL_BITS, eval_reference)
    say(f"   rankquant_eval_search {EVAL_BITS}-bit (corpus encoded in the call) {fmt_time(te)}, numpy "
        f"{fmt_time(tn)}: numpy/kwivel time {fmt_num(tn / te)} (goal {GOAL_EVAL[0]} {GOAL_EVAL[1]:g})  "
        f"max |score - float64 ref| {diff:.1e}")
    results["eval"] = {"bits": EVAL_BITS, "kwivel": t["kwivel"].as_dict(), "numpy": t["numpy"].as_dict(),
                       "score_diff": diff}
    summary.append(summary_row(NAME, f"rankquant_eval_search {EVAL_BITS}-bit incl. encoding (s)", te, tn, "s",
                               tn / te, "numpy/kwivel time", GOAL_EVAL, "numpy float32 matmul"))
    summary.append(check_row(NAME, f"eval {EVAL_BITS}-bit max |score - float64 ref|", diff, ("<=", SCORE_TOL)))

    return {"params": {"rows": n, "dim": DIM, "queries": nq, "k": K, "seed": SEED},
            "results": results, "summary": summary}


if __name__ == "__main__":
    if "--avx2-child" in sys.argv:
        child_main("--quick" in sys.argv)
    else:
        raise SystemExit("run through bench/run.py --only rank_quant_asym")
