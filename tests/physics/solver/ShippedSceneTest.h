// A fixture for scenario tests on the shipped scene files: a fresh universe
// for each test and each scene, left empty after.
#pragma once

#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"
#include "scene/SceneFile.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace Tolvane::Testing {

class ShippedSceneTest : public ::testing::Test {
  protected:
    void SetUp() override { Physics::PhysicalUniverse::reset(); }
    void TearDown() override { Physics::PhysicalUniverse::reset(); }

    /// The shipped scene, with its own world settings, in a fresh universe.
    static std::unique_ptr<PhysicsTestScene> load(const std::string& name)
    {
        Physics::PhysicalUniverse::reset();
        return std::make_unique<PhysicsTestScene>(
            loadSceneFile(std::string(TOLVANE_SCENES_DIR) + "/" + name));
    }

    static void run(int steps)
    {
        for (int step = 0; step < steps; ++step)
            Physics::PhysicalUniverse::step();
    }
};

} // namespace Tolvane::Testing
