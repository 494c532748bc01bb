// Asking for cache lines ahead of writing (or reading) them, for the loops over
// the bodies that touch what another thread read or wrote in the last stage.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Tolvane::Physics {

/// How many bodies ahead a loop over the bodies asks for the lines it will
/// write: far enough for a line held by another core to arrive in time, near
/// enough for it to still be there when it is written.
constexpr std::size_t writeAheadBodies = 8;

/// Asks for the cache line holding p, to be written soon. A line another core
/// read since this one last wrote it must first be taken from that core; a
/// store that waits for it holds up the stores behind it, while the request
/// made ahead travels alongside other work. On x86-64 this is PREFETCHW where
/// the build enables it; elsewhere a plain prefetch, or nothing. Results never
/// depend on it.
inline void prefetchForWrite(const void* p)
{
    __builtin_prefetch(p, 1, 3);
}

/// Asks for the cache line holding p, to be read soon; for a loop that reads
/// lines another core wrote next to the lines it writes.
inline void prefetchForRead(const void* p)
{
    __builtin_prefetch(p, 0, 3);
}

/// prefetchForWrite for every line of an object of the given size at p.
inline void prefetchObjectForWrite(const void* p, std::size_t bytes)
{
    constexpr std::uintptr_t line = 64;
    const auto first = reinterpret_cast<std::uintptr_t>(p) & ~(line - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(p) + bytes - 1) & ~(line - 1);
    for (std::uintptr_t at = first; at <= last; at += line)
        prefetchForWrite(reinterpret_cast<const void*>(at));
}

} // namespace Tolvane::Physics
