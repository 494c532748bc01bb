// Building, placing and measuring a scene's bodies.
#include "scene/PhysicsTestScene.h"

#include "physics/PhysicalUniverse.h"
#include "physics/designed/CollisionResponse.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>

namespace Tolvane {

namespace {

constexpr std::uint64_t fnvOffsetBasis = 14695981039346656037ull;
constexpr std::uint64_t fnvPrime = 1099511628211ull;

void hashFloat(std::uint64_t& hash, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int byte = 0; byte < 4; ++byte) {
        hash ^= (bits >> (8 * byte)) & 0xffu;
        hash *= fnvPrime;
    }
}

void hashVector(std::uint64_t& hash, const Math::Vector3& v)
{
    hashFloat(hash, v.x);
    hashFloat(hash, v.y);
    hashFloat(hash, v.z);
}

bool isFinite(const Math::Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

} // namespace

SceneDescription builtInScene(const std::string& modelFolder, int latticeSize)
{
    const auto modelPath = [&modelFolder](const char* file) {
        return modelFolder.empty() ? std::string(file) : (std::filesystem::path(modelFolder) / file).string();
    };
    SceneDescription scene;
    scene.source = "built-in scene";
    scene.gravity = PhysicsTestScene::sceneGravity;
    scene.models = {{"block", modelPath(PhysicsTestScene::blockModelFile), nullptr},
                    {"floor", modelPath(PhysicsTestScene::floorModelFile), nullptr}};

    BodyDescription floor;
    floor.name = "floor";
    floor.model = 1;
    floor.position = PhysicsTestScene::floorPosition;
    floor.mass = PhysicsTestScene::floorMass;
    floor.fixed = true;
    scene.bodies.push_back(floor);

    LatticeDescription blocks;
    blocks.name = "block";
    blocks.model = 0;
    blocks.counts = {{latticeSize, latticeSize, latticeSize}};
    blocks.origin = {0.0f, PhysicsTestScene::blockStartHeight, 0.0f};
    const float spacing = PhysicsTestScene::latticeSpacing;
    blocks.spacing = {spacing, spacing, spacing};
    blocks.jitter = LatticeJitter::unseeded;
    blocks.mass = PhysicsTestScene::blockMass;
    scene.lattices.push_back(blocks);
    return scene;
}

SceneDescription checkedBuiltInScene(const std::string& modelFolder, int latticeSize)
{
    if (latticeSize < 1 || latticeSize > PhysicsTestScene::maxLatticeSize)
        throw std::runtime_error("Lattice size must be between 1 and 12");
    return builtInScene(modelFolder, latticeSize);
}

PhysicsTestScene::PhysicsTestScene(const std::string& modelFolder, int latticeSize)
    : PhysicsTestScene(checkedBuiltInScene(modelFolder, latticeSize))
{
}

PhysicsTestScene::PhysicsTestScene(SceneDescription description) : description_(std::move(description))
{
    for (const ModelReference& reference : description_.models)
        models_.push_back(reference.loaded ? reference.loaded : Physics::loadPhysicalModel(reference.path));
    // Every list at its full size at once: grown one body at a time, each
    // would leave its smaller copies behind in the heap.
    const std::size_t bodyCount = description_.bodyCount();
    bodies_.reserve(bodyCount);
    latticePoints_.reserve(bodyCount);

    const auto addBody = [this](const BodyDescription& start) {
        auto body = std::make_shared<Physics::PhysicalObject>(models_.at(start.model));
        body->fixed = start.fixed;
        body->kinematic = start.traits.kinematic;
        body->friction = start.traits.friction;
        body->restitution = start.traits.restitution;
        body->collisionLayer = start.traits.layer;
        body->collisionMask = start.traits.mask;
        body->mass = start.mass;
        body->updateInertia();
        bodies_.push_back(body);
        if (!start.fixed && !start.traits.kinematic)
            ++blockCount_;
    };
    for (const BodyDescription& start : description_.bodies)
        addBody(start);
    for (const LatticeDescription& lattice : description_.lattices) {
        for (int i = 0; i < lattice.bodyCount(); ++i) {
            BodyDescription start;
            start.model = lattice.model;
            start.position = lattice.point(i);
            start.mass = lattice.mass;
            start.fixed = lattice.fixed;
            start.traits = lattice.traits;
            addBody(start);
            latticePoints_.push_back(start.position);
        }
    }

    resetBlocks();

    collisionSet_ = std::make_shared<Physics::CollisionSet>();
    collisionSet_->selfCollision = true;
    collisionSet_->bodies.reserve(bodies_.size());
    for (const auto& body : bodies_)
        collisionSet_->addBody(body);
    Physics::PhysicalUniverse::addCollisionSet(collisionSet_);
    Physics::PhysicalUniverse::gravity = description_.gravity;
    Physics::PhysicalUniverse::contactSettings = description_.contact;

    // The joints fix their points and axes in the bodies as they start.
    for (const JointDescription& joint : description_.joints) {
        Physics::JointDefinition definition = joint.definition;
        definition.bodyA = bodies_.at(joint.bodyA);
        definition.bodyB = joint.bodyB ? bodies_.at(*joint.bodyB) : nullptr;
        jointIds_.push_back(Physics::PhysicalUniverse::joints.add(definition));
    }
}

PhysicsTestScene::Placement PhysicsTestScene::placementOf(std::size_t i) const
{
    if (i < description_.bodies.size())
        return {description_.bodies[i].model, -1, static_cast<int>(i)};
    std::size_t index = i - description_.bodies.size();
    for (std::size_t l = 0; l < description_.lattices.size(); ++l) {
        const auto count = static_cast<std::size_t>(description_.lattices[l].bodyCount());
        if (index < count)
            return {description_.lattices[l].model, static_cast<int>(l), static_cast<int>(index)};
        index -= count;
    }
    throw std::out_of_range("No body " + std::to_string(i) + " in the scene");
}

std::string PhysicsTestScene::bodyName(std::size_t i) const
{
    const Placement placement = placementOf(i);
    if (placement.lattice >= 0)
        return description_.lattices[placement.lattice].bodyName(placement.index);
    return description_.bodies[placement.index].name;
}

void PhysicsTestScene::resetBlocks()
{
    // A lattice body starts still and unturned on its lattice point.
    const BodyDescription latticeStart;
    for (std::size_t i = 0; i < bodies_.size(); ++i) {
        const Placement placement = placementOf(i);
        const BodyDescription& start =
            placement.lattice >= 0 ? latticeStart : description_.bodies[placement.index];
        Math::Vector3 position = start.position;
        if (placement.lattice >= 0) {
            const LatticeDescription& lattice = description_.lattices[placement.lattice];
            position = lattice.point(placement.index);
            if (lattice.jitter == LatticeJitter::seeded && placement.index == 0)
                std::srand(lattice.seed);
            if (lattice.jitter != LatticeJitter::none) {
                // One draw moves the body alike on all three axes.
                const float jitter = latticeJitter(std::rand());
                position = {position.x + jitter, position.y + jitter, position.z + jitter};
            }
        }
        Physics::PhysicalObject& body = *bodies_[i];
        body.transform.position = position;
        body.transform.orientation = start.orientation;
        body.transform.dirty = true;
        body.velocity = start.velocity;
        body.angularVelocity = start.angularVelocity;
    }
    // The bodies start again where the joints were made: what the joints
    // carried belongs to the motion that went.
    for (const Physics::JointId id : jointIds_)
        if (Physics::Joint* joint = Physics::PhysicalUniverse::joints.find(id))
            joint->clearImpulses();
}

std::shared_ptr<Physics::PhysicalObject> PhysicsTestScene::floor() const
{
    for (const auto& body : bodies_)
        if (body->fixed)
            return body;
    return nullptr;
}

std::shared_ptr<Physics::PhysicalModel> PhysicsTestScene::model(const std::string& name) const
{
    for (std::size_t i = 0; i < description_.models.size(); ++i)
        if (description_.models[i].name == name)
            return models_[i];
    return nullptr;
}

std::uint64_t PhysicsTestScene::stateHash() const
{
    std::uint64_t hash = fnvOffsetBasis;
    for (const auto& body : bodies_) {
        hashVector(hash, body->transform.position);
        const Math::Quaternion& q = body->transform.orientation;
        hashFloat(hash, q.w);
        hashFloat(hash, q.x);
        hashFloat(hash, q.y);
        hashFloat(hash, q.z);
        hashVector(hash, body->velocity);
        hashVector(hash, body->angularVelocity);
    }
    return hash;
}

SceneMeasures PhysicsTestScene::measure() const
{
    SceneMeasures result;
    result.lowestBlockCentre = std::numeric_limits<float>::infinity();
    result.highestBlockCentre = -std::numeric_limits<float>::infinity();
    for (const auto& body : bodies_) {
        const Math::Quaternion& q = body->transform.orientation;
        if (!isFinite(body->transform.position) || !isFinite(body->velocity) ||
            !isFinite(body->angularVelocity) || !std::isfinite(q.w) || !std::isfinite(q.x) ||
            !std::isfinite(q.y) || !std::isfinite(q.z))
            result.allFinite = false;
        if (body->fixed || body->kinematic)
            continue;
        const Physics::PhysicalObject& block = *body;
        const float y = block.transform.position.y;
        result.lowestBlockCentre = std::min(result.lowestBlockCentre, y);
        result.highestBlockCentre = std::max(result.highestBlockCentre, y);
        const float squaredSpeed = block.velocity.squaredLength();
        const float squaredSpin = block.angularVelocity.squaredLength();
        if (squaredSpeed < Physics::restSquaredSpeed && squaredSpin < Physics::restSquaredSpeed)
            ++result.blocksAtRest;
        result.largestSpeed = std::max(result.largestSpeed, std::sqrt(squaredSpeed));
        // The designed inertia is a sphere's, the same about every axis.
        const double inertia = block.inertia[0];
        result.kineticEnergy += 0.5 * block.mass * squaredSpeed + 0.5 * inertia * squaredSpin;
    }
    return result;
}

} // namespace Tolvane
