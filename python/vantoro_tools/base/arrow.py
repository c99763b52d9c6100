"""Arrow arrays made from NumPy arrays and back, straight from their
buffers (imported once pyarrow is known to be there).

`pa.array()`, `pa.scalar()` and an array's `to_numpy()` ask whether a
value is a pandas object, and so import pandas where it is installed: a
fifth of a second of CPU, in every process of a batch, for nothing the
writers and readers here use."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pyarrow as pa
from numpy.typing import NDArray


def numeric(values: NDArray[Any], valid: NDArray[np.bool_] | None = None) -> Any:
    """An array of the NumPy array's type over its buffer (a copy only if
    it is not contiguous), null where `valid` is False."""
    validity = None if valid is None or valid.all() else pa.py_buffer(np.packbits(valid, bitorder="little"))
    if values.dtype == np.bool_:  # Arrow's booleans are bits
        data = pa.py_buffer(np.packbits(values, bitorder="little"))
    else:
        data = pa.py_buffer(np.ascontiguousarray(values))
    return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values), [validity, data])


def strings(values: Sequence[str | None]) -> Any:
    """A string array of `values` (None: null) in UTF-8 (a lone surrogate,
    left by a name that was not UTF-8, as "?")."""
    encoded = [b"" if v is None else v.encode("utf-8", "replace") for v in values]
    offsets = np.zeros(len(encoded) + 1, np.int32)
    np.cumsum([len(b) for b in encoded], out=offsets[1:])
    valid = np.array([v is not None for v in values], np.bool_)
    validity = None if valid.all() else pa.py_buffer(np.packbits(valid, bitorder="little"))
    return pa.Array.from_buffers(
        pa.string(), len(encoded), [validity, pa.py_buffer(offsets), pa.py_buffer(b"".join(encoded))]
    )


def to_numpy(array: Any) -> NDArray[Any]:
    """The NumPy array over the buffer of a numeric Arrow array without
    nulls (read-only, no copy); any other, as Arrow converts it."""
    if array.null_count or not (pa.types.is_integer(array.type) or pa.types.is_floating(array.type)):
        return np.asarray(array)
    dtype = np.dtype(array.type.to_pandas_dtype())
    if not len(array):  # its data buffer may be absent
        return np.empty(0, dtype)
    return np.frombuffer(array.buffers()[1], dtype, len(array), array.offset * dtype.itemsize)
