// The allocation counter: the sanitizer's hook in sanitized builds, a counting
// operator new in the others.
#include "AllocationCounter.h"

#include <atomic>
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

} // namespace

#ifndef TOLVANE_COUNT_WITH_SANITIZER
void* operator new(std::size_t size)
{
    noteAllocation(size);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
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
#endif

namespace Tolvane::Testing {

AllocationCounter::AllocationCounter()
{
    allocations = 0;
    largestRequest = 0;
    counting = true;
}

AllocationCounter::~AllocationCounter()
{
    counting = false;
}

std::size_t AllocationCounter::count() const
{
    return allocations.load();
}

std::size_t AllocationCounter::largest() const
{
    return largestRequest.load();
}

} // namespace Tolvane::Testing
