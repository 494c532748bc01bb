// Islands through the pairs that touch, and waking them whole.
#include "physics/solver/Islands.h"

#include <limits>

namespace Tolvane::Physics {

void Islands::wake(BodyTable& bodies, const PairList& pairs, const std::vector<JointLink>& joints)
{
    islandParent_.resize(bodies.size());
    for (std::size_t i = 0; i < bodies.size(); ++i)
        islandParent_[i] = static_cast<std::int32_t>(i);
    // Fixed and kinematic bodies join no island: a floor would otherwise make
    // every pile on it one. A moving kinematic body wakes what it touches and
    // keeps it awake: a body carried by a platform must not fall asleep on it.
    held_.clear();
    for (const PairContact& pair : pairs) {
        if (!bodies.movable(pair.bodyA) || !bodies.movable(pair.bodyB) || !pair.linked) {
            if (pair.linked && bodies.kinematic(pair.bodyA) && bodies.movable(pair.bodyB))
                held_.push_back(pair.bodyB);
            else if (pair.linked && bodies.kinematic(pair.bodyB) && bodies.movable(pair.bodyA))
                held_.push_back(pair.bodyA);
            continue;
        }
        uniteRoots(islandParent_, pair.bodyA, pair.bodyB);
    }
    // Joined bodies share an island: they wake and sleep together. A body
    // joined to a moving kinematic body is held awake by it, as one it touches.
    for (const JointLink& joint : joints) {
        if (joint.bodyA < 0 || joint.bodyB < 0)
            continue;
        if (bodies.movable(joint.bodyA) && bodies.movable(joint.bodyB))
            uniteRoots(islandParent_, joint.bodyA, joint.bodyB);
        else if (bodies.kinematic(joint.bodyA) && bodies.movable(joint.bodyB))
            held_.push_back(joint.bodyB);
        else if (bodies.kinematic(joint.bodyB) && bodies.movable(joint.bodyA))
            held_.push_back(joint.bodyA);
    }
    islandRoot_.resize(bodies.size());
    islandFlag_.assign(bodies.size(), 0);
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        islandRoot_[i] = findRoot(islandParent_, static_cast<std::int32_t>(i));
        if (bodies.awake(static_cast<std::int32_t>(i)))
            islandFlag_[islandRoot_[i]] = 1;
    }
    for (const std::int32_t i : held_)
        islandFlag_[islandRoot_[i]] = 1;
    for (std::size_t i = 0; i < bodies.size(); ++i)
        if (bodies.asleep(static_cast<std::int32_t>(i)) && islandFlag_[islandRoot_[i]])
            bodies.wake(i);
}

void Islands::startStillTimes(std::size_t bodyCount, bool sleeping)
{
    sleeping_ = sleeping;
    if (sleeping_) {
        islandStillTime_.assign(bodyCount, std::numeric_limits<float>::infinity());
        for (const std::int32_t i : held_)
            islandStillTime_[islandRoot_[i]] = 0.0f;
    }
}

} // namespace Tolvane::Physics
