// The solve's groups and batches, and the numbering of its constraints,
// points and bodies batch by batch.
#include "physics/solver/SolveBatches.h"

#include "physics/solver/SolverConstants.h"

#include <algorithm>
#include <cmath>

namespace Tolvane::Physics {

void SolveBatches::plan(const BodyTable& bodies, PairList& pairs, const std::vector<JointLink>& joints,
                        ContactStepStatistics& statistics, float weightPerSubstep, int threads)
{
    planBatches(bodies, pairs, joints, statistics, weightPerSubstep, threads);
    numberPairs(pairs);
    numberJoints(joints);
    numberBodies();
    orderBatchesByCost();
}

// The pairs' numbers and the bodies' are written to arrays of their own from
// the batches alone, so the two are worked out side by side; the joints',
// which read the bodies' solver places, before the bodies are numbered anew.
void SolveBatches::plan(const BodyTable& bodies, PairList& pairs, const std::vector<JointLink>& joints,
                        ContactStepStatistics& statistics, float weightPerSubstep, WorkerPool& pool)
{
    planBatches(bodies, pairs, joints, statistics, weightPerSubstep, pool.threads());
    if (pool.threads() < 2 || solverToBody_.size() < bodiesNumberedApart) {
        numberPairs(pairs);
        numberJoints(joints);
        numberBodies();
    } else {
        pool.forEachEven(2, 1, [&](std::size_t from, std::size_t to) {
            for (std::size_t part = from; part < to; ++part)
                if (part == 0) {
                    numberPairs(pairs);
                } else {
                    numberJoints(joints);
                    numberBodies();
                }
        });
    }
    orderBatchesByCost();
}

void SolveBatches::planBatches(const BodyTable& bodies, PairList& pairs, const std::vector<JointLink>& joints,
                               ContactStepStatistics& statistics, float weightPerSubstep, int threads)
{
    groupAwakeBodies(bodies, pairs, joints);
    statistics.awakeBodies = static_cast<int>(solverToBody_.size());
    countConstraints(pairs, statistics, weightPerSubstep);
    groupJoints_.assign(static_cast<std::size_t>(groupCount_), 0);
    for (const JointLink& joint : joints) {
        const std::int32_t group = groupOfJoint(joint);
        if (group < 0)
            continue;
        ++groupJoints_[group];
        groupScale_[group] = std::max(groupScale_[group], joint.substepScale);
    }
    assignBatches(threads);
}

std::int32_t SolveBatches::groupOfJoint(const JointLink& joint) const
{
    if (joint.bodyA >= 0 && solverIndexOf_[joint.bodyA] != noSolverBody)
        return groupOfBody(joint.bodyA);
    if (joint.bodyB >= 0 && solverIndexOf_[joint.bodyB] != noSolverBody)
        return groupOfBody(joint.bodyB);
    return -1;
}

// The awake bodies. They are solved in groups that share no body: bodies
// joined by any contact with points (the islands join only those that
// touch) or by a joint, numbered in the order of their first body.
void SolveBatches::groupAwakeBodies(const BodyTable& bodies, const PairList& pairs,
                                    const std::vector<JointLink>& joints)
{
    solverToBody_.clear();
    groupParent_.resize(bodies.size());
    for (std::size_t i = 0; i < bodies.size(); ++i)
        groupParent_[i] = static_cast<std::int32_t>(i);
    for (const PairContact& pair : pairs) {
        if (!bodies.awake(pair.bodyA) || !bodies.awake(pair.bodyB))
            continue;
        uniteRoots(groupParent_, pair.bodyA, pair.bodyB);
    }
    for (const JointLink& joint : joints)
        if (joint.bodyA >= 0 && joint.bodyB >= 0 && bodies.awake(joint.bodyA) && bodies.awake(joint.bodyB))
            uniteRoots(groupParent_, joint.bodyA, joint.bodyB);
    groupOfRoot_.assign(bodies.size(), -1);
    groupOfBody_.resize(bodies.size());
    groupCount_ = 0;
    solverIndexOf_.resize(bodies.size());
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        if (!bodies.awake(static_cast<std::int32_t>(i))) {
            solverIndexOf_[i] = noSolverBody;
            continue;
        }
        solverIndexOf_[i] = static_cast<std::int32_t>(solverToBody_.size());
        std::int32_t& group = groupOfRoot_[findRoot(groupParent_, static_cast<std::int32_t>(i))];
        if (group < 0)
            group = groupCount_++;
        groupOfBody_[i] = group;
        solverToBody_.push_back(static_cast<std::int32_t>(i));
    }
}

void SolveBatches::countConstraints(PairList& pairs, ContactStepStatistics& statistics,
                                    float weightPerSubstep)
{
    groupConstraints_.assign(static_cast<std::size_t>(groupCount_), 0);
    groupScale_.assign(static_cast<std::size_t>(groupCount_), 1);
    constraintCount_ = 0;
    pointCount_ = 0;
    float deepest = 0.0f;
    float deepestOnFixed = 0.0f;
    for (PairContact& pair : pairs) {
        const bool solvedA = solverIndexOf_[pair.bodyA] != noSolverBody;
        const bool solved = solvedA || solverIndexOf_[pair.bodyB] != noSolverBody;
        pair.island = solved ? groupOfBody(solvedA ? pair.bodyA : pair.bodyB) : -1;
        statistics.manifolds += pair.counts.manifolds;
        statistics.contactPoints += pair.counts.points;
        deepest = std::min(deepest, pair.counts.deepest);
        deepestOnFixed = std::min(deepestOnFixed, pair.counts.deepestOnFixed);
        if (!solved)
            continue;
        constraintCount_ += pair.counts.manifolds;
        pointCount_ += pair.counts.points;
        groupConstraints_[pair.island] += static_cast<std::size_t>(pair.counts.manifolds);
        const float load = weightPerSubstep > 0.0f ? pair.counts.lift / weightPerSubstep : 0.0f;
        const int previous = pair.counts.substepScale;
        const float sunk = -std::min(pair.counts.deepest, pair.counts.deepestOnFixed);
        pair.counts.substepScale = std::max(substepScale(load, previous), sunkSubstepScale(sunk, previous));
        groupScale_[pair.island] = std::max(groupScale_[pair.island], pair.counts.substepScale);
    }
    statistics.deepestPairSeparation = deepest;
    statistics.deepestFixedSeparation = deepestOnFixed;
}

// A column of blocks on soft contacts bends over once the tipping of the
// weight above a contact outgrows the contact's stiffness. Measured on towers
// of cubes, the contact frequency a column needs grows as its height to the
// power 1.53, and the frequency the contacts may have grows with the substep
// rate. A contact carrying `load` times its lighter body's weight (a column
// of that height above it) therefore needs the substeps scaled by
// (load / loadAtBaseSubsteps)^1.53, rounded up to a power of two and at most
// largestSubstepScale. A pair steps down only once its load fits the lower
// scale with room to spare, so that a load near a boundary does not switch
// its island's stiffness back and forth.
namespace {

/// The least power of two, up to largestSubstepScale, not below needed.
int scaleFor(float needed)
{
    int scale = 1;
    while (static_cast<float>(scale) < needed && scale < largestSubstepScale)
        scale *= 2;
    return scale;
}

} // namespace

int SolveBatches::jointSubstepScale(float load, int previous)
{
    const float needed = std::sqrt(load / jointLoadAtBaseSubsteps);
    const int up = scaleFor(needed);
    if (up >= previous)
        return up;
    return std::min(previous, scaleFor(needed / substepScaleDownShare));
}

int SolveBatches::substepScale(float load, int previous)
{
    // Most pairs carry less than the base substeps hold with room to spare:
    // a ratio from 0 up to substepScaleDownShare, raised to the exponent
    // (above 1), stays below it, so such a pair needs the base substeps
    // whatever it needed before, and the power is not worked out.
    const float ratio = load / loadAtBaseSubsteps;
    if (ratio >= 0.0f && ratio <= substepScaleDownShare)
        return 1;
    const float needed = std::pow(ratio, columnFrequencyExponent);
    const int up = scaleFor(needed);
    if (up >= previous)
        return up;
    return std::min(previous, scaleFor(needed / substepScaleDownShare));
}

int SolveBatches::sunkSubstepScale(float depth, int previous) const
{
    return depth > sunkDepth_ || (previous >= 2 && depth > 0.5f * sunkDepth_) ? 2 : 1;
}

// Groups are solved in batches of whole groups, so that small ones fill the
// solver's eight lanes together: a group alone may hold a single contact.
// The batches follow the groups' order, and a group's contacts are solved
// alike in any batch, so the results are the same for every number of
// threads. Groups without contacts or joints are no batch's: their bodies
// are only moved.
// On several threads the batches go to whichever thread is free, and the
// threads wait for the last one: the batches shrink towards the end, each
// taking a share of what is left, down to tailBatchConstraints, so that the
// last ones are short.
void SolveBatches::assignBatches(int threads)
{
    batchOfGroup_.resize(static_cast<std::size_t>(groupCount_));
    batchCount_ = 0;
    std::size_t filling = 0;
    std::size_t left = static_cast<std::size_t>(constraintCount_);
    const std::size_t shares = threads > 1 ? tailBatchesPerThread * static_cast<std::size_t>(threads) : 1;
    std::size_t target = batchConstraints;
    for (std::int32_t g = 0; g < groupCount_; ++g) {
        if (groupConstraints_[g] == 0 && groupJoints_[g] == 0) {
            batchOfGroup_[g] = -1;
            continue;
        }
        if (batchCount_ == 0 || filling >= target || batchScale_[batchCount_ - 1] != groupScale_[g]) {
            ++batchCount_;
            filling = 0;
            batchScale_.resize(static_cast<std::size_t>(batchCount_));
            batchScale_[batchCount_ - 1] = groupScale_[g];
            if (threads > 1)
                target = std::min(batchConstraints, std::max(tailBatchConstraints, left / shares));
        }
        batchOfGroup_[g] = batchCount_ - 1;
        filling += groupConstraints_[g] + groupJoints_[g];
        left -= std::min(left, groupConstraints_[g]);
    }
}

// Each pair's place among the solver's constraints and their points: a
// batch's together, batch after batch, in the pairs' order within each,
// so that batches solved side by side share no cache line of them.
// Pairs without contacts to solve have none.
void SolveBatches::numberPairs(PairList& pairs)
{
    const auto size = static_cast<std::size_t>(batchCount_) + 1;
    batchConstraintStart_.assign(size, 0);
    batchPointStart_.assign(size, 0);
    batchPairStart_.assign(size, 0);
    const auto batchOf = [&](const PairContact& pair) {
        return pair.island < 0 ? -1 : batchOfGroup_[pair.island];
    };
    for (const PairContact& pair : pairs) {
        const std::int32_t batch = batchOf(pair);
        if (batch < 0)
            continue;
        batchConstraintStart_[batch + 1] += pair.counts.manifolds;
        batchPointStart_[batch + 1] += pair.counts.points;
        ++batchPairStart_[batch + 1];
    }
    for (std::int32_t b = 0; b < batchCount_; ++b) {
        batchConstraintStart_[b + 1] += batchConstraintStart_[b];
        batchPointStart_[b + 1] += batchPointStart_[b];
        batchPairStart_[b + 1] += batchPairStart_[b];
    }
    // And each batch's pairs, in order, for the thread that fills its constraints.
    batchConstraintFill_.assign(batchConstraintStart_.begin(), batchConstraintStart_.end());
    batchPointFill_.assign(batchPointStart_.begin(), batchPointStart_.end());
    batchPairFill_.assign(batchPairStart_.begin(), batchPairStart_.end());
    batchPairs_.resize(static_cast<std::size_t>(batchPairStart_[batchCount_]));
    for (std::size_t index = 0; index < pairs.size(); ++index) {
        PairContact& pair = pairs[index];
        const std::int32_t batch = batchOf(pair);
        pair.firstConstraint = -1;
        if (batch < 0)
            continue;
        pair.firstConstraint = batchConstraintFill_[batch];
        pair.firstPoint = batchPointFill_[batch];
        batchConstraintFill_[batch] += pair.counts.manifolds;
        batchPointFill_[batch] += pair.counts.points;
        batchPairs_[batchPairFill_[batch]++] = static_cast<std::int32_t>(index);
    }
}

// Each batch's joints in list order, so that a batch solves them in the
// same order however the batches are spread over the threads.
void SolveBatches::numberJoints(const std::vector<JointLink>& joints)
{
    batchJoints_.clear();
    if (joints.empty())
        return;
    batchJointStart_.assign(static_cast<std::size_t>(batchCount_) + 1, 0);
    for (const JointLink& joint : joints) {
        const std::int32_t group = groupOfJoint(joint);
        if (group >= 0)
            ++batchJointStart_[batchOfGroup_[group] + 1];
    }
    for (std::int32_t b = 0; b < batchCount_; ++b)
        batchJointStart_[b + 1] += batchJointStart_[b];
    batchJointFill_.assign(batchJointStart_.begin(), batchJointStart_.end());
    batchJoints_.resize(static_cast<std::size_t>(batchJointStart_[batchCount_]));
    for (std::size_t j = 0; j < joints.size(); ++j) {
        const std::int32_t group = groupOfJoint(joints[j]);
        if (group >= 0)
            batchJoints_[batchJointFill_[batchOfGroup_[group]]++] = static_cast<std::int32_t>(j);
    }
}

// The solver's bodies numbered again, batch by batch, each batch's in body
// order, and bodies touching nothing (a lattice in free fall) after them:
// a batch's bodies then share no cache line with another batch's, which
// another thread may be solving at the same time. Each body still sees
// the same operations in the same order.
void SolveBatches::numberBodies()
{
    groupBodyStart_.assign(static_cast<std::size_t>(batchCount_) + 1, 0);
    std::int32_t freeCount = 0;
    for (std::size_t k = 0; k < solverToBody_.size(); ++k) {
        const std::int32_t batch = batchOfGroup_[groupOfBody(solverToBody_[k])];
        if (batch < 0)
            ++freeCount;
        else
            ++groupBodyStart_[batch + 1];
    }
    for (std::int32_t b = 0; b < batchCount_; ++b)
        groupBodyStart_[b + 1] += groupBodyStart_[b];
    groupFill_.assign(groupBodyStart_.begin(), groupBodyStart_.end());
    std::int32_t& freeFill = groupFill_.back();
    bodyOfSolverPlace_.resize(solverToBody_.size());
    for (std::size_t k = 0; k < solverToBody_.size(); ++k) {
        const std::int32_t body = solverToBody_[k];
        const std::int32_t batch = batchOfGroup_[groupOfBody(body)];
        const std::int32_t place = batch < 0 ? freeFill++ : groupFill_[batch]++;
        bodyOfSolverPlace_[place] = body;
        solverIndexOf_[body] = place;
    }
    std::swap(solverToBody_, bodyOfSolverPlace_);
    groupBodies_.resize(solverToBody_.size());
    for (std::size_t k = 0; k < groupBodies_.size(); ++k)
        groupBodies_[k] = static_cast<std::int32_t>(k);
    freeBodies_.resize(static_cast<std::size_t>(freeCount));
    for (std::int32_t k = 0; k < freeCount; ++k)
        freeBodies_[k] = groupBodyStart_[batchCount_] + k;
}

// A batch costs about its contacts and joints times its substeps.
void SolveBatches::orderBatchesByCost()
{
    batchesByCost_.resize(static_cast<std::size_t>(batchCount_));
    for (std::int32_t b = 0; b < batchCount_; ++b)
        batchesByCost_[b] = b;
    const auto cost = [&](std::int32_t b) {
        std::int32_t work = batchConstraintStart_[b + 1] - batchConstraintStart_[b];
        if (!batchJoints_.empty())
            work += batchJointStart_[b + 1] - batchJointStart_[b];
        return static_cast<std::int64_t>(work) * batchScale_[b];
    };
    std::sort(batchesByCost_.begin(), batchesByCost_.end(), [&](std::int32_t x, std::int32_t y) {
        const std::int64_t costX = cost(x);
        const std::int64_t costY = cost(y);
        return costX != costY ? costX > costY : x < y;
    });
}

} // namespace Tolvane::Physics
