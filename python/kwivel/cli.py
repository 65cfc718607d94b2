"""The ``kwivel`` command: build, search and evaluate indexes from the shell.

    kwivel build CORPUS OUT --kind {rank,rankquant,bitmap,signbitmap} [--bits B] [--n-top N]
    kwivel search INDEX QUERIES.npy OUT.npz [-k K] [--asymmetric]
    kwivel eval CORPUS.npy QUERIES.npy [-k K] [--m M1,M2,...] [--rescore R] [--plot FILE.png]
    kwivel demo [--out DIR]

Vector files are ``.npy`` (read memory-mapped) or ``.fvecs``.  Bad input (a
missing file, a wrong dtype or shape, a width the index refuses, an unwritable
output) ends the command with a one-line message naming the file and exit
status 2.  Outputs are written to a temporary file beside the target and
renamed into place, so a failed command leaves no partial file.
"""

from __future__ import annotations

import argparse
import contextlib
import gzip
import math
import os
import struct
import sys
import tempfile
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

KINDS = ("rank", "rankquant", "bitmap", "signbitmap")
MAGICS = {
    b"KWR1": "Rank", b"HYR1": "Rank",
    b"KWRQ": "RankQuant", b"HYRQ": "RankQuant",
    b"KWBM": "Bitmap", b"HYBM": "Bitmap",
    b"KWSB": "SignBitmap", b"HYSB": "SignBitmap",
}
EXTENSIONS = {"rank": ".kwr", "rankquant": ".kwrq", "bitmap": ".kwbm", "signbitmap": ".kwsb"}
CHUNK_BYTES = 64 << 20          # float input per add / ground-truth block
FASHION_MNIST_DIR = "/usr/share/datasets/fashion-mnist"
DEMO_DIM = 768
DEMO_SEED = 0


class CliError(Exception):
    """A failure caused by the command's input; printed as one line, exit status 2."""


def _kw() -> Any:
    import kwivel
    return kwivel


# ----------------------------------------------------------------------------
# Progress bars (tqdm when installed, silent otherwise).

def _progress(total: int, desc: str, unit: str = "vec") -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoProgress()
    return tqdm(total=total, desc=desc, unit=unit, unit_scale=True, leave=False,
                disable=None, file=sys.stderr)


class _NoProgress:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> "_NoProgress":
        return self

    def __exit__(self, *exc: Any) -> None:
        pass


def _say(*args: Any) -> None:
    print(*args, flush=True)


# ----------------------------------------------------------------------------
# Input files.

def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc).splitlines()[0] if str(exc) else type(exc).__name__


def read_vectors(path: str) -> np.ndarray:
    """A 2-D float array from a .npy (memory-mapped) or .fvecs file, or CliError."""
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, expected a .npy or .fvecs file")
    ext = os.path.splitext(path)[1].lower()
    try:
        if ext == ".fvecs":
            arr = _read_fvecs(path)
        elif ext == ".npy":
            arr = np.load(path, mmap_mode="r", allow_pickle=False)
        else:
            raise CliError(f"{path}: unsupported file type {ext or '(none)'}; expected .npy or .fvecs")
    except CliError:
        raise
    except (OSError, ValueError, EOFError) as exc:
        raise CliError(f"{path}: cannot read: {_reason(exc)}") from None
    if not isinstance(arr, np.ndarray):
        raise CliError(f"{path}: expected one array, got {type(arr).__name__}")
    if arr.ndim != 2:
        raise CliError(f"{path}: expected a 2-D array (vectors as rows), got shape {arr.shape}")
    if arr.dtype not in (np.float16, np.float32, np.float64):
        raise CliError(f"{path}: expected float16, float32 or float64 values, got {arr.dtype}")
    return arr


def _read_fvecs(path: str) -> np.ndarray:
    size = os.path.getsize(path)
    if size == 0:
        return np.zeros((0, 0), dtype=np.float32)
    with open(path, "rb") as f:
        head = f.read(4)
    if len(head) < 4:
        raise CliError(f"{path}: truncated .fvecs file")
    (d,) = struct.unpack("<i", head)
    if d <= 0 or size % (4 * (d + 1)) != 0:
        raise CliError(f"{path}: not an .fvecs file (first row claims dim {d}, file is {size} bytes)")
    raw = np.memmap(path, dtype="<i4", mode="r").reshape(-1, d + 1)
    if not np.all(raw[:, 0] == d):
        raise CliError(f"{path}: .fvecs rows of different dims")
    return raw.view("<f4")[:, 1:]


def _chunks(n: int, dim: int) -> Iterator[Tuple[int, int]]:
    step = max(1, CHUNK_BYTES // max(1, 4 * dim))
    for start in range(0, n, step):
        yield start, min(n, start + step)


def _chunk(arr: np.ndarray, a: int, b: int) -> np.ndarray:
    return np.ascontiguousarray(arr[a:b])


# ----------------------------------------------------------------------------
# Outputs: a temporary file beside the target, renamed into place on success.

@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[str]:
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory")
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise CliError(f"{path}: cannot write: no such directory {parent}")
    try:
        fd, tmp = tempfile.mkstemp(dir=parent, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
        os.close(fd)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)   # mkstemp makes it private; give it a plain file's mode
    except OSError as exc:
        raise CliError(f"{path}: cannot write: {_reason(exc)}") from None
    try:
        yield tmp
        os.replace(tmp, path)
    except OSError as exc:
        raise CliError(f"{path}: cannot write: {_reason(exc)}") from None
    finally:
        with contextlib.suppress(OSError):
            os.unlink(tmp)


# ----------------------------------------------------------------------------
# Indexes.

def default_n_top(dim: int) -> int:
    """Set bits per Bitmap row when --n-top is not given: half the coordinates, the
    setting whose shortlists lose least before the rerank (measured on Fashion-MNIST)."""
    return max(1, dim // 2)


def new_index(kind: str, dim: int, bits: int, n_top: Optional[int], source: str) -> Any:
    kw = _kw()
    try:
        if kind == "rank":
            return kw.Rank(dim)
        if kind == "rankquant":
            return kw.RankQuant(dim, bits)
        if kind == "bitmap":
            return kw.Bitmap(dim, default_n_top(dim) if n_top is None else n_top)
        return kw.SignBitmap(dim)
    except (ValueError, OverflowError) as exc:
        raise CliError(f"{source}: cannot build a {kind} index of width {dim}: {_reason(exc)}") from None


def fill_index(index: Any, vectors: np.ndarray, source: str, desc: str) -> None:
    n, dim = vectors.shape
    with _progress(n, desc) as bar:
        for a, b in _chunks(n, dim):
            try:
                index.add(_chunk(vectors, a, b))
            except (ValueError, TypeError) as exc:
                raise CliError(f"{source}: rows {a}..{b - 1}: {_reason(exc)}") from None
            bar.update(b - a)


def build_index(kind: str, vectors: np.ndarray, source: str, bits: int = 4,
                n_top: Optional[int] = None) -> Tuple[Any, float]:
    t0 = time.perf_counter()
    index = new_index(kind, vectors.shape[1], bits, n_top, source)
    fill_index(index, vectors, source, f"{kind} add")
    return index, time.perf_counter() - t0


def load_index(path: str) -> Any:
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    try:
        with open(path, "rb") as f:
            magic = f.read(4)
    except OSError as exc:
        raise CliError(f"{path}: cannot read: {_reason(exc)}") from None
    cls_name = MAGICS.get(magic)
    if cls_name is None:
        raise CliError(f"{path}: not a kwivel index file (unknown magic {magic!r})")
    try:
        return getattr(_kw(), cls_name).load(path)
    except OSError as exc:
        raise CliError(f"{path}: {_reason(exc)}") from None


def search_index(index: Any, queries: np.ndarray, k: int, asymmetric: bool,
                 source: str) -> Tuple[np.ndarray, np.ndarray]:
    """(scores float32, ids int64) of shape (nq, min(k, len(index))) for any index kind."""
    name = type(index).__name__
    if asymmetric and not hasattr(index, "search_asymmetric"):
        raise CliError(f"{source}: --asymmetric applies to rank and rankquant indexes, not {name}")
    q = np.ascontiguousarray(queries)
    try:
        if asymmetric:
            return index.search_asymmetric(q, k)
        if hasattr(index, "search"):
            return index.search(q, k)
        # SignBitmap: the Hamming shortlist is the ranking; scores are sign agreements.
        ids = index.top_m_candidates_batched(q, k).astype(np.int64)
        scores = np.empty(ids.shape, dtype=np.float32)
        step = max(1, CHUNK_BYTES // max(1, 4 * len(index)))
        for a in range(0, len(q), step):
            dense = index.score_all_batched(q[a:a + step])
            scores[a:a + step] = np.take_along_axis(dense, ids[a:a + step], axis=1)
        return scores, ids
    except (ValueError, TypeError) as exc:
        raise CliError(f"{source}: {_reason(exc)}") from None


def _check_width(path: str, arr: np.ndarray, dim: int, what: str) -> None:
    if arr.shape[1] != dim:
        raise CliError(f"{path}: width {arr.shape[1]} does not match the {what}'s dim {dim}")


# ----------------------------------------------------------------------------
# build / search.

def cmd_build(args: argparse.Namespace) -> int:
    if args.shards is not None or args.shard_size is not None:
        from .shards import cli_build
        return cli_build(args)
    vectors = read_vectors(args.corpus)
    n, dim = vectors.shape
    with atomic_output(args.out) as tmp:
        index, seconds = build_index(args.kind, vectors, args.corpus, args.bits, args.n_top)
        try:
            index.write(tmp)
        except OSError as exc:
            raise CliError(f"{args.out}: cannot write: {_reason(exc)}") from None
    _say(f"{args.out}: {index!r}, {index.byte_size:,} bytes ({index.bytes_per_vec} per vector), "
         f"built in {seconds:.2f} s")
    return 0


def cmd_search(args: argparse.Namespace) -> int:
    if os.path.isdir(args.index):
        from .shards import cli_search
        return cli_search(args)
    if args.scheduler:
        raise CliError(f"{args.index}: --scheduler applies to a sharded index directory")
    index = load_index(args.index)
    if args.asymmetric and not hasattr(index, "search_asymmetric"):
        raise CliError(f"{args.index}: --asymmetric applies to rank and rankquant indexes, "
                       f"not {type(index).__name__}")
    queries = read_vectors(args.queries)
    _check_width(args.queries, queries, index.dim, "index")
    with atomic_output(args.out) as tmp:
        t0 = time.perf_counter()
        scores, ids = search_index(index, queries, args.k, args.asymmetric, args.queries)
        seconds = time.perf_counter() - t0
        with open(tmp, "wb") as f:
            np.savez(f, scores=scores.astype(np.float32, copy=False), ids=ids.astype(np.int64, copy=False))
    _say(f"{args.out}: scores and ids of shape {ids.shape} from {type(index).__name__} "
         f"({len(queries) / max(seconds, 1e-9):,.0f} queries/s)")
    return 0


# ----------------------------------------------------------------------------
# eval.

def exact_cosine_topk(corpus: np.ndarray, queries: np.ndarray, k: int) -> Tuple[np.ndarray, float]:
    """Ids (nq, k) of the exact cosine top-k, corpus read in blocks; and the seconds taken."""
    t0 = time.perf_counter()
    q = np.asarray(queries, dtype=np.float32)
    qn = q / np.maximum(np.linalg.norm(q, axis=1, keepdims=True), 1e-30)
    n, dim = corpus.shape
    nq = len(q)
    best_s = np.full((nq, 0), -np.inf, dtype=np.float32)
    best_i = np.zeros((nq, 0), dtype=np.int64)
    with _progress(n, "exact cosine") as bar:
        for a, b in _chunks(n, dim):
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


def _parse_list(text: str, name: str) -> List[int]:
    try:
        values = [int(x) for x in text.split(",") if x.strip()]
    except ValueError:
        raise CliError(f"{name}: expected a comma-separated list of integers, got {text!r}") from None
    if not values or min(values) < 1:
        raise CliError(f"{name}: expected positive integers, got {text!r}")
    return values


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
             threads: Optional[int] = None) -> List[Row]:
    """Builds every index, runs every search; returns the table rows."""
    kw = _kw()
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
    _say(f"corpus {corpus_name}: {n} x {dim}, {nq} queries, k = {k}")
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
            with kw.Pipeline(probe, rq, vectors=corpus, threads=threads) as pipe:
                for r in ([None, rescore] if rescore else [None]):
                    group = f"{label} + RankQuant({bits})" + (f" + rescore {r}" if r else "")
                    for m in ms:
                        t, (_, ids) = _timed(lambda: pipe.search(q32, k, m, rescore=r))
                        add_row(f"{group}, m={m}", ids, t, pipe.bytes_per_vec, t_probe + t_rq,
                                group, m=m, note="+ float rows read from disk" if r else "")
        del probe

    if hnsw_efs:
        rows.extend(_hnsw_rows(corpus, q32, k, hnsw_efs, gt_cos, gt_sp, threads))
    return rows


def _hnsw_rows(corpus: np.ndarray, q32: np.ndarray, k: int, efs: Sequence[int],
               gt_cos: np.ndarray, gt_sp: np.ndarray, threads: Optional[int]) -> List[Row]:
    try:
        import hnswlib
    except ImportError:
        _say("hnswlib is not installed (python3-hnswlib); its rows are left out")
        return []
    from .pipeline import _default_threads
    n, dim = corpus.shape
    nthreads = threads or _default_threads()
    t0 = time.perf_counter()
    index = hnswlib.Index(space="cosine", dim=dim)
    index.init_index(max_elements=n, M=16, ef_construction=200, random_seed=100)
    index.set_num_threads(nthreads)
    with _progress(n, "hnswlib add") as bar:
        for a, b in _chunks(n, dim):
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


def cmd_eval(args: argparse.Namespace) -> int:
    corpus = read_vectors(args.corpus)
    queries = read_vectors(args.queries)
    _check_width(args.queries, queries, corpus.shape[1], "corpus")
    if args.max_queries is not None:
        queries = queries[:args.max_queries]
    return _eval(args, corpus, queries, args.corpus, title=os.path.basename(args.corpus))


def _eval(args: argparse.Namespace, corpus: np.ndarray, queries: np.ndarray, name: str,
          title: str, intro: str = "") -> int:
    ms = _parse_list(args.m, "--m")
    bits_list = _parse_list(args.bits, "--bits")
    probes = [p.strip() for p in args.probes.split(",") if p.strip()]
    for p in probes:
        if p not in ("bitmap", "signbitmap"):
            raise CliError(f"--probes: unknown probe {p!r}; expected bitmap or signbitmap")
    efs = _parse_list(args.hnsw, "--hnsw") if args.hnsw else []
    for path in (args.plot, args.table):
        if path:   # fail before the long run, not after it
            with atomic_output(path):
                pass
    if args.k < 1:
        raise CliError(f"-k: expected a positive integer, got {args.k}")
    rows = run_eval(corpus, queries, k=args.k, ms=ms, rescore=args.rescore, bits_list=bits_list,
                    probes=probes, n_top=args.n_top, hnsw_efs=efs, corpus_name=name,
                    threads=args.threads)
    table = format_table(rows, args.k)
    _say(table)
    if args.table:
        with atomic_output(args.table) as tmp, open(tmp, "w") as f:
            f.write((intro + "\n\n" if intro else "") + table + "\n")
        _say(f"table written to {args.table}")
    if args.plot:
        plot_rows(rows, args.k, args.plot, f"{title}: {corpus.shape[0]} x {corpus.shape[1]}, "
                  f"{len(queries)} queries")
        _say(f"plot written to {args.plot}")
    return 0


# ----------------------------------------------------------------------------
# demo.

def _read_idx_images(path: str) -> np.ndarray:
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file; install Debian's dataset-fashion-mnist "
                       f"(`make demo` does)")
    try:
        with gzip.open(path, "rb") as f:
            data = f.read()
    except (OSError, EOFError) as exc:
        raise CliError(f"{path}: cannot read: {_reason(exc)}") from None
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


def cmd_demo(args: argparse.Namespace) -> int:
    out = args.out
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as exc:
        raise CliError(f"{out}: cannot create: {_reason(exc)}") from None
    corpus, queries, note = fashion_mnist_768(args.data, args.queries)
    _say(note)
    args.plot = os.path.join(out, "recall_qps.png")
    args.table = os.path.join(out, "table.md")
    # Rescoring reads float rows from a memory-mapped .npy, as a user's corpus would be.
    with tempfile.TemporaryDirectory(dir=out, prefix=".corpus-") as tmp:
        path = os.path.join(tmp, "fashion-mnist-768.npy")
        np.save(path, corpus)
        del corpus
        mapped = np.load(path, mmap_mode="r")
        return _eval(args, mapped, queries, path, title="Fashion-MNIST (projected to 768 dims)",
                     intro=note)


# ----------------------------------------------------------------------------
# Command line.

def _eval_options(p: argparse.ArgumentParser, hnsw_default: str) -> None:
    p.add_argument("-k", type=int, default=10, help="neighbours per query (default 10)")
    p.add_argument("--m", default="100,200,500,1000", help="shortlist sizes (default 100,200,500,1000)")
    p.add_argument("--rescore", type=int, default=20,
                   help="also run the pipeline with exact float rescoring of the best R (default 20; 0: off)")
    p.add_argument("--bits", default="4,2", help="RankQuant bit widths to rerank with (default 4,2)")
    p.add_argument("--probes", default="bitmap,signbitmap", help="probe indexes (default both)")
    p.add_argument("--n-top", type=int, default=None, help="Bitmap set bits per vector (default dim/2)")
    p.add_argument("--hnsw", default=hnsw_default, metavar="EF1,EF2,...",
                   help="add hnswlib (M=16, ef_construction=200) with these ef values")
    p.add_argument("--threads", type=int, default=None, help="rerank threads (default: usable CPUs)")
    p.add_argument("--table", default=None, metavar="FILE.md", help="also write the table here")


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="kwivel", description="Build, search and evaluate kwivel indexes.")
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("build", help="build an index file from a .npy or .fvecs corpus")
    p.add_argument("corpus", metavar="CORPUS")
    p.add_argument("out", metavar="OUT")
    p.add_argument("--kind", required=True, choices=KINDS)
    p.add_argument("--bits", type=int, default=4, help="RankQuant bits per coordinate (default 4)")
    p.add_argument("--n-top", type=int, default=None, help="Bitmap set bits per vector (default dim/2)")
    p.add_argument("--shards", type=int, default=None, metavar="N",
                   help="write OUT as a directory of N index files (a sharded index)")
    p.add_argument("--shard-size", type=int, default=None, metavar="ROWS",
                   help="write OUT as a directory of index files of ROWS vectors each")
    p.set_defaults(func=cmd_build)

    p = sub.add_parser("search", help="top-k ids and scores of queries against an index file")
    p.add_argument("index", metavar="INDEX")
    p.add_argument("queries", metavar="QUERIES.npy")
    p.add_argument("out", metavar="OUT.npz")
    p.add_argument("-k", type=int, default=10, help="neighbours per query (default 10)")
    p.add_argument("--asymmetric", action="store_true", help="float queries against the stored ranks")
    p.add_argument("--scheduler", default=None, metavar="tcp://HOST:PORT",
                   help="search a sharded index on the workers of this Dask scheduler")
    p.set_defaults(func=cmd_search)

    p = sub.add_parser("eval", help="recall, speed and size of every index and the pipeline")
    p.add_argument("corpus", metavar="CORPUS.npy")
    p.add_argument("queries", metavar="QUERIES.npy")
    p.add_argument("--plot", default=None, metavar="FILE.png", help="draw recall against queries/s")
    p.add_argument("--max-queries", type=int, default=None, help="use only the first N queries")
    _eval_options(p, hnsw_default="")
    p.set_defaults(func=cmd_eval)

    p = sub.add_parser("demo", help="eval on Fashion-MNIST (Debian's dataset-fashion-mnist)")
    p.add_argument("--out", default="demo", metavar="DIR", help="where the table and plot go (default demo/)")
    p.add_argument("--data", default=FASHION_MNIST_DIR, metavar="DIR", help="Fashion-MNIST folder")
    p.add_argument("--queries", type=int, default=1000, help="test images used as queries (default 1000)")
    _eval_options(p, hnsw_default="16,32,64,128,256")
    p.set_defaults(func=cmd_demo)
    return ap


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(argv)
    for name in ("k", "bits", "n_top", "max_queries", "queries", "threads", "rescore"):
        value = getattr(args, name, None)
        if isinstance(value, int) and value < 0:
            flag = "-k" if name == "k" else "--" + name.replace("_", "-")
            print(f"kwivel: error: {flag}: expected a non-negative integer, got {value}",
                  file=sys.stderr)
            return 2
    try:
        return args.func(args)
    except CliError as exc:
        print(f"kwivel: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("kwivel: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
