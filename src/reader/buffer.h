// Vectors for buffers that are filled whole right after they are sized (a
// block of the file, decoded peaks): sizing them leaves the elements as they
// are instead of writing zeros that are overwritten at once, a pass over
// memory as large as the buffer itself.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace vantoro {

template <class T>
struct FillLaterAllocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = FillLaterAllocator<U>;
    };

    FillLaterAllocator() = default;
    template <class U>
    FillLaterAllocator(const FillLaterAllocator<U>&) noexcept {}

    // An element made without arguments is default-initialised: for the
    // arithmetic types these buffers hold, left unwritten.
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0) {
            ::new (static_cast<void*>(p)) U;
        } else {
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
        }
    }
};

template <class T>
using Buffer = std::vector<T, FillLaterAllocator<T>>;

}  // namespace vantoro
