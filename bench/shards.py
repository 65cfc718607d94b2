"""shards: a sharded RankQuant searched on a Dask LocalCluster versus one in-process index.

A (1000000, 768) float32 corpus is written to a memory-mapped .npy (seeded
normal values, in blocks), then

  one index:  RankQuant(768, 4) holding every row, searched in this process
  sharded:    the same rows as 4 shards (kwivel.build_sharded from the .npy),
              searched on a LocalCluster of 2 worker processes (loopback),
              each worker keeping its 2 shards loaded between searches

with 1000 queries and k = 10.  The two are timed interleaved, best of the
reps; the goal is sharded / one-index time <= 1.25.  The sharded answer must
equal the one-index answer bit for bit.  Each worker's kwivel pool gets
usable CPUs / workers threads (KWIVEL_NUM_THREADS), so the cluster uses the
same cores as the in-process search, no more.

Also reported: the bytes sent per query batch (queries to every worker) and
received (one (nq, k) part per worker), the first distributed search (which
loads the shards on the workers), worker memory, and one shard searched
alone in process: the per-shard figures that bench/README.md scales up to
1 billion vectors.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import time

from harness import (Context, Skip, check_row, fmt_num, fmt_time, mem_available_bytes, note,
                     say, side_by_side, summary_row, table)

NAME = "shards"
TITLE = "shards: RankQuant 4-bit, 4 shards on a 2-worker Dask LocalCluster vs one index"
PEER = "one in-process RankQuant index"

DIM, BITS, K = 768, 4, 10
ROWS, ROWS_QUICK = 1_000_000, 100_000
QUERIES, QUERIES_QUICK = 1000, 1000
SHARDS, WORKERS = 4, 2
BLOCK = 50_000
SEED = 2024
GOAL = ("<=", 1.25)         # sharded time / one-index time
MARGIN = 1 << 30


def _rss_bytes() -> int:
    """Resident memory of the calling process (runs on the workers too)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def fit_rows(n: int, tmp_parent: str) -> int:
    per_row = 4 * DIM + 2 * (DIM * BITS // 8)   # the .npy on disk; two index copies in memory
    free = shutil.disk_usage(tmp_parent).free
    if (free - MARGIN) // (4 * DIM + DIM * BITS // 8) < n:
        n = max(0, (free - MARGIN) // (4 * DIM + DIM * BITS // 8))
        note(f"only {free / 1e9:.1f} GB free under {tmp_parent}: rows shrink to {n}")
    avail = mem_available_bytes()
    if avail is not None and (avail - MARGIN) // per_row < n:
        n = max(0, (avail - MARGIN) // per_row)
        note(f"only {avail / 1e9:.1f} GB of memory available: rows shrink to {n}")
    n = n // 1000 * 1000
    if n < 10_000:
        raise Skip("not enough disk or memory")
    return n


def run(ctx: Context) -> dict:
    kw = ctx.require("RankQuant", "shards")
    np = ctx.np
    try:
        import distributed
    except ImportError:
        raise Skip("Dask's distributed is not installed (python3-distributed)")
    from kwivel.shards import build_sharded, search_index

    parent = ctx.root / "build" / "bench-tmp"
    parent.mkdir(parents=True, exist_ok=True)
    n = fit_rows(ROWS_QUICK if ctx.quick else ROWS, str(parent))
    nq = QUERIES_QUICK if ctx.quick else QUERIES
    usable = len(os.sched_getaffinity(0))
    per_worker = max(1, usable // WORKERS)
    results: dict = {"rows": n, "dim": DIM, "bits": BITS, "shards": SHARDS, "workers": WORKERS,
                     "queries": nq, "k": K, "worker_threads": per_worker}
    summary = []
    tmp = tempfile.mkdtemp(prefix="shards-", dir=str(parent))
    cluster = client = None
    try:
        rng = np.random.default_rng(SEED)
        path = os.path.join(tmp, "corpus.npy")
        corpus = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(n, DIM))
        for a in range(0, n, BLOCK):
            corpus[a:a + BLOCK] = rng.standard_normal((min(BLOCK, n - a), DIM), dtype=np.float32)
        corpus.flush()
        del corpus
        corpus = np.load(path, mmap_mode="r")
        queries = rng.standard_normal((nq, DIM), dtype=np.float32)

        t0 = time.perf_counter()
        one = kw.RankQuant(DIM, BITS)
        for a in range(0, n, BLOCK):
            one.add(np.ascontiguousarray(corpus[a:a + BLOCK]))
        t_one_build = time.perf_counter() - t0
        t0 = time.perf_counter()
        sharded = build_sharded(corpus, os.path.join(tmp, "index"), "rankquant", shards=SHARDS, bits=BITS)
        t_sharded_build = time.perf_counter() - t0
        shard_bytes = [s.size for s in sharded.shards]
        asym = hasattr(one, "search_asymmetric")
        mode = "search_asymmetric" if asym else "search"
        if not asym:
            note("RankQuant.search_asymmetric is not in this build: timing the symmetric search")
        say(f"   {n} x {DIM}, {BITS}-bit, {SHARDS} shards of {sharded.shards[0].count} rows "
            f"({shard_bytes[0] / 1e6:.0f} MB each); {nq} queries, k = {K}, {mode}")
        say(f"   builds: one index {fmt_time(t_one_build)}, sharded (add + write + checksum) "
            f"{fmt_time(t_sharded_build)}")

        # One shard alone, in process: the per-shard cost the paper estimate scales.
        shard0 = sharded.load_shard(0)
        t_shard = min(side_by_side({"shard": lambda: search_index(shard0, queries, K, asym)},
                                   reps=3, budget_s=30.0)["shard"].times)
        rows0 = sharded.shards[0].count
        shard0 = None
        sharded._loaded.clear()

        env = {"KWIVEL_NUM_THREADS": str(per_worker)}
        cluster = distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None,
                                           worker_dashboard_address="127.0.0.1:0",
                                           scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                           silence_logs=40, env=env)
        client = distributed.Client(cluster)
        t0 = time.perf_counter()
        first = sharded.search(queries, K, asym, client=client)
        t_first = time.perf_counter() - t0
        want = search_index(one, queries, K, asym)
        same = bool(np.array_equal(first[1], want[1]) and
                    np.array_equal(first[0].view(np.uint32), want[0].view(np.uint32)))
        transfer = dict(sharded.last_transfer)
        worker_rss = client.run(_rss_bytes)

        timings = side_by_side({
            "one index": lambda: search_index(one, queries, K, asym),
            "sharded": lambda: sharded.search(queries, K, asym, client=client),
        }, reps=2 if ctx.quick else 3, budget_s=120.0 if ctx.quick else 400.0, keep=False)
        t_one, t_sh = timings["one index"].best, timings["sharded"].best
        r = t_sh / t_one

        rows = [
            ["one index, in process", fmt_time(t_one), fmt_num(nq / t_one), "-"],
            [f"{SHARDS} shards on {WORKERS} Dask workers", fmt_time(t_sh), fmt_num(nq / t_sh),
             fmt_num(r)],
            ["  first search (loads the shards)", fmt_time(t_first), fmt_num(nq / t_first), "-"],
            [f"one shard ({rows0} rows) in process", fmt_time(t_shard), fmt_num(nq / t_shard), "-"],
        ]
        table(rows, ["search of the batch", "best time", "queries/s", "vs one index"])
        say(f"   bytes per batch: {transfer['queries_bytes_sent']:,} sent (queries to each of "
            f"{transfer['workers']} workers), {transfer['result_bytes_received']:,} received "
            f"(one ({nq}, {K}) part per worker)")
        say("   worker memory (RSS): " + ", ".join(f"{v / 1e6:.0f} MB" for v in worker_rss.values())
            + f"; shard files {sum(shard_bytes) / 1e6:.0f} MB in all")
        scan_rate = rows0 * nq / t_shard / usable   # query-vector scores per second per core
        say(f"   per core: {scan_rate / 1e6:.0f} million query-vector scores per second "
            f"({usable} cores)")

        results.update({
            "mode": mode, "one_index_build_s": t_one_build, "sharded_build_s": t_sharded_build,
            "one_index_search": timings["one index"].as_dict(), "sharded_search": timings["sharded"].as_dict(),
            "first_distributed_search_s": t_first, "one_shard_search_s": t_shard, "one_shard_rows": rows0,
            "shard_file_bytes": shard_bytes, "bytes_per_batch": transfer,
            "worker_rss_bytes": list(worker_rss.values()), "scores_per_core_second": scan_rate,
            "usable_cpus": usable, "identical_to_one_index": same,
        })
        summary.append(summary_row(NAME, f"{mode} {n}x{DIM} {BITS}-bit, {SHARDS} shards / {WORKERS} "
                                   f"workers vs one index (s)", t_sh, t_one, "s", r,
                                   "sharded/one time", goal=GOAL, peer_name=PEER))
        summary.append(check_row(NAME, "sharded result == one-index result", float(same), (">=", 1)))
        sent = transfer["queries_bytes_sent"] + transfer["result_bytes_received"]
        summary.append(summary_row(NAME, f"bytes over the network per batch of {nq}", sent, None, "B",
                                   None, "info"))
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
        shutil.rmtree(tmp, ignore_errors=True)
    results["summary"] = summary
    return results
