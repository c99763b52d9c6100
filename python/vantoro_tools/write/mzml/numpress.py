"""MS-Numpress encoding with NumPy: linear prediction (m/z, times) and short
logged floats (intensities), byte for byte as the MS-Numpress library
encodes them."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray


def _scale(limit: int, largest: float) -> float:
    """floor(limit / largest); inf when that exceeds a double (a tiny
    `largest`), 0 when `largest` is not positive or not finite."""
    if not largest > 0 or not math.isfinite(largest):
        return 0.0
    ratio = limit / largest
    return float(math.floor(ratio)) if math.isfinite(ratio) else math.inf


def linear_fixed_point(data: NDArray[np.float64]) -> float:
    """The largest fixed point that keeps every scaled value and every
    residual of the linear prediction within 31 bits (inf where the
    values are too small for any double to scale them)."""
    import numpy as np

    if len(data) == 0:
        return 0.0
    if len(data) == 1:
        return _scale(0x7FFFFFFF, float(data[0]))
    largest = max(float(data[0]), float(data[1]))
    if len(data) > 2:
        with np.errstate(all="ignore"):  # huge values: an infinite residual, no fixed point
            residual = data[2:] - (2 * data[1:-1] - data[:-2])
            largest = max(largest, float(np.ceil(np.abs(residual) + 1).max()))
    return _scale(0x7FFFFFFF, largest)


def slof_fixed_point(data: NDArray[np.float64]) -> float:
    """The largest fixed point that keeps every log(value + 1) within 16 bits."""
    import numpy as np

    if len(data) == 0:
        return 0.0
    return float(math.floor(0xFFFF / max(1.0, float(np.log1p(data).max()))))


def encodable(data: NDArray[np.float64], kind: str) -> float | None:
    """The fixed point numpress encodes `data` with, or None where it cannot
    within its bounds: values not finite, negative values, a linear array
    of fewer than two values (MS-Numpress decoders read at least two), or
    one whose fixed point is not a positive finite number."""
    import numpy as np

    if not np.isfinite(data).all() or (len(data) and data.min() < 0):
        return None
    if kind == "slof":
        return slof_fixed_point(data)
    if len(data) < 2:
        return None
    fixed = linear_fixed_point(data)
    return fixed if 0 < fixed < math.inf else None


def encode_slof(data: NDArray[np.float64], fixed_point: float) -> bytes:
    import numpy as np

    # A value no real intensity has (negative, not finite: a file forced
    # through the layout check) casts to an unspecified number, quietly.
    with np.errstate(invalid="ignore", over="ignore"):
        scaled = (np.log1p(data) * fixed_point + 0.5).astype(np.uint16)
    return np.array([fixed_point], ">f8").tobytes() + scaled.astype("<u2").tobytes()


def encode_linear(data: NDArray[np.float64], fixed_point: float) -> bytes:
    import numpy as np

    head = np.array([fixed_point], ">f8").tobytes()
    if len(data) == 0:
        return head
    with np.errstate(invalid="ignore", over="ignore"):  # a non-finite m/z of a forced file: no number to keep
        ints = (data * fixed_point + 0.5).astype(np.int64)
    head += ints[:2].astype("<u4").tobytes() if len(data) > 1 else ints[:1].astype("<u4").tobytes()
    if len(data) <= 2:
        return head
    # Residuals of the linear prediction, as 32-bit patterns.
    diff = (ints[2:] - (2 * ints[1:-1] - ints[:-2])).astype(np.int32).view(np.uint32)
    # Each becomes a count nibble and its low nibbles: the leading zero
    # nibbles (count l, 0 to 8) or leading 0xF nibbles (count l + 8, l up
    # to 7) are left out, and any other pattern keeps all 8 (count 0).
    top = diff >> 28
    positive, negative = top == 0, top == 0xF
    # Significant nibbles: how many of 16**0 .. 16**7 the value reaches.
    inverted = ~diff
    zeros = np.full(len(diff), 8, np.uint8)
    ones = np.full(len(diff), 8, np.uint8)
    for k in range(8):
        zeros -= diff >= np.uint32(16**k)
        ones -= inverted >= np.uint32(16**k)
    skip = np.where(positive, zeros, np.where(negative, np.minimum(ones, 7), 0)).astype(np.uint8)
    count = np.where(negative, skip + 8, skip).astype(np.uint8)
    stream = np.empty((len(diff), 9), np.uint8)
    stream[:, 0] = count
    for k in range(8):  # least significant nibble first
        stream[:, k + 1] = (diff >> (4 * k)) & 0xF
    halves = stream[np.arange(9, dtype=np.uint8)[None, :] <= (8 - skip)[:, None]]
    if len(halves) % 2:
        halves = np.append(halves, np.uint8(0))
    return head + ((halves[0::2] << 4) | halves[1::2]).astype(np.uint8).tobytes()
