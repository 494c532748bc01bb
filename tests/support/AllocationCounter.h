// Counting heap allocations in a test, without giving up the address
// sanitizer's own checks of the memory they return.
#pragma once

#include <cstddef>

namespace Tolvane::Testing {

/// While alive, counts the heap allocations made by this thread's code (every
/// operator new and malloc) and keeps the largest request. Under AddressSanitizer it listens through the
/// sanitizer's allocation hook, so the sanitizer keeps allocating and checking
/// every block; otherwise operator new is replaced by one that counts and
/// forwards to malloc. It can also make one operator new fail, so that a test
/// sees what the code does when memory runs out. One counter at a time.
class AllocationCounter {
  public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t count() const;
    /// The largest single request, in bytes, since construction.
    std::size_t largest() const;

    /// The calls of operator new since construction, on every thread, a
    /// failed one included.
    std::size_t newCalls() const;
    /// Makes the nth call of operator new since construction (1 the first;
    /// on every thread) throw std::bad_alloc instead; 0 makes none fail.
    void failAt(std::size_t nth);
};

} // namespace Tolvane::Testing
