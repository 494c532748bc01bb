// The universe's static state, set registration and the filing of collision reports.
#include "physics/PhysicalUniverse.h"

namespace Tolvane::Physics {

namespace {
/// Seconds a step simulates: forty steps a simulated second.
constexpr float initialTimeStep = 0.025f;
/// Where the step counter starts. The shape caches are made with stamp 0, so
/// any start above it makes the first step refresh every cache; tests and
/// recorded hashes count from this one.
constexpr std::int32_t initialStepCount = 10;
} // namespace

std::vector<std::shared_ptr<CollisionSet>> PhysicalUniverse::collisionSets;
PhysicalUniverse::CollisionMap PhysicalUniverse::collisionMap;
boost::signals2::signal<void(std::shared_ptr<PhysicalObjectCollisionSolver>)>
    PhysicalUniverse::collisionSignal;
float PhysicalUniverse::timeStep = initialTimeStep;
Math::Vector3 PhysicalUniverse::gravity;
ContactSettings PhysicalUniverse::contactSettings;
ContactWorld PhysicalUniverse::contactWorld;
std::vector<BroadPhase> PhysicalUniverse::designedBroadPhases;
std::vector<WorldBox> PhysicalUniverse::designedBoxes;
std::vector<std::pair<std::int32_t, std::int32_t>> PhysicalUniverse::designedPairs;
std::int32_t PhysicalUniverse::stepCount = initialStepCount;

void PhysicalUniverse::addCollisionSet(std::shared_ptr<CollisionSet> set)
{
    collisionSets.push_back(std::move(set));
}

void PhysicalUniverse::addCollisionReport(std::shared_ptr<PhysicalObject> body,
                                          std::shared_ptr<PhysicalObjectCollisionSolver> solver)
{
    ReportList& reports = collisionMap[body];
    auto report = std::make_shared<CollisionReport>();
    const float time = solver->contact.time;
    report->solver = std::move(solver);
    auto later = reports.begin();
    while (later != reports.end() && !((*later)->solver->contact.time > time))
        ++later;
    reports.insert(later, std::move(report));
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
    designedBroadPhases.clear();
    stepCount = initialStepCount;
}

} // namespace Tolvane::Physics
