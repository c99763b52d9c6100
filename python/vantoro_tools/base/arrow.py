"""Arrow arrays made from NumPy arrays and back, straight from their
buffers (imported once pyarrow is known to be there).

`pa.array()`, `pa.scalar()` and an array's `to_numpy()` ask whether a
value is a pandas object, and so import pandas where it is installed: a
fifth of a second of CPU, in every process of a batch, for nothing the
writers and readers here use."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator, Sequence
from typing import Any, cast

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


def strings(values: Sequence[str | None], valid: NDArray[np.bool_] | None = None) -> Any:
    """A string array of `values` (None: null) in UTF-8 (a lone surrogate,
    left by a name that was not UTF-8, as "?"). Given `valid`, the entries
    where it is False are null, their values "" (a caller that knows where
    its nulls are spares the search for them)."""
    n = len(values)
    validity = None
    texts: Sequence[str]
    if valid is not None:
        if not valid.all():
            validity = pa.py_buffer(np.packbits(valid, bitorder="little"))
        texts = cast("Sequence[str]", values)
    elif values.count(None):
        valid = np.fromiter((v is not None for v in values), np.bool_, n)
        validity = pa.py_buffer(np.packbits(valid, bitorder="little"))
        texts = [v or "" for v in values]
    else:
        texts = cast("Sequence[str]", values)
    # Encoded at once: where every character is ASCII (as good as always),
    # each string's bytes are as many as its characters; otherwise one by one.
    data = "".join(texts).encode("utf-8", "replace")
    lengths = np.fromiter(map(len, texts), np.int64, n)
    offsets = np.zeros(n + 1, np.int32)
    if len(data) == lengths.sum():
        np.cumsum(lengths, out=offsets[1:])
    else:
        np.cumsum([len(t.encode("utf-8", "replace")) for t in texts], out=offsets[1:])
    return pa.Array.from_buffers(pa.string(), n, [validity, pa.py_buffer(offsets), pa.py_buffer(data)])


@contextlib.contextmanager
def buffered_sink(f: Any, size: int) -> Iterator[Any]:
    """An Arrow output stream over the Python file `f` that gathers small
    writes into pieces of `size` bytes, for a Parquet writer. Closed
    (closing `f`) when the block ends; when it fails, what the stream still
    holds goes to `f`, which the caller is giving up, and `f` is left to
    the caller: a stream left to be collected would try to write to `f`
    once closed, and Arrow would print the failure on standard error."""
    sink = pa.BufferedOutputStream(pa.PythonFile(f, mode="w"), size)
    try:
        yield sink
    except BaseException:
        try:
            sink.detach()
        except Exception:  # `f` itself failed: the stream given up as it is
            with contextlib.suppress(Exception):
                sink.close()
        raise
    sink.close()


def writer_pool() -> Any:
    """The memory pool the Parquet writers here are given: the C library's
    allocator. Arrow's default (mimalloc) hands a writer's buffers back to
    the system at the end of every file and faults them in again for the
    next: some 9,000 page faults a file of 3 million peaks, and a sixth of
    a Parquet conversion's CPU (measured); the C library keeps them."""
    return pa.system_memory_pool()


def text_pool() -> Any:
    """The memory pool for compute functions that make text of many numbers
    on several threads at once: Arrow's mimalloc where the build has it.
    Its per-thread heaps keep those batches' buffers; the C library's
    allocator (the `vantoro` command's default for Arrow) gives them back
    and faults them in again (the dense file to MGF: 200,000 page faults
    against 30,000, and a tenth more time, measured)."""
    try:
        return pa.mimalloc_memory_pool()
    except NotImplementedError:  # a build without mimalloc
        return pa.default_memory_pool()


def to_numpy(array: Any) -> NDArray[Any]:
    """The NumPy array over the buffer of a numeric Arrow array without
    nulls (read-only, no copy); any other, as Arrow converts it."""
    if array.null_count or not (pa.types.is_integer(array.type) or pa.types.is_floating(array.type)):
        return np.asarray(array)
    dtype = np.dtype(array.type.to_pandas_dtype())
    if not len(array):  # its data buffer may be absent
        return np.empty(0, dtype)
    return np.frombuffer(array.buffers()[1], dtype, len(array), array.offset * dtype.itemsize)
