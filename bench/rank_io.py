"""rank_io: Rank.write / Rank.load throughput versus numpy's raw file I/O.

A Rank of (1000000, 768) (about 1.5 GB of uint16 ranks) is built once, in
chunks, then

  write: Rank.write(path)              vs  ndarray.tofile + fsync of the same bytes
  load:  Rank.load(path)               vs  np.fromfile(path, dtype=np.uint8)

Rank.write replaces the file atomically and fsyncs it, so its peer fsyncs
too; everything is flushed (os.sync, untimed) before each write.  Loads run
with the page cache warm (the file is read once first), so they measure the
parsing/validation/copy path, not the disk.  The files live in a temporary
folder under build/bench-tmp on the repository's disk, removed afterwards.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import time

from harness import (Context, Skip, check_row, fmt_num, fmt_time, mem_available_bytes, note,
                     say, side_by_side, summary_row)

NAME = "rank_io"
TITLE = "rank_io: Rank.write / Rank.load vs numpy tofile / fromfile"
PEER = "np.fromfile (load), ndarray.tofile + fsync (write)"

DIM = 768
ROWS, ROWS_QUICK = 1_000_000, 100_000
MIN_ROWS = 10_000
CHUNK = 50_000
SEED = 99
GOAL_LOAD = (">=", 0.5)     # Rank.load GB/s / np.fromfile GB/s
MARGIN = 512 << 20          # bytes kept free on disk and in memory


def fit_rows(n: int, d: int, ctx: Context, tmp_parent) -> int:
    """Shrinks n (with a printed note) to what the disk and memory allow."""
    row_bytes = 2 * d
    free = shutil.disk_usage(tmp_parent).free
    # Rank file and the peer's file of the same size.
    disk_rows = max(0, (free - MARGIN) // (2 * row_bytes))
    if disk_rows < n:
        note(f"only {free / 1e9:.1f} GB free under {tmp_parent}: {n} rows shrink to {disk_rows}")
        n = disk_rows
    avail = mem_available_bytes()
    if avail is not None:
        # The index, a loaded copy and a fromfile array at once, plus the input chunk.
        mem_rows = max(0, (avail - MARGIN - CHUNK * d * 4) // (3 * row_bytes))
        if mem_rows < n:
            note(f"only {avail / 1e9:.1f} GB of memory available: {n} rows shrink to {mem_rows}")
            n = mem_rows
    n = (n // 1000) * 1000
    if n < MIN_ROWS:
        raise Skip(f"not enough disk or memory for even {MIN_ROWS} rows")
    return n


def run(ctx: Context) -> dict:
    kw = ctx.require("Rank")
    np = ctx.np
    d = DIM
    n = ROWS_QUICK if ctx.quick else ROWS
    if not ctx.has("Rank.write"):
        raise Skip("Rank.write is not available in this build (nothing to load either)")
    has_load = ctx.has("Rank.load")

    tmp_parent = ctx.root / "build" / "bench-tmp"
    created_parent = not tmp_parent.exists()
    tmp_parent.mkdir(parents=True, exist_ok=True)
    tmpdir = None
    try:
        n = fit_rows(n, d, ctx, tmp_parent)
        tmpdir = tempfile.mkdtemp(prefix="rank_io-", dir=tmp_parent)
        return _run(ctx, kw, np, n, d, tmpdir, has_load)
    finally:
        if tmpdir is not None:
            shutil.rmtree(tmpdir, ignore_errors=True)
        if created_parent:
            try:
                tmp_parent.rmdir()
            except OSError:
                pass


def _run(ctx, kw, np, n, d, tmpdir, has_load) -> dict:
    reps = 3
    budget = 20.0 if ctx.quick else 60.0
    path_kw = os.path.join(tmpdir, "rank.kwr")
    path_np = os.path.join(tmpdir, "peer.bin")

    # ---- build ------------------------------------------------------------------------
    # One random chunk added over and over: file I/O does not care what the
    # ranks are, and this keeps the build cheap.
    rng = np.random.default_rng(SEED)
    chunk = rng.standard_normal((min(CHUNK, n), d), dtype=np.float32)
    t0 = time.perf_counter()
    index = kw.Rank(d)
    added = 0
    while added < n:
        m = min(len(chunk), n - added)
        index.add(chunk[:m])
        added += m
    t_build = time.perf_counter() - t0
    say(f"   built Rank ({n}, {d}) in {fmt_time(t_build)} ({fmt_num(n / t_build)} rows/s, "
        f"chunks of {len(chunk)})")

    try:
        index.write(path_kw)                          # first write, untimed: gives the size
    except AttributeError as e:
        raise Skip(f"Rank.write is not usable in this build ({e})")
    size = os.path.getsize(path_kw)
    say(f"   file {size / 1e9:.3f} GB in {tmpdir}")

    # ---- write -------------------------------------------------------------------------
    payload = np.fromfile(path_kw, dtype=np.uint8)    # the same bytes, for the peer

    def peer_write():
        with open(path_np, "wb") as f:
            payload.tofile(f)
            f.flush()
            os.fsync(f.fileno())

    tw = side_by_side({"kwivel": lambda: index.write(path_kw), "numpy": peer_write},
                      reps=reps, budget_s=budget, keep=False, before=lambda _: os.sync())
    os.remove(path_np)
    del payload
    w_kw, w_np = size / tw["kwivel"].best / 1e9, size / tw["numpy"].best / 1e9
    say(f"   write  kwivel Rank.write {fmt_num(w_kw):>7} GB/s ({fmt_time(tw['kwivel'].best)})"
        f"   numpy tofile+fsync {fmt_num(w_np):>7} GB/s ({fmt_time(tw['numpy'].best)})"
        f"   ratio {fmt_num(w_kw / w_np)}")
    summary = [summary_row(NAME, f"write {size / 1e9:.2f} GB (GB/s)", w_kw, w_np, "GB/s", w_kw / w_np,
                           "kwivel/numpy GB/s", None, "numpy tofile+fsync")]
    results = {"size_bytes": size, "build_s": t_build,
               "write": {"kwivel": tw["kwivel"].as_dict(), "numpy_tofile_fsync": tw["numpy"].as_dict(),
                         "kwivel_gbs": w_kw, "numpy_gbs": w_np}}
    checks = {}

    # ---- load --------------------------------------------------------------------------
    if not has_load:
        note("Rank.load is not available in this build: the load comparison is skipped")
    else:
        os.sync()
        np.fromfile(path_kw, dtype=np.uint8)          # page cache warm
        try:
            tl = side_by_side({"kwivel": lambda: kw.Rank.load(path_kw),
                               "numpy": lambda: np.fromfile(path_kw, dtype=np.uint8)},
                              reps=reps + 2, budget_s=budget, keep=False)
        except AttributeError as e:
            tl = None
            note(f"Rank.load is not usable in this build ({e}): the load comparison is skipped")
        if tl is not None:
            l_kw, l_np = size / tl["kwivel"].best / 1e9, size / tl["numpy"].best / 1e9
            r = l_kw / l_np
            say(f"   load   kwivel Rank.load  {fmt_num(l_kw):>7} GB/s ({fmt_time(tl['kwivel'].best)})"
                f"   numpy fromfile     {fmt_num(l_np):>7} GB/s ({fmt_time(tl['numpy'].best)})"
                f"   ratio {fmt_num(r)} (goal {GOAL_LOAD[0]} {GOAL_LOAD[1]:g})")
            summary.append(summary_row(NAME, f"load {size / 1e9:.2f} GB (GB/s)", l_kw, l_np, "GB/s", r,
                                       "kwivel/numpy GB/s", GOAL_LOAD, "np.fromfile"))
            results["load"] = {"kwivel": tl["kwivel"].as_dict(), "numpy_fromfile": tl["numpy"].as_dict(),
                               "kwivel_gbs": l_kw, "numpy_gbs": l_np, "ratio_load_over_fromfile": r}

            # Round trip: the loaded index matches the written one.
            loaded = kw.Rank.load(path_kw)
            checks["len_matches"] = len(loaded) == len(index)
            checks["dim_matches"] = getattr(loaded, "dim", d) == getattr(index, "dim", d)
            if hasattr(index, "byte_size"):
                checks["byte_size_matches"] = loaded.byte_size == index.byte_size
            if hasattr(index, "search"):
                q = chunk[:2]
                a, b = index.search(q, 3), loaded.search(q, 3)
                checks["search_matches"] = bool(np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1]))
            del loaded
            ok = all(checks.values())
            say(f"   check: loaded index matches the written one: {ok} {checks}")
            summary.append(check_row(NAME, "load round trip matches (1 = yes)", 1.0 if ok else 0.0,
                                     (">=", 1.0)))

    return {
        "params": {"rows": n, "dim": d, "chunk": len(chunk), "max_reps": reps},
        "results": results,
        "checks": checks,
        "summary": summary,
    }
