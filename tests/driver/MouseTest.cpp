// The mouse handlers: the wheel zoom with its nearest distance, and the left
// drag that orbits the camera about the origin.
#include "DriverFixture.h"

#include "math/Vector3.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using Tolvane::Math::Vector3;
using namespace Tolvane::Testing;
using ScreenPoint = Tolvane::PhysicsTestDriver::ScreenPoint;

namespace {

using Mouse = DriverTest;

/// The camera's heading: the angle of its viewing direction about the world's
/// vertical axis, 0 when looking along +z.
float heading(Tolvane::Renderer::Camera& camera)
{
    const Vector3 forward = camera.transform.axes().zAxis;
    return std::atan2(forward.x, forward.z);
}

float viewHeight(Tolvane::Renderer::Camera& camera)
{
    return camera.transform.axes().zAxis.y;
}

} // namespace

TEST_F(Mouse, WheelUpStopsAtFiveAndWheelDownAlwaysAddsFive)
{
    const ScreenPoint anywhere{10, 20};
    std::vector<float> distances;
    for (int i = 0; i < 6; ++i) {
        driver->onMouseWheel(anywhere, true);
        distances.push_back(driver->cameraDistance);
        // The camera sits at that distance from the origin it looks at.
        EXPECT_NEAR(driver->camera->transform.position.length(), driver->cameraDistance, 1e-4f);
    }
    EXPECT_EQ(distances, (std::vector<float>{20.0f, 15.0f, 10.0f, 5.0f, 5.0f, 5.0f}));

    for (float expected = 10.0f; expected <= 100.0f; expected += 5.0f) {
        driver->onMouseWheel(anywhere, false);
        EXPECT_EQ(driver->cameraDistance, expected);
    }
    EXPECT_NEAR(driver->camera->transform.position.length(), 100.0f, 1e-3f);
}

TEST_F(Mouse, MotionWithoutAPressedButtonDoesNothing)
{
    const Vector3 eye = driver->camera->transform.position;
    driver->onMouseMotion({100, 100});
    driver->onMouseMotion({300, 50});
    EXPECT_EQ(driver->camera->transform.position, eye);
    EXPECT_FALSE(driver->dragging);
    EXPECT_EQ(driver->lastMousePosition, (ScreenPoint{0, 0}));
}

TEST_F(Mouse, FiftyPixelDragToTheRightYawsByMinusOneRadian)
{
    Tolvane::Renderer::Camera& camera = *driver->camera;
    const float startHeading = heading(camera);
    const float startHeight = viewHeight(camera);

    driver->onLeftButtonDown({400, 300});
    // In two moves; each turns by its own share.
    driver->onMouseMotion({420, 300});
    driver->onMouseMotion({450, 300});
    EXPECT_NEAR(heading(camera) - startHeading, -1.0f, 1e-5f);
    EXPECT_NEAR(viewHeight(camera), startHeight, 1e-5f);
    EXPECT_NEAR(camera.transform.position.length(), 25.0f, 1e-4f);
    EXPECT_EQ(driver->lastMousePosition, (ScreenPoint{450, 300}));

    // Released, the pointer no longer turns the camera.
    driver->onLeftButtonUp({450, 300});
    const Vector3 eye = camera.transform.position;
    driver->onMouseMotion({600, 400});
    EXPECT_EQ(camera.transform.position, eye);
}

TEST_F(Mouse, VerticalDragPitchesAndStopsShortOfStraightDown)
{
    Tolvane::Renderer::Camera& camera = *driver->camera;
    const float startHeading = heading(camera);
    const float startHeight = viewHeight(camera);

    // Dragging up by 10 pixels pitches by 0.2 radians: the view tilts further down.
    driver->onLeftButtonDown({400, 300});
    driver->onMouseMotion({400, 290});
    EXPECT_NEAR(viewHeight(camera), -std::sin(0.4f), 1e-4f);
    EXPECT_LT(viewHeight(camera), startHeight);
    EXPECT_NEAR(heading(camera), startHeading, 1e-5f);

    // Far further up, the camera stops before it looks straight down.
    for (int y = 280; y >= 0; y -= 10)
        driver->onMouseMotion({400, y});
    EXPECT_GT(viewHeight(camera), -0.96f);
    EXPECT_LT(viewHeight(camera), -0.9f);
    EXPECT_NEAR(camera.transform.position.length(), 25.0f, 1e-4f);
}
