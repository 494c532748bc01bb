// A count that several threads take from at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace Tolvane::Physics {

/// A count that threads take runs of numbers from, each run its own. Unlike
/// a bare atomic it moves with the object holding it (the move is not safe
/// while other threads take from it).
class SharedCounter {
  public:
    SharedCounter() = default;
    SharedCounter(SharedCounter&& other) noexcept : value_(other.value_.load(std::memory_order_relaxed)) {}
    SharedCounter& operator=(SharedCounter&& other) noexcept
    {
        value_.store(other.value_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }

    void reset() { value_.store(0, std::memory_order_relaxed); }
    /// The first of count numbers no other call took.
    std::uint32_t take(std::uint32_t count) { return value_.fetch_add(count, std::memory_order_relaxed); }
    std::uint32_t taken() const { return value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::uint32_t> value_{0};
};

} // namespace Tolvane::Physics
