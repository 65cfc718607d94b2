"""The two-stage Pipeline against a brute-force composition of its stages."""

import numpy as np
import pytest

import kwivel
import kwivel.pipeline
from kwivel import Bitmap, Pipeline, RankQuant, SignBitmap

DIM, N = 128, 500


def make_probe(kind, dim=DIM):
    return Bitmap(dim, dim // 4) if kind == "bitmap" else SignBitmap(dim)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    centres = rng.standard_normal((20, DIM))
    docs = (centres[rng.integers(0, 20, N)] + 0.7 * rng.standard_normal((N, DIM))).astype(np.float32)
    docs[3] = 0.0                                    # a zero row: cosine 0 by convention
    queries = (docs[rng.integers(0, N, 29)] + 0.3 * rng.standard_normal((29, DIM))).astype(np.float32)
    return docs, queries


def built(kind, bits, docs):
    probe, rerank = make_probe(kind), RankQuant(DIM, bits)
    probe.add(docs)
    rerank.add(docs)
    return probe, rerank


def exact_cosine(docs, q):
    d = docs.astype(np.float64)
    norms = np.linalg.norm(d, axis=1) * np.linalg.norm(q.astype(np.float64))
    return np.where(norms > 0, d @ q.astype(np.float64) / np.where(norms > 0, norms, 1), 0.0)


def composed(probe, rerank, docs, queries, k, m, rescore):
    """One query at a time, through the single-query shortlist, then numpy rescoring."""
    scores = np.full((len(queries), k), -np.inf, np.float32)
    ids = np.full((len(queries), k), -1, np.int64)
    for i, q in enumerate(queries):
        cand = probe.top_m_candidates(q, m)
        s, g = rerank.search_asymmetric_subset(q, cand, k if rescore is None else rescore)
        if rescore is not None:
            s = exact_cosine(docs, q)[g].astype(np.float32)
            order = np.lexsort((g, -s))[:k]
            s, g = s[order], g[order]
        scores[i, :len(g)], ids[i, :len(g)] = s[:k], g[:k]
    return scores, ids


@pytest.mark.parametrize("kind", ["bitmap", "signbitmap"])
@pytest.mark.parametrize("bits", [4, 2, 1])
@pytest.mark.parametrize("k,m,rescore", [(10, 60, None), (10, 60, 25), (10, 4, None), (10, 7, 12),
                                         (0, 30, None), (5, 0, None)])
@pytest.mark.parametrize("native", [True, False], ids=["search_cells", "python"])
def test_search_equals_composition_of_stages(data, tmp_path, monkeypatch, kind, bits, k, m, rescore, native):
    docs, queries = data
    np.save(tmp_path / "docs.npy", docs)
    vectors = np.load(tmp_path / "docs.npy", mmap_mode="r")
    probe, rerank = built(kind, bits, docs)
    # Small shortlist blocks: the batch is cut into several probe calls.
    monkeypatch.setattr(kwivel.pipeline, "_SHORTLIST_BUFFER_BYTES", 8 * 4 * N)
    if not native:
        monkeypatch.setattr(Pipeline, "_native_ok", lambda self, rescore: False)
    with Pipeline(probe, rerank, vectors=vectors, threads=3) as pipe:
        scores, ids = pipe.search(np.asfortranarray(queries), k, m, rescore=rescore)
    want_s, want_i = composed(probe, rerank, docs, queries, k, m, rescore)
    assert scores.dtype == np.float32 and ids.dtype == np.int64 and ids.shape == (len(queries), k)
    np.testing.assert_array_equal(ids, want_i)
    np.testing.assert_allclose(scores, want_s, rtol=1e-6, atol=1e-7)
    if 0 < m < k:
        assert (ids[:, m:] == -1).all() and np.isneginf(scores[:, m:]).all()


@pytest.mark.parametrize("kind", ["bitmap", "signbitmap"])
def test_whole_index_shortlist_is_the_full_search(data, kind):
    docs, queries = data
    probe, rerank = built(kind, 4, docs)
    pipe = Pipeline(probe, rerank, vectors=docs)
    # Every id shortlisted: the rerank alone is search_asymmetric ...
    s, i = pipe.search(queries, 10, N + 5)
    full_s, full_i = rerank.search_asymmetric(queries, 10)
    np.testing.assert_array_equal(i, full_i)
    np.testing.assert_array_equal(s, full_s)
    # ... and rescoring everything is exact cosine search.
    s, i = pipe.search(queries, 10, N, rescore=N)
    for q, row in zip(queries, i):
        cos = exact_cosine(docs, q)
        np.testing.assert_array_equal(row, np.lexsort((np.arange(N), -cos.astype(np.float32)))[:10])
    pipe.close()


def test_refusals(data):
    docs, queries = data
    probe, rerank = built("signbitmap", 4, docs)
    short = RankQuant(DIM, 4)
    short.add(docs[:-1])
    with pytest.raises(ValueError, match="differ in length: 500 vs 499"):
        Pipeline(probe, short)
    wide = SignBitmap(2 * DIM)
    wide.add(np.hstack([docs, docs]))
    with pytest.raises(ValueError, match="differ in dim: 256 vs 128"):
        Pipeline(wide, rerank)
    pipe = Pipeline(probe, rerank)
    probe.add(docs[:1])                              # grown after construction
    with pytest.raises(ValueError, match="differ in length: 501 vs 500"):
        pipe.search(queries, 10, 50)
    pipe = Pipeline(*built("bitmap", 4, docs), vectors=docs)
    with pytest.raises(ValueError, match="rescore"):
        Pipeline(*built("bitmap", 4, docs)).search(queries, 10, 50, rescore=20)
    with pytest.raises(ValueError, match="rescore"):
        pipe.search(queries, 10, 50, rescore=5)
    with pytest.raises(ValueError, match=r"vectors have shape \(499, 128\)"):
        Pipeline(*built("bitmap", 4, docs), vectors=docs[:-1])
    with pytest.raises(TypeError):
        pipe.search(queries.astype(np.int32), 10, 50)  # the module's own gate
    with pytest.raises(TypeError):
        pipe.search(queries[0], 10, 50)
