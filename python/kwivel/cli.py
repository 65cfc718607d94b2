"""The ``kwivel`` command: build, search and evaluate indexes from the shell.

    kwivel build CORPUS DIR [--ids IDS.npy] [--partitions N] [--shards N]   (a collection)
    kwivel search DIR QUERIES.npy OUT.npz [-k K] [--filter IDS.npy] [--scheduler tcp://HOST:PORT]
    kwivel add DIR CORPUS [--ids IDS.npy]
    kwivel delete DIR IDS.npy
    kwivel info DIR
    kwivel build CORPUS OUT --kind {rank,rankquant,bitmap,signbitmap} [--bits B] [--n-top N]
    kwivel search INDEX QUERIES.npy OUT.npz [-k K] [--asymmetric]
    kwivel eval CORPUS.npy QUERIES.npy [-k K] [--m M1,M2,...] [--rescore R] [--plot FILE.png]
                [--partitions N1,N2,...|auto] [--nprobe A,B,...]
    kwivel demo [--out DIR]

Vector files are ``.npy`` (read memory-mapped) or ``.fvecs``.  Bad input (a
missing file, a wrong dtype or shape, a width the index refuses, an unwritable
output) ends the command with a one-line message naming the file and exit
status 2.  Outputs are written to a temporary file beside the target and
renamed into place, so a failed command leaves no partial file.

This module holds only the argument parsing and one function per command;
the indexes and their files come from :mod:`kwivel.kinds` and
:mod:`kwivel.shards`, the evaluation from :mod:`kwivel.evaluate`.  Nothing in
the package imports it.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from typing import Any, List, Optional, Sequence

import numpy as np

from . import evaluate
from ._console import CliError, atomic_output, build_index, check_output, check_width, load_index, \
    progress, read_vectors, reason, say, search_index, write_index
from .collection import MANIFEST as COLLECTION_MANIFEST, Collection
from .kinds import KINDS, kind_of
from .shards import ShardError, ShardedIndex, build_sharded, connect


# ----------------------------------------------------------------------------
# build / search.

def cmd_build(args: argparse.Namespace) -> int:
    if args.kind is None:
        return _build_collection(args)
    if args.ids is not None or args.partitions is not None:
        raise CliError("--ids and --partitions apply to a collection (leave out --kind)")
    if args.shards is not None or args.shard_size is not None:
        return _build_sharded(args)
    vectors = read_vectors(args.corpus)
    check_output(args.out)          # fail before the build, not after it
    index, seconds = build_index(args.kind, vectors, args.corpus, args.bits, args.n_top)
    write_index(index, args.out)
    say(f"{args.out}: {index!r}, {index.byte_size:,} bytes ({index.bytes_per_vec} per vector), "
        f"built in {seconds:.2f} s")
    return 0


def cmd_search(args: argparse.Namespace) -> int:
    if os.path.isfile(os.path.join(args.index, COLLECTION_MANIFEST)):
        return _search_collection(args)
    if args.filter is not None:
        raise CliError(f"{args.index}: --filter applies to a collection directory")
    if os.path.isdir(args.index):
        return _search_sharded(args)
    if args.scheduler:
        raise CliError(f"{args.index}: --scheduler applies to a sharded index directory")
    index = load_index(args.index)
    if args.asymmetric and not kind_of(index).asymmetric:
        raise CliError(f"{args.index}: --asymmetric applies to rank and rankquant indexes, "
                       f"not {type(index).__name__}")
    queries = read_vectors(args.queries)
    check_width(args.queries, queries, index.dim, "index")
    with atomic_output(args.out) as tmp:
        t0 = time.perf_counter()
        scores, ids = search_index(index, queries, args.k, args.asymmetric, args.queries)
        seconds = time.perf_counter() - t0
        with open(tmp, "wb") as f:
            np.savez(f, scores=scores.astype(np.float32, copy=False), ids=ids.astype(np.int64, copy=False))
    say(f"{args.out}: scores and ids of shape {ids.shape} from {type(index).__name__} "
        f"({len(queries) / max(seconds, 1e-9):,.0f} queries/s)")
    return 0


def _build_sharded(args: argparse.Namespace) -> int:
    """``kwivel build CORPUS OUT_DIR --kind K (--shards N | --shard-size ROWS)``."""
    if args.shards is not None and args.shard_size is not None:
        raise CliError("--shards and --shard-size exclude each other")
    for flag, value in (("--shards", args.shards), ("--shard-size", args.shard_size)):
        if value is not None and value < 1:
            raise CliError(f"{flag}: expected a positive integer, got {value}")
    vectors = read_vectors(args.corpus)
    n, dim = vectors.shape
    t0 = time.perf_counter()
    try:
        with progress(n, f"{args.kind} add") as bar:
            index = build_sharded(vectors, args.out, args.kind, shards=args.shards,
                                  shard_size=args.shard_size, bits=args.bits, n_top=args.n_top,
                                  progress=bar.update)
    except ShardError as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        raise CliError(f"{args.out}: cannot write: {reason(exc)}") from None
    except (ValueError, TypeError, OverflowError) as exc:
        raise CliError(f"{args.corpus}: {reason(exc)}") from None
    size = sum(s.size for s in index.shards)
    say(f"{args.out}: {index!r}, {size:,} bytes in {len(index.shards)} shard files, "
        f"built in {time.perf_counter() - t0:.2f} s")
    return 0


def _search_sharded(args: argparse.Namespace) -> int:
    """``kwivel search DIR QUERIES.npy OUT.npz [-k K] [--asymmetric] [--scheduler tcp://HOST:PORT]``."""
    try:
        index = ShardedIndex.open(args.index)
    except ShardError as exc:
        raise CliError(str(exc)) from None
    if args.asymmetric and not KINDS[index.kind].asymmetric:
        raise CliError(f"{args.index}: --asymmetric applies to rank and rankquant indexes, "
                       f"not {KINDS[index.kind].class_name}")
    queries = read_vectors(args.queries)
    check_width(args.queries, queries, index.dim, "index")
    client = _connect(args.scheduler)
    try:
        with atomic_output(args.out) as tmp:
            t0 = time.perf_counter()
            try:
                scores, ids = index.search(np.ascontiguousarray(queries), args.k, args.asymmetric,
                                           client=client)
            except ShardError as exc:
                raise CliError(str(exc)) from None
            except (ValueError, TypeError) as exc:
                raise CliError(f"{args.queries}: {reason(exc)}") from None
            seconds = time.perf_counter() - t0
            with open(tmp, "wb") as f:
                np.savez(f, scores=scores, ids=ids)
    finally:
        if client is not None:
            client.close()
    where = f"{len(index.shards)} shards" + (f" on {index.last_transfer['workers']} Dask workers"
                                              if client is not None else "")
    say(f"{args.out}: scores and ids of shape {ids.shape} from {where} "
        f"({len(queries) / max(seconds, 1e-9):,.0f} queries/s)")
    return 0


# ----------------------------------------------------------------------------
# Collections: build / search / add / delete / info.

def _read_ids(path: Optional[str]) -> Optional[np.ndarray]:
    """A 1-D integer array from a .npy file, or CliError."""
    if path is None:
        return None
    try:
        ids = np.load(path, allow_pickle=False)
    except FileNotFoundError:
        raise CliError(f"{path}: no such file") from None
    except (OSError, ValueError, EOFError) as exc:
        raise CliError(f"{path}: cannot read: {reason(exc)}") from None
    if not isinstance(ids, np.ndarray) or ids.ndim != 1 or ids.dtype.kind not in "iu":
        raise CliError(f"{path}: expected a 1-D array of integer ids")
    return ids


def _open_collection(path: str) -> Collection:
    try:
        return Collection.open(path)
    except OSError as exc:
        raise CliError(str(exc).splitlines()[0]) from None


def _build_collection(args: argparse.Namespace) -> int:
    if args.shard_size is not None:
        raise CliError("--shard-size applies to --kind indexes; a collection takes --shards N")
    for flag, value in (("--shards", args.shards), ("--partitions", args.partitions)):
        if value is not None and value < 1:
            raise CliError(f"{flag}: expected a positive integer, got {value}")
    vectors = read_vectors(args.corpus)
    ids = _read_ids(args.ids)
    t0 = time.perf_counter()
    try:
        with progress(len(vectors), "collection build") as bar:
            col = Collection.build(vectors, args.out, ids, shards=args.shards or 1, cells=args.partitions,
                                   bits=args.bits, n_top=args.n_top, progress=bar.update)
    except OSError as exc:
        raise CliError(f"{args.out}: cannot write: {reason(exc)}") from None
    except (ValueError, TypeError, OverflowError) as exc:
        bad_ids = args.ids is not None and str(exc).startswith("ids")
        raise CliError(f"{args.ids if bad_ids else args.corpus}: {reason(exc)}") from None
    say(f"{args.out}: {col!r}, built in {time.perf_counter() - t0:.2f} s")
    return 0


def _search_collection(args: argparse.Namespace) -> int:
    if args.asymmetric:
        raise CliError(f"{args.index}: --asymmetric applies to rank and rankquant index files")
    col = _open_collection(args.index)
    queries = read_vectors(args.queries)
    check_width(args.queries, queries, col.dim, "collection")
    flt = _read_ids(args.filter)
    client = _connect(args.scheduler)
    try:
        with atomic_output(args.out) as tmp:
            t0 = time.perf_counter()
            try:
                scores, ids = col.search(np.ascontiguousarray(queries), args.k, flt, client=client)
            except OSError as exc:
                raise CliError(str(exc).splitlines()[0]) from None
            except (ValueError, TypeError) as exc:
                raise CliError(f"{args.queries}: {reason(exc)}") from None
            seconds = time.perf_counter() - t0
            with open(tmp, "wb") as f:
                np.savez(f, scores=scores, ids=ids)
    finally:
        if client is not None:
            client.close()
    where = f"{len(col.info()['shards'])} shards" + (
        f" on {col.last_transfer['workers']} Dask workers" if client is not None else "")
    say(f"{args.out}: scores and ids of shape {ids.shape} from a collection of {len(col):,} in {where} "
        f"({len(queries) / max(seconds, 1e-9):,.0f} queries/s)")
    return 0


def cmd_add(args: argparse.Namespace) -> int:
    col = _open_collection(args.collection)
    vectors = read_vectors(args.corpus)
    check_width(args.corpus, vectors, col.dim, "collection")
    ids = _read_ids(args.ids)
    try:
        with progress(len(vectors), "collection add") as bar:
            added = col.add(vectors, ids)
            bar.update(len(added))
    except OSError as exc:
        raise CliError(f"{args.collection}: cannot write: {reason(exc)}") from None
    except (ValueError, TypeError) as exc:
        raise CliError(f"{args.ids or args.corpus}: {reason(exc)}") from None
    say(f"{args.collection}: added {len(added):,} rows; {col!r}")
    return 0


def cmd_delete(args: argparse.Namespace) -> int:
    col = _open_collection(args.collection)
    ids = _read_ids(args.ids)
    try:
        gone = col.delete(ids)
    except OSError as exc:
        raise CliError(f"{args.collection}: cannot write: {reason(exc)}") from None
    say(f"{args.collection}: deleted {gone:,} rows ({len(ids) - gone:,} ids not held); {col!r}")
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    info = _open_collection(args.collection).info()
    for key, value in info.items():
        say(f"{key}: {value}")
    return 0


def _connect(address: Optional[str]) -> Any:
    if not address:
        return None
    try:
        return connect(address)
    except ImportError:
        raise CliError("--scheduler needs Dask's distributed package (python3-distributed)") from None
    except (OSError, TimeoutError, ValueError) as exc:
        raise CliError(f"{address}: cannot reach the scheduler: {reason(exc)}") from None


# ----------------------------------------------------------------------------
# eval / demo.

def _parse_list(text: str, name: str) -> List[int]:
    try:
        values = [int(x) for x in text.split(",") if x.strip()]
    except ValueError:
        raise CliError(f"{name}: expected a comma-separated list of integers, got {text!r}") from None
    if not values or min(values) < 1:
        raise CliError(f"{name}: expected positive integers, got {text!r}")
    return values


def cmd_eval(args: argparse.Namespace) -> int:
    corpus = read_vectors(args.corpus)
    queries = read_vectors(args.queries)
    check_width(args.queries, queries, corpus.shape[1], "corpus")
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
    # "auto" (0 below): the partitioned index's default number of cells.
    tokens = [t.strip() for t in args.partitions.split(",") if t.strip()]
    numbers = [t for t in tokens if t != "auto"]
    partitions = [0] * ("auto" in tokens) + (_parse_list(",".join(numbers), "--partitions") if numbers else [])
    nprobes = _parse_list(args.nprobe, "--nprobe")
    for path in (args.plot, args.table):
        if path:   # fail before the long run, not after it
            check_output(path)
    if args.k < 1:
        raise CliError(f"-k: expected a positive integer, got {args.k}")
    rows = evaluate.run_eval(corpus, queries, k=args.k, ms=ms, rescore=args.rescore,
                             bits_list=bits_list, probes=probes, n_top=args.n_top, hnsw_efs=efs,
                             corpus_name=name, threads=args.threads, partitions=partitions,
                             nprobes=nprobes)
    table = evaluate.format_table(rows, args.k)
    say(table)
    if args.table:
        with atomic_output(args.table) as tmp, open(tmp, "w") as f:
            f.write((intro + "\n\n" if intro else "") + table + "\n")
        say(f"table written to {args.table}")
    if args.plot:
        evaluate.plot_rows(rows, args.k, args.plot, f"{title}: {corpus.shape[0]} x {corpus.shape[1]}, "
                           f"{len(queries)} queries")
        say(f"plot written to {args.plot}")
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    out = args.out
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as exc:
        raise CliError(f"{out}: cannot create: {reason(exc)}") from None
    corpus, queries, note = evaluate.fashion_mnist_768(args.data, args.queries)
    say(note)
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

def _eval_options(p: argparse.ArgumentParser, hnsw_default: str, partitions_default: str) -> None:
    p.add_argument("-k", type=int, default=10, help="neighbours per query (default 10)")
    p.add_argument("--m", default="100,200,500,1000", help="shortlist sizes (default 100,200,500,1000)")
    p.add_argument("--rescore", type=int, default=20,
                   help="also run the pipeline with exact float rescoring of the best R (default 20; 0: off)")
    p.add_argument("--bits", default="4,2", help="RankQuant bit widths to rerank with (default 4,2)")
    p.add_argument("--probes", default="bitmap,signbitmap", help="probe indexes (default both)")
    p.add_argument("--n-top", type=int, default=None, help="Bitmap set bits per vector (default dim/2)")
    p.add_argument("--hnsw", default=hnsw_default, metavar="EF1,EF2,...",
                   help="add hnswlib (M=16, ef_construction=200) with these ef values")
    p.add_argument("--partitions", default=partitions_default, metavar="N1,N2,...",
                   help="add a PartitionedIndex of each of these cell counts ('auto': about 4 sqrt(n))")
    p.add_argument("--nprobe", default="16,32", metavar="A,B,...",
                   help="cells each partitioned search reads (default 16,32), each with every --m")
    p.add_argument("--threads", type=int, default=None, help="rerank threads (default: usable CPUs)")
    p.add_argument("--table", default=None, metavar="FILE.md", help="also write the table here")


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="kwivel", description="Build, search and evaluate kwivel indexes.")
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("build", help="build a collection (or, with --kind, an index file) from a "
                                     ".npy or .fvecs corpus")
    p.add_argument("corpus", metavar="CORPUS")
    p.add_argument("out", metavar="OUT")
    p.add_argument("--kind", default=None, choices=tuple(KINDS),
                   help="build one index of this kind instead of a collection")
    p.add_argument("--ids", default=None, metavar="IDS.npy", help="the rows' int64 ids (default 0..n-1)")
    p.add_argument("--partitions", type=int, default=None, metavar="N",
                   help="cells per shard of a collection (default about 4*sqrt(rows); 1: flat)")
    p.add_argument("--bits", type=int, default=4, help="RankQuant bits per coordinate (default 4)")
    p.add_argument("--n-top", type=int, default=None, help="Bitmap set bits per vector (default dim/2)")
    p.add_argument("--shards", type=int, default=None, metavar="N",
                   help="cut the collection (or the --kind index) into N shards")
    p.add_argument("--shard-size", type=int, default=None, metavar="ROWS",
                   help="write OUT as a directory of index files of ROWS vectors each")
    p.set_defaults(func=cmd_build)

    p = sub.add_parser("search", help="top-k ids and scores of queries against an index file")
    p.add_argument("index", metavar="INDEX")
    p.add_argument("queries", metavar="QUERIES.npy")
    p.add_argument("out", metavar="OUT.npz")
    p.add_argument("-k", type=int, default=10, help="neighbours per query (default 10)")
    p.add_argument("--asymmetric", action="store_true", help="float queries against the stored ranks")
    p.add_argument("--filter", default=None, metavar="IDS.npy",
                   help="only these ids of a collection may be returned")
    p.add_argument("--scheduler", default=None, metavar="tcp://HOST:PORT",
                   help="search a sharded index or collection on the workers of this Dask scheduler")
    p.set_defaults(func=cmd_search)

    p = sub.add_parser("add", help="add vectors to a collection")
    p.add_argument("collection", metavar="DIR")
    p.add_argument("corpus", metavar="CORPUS")
    p.add_argument("--ids", default=None, metavar="IDS.npy",
                   help="their int64 ids (default: after the largest ever held)")
    p.set_defaults(func=cmd_add)

    p = sub.add_parser("delete", help="delete ids from a collection")
    p.add_argument("collection", metavar="DIR")
    p.add_argument("ids", metavar="IDS.npy")
    p.set_defaults(func=cmd_delete)

    p = sub.add_parser("info", help="describe a collection")
    p.add_argument("collection", metavar="DIR")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser("eval", help="recall, speed and size of every index and the pipeline")
    p.add_argument("corpus", metavar="CORPUS.npy")
    p.add_argument("queries", metavar="QUERIES.npy")
    p.add_argument("--plot", default=None, metavar="FILE.png", help="draw recall against queries/s")
    p.add_argument("--max-queries", type=int, default=None, help="use only the first N queries")
    _eval_options(p, hnsw_default="", partitions_default="")
    p.set_defaults(func=cmd_eval)

    p = sub.add_parser("demo", help="eval on Fashion-MNIST (Debian's dataset-fashion-mnist)")
    p.add_argument("--out", default="demo", metavar="DIR", help="where the table and plot go (default demo/)")
    p.add_argument("--data", default=evaluate.FASHION_MNIST_DIR, metavar="DIR", help="Fashion-MNIST folder")
    p.add_argument("--queries", type=int, default=1000, help="test images used as queries (default 1000)")
    _eval_options(p, hnsw_default="16,32,64,128,256", partitions_default="auto")
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
