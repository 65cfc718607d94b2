"""collection: filtered search, open and delete of a kwivel.Collection, each beside its own baseline.

Filtered search (real data: the sentence vectors of bench/realdata.py, found
as bench/partitioned.py finds them; --quick: the first 50,000 rows and 200
queries): one Collection (default cells, nprobe, m, rescoring), 1000 queries,
k = 10, searched unfiltered and with allow-lists keeping a seeded 10% and
0.1% of the ids.  Recall@10 of each is against numpy's exact cosine top-10 of
the rows its filter passes.  Goals: 10% q/s >= 0.8x unfiltered, 0.1% >= 0.5x,
and each filtered recall >= the unfiltered recall.

Open and delete (seeded Gaussian rows, (1000000, 768) by default,
KWIVEL_BENCH_COLLECTION_ROWS rows if set, 100,000 with --quick; written to a
memory-mapped .npy under build/bench-tmp):
  * Collection.open beside the loads of its stage files (Bitmap.load,
    RankQuant.load, np.load of the ids, centroids and starts, the float rows
    memory-mapped), interleaved, best of the reps: goal open / loads <= 1.2;
  * delete 1% of the ids then search 1000 queries, beside the search alone
    on the same collection before the delete: goal <= 1.1.
"""

from __future__ import annotations

import glob
import os
import shutil
import tempfile
import time

from harness import Context, Skip, fmt_num, fmt_time, mem_available_bytes, note, say, side_by_side, \
    summary_row, table

NAME = "collection"
TITLE = "collection: filtered search, open and delete of a kwivel.Collection"
PEER = "the same collection unfiltered / its stage-file loads / search alone"

K = 10
QUERIES, QUICK_QUERIES = 1000, 200
REAL_QUICK_ROWS = 50_000
ROWS, QUICK_ROWS, DIM = 1_000_000, 100_000, 768
FILTERS = (0.10, 0.001)
GOAL_QPS = {0.10: (">=", 0.8), 0.001: (">=", 0.5)}
GOAL_OPEN = ("<=", 1.2)
GOAL_DELETE = ("<=", 1.1)
SEED = 11
BLOCK = 50_000


def _filtered(ctx: Context, kw, summary: list, results: dict, tmp: str) -> None:
    from partitioned import data_dir
    from kwivel.evaluate import exact_cosine_topk, recall
    np = ctx.np
    d = data_dir(ctx)
    corpus = np.load(os.path.join(d, "corpus.npy"), mmap_mode="r")
    queries = np.load(os.path.join(d, "queries.npy"))
    if ctx.quick:
        corpus, queries = corpus[:REAL_QUICK_ROWS], queries[:QUICK_QUERIES]
    else:
        queries = queries[:QUERIES]
    n = len(corpus)
    t0 = time.perf_counter()
    col = kw.Collection.build(corpus, os.path.join(tmp, "real"))
    say(f"   {d}: {n} x {corpus.shape[1]}, {len(queries)} queries, k = {K}; "
        f"built in {fmt_time(time.perf_counter() - t0)}: {col!r}")
    rng = np.random.default_rng(SEED)
    cases = {"unfiltered": None}
    for f in FILTERS:
        cases[f"{f:.1%} of ids"] = np.sort(rng.choice(n, max(K, int(round(f * n))), replace=False))
    truths = {}
    for name, keep in cases.items():
        rows = np.arange(n) if keep is None else keep
        truth, _ = exact_cosine_topk(np.asarray(corpus[rows]), queries, K)
        truths[name] = rows[truth]           # ids are row positions here
    timings = side_by_side({name: (lambda keep=keep: col.search(queries, K, keep))
                            for name, keep in cases.items()}, reps=2 if ctx.quick else 3, budget_s=300.0)
    rows_out, base = [], None
    for (name, keep), f in zip(cases.items(), (None,) + FILTERS):
        t = timings[name].best
        rc = recall(timings[name].last[1], truths[name], K)
        outside = 0 if keep is None else int((~np.isin(timings[name].last[1], keep)).sum())
        if base is None:
            base = (t, rc)
        rows_out.append([name, fmt_time(t), fmt_num(len(queries) / t), fmt_num(base[0] / t), f"{rc:.4f}",
                         str(outside)])
        results[name] = {"seconds": t, "recall": rc, "outside_filter": outside}
        if f is not None:
            summary.append(summary_row(NAME, f"q/s filtered to {f:.1%} vs unfiltered ({n} rows)",
                                       len(queries) / t, len(queries) / base[0], "q/s", base[0] / t,
                                       "filtered/unfiltered q/s", goal=GOAL_QPS[f], peer_name="unfiltered"))
            summary.append(summary_row(NAME, f"recall@10 filtered to {f:.1%} vs unfiltered recall",
                                       rc, base[1], "", rc - base[1], "filtered - unfiltered recall",
                                       goal=(">=", 0.0), peer_name="unfiltered"))
    table(rows_out, ["search", "best time", "queries/s", "vs unfiltered", "recall@10",
                     "hits outside the filter"])


def _stage_loads(kw, np, directory: str):
    """Loads every stage file of every segment of the collection, as the segments hold them."""
    out = []
    for seg in sorted(glob.glob(os.path.join(directory, "seg-*"))):
        for path in sorted(glob.glob(os.path.join(seg, "*"))):
            if path.endswith(".kwbm"):
                out.append(kw.Bitmap.load(path))
            elif path.endswith(".kwsb"):
                out.append(kw.SignBitmap.load(path))
            elif path.endswith(".kwrq"):
                out.append(kw.RankQuant.load(path))
            elif path.endswith(".vectors.npy"):
                out.append(np.load(path, mmap_mode="r"))
            elif path.endswith(".npy"):
                out.append(np.load(path))
    return out


def _open_delete(ctx: Context, kw, summary: list, results: dict, tmp: str) -> None:
    np = ctx.np
    n = int(os.environ.get("KWIVEL_BENCH_COLLECTION_ROWS", QUICK_ROWS if ctx.quick else ROWS))
    per_row = 4 * DIM * 3 + DIM     # the .npy, the collection's float rows, build copies, stages
    avail = mem_available_bytes()
    if avail is not None and avail < n * per_row:
        n = max(10_000, avail // per_row // 1000 * 1000)
        note(f"only {avail / 1e9:.1f} GB of memory available: rows shrink to {n}")
    rng = np.random.default_rng(SEED)
    path = os.path.join(tmp, "gauss.npy")
    x = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(n, DIM))
    for a in range(0, n, BLOCK):
        x[a:a + BLOCK] = rng.standard_normal((min(BLOCK, n - a), DIM), dtype=np.float32)
    x.flush()
    del x
    x = np.load(path, mmap_mode="r")
    queries = rng.standard_normal((QUICK_QUERIES if ctx.quick else QUERIES, DIM), dtype=np.float32)
    directory = os.path.join(tmp, "gauss")
    t0 = time.perf_counter()
    col = kw.Collection.build(x, directory)
    say(f"   Gaussian {n} x {DIM}: built in {fmt_time(time.perf_counter() - t0)}: {col!r}")

    t = side_by_side({"stage loads": lambda: _stage_loads(kw, np, directory),
                      "Collection.open": lambda: kw.Collection.open(directory)},
                     reps=3, budget_s=300.0, keep=False)
    t_loads, t_open = t["stage loads"].best, t["Collection.open"].best

    col = kw.Collection.open(directory)
    t_search = side_by_side({"search": lambda: col.search(queries, K)}, reps=3, budget_s=120.0,
                            keep=False)["search"].best
    gone = rng.choice(n, n // 100, replace=False)
    t0 = time.perf_counter()
    col.delete(gone)
    t_delete = time.perf_counter() - t0
    t_after = side_by_side({"search": lambda: col.search(queries, K)}, reps=3, budget_s=120.0,
                           keep=True)["search"]
    leaked = int(np.isin(t_after.last[1], gone).sum())
    t_after = t_after.best
    table([["stage-file loads", fmt_time(t_loads), "-"],
           ["Collection.open", fmt_time(t_open), fmt_num(t_open / t_loads)],
           [f"search {len(queries)} queries", fmt_time(t_search), "-"],
           [f"delete {len(gone)} ids (1%)", fmt_time(t_delete), "-"],
           ["search after the delete", fmt_time(t_after), fmt_num(t_after / t_search)],
           ["delete + search", fmt_time(t_delete + t_after), fmt_num((t_delete + t_after) / t_search)]],
          ["step", "best time", "ratio"])
    say(f"   deleted ids returned after the delete: {leaked}")
    results.update({"rows": n, "open_s": t_open, "stage_loads_s": t_loads, "search_s": t_search,
                    "delete_s": t_delete, "search_after_delete_s": t_after, "deleted_returned": leaked})
    summary.append(summary_row(NAME, f"Collection.open vs its stage loads ({n}x{DIM})", t_open, t_loads,
                               "s", t_open / t_loads, "open/loads time", goal=GOAL_OPEN,
                               peer_name="stage-file loads"))
    summary.append(summary_row(NAME, f"delete 1% + search vs search alone ({n}x{DIM})",
                               t_delete + t_after, t_search, "s", (t_delete + t_after) / t_search,
                               "(delete+search)/search time", goal=GOAL_DELETE, peer_name="search alone"))


def run(ctx: Context) -> dict:
    kw = ctx.require("Collection")
    parent = ctx.root / "build" / "bench-tmp"
    parent.mkdir(parents=True, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="collection-", dir=str(parent))
    results: dict = {"filtered": {}, "open_delete": {}}
    summary: list = []
    try:
        try:
            _filtered(ctx, kw, summary, results["filtered"], tmp)
        except Skip as exc:
            note(f"filtered search skipped: {exc}")
        _open_delete(ctx, kw, summary, results["open_delete"], tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    results["summary"] = summary
    return results
