"""Shared pieces of the side-by-side benchmarks: timing, summary rows, output.

Every benchmark module exposes ``NAME``, ``TITLE`` and ``run(ctx) -> dict``.
The dict it returns goes into ``bench/results.json`` as is (after the values
are made JSON-safe); its ``"summary"`` list feeds the final table.

The machine these run on is shared and noisy, so the rules are:
  * kwivel and its peer are timed in the same run, interleaved rep by rep;
  * the best (minimum) of several reps is reported, never the mean;
  * results are compared as ratios, which survive a slow machine far better
    than absolute numbers do.
"""

from __future__ import annotations

import gc
import math
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional


class Skip(Exception):
    """Skips a benchmark, or one part of it, with a note saying why."""


# ----------------------------------------------------------------------------
# Context handed to every benchmark.

@dataclass
class Context:
    quick: bool
    np: Any                      # the numpy module
    kw: Any                      # the kwivel module, or None when it failed to import
    kw_error: Optional[str]      # why kwivel failed to import
    root: Any                    # pathlib.Path of the repository root
    notes: List[str] = field(default_factory=list)

    def require(self, *names: str) -> Any:
        """The kwivel module, or Skip when it (or one of `names`) is missing.

        `names` may be dotted, e.g. "Rank.search_asymmetric"."""
        if self.kw is None:
            raise Skip(f"kwivel is not importable ({self.kw_error})")
        for name in names:
            if not has_attr_path(self.kw, name):
                raise Skip(f"kwivel.{name} is not available in this build")
        return self.kw

    def has(self, name: str) -> bool:
        return self.kw is not None and has_attr_path(self.kw, name)


def has_attr_path(obj: Any, dotted: str) -> bool:
    for part in dotted.split("."):
        if not hasattr(obj, part):
            return False
        obj = getattr(obj, part)
    return True


# ----------------------------------------------------------------------------
# Output.

def say(*args: Any) -> None:
    print(*args, flush=True)


def section(title: str) -> None:
    say()
    say(f"== {title} " + "=" * max(0, 74 - len(title)))


def note(text: str) -> None:
    say(f"   note: {text}")


def table(rows: List[List[str]], header: List[str], indent: str = "   ",
          right: Optional[List[bool]] = None) -> None:
    """Prints rows of strings as an aligned table."""
    cols = len(header)
    widths = [len(h) for h in header]
    for r in rows:
        for i, cell in enumerate(r):
            widths[i] = max(widths[i], len(cell))
    if right is None:
        right = [False] + [True] * (cols - 1)

    def fmt(r: List[str]) -> str:
        cells = [c.rjust(widths[i]) if right[i] else c.ljust(widths[i]) for i, c in enumerate(r)]
        return indent + "  ".join(cells).rstrip()

    say(fmt(header))
    say(indent + "  ".join("-" * w for w in widths))
    for r in rows:
        say(fmt(r))


def fmt_num(x: Optional[float], digits: int = 3) -> str:
    """A number with `digits` significant digits, never in exponent form for
    the magnitudes these benchmarks produce."""
    if x is None:
        return "-"
    if isinstance(x, float) and (math.isnan(x) or math.isinf(x)):
        return str(x)
    if x == 0:
        return "0"
    mag = math.floor(math.log10(abs(x)))
    if mag >= digits - 1:
        return f"{x:,.0f}"
    if mag < -6:
        return f"{x:.2e}"
    return f"{x:.{digits - 1 - mag}f}"


def fmt_time(seconds: Optional[float]) -> str:
    if seconds is None:
        return "-"
    if seconds >= 1.0:
        return f"{fmt_num(seconds)} s"
    if seconds >= 1e-3:
        return f"{fmt_num(seconds * 1e3)} ms"
    return f"{fmt_num(seconds * 1e6)} us"


# ----------------------------------------------------------------------------
# Timing.

@dataclass
class Timing:
    times: List[float]
    last: Any = None

    @property
    def best(self) -> float:
        return min(self.times)

    @property
    def reps(self) -> int:
        return len(self.times)

    def as_dict(self) -> Dict[str, Any]:
        return {"best_s": self.best, "reps": self.reps, "times_s": self.times}


def timed(fn: Callable[[], Any]) -> "tuple[float, Any]":
    """Runs fn once with the collector paused; returns (seconds, result)."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        t0 = time.perf_counter()
        out = fn()
        t = time.perf_counter() - t0
    finally:
        if enabled:
            gc.enable()
    return t, out


def side_by_side(fns: Dict[str, Callable[[], Any]], reps: int, budget_s: float,
                 keep: bool = True, before: Optional[Callable[[str], None]] = None,
                 after: Optional[Callable[[str, Any], None]] = None) -> Dict[str, Timing]:
    """Times every function in `fns`, interleaved: rep 1 of each, then rep 2 of
    each, ...  Stops after `reps` rounds, or earlier once `budget_s` seconds
    have gone by (always after at least one full round).

    `before(name)` runs untimed ahead of each call; `after(name, result)` runs
    untimed after it.  With keep=False results are dropped at once (for large
    outputs), else the last result of each function is kept in Timing.last.
    """
    out = {name: Timing([]) for name in fns}
    start = time.perf_counter()
    for _ in range(max(1, reps)):
        for name, fn in fns.items():
            if before is not None:
                before(name)
            t, res = timed(fn)
            out[name].times.append(t)
            if after is not None:
                after(name, res)
            out[name].last = res if keep else None
            del res
        if time.perf_counter() - start >= budget_s:
            break
    return out


# ----------------------------------------------------------------------------
# Summary rows.

def goal_status(value: Optional[float], goal: Optional[tuple]) -> str:
    """'PASS' / 'FAIL' against ('>=', x) or ('<=', x); 'info' without a goal."""
    if goal is None:
        return "info"
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    op, ref = goal
    ok = value >= ref if op == ">=" else value <= ref
    return "PASS" if ok else "FAIL"


def summary_row(benchmark: str, metric: str, kwivel: Optional[float], peer: Optional[float],
                unit: str, ratio: Optional[float], ratio_means: str,
                goal: Optional[tuple] = None, peer_name: str = "") -> Dict[str, Any]:
    return {
        "benchmark": benchmark,
        "metric": metric,
        "kwivel": kwivel,
        "peer": peer,
        "peer_name": peer_name,
        "unit": unit,
        "ratio": ratio,
        "ratio_means": ratio_means,
        "goal": None if goal is None else f"{goal[0]} {goal[1]:g}",
        "status": goal_status(ratio, goal),
    }


def check_row(benchmark: str, metric: str, value: Optional[float], goal: tuple,
              unit: str = "") -> Dict[str, Any]:
    """A correctness check in the summary: the value itself meets the goal."""
    return {
        "benchmark": benchmark,
        "metric": metric,
        "kwivel": value,
        "peer": None,
        "peer_name": "",
        "unit": unit,
        "ratio": None,
        "ratio_means": "check",
        "goal": f"{goal[0]} {goal[1]:g}",
        "status": goal_status(value, goal),
    }


def ratio(a: Optional[float], b: Optional[float]) -> Optional[float]:
    if a is None or b is None or b == 0:
        return None
    return a / b


# ----------------------------------------------------------------------------
# Shared numpy peers.

def numpy_rank_transform(np, X, dtype=None):
    """Row-wise ranks with ties broken by index: the numpy double argsort."""
    R = np.argsort(np.argsort(X, axis=1, kind="stable"), axis=1, kind="stable")
    return R.astype(np.uint16 if dtype is None else dtype)


# ----------------------------------------------------------------------------
# Small helpers.

def mem_available_bytes() -> Optional[int]:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def json_safe(obj: Any) -> Any:
    """Converts numpy scalars/arrays and other odd values for json.dump."""
    if isinstance(obj, dict):
        return {str(k): json_safe(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [json_safe(v) for v in obj]
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else None
    if obj is None or isinstance(obj, (bool, int, str)):
        return obj
    np = sys.modules.get("numpy")
    if np is not None:
        if isinstance(obj, np.generic):
            return json_safe(obj.item())
        if isinstance(obj, np.ndarray):
            return json_safe(obj.tolist())
    return str(obj)
