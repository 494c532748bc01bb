// Building, placing and measuring the test scene's floor and blocks.
#include "driver/PhysicsTestScene.h"

#include "physics/CollisionResponse.h"
#include "physics/PhysicalUniverse.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>

namespace Tolvane {

namespace {

std::string modelPath(const std::string& folder, const char* file)
{
    if (folder.empty())
        return file;
    return (std::filesystem::path(folder) / file).string();
}

/// The point of the block at position index in lattice order: y runs fastest,
/// then x, then z. Small multiples of 2.5 are exact in float.
Math::Vector3 latticePoint(int index, int size)
{
    const int layer = index % size;
    const int column = (index / size) % size;
    const int row = index / (size * size);
    return {static_cast<float>(column) * PhysicsTestScene::latticeSpacing,
            PhysicsTestScene::blockStartHeight + static_cast<float>(layer) * PhysicsTestScene::latticeSpacing,
            static_cast<float>(row) * PhysicsTestScene::latticeSpacing};
}

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

float latticeJitter(int randomValue)
{
    // The quotient is rounded to float first; the scaling runs in double.
    const float unit = static_cast<float>(randomValue / static_cast<double>(RAND_MAX));
    return static_cast<float>(unit * 0.2 - 0.1);
}

PhysicsTestScene::PhysicsTestScene(const std::string& modelFolder, int latticeSize)
    : latticeSize_(latticeSize)
{
    if (latticeSize < 1 || latticeSize > maxLatticeSize)
        throw std::runtime_error("Lattice size must be between 1 and 12");

    blockModel_ = Physics::loadPhysicalModel(modelPath(modelFolder, blockModelFile));
    floorModel_ = Physics::loadPhysicalModel(modelPath(modelFolder, floorModelFile));

    auto floorBody = std::make_shared<Physics::PhysicalObject>(floorModel_);
    floorBody->transform.position = floorPosition;
    floorBody->transform.orientation = Math::Quaternion();
    floorBody->transform.dirty = true;
    floorBody->fixed = true;
    floorBody->mass = floorMass;
    floorBody->updateInertia();
    bodies_.push_back(floorBody);

    const int count = latticeSize * latticeSize * latticeSize;
    for (int i = 0; i < count; ++i) {
        auto block = std::make_shared<Physics::PhysicalObject>(blockModel_);
        block->mass = blockMass;
        block->updateInertia();
        bodies_.push_back(block);
        latticePoints_.push_back(latticePoint(i, latticeSize));
    }

    resetBlocks();

    collisionSet_ = std::make_shared<Physics::CollisionSet>();
    collisionSet_->selfCollision = true;
    for (const auto& body : bodies_)
        collisionSet_->addBody(body);
    Physics::PhysicalUniverse::addCollisionSet(collisionSet_);
    Physics::PhysicalUniverse::gravity = sceneGravity;
}

void PhysicsTestScene::resetBlocks()
{
    for (std::size_t i = 0; i < latticePoints_.size(); ++i) {
        const float jitter = latticeJitter(std::rand());
        const Math::Vector3& point = latticePoints_[i];
        Physics::PhysicalObject& block = *bodies_[i + 1];
        block.transform.position = {point.x + jitter, point.y + jitter, point.z + jitter};
        block.transform.orientation = Math::Quaternion();
        block.transform.dirty = true;
        block.velocity = Math::Vector3();
        block.angularVelocity = Math::Vector3();
    }
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
    }
    for (std::size_t i = 1; i < bodies_.size(); ++i) {
        const Physics::PhysicalObject& block = *bodies_[i];
        const float y = block.transform.position.y;
        result.lowestBlockCentre = std::min(result.lowestBlockCentre, y);
        result.highestBlockCentre = std::max(result.highestBlockCentre, y);
        const float squaredSpeed = block.velocity.squaredLength();
        const float squaredSpin = block.angularVelocity.squaredLength();
        if (squaredSpeed < Physics::restSquaredSpeed && squaredSpin < Physics::restSquaredSpeed)
            ++result.blocksAtRest;
        result.largestSpeed = std::max(result.largestSpeed, std::sqrt(squaredSpeed));
        // The blocks' inertia is a sphere's, the same about every axis.
        const double inertia = block.inertia[0];
        result.kineticEnergy += 0.5 * block.mass * squaredSpeed + 0.5 * inertia * squaredSpin;
    }
    return result;
}

} // namespace Tolvane
