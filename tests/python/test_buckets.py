"""Bucket arithmetic and packing functions, against a NumPy reference encoding."""

import numpy as np
import pytest
from hypothesis import given, strategies as st

from kwivel import (
    bucket_centre,
    bucket_ranks,
    pack_buckets,
    rank_to_bucket,
    rankquant_bytes_per_vec,
    rankquant_norm,
    unpack_buckets,
)

OOR = "out of range integral type conversion attempted"
NOT_CONTIGUOUS = "array must be C-contiguous; call np.ascontiguousarray() first"


def np_pack(codes, bits):
    """Reference packing: first code of each byte in its most significant bits."""
    per = 8 // bits
    c = np.asarray(codes, dtype=np.uint16).reshape(-1, per)
    shifts = bits * (per - 1 - np.arange(per))
    return (c << shifts).sum(axis=1).astype(np.uint8)


# ----- worked values -----------------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    ((0, 768, 2), 0), ((192, 768, 2), 1), ((767, 768, 2), 3), ((9, 10, 0), 0), ((65534, 65535, 7), 127),
])
def test_rank_to_bucket_values(args, expected):
    assert rank_to_bucket(*args) == expected


@pytest.mark.parametrize("args, exc, msg", [
    ((5, 5, 2), ValueError, "rank (5) must be < d (5)"),
    ((0, 0, 2), ValueError, "d must be > 0"),
    ((0, 0, 8), ValueError, "bits must be <= 7"),  # bits is checked before d
    ((65536, 70000, 2), OverflowError, OOR),
    ((-1, 10, 2), OverflowError, OOR),
    ((0, 10, 256), OverflowError, OOR),
])
def test_rank_to_bucket_refusals(args, exc, msg):
    with pytest.raises(exc) as e:
        rank_to_bucket(*args)
    assert str(e.value) == msg


def test_bucket_ranks_uneven_buckets_and_zero_bits():
    r = np.arange(10, dtype=np.uint16)
    assert bucket_ranks(r, 2).tolist() == [0, 0, 0, 1, 1, 2, 2, 2, 3, 3]
    assert bucket_ranks(r, 0).tolist() == [0] * 10
    out = bucket_ranks(np.array([], np.uint16), 3)
    assert out.dtype == np.uint8 and out.shape == (0,)


@given(st.integers(1, 600), st.integers(0, 7), st.randoms(use_true_random=False))
def test_bucket_ranks_matches_integer_formula(d, bits, rnd):
    ranks = np.array([rnd.randrange(d) for _ in range(d)], dtype=np.uint16)  # repeats allowed
    expected = ((ranks.astype(np.uint64) << bits) // d).astype(np.uint8)
    np.testing.assert_array_equal(bucket_ranks(ranks, bits), expected)


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: bucket_ranks(np.arange(4, dtype=np.int64), 2), TypeError, None),
    (lambda: bucket_ranks([0, 1], 2), TypeError, None),
    (lambda: bucket_ranks(np.arange(4, dtype=np.uint16).reshape(2, 2), 2), TypeError, None),
    (lambda: bucket_ranks(np.array([0, 4, 1, 2], np.uint16), 2), ValueError, "rank (4) must be < d (4)"),
    (lambda: bucket_ranks(np.arange(8, dtype=np.uint16)[::2], 2), ValueError, NOT_CONTIGUOUS),
    (lambda: bucket_ranks(np.arange(8, dtype=np.uint16)[::2], 8), ValueError, "bits must be <= 7"),
])
def test_bucket_ranks_refusals(call, exc, msg):
    with pytest.raises(exc) as e:
        call()
    if msg is not None:
        assert str(e.value) == msg
    else:
        assert e.value.__notes__ == ["while processing 'ranks'"]


@pytest.mark.parametrize("codes, bits, byte", [([3, 0, 1, 2], 2, 198), ([1, 0, 0, 0, 0, 0, 0, 1], 1, 129), ([5, 0], 4, 80)])
def test_pack_worked_values(codes, bits, byte):
    packed = pack_buckets(np.array(codes, np.uint8), bits)
    assert packed.dtype == np.uint8 and packed.tolist() == [byte]
    assert unpack_buckets(packed, len(codes), bits).tolist() == codes


@given(st.sampled_from([1, 2, 4]), st.integers(0, 40), st.randoms(use_true_random=False))
def test_pack_unpack_round_trip_against_reference(bits, n_bytes, rnd):
    n = n_bytes * (8 // bits)
    codes = np.array([rnd.randrange(1 << bits) for _ in range(n)], dtype=np.uint8)
    packed = pack_buckets(codes, bits)
    np.testing.assert_array_equal(packed, np_pack(codes, bits) if n else np.zeros(0, np.uint8))
    np.testing.assert_array_equal(unpack_buckets(packed, n, bits), codes)


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: pack_buckets(np.zeros(5, np.uint8), 2), ValueError, "len 5 must be a multiple of 4 for bits = 2"),
    (lambda: pack_buckets(np.array([4, 0, 0, 0], np.uint8), 2), ValueError, "bucket value 4 out of range [0, 4) for bits = 2"),
    (lambda: pack_buckets(np.zeros(8, np.uint8), 8), ValueError, "bits must be 1, 2, or 4"),
    (lambda: pack_buckets(np.zeros(8, np.uint8), 3), ValueError, "bits must be 1, 2, or 4"),
    (lambda: pack_buckets(np.zeros(16, np.uint8)[::2], 1), ValueError, NOT_CONTIGUOUS),
    (lambda: unpack_buckets(np.array([198], np.uint8), 5, 2), ValueError, "packed length 1 * 4 codes/byte != d = 5"),
    (lambda: unpack_buckets(np.array([198], np.uint8), 4, 3), ValueError, "bits must be 1, 2, or 4"),
    (lambda: unpack_buckets(np.zeros(4, np.uint8)[::2], 4, 2), ValueError, NOT_CONTIGUOUS),
])
def test_pack_unpack_refusals(call, exc, msg):
    with pytest.raises(exc) as e:
        call()
    assert str(e.value) == msg


@pytest.mark.parametrize("fn, args, name", [
    (pack_buckets, (np.zeros(4, np.int8), 2), "buckets"),
    (unpack_buckets, (np.zeros(4, np.uint16), 8, 2), "packed"),
    (pack_buckets, (np.zeros(4, np.uint8), -1), "bits"),
])
def test_typed_arguments_are_conversion_errors(fn, args, name):
    with pytest.raises((TypeError, OverflowError)) as e:
        fn(*args)
    assert e.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize("bucket, bits, expected", [(0, 2, -1.5), (3, 2, 1.5), (1, 1, 0.5), (0, 0, 0.0), (15, 4, 7.5)])
def test_bucket_centre_values(bucket, bits, expected):
    assert bucket_centre(bucket, bits) == expected


def test_bucket_centre_refusals():
    with pytest.raises(ValueError, match=r"^bucket 4 out of range \[0, 4\) for bits = 2$"):
        bucket_centre(4, 2)
    with pytest.raises(ValueError, match="^bits must be <= 7$"):
        bucket_centre(0, 8)
    with pytest.raises(OverflowError, match=OOR):
        bucket_centre(256, 2)


@pytest.mark.parametrize("d, bits, expected", [(768, 2, 30.983867645263672), (768, 1, 13.856406211853027), (0, 4, 0.0)])
def test_rankquant_norm_values(d, bits, expected):
    assert rankquant_norm(d, bits) == expected


@pytest.mark.parametrize("d, bits", [(16, 1), (64, 2), (768, 4), (1024, 4)])
def test_rankquant_norm_is_norm_of_centred_constant_composition(d, bits):
    codes = (np.arange(d) * (1 << bits)) // d
    centred = codes - ((1 << bits) - 1) / 2
    assert rankquant_norm(d, bits) == np.float32(np.sqrt(centred @ centred))


@pytest.mark.parametrize("d, bits, expected", [(768, 4, 384), (768, 1, 96), (0, 2, 0), (64, 2, 16)])
def test_rankquant_bytes_per_vec_values(d, bits, expected):
    assert rankquant_bytes_per_vec(d, bits) == expected


@pytest.mark.parametrize("call, msg", [
    (lambda: rankquant_bytes_per_vec(769, 4), "d 769 must be a multiple of 2 for bits = 4"),
    (lambda: rankquant_bytes_per_vec(768, 8), "bits must be 1, 2, or 4"),
    (lambda: rankquant_norm(768, 8), "bits must be 1, 2, or 4"),
])
def test_size_function_refusals(call, msg):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == msg
