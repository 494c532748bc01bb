// The solver response's table of bodies: the bodies of the sets listed once,
// what code changed of each since the last step, and each body placed for the
// step (its pose, swept box and predicted velocity).
#pragma once

#include "geometry/WorldBox.h"
#include "math/Matrix3.h"
#include "physics/body/CollisionSet.h"
#include "physics/body/PhysicalObject.h"
#include "physics/solver/ContactSettings.h"
#include "physics/solver/WorkerPool.h"
#include "physics/solver/WritePrefetch.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace Tolvane::Physics {

namespace Collision {
struct BodyHulls;
}

/// A body as this step sees it.
struct StepBody {
    PhysicalObject* object = nullptr;
    const std::shared_ptr<PhysicalObject>* handle = nullptr;
    const Collision::BodyHulls* hulls = nullptr;
    /// The model the hulls are from.
    const PhysicalModel* model = nullptr;
    /// How many places the body has in the sets: its weight is added as often.
    std::int32_t places = 1;
    Math::Matrix3 rotation;
    Math::Vector3 centre;
    WorldBox box;
    float radius = 0.0f;
};

/// Keeps between steps: the list of bodies (made again only when the sets
/// change), the handles and models it was made from, each body's id as the
/// last step placed it, and whether it was placed while still. The rest is
/// written afresh by each step's gathering.
class BodyTable {
  public:
    /// Gathers the step's bodies: each body's weight added to its force, what
    /// code changed of it examined (a moved body wakes, and wakes the island it
    /// slept in), and each body placed. True when all of them sleep, none was
    /// disturbed and the sets hold the same bodies as last step (stepped: a
    /// step ran since the last clear): a quiet step with nothing to do.
    bool gather(const std::vector<std::shared_ptr<CollisionSet>>& sets, float dt,
                const Math::Vector3& gravity, const ContactSettings& settings, bool stepped,
                WorkerPool& pool);

    /// Whether the sets hold the same handles to the same bodies, in the same
    /// order, as when the bodies were last listed.
    bool sameSets(const std::vector<std::shared_ptr<CollisionSet>>& sets) const;

    /// Forgets the list and every body's last id.
    void clear();

    /// Puts back the force of every body this step's gathering weighed, as
    /// it was before its weight was added: for a step that failed. The
    /// bodies it did not reach were not changed.
    void restoreForces();

    std::size_t size() const { return bodies_.size(); }
    /// Where the list holds body, or -1 when it is in none of the sets.
    std::int32_t indexOf(const PhysicalObject& body) const
    {
        return body.solverMemory.gatherStamp == gatherStamp_ && gatherStamp_ != 0
                   ? body.solverMemory.listIndex
                   : -1;
    }
    const StepBody& operator[](std::size_t i) const { return bodies_[i]; }

    /// Whether body i moves at all, sleeps (only movable bodies do), or moves and is awake.
    bool movable(std::int32_t i) const { return (motion_[i] & movableBit) != 0; }
    bool asleep(std::int32_t i) const { return (motion_[i] & asleepBit) != 0; }
    bool awake(std::int32_t i) const { return motion_[i] == movableBit; }
    /// Whether body i is kinematic and moves in this step (a kinematic body
    /// standing still is taken for a fixed one), and whether it moves at all
    /// in this step: awake, or a moving kinematic body.
    bool kinematic(std::int32_t i) const { return motion_[i] == kinematicBit; }
    bool moving(std::int32_t i) const { return motion_[i] == movableBit || motion_[i] == kinematicBit; }
    /// The moving kinematic bodies of this step, in order.
    const std::vector<std::int32_t>& kinematicBodies() const { return kinematicBodies_; }

    /// Body i's collision layer as a bit, and the layers it collides with.
    struct CollisionFilter {
        std::uint32_t layerBit = 1;
        std::uint32_t mask = ~0u;
    };
    /// Whether bodies i and j may collide by their layers and masks.
    bool collides(std::int32_t i, std::int32_t j) const
    {
        return (filters_[i].layerBit & filters_[j].mask) != 0 &&
               (filters_[j].layerBit & filters_[i].mask) != 0;
    }
    /// Whether any body of this step is outside layer 0 or masks out a layer:
    /// without one, no pair needs to be asked.
    bool filtering() const { return filtering_; }

    /// Body i's own friction and restitution, negative for none.
    struct Material {
        float friction = -1.0f;
        float restitution = -1.0f;
    };
    const Material& material(std::int32_t i) const { return materials_[i]; }
    /// Whether any body of this step has a friction or restitution of its own.
    bool ownMaterials() const { return ownMaterials_; }
    /// Body i's number of hulls (0: nothing to collide with).
    std::int32_t hullCount(std::int32_t i) const { return hullCounts_[i]; }
    /// The velocity the step moves body i with, before contacts.
    const Math::Vector3& velocity(std::int32_t i) const { return velocities_[i]; }
    /// Every body's world box for the step, swept and grown.
    const std::vector<WorldBox>& boxes() const { return boxes_; }
    /// Body i's id, from the compact list placing wrote.
    std::uint32_t id(std::int32_t i) const { return lastIds_[i]; }
    /// The key of the pair of bodies i and j: their ids, i's in the high half.
    std::uint64_t pairKey(std::int32_t i, std::int32_t j) const
    {
        return (static_cast<std::uint64_t>(lastIds_[i]) << 32) | lastIds_[j];
    }

    /// Wakes sleeping body i: an awake body of its island reached it.
    void wake(std::size_t i)
    {
        motion_[i] = movableBit;
        SolverMemory& memory = bodies_[i].object->solverMemory;
        memory.asleep = false;
        memory.stillTime = 0.0f;
    }

    /// Grows body i's box by low and high for this step only: the body is
    /// placed afresh next step.
    void growBox(std::size_t i, const Math::Vector3& low, const Math::Vector3& high)
    {
        boxes_[i].min += low;
        boxes_[i].max += high;
        placedStill_[i] = 0;
    }

    /// Body i's end of the step: stopped when its island falls asleep (sleeps),
    /// its state kept to see what code changes before the next step, its
    /// island (named by the id of the island's root body islandRoot), and its
    /// force cleared when clearForce.
    void remember(std::size_t i, bool sleeps, std::int32_t islandRoot, bool clearForce)
    {
        PhysicalObject& body = *bodies_[i].object;
        if (sleeps) {
            motion_[i] |= asleepBit;
            body.solverMemory.asleep = true;
            body.velocity = Math::Vector3();
            body.angularVelocity = Math::Vector3();
        }
        SolverMemory& memory = body.solverMemory;
        memory.stepped = true;
        memory.position = body.transform.position;
        memory.orientation = body.transform.orientation;
        memory.velocity = body.velocity;
        memory.angularVelocity = body.angularVelocity;
        memory.fixed = body.fixed;
        memory.kinematic = body.kinematic;
        memory.collisionLayer = body.collisionLayer;
        memory.collisionMask = body.collisionMask;
        memory.model = body.model.get();
        if (clearForce)
            body.force = Math::Vector3();
        body.solverMemory.island = movable(static_cast<std::int32_t>(i)) ? lastIds_[islandRoot] : 0;
    }

    /// Asks for the lines of body i that remember reads and writes.
    void prefetchRemembering(std::size_t i, bool clearForce) const
    {
        const PhysicalObject& body = *bodies_[i].object;
        if (clearForce)
            prefetchForWrite(&body.force);
        else
            prefetchForRead(&body.velocity);
        prefetchForRead(&body.transform.position);
        prefetchForRead(&body.transform.orientation);
        prefetchForWrite(&body.solverMemory);
        prefetchForWrite(&body.solverMemory.island);
    }

  private:
    /// How a gathering step goes: the list stood (listed), the same bodies
    /// as last step (sameBodies).
    struct Gathering {
        float dt = 0.0f;
        bool listed = false;
        bool sameBodies = false;
    };

    void listBodies(const std::vector<std::shared_ptr<CollisionSet>>& sets);
    /// Each body's layer and mask, and its friction and restitution, into
    /// the compact arrays, when any body of the step uses them.
    void copyFiltersAndMaterials(WorkerPool& pool);
    /// Every body weighed, examined and placed, on the pool's threads.
    void examineAll(const Math::Vector3& gravity, const ContactSettings& settings, const Gathering& gathering,
                    WorkerPool& pool);
    void examineBody(std::size_t k, const Math::Vector3& gravity, const ContactSettings& settings,
                     bool sameBodies);
    /// Wakes the sleeping bodies of the islands code moved a body of (every
    /// sleeping body when code moved a fixed one), and places them again.
    void wakeMovedIslands(bool fixedBodyMoved, const Gathering& gathering, WorkerPool& pool);
    void placeBody(std::size_t k, float dt);
    void placeIfStirred(std::size_t k, bool listed, float dt);
    /// Asks for the lines examineBody(k) will write, ahead of examining body k.
    void prefetchExamination(std::size_t k) const;
    /// Asks for the lines placeBody(k) will write, ahead of placing body k.
    void prefetchPlacement(std::size_t k) const;

    std::vector<StepBody> bodies_;
    /// What the passes over every body on one thread read and write of each
    /// body is kept apart from its entry, a few bytes a body, so that such a
    /// pass reads a few cache lines instead of taking every entry from the
    /// thread that last wrote it. Whether the body moves at all, and whether
    /// it sleeps (only movable bodies do):
    static constexpr std::uint8_t movableBit = 1;
    static constexpr std::uint8_t asleepBit = 2;
    /// A kinematic body that moves in this step.
    static constexpr std::uint8_t kinematicBit = 4;
    std::vector<std::uint8_t> motion_;
    /// Each body's layer and mask, and its own friction and restitution,
    /// copied once examining the bodies found one that uses them, so that the
    /// broad phase and the solve read a few bytes a body instead of the body
    /// itself (stale, or not even sized, while no body uses them: nothing
    /// reads them then).
    std::vector<CollisionFilter> filters_;
    std::vector<Material> materials_;
    bool filtering_ = false;
    bool ownMaterials_ = false;
    std::vector<std::int32_t> kinematicBodies_;
    /// Each body's number of hulls (0: nothing to collide with). Written only
    /// when the list or a model changes, so every thread keeps it cached.
    std::vector<std::int32_t> hullCounts_;
    /// The velocity the step moves each body with, before contacts (zero for
    /// fixed and sleeping bodies).
    std::vector<Math::Vector3> velocities_;
    std::vector<WorldBox> boxes_;
    /// What gathering found of each body: it is not as the last step left
    /// it (stirred), it is a fixed body that code moved (fixedMoved); and the
    /// island it slept in when code moved it (0: none).
    static constexpr std::uint8_t stirred = 1;
    static constexpr std::uint8_t fixedMoved = 2;
    /// Its model changed since it was listed: its hulls are looked up again.
    static constexpr std::uint8_t remodelled = 4;
    /// Code moved, pushed or changed it, or a force or torque of its own acts on it.
    static constexpr std::uint8_t changed = 8;
    /// It is outside layer 0 or masks out a layer; it has a friction or
    /// restitution of its own; it is a kinematic body moving in this step.
    static constexpr std::uint8_t filtered = 16;
    static constexpr std::uint8_t ownMaterial = 32;
    static constexpr std::uint8_t kinematicMoving = 64;
    std::vector<std::uint8_t> bodyFlags_;
    std::vector<std::uint32_t> bodyMovedIsland_;
    /// The islands of sleeping bodies that code moved since the last step.
    std::vector<std::uint32_t> movedIslands_;
    /// The ids of last step's bodies in order, to see that the sets did not change.
    std::vector<std::uint32_t> lastIds_;
    /// Whether a body was placed while fixed or asleep. Such a placement does
    /// not depend on the step, and holds while the body stays so and nothing
    /// changes it: a sleeping pile is not placed again every step.
    std::vector<char> placedStill_;
    /// Marks the bodies gathered this step, so that one in two sets counts once.
    std::uint64_t gatherStamp_ = 0;
    /// Each body's force before this step added its weight, and the gathering
    /// that added it (weighStamp_), so that a step that fails part way puts
    /// back the forces of exactly the bodies it weighed.
    struct Weighing {
        Math::Vector3 force;
        std::uint32_t stamp = 0;
    };
    std::vector<Weighing> weighings_;
    std::uint32_t weighStamp_ = 0;
    /// Every handle in the sets when the bodies were last listed, and the
    /// body it held: while they stay the same, the list stands.
    std::vector<std::pair<const std::shared_ptr<PhysicalObject>*, const PhysicalObject*>> listedHandles_;
    /// The listed bodies' models, held so that a model a body let go of
    /// cannot be freed and another made at its address while the list stands.
    std::vector<std::shared_ptr<PhysicalModel>> listedModels_;
};

} // namespace Tolvane::Physics
