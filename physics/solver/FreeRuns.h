// Runs of places in an array, handed out to threads and given back.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace Tolvane::Physics {

/// Hands out runs of consecutive places among the first capacity of an
/// array, each the lowest free run long enough (first fit), and takes them
/// back, from any thread. Work that holds places only for a while, one piece
/// after another, so needs about as many places as the pieces that hold them
/// at once, not as all of them together.
class FreeRuns {
  public:
    FreeRuns() = default;
    /// Moves the runs, while no thread takes or gives any.
    FreeRuns(FreeRuns&& other) noexcept
        : free_(std::move(other.free_)), capacity_(other.capacity_), highWater_(other.highWater_)
    {
    }
    FreeRuns& operator=(FreeRuns&& other) noexcept
    {
        free_ = std::move(other.free_);
        capacity_ = other.capacity_;
        highWater_ = other.highWater_;
        return *this;
    }

    /// Every place free again, capacity of them; room kept for the free runs
    /// that up to holders runs held at once leave, so that taking and giving
    /// back never allocate.
    void reset(std::uint32_t capacity, std::size_t holders);

    /// Makes room for the free runs that up to holders runs held at once leave.
    void reserve(std::size_t holders);
    /// Adds the places from capacity() up to capacity, free.
    void grow(std::uint32_t capacity);

    /// The first place of a free run of count places, which is no longer free;
    /// count 0 takes nothing. Returns capacity() when no free run is that long.
    std::uint32_t take(std::uint32_t count);
    /// Frees the run of count places from first, which take returned.
    void give(std::uint32_t first, std::uint32_t count);

    std::uint32_t capacity() const { return capacity_; }
    /// One past the highest place taken since the reset.
    std::uint32_t highWater() const { return highWater_; }

  private:
    std::mutex lock_;
    /// The free runs (first place, count), in order, none touching another.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> free_;
    std::uint32_t capacity_ = 0;
    std::uint32_t highWater_ = 0;
};

} // namespace Tolvane::Physics
