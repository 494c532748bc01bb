// The narrow-phase query between two bodies: a swept bounding-sphere test, then a
// descent through both polyhedron trees pruned by swept box tests, down to the
// leaf contact test.
#include "physics/designed/CollisionQuery.h"

#include "physics/designed/CollisionConstants.h"
#include "physics/designed/LeafContact.h"
#include "physics/designed/SweptAxisTests.h"

namespace Tolvane::Physics::Collision {

using Math::Vector3;

// Both spheres sweep at their relative speed: if even the nearest approach over
// the whole step keeps them apart, nothing below can touch.
bool boundingSpheresMayMeet(const PhysicalObject& bodyA, const Vector3& velocityA,
                            const PhysicalObject& bodyB, const Vector3& velocityB, float dt)
{
    const float distance = (bodyA.transform.position - bodyB.transform.position).length();
    const float relativeSpeed = (velocityA - velocityB).length();
    return !(distance > bodyA.model->radius() + bodyB.model->radius() + relativeSpeed * dt);
}

void testBodies(PhysicalObjectCollisionSolver& solver, const Vector3& predictedVelocityA,
                const Vector3& predictedVelocityB, float dt, std::int32_t step)
{
    solver.collided = false;
    solver.impulse = -1.0f;
    solver.separating = false;
    solver.predictedVelocityA = predictedVelocityA;
    solver.predictedVelocityB = predictedVelocityB;

    PhysicalObject& bodyA = *solver.bodyA;
    PhysicalObject& bodyB = *solver.bodyB;
    if (!boundingSpheresMayMeet(bodyA, solver.predictedVelocityA, bodyB, solver.predictedVelocityB, dt))
        return;

    CollisionContact& contact = solver.contact;
    contact.time = dt + contactTimeSlack;

    Math::Transform transformA = bodyA.transform;
    Math::Transform transformB = bodyB.transform;
    const Vector3 angularVelocityA = bodyA.angularVelocity;
    const Vector3 angularVelocityB = bodyB.angularVelocity;
    const MovingNode a{transformA, solver.predictedVelocityA, angularVelocityA, bodyA.shape};
    const MovingNode b{transformB, solver.predictedVelocityB, angularVelocityB, bodyB.shape};
    if (testPolyhedra(a, b, dt, step, contact))
        solver.collided = true;
}

// Descends A's tree to its leaves first, then B's, testing each pair of nodes
// with their boxes swept over the step. Every level reports the plain average of
// the points and normals of its children that found contact; time and depth stay
// as the last successful leaf test left them.
bool testPolyhedra(const MovingNode& a, const MovingNode& b, float dt, std::int32_t step,
                   CollisionContact& contact)
{
    ConvexPolyhedron& nodeA = *a.node;
    ConvexPolyhedron& nodeB = *b.node;
    nodeA.refreshBox(a.transform, step);
    nodeB.refreshBox(b.transform, step);

    const Vector3 relativeVelocity = b.centreVelocity() - a.centreVelocity();
    if (!sweptBoxesOverlap(relativeVelocity, dt, nodeA.boxFrame(), nodeB.boxFrame()))
        return false;

    nodeA.refreshGeometry(a.transform, step);
    nodeB.refreshGeometry(b.transform, step);

    const bool descendA = !nodeA.kids().empty();
    if (!descendA && nodeB.kids().empty())
        return testLeafPolyhedra(a, b, dt, contact);

    int count = 0;
    Vector3 sumPoint;
    Vector3 sumNormal;
    const auto& kids = descendA ? nodeA.kids() : nodeB.kids();
    for (const std::shared_ptr<ConvexPolyhedron>& kid : kids) {
        const bool kidHit = descendA ? testPolyhedra(a.at(kid), b, dt, step, contact)
                                     : testPolyhedra(a, b.at(kid), dt, step, contact);
        if (kidHit) {
            sumPoint += contact.point;
            sumNormal += contact.normal;
            ++count;
        }
    }
    if (count == 0)
        return false;

    const float n = static_cast<float>(count);
    const Vector3 averageNormal = sumNormal / n;
    // Children pressing from opposite sides can cancel to no direction at all;
    // such a node gives no usable contact and reports none, instead of
    // failing the whole step on a geometric coincidence.
    if (averageNormal.isZero())
        return false;
    contact.point = sumPoint / n;
    contact.normal = Math::normalized(averageNormal);
    return true;
}

} // namespace Tolvane::Physics::Collision
