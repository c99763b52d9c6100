// NumPy arrays over buffers the module decoded, without copying them and
// without building against NumPy: its C API is reached at run time through
// the `_ARRAY_API` capsule.
#pragma once

#include "../reader/buffer.h"
#include "py.h"

namespace vantoro::py {

// One-dimensional float64 / float32 arrays whose memory is the vector's own
// storage. The storage passes to a PySliceContainer, the array's base, which
// frees it once the last array or view using it is gone. The vector is
// consumed on every path, failures included (those end in an internal fault).
Ref array_from_buffer(Buffer<double>&& buffer);
Ref array_from_buffer(Buffer<float>&& buffer);

// Drops the container type and the NumPy lookups without touching them,
// once the interpreter they belong to has ended.
void forget_array_state() noexcept;

}  // namespace vantoro::py
