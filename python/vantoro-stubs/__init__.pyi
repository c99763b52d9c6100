"""Types of the vantoro extension module.

Names that begin with an underscore exist for type checkers only: import them
under ``if TYPE_CHECKING:``. The module itself has one attribute,
``RawFileReader``.
"""

from typing import SupportsIndex, TypeAlias, TypedDict, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["RawFileReader"]

class _SpectrumRow(TypedDict):
    """One row of ``RawFileReader.list_spectra()``."""

    scan_number: int
    rt: float
    injection_time: float
    master_scan: int
    charge: int
    monomz: float

# Every key the reader can answer; a scan has a subset of them (none when the
# file has no entry for the scan, and only the first six outside the orbitrap
# version-66 layout).
_TrailerExtra = TypedDict(
    "_TrailerExtra",
    {
        "Ion Injection Time (ms)": float,
        "Master Scan Number": int,
        "Charge State": int,
        "Monoisotopic M/Z": float,
        "Precursor Mass": float,
        "MS Order": int,
        "Elapsed Scan Time (sec)": float,
        "Orbitrap Resolution": int,
        "HCD Energy eV": str,
        "Activation Type": str,
        "Collision Energy": float,
        "Isolation Width": float,
        "AGC": str,
    },
    total=False,
)

# Any value of a trailer dictionary.
_TrailerValue: TypeAlias = float | int | str

class _PanicException(BaseException):
    """An internal fault of the native code.

    At run time this class is ``pyo3_runtime.PanicException``, created on the
    first fault and not an attribute of any importable module: catch it with
    ``except BaseException`` and tell it by ``type(exc).__name__``.
    """

# Scan numbers and indices are taken by __index__: int, bool, NumPy integers.
# A value outside 0 .. 2**32 - 1 raises OverflowError.
@final
class RawFileReader:
    """High-performance native reader for Thermo Fisher .raw files."""

    def __new__(cls, path: str) -> RawFileReader: ...
    @property
    def creation_date(self) -> str: ...
    @property
    def version(self) -> int: ...
    @property
    def num_scans(self) -> int: ...
    def initialize_caches(self) -> None: ...
    def get_rt(self, scan_number: SupportsIndex) -> float: ...
    def get_injection_time(self, scan_number: SupportsIndex) -> float: ...
    def get_master_scan(self, scan_number: SupportsIndex) -> int: ...
    def get_charge_state(self, scan_number: SupportsIndex) -> int: ...
    def get_monoisotopic_mz(self, scan_number: SupportsIndex) -> float: ...
    def get_trailer_extra(self, scan_number: SupportsIndex) -> _TrailerExtra: ...
    def get_instrument_method(self, _index: SupportsIndex) -> str: ...
    def get_status_log_labels(self) -> list[str]: ...
    def get_error_logs(self) -> list[str]: ...
    def get_peaks(self, scan_num: SupportsIndex) -> tuple[NDArray[np.float64], NDArray[np.float32]]: ...
    def native_get_peaks(self, scan_num: SupportsIndex) -> tuple[list[float], list[float]] | None: ...
    def list_spectra(self) -> list[_SpectrumRow]: ...
