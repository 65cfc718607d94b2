"""bitmap: Bitmap shortlists and add beside the memory system, numpy and faiss.

Corpus: 1,000,000 vectors of 768 floats, n_top = 192, so 96-byte rows (96 MB
of bitmaps).  Queries are standard normal floats.

  scan:     one-query ``top_m_candidates(q, m=100)`` as a scan rate (row
            bytes / call time) beside the single-thread read bandwidth of the
            same bytes: numpy's sum over a uint64 view of the index's words
            (read back from a .kwbm file), which numpy runs on one thread.
  batched:  ``top_m_candidates_batched`` of 1000 queries beside single
            ``top_m_candidates`` calls (rounds of 250), per query, the two
            timed in interleaved rounds.
  faiss:    the same batched call beside faiss ``IndexBinaryFlat`` searching
            the same 96-byte rows for k = 100 with the query bitmaps
            (``build_query_bitmap_fp32``) as codes (250 of them a round,
            interleaved with the kwivel batch), queries/s, at this
            machine's best tier and, in a subprocess, under
            KWIVEL_MAX_TIER=avx2.  faiss runs its default OpenMP threads.
  add:      ``Bitmap(768, 192).add`` of (100000, 768) beside the numpy
            reference: argpartition per row, a boolean mask, packbits.

The shortlists are checked against a numpy overlap ranking on a few queries.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time

from harness import (Context, check_row, fmt_num, fmt_time, note, ratio, say, side_by_side,
                     summary_row)

NAME = "bitmap"
TITLE = "bitmap: Bitmap shortlists vs read bandwidth, single calls and faiss IndexBinaryFlat; add vs numpy"
PEER = ("numpy sum over uint64 words (1 thread, read bandwidth); 1000 single calls; faiss IndexBinaryFlat "
        "(k=100); numpy argpartition + packbits (add)")

DIM, N_TOP = 768, 192
ROWS, ROWS_QUICK = 1_000_000, 100_000
QUERIES, QUERIES_QUICK = 1000, 100
ADD_ROWS, ADD_ROWS_QUICK = 100_000, 20_000
M = 100
SEED = 20241208
GOAL_SCAN = (">=", 0.70)        # kwivel scan rate / numpy read bandwidth
GOAL_BATCHED = (">=", 4.0)      # single-call time per query / batched time per query
GOAL_FAISS = (">=", 10.0)       # kwivel queries/s / faiss queries/s
GOAL_ADD = (">=", 10.0)         # numpy time / kwivel time
CHECK_QUERIES = 5
SINGLE_PER_ROUND = 250       # single calls per timed round
FAISS_QUERIES = 250          # queries per faiss round

TIER_SCRIPT = """
import sys, time, numpy as np, kwivel
idx = kwivel.Bitmap.load(sys.argv[1])
q = np.load(sys.argv[2])
idx.top_m_candidates_batched(q[:8], {m})
best = min(
    (lambda t0: (idx.top_m_candidates_batched(q, {m}), time.perf_counter() - t0)[1])(time.perf_counter())
    for _ in range({reps}))
print(best)
"""


def numpy_add(np, X, n_top):
    """Top-n_top bitmaps: argpartition per row, mask, packbits (little bit order)."""
    d = X.shape[1]
    part = np.argpartition(X, d - n_top, axis=1)[:, d - n_top:]
    mask = np.zeros(X.shape, dtype=bool)
    np.put_along_axis(mask, part, True, axis=1)
    return np.packbits(mask, axis=1, bitorder="little")


def build_corpus(kw, np, n, rng):
    idx = kw.Bitmap(DIM, N_TOP)
    step = 50_000
    for i in range(0, n, step):
        idx.add(rng.standard_normal((min(step, n - i), DIM), dtype=np.float32))
    return idx


def oracle_top_m(np, words, qwords, m):
    x = words & qwords[None, :]
    ov = np.unpackbits(x.view(np.uint8), axis=1).sum(axis=1, dtype=np.int64)
    return np.lexsort((np.arange(len(ov)), -ov))[:m]


def run(ctx: Context) -> dict:
    kw = ctx.require("Bitmap.top_m_candidates_batched")
    np = ctx.np
    n = ROWS_QUICK if ctx.quick else ROWS
    nq = QUERIES_QUICK if ctx.quick else QUERIES
    rng = np.random.default_rng(SEED)
    summary, out = [], {}

    t0 = time.perf_counter()
    idx = build_corpus(kw, np, n, rng)
    Q = rng.standard_normal((nq, DIM), dtype=np.float32)
    say(f"   corpus: Bitmap({DIM}, {N_TOP}) of {n:,} rows ({idx.byte_size / 1e6:.0f} MB), built in "
        f"{time.perf_counter() - t0:.1f} s; {nq} queries; m = {M}")
    tmp = tempfile.TemporaryDirectory(prefix="kwivel-bitmap-bench-")
    path = os.path.join(tmp.name, "corpus.kwbm")
    idx.write(path)
    words = np.fromfile(path, dtype="<u8", offset=17).reshape(n, DIM // 64)
    row_bytes = n * idx.bytes_per_vec

    # ---- scan rate beside the read bandwidth --------------------------------------------
    idx.top_m_candidates(Q[0], M)
    t = side_by_side({"kwivel": lambda: idx.top_m_candidates(Q[1], M),
                      "numpy": lambda: words.sum(dtype=np.uint64)},
                     reps=15, budget_s=20.0)
    tk, tn = t["kwivel"].best, t["numpy"].best
    scan_rate, bandwidth = row_bytes / tk, words.nbytes / tn
    frac = ratio(scan_rate, bandwidth)
    say(f"   top_m_candidates: {fmt_time(tk)} = {scan_rate / 1e9:.2f} GB/s of rows; numpy uint64 sum "
        f"{fmt_time(tn)} = {bandwidth / 1e9:.2f} GB/s; ratio {fmt_num(frac)} (goal {GOAL_SCAN[0]} {GOAL_SCAN[1]:g})")
    summary.append(summary_row(NAME, "one-query scan rate / read bandwidth", scan_rate / 1e9, bandwidth / 1e9,
                               "GB/s", frac, "kwivel/numpy rate", GOAL_SCAN, "numpy uint64 sum"))
    out["scan"] = {"kwivel_s": t["kwivel"].times, "numpy_s": t["numpy"].times,
                   "scan_GBps": scan_rate / 1e9, "bandwidth_GBps": bandwidth / 1e9, "ratio": frac}

    # ---- batched beside single calls ------------------------------------------------------
    # Interleaved rounds (the machine is noisy): a round of single calls
    # over a slice of the queries, then the batched call over all of them;
    # per-query costs from the best round of each.
    idx.top_m_candidates_batched(Q[:8], M)
    n_single = min(nq, SINGLE_PER_ROUND)
    tb = side_by_side({"single": lambda: [idx.top_m_candidates(q, M) for q in Q[:n_single]],
                       "batched": lambda: idx.top_m_candidates_batched(Q, M)}, reps=3, budget_s=90.0)
    single_q, batched_q = tb["single"].best / n_single, tb["batched"].best / nq
    batched_s = tb["batched"].best
    batched = tb["batched"].last
    cheaper = ratio(single_q, batched_q)
    say(f"   single calls {fmt_time(single_q)} per query (best of {tb['single'].reps} rounds of {n_single}); "
        f"batched {fmt_time(batched_s)} for {nq} ({fmt_time(batched_q)} per query); {fmt_num(cheaper)}x cheaper "
        f"(goal {GOAL_BATCHED[0]} {GOAL_BATCHED[1]:g})")
    summary.append(summary_row(NAME, f"batched {nq} queries, per query (s)", batched_q, single_q, "s",
                               cheaper, "single/batched time", GOAL_BATCHED, "single calls"))
    out["batched"] = {"single_s": tb["single"].times, "single_per_round": n_single,
                      "batched_s": tb["batched"].times, "ratio": cheaper}

    # ---- shortlist check --------------------------------------------------------------------
    good = 0
    for r in range(CHECK_QUERIES):
        want = oracle_top_m(np, words, idx.build_query_bitmap_fp32(Q[r]), M)
        good += int(np.array_equal(batched[r], want) and np.array_equal(idx.top_m_candidates(Q[r], M), want))
    say(f"   check: shortlists equal to the numpy overlap ranking on {good}/{CHECK_QUERIES} queries")
    summary.append(check_row(NAME, "shortlists == numpy ranking (fraction)", good / CHECK_QUERIES, (">=", 1.0)))
    del batched, tb

    # ---- faiss IndexBinaryFlat ----------------------------------------------------------------
    try:
        import faiss
    except ImportError:
        faiss = None
        note("faiss is not importable: the IndexBinaryFlat comparison is skipped")
    if faiss is not None:
        codes = np.ascontiguousarray(words.view(np.uint8))
        qcodes = np.stack([idx.build_query_bitmap_fp32(q) for q in Q]).view(np.uint8)
        fx = faiss.IndexBinaryFlat(DIM)
        fx.add(codes)
        # faiss searches a slice of the queries (its time is linear in
        # them), in rounds interleaved with the full kwivel batch.
        n_faiss = min(nq, FAISS_QUERIES)
        tf = side_by_side({"faiss": lambda: fx.search(qcodes[:n_faiss], M),
                           "kwivel": lambda: idx.top_m_candidates_batched(Q, M)},
                          reps=2, budget_s=60.0, keep=False)
        faiss_s = tf["faiss"].best * nq / n_faiss
        batched_s = min(batched_s, tf["kwivel"].best)
        kw_qps, faiss_qps = nq / batched_s, nq / faiss_s
        vs = ratio(kw_qps, faiss_qps)
        say(f"   faiss IndexBinaryFlat k={M}: {fmt_time(tf['faiss'].best)} for {n_faiss} queries "
            f"({fmt_num(faiss_qps)} q/s, "
            f"{faiss.omp_get_max_threads()} OpenMP threads); kwivel batched {fmt_num(kw_qps)} q/s; "
            f"{fmt_num(vs)}x (goal {GOAL_FAISS[0]} {GOAL_FAISS[1]:g})")
        summary.append(summary_row(NAME, "batched q/s vs faiss IndexBinaryFlat (best tier)", kw_qps, faiss_qps,
                                   "q/s", vs, "kwivel/faiss q/s", GOAL_FAISS, "faiss IndexBinaryFlat"))
        out["faiss"] = {"faiss_s": tf["faiss"].times, "kwivel_s": batched_s, "ratio": vs}
        # The same call with the AVX2 kernels, in a process of its own.
        qpath = os.path.join(tmp.name, "queries.npy")
        np.save(qpath, Q)
        env = dict(os.environ, KWIVEL_MAX_TIER="avx2")
        proc = subprocess.run([sys.executable, "-c", TIER_SCRIPT.format(m=M, reps=2), path, qpath],
                              env=env, capture_output=True, text=True)
        if proc.returncode == 0:
            avx2_s = float(proc.stdout.strip())
            vs2 = ratio(nq / avx2_s, faiss_qps)
            say(f"   KWIVEL_MAX_TIER=avx2: batched {fmt_time(avx2_s)} ({fmt_num(nq / avx2_s)} q/s); "
                f"{fmt_num(vs2)}x faiss")
            summary.append(summary_row(NAME, "batched q/s vs faiss IndexBinaryFlat (avx2 tier)", nq / avx2_s,
                                       faiss_qps, "q/s", vs2, "kwivel/faiss q/s", GOAL_FAISS,
                                       "faiss IndexBinaryFlat"))
            out["faiss"]["avx2_s"] = avx2_s
            out["faiss"]["avx2_ratio"] = vs2
        else:
            note(f"the avx2 subprocess failed: {proc.stderr.strip()[-300:]}")
        del fx, codes
    del words, idx
    tmp.cleanup()

    # ---- add beside numpy ----------------------------------------------------------------------
    na = ADD_ROWS_QUICK if ctx.quick else ADD_ROWS
    X = rng.standard_normal((na, DIM), dtype=np.float32)
    kw.Bitmap(DIM, N_TOP).add(X[:256])

    def kwivel_add():
        b = kw.Bitmap(DIM, N_TOP)
        b.add(X)
        return b

    t = side_by_side({"kwivel": kwivel_add, "numpy": lambda: numpy_add(np, X, N_TOP)}, reps=5, budget_s=40.0)
    tk, tn = t["kwivel"].best, t["numpy"].best
    speedup = ratio(tn, tk)
    say(f"   add ({na}, {DIM}): kwivel {fmt_time(tk)}, numpy {fmt_time(tn)}; {fmt_num(speedup)}x "
        f"(goal {GOAL_ADD[0]} {GOAL_ADD[1]:g})")
    summary.append(summary_row(NAME, f"add {na}x{DIM} (s)", tk, tn, "s", speedup, "numpy/kwivel time",
                               GOAL_ADD, "numpy argpartition + packbits"))
    apath = tempfile.mkdtemp(prefix="kwivel-bitmap-add-")
    try:
        t["kwivel"].last.write(os.path.join(apath, "a.kwbm"))
        stored = np.fromfile(os.path.join(apath, "a.kwbm"), dtype=np.uint8, offset=17).reshape(na, DIM // 8)
        # argpartition picks any of equal values at the cut; rows where the
        # two differ are checked against the stable rule (ties to the higher
        # index) instead.
        differ = np.flatnonzero((stored != t["numpy"].last).any(axis=1))
        order = np.argsort(X[differ], axis=1, kind="stable")[:, DIM - N_TOP:]
        mask = np.zeros((len(differ), DIM), dtype=bool)
        np.put_along_axis(mask, order, True, axis=1)
        same = bool(np.array_equal(stored[differ], np.packbits(mask, axis=1, bitorder="little")))
        note(f"{len(differ)} rows with equal values at the cut, checked against the stable rule")
    finally:
        for f in os.listdir(apath):
            os.remove(os.path.join(apath, f))
        os.rmdir(apath)
    say(f"   check: stored bitmaps equal the numpy bitmaps: {same}")
    summary.append(check_row(NAME, "add bitmaps == numpy", float(same), (">=", 1.0)))
    out["add"] = {"kwivel_s": t["kwivel"].times, "numpy_s": t["numpy"].times, "ratio": speedup}
    out["summary"] = summary
    return out
