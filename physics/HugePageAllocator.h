// An allocator for the step's big buffers: large blocks are backed by the
// operating system's huge pages where it offers them on request, so that a
// buffer growing to its scene's size takes one page fault per two megabytes
// instead of one per four kilobytes. On some virtual machines a fault costs
// over ten microseconds, and the first steps of a big scene fault thousands
// of pages.
#pragma once

#include <cstddef>
#include <new>

namespace Tolvane::Physics {

/// Memory for at least bytes, on whole huge pages when bytes is large.
void* allocateLarge(std::size_t bytes);
/// Frees what allocateLarge(bytes) gave, with the same bytes.
void freeLarge(void* memory, std::size_t bytes);

template <class T> struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() = default;
    template <class U> HugePageAllocator(const HugePageAllocator<U>&) {}
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
                  "small blocks come from plain operator new");
    T* allocate(std::size_t count) { return static_cast<T*>(allocateLarge(count * sizeof(T))); }
    void deallocate(T* memory, std::size_t count) { freeLarge(memory, count * sizeof(T)); }
    template <class U> bool operator==(const HugePageAllocator<U>&) const { return true; }
    template <class U> bool operator!=(const HugePageAllocator<U>&) const { return false; }
};

} // namespace Tolvane::Physics

#include <vector>

namespace Tolvane::Physics {

/// A vector for the step's big buffers.
template <class T> using LargeVector = std::vector<T, HugePageAllocator<T>>;

} // namespace Tolvane::Physics
