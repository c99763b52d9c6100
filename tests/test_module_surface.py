import importlib
import inspect
import subprocess
import sys

import pytest

import vantoro
from vantoro import RawFileReader

from builders import RawImage, orbitrap_v66

METHODS = [
    ("initialize_caches", "($self)", "Internal method to populate RT, scan offset, and diagnostic caches."),
    ("get_rt", "($self, scan_number)", "Returns the retention time (in minutes) for the specified scan number."),
    (
        "get_injection_time",
        "($self, scan_number)",
        "Returns the ion injection time (in milliseconds) for the specified scan number.",
    ),
    ("get_master_scan", "($self, scan_number)", "Returns the master scan number for the given MSn scan."),
    ("get_charge_state", "($self, scan_number)", "Returns the precursor charge state for the given scan."),
    ("get_monoisotopic_mz", "($self, scan_number)", "Returns the precursor monoisotopic m/z for the given scan."),
    (
        "get_trailer_extra",
        "($self, scan_number)",
        "Recovers diagnostic metadata from the scan trailer.\n"
        "Returns a dictionary of available fields (e.g., 'Ion Injection Time (ms)', 'MS Order').",
    ),
    (
        "get_instrument_method",
        "($self, _index)",
        "Returns the instrument method report for the given index.\n"
        "In modern XML-based files, this typically contains the full CmData block.",
    ),
    (
        "get_status_log_labels",
        "($self)",
        "Returns a list of labels for all parameters monitored in the instrument status log.",
    ),
    (
        "get_error_logs",
        "($self)",
        "Returns a list of hardware and software warning messages captured during acquisition.",
    ),
    (
        "get_peaks",
        "($self, scan_num)",
        "Extracts spectral peaks (m/z and intensity) for a given scan number.\n"
        "Returns a tuple of (m/z_array, intensity_array).",
    ),
    ("native_get_peaks", "($self, scan_num)", "Internal native implementation for spectral peak extraction."),
    (
        "list_spectra",
        "($self)",
        "Returns a list of all scan summaries in the file.\n"
        "Each entry contains scan_number, rt, injection_time, master_scan, charge, and monomz.",
    ),
]

PROPERTIES = [
    ("creation_date", "Returns the file creation date as a formatted UTC timestamp string."),
    ("version", "Returns the Thermo RAW file version (e.g., 57 or 66)."),
    ("num_scans", "Returns the total number of scans available in the file."),
]


def test_module_attributes():
    assert vantoro.__all__ == ["RawFileReader"]
    assert vantoro.__doc__ == ""
    assert vantoro.RawFileReader is RawFileReader
    assert not hasattr(vantoro, "PanicException")


def test_class_identity():
    assert RawFileReader.__module__ == "builtins"
    assert RawFileReader.__name__ == RawFileReader.__qualname__ == "RawFileReader"
    assert repr(RawFileReader) == "<class 'builtins.RawFileReader'>"
    assert RawFileReader.__text_signature__ == "(path)"
    assert RawFileReader.__doc__ == "High-performance native reader for Thermo Fisher .raw files."
    assert RawFileReader.__bases__ == (object,)


@pytest.mark.parametrize("name,signature,doc", METHODS)
def test_method_docstrings(name, signature, doc):
    method = getattr(RawFileReader, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_all_members_registered_in_order():
    names = [n for n in vars(RawFileReader) if not n.startswith("__")]
    methods = [n for n in names if n not in {p for p, _ in PROPERTIES}]
    assert methods == [m for m, _, _ in METHODS]
    assert len(METHODS) + len(PROPERTIES) == 16


@pytest.mark.parametrize("name,doc", PROPERTIES)
def test_property_docstrings(name, doc):
    assert getattr(RawFileReader, name).__doc__ == doc


def test_signature_introspection():
    assert list(inspect.signature(RawFileReader.get_rt).parameters) == ["self", "scan_number"]
    assert list(inspect.signature(RawFileReader).parameters) == ["path"]
    assert list(inspect.signature(RawFileReader.get_instrument_method).parameters) == ["self", "_index"]
    assert list(inspect.signature(RawFileReader.get_peaks).parameters) == ["self", "scan_num"]


def test_no_subclassing():
    with pytest.raises(TypeError):
        type("Sub", (RawFileReader,), {})


@pytest.fixture
def reader(write_raw):
    return RawFileReader(write_raw(RawImage().header(66)))


def test_instance_has_no_dict_and_properties_are_read_only(reader):
    assert repr(reader).startswith("<builtins.RawFileReader object at ")
    with pytest.raises(AttributeError):
        reader.version = 1
    with pytest.raises(AttributeError):
        del reader.num_scans
    with pytest.raises(AttributeError):
        reader.anything = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(reader)


@pytest.mark.parametrize("name", ["list_spectra", "initialize_caches"])
def test_noargs_methods_refuse_arguments(reader, name):
    with pytest.raises(TypeError):
        getattr(reader, name)(1)


def test_reimport_returns_same_module():
    before = sys.modules.pop("vantoro")
    try:
        again = importlib.import_module("vantoro")
        assert again is before
        assert again.__all__ == ["RawFileReader"]  # setup did not run twice
    finally:
        sys.modules["vantoro"] = before


# Imports vantoro in the main interpreter, tries it in a sub-interpreter of
# each configuration, then reads a file given as argv[1] in the main one.
SUB_INTERPRETER_RUN = r'''
import sys, vantoro
try:
    import _interpreters as si  # 3.13 and later
except ImportError:
    try:
        import _xxsubinterpreters as si  # 3.10 to 3.12
    except ImportError:
        sys.exit(77)

ATTEMPT = """
try:
    import vantoro
except ImportError as e:
    print("ImportError:", e, flush=True)
else:
    print("imported", flush=True)
"""
for legacy in (False, True):
    if hasattr(si, "new_config"):
        interp = si.create("legacy" if legacy else "isolated")
    else:
        interp = si.create(isolated=not legacy)
    try:
        assert si.run_string(interp, ATTEMPT) is None
    finally:
        si.destroy(interp)
reader = vantoro.RawFileReader(sys.argv[1])
print(reader.num_scans, reader.get_rt(145), reader.get_injection_time(3))
'''


def test_sub_interpreter_import_is_refused(write_raw):
    path = write_raw(orbitrap_v66(), "orbitrap.raw")
    out = subprocess.run([sys.executable, "-c", SUB_INTERPRETER_RUN, path], capture_output=True, text=True, timeout=60)
    if out.returncode == 77:
        pytest.skip("this Python offers no way to create a sub-interpreter")
    assert out.returncode == 0, out.stderr
    isolated, legacy, main_after = out.stdout.splitlines()
    own = (
        "ImportError: vantoro does not support sub-interpreters: "
        "it can only be imported once per process, by the first interpreter that imports it"
    )
    # The legacy configuration lets the module's init run, so its own guard
    # refuses. From 3.12 CPython turns the module away from an isolated
    # sub-interpreter before that; earlier versions have no such check.
    assert legacy == own
    if sys.version_info >= (3, 12):
        assert isolated.startswith("ImportError: ") and "vantoro" in isolated
    else:
        assert isolated == own
    assert main_after == "145 72.5 13.0"
