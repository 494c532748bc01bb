// One step of the universe: gravity, the collision pass that fills the collision
// map, the response pass, and the clearing of the force accumulators.
#include "physics/PhysicalUniverse.h"

#include "physics/collision/CollisionQuery.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace Tolvane::Physics {

namespace {

/// A set's bodies as one pass sees them, with the end-of-step velocity each is
/// predicted to have (zero for fixed bodies).
struct SetSnapshot {
    std::vector<std::shared_ptr<PhysicalObject>> bodies;
    std::vector<Math::Vector3> predictedVelocities;
};

/// Tests one pair and, when it collides, publishes it and files it under both bodies.
void testPair(const std::shared_ptr<PhysicalObject>& bodyA, const Math::Vector3& predictedVelocityA,
              const std::shared_ptr<PhysicalObject>& bodyB, const Math::Vector3& predictedVelocityB)
{
    // Most pairs of a scene are far apart; they are turned away before a
    // solver is made for them (the query would drop it unused).
    if (!Collision::boundingSpheresMayMeet(*bodyA, predictedVelocityA, *bodyB, predictedVelocityB,
                                           PhysicalUniverse::timeStep))
        return;
    auto solver = std::make_shared<PhysicalObjectCollisionSolver>(bodyA, bodyB);
    Collision::testBodies(*solver, predictedVelocityA, predictedVelocityB, PhysicalUniverse::timeStep,
                          PhysicalUniverse::stepCount);
    if (!solver->collided)
        return;
    PhysicalUniverse::collisionSignal(solver);
    PhysicalUniverse::addCollisionReport(bodyA, solver);
    PhysicalUniverse::addCollisionReport(bodyB, std::move(solver));
}

} // namespace

void PhysicalUniverse::step()
{
    ++stepCount;

    if (contactSettings.response == ResponseKind::designed) {
        // Nothing here runs a listener's code, so the sets are walked as they are.
        for (const auto& set : collisionSets)
            for (const auto& body : set->bodies)
                body->force += gravity * body->mass;
        collisionPass();
        responsePass();
        for (const auto& set : collisionSets)
            for (const auto& body : set->bodies)
                body->force = Math::Vector3();
        return;
    }
    // The contact world adds the weights as it gathers the bodies, and clears
    // the forces after the listeners heard of the step, on its threads. With
    // no listener nothing reads them in between: the step clears each body's
    // force where the body's step finishes, which saves a loop over every body.
    const bool listened = !collisionSignal.empty();
    contactWorld.step(collisionSets, timeStep, gravity, contactSettings, !listened);
    if (listened) {
        publishTouchingPairs();
        contactWorld.clearForces(collisionSets);
    }
}

void PhysicalUniverse::publishTouchingPairs()
{
    contactWorld.gatherTouchingPairs();
    // Copied first: a listener may change the sets, and with them the bodies
    // the contact world's list points to.
    std::vector<std::shared_ptr<PhysicalObjectCollisionSolver>> records;
    for (const TouchingPair& pair : contactWorld.touchingPairs()) {
        auto record = std::make_shared<PhysicalObjectCollisionSolver>(*pair.bodyA, *pair.bodyB);
        record->collided = true;
        record->impulse = pair.impulse;
        record->contact.time = 0.0f;
        record->contact.normal = pair.normal;
        record->contact.point = pair.point;
        record->contact.depth = pair.depth;
        records.push_back(std::move(record));
    }
    for (auto& record : records)
        collisionSignal(std::move(record));
}

void PhysicalUniverse::collisionPass()
{
    collisionMap.clear();

    // Every prediction is made before the first pair is tested, from the forces
    // as they stand after the gravity pass. Each set's snapshot is taken here,
    // once, and kept for its pair enumeration, so the bodies and their
    // predictions stay aligned even if a collision slot adds bodies to a set
    // while the pass runs. Sets that do not test their members against one
    // another need no prediction: nothing would read it.
    std::vector<SetSnapshot> snapshots;
    snapshots.reserve(collisionSets.size());
    for (const auto& set : collisionSets) {
        SetSnapshot snapshot;
        if (set->selfCollision) {
            snapshot.bodies = set->getBodies();
            snapshot.predictedVelocities.resize(snapshot.bodies.size());
            for (std::size_t i = 0; i < snapshot.bodies.size(); ++i) {
                const PhysicalObject& body = *snapshot.bodies[i];
                if (!body.fixed)
                    snapshot.predictedVelocities[i] = body.LinearState::integrate(timeStep).velocity;
            }
        }
        snapshots.push_back(std::move(snapshot));
    }

    // Pairs k < l of each self-colliding set, in that order: the earlier body is
    // the pair's body A. The broad phase hands over every pair whose bounding
    // spheres could meet, and no others are looked at.
    designedBroadPhases.resize(snapshots.size());
    for (std::size_t s = 0; s < snapshots.size(); ++s) {
        const SetSnapshot& snapshot = snapshots[s];
        findSphereSweepPairs(snapshot.bodies, snapshot.predictedVelocities, timeStep, designedBroadPhases[s],
                             designedBoxes, designedPairs);
        for (const auto& [k, l] : designedPairs)
            testPair(snapshot.bodies[k], snapshot.predictedVelocities[k], snapshot.bodies[l],
                     snapshot.predictedVelocities[l]);
    }
}

} // namespace Tolvane::Physics
