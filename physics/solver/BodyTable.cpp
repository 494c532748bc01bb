// The table of the step's bodies: listing them from the sets, examining what
// code changed of each since the last step, and placing each for the step.
#include "physics/solver/BodyTable.h"

#include "geometry/BodyHulls.h"
#include "geometry/HullMeshContact.h"
#include "math/Quaternion.h"
#include "physics/body/PhysicalModel.h"
#include "physics/solver/SolverConstants.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

namespace Tolvane::Physics {

using Math::Matrix3;
using Math::Quaternion;
using Math::Vector3;

namespace {

/// A movable body collides with every part of its model as that part's convex
/// hull: the model says so, once, for the parts that are not convex.
void reportHullStandIns(const PhysicalObject& body)
{
    if (body.model && !body.fixed && !body.kinematic)
        body.model->reportHullStandIns(std::cerr);
}

/// |R| e: the half size along the world axes of a box of half size e turned by R.
Vector3 turnedHalfSize(const Matrix3& r, const Vector3& e)
{
    Vector3 result;
    for (int row = 0; row < 3; ++row) {
        const float value =
            std::fabs(r(row, 0)) * e.x + std::fabs(r(row, 1)) * e.y + std::fabs(r(row, 2)) * e.z;
        (row == 0 ? result.x : row == 1 ? result.y : result.z) = value;
    }
    return result;
}

/// The velocity a body will have after this step's forces, which is the one
/// the step moves it with.
Vector3 predictedVelocity(const PhysicalObject& body, float dt)
{
    return body.velocity + body.force * (dt / body.mass);
}

/// The manifolds a body's hulls can give against one hull of another body:
/// one per hull, and a concave part of a fixed body collides by its triangles
/// with up to maxMeshManifolds. Counted so for every body, fixed or not, so
/// that a body made fixed between steps never outgrows its room.
std::int32_t countHulls(const Collision::BodyHulls* hulls)
{
    if (!hulls)
        return 0;
    const auto meshes = static_cast<std::int32_t>(hulls->concaveMeshes.size());
    return static_cast<std::int32_t>(hulls->hulls.size()) + (Collision::maxMeshManifolds - 1) * meshes;
}

bool sameFilter(const SolverMemory& memory, const PhysicalObject& body)
{
    return memory.collisionLayer == body.collisionLayer && memory.collisionMask == body.collisionMask;
}

bool sameState(const SolverMemory& memory, const PhysicalObject& body)
{
    const Quaternion& q = body.transform.orientation;
    return memory.stepped && memory.position == body.transform.position && memory.orientation == q &&
           memory.velocity == body.velocity && memory.angularVelocity == body.angularVelocity &&
           memory.fixed == body.fixed && memory.kinematic == body.kinematic &&
           memory.model == body.model.get() && sameFilter(memory, body);
}

/// Whether code left a kinematic body where the last step put it, its model
/// and kind too: a kinematic body whose velocities alone were changed was not
/// moved by code.
bool samePlace(const SolverMemory& memory, const PhysicalObject& body)
{
    return memory.stepped && memory.position == body.transform.position &&
           memory.orientation == body.transform.orientation && memory.fixed == body.fixed &&
           memory.kinematic == body.kinematic && memory.model == body.model.get() && sameFilter(memory, body);
}

} // namespace

void BodyTable::clear()
{
    bodies_.clear();
    hullCounts_.clear();
    lastIds_.clear();
    listedHandles_.clear();
    listedModels_.clear();
}

void BodyTable::restoreForces()
{
    const std::size_t count = std::min(bodies_.size(), weighings_.size());
    for (std::size_t k = 0; k < count; ++k)
        if (weighings_[k].stamp == weighStamp_)
            bodies_[k].object->force = weighings_[k].force;
}

bool BodyTable::sameSets(const std::vector<std::shared_ptr<CollisionSet>>& sets) const
{
    std::size_t n = 0;
    for (const auto& set : sets)
        for (const auto& handle : set->bodies) {
            if (n == listedHandles_.size() || listedHandles_[n].first != &handle ||
                listedHandles_[n].second != handle.get())
                return false;
            ++n;
        }
    return n == listedHandles_.size();
}

// The bodies in the sets' order, each once: a body in several sets is
// stepped once. Models build their hulls on first use, so they are asked
// here, on one thread.
void BodyTable::listBodies(const std::vector<std::shared_ptr<CollisionSet>>& sets)
{
    bodies_.clear();
    hullCounts_.clear();
    listedHandles_.clear();
    listedModels_.clear();
    ++gatherStamp_;
    // Room for every handle at once: grown a body at a time, the lists would
    // leave their smaller copies behind in the heap, and hold up to twice
    // the room they need.
    std::size_t handles = 0;
    for (const auto& set : sets)
        handles += set->bodies.size();
    if (bodies_.capacity() < handles) {
        bodies_ = std::vector<StepBody>();
        bodies_.reserve(handles);
    }
    hullCounts_.reserve(handles);
    listedHandles_.reserve(handles);
    for (const auto& set : sets) {
        for (const auto& handle : set->bodies) {
            listedHandles_.emplace_back(&handle, handle.get());
            PhysicalObject& body = *handle;
            if (body.solverMemory.gatherStamp == gatherStamp_) {
                ++bodies_[body.solverMemory.listIndex].places;
                continue;
            }
            body.solverMemory.gatherStamp = gatherStamp_;
            body.solverMemory.listIndex = static_cast<std::int32_t>(bodies_.size());
            StepBody entry;
            entry.object = &body;
            entry.handle = &handle;
            entry.model = body.model.get();
            entry.hulls = body.model ? &body.model->hulls() : nullptr;
            reportHullStandIns(body);
            if (body.model && (listedModels_.empty() || listedModels_.back() != body.model))
                listedModels_.push_back(body.model);
            bodies_.push_back(entry);
            hullCounts_.push_back(countHulls(entry.hulls));
        }
    }
}

bool BodyTable::gather(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt,
                       const Vector3& gravity, const ContactSettings& settings, bool stepped,
                       WorkerPool& pool)
{
    // Stamp 0 is what a new weighing holds: never this step's.
    if (++weighStamp_ == 0)
        ++weighStamp_;
    // Listing the bodies reads every body on one thread; while the sets stay
    // the same the list stands: what an entry holds of the step is written
    // afresh when its body is placed.
    Gathering gathering;
    gathering.dt = dt;
    gathering.listed = stepped && sameSets(sets);
    if (!gathering.listed)
        listBodies(sets);
    const std::size_t count = bodies_.size();
    gathering.sameBodies = settings.sleeping && stepped && count == lastIds_.size();
    bodyFlags_.resize(count);
    bodyMovedIsland_.resize(count);
    motion_.resize(count);
    lastIds_.resize(count);
    boxes_.resize(count);
    velocities_.resize(count);
    placedStill_.resize(count);
    weighings_.resize(count);
    examineAll(gravity, settings, gathering, pool);

    // The same bodies in the same order as last step, none awake or disturbed:
    // the step has nothing to do.
    bool quiet = gathering.sameBodies;
    bool fixedBodyMoved = false;
    movedIslands_.clear();
    kinematicBodies_.clear();
    std::uint8_t allFlags = 0;
    for (std::size_t k = 0; k < count; ++k) {
        allFlags |= bodyFlags_[k];
        if ((bodyFlags_[k] & remodelled) && bodies_[k].object->model)
            listedModels_.push_back(bodies_[k].object->model);
        if (bodyFlags_[k] & kinematicMoving)
            kinematicBodies_.push_back(static_cast<std::int32_t>(k));
        quiet = quiet && (bodyFlags_[k] & stirred) == 0;
        fixedBodyMoved = fixedBodyMoved || (bodyFlags_[k] & fixedMoved) != 0;
        if (bodyMovedIsland_[k] != 0)
            movedIslands_.push_back(bodyMovedIsland_[k]);
    }
    filtering_ = (allFlags & filtered) != 0;
    ownMaterials_ = (allFlags & ownMaterial) != 0;
    // Models swapped every step would pile up here: listing again lets go of them.
    if (listedModels_.size() > 2 * count + 16)
        listedHandles_.clear();
    if (quiet)
        return true;
    copyFiltersAndMaterials(pool);
    if (fixedBodyMoved || !movedIslands_.empty())
        wakeMovedIslands(fixedBodyMoved, gathering, pool);
    return false;
}

// Only a step whose bodies use layers or materials copies them, so that the
// others pay for them no more than the flags examining the bodies sets.
void BodyTable::copyFiltersAndMaterials(WorkerPool& pool)
{
    if (!filtering_ && !ownMaterials_)
        return;
    // Sized only for the steps that use them: a pile of plain blocks holds none.
    if (filtering_)
        filters_.resize(bodies_.size());
    if (ownMaterials_)
        materials_.resize(bodies_.size());
    pool.forEachEven(bodies_.size(), bodiesPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            const PhysicalObject& body = *bodies_[k].object;
            if (filtering_)
                filters_[k] = {std::uint32_t{1} << (body.collisionLayer & 31u), body.collisionMask};
            if (ownMaterials_)
                materials_[k] = {body.friction ? *body.friction : -1.0f,
                                 body.restitution ? *body.restitution : -1.0f};
        }
    });
}

void BodyTable::examineAll(const Vector3& gravity, const ContactSettings& settings,
                           const Gathering& gathering, WorkerPool& pool)
{
    // Each body is examined and placed in one go, so that its lines are read
    // once. On several threads the lines each body writes were read by
    // another thread since: they are asked for ahead (see WritePrefetch.h).
    const bool shared = pool.threads() > 1;
    pool.forEachEven(bodies_.size(), bodiesPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            if (shared && k + writeAheadBodies < to) {
                prefetchExamination(k + writeAheadBodies);
                prefetchPlacement(k + writeAheadBodies);
            }
            StepBody& entry = bodies_[k];
            PhysicalObject& body = *entry.object;
            weighings_[k] = {body.force, weighStamp_};
            for (std::int32_t place = 0; place < entry.places; ++place)
                body.force += gravity * body.mass;
            examineBody(k, gravity, settings, gathering.sameBodies);
            if (bodyFlags_[k] & remodelled) {
                entry.model = body.model.get();
                entry.hulls = body.model ? &body.model->hulls() : nullptr;
                reportHullStandIns(body);
                hullCounts_[k] = countHulls(entry.hulls);
            }
            placeIfStirred(k, gathering.listed, gathering.dt);
        }
    });
}

// A body moved by code wakes the island it slept in, also the bodies it was
// taken away from. A fixed body moved by code may have moved into or away
// from sleeping bodies: everything wakes and looks again. The bodies woken
// are placed again, now moving; it happens only when code moved a body.
void BodyTable::wakeMovedIslands(bool fixedBodyMoved, const Gathering& gathering, WorkerPool& pool)
{
    std::sort(movedIslands_.begin(), movedIslands_.end());
    pool.forEachEven(bodies_.size(), bodiesPerTask, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            SolverMemory& memory = bodies_[k].object->solverMemory;
            if (!memory.asleep || !(fixedBodyMoved || std::binary_search(movedIslands_.begin(),
                                                                         movedIslands_.end(), memory.island)))
                continue;
            motion_[k] = movableBit;
            memory.asleep = false;
            memory.stillTime = 0.0f;
            placeIfStirred(k, gathering.listed, gathering.dt);
        }
    });
}

// Places body k unless it was placed still, still sleeps or is fixed, and
// nothing changed it since: its pose and box then stand.
void BodyTable::placeIfStirred(std::size_t k, bool listed, float dt)
{
    if (listed && placedStill_[k] && !moving(static_cast<std::int32_t>(k)) &&
        (bodyFlags_[k] & (changed | remodelled)) == 0)
        return;
    lastIds_[k] = bodies_[k].object->id;
    placeBody(k, dt);
}

// Whether code moved, pushed or changed one body since the last step, or a
// force of its own (beyond gravity) or a torque pushes it: such a body is
// awake. Marks what the step as a whole must know of it in bodyFlags_ and
// bodyMovedIsland_.
void BodyTable::examineBody(std::size_t k, const Vector3& gravity, const ContactSettings& settings,
                            bool sameBodies)
{
    StepBody& entry = bodies_[k];
    PhysicalObject& body = *entry.object;
    SolverMemory& memory = body.solverMemory;
    // A body both fixed and kinematic is fixed: it never moves.
    const bool kinematic = body.kinematic && !body.fixed;
    const bool movable = !body.fixed && !kinematic;
    // A kinematic body moves by its velocities alone; standing still it is
    // as good as fixed.
    const bool kinematicMoves =
        kinematic && (body.velocity != Vector3() || body.angularVelocity != Vector3());
    const bool disturbed =
        !sameState(memory, body) || (movable && (body.force != gravity * body.mass || !body.torque.isZero()));
    std::uint8_t flags = entry.model != body.model.get() ? remodelled : 0;
    if (body.collisionLayer != 0 || body.collisionMask != ~0u)
        flags |= filtered;
    if (body.friction || body.restitution)
        flags |= ownMaterial;
    if (kinematicMoves)
        flags |= kinematicMoving;
    bodyMovedIsland_[k] = 0;
    if (disturbed) {
        flags |= changed;
        // What a kinematic body meets as it moves wakes by its contacts; only
        // a jump made by code may leave bodies hanging where it was.
        if (!movable && memory.stepped && (!kinematic || !samePlace(memory, body)))
            flags |= fixedMoved;
        if (memory.asleep && memory.island != 0)
            bodyMovedIsland_[k] = memory.island;
        memory.asleep = false;
        memory.stillTime = 0.0f;
    }
    if (!settings.sleeping || !movable)
        memory.asleep = false;
    motion_[k] =
        kinematicMoves
            ? kinematicBit
            : static_cast<std::uint8_t>((movable ? movableBit : 0) | (memory.asleep ? asleepBit : 0));
    const bool still =
        sameBodies && lastIds_[k] == body.id && !disturbed && !kinematicMoves && (!movable || memory.asleep);
    if (!still)
        flags |= stirred;
    bodyFlags_[k] = flags;
}

// The lines examining body k writes: its force, which shares a line with the
// velocity an application reads between steps, and what the solver remembers.
void BodyTable::prefetchExamination(std::size_t k) const
{
    const PhysicalObject& body = *bodies_[k].object;
    prefetchForWrite(&body.force);
    prefetchForWrite(&body.solverMemory);
}

// The lines placing body k writes: the narrow phase, the solver and the grid
// read them on every thread since they were last written.
void BodyTable::prefetchPlacement(std::size_t k) const
{
    prefetchObjectForWrite(&bodies_[k], sizeof(StepBody));
    prefetchForWrite(&boxes_[k]);
    prefetchForWrite(&velocities_[k]);
}

// One body's pose for this step and its box over the hulls, swept along the
// step's motion and grown by the speculative distance.
void BodyTable::placeBody(std::size_t k, float dt)
{
    StepBody& entry = bodies_[k];
    const PhysicalObject& body = *entry.object;
    entry.rotation = Math::toMatrix3(body.transform.orientation);
    const Vector3 localCentre = entry.hulls ? entry.hulls->centreOfMass : Vector3();
    entry.centre = localCentre == Vector3() ? body.transform.position
                                            : body.transform.position + entry.rotation * localCentre;

    WorldBox box;
    if (entry.hulls && !entry.hulls->hulls.empty()) {
        const Vector3 localMiddle = (entry.hulls->boxMin + entry.hulls->boxMax) * 0.5f;
        const Vector3 half =
            turnedHalfSize(entry.rotation, (entry.hulls->boxMax - entry.hulls->boxMin) * 0.5f);
        const Vector3 middle = body.transform.position + entry.rotation * localMiddle;
        box = {middle - half, middle + half};
        entry.radius = entry.hulls->radius;
    } else {
        // Nothing to collide with: an empty box far from everything.
        const float nowhere = std::numeric_limits<float>::quiet_NaN();
        box = {{nowhere, nowhere, nowhere}, {nowhere, nowhere, nowhere}};
        entry.radius = 0.0f;
    }
    float grow = speculativeDistance;
    velocities_[k] = Vector3();
    const bool moves = moving(static_cast<std::int32_t>(k));
    if (moves) {
        // A kinematic body keeps its velocity: no force moves it.
        velocities_[k] =
            kinematic(static_cast<std::int32_t>(k)) ? body.velocity : predictedVelocity(body, dt);
        const Vector3 motion = velocities_[k] * dt;
        box.min += Vector3(std::min(motion.x, 0.0f), std::min(motion.y, 0.0f), std::min(motion.z, 0.0f));
        box.max += Vector3(std::max(motion.x, 0.0f), std::max(motion.y, 0.0f), std::max(motion.z, 0.0f));
        grow += body.angularVelocity.length() * entry.radius * dt;
    }
    const Vector3 margin(grow, grow, grow);
    box.min -= margin;
    box.max += margin;
    entry.box = box;
    boxes_[k] = box;
    placedStill_[k] = !moves;
}

} // namespace Tolvane::Physics
