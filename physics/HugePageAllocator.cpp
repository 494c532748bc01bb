// Large blocks on huge pages, small ones from the ordinary heap.
#include "physics/HugePageAllocator.h"

#include <cstdlib>

#include <sys/mman.h>

namespace Tolvane::Physics {

namespace {

constexpr std::size_t hugePage = std::size_t{2} << 20;
/// Blocks from this size on are rounded up to whole huge pages.
constexpr std::size_t largeBlock = std::size_t{128} << 10;

std::size_t roundedSize(std::size_t bytes)
{
    return (bytes + hugePage - 1) / hugePage * hugePage;
}

} // namespace

void* allocateLarge(std::size_t bytes)
{
    if (bytes < largeBlock)
        return ::operator new(bytes);
    const std::size_t size = roundedSize(bytes);
    void* memory = std::aligned_alloc(hugePage, size);
    if (!memory)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Only a request: without huge pages the block is ordinary memory.
    madvise(memory, size, MADV_HUGEPAGE);
#endif
    return memory;
}

void freeLarge(void* memory, std::size_t bytes)
{
    if (bytes < largeBlock)
        ::operator delete(memory);
    else
        std::free(memory);
}

} // namespace Tolvane::Physics
