"""The evaluation harness behind ``kwivel eval`` and ``kwivel demo``.

:func:`run_eval` builds every index kind and the two-stage pipeline over one
corpus, runs the queries through each and returns one :class:`Row` per
method: recall@k against two ground truths (the exact cosine top-k, computed
here with numpy, and the exact Spearman top-k, ``Rank.search``), queries per
second (best of two runs: the machine may be busy), resident bytes per
vector and build seconds.  hnswlib joins when installed.
:func:`format_table` and :func:`plot_rows` present the rows;
:func:`fashion_mnist_768` reads the demo's data set.  Bad input raises
:class:`~kwivel._console.CliError`, as everywhere under the command.
"""

from __future__ import annotations

import gzip
import math
import os
import struct
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ._console import CliError, atomic_output, build_index, chunks, new_index, progress, reason, say, \
    search_index
from .pipeline import Pipeline, _default_threads

__all__ = ["Row", "run_eval", "exact_cosine_topk", "recall", "format_table", "plot_rows",
           "fashion_mnist_768", "FASHION_MNIST_DIR", "DEMO_DIM", "DEMO_SEED", "CliError", "build_index"]

FASHION_MNIST_DIR = "/usr/share/datasets/fashion-mnist"
DEMO_DIM = 768
DEMO_SEED = 0


def exact_cosine_topk(corpus: np.ndarray, queries: np.ndarray, k: int) -> Tuple[np.ndarray, float]:
    """Ids (nq, k) of the exact cosine top-k, corpus read in blocks; and the seconds taken."""
    t0 = time.perf_counter()
    q = np.asarray(queries, dtype=np.float32)
    qn = q / np.maximum(np.linalg.norm(q, axis=1, keepdims=True), 1e-30)
    n, dim = corpus.shape
    nq = len(q)
    best_s = np.full((nq, 0), -np.inf, dtype=np.float32)
    best_i = np.zeros((nq, 0), dtype=np.int64)
    with progress(n, "exact cosine") as bar:
        for a, b in chunks(n, dim):
            x = np.asarray(corpus[a:b], dtype=np.float32)
            x = x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-30)
            s = qn @ x.T
            kk = min(k, b - a)
            part = np.argpartition(-s, kk - 1, axis=1)[:, :kk] if kk < b - a else \
                np.broadcast_to(np.arange(b - a), (nq, b - a))
            cand_s = np.concatenate([best_s, np.take_along_axis(s, part, axis=1)], axis=1)
            cand_i = np.concatenate([best_i, part + a], axis=1)
            order = np.argsort(-cand_s, axis=1, kind="stable")[:, :k]
            best_s = np.take_along_axis(cand_s, order, axis=1)
            best_i = np.take_along_axis(cand_i, order, axis=1)
            bar.update(b - a)
    return best_i, time.perf_counter() - t0


def recall(ids: np.ndarray, truth: np.ndarray, k: int) -> float:
    """Mean fraction of the true top-k found in the first k returned ids."""
    if len(truth) == 0 or k == 0:
        return float("nan")
    hits = sum(len(set(a[:k].tolist()) & set(t[:k].tolist())) for a, t in zip(ids, truth))
    return hits / (len(truth) * min(k, truth.shape[1]))


class Row(dict):
    """One line of the eval table."""


def _timed(fn: Callable[[], Any], reps: int = 2) -> Tuple[float, Any]:
    """Best wall time of `reps` runs (the machine may be busy), and the last result."""
    best, out = math.inf, None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def run_eval(corpus: np.ndarray, queries: np.ndarray, *, k: int, ms: Sequence[int],
             rescore: int, bits_list: Sequence[int], probes: Sequence[str],
             n_top: Optional[int], hnsw_efs: Sequence[int], corpus_name: str,
             threads: Optional[int] = None, partitions: Sequence[int] = (),
             nprobes: Sequence[int] = ()) -> List[Row]:
    """Builds every index, runs every search; returns the table rows.

    ``partitions``: cell counts of PartitionedIndex builds (0: its default), each
    searched with every ``nprobes`` and ``ms`` (the first probe kind and bit width)."""
    n, dim = corpus.shape
    nq = len(queries)
    q32 = np.ascontiguousarray(queries, dtype=np.float32)
    rows: List[Row] = []

    def add_row(method: str, ids: np.ndarray, seconds: float, bpv: float, build: Optional[float],
                group: str, m: Optional[int] = None, note: str = "") -> None:
        rows.append(Row(method=method, group=group, m=m, recall_cos=recall(ids, gt_cos, k),
                        recall_sp=recall(ids, gt_sp, k), qps=nq / max(seconds, 1e-9),
                        bytes_per_vec=bpv, build_s=build, note=note))

    # Refuse a width or parameter an index will not take before the long part.
    for bits in bits_list:
        new_index("rankquant", dim, bits, None, corpus_name)
    for probe_kind in probes:
        new_index(probe_kind, dim, 4, n_top, corpus_name)
    say(f"corpus {corpus_name}: {n} x {dim}, {nq} queries, k = {k}")
    gt_cos, t_exact = exact_cosine_topk(corpus, q32, k)
    rank, t_rank = build_index("rank", corpus, corpus_name)
    t_sp, (_, gt_sp) = _timed(lambda: rank.search(q32, k))
    add_row("exact cosine (numpy float32)", gt_cos, t_exact, 4 * dim, 0.0, "full")
    add_row("Rank.search (exact Spearman)", gt_sp, t_sp, rank.bytes_per_vec, t_rank, "full")
    t, (_, ids) = _timed(lambda: rank.search_asymmetric(q32, k))
    add_row("Rank.search_asymmetric", ids, t, rank.bytes_per_vec, t_rank, "full")
    del rank

    rqs: Dict[int, Tuple[Any, float]] = {}
    for bits in bits_list:
        rq, t_build = build_index("rankquant", corpus, corpus_name, bits=bits)
        rqs[bits] = (rq, t_build)
        t, (_, ids) = _timed(lambda: rq.search_asymmetric(q32, k))
        add_row(f"RankQuant({bits}).search_asymmetric", ids, t, rq.bytes_per_vec, t_build, "full")
        t, (_, ids) = _timed(lambda: rq.search(q32, k))
        add_row(f"RankQuant({bits}).search", ids, t, rq.bytes_per_vec, t_build, "full")

    for probe_kind in probes:
        probe, t_probe = build_index(probe_kind, corpus, corpus_name, n_top=n_top)
        label = "Bitmap" if probe_kind == "bitmap" else "SignBitmap"
        t, (_, ids) = _timed(lambda: search_index(probe, q32, k, False, corpus_name))
        add_row(f"{label} full scan", ids, t, probe.bytes_per_vec, t_probe, "full")
        for bits, (rq, t_rq) in rqs.items():
            with Pipeline(probe, rq, vectors=corpus, threads=threads) as pipe:
                for r in ([None, rescore] if rescore else [None]):
                    group = f"{label} + RankQuant({bits})" + (f" + rescore {r}" if r else "")
                    for m in ms:
                        t, (_, ids) = _timed(lambda: pipe.search(q32, k, m, rescore=r))
                        add_row(f"{group}, m={m}", ids, t, pipe.bytes_per_vec, t_probe + t_rq,
                                group, m=m, note="+ float rows read from disk" if r else "")
        del probe

    for cells in partitions:
        _partitioned_rows(corpus, q32, k, cells, nprobes, ms, rescore, probes[0] if probes else "bitmap",
                          bits_list[0], n_top, add_row)

    if hnsw_efs:
        rows.extend(_hnsw_rows(corpus, q32, k, hnsw_efs, gt_cos, gt_sp, threads))
    return rows


def _partitioned_rows(corpus: np.ndarray, q32: np.ndarray, k: int, cells: int, nprobes: Sequence[int],
                      ms: Sequence[int], rescore: int, probe: str, bits: int, n_top: Optional[int],
                      add_row: Callable[..., None]) -> None:
    """Rows of one PartitionedIndex (``cells`` cells, 0: the default) over the sweep of
    nprobe and m, with and without rescoring; appended through ``add_row``."""
    from .partitioned import PartitionedIndex, default_cells
    n = len(corpus)
    cells = min(n, cells) if cells else default_cells(n)
    t0 = time.perf_counter()
    index = PartitionedIndex.build(corpus, cells=cells, probe=probe, bits=bits, n_top=n_top)
    t_build = time.perf_counter() - t0
    bpv = index.probe.bytes_per_vec + index.rerank.bytes_per_vec + 8
    label = "Bitmap" if probe == "bitmap" else "SignBitmap"
    for nprobe in sorted({min(p, cells) for p in nprobes}):
        for r in ([0, rescore] if rescore else [0]):
            group = (f"{cells} cells, nprobe={nprobe}: {label} + RankQuant({bits})"
                     + (f" + rescore {r}" if r else ""))
            for m in ms:
                t, (_, ids) = _timed(lambda: index.search(q32, k, nprobe=nprobe, m=m, rescore=r))
                add_row(f"{group}, m={m}", ids, t, bpv, t_build, group, m=m,
                        note="+ float rows read from disk" if r else "")


def _hnsw_rows(corpus: np.ndarray, q32: np.ndarray, k: int, efs: Sequence[int],
               gt_cos: np.ndarray, gt_sp: np.ndarray, threads: Optional[int]) -> List[Row]:
    try:
        import hnswlib
    except ImportError:
        say("hnswlib is not installed (python3-hnswlib); its rows are left out")
        return []
    n, dim = corpus.shape
    nthreads = threads or _default_threads()
    t0 = time.perf_counter()
    index = hnswlib.Index(space="cosine", dim=dim)
    index.init_index(max_elements=n, M=16, ef_construction=200, random_seed=100)
    index.set_num_threads(nthreads)
    with progress(n, "hnswlib add") as bar:
        for a, b in chunks(n, dim):
            index.add_items(np.asarray(corpus[a:b], dtype=np.float32), np.arange(a, b))
            bar.update(b - a)
    t_build = time.perf_counter() - t0
    # Memory: the float vectors plus level-0 links (2M ids + count) plus the label;
    # upper levels add about 1/M of that again.
    bpv = (4 * dim + 4 * (2 * 16 + 1) + 8) * (1 + 1 / 16)
    rows = []
    for ef in efs:
        index.set_ef(max(ef, k))
        t, (ids, _) = _timed(lambda: index.knn_query(q32, k=k))
        rows.append(Row(method=f"hnswlib M=16 efc=200, ef={ef}", group="hnswlib", m=ef,
                        recall_cos=recall(ids, gt_cos, k), recall_sp=recall(ids, gt_sp, k),
                        qps=len(q32) / max(t, 1e-9), bytes_per_vec=bpv, build_s=t_build, note=""))
    return rows


def format_table(rows: List[Row], k: int) -> str:
    header = ["method", f"recall@{k} cos", f"recall@{k} Spearman", "queries/s", "bytes/vec", "build s"]
    body = []
    for r in rows:
        body.append([r["method"], f"{r['recall_cos']:.3f}", f"{r['recall_sp']:.3f}",
                     f"{r['qps']:,.0f}", f"{r['bytes_per_vec']:,.0f}",
                     "-" if r["build_s"] is None else f"{r['build_s']:.1f}"])
    widths = [max(len(h), *(len(b[i]) for b in body)) if body else len(h) for i, h in enumerate(header)]
    lines = ["| " + " | ".join(h.ljust(widths[i]) for i, h in enumerate(header)) + " |",
             "|" + "|".join("-" * (w + 1) + (":" if i else "-") for i, w in enumerate(widths)) + "|"]
    for b in body:
        lines.append("| " + " | ".join(c.ljust(widths[0]) if i == 0 else c.rjust(widths[i])
                                       for i, c in enumerate(b)) + " |")
    return "\n".join(lines)


def plot_rows(rows: List[Row], k: int, path: str, title: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.5), dpi=100)
    groups: Dict[str, List[Row]] = {}
    for r in rows:
        groups.setdefault(r["group"], []).append(r)
    colours: Dict[str, Any] = {}
    for group, rs in groups.items():
        if group == "full":
            for r in rs:
                ax.scatter(r["qps"], r["recall_cos"], marker="x", s=30)
                ax.annotate(r["method"], (r["qps"], r["recall_cos"]), fontsize=6,
                            xytext=(3, 2), textcoords="offset points")
            continue
        rs = sorted(rs, key=lambda r: r["m"])
        style = "--" if group == "hnswlib" else ("-" if "rescore" in group else ":")
        base = group.split(" + rescore")[0]      # one colour per probe and rerank width
        line = ax.plot([r["qps"] for r in rs], [r["recall_cos"] for r in rs], style, marker="o",
                       markersize=3, color=colours.get(base),
                       label=group if group != "hnswlib" else "hnswlib (ef swept)")[0]
        colours.setdefault(base, line.get_color())
        ax.annotate(f"{'ef' if group == 'hnswlib' else 'm'}={rs[0]['m']}", (rs[0]["qps"], rs[0]["recall_cos"]),
                    fontsize=5, xytext=(2, -7), textcoords="offset points")
    ax.set_xscale("log")
    ax.set_xlabel("queries per second (log scale)")
    ax.set_ylabel(f"recall@{k} against exact cosine")
    ax.set_title(title, fontsize=9)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=6, loc="lower left")
    fig.tight_layout()
    with atomic_output(path) as tmp:
        fig.savefig(tmp, format="png")
    plt.close(fig)


def _read_idx_images(path: str) -> np.ndarray:
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file; install Debian's dataset-fashion-mnist "
                       f"(`make demo` does)")
    try:
        with gzip.open(path, "rb") as f:
            data = f.read()
    except (OSError, EOFError) as exc:
        raise CliError(f"{path}: cannot read: {reason(exc)}") from None
    if len(data) < 16:
        raise CliError(f"{path}: not an IDX image file")
    magic, n, rows, cols = struct.unpack(">IIII", data[:16])
    if magic != 2051 or len(data) != 16 + n * rows * cols:
        raise CliError(f"{path}: not an IDX image file")
    return np.frombuffer(data, dtype=np.uint8, offset=16).reshape(n, rows * cols)


def fashion_mnist_768(directory: str, n_queries: int) -> Tuple[np.ndarray, np.ndarray, str]:
    train = _read_idx_images(os.path.join(directory, "train-images-idx3-ubyte.gz"))
    test = _read_idx_images(os.path.join(directory, "t10k-images-idx3-ubyte.gz"))
    pixels = train.shape[1]
    rng = np.random.default_rng(DEMO_SEED)
    proj = (rng.standard_normal((pixels, DEMO_DIM)) / math.sqrt(DEMO_DIM)).astype(np.float32)
    corpus = (train.astype(np.float32) / 255.0) @ proj
    queries = (test[:n_queries].astype(np.float32) / 255.0) @ proj
    note = (f"Fashion-MNIST ({directory}): the {len(train):,} training images are the corpus and "
            f"the first {len(queries):,} test images the queries. Their {pixels} pixels are not a "
            f"multiple of 64, so each image is mapped to {DEMO_DIM} dims by a seeded Gaussian "
            f"projection (seed {DEMO_SEED}, entries N(0, 1/{DEMO_DIM})), which keeps cosines "
            f"close to those of the pixel vectors.")
    return corpus, queries, note
