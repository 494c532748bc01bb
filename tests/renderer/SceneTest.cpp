// The scene pass: which objects it hands to renderers, and its light.
#include "renderer/Scene.h"

#include "renderer/SimpleSolidObjectRenderer.h"

#include "GLTestWindow.h"
#include "TestModels.h"

#include <gtest/gtest.h>

#include <memory>

using Tolvane::Math::Vector3;
using namespace Tolvane::Renderer;
using namespace Tolvane::Renderer::Testing;

namespace {

using ScenePass = GLTestWindow;

TEST_F(ScenePass, ObjectsWithoutARendererAreSkipped)
{
    auto renderer = std::make_shared<SimpleSolidObjectRenderer>(std::make_shared<OpenGLContextStore>());
    const auto cube = makeCube(0.5f);
    auto hidden = std::make_shared<SolidObject>(cube);
    hidden->color = {{0.0f, 1.0f, 0.0f, 1.0f}};
    hidden->transform.position = {2.0f, 0.0f, 0.0f};
    auto shown = std::make_shared<SolidObject>(cube);
    shown->color = {{1.0f, 0.0f, 0.0f, 1.0f}};
    shown->transform.position = {-2.0f, 0.0f, 0.0f};
    shown->setRenderer(renderer);

    addVisibleObject(hidden);
    addVisibleObject(nullptr);
    addVisibleObject(shown);
    ASSERT_NO_THROW(drawFrame());

    EXPECT_TRUE(isClearColor(pixelAt(hidden->transform.position)));
    EXPECT_TRUE(pixelAt(shown->transform.position).isRed());
    EXPECT_EQ(renderer->lists().size(), 1u);
}

TEST_F(ScenePass, FaceTurnedToTheLightIsBrighterThanOneTurnedAway)
{
    auto renderer = std::make_shared<SimpleSolidObjectRenderer>(std::make_shared<OpenGLContextStore>());
    auto cube = std::make_shared<SolidObject>(makeCube(1.0f));
    cube->color = {{1.0f, 0.0f, 0.0f, 1.0f}};
    cube->setRenderer(renderer);
    addVisibleObject(cube);

    // Turn the camera so that it sees the +x face (towards the light at (1, 1, 1))
    // and the -z face (away from it) side by side.
    camera->orbit({0.0f, 0.0f, 0.0f}, -0.785398f, 0.0f);
    drawFrame();
    const Pixel lit = pixelAt({1.0f, 0.0f, 0.0f});
    const Pixel unlit = pixelAt({0.0f, 0.0f, -1.0f});
    EXPECT_TRUE(unlit.isRed());
    EXPECT_GT(lit.brightness(), unlit.brightness() + 100);

    // The light is fixed in the world: from the opposite side the -x face,
    // now in view, is as dark as the -z face.
    camera->orbit({0.0f, 0.0f, 0.0f}, 1.570796f, 0.0f);
    drawFrame();
    const Pixel farSide = pixelAt({-1.0f, 0.0f, 0.0f});
    const Pixel front = pixelAt({0.0f, 0.0f, -1.0f});
    EXPECT_NEAR(farSide.brightness(), unlit.brightness(), 3);
    EXPECT_NEAR(front.brightness(), unlit.brightness(), 3);
}

TEST_F(ScenePass, ReissuesTheLightAndDepthTestEveryFrame)
{
    auto renderer = std::make_shared<SimpleSolidObjectRenderer>(std::make_shared<OpenGLContextStore>());
    // A far green square drawn after a near red one stays hidden behind it.
    auto nearSquare = std::make_shared<SolidObject>(makeSquare(1.0f));
    nearSquare->color = {{1.0f, 0.0f, 0.0f, 1.0f}};
    nearSquare->setRenderer(renderer);
    auto farSquare = std::make_shared<SolidObject>(makeSquare(2.0f));
    farSquare->color = {{0.0f, 1.0f, 0.0f, 1.0f}};
    farSquare->transform.position = {0.0f, 0.0f, 3.0f};
    farSquare->setRenderer(renderer);
    addVisibleObject(nearSquare);
    addVisibleObject(farSquare);

    glDisable(GL_DEPTH_TEST);
    glDisable(GL_LIGHTING);
    drawFrame();

    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
    EXPECT_TRUE(glIsEnabled(GL_LIGHT0));
    EXPECT_TRUE(readPixel(width / 2, height / 2).isRed());
    EXPECT_TRUE(pixelAt({0.0f, 1.5f, 3.0f}).isGreen());
}

TEST_F(ScenePass, ProgramSceneShowsTheRedBlockAboveTheBlueFloor)
{
    // The shipped models, placed, coloured and viewed as the program starts.
    auto renderer = std::make_shared<SimpleSolidObjectRenderer>(std::make_shared<OpenGLContextStore>());
    auto floor = std::make_shared<SolidObject>(loadVisibleModel(TOLVANE_DATA_DIR "/Floor.ac"));
    floor->color = {{0.0f, 0.0f, 1.0f, 1.0f}};
    floor->transform.position = {0.0f, -7.0f, 0.0f};
    floor->setRenderer(renderer);
    auto block = std::make_shared<SolidObject>(loadVisibleModel(TOLVANE_DATA_DIR "/SimpleCube.ac"));
    block->color = {{1.0f, 0.0f, 0.0f, 1.0f}};
    block->setRenderer(renderer);
    addVisibleObject(floor);
    addVisibleObject(block);
    cameraDistance = 25.0f;
    camera->orbit({0.0f, 0.0f, 0.0f}, 0.0f, 0.0f);
    drawFrame();

    EXPECT_TRUE(readPixel(width / 2, height / 2).isRed());
    EXPECT_TRUE(pixelAt({0.0f, 1.0f, 0.0f}).isRed());
    EXPECT_TRUE(isClearColor(pixelAt({0.0f, 1.5f, 0.0f})));
    EXPECT_TRUE(pixelAt({0.0f, -7.0f, 0.0f}).isBlue());
    EXPECT_TRUE(pixelAt({-8.0f, -7.0f, 10.0f}).isBlue());
    EXPECT_TRUE(isClearColor(readPixel(width / 2, height - 1)));
}

} // namespace
