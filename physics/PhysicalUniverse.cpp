// The universe's static state, set registration, and the step that runs one of
// the two responses over every registered set.
#include "physics/PhysicalUniverse.h"

#include "math/Transform.h"
#include "physics/designed/DesignedResponse.h"
#include "physics/solver/ContactWorld.h"

#include <memory>
#include <vector>

namespace Tolvane::Physics {

namespace {
/// Seconds a step simulates: forty steps a simulated second.
constexpr float initialTimeStep = 0.025f;
/// Where the step counter starts. The shape caches are made with stamp 0, so
/// any start above it makes the first step refresh every cache; tests and
/// recorded hashes count from this one.
constexpr std::int32_t initialStepCount = 10;

ContactWorld theContactWorld;
/// The queries' view of the sets' bodies, kept up to date by each query.
WorldQuery theWorldQuery;
/// The designed response's broad phases, kept from step to step.
DesignedResponse designedResponse;
/// A body as the designed response's step found it, to put back when the step throws.
struct BodyBeforeStep {
    std::shared_ptr<PhysicalObject> body;
    Math::Transform transform;
    Math::Vector3 velocity;
    Math::Vector3 angularVelocity;
    Math::Vector3 force;
};
/// Every place in the sets, in their order, at the start of the designed response's step.
std::vector<BodyBeforeStep> bodiesBeforeStep;
} // namespace

std::vector<std::shared_ptr<CollisionSet>> PhysicalUniverse::collisionSets;
PhysicalUniverse::CollisionMap PhysicalUniverse::collisionMap;
boost::signals2::signal<void(std::shared_ptr<PhysicalObjectCollisionSolver>)>
    PhysicalUniverse::collisionSignal;
float PhysicalUniverse::timeStep = initialTimeStep;
Math::Vector3 PhysicalUniverse::gravity;
ContactSettings PhysicalUniverse::contactSettings;
ContactWorld& PhysicalUniverse::contactWorld = theContactWorld;
JointList& PhysicalUniverse::joints = theContactWorld.joints();
std::int32_t PhysicalUniverse::stepCount = initialStepCount;

void PhysicalUniverse::addCollisionSet(std::shared_ptr<CollisionSet> set)
{
    collisionSets.push_back(std::move(set));
}

void PhysicalUniverse::addCollisionReport(std::shared_ptr<PhysicalObject> body,
                                          std::shared_ptr<PhysicalObjectCollisionSolver> solver)
{
    fileCollisionReport(collisionMap, std::move(body), std::move(solver));
}

void PhysicalUniverse::setThreads(int threads)
{
    contactWorld.setThreads(threads);
}

int PhysicalUniverse::threads()
{
    return contactWorld.threads();
}

void PhysicalUniverse::startThreads()
{
    contactWorld.startThreads();
}

const ContactStepStatistics& PhysicalUniverse::contactStatistics()
{
    return contactWorld.statistics();
}

void PhysicalUniverse::step()
{
    ++stepCount;

    if (contactSettings.response == ResponseKind::designed) {
        stepDesigned();
        return;
    }
    // The contact world adds the weights as it gathers the bodies, and clears
    // the forces after the listeners heard of the step, on its threads. With
    // no listener nothing reads them in between: the step clears each body's
    // force where the body's step finishes, which saves a loop over every body.
    const bool listened = !collisionSignal.empty();
    contactWorld.step(collisionSets, timeStep, gravity, contactSettings, !listened);
    if (!listened)
        return;
    try {
        publishTouchingPairs();
    } catch (...) {
        contactWorld.clearForces(collisionSets);
        throw;
    }
    contactWorld.clearForces(collisionSets);
}

// The designed response's passes take memory as they go, and a listener of the
// collision pass may throw: every body is kept as the step found it, and put
// back when the step throws. Holding the bodies also keeps alive those a
// listener takes out of the sets.
void PhysicalUniverse::stepDesigned()
{
    std::size_t places = 0;
    for (const auto& set : collisionSets)
        places += set->bodies.size();
    bodiesBeforeStep.clear();
    bodiesBeforeStep.reserve(places);
    // Nothing here runs a listener's code, so the sets are walked as they are.
    for (const auto& set : collisionSets)
        for (const auto& body : set->bodies) {
            bodiesBeforeStep.push_back(
                {body, body->transform, body->velocity, body->angularVelocity, body->force});
            body->force += gravity * body->mass;
        }
    try {
        designedResponse.collisionPass(collisionSets, collisionMap, collisionSignal, timeStep, stepCount);
        DesignedResponse::responsePass(collisionSets, collisionMap, timeStep);
    } catch (...) {
        // Backwards, so that a body in two sets ends as the first place found it.
        for (auto before = bodiesBeforeStep.rbegin(); before != bodiesBeforeStep.rend(); ++before) {
            PhysicalObject& body = *before->body;
            body.transform = before->transform;
            body.velocity = before->velocity;
            body.angularVelocity = before->angularVelocity;
            body.force = before->force;
        }
        bodiesBeforeStep.clear();
        collisionMap.clear();
        throw;
    }
    bodiesBeforeStep.clear();
    for (const auto& set : collisionSets)
        for (const auto& body : set->bodies)
            body->force = Math::Vector3();
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

const WorldQuery& PhysicalUniverse::queryView()
{
    theWorldQuery.update(collisionSets);
    return theWorldQuery;
}

std::optional<RayHit> PhysicalUniverse::castRay(const Ray& ray, const QueryFilter& filter)
{
    return queryView().castRay(ray, filter);
}

std::vector<RayHit> PhysicalUniverse::castRayAll(const Ray& ray, const QueryFilter& filter)
{
    return queryView().castRayAll(ray, filter);
}

std::vector<std::shared_ptr<PhysicalObject>> PhysicalUniverse::overlapSphere(const QuerySphere& sphere,
                                                                             const QueryFilter& filter)
{
    return queryView().overlapSphere(sphere, filter);
}

std::vector<std::shared_ptr<PhysicalObject>> PhysicalUniverse::overlapBox(const QueryBox& box,
                                                                          const QueryFilter& filter)
{
    return queryView().overlapBox(box, filter);
}

void PhysicalUniverse::reset()
{
    collisionSets.clear();
    collisionMap.clear();
    collisionSignal.disconnect_all_slots();
    timeStep = initialTimeStep;
    gravity = Math::Vector3();
    contactSettings = ContactSettings();
    contactWorld.clear();
    contactWorld.joints().clear();
    designedResponse.clear();
    theWorldQuery.clear();
    stepCount = initialStepCount;
}

} // namespace Tolvane::Physics
