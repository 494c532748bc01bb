// Records the largest single heap allocation made while a probe is alive, so
// tests can show that no allocation was sized from a count read from a file.
#pragma once

#include <cstddef>

namespace Tolvane::Testing {

/// While alive, every operator new of this test program records its size;
/// largest() is the biggest request seen since construction.
class LargestAllocation {
public:
    LargestAllocation();
    ~LargestAllocation();
    LargestAllocation(const LargestAllocation&) = delete;
    LargestAllocation& operator=(const LargestAllocation&) = delete;

    std::size_t largest() const;
};

} // namespace Tolvane::Testing
