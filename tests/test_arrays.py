"""NumPy array results: layout, ownership and lifetime of the decoded buffers,
and the run-time lookup of NumPy's C API."""

import gc
import os
import subprocess
import sys
import textwrap

import pytest

import vantoro
from builders import SMALL_OFFSETS, RawImage, peak_block_v57, peak_block_v66

np = pytest.importorskip("numpy")

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def make_file(tmp_path, version=66, n=1000):
    mz = [100.0 + 0.5 * j for j in range(n)]
    inten = [float(1000 + j) for j in range(n)]
    block = (peak_block_v66 if version == 66 else peak_block_v57)(mz, inten)
    path = RawImage().header(version).put(SMALL_OFFSETS[0], block).write(tmp_path / f"v{version}.small.RAW")
    return path, mz, inten


@pytest.fixture
def reader(tmp_path):
    path, mz, inten = make_file(tmp_path)
    return vantoro.RawFileReader(path), mz, inten


@pytest.mark.parametrize("scan, length", [(1, 1000), (0, 1), (2, 1)])
def test_array_layout(reader, scan, length):
    r = reader[0]
    mz, inten = r.get_peaks(scan)
    for arr, dtype, stride in ((mz, np.float64, 8), (inten, np.float32, 4)):
        assert arr.dtype == dtype
        assert arr.ndim == 1 and arr.shape == (length,) and arr.strides == (stride,)
        assert not arr.flags.owndata
        assert arr.flags.writeable and arr.flags.c_contiguous and arr.flags.aligned
        assert type(arr.base).__name__ == "PySliceContainer"
        assert type(arr.base).__module__ == "builtins"
        assert type(arr.base).__doc__
    assert mz.base is not inten.base
    if length == 1:
        assert mz.tolist() == [0.0] and inten.tolist() == [0.0]


def test_values_and_writes(reader):
    r, mz_expected, int_expected = reader
    mz, inten = r.get_peaks(1)
    assert mz.tolist() == mz_expected and inten.tolist() == int_expected
    view = mz[10:20]
    mz[10] = -1.0  # the array is the buffer: a view sees the write
    assert view[0] == -1.0
    # Every call decodes afresh into its own buffer.
    assert r.get_peaks(1)[0][10] == mz_expected[10]


def test_view_outlives_array(reader):
    r, mz_expected, int_expected = reader
    mz, inten = r.get_peaks(1)
    view_mz, view_int = mz[100:200:3], inten[-50:]
    assert view_mz.base is mz and type(mz.base).__name__ == "PySliceContainer"
    del mz, inten
    gc.collect()
    # Churn the allocator so that a freed buffer would be reused and overwritten.
    junk = [r.get_peaks(1) for _ in range(50)]
    for a, _ in junk:
        a[:] = -7.0
    del junk
    assert view_mz.tolist() == mz_expected[100:200:3]
    assert view_int.tolist() == int_expected[-50:]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_buffers_freed_once(reader):
    r = reader[0]
    # Each call decodes 12000 bytes; a leak would show as ~240 MB over 20000 calls.
    for _ in range(2000):
        r.get_peaks(1)
    gc.collect()
    before = rss_bytes()
    for _ in range(20000):
        mz, inten = r.get_peaks(1)
        view = mz[5:]
        del mz, inten, view
    for _ in range(2000):
        r.get_peaks(0)
    gc.collect()
    assert rss_bytes() - before < 16 << 20


# ------------------------------------------------- lookups in a fresh process

def run_python(code, tmp_path, version=66):
    path, _, _ = make_file(tmp_path, version=version, n=50)
    prelude = textwrap.dedent(f"""\
        import sys
        sys.path.insert(0, {TESTS_DIR!r})
        import vantoro
        PATH = {path!r}
        """)
    res = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                         capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    return res


def test_without_numpy(tmp_path):
    res = run_python("""
        assert "numpy" not in sys.modules      # import does not touch NumPy
        saved = {k: v for k, v in sys.modules.items() if k == "numpy" or k.startswith("numpy.")}
        for k in saved:
            del sys.modules[k]
        sys.modules["numpy"] = None            # importing NumPy now fails
        r = vantoro.RawFileReader(PATH)
        for attempt in range(2):
            try:
                try:
                    r.get_peaks(1)
                except Exception:
                    raise SystemExit("PanicException caught as Exception")
            except BaseException as e:
                exc = e
            assert type(exc).__name__ == "PanicException", repr(exc)
            assert str(exc).startswith("Failed to access NumPy array API capsule"), str(exc)
        assert not isinstance(exc, Exception)
        # Everything else works without NumPy.
        mz, inten = r.native_get_peaks(1)
        assert len(mz) == len(inten) == 50
        assert r.version == 66 and r.num_scans == 145
        assert r.get_rt(1) == 0.0 and len(r.list_spectra()) == 145
        r.initialize_caches()
        # Once NumPy can be imported, the next call succeeds.
        del sys.modules["numpy"]
        sys.modules.update(saved)
        a, b = r.get_peaks(1)
        assert a.tolist() == mz and b.tolist() == inten
        print("ok")
        """, tmp_path)
    assert res.stdout.strip() == "ok"
    assert "Failed to access NumPy array API capsule" in res.stderr


def test_lookup_uses_versioned_core_module(tmp_path):
    # Proxies on both core modules record which one gives up its capsule.
    res = run_python("""
        import types, numpy
        seen = []
        class Proxy(types.ModuleType):
            def __init__(self, name, real):
                super().__init__(name)
                self._real = real
            def __getattr__(self, attr):
                seen.append((self.__name__, attr))
                return getattr(self._real, attr)
        import numpy._core.multiarray as new_core
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import numpy.core.multiarray as old_core
        real = new_core if numpy.lib.NumpyVersion(numpy.__version__).major >= 2 else old_core
        for name in ("numpy._core.multiarray", "numpy.core.multiarray"):
            sys.modules[name] = Proxy(name, real)
        r = vantoro.RawFileReader(PATH)
        a, _ = r.get_peaks(1)
        a, _ = r.get_peaks(1)  # the table is cached: no second lookup
        print(numpy.__version__, seen)
        """, tmp_path)
    version, seen = res.stdout.split(" ", 1)
    expected = "numpy._core.multiarray" if int(version.split(".")[0]) >= 2 else "numpy.core.multiarray"
    assert eval(seen) == [(expected, "_ARRAY_API")]


def test_bad_capsule_is_not_cached(tmp_path):
    res = run_python("""
        import numpy, types
        name = ("numpy._core.multiarray" if numpy.lib.NumpyVersion(numpy.__version__).major >= 2
                else "numpy.core.multiarray")
        real = sys.modules.get(name) or __import__(name, fromlist=["_ARRAY_API"])
        fake = types.ModuleType(name)
        fake._ARRAY_API = "not a capsule"
        sys.modules[name] = fake
        r = vantoro.RawFileReader(PATH)
        try:
            r.get_peaks(1)
            raise SystemExit("no fault")
        except BaseException as e:
            assert type(e).__name__ == "PanicException"
            assert str(e).startswith("Failed to access NumPy array API capsule"), str(e)
        sys.modules[name] = real
        a, b = r.get_peaks(1)
        assert len(a) == 50 and a.base is not None
        print("ok")
        """, tmp_path)
    assert res.stdout.strip() == "ok"
