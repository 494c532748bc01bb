// Replaces the program's global operator new and delete with malloc-based ones
// that report request sizes to the active LargestAllocation probe.
#include "LargestAllocation.h"

#include <cstdlib>
#include <new>

namespace {
bool probeActive = false;
std::size_t largestRequest = 0;

void* allocate(std::size_t size)
{
    if (probeActive && size > largestRequest)
        largestRequest = size;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
} // namespace

namespace Tolvane::Testing {

LargestAllocation::LargestAllocation()
{
    largestRequest = 0;
    probeActive = true;
}

LargestAllocation::~LargestAllocation() { probeActive = false; }

std::size_t LargestAllocation::largest() const { return largestRequest; }

} // namespace Tolvane::Testing

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
