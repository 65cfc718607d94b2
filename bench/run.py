#!/usr/bin/env python3
"""kwivel side-by-side benchmarks: kwivel beside a numpy/builtin peer, same run.

    python bench/run.py                 # everything, full sizes (a few minutes)
    python bench/run.py --quick         # small sizes
    python bench/run.py --only rank_io  # one benchmark (repeatable)

Prints a table per benchmark and a final summary (kwivel, peer, ratio, goal,
pass/fail), and writes bench/results.json.  The machine is assumed shared and
noisy: the two sides are timed interleaved in the same run, the best of
several reps is kept, and comparisons are ratios.
"""

from __future__ import annotations

import os
import sys

# OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE pin OpenBLAS to another machine's
# kernel or cache size and can slow every numpy BLAS call.  OpenBLAS reads
# them once, when it is loaded, so this process restarts itself without them
# (both together) before numpy is ever imported.
BLAS_ENV = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
_RESTART_MARK = "KWIVEL_BENCH_REMOVED_ENV"


def _restart_without_blas_env() -> None:
    found = {k: os.environ[k] for k in BLAS_ENV if k in os.environ}
    if not found:
        return
    if _RESTART_MARK in os.environ:
        # Already restarted once and they are back (set by something at
        # start-up?): drop them in-process rather than loop.
        for k in BLAS_ENV:
            os.environ.pop(k, None)
        return
    env = {k: v for k, v in os.environ.items() if k not in BLAS_ENV}
    env[_RESTART_MARK] = ";".join(f"{k}={v}" for k, v in found.items())
    orig = getattr(sys, "orig_argv", None)
    args = orig[1:] if orig else [os.path.abspath(sys.argv[0])] + sys.argv[1:]
    sys.stdout.flush()
    sys.stderr.flush()
    os.execve(sys.executable, [sys.executable] + args, env)


if __name__ == "__main__":
    _restart_without_blas_env()

# ---- everything below may import numpy ----------------------------------------------

import argparse  # noqa: E402
import datetime  # noqa: E402
import gc  # noqa: E402
import importlib  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import time  # noqa: E402
import traceback  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Optional  # noqa: E402

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
if str(BENCH_DIR) not in sys.path:
    sys.path.insert(0, str(BENCH_DIR))

from harness import Context, Skip, fmt_num, json_safe, mem_available_bytes, say, section, table  # noqa: E402

BENCHMARKS = ["cores", "rank_add", "call_overhead", "rank_search", "rank_io", "rank_quant", "rank_quant_asym", "pipeline", "shards", "sign_bitmap", "bitmap", "partitioned", "collection"]

# OpenBLAS kernels that predate AVX2: on a CPU that has it, one of these means
# something (OPENBLAS_CORETYPE, a generic build) chose a slow kernel.
OLD_OPENBLAS_KERNELS = {
    "generic", "katmai", "coppermine", "northwood", "prescott", "banias", "core2", "penryn",
    "dunnington", "nehalem", "atom", "opteron", "opteron_sse3", "barcelona", "bobcat",
    "athlon", "sandybridge", "bulldozer", "piledriver",
}
AVX512_OPENBLAS_KERNELS = {"skylakex", "cooperlake", "sapphirerapids"}
LOADER_ENV = ("LD_LIBRARY_PATH", "LD_PRELOAD")
THREAD_ENV = ("KWIVEL_NUM_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")


# ----------------------------------------------------------------------------
# The machine and the libraries, for the report header.

def cpu_info() -> dict:
    model, flags = platform.processor() or "unknown", set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") and model in ("unknown", "", "x86_64"):
                    model = line.split(":", 1)[1].strip()
                elif line.startswith("flags") and not flags:
                    flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    simd = [f for f in ("avx2", "fma", "avx512f", "avx512bw", "avx512_vnni", "avx512_bf16") if f in flags]
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return {"model": model, "logical_cpus": os.cpu_count(), "usable_cpus": usable, "simd": simd}


def loaded_blas_libraries() -> list:
    """Shared libraries with 'blas' in their name mapped into this process."""
    libs = set()
    try:
        with open("/proc/self/maps") as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 6 and "blas" in os.path.basename(parts[5]).lower():
                    libs.add(parts[5])
    except OSError:
        pass
    return sorted(libs)


def cblas_sgemm_provider(np) -> Optional[str]:
    """The shared library numpy's float32 matmul actually calls (cblas_sgemm as
    numpy's extension module resolves it).  threadpoolctl alone can be fooled:
    OpenBLAS may be loaded (through LAPACK, say) while cblas_sgemm still comes
    from the reference libblas."""
    import ctypes
    import ctypes.util

    class DlInfo(ctypes.Structure):
        _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                    ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]

    core = getattr(np, "_core", None) or getattr(np, "core", None)
    umath = getattr(core, "_multiarray_umath", None)
    path = getattr(umath, "__file__", None)
    if not path:
        return None
    try:
        fn = ctypes.CDLL(path).cblas_sgemm          # the handle numpy's module was loaded with
        libdl = ctypes.CDLL(ctypes.util.find_library("dl") or None)
        dladdr = libdl.dladdr
        dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
        info = DlInfo()
        if not dladdr(ctypes.cast(fn, ctypes.c_void_p), ctypes.byref(info)) or not info.dli_fname:
            return None
        return os.path.realpath(info.dli_fname.decode())
    except (OSError, AttributeError):
        return None


def sgemm_gflops(np) -> float:
    """float32 matmul rate numpy gets here: (256 x 768) @ (768 x 4096), best of 3."""
    a = np.ones((256, 768), dtype=np.float32)
    b = np.ones((768, 4096), dtype=np.float32)
    a @ b
    best = min(_seconds(lambda: a @ b) for _ in range(3))
    return 2.0 * 256 * 768 * 4096 / best / 1e9


def _seconds(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def blas_info(np, cpu: dict) -> "tuple[dict, list]":
    """Which BLAS numpy runs, its kernel and thread count; warnings to shout."""
    warnings = []
    info = {"threadpoolctl": None, "libraries": loaded_blas_libraries()}
    try:
        import threadpoolctl
        pools = threadpoolctl.threadpool_info()
        info["threadpoolctl"] = pools
    except ImportError:
        pools = None
        warnings.append("threadpoolctl is not installed: cannot tell which BLAS numpy uses "
                        "(apt-get install python3-threadpoolctl)")
    blas = [p for p in (pools or []) if p.get("user_api") == "blas"]
    openblas = [p for p in blas if p.get("internal_api") == "openblas"]
    if openblas:
        p = openblas[0]
        info.update(name="OpenBLAS", version=p.get("version"), architecture=p.get("architecture"),
                    num_threads=p.get("num_threads"), threading_layer=p.get("threading_layer"),
                    filepath=p.get("filepath"))
        arch = (p.get("architecture") or "").lower()
        if "avx2" in cpu["simd"] and arch in OLD_OPENBLAS_KERNELS:
            warnings.append(f"OpenBLAS runs its '{p.get('architecture')}' kernel on a CPU with "
                            f"{'/'.join(cpu['simd'])}: numpy matmul is far slower than it should be")
        elif "avx512f" in cpu["simd"] and arch and arch not in AVX512_OPENBLAS_KERNELS:
            warnings.append(f"OpenBLAS runs its '{p.get('architecture')}' kernel although the CPU "
                            f"has AVX-512")
        nt = p.get("num_threads")
        if nt is not None and nt < cpu["usable_cpus"]:
            warnings.append(f"OpenBLAS runs {nt} thread(s) on {cpu['usable_cpus']} usable CPUs")
    else:
        found = ", ".join(f"{p.get('internal_api')} {p.get('version')}" for p in blas) or \
            ", ".join(info["libraries"]) or "nothing detected"
        info.update(name=(blas[0].get("internal_api") if blas else "not OpenBLAS"),
                    num_threads=(blas[0].get("num_threads") if blas else None))
        warnings.append(
            "numpy is NOT using OpenBLAS (found: " + found + "). The numpy peers, matmul above all, "
            "will be far slower than on a properly set-up machine and every ratio flatters kwivel. "
            "Install libopenblas0-pthread and check: update-alternatives --display "
            "libblas.so.3-x86_64-linux-gnu")

    provider = cblas_sgemm_provider(np)
    info["sgemm_library"] = provider
    info["matmul_is_openblas"] = None if provider is None else "openblas" in provider.lower()
    if provider is not None and not info["matmul_is_openblas"]:
        warnings.append(f"numpy's float32 matmul (cblas_sgemm) comes from {provider}, NOT from "
                        f"OpenBLAS, although OpenBLAS may be loaded too: the matmul peers run a slow "
                        f"BLAS (LD_LIBRARY_PATH / update-alternatives libblas.so.3?)")
    info["sgemm_gflops"] = gf = sgemm_gflops(np)
    if gf < 20.0:
        warnings.append(f"numpy float32 matmul runs at only {gf:.1f} GFLOP/s: that is not an "
                        f"optimised BLAS at work")
    return info, warnings


def memory_info() -> dict:
    total = None
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    total = int(line.split()[1]) * 1024
    except OSError:
        pass
    return {"total_bytes": total, "available_bytes": mem_available_bytes()}


def loadavg():
    try:
        return list(os.getloadavg())
    except OSError:
        return None


def shout(lines: list) -> None:
    bar = "!" * 78
    say(bar)
    for line in lines:
        say(f"!! WARNING: {line}")
    say(bar)


# ----------------------------------------------------------------------------
# Main.

def parse_args(argv):
    ap = argparse.ArgumentParser(description="kwivel side-by-side benchmarks")
    ap.add_argument("--quick", action="store_true", help="small sizes (row counts / 10 or so)")
    ap.add_argument("--only", action="append", metavar="NAME", default=[],
                    help=f"run only this benchmark (repeatable, or comma-separated): {', '.join(BENCHMARKS)}")
    ap.add_argument("--json", default=str(BENCH_DIR / "results.json"), metavar="PATH",
                    help="where to write the results (default: bench/results.json)")
    ap.add_argument("--list", action="store_true", help="list the benchmarks and exit")
    args = ap.parse_args(argv)
    only = [name.strip() for item in args.only for name in item.split(",") if name.strip()]
    unknown = [name for name in only if name not in BENCHMARKS]
    if unknown:
        ap.error(f"unknown benchmark(s): {', '.join(unknown)}; choose from {', '.join(BENCHMARKS)}")
    args.only = only
    return args


def main(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.list:
        for name in BENCHMARKS:
            say(f"{name:<15} {importlib.import_module(name).TITLE}")
        return 0

    started = time.perf_counter()
    removed_env = os.environ.pop(_RESTART_MARK, None)
    import numpy as np

    try:
        import kwivel
        kw, kw_error = kwivel, None
    except Exception as e:  # noqa: BLE001 - report whatever stops the import
        kw, kw_error = None, f"{type(e).__name__}: {e}"

    cpu = cpu_info()
    blas, warnings = blas_info(np, cpu)
    if kw is None:
        warnings.insert(0, f"kwivel is not importable ({kw_error}): kwivel sides are skipped")
    mem = memory_info()
    if removed_env:
        env_line = f"removed {removed_env} (process restarted without them)"
    else:
        still = [k for k in BLAS_ENV if k in os.environ]
        env_line = f"still set: {', '.join(still)}" if still else "not set"
    thread_env = {k: os.environ[k] for k in THREAD_ENV if k in os.environ}

    meta = {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "mode": "quick" if args.quick else "full",
        "only": args.only or None,
        "python": {"version": platform.python_version(), "executable": sys.executable},
        "kwivel": ({"version": getattr(kw, "__version__", None), "file": getattr(kw, "__file__", None)}
                   if kw else {"error": kw_error}),
        "numpy": np.__version__,
        "blas": blas,
        "blas_env": env_line,
        "thread_env": thread_env,
        "loader_env": {k: os.environ[k] for k in LOADER_ENV if k in os.environ},
        "cpu": cpu,
        "memory": mem,
        "loadavg_start": loadavg(),
    }

    say(f"kwivel side-by-side benchmarks ({'quick sizes' if args.quick else 'full sizes'}), {meta['date']}")
    hdr = [
        ["python", f"{platform.python_version()}  {sys.executable}"],
        ["kwivel", (f"{getattr(kw, '__version__', '?')}  {getattr(kw, '__file__', '?')}" if kw
                    else f"NOT IMPORTABLE: {kw_error}")],
        ["numpy", np.__version__],
        ["numpy BLAS", ("!! matmul NOT on OpenBLAS (see below); loaded: " if blas.get("matmul_is_openblas") is False
                        else "") +
                       (f"{blas.get('name')} {blas.get('version') or ''}, kernel "
                        f"{blas.get('architecture') or '?'}, {blas.get('num_threads')} thread(s)"
                        f" ({blas.get('threading_layer') or '?'})")],
        ["BLAS library", blas.get("filepath") or ", ".join(blas["libraries"]) or "?"],
        ["matmul (sgemm) from", blas.get("sgemm_library") or "? (could not resolve cblas_sgemm)"],
        ["numpy sgemm", f"{blas['sgemm_gflops']:.0f} GFLOP/s (float32 256x768 @ 768x4096)"],
        ["OPENBLAS_CORETYPE/_L2_SIZE", env_line],
        ["CPU", f"{cpu['model']}; {cpu['usable_cpus']} of {cpu['logical_cpus']} logical CPUs usable; "
                f"{' '.join(cpu['simd']) or 'no AVX2'}"],
        ["memory", (f"{mem['total_bytes'] / 2**30:.1f} GiB total, {mem['available_bytes'] / 2**30:.1f} GiB available"
                    if mem["total_bytes"] and mem["available_bytes"] else "?")],
        ["thread settings", ", ".join(f"{k}={v}" for k, v in thread_env.items()) or "none set (defaults)"],
        ["loader settings", ", ".join(f"{k}={os.environ[k]}" for k in LOADER_ENV if k in os.environ)
         or "none set"],
        ["load average", " ".join(f"{x:.2f}" for x in meta["loadavg_start"]) if meta["loadavg_start"] else "?"],
    ]
    width = max(len(k) for k, _ in hdr)
    for k, v in hdr:
        say(f"  {k:<{width}}  {v}")
    if warnings:
        shout(warnings)

    ctx = Context(quick=args.quick, np=np, kw=kw, kw_error=kw_error, root=ROOT)
    selected = args.only or BENCHMARKS
    results, summary, errors = {}, [], 0
    for name in selected:
        mod = importlib.import_module(name)
        section(mod.TITLE)
        t0 = time.perf_counter()
        try:
            res = mod.run(ctx)
            summary.extend(res.get("summary", []))
        except Skip as e:
            say(f"   SKIPPED: {e}")
            res = {"skipped": str(e)}
            summary.append({"benchmark": name, "metric": f"skipped: {e}", "status": "skipped"})
        except Exception as e:  # noqa: BLE001 - one broken benchmark must not stop the rest
            errors += 1
            traceback.print_exc()
            say(f"   ERROR: {type(e).__name__}: {e}")
            res = {"error": f"{type(e).__name__}: {e}", "traceback": traceback.format_exc()}
            summary.append({"benchmark": name, "metric": f"error: {type(e).__name__}: {e}",
                            "status": "ERROR"})
        res["wall_s"] = time.perf_counter() - t0
        results[name] = res
        say(f"   ({name}: {res['wall_s']:.1f} s)")
        gc.collect()

    # ---- summary -----------------------------------------------------------------------
    section("summary")
    rows = []
    for r in summary:
        if r.get("status") in ("skipped", "ERROR"):
            rows.append([r["benchmark"], "(see below)", "", "", "", "", "", r["status"]])
            continue
        rows.append([r["benchmark"], r["metric"], fmt_num(r.get("kwivel")), fmt_num(r.get("peer")),
                     fmt_num(r.get("ratio")) if r.get("ratio") is not None else "-",
                     r.get("ratio_means", ""), r.get("goal") or "-", r["status"]])
    table(rows, ["benchmark", "metric", "kwivel", "peer", "ratio", "ratio is", "goal", "result"],
          right=[False, False, True, True, True, False, False, False])
    for r in summary:
        if r.get("status") in ("skipped", "ERROR"):
            say(f"   {r['benchmark']} {r['metric']}")
    say("   peers:")
    for name in selected:
        say(f"     {name:<14} {getattr(importlib.import_module(name), 'PEER', '?')}")
    failed = [r for r in summary if r.get("status") == "FAIL"]
    passed = [r for r in summary if r.get("status") == "PASS"]
    say(f"   {len(passed)} passed, {len(failed)} failed, "
        f"{sum(1 for r in summary if r.get('status') == 'skipped')} skipped, {errors} error(s); "
        f"{time.perf_counter() - started:.0f} s in all; load average now "
        f"{' '.join(f'{x:.2f}' for x in (loadavg() or []))}")
    if warnings:
        shout(warnings)

    meta["loadavg_end"] = loadavg()
    meta["wall_s"] = time.perf_counter() - started
    meta["warnings"] = warnings
    out = {"meta": meta, "benchmarks": results, "summary": summary}
    path = Path(args.json)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "w") as f:
        json.dump(json_safe(out), f, indent=2)
        f.write("\n")
    os.replace(tmp, path)
    say(f"   results written to {path}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
