"""call_overhead: the fixed cost of calling into kwivel, beside builtins and numpy.

Each statement runs `number` times per timeit loop; the best loop of several
(interleaved across statements) gives the per-call time.  The empty
statement's time is the timeit loop itself, included in every other row.
"""

from __future__ import annotations

import math
import timeit

from harness import Context, fmt_num, say, summary_row, table, note

NAME = "call_overhead"
TITLE = "call_overhead: per-call cost of tiny kwivel calls vs builtins/numpy"
PEER = "the builtin/numpy call named in each row"

DIM = 768
NUMBER = 100_000
NUMBER_QUICK = 20_000
REPEAT = 7
REPEAT_QUICK = 5

# (label, statement).  kwivel statements need the names set up in run().
KWIVEL_STMTS = [
    ("kwivel.rank_norm(768)", "kwivel.rank_norm(768)"),
    ("len(index)", "len(index)"),
    ("index.add(empty (0,768))", "index.add(empty)"),
    ("index.search(empty (0,768), 10)", "index.search(empty, 10)"),
]
PEER_STMTS = [
    ("math.sqrt(768.0)", "math.sqrt(768.0)"),
    ("len(list_obj)", "len(list_obj)"),
    ("np.empty(0)", "np.empty(0)"),
    ("arr.sum() (8 float32)", "arr.sum()"),
    ("np.add(a, b) (8 float32)", "np.add(a, b)"),
]
LOOP_STMT = ("(empty statement: timeit loop)", "pass")

# kwivel call -> the builtin/numpy call of about the same shape, and the short
# name of the pair in the summary.
PAIRS = [
    ("kwivel.rank_norm(768)", "math.sqrt(768.0)",            # module function, float out
     "rank_norm(768) vs math.sqrt"),
    ("len(index)", "len(list_obj)", "len(index) vs len(list)"),  # sq_length slot
    ("index.add(empty (0,768))", "arr.sum() (8 float32)",    # array in, trivial work
     "add(empty) vs arr.sum()"),
    ("index.search(empty (0,768), 10)", "np.add(a, b) (8 float32)",  # arrays in, arrays out
     "search(empty, 10) vs np.add(a, b)"),
]


def run(ctx: Context) -> dict:
    np = ctx.np
    number = NUMBER_QUICK if ctx.quick else NUMBER
    repeat = REPEAT_QUICK if ctx.quick else REPEAT

    g = {
        "math": math,
        "np": np,
        "list_obj": list(range(1000)),
        "arr": np.ones(8, dtype=np.float32),
        "a": np.ones(8, dtype=np.float32),
        "b": np.ones(8, dtype=np.float32),
        "empty": np.empty((0, DIM), dtype=np.float32),
    }
    stmts = [LOOP_STMT] + list(PEER_STMTS)
    skipped = []
    if ctx.kw is None:
        note(f"kwivel is not importable ({ctx.kw_error}): only the peers are timed")
        skipped = [label for label, _ in KWIVEL_STMTS]
    else:
        kw = ctx.kw
        g["kwivel"] = kw
        index = None
        if hasattr(kw, "Rank"):
            index = kw.Rank(DIM)
            index.add(np.random.default_rng(7).standard_normal((1000, DIM), dtype=np.float32))
            g["index"] = index
        for label, stmt in KWIVEL_STMTS:
            # Probe once: a statement that cannot run in this build is skipped.
            try:
                eval(stmt, g)
            except Exception as e:  # noqa: BLE001 - any failure means "not available"
                skipped.append(label)
                note(f"{label} skipped: {type(e).__name__}: {e}")
                continue
            stmts.append((label, stmt))

    timers = {label: timeit.Timer(stmt, globals=g) for label, stmt in stmts}
    for timer in timers.values():      # warm-up
        timer.timeit(number=max(1, number // 10))
    best = {label: float("inf") for label in timers}
    for _ in range(repeat):            # interleaved: one loop of each per round
        for label, timer in timers.items():
            best[label] = min(best[label], timer.timeit(number=number) / number)

    us = {label: best[label] * 1e6 for label in timers}
    say(f"   best of {repeat} loops x {number} calls; microseconds per call")
    rows = []
    kw_labels = {label for label, _ in KWIVEL_STMTS}
    for label, _ in stmts:
        rows.append([label, "kwivel" if label in kw_labels else "peer", fmt_num(us[label])])
    table(rows, ["call", "side", "us/call"])

    summary = []
    pairs = {}
    for kl, pl, short in PAIRS:
        if kl not in us:
            continue
        r = us[kl] / us[pl]
        pairs[kl] = {"peer": pl, "kwivel_us": us[kl], "peer_us": us[pl], "kwivel_over_peer": r}
        summary.append(summary_row(NAME, short + " (us)", us[kl], us[pl], "us", r,
                                   "kwivel/peer time", None, pl))
    return {
        "params": {"number": number, "repeat": repeat},
        "results": {"us_per_call": us, "pairs": pairs, "skipped": skipped},
        "summary": summary,
    }
