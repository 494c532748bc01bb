// How the solve splits its work: the awake bodies in groups that share no
// body, the groups in batches of whole groups that fill the solver's lanes,
// and the solver's constraints, points and bodies numbered batch by batch.
#pragma once

#include "physics/solver/BodyTable.h"
#include "physics/solver/ContactCache.h"
#include "physics/solver/ContactSolver.h"
#include "physics/solver/ContactStepStatistics.h"
#include "physics/solver/JointLink.h"
#include "physics/solver/UnionFind.h"
#include "physics/solver/WorkerPool.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace Tolvane::Physics {

/// Keeps nothing between steps: each step numbers its awake bodies, groups
/// and batches afresh (the buffers stay, so that no step allocates).
class SolveBatches {
  public:
    /// Groups the awake bodies, puts the groups in batches and numbers each
    /// pair's constraints and points (pair.island, firstConstraint and
    /// firstPoint) and the solver's bodies batch by batch. Adds the awake
    /// bodies and every pair's manifolds to statistics.
    /// weightPerSubstep is the speed gravity gives a body in one of the
    /// settings' substeps: each group's substep scale weighs its contacts'
    /// loads against it. On several threads the last batches are made
    /// smaller, so that the threads finish them close together; how the
    /// groups are batched changes no result.
    /// Joined awake bodies are grouped as touching ones are, and a group
    /// with joints is some batch's even without contacts.
    void plan(const BodyTable& bodies, PairList& pairs, const std::vector<JointLink>& joints,
              ContactStepStatistics& statistics, float weightPerSubstep, int threads = 1);
    /// plan on the pool's threads: the numbering of the pairs beside that
    /// of the joints and bodies when there are many, with the same results.
    void plan(const BodyTable& bodies, PairList& pairs, const std::vector<JointLink>& joints,
              ContactStepStatistics& statistics, float weightPerSubstep, WorkerPool& pool);
    /// Pairs whose contacts sank deeper than depth take twice the substeps
    /// from the next plan on (see sunkContactAllowances); infinity, the
    /// start, never.
    void setSunkDepth(float depth) { sunkDepth_ = depth; }

    std::int32_t batchCount() const { return batchCount_; }
    /// The batches, dearest first: by their contacts and joints times their
    /// substeps. Handed out in this order, the threads end on cheap ones.
    const std::vector<std::int32_t>& batchesByCost() const { return batchesByCost_; }
    std::int32_t constraintCount() const { return constraintCount_; }
    std::int32_t pointCount() const { return pointCount_; }
    /// Each batch's first constraint, and one past the last batch's.
    const std::vector<std::int32_t>& batchConstraintStart() const { return batchConstraintStart_; }
    /// The batch a group of pairs (pair.island) is solved in.
    std::int32_t batchOfGroup(std::int32_t group) const { return batchOfGroup_[group]; }
    /// How many times the settings' substeps a batch takes (1, 2, 4 or 8): the
    /// most any of its groups needs for the loads its contacts carry. Groups
    /// needing different scales are never batched together.
    int batchSubstepScale(std::int32_t batch) const { return batchScale_[batch]; }

    /// The number of awake bodies, which the solver numbers from 0.
    std::size_t solverBodyCount() const { return solverToBody_.size(); }
    /// Solver body k's place among the step's bodies, and body i's among the
    /// solver's (noSolverBody for fixed and sleeping bodies).
    std::int32_t bodyOf(std::int32_t k) const { return solverToBody_[k]; }
    std::int32_t solverIndexOf(std::size_t i) const { return solverIndexOf_[i]; }
    /// The solver bodies of batches, batch after batch, and the free bodies
    /// (touching nothing) after them: the solver bodies from grouped() on.
    struct BodyRange {
        const std::int32_t* first;
        const std::int32_t* last;
    };
    BodyRange batchBodies(std::int32_t batch) const
    {
        return {groupBodies_.data() + groupBodyStart_[batch],
                groupBodies_.data() + groupBodyStart_[batch + 1]};
    }
    std::int32_t grouped() const { return groupBodyStart_.empty() ? 0 : groupBodyStart_.back(); }
    const std::vector<std::int32_t>& freeBodies() const { return freeBodies_; }
    /// A batch's pairs (indices into the pairs), in order.
    const std::int32_t* batchPairs(std::int32_t batch) const
    {
        return batchPairs_.data() + batchPairStart_[batch];
    }
    std::size_t batchPairCount(std::int32_t batch) const
    {
        return static_cast<std::size_t>(batchPairStart_[batch + 1] - batchPairStart_[batch]);
    }
    /// A batch's joints (indices into the joint list), in list order.
    struct JointRange {
        const std::int32_t* first;
        const std::int32_t* last;
    };
    /// The substep scale a joint needs that carries load times its lighter
    /// body's weight, having needed previous last step: its stretch goes as
    /// its load over the square of its frequency, which grows with the substeps.
    static int jointSubstepScale(float load, int previous);

    JointRange batchJoints(std::int32_t batch) const
    {
        if (batchJoints_.empty())
            return {nullptr, nullptr};
        return {batchJoints_.data() + batchJointStart_[batch],
                batchJoints_.data() + batchJointStart_[batch + 1]};
    }

  private:
    /// Groups the awake bodies joined by any pair and numbers them in order.
    void groupAwakeBodies(const BodyTable& bodies, const PairList& pairs,
                          const std::vector<JointLink>& joints);
    /// An awake body's group.
    std::int32_t groupOfBody(std::int32_t body) const { return groupOfBody_[body]; }
    /// Each pair's group, each group's constraints, and the figures of every manifold.
    /// The groups, their constraints and substep scales, and their batches.
    void planBatches(const BodyTable& bodies, PairList& pairs, const std::vector<JointLink>& joints,
                     ContactStepStatistics& statistics, float weightPerSubstep, int threads);
    void countConstraints(PairList& pairs, ContactStepStatistics& statistics, float weightPerSubstep);
    /// The groups into batches in their order, a batch closed once it holds
    /// batchConstraints, or on several threads fewer towards the end.
    void assignBatches(int threads);
    void orderBatchesByCost();
    /// The substep scale a pair needs that carries load times its lighter
    /// body's weight, having needed previous last step.
    static int substepScale(float load, int previous);
    /// The substep scale a pair needs whose contacts sank to depth (a
    /// positive distance), having taken previous last step.
    int sunkSubstepScale(float depth, int previous) const;
    void numberPairs(PairList& pairs);
    /// Each joint with an awake body into its batch's list.
    void numberJoints(const std::vector<JointLink>& joints);
    /// The group of the joint's awake body, or -1 when neither is awake.
    std::int32_t groupOfJoint(const JointLink& joint) const;
    void numberBodies();

    std::int32_t groupCount_ = 0;
    std::int32_t batchCount_ = 0;
    std::int32_t constraintCount_ = 0;
    std::int32_t pointCount_ = 0;
    /// Each body's place among the solver's bodies, or noSolverBody for fixed
    /// and sleeping bodies, and each solver body's body.
    std::vector<std::int32_t> solverIndexOf_;
    std::vector<std::int32_t> solverToBody_;
    /// Each island's group number (by its root body).
    std::vector<std::int32_t> groupParent_;
    std::vector<std::int32_t> groupOfRoot_;
    /// Each awake body's group, found once: the later stages look it up
    /// for every pair and body, on one thread while the others wait.
    std::vector<std::int32_t> groupOfBody_;
    /// Each group's contacts, and the batch it is solved in (-1: none).
    std::vector<std::size_t> groupConstraints_;
    /// Each group's joints.
    std::vector<std::size_t> groupJoints_;
    std::vector<std::int32_t> batchOfGroup_;
    /// Each group's substep scale (its pairs' largest), and each batch's.
    std::vector<int> groupScale_;
    std::vector<int> batchScale_;
    float sunkDepth_ = std::numeric_limits<float>::infinity();
    /// Scratch of numbering the constraints and their points batch by batch.
    std::vector<std::int32_t> batchConstraintStart_;
    std::vector<std::int32_t> batchPointStart_;
    std::vector<std::int32_t> batchConstraintFill_;
    std::vector<std::int32_t> batchPointFill_;
    std::vector<std::int32_t> batchPairFill_;
    /// Each batch's pairs (indices into the pairs), batch after batch.
    std::vector<std::int32_t> batchPairStart_;
    std::vector<std::int32_t> batchPairs_;
    /// Each batch's joints (indices into the joint list), batch after batch;
    /// empty when the step has no joints.
    std::vector<std::int32_t> batchJointStart_;
    std::vector<std::int32_t> batchJointFill_;
    std::vector<std::int32_t> batchJoints_;
    /// Each batch's first solver body, and the solver bodies in order.
    std::vector<std::int32_t> groupBodyStart_;
    std::vector<std::int32_t> groupBodies_;
    /// Scratch of numbering the solver's bodies batch by batch.
    std::vector<std::int32_t> bodyOfSolverPlace_;
    std::vector<std::int32_t> groupFill_;
    /// The batches, dearest first.
    std::vector<std::int32_t> batchesByCost_;
    /// Awake bodies without contacts, moved without the solver.
    std::vector<std::int32_t> freeBodies_;
};

} // namespace Tolvane::Physics
