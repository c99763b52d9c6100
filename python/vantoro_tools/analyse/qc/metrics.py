"""A run's QC metrics by their PSI-MS accessions, computed from its
`RunQC` as the report computes its figures; the terms, with their names,
definitions and units, are in `terms`."""

from __future__ import annotations

from collections import Counter
from typing import TYPE_CHECKING, Any

from .reading import RunQC, numpy_module
from .series import cycles, scans_per_level

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

#: A metric's value: a number, an n-tuple, or a table (column accession -> values).
MetricValue = int | float | list[float] | dict[str, list[Any]]


def _quartiles(values: NDArray[np.float64]) -> list[float]:
    np = numpy_module()
    return [float(v) for v in np.quantile(values, [0.25, 0.5, 0.75])]


def _sigma(values: NDArray[np.float64]) -> float:
    return float(numpy_module().std(values, ddof=1)) if len(values) > 1 else 0.0


def qc_metrics(run: RunQC) -> dict[str, MetricValue]:
    """The run's metrics that have a PSI-MS term, by accession, computed as
    the report computes its figures (a metric the run gives no value for is
    left out: no MS1 cycles, no MS2 scans)."""
    np = numpy_module()
    out: dict[str, MetricValue] = {}
    levels = scans_per_level(run)
    out["MS:4000059"] = levels.get(1, 0)
    out["MS:4000060"] = levels.get(2, 0)
    rt = run.rt[np.isfinite(run.rt)]
    if len(rt):
        out["MS:4000067"] = float(rt.max() - rt.min()) * 60.0
        out["MS:4000070"] = [float(rt.min()) * 60.0, float(rt.max()) * 60.0]
    for level, acc in ((1, "MS:4000099"), (2, "MS:4000100"), (3, "MS:4000101")):
        if level in levels:
            out[acc] = int(((run.ms_level == level) & (run.tic == 0)).sum())
    seconds = cycles(run).seconds
    if len(seconds):
        out["MS:4000192"] = float(np.median(seconds))
        if seconds.min() > 0:
            out["MS:4000065"] = 1.0 / float(seconds.min())
            out["MS:4000095"] = 1.0 / float(seconds.max())
    if len(run.tic):
        out["MS:4000204"] = float(run.tic.max())
        out["MS:4000202"] = float(run.base_peak.max())
    ms1 = run.ms_level == 1
    if ms1.any():
        out["MS:4000211"] = {"MS:1000285": run.tic[ms1].tolist(), "UO:0000010": (run.rt[ms1] * 60.0).tolist()}
    for level, (quartiles, mean, sigma) in (
        (1, ("MS:4000131", "MS:4000132", "MS:4000133")),
        (2, ("MS:4000136", "MS:4000137", "MS:4000138")),
    ):
        it = run.injection_time[(run.ms_level == level) & np.isfinite(run.injection_time)]
        if len(it):
            out[quartiles] = _quartiles(it)
            out[mean] = float(it.mean())
            out[sigma] = _sigma(it)
    charges = run.charge[run.ms_level == 2]
    if len(charges):
        counts = Counter(int(c) for c in charges.tolist())
        known = sorted(c for c in counts if c > 0)
        out["MS:4000063"] = {"MS:1000041": known, "UO:0000191": [counts[c] / len(charges) for c in known]}
        if counts.get(0):
            out["MS:4000064"] = {"MS:1000041": [0], "UO:0000191": [counts[0] / len(charges)]}
        stated = charges[charges > 0]
        if len(stated):
            out["MS:4000173"] = float(stated.mean())
            out["MS:4000175"] = float(np.median(stated))
        if counts.get(2):
            for z, acc in ((1, "MS:4000167"), (3, "MS:4000169"), (4, "MS:4000171")):
                out[acc] = counts.get(z, 0) / counts[2]
    return out
