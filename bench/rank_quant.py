"""rank_quant: RankQuant add and search beside numpy, and beside faiss's SQ4.

RankQuant(d, bits) stores each vector as its bucket codes, code =
floor(rank * 2^bits / d) of the row's stable double-argsort rank, packed
bits per dimension.  Its symmetric search scores query and document by the
Pearson correlation of their centred codes.

  add:     ``RankQuant(768, 4).add(X)`` beside numpy's stable double argsort
           of the same matrix (int64 ranks, the step every code comes from).
  search:  4-bit and 2-bit RankQuant search beside the exact float search a
           numpy user writes on the same float vectors: S = Q @ X.T (float32,
           OpenBLAS; X.T is a view, no transposed copy), top-k by argpartition
           on S itself (no negated 400 MB copy), then a sort of the k survivors.
           Both searches are also checked against a float64 numpy reference
           of the RankQuant scores on a handful of queries.
  faiss:   IndexScalarQuantizer(QT_4bit, inner product), trained on the
           corpus: build time and queries/s beside RankQuant 4-bit, and
           recall@10 of both against the exact float inner-product top-10.
           faiss runs with its default OpenMP threads.
  memory:  bytes per vector at 1/2/4 bits beside float32 and faiss's SQ4 code.

The corpus of the searches is the matrix the add benchmark ranks, so the
reference codes come from numpy's ranks at no extra cost.
"""

from __future__ import annotations

import time

from harness import (Context, check_row, fmt_num, fmt_time, note, ratio, say, side_by_side,
                     summary_row, table)

NAME = "rank_quant"
TITLE = "rank_quant: RankQuant add/search vs numpy, and faiss IndexScalarQuantizer (4-bit)"
PEER = ("numpy double argsort (add); numpy float32 matmul (OpenBLAS) + argpartition (search); "
        "faiss IndexScalarQuantizer QT_4bit (info)")

DIM = 768
ROWS, ROWS_QUICK = 100_000, 10_000
QUERIES, QUERIES_QUICK = 1000, 100
K = 10
SEARCH_BITS = (4, 2)
MEMORY_BITS = (1, 2, 4)
SEED = 20240715
GOAL_ADD = (">=", 20.0)         # numpy time / kwivel time
GOAL_SEARCH = (">=", 1.0)       # kwivel q/s / numpy q/s, each bit width
SCORE_TOL = 1e-5                # |kwivel score - float64 reference| over the top-k
EXACT_QUERIES = 8               # queries checked against the float64 reference
REF_CHUNK = 16_384              # corpus rows per float64 reference block
# Wall-clock target for the whole group; the faiss search (slow: a scalar
# scan per query) repeats only while the next round still fits in it.
GROUP_BUDGET_S, GROUP_BUDGET_QUICK_S = 200.0, 60.0
FAISS_MAX_REPS = 3


def numpy_double_argsort(np, X):
    """Row-wise ranks, ties broken by index (int64, as numpy returns them)."""
    return np.argsort(np.argsort(X, axis=1, kind="stable"), axis=1, kind="stable")


def bucket_codes(np, R, bits, d):
    """codes = floor(rank * 2^bits / d), as uint8."""
    return ((R.astype(np.int64, copy=False) << bits) // d).astype(np.uint8)


class NumpyFloatSearch:
    """Exact top-k inner-product search over float32 vectors with numpy."""

    def __init__(self, np, corpus):
        self.np = np
        self.XT = corpus.T          # a view: BLAS reads it transposed

    def search(self, Q, k):
        np = self.np
        S = Q @ self.XT
        n = S.shape[1]
        k = min(k, n)
        part = np.argpartition(S, n - k, axis=1)[:, n - k:]    # the k largest, unordered
        vals = np.take_along_axis(S, part, axis=1)
        order = np.lexsort((part, -vals), axis=-1)             # best first, then lower id
        return np.take_along_axis(vals, order, axis=1), np.take_along_axis(part, order, axis=1)


def sort_best_first(np, scores, ids):
    scores, ids = np.asarray(scores), np.asarray(ids)
    order = np.argsort(-scores, axis=1, kind="stable")
    return np.take_along_axis(scores, order, axis=1), np.take_along_axis(ids, order, axis=1)


def recall_at_k(np, ids, truth):
    """Mean fraction of each query's true top-k found in its returned top-k."""
    ids, truth = np.asarray(ids), np.asarray(truth)
    return float(np.mean(np.any(truth[:, :, None] == ids[:, None, :], axis=2)))


def reference_scores(np, q_codes, corpus_codes, bits, d):
    """float64 Pearson scores of the centred codes: (nq, n)."""
    centre = (2 ** bits - 1) / 2.0
    norm2 = d * (4 ** bits - 1) / 12.0
    Qc = q_codes.astype(np.float64) - centre
    out = np.empty((Qc.shape[0], corpus_codes.shape[0]), dtype=np.float64)
    for lo in range(0, corpus_codes.shape[0], REF_CHUNK):
        C = corpus_codes[lo:lo + REF_CHUNK].astype(np.float64) - centre
        out[:, lo:lo + REF_CHUNK] = Qc @ C.T
    out /= norm2
    return out


def exactness(np, kw_scores, kw_ids, ref, k):
    """Compares kwivel's top-k with the float64 reference scores.

    score_diff: max |kwivel's j-th score - reference's j-th best score|;
    own_score_diff: max |kwivel's score - reference score of the id it returned|;
    ids: positions whose reference score differs from its neighbours in the
    reference top-(k+1) (so the id there is unique), and how many of those
    kwivel filled with the same id."""
    ks, ki = sort_best_first(np, kw_scores, kw_ids)
    score_diff = own_diff = 0.0
    distinct = same = 0
    for r in range(ref.shape[0]):
        row = ref[r]
        kk = min(k, row.shape[0])
        top = np.argsort(-row, kind="stable")[:kk + 1]     # best first, ties by lower id
        top_s = row[top]
        score_diff = max(score_diff, float(np.max(np.abs(ks[r, :kk] - top_s[:kk]))))
        own_diff = max(own_diff, float(np.max(np.abs(ks[r, :kk] - row[ki[r, :kk]]))))
        for j in range(kk):
            if j > 0 and abs(top_s[j] - top_s[j - 1]) <= SCORE_TOL:
                continue
            if j + 1 < len(top_s) and abs(top_s[j] - top_s[j + 1]) <= SCORE_TOL:
                continue
            distinct += 1
            same += int(ki[r, j] == top[j])
    return {"max_abs_score_diff": score_diff, "max_abs_own_score_diff": own_diff,
            "distinct_positions": distinct, "distinct_ids_equal": same,
            "distinct_ids_fraction": same / distinct if distinct else 1.0}


def import_faiss():
    try:
        import faiss
        return faiss, None
    except Exception as e:  # noqa: BLE001 - any import failure only drops the faiss rows
        return None, f"{type(e).__name__}: {e}"


def run(ctx: Context) -> dict:
    kw = ctx.require("RankQuant")
    np = ctx.np
    started = time.perf_counter()
    n = ROWS_QUICK if ctx.quick else ROWS
    nq = QUERIES_QUICK if ctx.quick else QUERIES
    d, k = DIM, K
    group_budget = GROUP_BUDGET_QUICK_S if ctx.quick else GROUP_BUDGET_S
    results, checks, summary = {}, {}, []

    rng = np.random.default_rng(SEED)
    X = rng.standard_normal((n, d), dtype=np.float32)
    queries = rng.standard_normal((nq, d), dtype=np.float32)

    # ---- add ------------------------------------------------------------------------------
    add_reps = 5 if ctx.quick else 3            # numpy's side: ~6-10 s a rep at full size
    say(f"   add: X float32 ({n}, {d}), {X.nbytes / 1e6:.0f} MB, 4 bits; "
        f"best of up to {add_reps} interleaved reps")
    kw.RankQuant(d, 4).add(X[:256])             # warm-up: thread pool, code paths
    numpy_double_argsort(np, X[:256])

    def kwivel_add():
        index = kw.RankQuant(d, 4)
        index.add(X)
        return index

    t = side_by_side({"kwivel": kwivel_add, "numpy": lambda: numpy_double_argsort(np, X)},
                     reps=add_reps, budget_s=30.0 if ctx.quick else 60.0)
    tk, tn = t["kwivel"].best, t["numpy"].best
    add_ratio = ratio(tn, tk)
    say(f"   kwivel RankQuant(768, 4).add {fmt_time(tk):>10}  ({fmt_num(n / tk)} rows/s, {t['kwivel'].reps} reps)")
    say(f"   numpy argsort x2 (stable)    {fmt_time(tn):>10}  ({fmt_num(n / tn)} rows/s, {t['numpy'].reps} reps)")
    say(f"   ratio numpy/kwivel: {fmt_num(add_ratio)}x  (goal {GOAL_ADD[0]} {GOAL_ADD[1]:g})")
    results["add"] = {"bits": 4, "kwivel": t["kwivel"].as_dict(), "numpy": t["numpy"].as_dict(),
                      "kwivel_rows_per_s": n / tk, "numpy_rows_per_s": n / tn,
                      "ratio_numpy_over_kwivel": add_ratio}
    summary.append(summary_row(NAME, f"add 4-bit {n}x{d} (s)", tk, tn, "s", add_ratio,
                               "numpy/kwivel time", GOAL_ADD, "numpy argsort x2"))

    indexes = {4: t["kwivel"].last}
    R = t["numpy"].last
    t["kwivel"].last = t["numpy"].last = None
    del t
    codes = {bits: bucket_codes(np, R, bits, d) for bits in SEARCH_BITS}
    del R

    t0 = time.perf_counter()
    for bits in SEARCH_BITS:
        if bits not in indexes:
            indexes[bits] = kw.RankQuant(d, bits)
            indexes[bits].add(X)
    t_setup = time.perf_counter() - t0
    for bits, index in sorted(indexes.items()):
        ok = len(index) == n and index.byte_size == n * index.bytes_per_vec
        checks[f"{bits}bit_len_and_byte_size"] = ok
        if not ok:
            say(f"   !! {bits}-bit index: len {len(index)}, byte_size {index.byte_size}, "
                f"expected {n} rows of {index.bytes_per_vec} bytes")

    # ---- search -----------------------------------------------------------------------------
    search_reps = 5
    peer = NumpyFloatSearch(np, X)
    say(f"   search: corpus ({n}, {d}), {nq} queries, k={k}; numpy scores {nq}x{n} float32 "
        f"({nq * n * 4 / 1e6:.0f} MB) per batch; best of up to {search_reps} interleaved reps "
        f"(2-bit index built untimed in {fmt_time(t_setup)})")
    fns = {}
    for bits in SEARCH_BITS:
        index = indexes[bits]
        index.search(queries[:2], k)            # warm-up
        fns[f"kwivel {bits}-bit"] = (lambda ix: lambda: ix.search(queries, k))(index)
    peer.search(queries[:2], k)
    fns["numpy"] = lambda: peer.search(queries, k)
    t = side_by_side(fns, reps=search_reps, budget_s=15.0 if ctx.quick else 35.0)
    qn = nq / t["numpy"].best
    truth_scores, truth_ids = t["numpy"].last
    say(f"   numpy float32 matmul + argpartition {fmt_num(qn):>8} q/s ({fmt_time(t['numpy'].best)}, "
        f"{t['numpy'].reps} reps)")

    sel = np.linspace(0, nq - 1, min(EXACT_QUERIES, nq)).astype(np.int64)
    q_ranks = numpy_double_argsort(np, queries[sel])
    kw_results = {}
    results["search"] = {"numpy": t["numpy"].as_dict(), "numpy_qps": qn}
    for bits in SEARCH_BITS:
        tm = t[f"kwivel {bits}-bit"]
        qk = nq / tm.best
        r = qk / qn
        kw_scores, kw_ids = tm.last
        kw_results[bits] = sort_best_first(np, kw_scores, kw_ids)
        rec = recall_at_k(np, kw_results[bits][1], truth_ids)
        ref = reference_scores(np, bucket_codes(np, q_ranks, bits, d), codes[bits], bits, d)
        ex = exactness(np, kw_scores[sel], kw_ids[sel], ref, k)
        del ref
        say(f"   kwivel {bits}-bit search {fmt_num(qk):>8} q/s ({fmt_time(tm.best)}, {tm.reps} reps)   "
            f"kwivel/numpy {fmt_num(r)} (goal {GOAL_SEARCH[0]} {GOAL_SEARCH[1]:g})   "
            f"recall@{k} vs exact float IP {rec:.4f}")
        say(f"   {'':<20} vs float64 reference on {len(sel)} queries: max |top-{k} score diff| "
            f"{ex['max_abs_score_diff']:.2e} (own ids {ex['max_abs_own_score_diff']:.2e}), "
            f"ids equal at {ex['distinct_ids_equal']}/{ex['distinct_positions']} distinct-score positions")
        results["search"][f"{bits}bit"] = {
            "kwivel": tm.as_dict(), "kwivel_qps": qk, "ratio_kwivel_over_numpy": r,
            "recall_at_k_vs_float_ip": rec, "exactness": ex,
        }
        checks[f"{bits}bit_scores_ok"] = max(ex["max_abs_score_diff"], ex["max_abs_own_score_diff"]) <= SCORE_TOL
        checks[f"{bits}bit_ids_ok"] = ex["distinct_ids_equal"] == ex["distinct_positions"]
        summary.append(summary_row(NAME, f"search {bits}-bit (q/s)", qk, qn, "q/s", r,
                                   "kwivel/numpy q/s", GOAL_SEARCH, "numpy float32 matmul"))
        summary.append(check_row(NAME, f"{bits}-bit max |top-{k} score diff| vs float64 ref",
                                 max(ex["max_abs_score_diff"], ex["max_abs_own_score_diff"]),
                                 ("<=", SCORE_TOL)))
        summary.append(check_row(NAME, f"{bits}-bit top-{k} ids == float64 ref (distinct scores)",
                                 ex["distinct_ids_fraction"], (">=", 1.0)))
    for tm in t.values():
        tm.last = None
    del t, codes, truth_scores
    results["exact_queries"] = sel

    # ---- faiss IndexScalarQuantizer, 4 bits -------------------------------------------------
    faiss, faiss_error = import_faiss()
    faiss_code_size = None
    if faiss is None:
        note(f"faiss is not importable ({faiss_error}): the faiss rows are skipped "
             f"(apt-get install python3-faiss)")
        results["faiss"] = {"skipped": faiss_error}
    else:
        threads = faiss.omp_get_max_threads()
        opts = getattr(faiss, "get_compile_options", lambda: "?")()
        say(f"   faiss {getattr(faiss, '__version__', '?')} ({opts.strip() or '?'}), "
            f"{threads} OpenMP thread(s): IndexScalarQuantizer(QT_4bit, inner product)")
        if "GENERIC" in opts.split() and _cpu_has("avx2"):
            note("this faiss is its generic build (no AVX2 kernels) although the CPU has AVX2")

        def faiss_build():
            ix = faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
            ix.train(X)
            ix.add(X)
            return ix

        faiss_build_small = faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_4bit,
                                                       faiss.METRIC_INNER_PRODUCT)
        faiss_build_small.train(X[:256])        # warm-up
        faiss_build_small.add(X[:256])
        del faiss_build_small
        tb = side_by_side({"kwivel": kwivel_add, "faiss": faiss_build}, reps=3,
                          budget_s=10.0 if ctx.quick else 20.0)
        fidx = tb["faiss"].last
        tb["kwivel"].last = None
        faiss_code_size = int(fidx.code_size)
        bk, bf = tb["kwivel"].best, tb["faiss"].best
        say(f"   build: kwivel add {fmt_time(bk)}, faiss train + add {fmt_time(bf)} "
            f"(best of {tb['faiss'].reps}); faiss/kwivel time {fmt_num(bf / bk)}")

        # The faiss scan is slow here: time a few queries first and repeat the
        # full batch only while another round fits in the group's budget.
        kidx = indexes[4]
        probe = queries[:min(16, nq)]
        t_probe, _ = _time(lambda: fidx.search(probe, k))
        round_s = t_probe * nq / len(probe) + nq / results["search"]["4bit"]["kwivel_qps"]
        left = group_budget - (time.perf_counter() - started)
        ts = side_by_side({"kwivel": lambda: kidx.search(queries, k),
                           "faiss": lambda: fidx.search(queries, k)},
                          reps=FAISS_MAX_REPS, budget_s=max(0.0, left - round_s))
        fk, ff = nq / ts["kwivel"].best, nq / ts["faiss"].best
        f_scores, f_ids = ts["faiss"].last
        rec_f = recall_at_k(np, f_ids, truth_ids)
        rec_k = results["search"]["4bit"]["recall_at_k_vs_float_ip"]
        rec_k2 = results["search"]["2bit"]["recall_at_k_vs_float_ip"]
        say(f"   search: kwivel 4-bit {fmt_num(fk)} q/s, faiss SQ4 {fmt_num(ff)} q/s "
            f"(best of {ts['faiss'].reps}: each faiss batch takes {fmt_time(ts['faiss'].best)}); "
            f"kwivel/faiss {fmt_num(fk / ff)}")
        say(f"   recall@{k} vs exact float inner-product top-{k}: kwivel 4-bit {rec_k:.4f}, "
            f"kwivel 2-bit {rec_k2:.4f}, faiss SQ4 {rec_f:.4f}")
        results["faiss"] = {
            "version": getattr(faiss, "__version__", None), "compile_options": opts,
            "omp_threads": threads, "code_size": faiss_code_size,
            "build": {"kwivel": tb["kwivel"].as_dict(), "faiss": tb["faiss"].as_dict()},
            "search": {"kwivel": ts["kwivel"].as_dict(), "faiss": ts["faiss"].as_dict(),
                       "kwivel_qps": fk, "faiss_qps": ff},
            "recall_at_k_vs_float_ip": {"kwivel_4bit": rec_k, "kwivel_2bit": rec_k2, "faiss_sq4": rec_f},
        }
        summary.append(summary_row(NAME, "4-bit build vs faiss SQ4 train+add (s)", bk, bf, "s",
                                   bf / bk, "faiss/kwivel time", None, "faiss SQ4"))
        summary.append(summary_row(NAME, "4-bit search vs faiss SQ4 (q/s)", fk, ff, "q/s",
                                   fk / ff, "kwivel/faiss q/s", None, "faiss SQ4"))
        summary.append(summary_row(NAME, f"recall@{k} vs float IP: 4-bit vs faiss SQ4", rec_k, rec_f, "",
                                   ratio(rec_k, rec_f), "kwivel/faiss recall", None, "faiss SQ4"))
        summary.append(summary_row(NAME, f"recall@{k} vs float IP: 2-bit vs faiss SQ4", rec_k2, rec_f, "",
                                   ratio(rec_k2, rec_f), "kwivel/faiss recall", None, "faiss SQ4"))
        for tm in list(tb.values()) + list(ts.values()):
            tm.last = None
        del fidx, tb, ts, f_scores, f_ids

    # ---- memory per vector ------------------------------------------------------------------
    float_bytes = d * 4
    rows = []
    mem = {"float32": float_bytes, "faiss_sq4_code_size": faiss_code_size}
    for bits in MEMORY_BITS:
        bpv = kw.RankQuant(d, bits).bytes_per_vec
        mem[f"kwivel_{bits}bit"] = bpv
        checks[f"{bits}bit_bytes_per_vec"] = bpv == d * bits // 8
        rows.append([f"kwivel {bits}-bit", str(bpv), fmt_num(float_bytes / bpv),
                     f"{n * bpv / 1e6:.1f} MB"])
        summary.append(summary_row(NAME, f"bytes/vector {bits}-bit vs float32", bpv, float_bytes, "B",
                                   float_bytes / bpv, "float32/kwivel bytes", None, "float32"))
    rows.append(["float32", str(float_bytes), "1", f"{n * float_bytes / 1e6:.1f} MB"])
    if faiss_code_size:
        rows.append(["faiss SQ4 code", str(faiss_code_size), fmt_num(float_bytes / faiss_code_size),
                     f"{n * faiss_code_size / 1e6:.1f} MB"])
        summary.append(summary_row(NAME, "bytes/vector 4-bit vs faiss SQ4 code", mem["kwivel_4bit"],
                                   faiss_code_size, "B", faiss_code_size / mem["kwivel_4bit"],
                                   "faiss/kwivel bytes", None, "faiss SQ4"))
    say(f"   memory per vector (d={d}):")
    table(rows, ["storage", "bytes/vector", "x smaller than float32", f"{n} rows"])
    results["memory_bytes_per_vector"] = mem

    if not all(checks.values()):
        say("   !! a check FAILED: " + ", ".join(name for name, ok in checks.items() if not ok))

    return {
        "params": {"rows": n, "dim": d, "queries": nq, "k": k, "seed": SEED,
                   "exact_queries": len(sel), "group_budget_s": group_budget},
        "results": results,
        "checks": checks,
        "summary": summary,
    }


def _cpu_has(flag):
    try:
        with open("/proc/cpuinfo") as f:
            return any(line.startswith("flags") and flag in line.split() for line in f)
    except OSError:
        return False


def _time(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out
