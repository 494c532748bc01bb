// Storage for the step's big scratch buffers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace Tolvane::Physics {

/// bytes of memory straight from the system, in whole pages. A buffer given
/// back goes back to the system at once: from the heap, the blocks a growing
/// buffer let go of would stay with the process, a hole each that later
/// requests seldom fit. Throws std::bad_alloc.
void* allocatePages(std::size_t bytes);
/// Gives back what allocatePages gave (null: nothing).
void releasePages(void* memory, std::size_t bytes) noexcept;
/// Grows memory of bytes that allocatePages gave (null: none) to newBytes,
/// keeping what it held, and returns where it now is: the old block is no
/// longer valid. Where the system can, its pages are moved over, not copied,
/// so that the pages never touched stay untouched and the old and the new
/// block are never both held. Throws std::bad_alloc, the old block kept.
void* growPages(void* memory, std::size_t bytes, std::size_t newBytes);
/// Hands the whole pages between from and to, of memory allocatePages gave,
/// back to the system while keeping them: touched again, they come back
/// holding zeros. Does nothing where the system cannot.
void dropPages(void* from, void* to) noexcept;

/// Below this many bytes a block comes from the heap: whole pages for it
/// would waste more than a heap's hole.
constexpr std::size_t pageBlockBytes = 64 * 1024;

/// The allocator of the step's growing buffers (StepVector): a block of
/// pageBlockBytes or more comes straight from the system, so that what a
/// growing buffer lets go of goes back at once, and the room it keeps beyond
/// its elements costs nothing until the elements reach it.
template <class T> struct PageAllocator {
    using value_type = T;

    PageAllocator() = default;
    template <class U> PageAllocator(const PageAllocator<U>&) noexcept {}

    T* allocate(std::size_t count)
    {
        const std::size_t bytes = count * sizeof(T);
        if (bytes >= pageBlockBytes)
            return static_cast<T*>(allocatePages(bytes));
        return static_cast<T*>(::operator new (bytes, std::align_val_t{alignof(T)}));
    }
    void deallocate(T* block, std::size_t count) noexcept
    {
        const std::size_t bytes = count * sizeof(T);
        if (bytes >= pageBlockBytes)
            releasePages(block, bytes);
        else
            ::operator delete (block, std::align_val_t{alignof(T)});
    }

    template <class U> bool operator==(const PageAllocator<U>&) const noexcept { return true; }
    template <class U> bool operator!=(const PageAllocator<U>&) const noexcept { return false; }
};

/// A std::vector for the step's buffers that grow with the scene.
template <class T> using StepVector = std::vector<T, PageAllocator<T>>;

/// Storage for big scratch whose every element is written before it is read:
/// it grows without copying or clearing, so that growing costs no pass over
/// the memory on one thread, and each page is first touched by the thread
/// that fills it.
///
/// It asks for ordinary pages on purpose. Huge pages were tried: on virtual
/// machines that hand free memory back to the host, a fresh huge page costs
/// the host a fault for each of its 512 small pages at once, several
/// milliseconds in one step, while small pages cost only those touched.
template <class T> class ScratchArray {
    static_assert(alignof(T) <= 4096, "pages are aligned to at least 4096 bytes");
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

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
        void* memory = allocatePages(capacity * sizeof(T));
        release();
        data_ = static_cast<T*>(memory);
        capacity_ = capacity;
    }
    /// Room for at least count elements, keeping the ones held: for arrays
    /// whose elements live from step to step.
    void growKeeping(std::size_t count)
    {
        if (count <= capacity_)
            return;
        const std::size_t capacity = std::max(count, 2 * capacity_);
        data_ = static_cast<T*>(growPages(data_, capacity_ * sizeof(T), capacity * sizeof(T)));
        capacity_ = capacity;
    }
    std::size_t capacity() const { return capacity_; }
    /// Hands back the pages past the first count elements, which then hold
    /// zeros: for an array whose use fell well below what it once held.
    void dropFrom(std::size_t count)
    {
        if (count < capacity_)
            dropPages(data_ + count, data_ + capacity_);
    }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

  private:
    void release()
    {
        releasePages(data_, capacity_ * sizeof(T));
        data_ = nullptr;
        capacity_ = 0;
    }

    T* data_ = nullptr;
    std::size_t capacity_ = 0;
};

/// Pages that stages of a step which never need them at the same time take
/// in turn (the broad phase's grid, the narrow phase's work, then the
/// solver's bundles), so that the step holds the largest of their needs
/// rather than the sum. What one stage
/// leaves in them is lost to the next.
class StagePages {
  public:
    /// The pages, with room for at least bytes; what they held is lost when they grow.
    std::byte* room(std::size_t bytes)
    {
        pages_.makeRoom(bytes);
        return pages_.data();
    }
    /// The pages, with room for at least bytes, keeping what they held
    /// (which may have moved: pointers into them are no longer valid).
    std::byte* roomKeeping(std::size_t bytes)
    {
        pages_.growKeeping(bytes);
        return pages_.data();
    }
    /// Notes that a stage used the first bytes of the pages.
    void used(std::size_t bytes) { used_ = std::max(used_, bytes); }
    /// Called once a step: when the stages used far less since the last call
    /// than the steps before (a pile settled after forming), hands back the
    /// pages past what they used and an eighth more, which would otherwise
    /// stay with the process for good.
    void handBackUnused()
    {
        held_ = std::max(held_, used_);
        if (used_ + used_ / 4 < held_) {
            held_ = used_ + used_ / 8;
            pages_.dropFrom(held_);
        }
        used_ = 0;
    }

  private:
    ScratchArray<std::byte> pages_;
    /// The most bytes a stage used since the last handBackUnused, and the
    /// most the pages hold touched since they were last handed back.
    std::size_t used_ = 0;
    std::size_t held_ = 0;
};

} // namespace Tolvane::Physics
