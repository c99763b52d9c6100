"""What stands out in a batch of runs: the values of the comparison table
far from the batch's median (`odd_cells`), and each run's outlier score
in the space of its metrics (`outlier_scores`)."""

from __future__ import annotations

import math
from collections.abc import Sequence

from .metrics import qc_metrics
from .reading import RunQC, numpy_module

#: the fewest runs among which a value can stand out
ODD_MIN_RUNS = 5
#: robust standard deviations from the median, and relative distance from it, beyond which a value stands out
ODD_SIGMAS = 3.5
ODD_RELATIVE = 0.10


def odd_cells(values: Sequence[float], *, log: bool = False) -> list[bool]:
    """Which values stand out of the batch: with at least ODD_MIN_RUNS
    finite values, those more than ODD_SIGMAS robust standard deviations
    (1.4826 × the median absolute deviation) from the median, on a log
    scale with `log`, that also differ from the median by more than
    ODD_RELATIVE of it: a spread of a few per cent is no outlier however
    tight the batch."""
    np = numpy_module()
    raw = np.asarray(values, dtype=float)
    ok = np.isfinite(raw) & ((raw > 0) if log else True)
    if ok.sum() < ODD_MIN_RUNS:
        return [False] * len(raw)
    scaled = np.log10(np.where(ok, raw, 1.0)) if log else raw
    median = float(np.median(scaled[ok]))
    mad = 1.4826 * float(np.median(np.abs(scaled[ok] - median)))
    centre = float(np.median(raw[ok]))
    out = []
    for v, s, good in zip(raw, scaled, ok):
        far = abs(s - median) > ODD_SIGMAS * mad if mad > 0 else s != median
        relative = abs(v - centre) > ODD_RELATIVE * abs(centre) if centre else v != 0
        out.append(bool(good and far and relative))
    return out


#: Variance the principal components kept for the runs' outlier scores explain.
PCA_VARIANCE = 0.9


def outlier_scores(runs: Sequence[RunQC]) -> list[float]:
    """Each run's outlier score among `runs`: its median Euclidean distance
    to every other run in the space of the principal components (those
    explaining PCA_VARIANCE of the variance) of the runs' single-value
    metrics, each scaled robustly (median and median absolute deviation,
    standard deviation where that is 0; metrics constant over the batch or
    missing in a run left out). All 0 when the runs do not differ; NaN for
    fewer than three runs."""
    np = numpy_module()
    if len(runs) < 3:
        return [math.nan] * len(runs)
    metrics = [qc_metrics(r) for r in runs]
    keys = [k for k in metrics[0] if all(isinstance(m.get(k), (int, float)) for m in metrics)]
    table = np.array([[m[k] for k in keys] for m in metrics], dtype=np.float64).reshape(len(runs), len(keys))
    table = table[:, np.isfinite(table).all(axis=0)]
    centre = np.median(table, axis=0)
    spread = 1.4826 * np.median(np.abs(table - centre), axis=0)
    spread = np.where(spread > 0, spread, table.std(axis=0))
    varying = spread > 0
    if not varying.any():
        return [0.0] * len(runs)
    scaled = (table[:, varying] - centre[varying]) / spread[varying]
    scaled -= scaled.mean(axis=0)
    _, singular, axes = np.linalg.svd(scaled, full_matrices=False)
    total = float((singular**2).sum())
    if total == 0:
        return [0.0] * len(runs)
    explained = np.cumsum(singular**2) / total
    kept = int(np.searchsorted(explained, PCA_VARIANCE) + 1)
    scores = scaled @ axes[:kept].T
    distances = np.sqrt(((scores[:, None, :] - scores[None, :, :]) ** 2).sum(axis=2))
    return [float(np.median(np.delete(row, i))) for i, row in enumerate(distances)]
