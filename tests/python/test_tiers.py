"""KWIVEL_MAX_TIER: every tier this processor runs gives the same exact
results, and a value that names no tier is refused at import."""

import hashlib
import os
import subprocess
import sys

import pytest

TIERS = ["portable", "avx2", "avx512", "avx512_vpopcnt"]


def cpu_tiers():
    """Tiers the running processor supports, read independently of kwivel."""
    flags = set()
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                break
    tiers = ["portable"]
    if {"avx2", "fma", "popcnt"} <= flags:
        tiers.append("avx2")
        if {"avx512f", "avx512dq", "avx512bw", "avx512vl"} <= flags:
            tiers.append("avx512")
            if "avx512_vpopcntdq" in flags:
                tiers.append("avx512_vpopcnt")
    return tiers


RUNNABLE = cpu_tiers()
PER_TIER = [pytest.param(t, marks=pytest.mark.skipif(t not in RUNNABLE, reason=f"this processor lacks {t}"))
            for t in TIERS]

SCRIPT = """
import hashlib, numpy as np, kwivel
rng = np.random.default_rng(3)
x = rng.standard_normal((3000, 200)).astype(np.float32)
q = rng.standard_normal((37, 200)).astype(np.float32)
h = hashlib.sha256()
r = kwivel.Rank(200); r.add(x)
for s, i in (r.search(q, 9), r.search_asymmetric(q, 9)):
    h.update(s.tobytes()); h.update(i.tobytes())
for bits in (1, 2, 4):
    rq = kwivel.RankQuant(200 if bits != 4 else 208, bits)
    rq.add(rng.standard_normal((3000, rq.dim)).astype(np.float32))
    s, i = rq.search(rng.standard_normal((37, rq.dim)).astype(np.float32), 9)
    h.update(s.tobytes()); h.update(i.tobytes())
print(h.hexdigest())
"""


def run(env_tier, code=SCRIPT):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    if env_tier is None:
        env.pop("KWIVEL_MAX_TIER", None)
    else:
        env["KWIVEL_MAX_TIER"] = env_tier
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


@pytest.fixture(scope="module")
def portable_digest():
    out = run("portable")
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


@pytest.mark.parametrize("tier", PER_TIER)
def test_every_tier_gives_the_portable_bits(tier, portable_digest):
    out = run(tier)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == portable_digest


def test_unknown_tier_is_refused_at_import():
    out = run("avx3", "import kwivel")
    assert out.returncode != 0
    assert out.stderr.strip().splitlines()[-1] == (
        'ValueError: kwivel: KWIVEL_MAX_TIER="avx3" is not a tier; '
        "expected one of portable, avx2, avx512, avx512_vpopcnt")
