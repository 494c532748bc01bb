// The allocation counter: the sanitizer's hook in sanitized builds, a counting
// operator new in the others; in both, an operator new that can be made to fail.
#include "AllocationCounter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define TOLVANE_COUNT_WITH_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOLVANE_COUNT_WITH_SANITIZER 1
#endif
#endif

#ifdef TOLVANE_COUNT_WITH_SANITIZER
// The sanitizers' documented hook (sanitizer/allocator_interface.h, which only
// clang installs as a header; GCC's runtime has the same function).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            std::size_t),
                                                         void (*freeHook)(const volatile void*));
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<std::size_t> allocations{0};
std::atomic<std::size_t> largestRequest{0};
std::atomic<std::size_t> newCallCount{0};
/// The call of operator new that throws (0: none).
std::atomic<std::size_t> failingCall{0};

void noteAllocation(std::size_t size)
{
    if (!counting.load(std::memory_order_relaxed))
        return;
    allocations.fetch_add(1, std::memory_order_relaxed);
    std::size_t largest = largestRequest.load(std::memory_order_relaxed);
    while (size > largest &&
           !largestRequest.compare_exchange_weak(largest, size, std::memory_order_relaxed)) {
    }
}

#ifdef TOLVANE_COUNT_WITH_SANITIZER
void onMalloc(const volatile void*, std::size_t size)
{
    noteAllocation(size);
}
void onFree(const volatile void*) {}
// Installed once: the sanitizer keeps one pair of hooks for the process.
[[maybe_unused]] const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
#endif

// Every operator new comes here. Under the sanitizer malloc is its own, which
// counts the block through the hook and checks it as any other.
void* allocate(std::size_t size, std::size_t alignment)
{
    if (counting.load(std::memory_order_relaxed)) {
        const std::size_t call = newCallCount.fetch_add(1, std::memory_order_relaxed) + 1;
        if (call == failingCall.load(std::memory_order_relaxed))
            throw std::bad_alloc();
    }
#ifndef TOLVANE_COUNT_WITH_SANITIZER
    noteAllocation(size);
#endif
    if (size == 0)
        size = 1;
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t))
        p = std::malloc(size);
    else if (posix_memalign(&p, alignment, size) != 0)
        p = nullptr;
    if (!p)
        throw std::bad_alloc();
    return p;
}

void* allocateOrNull(std::size_t size, std::size_t alignment) noexcept
{
    try {
        return allocate(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

constexpr std::size_t plain = alignof(std::max_align_t);

} // namespace

// Replaced in every form, so that every block comes from malloc and goes back
// to free, which the sanitizer checks as a pair.
void* operator new(std::size_t size)
{
    return allocate(size, plain);
}
void* operator new[](std::size_t size)
{
    return allocate(size, plain);
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
    return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocateOrNull(size, plain);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocateOrNull(size, plain);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return allocateOrNull(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return allocateOrNull(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    std::free(p);
}

namespace Tolvane::Testing {

AllocationCounter::AllocationCounter()
{
    allocations = 0;
    largestRequest = 0;
    newCallCount = 0;
    failingCall = 0;
    counting = true;
}

AllocationCounter::~AllocationCounter()
{
    counting = false;
    failingCall = 0;
}

std::size_t AllocationCounter::count() const
{
    return allocations.load();
}

std::size_t AllocationCounter::largest() const
{
    return largestRequest.load();
}

std::size_t AllocationCounter::newCalls() const
{
    return newCallCount.load();
}

void AllocationCounter::failAt(std::size_t nth)
{
    failingCall = nth;
}

} // namespace Tolvane::Testing
