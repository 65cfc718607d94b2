"""Failed writes and short files, for every index format.

A write that fails for any reason (the disk filling part-way, a missing
directory, a parent that is a file, a target that is a directory) leaves the
file that was there byte for byte as it was and no temporary file behind.
A file cut short anywhere is refused with OSError by its loader.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kwivel

KINDS = {
    "Rank": lambda: kwivel.Rank(256),
    "RankQuant": lambda: kwivel.RankQuant(256, 4),
    "Bitmap": lambda: kwivel.Bitmap(256, 32),
    "SignBitmap": lambda: kwivel.SignBitmap(256),
}


def built(kind, rows):
    ix = KINDS[kind]()
    ix.add(np.random.default_rng(rows).standard_normal((rows, 256)).astype(np.float32))
    return ix


@pytest.fixture(params=sorted(KINDS))
def kind(request):
    return request.param


@pytest.fixture
def kept(kind, tmp_path):
    path = tmp_path / "keep.idx"
    built(kind, 3).write(str(path))
    return path, path.read_bytes()


_FULL_DISK = textwrap.dedent("""
    import resource, signal, sys, numpy as np, kwivel
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    make = {"Rank": lambda: kwivel.Rank(256), "RankQuant": lambda: kwivel.RankQuant(256, 4),
            "Bitmap": lambda: kwivel.Bitmap(256, 32), "SignBitmap": lambda: kwivel.SignBitmap(256)}
    idx = make[sys.argv[2]]()
    idx.add(np.random.default_rng(1).standard_normal((8000, 256)).astype(np.float32))
    resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))
    try:
        idx.write(sys.argv[1])
    except OSError as e:
        print(e)
        sys.exit(3)
""")


def test_write_failing_part_way_keeps_the_old_file(kind, kept):
    path, before = kept
    run = subprocess.run([sys.executable, "-c", _FULL_DISK, str(path), kind], capture_output=True, text=True)
    assert run.returncode == 3, run.stderr
    assert run.stdout.strip().endswith("(os error 27)")  # EFBIG: the write failed part-way
    assert path.read_bytes() == before
    assert sorted(os.listdir(path.parent)) == ["keep.idx"]


@pytest.mark.parametrize("where, errno", [("missing/x.idx", 2), ("keep.idx/x.idx", 20), ("adir", 21)])
def test_write_to_an_impossible_path(kind, kept, where, errno):
    path, before = kept
    (path.parent / "adir").mkdir()
    with pytest.raises(OSError) as e:
        built(kind, 2).write(str(path.parent / where))
    assert e.value.args[0] == f"{os.strerror(errno)} (os error {errno})"
    assert path.read_bytes() == before
    assert sorted(os.listdir(path.parent)) == ["adir", "keep.idx"]
    assert os.listdir(path.parent / "adir") == []


def test_every_cut_is_refused(kind, tmp_path):
    path = tmp_path / "full.idx"
    ix = built(kind, 5)
    ix.write(str(path))
    data = path.read_bytes()
    cls = type(ix)
    assert len(cls.load(str(path))) == 5
    cut = tmp_path / "cut.idx"
    for size in sorted({0, 1, 3, 4, 5, 7, 9, 12, 13, 16, 17, len(data) // 2, len(data) - 1}):
        cut.write_bytes(data[:size])
        with pytest.raises(OSError):
            cls.load(str(cut))
