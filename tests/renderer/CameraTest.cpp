// Camera orbit math (no GL) and what apply() loads into a real GL context.
#include "renderer/Camera.h"

#include "GLTestWindow.h"

#include <gtest/gtest.h>

#include <cmath>

using Tolvane::Math::Vector3;
using Tolvane::Renderer::Camera;

namespace {

constexpr float pi = 3.14159265358979f;
const Vector3 origin{0.0f, 0.0f, 0.0f};

void expectNear(const Vector3& actual, const Vector3& expected, float tolerance)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

TEST(CameraOrbit, ProgramStartPoseLooksDownAtTheOriginFromBehind)
{
    float distance = 25.0f;
    Camera camera(distance);
    camera.orbit(origin, 0.0f, 0.2f);

    const Vector3 eye = camera.transform.position;
    expectNear(eye, {0.0f, 25.0f * std::sin(0.2f), -25.0f * std::cos(0.2f)}, 1e-4f);
    EXPECT_NEAR(eye.y, 4.967f, 1e-3f);
    EXPECT_NEAR(eye.z, -24.50f, 1e-2f);

    const auto axes = camera.transform.axes();
    expectNear(axes.zAxis, (origin - eye) / eye.length(), 1e-6f);
    // Up is tilted towards the view direction but still mostly up; right stays horizontal.
    EXPECT_GT(axes.yAxis.y, 0.97f);
    EXPECT_GT(axes.yAxis.z, 0.19f);
    EXPECT_NEAR(axes.xAxis.y, 0.0f, 1e-7f);
}

TEST(CameraOrbit, RepeatedPitchesStopNearTheLimitsWithoutRolling)
{
    float distance = 25.0f;
    Camera camera(distance);
    for (int i = 0; i < 100; ++i) {
        camera.orbit(origin, 0.0f, 0.3f);
        ASSERT_GE(camera.transform.axes().zAxis.y, -0.9501f) << "after pitch " << i;
    }
    EXPECT_NEAR(camera.transform.axes().zAxis.y, -0.95f, 1e-3f);
    EXPECT_NEAR(camera.transform.position.length(), 25.0f, 1e-4f);

    for (int i = 0; i < 100; ++i) {
        camera.orbit(origin, 0.0f, -0.3f);
        ASSERT_LE(camera.transform.axes().zAxis.y, 0.9501f) << "after pitch " << i;
    }
    EXPECT_NEAR(camera.transform.axes().zAxis.y, 0.95f, 1e-3f);

    // Dragging the mouse (0.02 radians a pixel) against the limits again and
    // again: the clamped pitches shrink to almost nothing, and must still turn
    // about the camera's x axis, which stays horizontal.
    for (int sweep = 0; sweep < 20; ++sweep)
        for (int i = 0; i < 200; ++i)
            camera.orbit(origin, 0.0f, sweep % 2 == 0 ? 0.02f : -0.02f);
    const auto axes = camera.transform.axes();
    EXPECT_NEAR(axes.zAxis.y, 0.95f, 1e-3f);
    EXPECT_NEAR(axes.xAxis.y, 0.0f, 1e-6f);
}

TEST(CameraOrbit, FullYawTurnReturnsToTheStart)
{
    float distance = 25.0f;
    Camera camera(distance);
    camera.orbit(origin, 0.0f, 0.2f);
    const Vector3 start = camera.transform.position;
    const Vector3 startForward = camera.transform.axes().zAxis;

    camera.orbit(origin, 2.0f * pi, 0.0f);
    expectNear(camera.transform.position, start, 1e-4f);
    expectNear(camera.transform.axes().zAxis, startForward, 1e-6f);

    // A quarter turn is a real turn: it moves the eye to the side.
    camera.orbit(origin, 0.5f * pi, 0.0f);
    EXPECT_NEAR(std::fabs(camera.transform.position.x), 24.50f, 1e-2f);
    EXPECT_NEAR(camera.transform.position.z, 0.0f, 1e-4f);
}

TEST(CameraOrbit, ReadsTheProgramDistanceAtEveryOrbit)
{
    float distance = 25.0f;
    Camera camera(distance);
    const Vector3 target{1.0f, 2.0f, 3.0f};
    camera.orbit(target, 0.3f, 0.2f);
    const Vector3 forward = camera.transform.axes().zAxis;

    distance = 10.0f;
    camera.orbit(target, 0.0f, 0.0f);
    const auto axes = camera.transform.axes();
    expectNear(axes.zAxis, forward, 1e-6f);
    EXPECT_EQ(camera.transform.position, target - axes.zAxis * 10.0f);
    EXPECT_NEAR((camera.transform.position - target).length(), 10.0f, 1e-5f);
}

using CameraApply = Tolvane::Renderer::Testing::GLTestWindow;

TEST_F(CameraApply, OtherProjectionModeSetsOnlyTheViewport)
{
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-2.0, 3.0, -4.0, 5.0, -6.0, 7.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(1.0f, 2.0f, 3.0f);
    glRotatef(30.0f, 0.0f, 1.0f, 0.0f);
    GLfloat projectionBefore[16], modelViewBefore[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projectionBefore);
    glGetFloatv(GL_MODELVIEW_MATRIX, modelViewBefore);

    camera->projectionMode = 0;
    camera->viewportOrigin = {10, 20};
    camera->viewportSize = {50, 40};
    camera->apply();

    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[0], 10);
    EXPECT_EQ(viewport[1], 20);
    EXPECT_EQ(viewport[2], 50);
    EXPECT_EQ(viewport[3], 40);
    GLfloat projectionAfter[16], modelViewAfter[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projectionAfter);
    glGetFloatv(GL_MODELVIEW_MATRIX, modelViewAfter);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(projectionAfter[i], projectionBefore[i]) << "projection element " << i;
        EXPECT_EQ(modelViewAfter[i], modelViewBefore[i]) << "model-view element " << i;
    }
}

TEST_F(CameraApply, PerspectiveLooksAtTheTargetWithTheViewportAspect)
{
    camera->viewportOrigin = {8, 6};
    camera->viewportSize = {144, 100};
    camera->apply();

    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);

    // The orbit target lands in the middle of the viewport.
    const auto centre = windowPosition(origin);
    EXPECT_NEAR(centre[0], 8 + 72, 1);
    EXPECT_NEAR(centre[1], 6 + 50, 1);

    // x and y focal scales differ by the aspect 1.44, which integer division would make 1.
    GLfloat projection[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projection);
    EXPECT_NEAR(projection[5] / projection[0], 1.44f, 1e-5f);
    // 45 degrees vertically: the y scale is cot(22.5 degrees).
    EXPECT_NEAR(projection[5], 1.0f / std::tan(22.5f * pi / 180.0f), 1e-5f);

    // A point above the target along the camera's up axis shows above the centre.
    const auto above = windowPosition(camera->transform.axes().yAxis);
    EXPECT_NEAR(above[0], centre[0], 1);
    EXPECT_GT(above[1], centre[1] + 5);
}

} // namespace
