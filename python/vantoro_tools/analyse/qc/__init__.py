"""QC metrics: a run's series for the people who look at a run before they
search it.

- `reading`: `run_qc(path)` reads one file in one walk and returns a
  picklable `RunQC`, so a pool of worker processes can read a batch.
- `series`: the report's series, derived from a `RunQC`.
- `outliers`: what stands out in a batch of runs.
- `metrics`: the metrics named by PSI-MS terms, and `terms` the terms.
"""

from __future__ import annotations

from .metrics import MetricValue, qc_metrics
from .outliers import ODD_MIN_RUNS, ODD_RELATIVE, ODD_SIGMAS, PCA_VARIANCE, odd_cells, outlier_scores
from .reading import PURPOSE, SHOWN_ELSEWHERE, RunQC, method_max_injection_times, mzpeak_qc, numpy_module, run_qc
from .series import (
    LOG_COLUMNS,
    PEAK_WIDTHS,
    TABLE_LIMIT,
    TABLE_ROWS,
    Cycles,
    cycles,
    injection_time_limits,
    precursor_charges,
    precursors,
    scans_per_level,
    summary_row,
    varying_trailer,
)

__all__ = [
    "LOG_COLUMNS",
    "ODD_MIN_RUNS",
    "ODD_RELATIVE",
    "ODD_SIGMAS",
    "PCA_VARIANCE",
    "PEAK_WIDTHS",
    "PURPOSE",
    "SHOWN_ELSEWHERE",
    "TABLE_LIMIT",
    "TABLE_ROWS",
    "Cycles",
    "MetricValue",
    "RunQC",
    "cycles",
    "injection_time_limits",
    "method_max_injection_times",
    "mzpeak_qc",
    "numpy_module",
    "odd_cells",
    "outlier_scores",
    "precursor_charges",
    "precursors",
    "qc_metrics",
    "run_qc",
    "scans_per_level",
    "summary_row",
    "varying_trailer",
]
