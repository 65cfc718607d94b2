"""A NaN or an infinity anywhere in a large input is refused.

Inputs of a million floats or more are scanned for finiteness in parallel
pieces; a bad value at the first, a middle or the last position must be
found by every entry point that takes float vectors, with the documented
ValueError, and must leave the index exactly as it was.
"""

import numpy as np
import pytest

import kwivel
from conftest import NON_FINITE

DIM = 256
ROWS = 4200  # 4200 * 256 floats: past the parallel scan's threshold of 2^20
BAD = {"first": 0, "middle": ROWS * DIM // 2 + 77, "last": ROWS * DIM - 1}
VALUES = {"nan": np.nan, "inf": np.inf, "-inf": -np.inf}


@pytest.fixture(scope="module")
def clean():
    return np.random.default_rng(4).standard_normal((ROWS, DIM)).astype(np.float32)


@pytest.fixture(scope="module")
def indexes(clean):
    out = {"Rank": kwivel.Rank(DIM), "RankQuant": kwivel.RankQuant(DIM, 2), "Bitmap": kwivel.Bitmap(DIM, 16),
           "SignBitmap": kwivel.SignBitmap(DIM)}
    for ix in out.values():
        ix.add(clean[:500])
    return out


def snapshot(ix, tmp_path):
    path = tmp_path / "snap"
    ix.write(str(path))
    return len(ix), path.read_bytes()


ENTRY_POINTS = {
    "Rank.add": ("Rank", lambda ix, x: ix.add(x)),
    "Rank.search": ("Rank", lambda ix, x: ix.search(x, 3)),
    "Rank.search_asymmetric": ("Rank", lambda ix, x: ix.search_asymmetric(x, 3)),
    "RankQuant.add": ("RankQuant", lambda ix, x: ix.add(x)),
    "RankQuant.search": ("RankQuant", lambda ix, x: ix.search(x, 3)),
    "RankQuant.search_asymmetric": ("RankQuant", lambda ix, x: ix.search_asymmetric(x, 3)),
    "Bitmap.add": ("Bitmap", lambda ix, x: ix.add(x)),
    "Bitmap.search": ("Bitmap", lambda ix, x: ix.search(x, 3)),
    "Bitmap.top_m_candidates_batched": ("Bitmap", lambda ix, x: ix.top_m_candidates_batched(x, 3)),
    "Bitmap.top_m_candidates_batched_chunked":
        ("Bitmap", lambda ix, x: ix.top_m_candidates_batched_chunked(x, 3, 1000)),
    "SignBitmap.add": ("SignBitmap", lambda ix, x: ix.add(x)),
    "SignBitmap.top_m_candidates_batched": ("SignBitmap", lambda ix, x: ix.top_m_candidates_batched(x, 3)),
    "SignBitmap.score_all_batched": ("SignBitmap", lambda ix, x: ix.score_all_batched(x)),
    "rankquant_eval_search corpus": (None, lambda ix, x: kwivel.rankquant_eval_search(x, x[:2], 2, 3)),
    "rankquant_eval_search queries": (None, lambda ix, x: kwivel.rankquant_eval_search(x[:10], x, 2, 3)),
}


@pytest.mark.parametrize("where", sorted(BAD))
@pytest.mark.parametrize("value", sorted(VALUES))
@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_bad_value_is_refused_and_nothing_changes(entry, value, where, clean, indexes, tmp_path):
    kind, call = ENTRY_POINTS[entry]
    x = clean.copy()
    x.reshape(-1)[BAD[where]] = VALUES[value]
    ix = indexes[kind] if kind else None
    before = snapshot(ix, tmp_path) if ix is not None else None
    with pytest.raises(ValueError) as exc:
        call(ix, x)
    assert str(exc.value) == NON_FINITE
    if ix is not None:
        assert snapshot(ix, tmp_path) == before
