// The designed response's collision pass and response pass, and the filing of
// collision reports.
#include "physics/designed/DesignedResponse.h"

#include "physics/designed/CollisionQuery.h"
#include "physics/designed/CollisionResponse.h"

#include <cstddef>

namespace Tolvane::Physics {

namespace {

/// A set's bodies as one pass sees them, with the end-of-step velocity each is
/// predicted to have (zero for fixed bodies).
struct SetSnapshot {
    std::vector<std::shared_ptr<PhysicalObject>> bodies;
    std::vector<Math::Vector3> predictedVelocities;
};

/// The collision pass's place to file into and publish on.
struct PassOutput {
    CollisionMap& map;
    CollisionSignal& signal;
};

/// Tests one pair and, when it collides, publishes it and files it under both bodies.
void testPair(const std::shared_ptr<PhysicalObject>& bodyA, const Math::Vector3& predictedVelocityA,
              const std::shared_ptr<PhysicalObject>& bodyB, const Math::Vector3& predictedVelocityB,
              float timeStep, std::int32_t stepCount, PassOutput& output)
{
    // Most pairs of a scene are far apart; they are turned away before a
    // solver is made for them (the query would drop it unused).
    if (!Collision::boundingSpheresMayMeet(*bodyA, predictedVelocityA, *bodyB, predictedVelocityB, timeStep))
        return;
    auto solver = std::make_shared<PhysicalObjectCollisionSolver>(bodyA, bodyB);
    Collision::testBodies(*solver, predictedVelocityA, predictedVelocityB, timeStep, stepCount);
    if (!solver->collided)
        return;
    output.signal(solver);
    fileCollisionReport(output.map, bodyA, solver);
    fileCollisionReport(output.map, bodyB, std::move(solver));
}

} // namespace

void fileCollisionReport(CollisionMap& map, std::shared_ptr<PhysicalObject> body,
                         std::shared_ptr<PhysicalObjectCollisionSolver> solver)
{
    ReportList& reports = map[body];
    auto report = std::make_shared<CollisionReport>();
    const float time = solver->contact.time;
    report->solver = std::move(solver);
    auto later = reports.begin();
    while (later != reports.end() && !((*later)->solver->contact.time > time))
        ++later;
    reports.insert(later, std::move(report));
}

void DesignedResponse::collisionPass(const std::vector<std::shared_ptr<CollisionSet>>& sets,
                                     CollisionMap& map, CollisionSignal& signal, float timeStep,
                                     std::int32_t stepCount)
{
    map.clear();

    // Every prediction is made before the first pair is tested, from the forces
    // as they stand after the gravity pass. Each set's snapshot is taken here,
    // once, and kept for its pair enumeration, so the bodies and their
    // predictions stay aligned even if a collision slot adds bodies to a set
    // while the pass runs. Sets that do not test their members against one
    // another need no prediction: nothing would read it.
    std::vector<SetSnapshot> snapshots;
    snapshots.reserve(sets.size());
    for (const auto& set : sets) {
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
    PassOutput output{map, signal};
    broadPhases_.resize(snapshots.size());
    for (std::size_t s = 0; s < snapshots.size(); ++s) {
        const SetSnapshot& snapshot = snapshots[s];
        findSphereSweepPairs(snapshot.bodies, snapshot.predictedVelocities, timeStep, broadPhases_[s], boxes_,
                             pairs_);
        for (const auto& [k, l] : pairs_)
            testPair(snapshot.bodies[k], snapshot.predictedVelocities[k], snapshot.bodies[l],
                     snapshot.predictedVelocities[l], timeStep, stepCount, output);
    }
}

void DesignedResponse::responsePass(const std::vector<std::shared_ptr<CollisionSet>>& sets, CollisionMap& map,
                                    float timeStep)
{
    for (const auto& set : sets) {
        for (const auto& body : set->getBodies()) {
            if (body->fixed)
                continue;
            auto entry = map.find(body);
            if (entry == map.end())
                body->integrate(timeStep);
            else
                respondToCollisions(*body, entry->second, timeStep);
        }
    }
}

} // namespace Tolvane::Physics
