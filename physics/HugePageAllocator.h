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

#include <algorithm>
#include <type_traits>
#include <vector>

namespace Tolvane::Physics {

/// A vector for the step's big buffers.
template <class T> using LargeVector = std::vector<T, HugePageAllocator<T>>;

/// Storage for big scratch whose every element is written before it is read:
/// it grows without copying or clearing, so that growing costs no pass over
/// the memory on one thread, and each page is first touched by the thread
/// that fills it.
template <class T> class ScratchArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
                  "small blocks come from plain operator new");

  public:
    ScratchArray() = default;
    ~ScratchArray() { release(); }
    ScratchArray(const ScratchArray&) = delete;
    ScratchArray& operator=(const ScratchArray&) = delete;
    ScratchArray(ScratchArray&& other) noexcept : data_(other.data_), capacity_(other.capacity_)
    {
        other.data_ = nullptr;
        other.capacity_ = 0;
    }
    ScratchArray& operator=(ScratchArray&& other) noexcept
    {
        if (this != &other) {
            release();
            std::swap(data_, other.data_);
            std::swap(capacity_, other.capacity_);
        }
        return *this;
    }

    /// Room for at least count elements; what the array held is lost when it grows.
    void makeRoom(std::size_t count)
    {
        if (count <= capacity_)
            return;
        const std::size_t capacity = std::max(count, 2 * capacity_);
        void* memory = allocateLarge(capacity * sizeof(T));
        release();
        data_ = static_cast<T*>(memory);
        capacity_ = capacity;
    }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

  private:
    void release()
    {
        if (data_)
            freeLarge(data_, capacity_ * sizeof(T));
        data_ = nullptr;
        capacity_ = 0;
    }

    T* data_ = nullptr;
    std::size_t capacity_ = 0;
};

} // namespace Tolvane::Physics
