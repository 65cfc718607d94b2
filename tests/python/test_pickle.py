"""Pickling every index class: the bytes are its file, and unpickling is its loader."""

import copy
import pickle

import numpy as np
import pytest

import kwivel
from kwivel._pickle import index_from_bytes, index_to_bytes
from kwivel.shards import search_index

DIM = 128
# class name -> (constructor arguments, file label, header bytes)
FORMATS = {
    "Rank": ((DIM,), "KWR1", 13),
    "RankQuant": ((DIM, 4), "KWRQ", 14),
    "Bitmap": ((DIM, 32), "KWBM", 17),
    "SignBitmap": ((DIM,), "KWSB", 13),
}
CLASSES = [pytest.param(name, marks=pytest.mark.skipif(not hasattr(kwivel, name),
                                                       reason=f"{name} not in this build"))
           for name in FORMATS]


def filled(name, n=40):
    index = getattr(kwivel, name)(*FORMATS[name][0])
    index.add(np.random.default_rng(3).standard_normal((n, DIM)).astype(np.float32))
    return index


class _Damaged:
    """Pickles as an index of `cls` whose embedded file is `data`."""

    def __init__(self, cls, data):
        self.cls, self.data = cls, data

    def __reduce__(self):
        return index_from_bytes, (self.cls, self.data)


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("name", CLASSES)
def test_round_trip_answers_like_the_original(name, protocol, tmp_path):
    index = filled(name)
    blob = pickle.dumps(index, protocol=protocol)
    if protocol >= 3:                                   # protocol 2 stores bytes as latin-1 text
        index.write(str(tmp_path / "f"))
        assert (tmp_path / "f").read_bytes() in blob    # the pickle carries the file format
    queries = np.random.default_rng(4).standard_normal((6, DIM)).astype(np.float32)
    want = search_index(index, queries, 5)
    for other in (pickle.loads(blob), copy.deepcopy(index)):
        assert type(other) is type(index) and repr(other) == repr(index)
        got = search_index(other, queries, 5)
        np.testing.assert_array_equal(got[1], want[1])
        np.testing.assert_array_equal(got[0], want[0])


@pytest.mark.parametrize("name", CLASSES)
def test_damaged_pickle_gives_the_loader_error(name):
    index = filled(name, n=3)
    _, label, header = FORMATS[name]
    data = index_to_bytes(index)
    declared = len(data) - header
    blob = pickle.dumps(_Damaged(type(index), data[:-3]))
    with pytest.raises(OSError) as err:
        pickle.loads(blob)
    assert str(err.value) == (f"{label} payload truncated: header declares {declared} B "
                              f"but file has {declared - 3} B remaining")
    with pytest.raises(OSError, match="wrong magic"):
        pickle.loads(pickle.dumps(_Damaged(type(index), b"XXXX" + data[4:])))

