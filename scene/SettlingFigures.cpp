// Settling figures of a run, read off the scene after every step.
#include "scene/SettlingFigures.h"

#include "geometry/BodyHulls.h"
#include "math/Matrix3.h"
#include "physics/body/PhysicalModel.h"

#include <algorithm>
#include <cmath>

namespace Tolvane {

namespace {

using Math::Matrix3;
using Math::Vector3;

/// Where the floor is and how far its top and its footprint reach, in its own frame.
struct FloorFrame {
    Vector3 position;
    Matrix3 rotation;
    float top = 0.0f;
    float minX = 0.0f, maxX = 0.0f, minZ = 0.0f, maxZ = 0.0f;

    explicit FloorFrame(const Physics::PhysicalObject& floor)
        : position(floor.transform.position), rotation(Math::toMatrix3(floor.transform.orientation))
    {
        const Physics::OrientedBoundingBox& box = *floor.model->boundingBox();
        const Vector3& centre = box.transform.position;
        top = centre.y + box.halfExtents.y;
        minX = centre.x - box.halfExtents.x;
        maxX = centre.x + box.halfExtents.x;
        minZ = centre.z - box.halfExtents.z;
        maxZ = centre.z + box.halfExtents.z;
    }

    Vector3 local(const Vector3& world) const { return Math::transposeTimes(rotation, world - position); }
    bool overFootprint(const Vector3& p) const
    {
        return p.x >= minX && p.x <= maxX && p.z >= minZ && p.z <= maxZ;
    }
};

bool atRest(const Physics::PhysicalObject& body)
{
    return body.velocity.length() < atRestSpeed && body.angularVelocity.length() < atRestSpeed;
}

} // namespace

SettlingFigures::SettlingFigures(const PhysicsTestScene& scene) : scene_(scene) {}

float SettlingFigures::floorPenetration()
{
    const auto floor = scene_.floor();
    if (!floor || !floor->model)
        return 0.0f;
    const FloorFrame frame(*floor);
    float deepest = 0.0f;
    for (const auto& body : scene_.bodies()) {
        if (body->fixed || body->kinematic || !body->model)
            continue;
        const Vector3 centre = frame.local(body->transform.position);
        if (frame.overFootprint(centre))
            lowestCentreOverFloor_ = std::min(lowestCentreOverFloor_, body->transform.position.y);
        if (!frame.overFootprint(centre) || !(centre.y > frame.top))
            continue;
        const Matrix3 rotation = Math::toMatrix3(body->transform.orientation);
        for (const auto& hull : body->model->hulls().hulls)
            for (const Vector3& vertex : hull.vertices) {
                const Vector3 world = body->transform.position + rotation * vertex;
                deepest = std::max(deepest, frame.top - frame.local(world).y);
            }
    }
    return deepest;
}

void SettlingFigures::record(long step, float pairPenetration, float fixedPenetration)
{
    lastStep_ = step;
    for (const auto& body : scene_.bodies())
        if (!body->fixed && !body->kinematic && !atRest(*body))
            lastMovingStep_ = step;
    floorPenetrations_.push_back(floorPenetration());
    pairPenetrations_.push_back(pairPenetration);
    fixedPenetrations_.push_back(fixedPenetration);
}

SettlingSummary SettlingFigures::summary() const
{
    SettlingSummary result;
    result.lowestCentreOverFloor = lowestCentreOverFloor_;
    if (lastMovingStep_ < lastStep_)
        result.settledStep = lastMovingStep_ + 1;
    const std::size_t steps = floorPenetrations_.size();
    for (std::size_t i = 0; i < steps; ++i) {
        result.deepestFloorPenetration = std::max(result.deepestFloorPenetration, floorPenetrations_[i]);
        result.deepestPairPenetration = std::max(result.deepestPairPenetration, pairPenetrations_[i]);
        result.deepestFixedPenetration = std::max(result.deepestFixedPenetration, fixedPenetrations_[i]);
        // Entry i was recorded after step i + 1.
        if (result.settledStep && static_cast<long>(i) + 1 >= *result.settledStep) {
            result.floorPenetrationAfterSettling =
                std::max(result.floorPenetrationAfterSettling.value_or(0.0f), floorPenetrations_[i]);
            result.pairPenetrationAfterSettling =
                std::max(result.pairPenetrationAfterSettling.value_or(0.0f), pairPenetrations_[i]);
            result.fixedPenetrationAfterSettling =
                std::max(result.fixedPenetrationAfterSettling.value_or(0.0f), fixedPenetrations_[i]);
        }
    }

    const auto floor = scene_.floor();
    for (const auto& body : scene_.bodies()) {
        if (body->fixed || body->kinematic)
            continue;
        if (body->solverMemory.asleep)
            ++result.blocksAsleep;
        if (!floor || !floor->model)
            continue;
        const FloorFrame frame(*floor);
        const Vector3 centre = frame.local(body->transform.position);
        if (centre.y < frame.top)
            ++(frame.overFootprint(centre) ? result.blocksThroughFloor : result.blocksOffFloor);
    }
    return result;
}

} // namespace Tolvane
