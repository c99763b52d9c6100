"""NumPy array results: layout, ownership and lifetime of the decoded buffers,
and the run-time lookup of NumPy's C API."""

import gc
import os
import subprocess
import sys
import textwrap

import pytest

import vantoro

from builders import SMALL_OFFSETS, RawImage, peak_block_v66

np = pytest.importorskip("numpy")

MZ = [100.0 + 0.5 * j for j in range(1000)]
INTEN = [float(1000 + j) for j in range(1000)]


@pytest.fixture
def path(tmp_path):
    return RawImage().header(66).put(SMALL_OFFSETS[0], peak_block_v66(MZ, INTEN)).write(tmp_path / "v66.small.RAW")


@pytest.mark.parametrize("scan, length", [(1, 1000), (0, 1)])
def test_array_layout(path, scan, length):
    mz, inten = vantoro.RawFileReader(path).get_peaks(scan)
    for arr, dtype, stride in ((mz, np.float64, 8), (inten, np.float32, 4)):
        assert (arr.dtype, arr.shape, arr.strides) == (dtype, (length,), (stride,))
        assert not arr.flags.owndata and arr.flags.writeable and arr.flags.aligned
        assert type(arr.base).__name__ == "PySliceContainer"
        assert type(arr.base).__module__ == "builtins"
        with pytest.raises(TypeError):
            type(arr.base)()  # only the module makes containers
    assert mz.base is not inten.base
    assert (mz.tolist(), inten.tolist()) == ((MZ, INTEN) if length > 1 else ([0.0], [0.0]))


def test_view_outlives_array(path):
    r = vantoro.RawFileReader(path)
    mz, inten = r.get_peaks(1)
    view_mz, view_int = mz[100:200:3], inten[-50:]
    mz[100] = -1.0  # the array is the buffer: its views see the write
    assert view_mz.base is mz and view_mz[0] == -1.0
    del mz, inten
    gc.collect()
    # Churn the allocator so that a freed buffer would be reused and overwritten.
    junk = [r.get_peaks(1) for _ in range(50)]
    for a, b in junk:
        a[:], b[:] = -7.0, -7.0
    del junk
    assert view_mz.tolist() == [-1.0] + MZ[103:200:3]
    assert view_int.tolist() == INTEN[-50:]


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_buffers_are_freed(path):
    # Measured in a child of its own. An AddressSanitizer run holds freed
    # blocks back in a quarantine (256 MiB by default) that resident memory
    # would show as growth, so the child runs with none; without ASan the
    # option is ignored.
    asan = (os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0").lstrip(":")
    run_python(
        """
        import gc, os
        r = vantoro.RawFileReader(PATH)

        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        for _ in range(2000):
            r.get_peaks(1)
        before = rss()
        # 12 kB decoded per call: a leak would show as ~240 MB.
        for _ in range(20000):
            mz, inten = r.get_peaks(1)
            view = mz[5:]
            del mz, inten, view
            r.get_peaks(0)
        gc.collect()
        grown = rss() - before
        assert grown < 16 << 20, grown
        """,
        path,
        env=dict(os.environ, ASAN_OPTIONS=asan),
    )


def run_python(code, path, env=None):
    prelude = f"import sys, types, vantoro\nPATH = {str(path)!r}\n"
    res = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True, timeout=120, env=env
    )
    assert res.returncode == 0, res.stdout + res.stderr
    return res


def test_without_numpy(path):
    res = run_python(
        """
        assert "numpy" not in sys.modules      # importing vantoro does not touch NumPy
        r = vantoro.RawFileReader(PATH)
        mz, inten = r.native_get_peaks(1)
        assert "numpy" not in sys.modules
        sys.modules["numpy"] = None            # importing NumPy now fails
        for attempt in range(2):               # each call tries again, and fails again
            try:
                try:
                    r.get_peaks(1)
                except Exception:
                    raise SystemExit("PanicException caught as Exception")
            except BaseException as e:
                assert type(e).__name__ == "PanicException", repr(e)
                assert str(e).startswith("Failed to access NumPy array API capsule"), str(e)
        assert r.native_get_peaks(1) == (mz, inten)
        assert r.version == 66 and len(r.list_spectra()) == 145 and r.get_rt(1) == 0.0
        r.initialize_caches()
        del sys.modules["numpy"]               # NumPy importable again: the next call works
        a, b = r.get_peaks(1)
        assert (a.tolist(), b.tolist()) == (mz, inten)
        print("ok")
        """,
        path,
    )
    assert res.stdout == "ok\n"
    assert "Failed to access NumPy array API capsule" in res.stderr


def test_capsule_lookup(path):
    # NumPy 2 serves the table from numpy._core.multiarray, NumPy 1 from
    # numpy.core.multiarray. Proxies on both names record the lookups; a first
    # lookup that finds no capsule is not cached.
    res = run_python(
        """
        import importlib, numpy
        major = numpy.lib.NumpyVersion(numpy.__version__).major
        # NumPy before 1.26 has no numpy._core; NumPy 2 warns on numpy.core.
        real = importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")
        seen, broken = [], [True]
        class Proxy(types.ModuleType):
            def __getattr__(self, attr):
                seen.append((self.__name__, attr))
                return "not a capsule" if broken[0] else getattr(real, attr)
        for name in ("numpy._core.multiarray", "numpy.core.multiarray"):
            sys.modules[name] = Proxy(name)
        r = vantoro.RawFileReader(PATH)
        try:
            r.get_peaks(1)
            raise SystemExit("no fault")
        except BaseException as e:
            assert str(e) == "Failed to access NumPy array API capsule: TypeError: _ARRAY_API is not a capsule"
        broken[0] = False
        for _ in range(3):
            assert len(r.get_peaks(1)[0]) == 1000
        print(major, seen)
        """,
        path,
    )
    major, seen = res.stdout.split(" ", 1)
    name = "numpy._core.multiarray" if int(major) >= 2 else "numpy.core.multiarray"
    assert eval(seen) == [(name, "_ARRAY_API")] * 2  # later arrays use the cached table
