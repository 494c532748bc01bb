// The solver response's broad phase: the candidate pairs of the step's bodies
// from their boxes in a grid, the strikes that may drive a body into a third
// one, and the pairs the boxes grown by those strikes add.
#pragma once

#include "math/Vector3.h"
#include "physics/solver/BodyTable.h"
#include "physics/solver/GridBroadPhase.h"
#include "physics/solver/WorkerPool.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace Tolvane::Physics {

/// A candidate pair with its key, so that the walk in key order reads
/// nothing else. Ordered by key, then by the bodies' places (a body copied
/// with its id shares its keys), so the order never depends on the order
/// the broad phase found the pairs in.
struct KeyedCandidate {
    std::uint64_t key;
    std::int32_t i;
    std::int32_t j;
    bool operator<(const KeyedCandidate& other) const
    {
        return key != other.key ? key < other.key : i != other.i ? i < other.i : j < other.j;
    }
};

/// Keeps between steps: the grid's buffers and cell size (the grid sizes
/// itself from the boxes of each step); the candidates, strikes and grown
/// boxes are the step's own.
class ContactBroadPhase {
  public:
    /// This step's candidate pairs: every pair with an awake body whose boxes
    /// meet, and the pairs the boxes of struck bodies meet once grown (the
    /// grown boxes are written into the table for this step).
    void findCandidates(BodyTable& bodies, float dt, WorkerPool& pool);

    /// The candidates in key order, the order of the cached pairs.
    void sortCandidates(const BodyTable& bodies, WorkerPool& pool);
    const std::vector<KeyedCandidate>& sortedCandidates() const { return candidateOrder_; }
    /// Drops the sorted candidates of the pairs of bodies listed in
    /// keptApart (each pair as lower place, higher place, the list sorted):
    /// bodies joined by a joint that does not let them collide.
    void dropPairs(const std::vector<std::pair<std::int32_t, std::int32_t>>& keptApart);

    /// The most body i's velocity may change by contacts in this step: the
    /// fastest approach of any body whose box meets its own.
    float jolt(std::int32_t i) const { return strikes_[i].jolt; }

    /// Forgets the grid.
    void clear() { grid_ = GridBroadPhase(); }

    /// Builds the grids in pages (null: pages of their own) that later
    /// stages of the step may take once the candidates are found.
    void sharePages(StagePages* pages) { pages_ = pages; }

  private:
    /// What strikes may do to a body in this step: the most its velocity may
    /// change by contacts (the fastest approach of any body whose box meets its
    /// own), and the box of the directions they may push it (zero when none).
    struct Strike {
        float jolt = 0.0f;
        Math::Vector3 pushLow;
        Math::Vector3 pushHigh;
    };

    /// Each body's strike from the candidates found so far.
    void strikeBodies(const BodyTable& bodies);
    /// Grows the boxes of the bodies struck harder than the speculative
    /// distance covers; true when any grew.
    bool growStruck(BodyTable& bodies, float dt);
    /// The pairs only the grown boxes meet, added to the candidates.
    void findPairsOfGrown(const BodyTable& bodies, WorkerPool& pool);
    template <class Wanted>
    void findPairsOfGrown(const BodyTable& bodies, WorkerPool& pool, const Wanted& wanted);

    GridBroadPhase grid_;
    /// Which bodies look for partners in the grid: the awake movable ones.
    std::vector<char> queries_;
    std::vector<std::pair<std::int32_t, std::int32_t>> candidates_;
    std::vector<Strike> strikes_;
    /// The bodies whose boxes grew for the strikes they take, and the pairs
    /// only their grown boxes meet.
    std::vector<char> grownQueries_;
    /// How far the grown boxes grew at the most.
    GridBroadPhase::Growth reach_;
    std::vector<std::pair<std::int32_t, std::int32_t>> addedCandidates_;
    /// The grown bodies in order, their boxes, and the grid that pairs them.
    std::vector<std::int32_t> grownBodies_;
    std::vector<WorldBox> grownBoxes_;
    std::vector<char> everyGrown_;
    GridBroadPhase grownGrid_;
    /// The lists both grids hash their boxes into, one grid after the other.
    GridBroadPhase::WalkScratch walk_;
    StagePages* pages_ = nullptr;
    /// The candidates sorted by key, and their two halves sorted apart before
    /// they are merged.
    std::vector<KeyedCandidate> candidateOrder_;
    std::vector<KeyedCandidate> unmergedOrder_;
};

} // namespace Tolvane::Physics
