// The simulated world: a static module that steps every registered collision set.
#pragma once

#include "math/Vector3.h"
#include "physics/body/CollisionSet.h"
#include "physics/body/PhysicalObject.h"
#include "physics/designed/CollisionReport.h"
#include "physics/designed/PhysicalObjectCollisionSolver.h"
#include "physics/joint/JointList.h"
#include "physics/query/QueryFilter.h"
#include "physics/query/QueryShapes.h"
#include "physics/query/WorldQuery.h"
#include "physics/solver/ContactSettings.h"
#include "physics/solver/ContactStepStatistics.h"

#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace Tolvane::Physics {

class ContactWorld;

class PhysicalUniverse {
  public:
    /// One body's share of one collision (the designed response's).
    using CollisionReport = Physics::CollisionReport;
    using ReportList = Physics::ReportList;
    /// The collisions of the current step per body, keyed by body identity; each
    /// list is sorted by contact time, equal times in filing order.
    using CollisionMap = Physics::CollisionMap;

    static std::vector<std::shared_ptr<CollisionSet>> collisionSets;
    static CollisionMap collisionMap;
    /// Emitted once per colliding pair, before the pair is filed.
    static boost::signals2::signal<void(std::shared_ptr<PhysicalObjectCollisionSolver>)> collisionSignal;
    /// Seconds simulated by one step.
    static float timeStep;
    static Math::Vector3 gravity;
    /// Which response runs, and the contact solver's settings.
    static ContactSettings contactSettings;
    /// The solver response's contacts, islands and sleeping bodies between
    /// steps (physics/solver/ContactWorld.h, the engine's own).
    static ContactWorld& contactWorld;
    /// The joints between bodies (or a body and the world) that the solver
    /// response steps with the contacts (physics/joint/JointList.h): added
    /// and removed between steps; a body taken out of the sets takes its
    /// joints with it at the next step. The designed response ignores them.
    static JointList& joints;
    /// Incremented at the start of every step; the stamp of the shape caches.
    static std::int32_t stepCount;

    static void addCollisionSet(std::shared_ptr<CollisionSet> set);

    /// Advances every body of every registered set by timeStep, with the
    /// response contactSettings names. A step that throws (memory running
    /// out, or a listener of the designed response's collision pass) leaves
    /// every body's pose, velocities and force as they were before it; the
    /// solver response then also forgets its contacts and wakes every body
    /// (ContactWorld::step). The solver response's listeners hear of a step
    /// that has finished: when one throws, the forces are cleared all the same.
    static void step();

    /// Files the solver under the body, after every report with a contact time not greater than its own.
    static void addCollisionReport(std::shared_ptr<PhysicalObject> body,
                                   std::shared_ptr<PhysicalObjectCollisionSolver> solver);

    /// The threads the solver response runs on (below 1: the machine's cores;
    /// more than four times the cores are that many). Every result is the
    /// same for every number of threads, so no more of them than the machine
    /// has cores really run. Starts no thread: the next step does.
    static void setThreads(int threads);
    /// The number of threads asked for, as clamped.
    static int threads();
    /// Starts the solver response's threads now instead of in the next step
    /// (about half a millisecond, most of it oneTBB setting itself up): for
    /// programs that time their steps.
    static void startThreads();
    /// What the solver response's last step did: its stages' times, awake and
    /// sleeping bodies, pairs and contact points.
    static const ContactStepStatistics& contactStatistics();

    /// The world's queries over every body of every registered set, as the
    /// bodies stand now: after any number of steps, and after code has moved,
    /// added or removed bodies or changed their models. They read the bodies
    /// and change none (see WorldQuery for what they meet and what they
    /// reject). Each call first brings the universe's query view up to date,
    /// which costs a look at every body's pose; call them between steps, from
    /// the thread that steps. The view holds the bodies it last saw (a body
    /// taken out of the sets lives on until the next query or reset()).
    ///
    /// The nearest body the ray meets within its reach, with the point (world
    /// coordinates), the surface normal facing the ray and the distance.
    static std::optional<RayHit> castRay(const Ray& ray, const QueryFilter& filter = {});
    /// Every body the ray meets within its reach, each once, nearest first.
    static std::vector<RayHit> castRayAll(const Ray& ray, const QueryFilter& filter = {});
    /// Every body the sphere meets, in the order of the sets.
    static std::vector<std::shared_ptr<PhysicalObject>> overlapSphere(const QuerySphere& sphere,
                                                                      const QueryFilter& filter = {});
    /// Every body the turned box meets, in the order of the sets.
    static std::vector<std::shared_ptr<PhysicalObject>> overlapBox(const QueryBox& box,
                                                                   const QueryFilter& filter = {});
    /// The query view brought up to date, for many queries in a row (from any
    /// number of threads) while no body moves and no step runs.
    static const WorldQuery& queryView();

    /// Puts the static state back to its start-up values (for tests and tools
    /// that build more than one scene in one process).
    static void reset();

  private:
    /// The designed response's step: weights, collision pass, response pass.
    static void stepDesigned();
    /// Tells the collision signal's listeners of every pair the solver response
    /// left in contact, in pair order.
    static void publishTouchingPairs();
};

} // namespace Tolvane::Physics
