// The solver response's islands and sleeping: movable bodies joined by the
// pairs that touch, islands woken whole, and islands still long enough put
// to sleep.
#pragma once

#include "physics/solver/BodyTable.h"
#include "physics/solver/ContactCache.h"
#include "physics/solver/JointLink.h"
#include "physics/solver/SolverConstants.h"
#include "physics/solver/UnionFind.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace Tolvane::Physics {

/// Keeps nothing between steps of its own: the island a body slept in lives
/// in the body's solver memory (the id of the island's root body), and its
/// still time too. Each step builds the islands afresh from the pairs.
class Islands {
  public:
    /// Unites the movable bodies of every linked pair and every joint into
    /// islands, and wakes every sleeping body of an island with an awake body.
    void wake(BodyTable& bodies, const PairList& pairs, const std::vector<JointLink>& joints);

    /// Starts the islands' least still times for the step's finish; sleeping
    /// says whether bodies may fall asleep at all.
    void startStillTimes(std::size_t bodyCount, bool sleeping);
    bool sleeping() const { return sleeping_; }

    /// The body that heads body i's island.
    std::int32_t root(std::size_t i) const { return islandRoot_[i]; }
    /// Body i's still time, into the least of its island's.
    void addStillTime(std::int32_t i, float stillTime)
    {
        float& least = islandStillTime_[islandRoot_[i]];
        least = std::min(least, stillTime);
    }
    /// Whether the island of body i falls asleep, once every body of it added
    /// its still time.
    bool fallsAsleep(std::size_t i) const
    {
        return sleeping_ && islandStillTime_[islandRoot_[i]] >= timeToSleep;
    }
    /// Whether a body still for stillTime may let its island fall asleep: an
    /// island sleeps only when all its bodies may.
    bool stillLongEnough(float stillTime) const { return sleeping_ && stillTime >= timeToSleep; }

  private:
    std::vector<std::int32_t> islandParent_;
    /// Each body's island, by the body that heads it.
    std::vector<std::int32_t> islandRoot_;
    std::vector<char> islandFlag_;
    /// The least still time of the bodies of the island a body heads.
    std::vector<float> islandStillTime_;
    /// The movable bodies a moving kinematic body touches: their islands
    /// wake and do not fall asleep in this step.
    std::vector<std::int32_t> held_;
    /// Whether bodies may fall asleep in this step.
    bool sleeping_ = true;
};

} // namespace Tolvane::Physics
