// Pages for the step's big scratch buffers.
#include "physics/solver/ScratchArray.h"

#include <cstdint>
#include <cstring>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define TOLVANE_HAS_MMAP 1
#endif

namespace Tolvane::Physics {

#if defined(TOLVANE_HAS_MMAP)

void* allocatePages(std::size_t bytes)
{
    if (bytes == 0)
        return nullptr;
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    return memory;
}

void releasePages(void* memory, std::size_t bytes) noexcept
{
    if (memory)
        munmap(memory, bytes);
}

void* growPages(void* memory, std::size_t bytes, std::size_t newBytes)
{
    if (!memory)
        return allocatePages(newBytes);
#if defined(__linux__)
    void* moved = mremap(memory, bytes, newBytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED)
        throw std::bad_alloc();
    return moved;
#else
    void* grown = allocatePages(newBytes);
    std::memcpy(grown, memory, bytes);
    releasePages(memory, bytes);
    return grown;
#endif
}

void dropPages(void* from, void* to) noexcept
{
    constexpr std::uintptr_t page = 4096;
    const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(from) + page - 1) & ~(page - 1);
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(to) & ~(page - 1);
    if (first < last)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

#else

void* allocatePages(std::size_t bytes)
{
    return bytes == 0 ? nullptr : ::operator new (bytes, std::align_val_t{4096});
}

void releasePages(void* memory, std::size_t) noexcept
{
    ::operator delete (memory, std::align_val_t{4096});
}

void* growPages(void* memory, std::size_t bytes, std::size_t newBytes)
{
    void* grown = allocatePages(newBytes);
    if (memory)
        std::memcpy(grown, memory, bytes);
    releasePages(memory, bytes);
    return grown;
}

void dropPages(void*, void*) noexcept {}

#endif

} // namespace Tolvane::Physics
