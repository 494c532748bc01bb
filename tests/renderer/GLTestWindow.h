// A real OpenGL window for the renderer tests, with helpers to read pixels back.
#pragma once

#include "math/Vector3.h"
#include "renderer/Camera.h"
#include "renderer/Scene.h"
#include "renderer/SolidObject.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <SDL.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>

namespace Tolvane::Renderer::Testing {

/// One pixel of the back buffer, 8 bits per channel.
struct Pixel {
    int r = 0;
    int g = 0;
    int b = 0;

    int brightness() const { return r + g + b; }
    // Lit faces add the same grey to every channel, so the object's colour is
    // recognised as the channel that clearly leads, not by exact values.
    bool isRed() const { return leads(r, g, b); }
    bool isGreen() const { return leads(g, r, b); }
    bool isBlue() const { return leads(b, r, g); }

  private:
    static bool leads(int channel, int other1, int other2)
    {
        return channel > 40 && 2 * channel > 3 * other1 && 2 * channel > 3 * other2;
    }
};

/// Opens a fresh window and GL context for every test and closes it afterwards.
/// When no display can be opened the test fails: these tests are never skipped.
/// The camera sits where the program starts it, at distance 10 instead of 25
/// so that unit-sized objects cover enough pixels; the light is the program's.
class GLTestWindow : public ::testing::Test {
  protected:
    static constexpr int width = 160;
    static constexpr int height = 120;
    /// Grey, so that an object drawn black would still be told apart from nothing drawn.
    static constexpr std::array<float, 3> clearColor{{0.25f, 0.25f, 0.25f}};

    void SetUp() override
    {
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << "SDL_Init failed: " << SDL_GetError();
        SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
        SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 16);
        ASSERT_NE(SDL_SetVideoMode(width, height, 32, SDL_OPENGL), nullptr)
            << "no OpenGL window (is a display open?): " << SDL_GetError();

        clearVisibleObjects();
        setLighting({1.0f, 1.0f, 1.0f}, {{0.3f, 0.3f, 0.3f, 1.0f}}, {{1.0f, 1.0f, 1.0f, 1.0f}},
                    {{1.0f, 1.0f, 1.0f, 1.0f}});
        camera = std::make_shared<Camera>(cameraDistance);
        camera->viewportSize = {width, height};
        camera->orbit({0.0f, 0.0f, 0.0f}, 0.0f, 0.2f);
    }

    void TearDown() override
    {
        // A renderer keeps every object it drew and each object keeps its
        // renderer; cutting that circle frees both (and their display lists)
        // while the context still exists.
        for (const auto& object : visibleObjects())
            if (auto solid = std::dynamic_pointer_cast<SolidObject>(object))
                solid->setRenderer(nullptr);
        clearVisibleObjects();
        camera.reset();
        SDL_Quit();
    }

    /// Clears the buffers and runs the scene pass, as the program's frame does.
    void drawFrame()
    {
        glClearColor(clearColor[0], clearColor[1], clearColor[2], 1.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        renderScene(camera);
    }

    /// Clears the buffers and applies the camera without drawing anything.
    void beginFrame()
    {
        glClearColor(clearColor[0], clearColor[1], clearColor[2], 1.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        camera->apply();
    }

    static Pixel readPixel(int x, int y)
    {
        unsigned char rgb[3] = {0, 0, 0};
        glReadBuffer(GL_BACK);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(x, y, 1, 1, GL_RGB, GL_UNSIGNED_BYTE, rgb);
        return {rgb[0], rgb[1], rgb[2]};
    }

    /// Window position of a world point under the current projection and model-view matrices.
    static std::array<int, 2> windowPosition(const Math::Vector3& world)
    {
        GLdouble modelView[16];
        GLdouble projection[16];
        GLint viewport[4];
        glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
        glGetDoublev(GL_PROJECTION_MATRIX, projection);
        glGetIntegerv(GL_VIEWPORT, viewport);
        GLdouble x = 0.0, y = 0.0, z = 0.0;
        gluProject(world.x, world.y, world.z, modelView, projection, viewport, &x, &y, &z);
        return {static_cast<int>(x), static_cast<int>(y)};
    }

    /// The pixel where a world point lands in the frame just drawn.
    static Pixel pixelAt(const Math::Vector3& world)
    {
        const std::array<int, 2> position = windowPosition(world);
        return readPixel(position[0], position[1]);
    }

    static bool isClearColor(const Pixel& p)
    {
        const int grey = static_cast<int>(clearColor[0] * 255.0f + 0.5f);
        return std::abs(p.r - grey) <= 1 && std::abs(p.g - grey) <= 1 && std::abs(p.b - grey) <= 1;
    }

    /// Number of pixels in the whole frame that differ from the clear colour.
    static int drawnPixelCount()
    {
        std::array<unsigned char, width * height * 3> rgb{};
        glReadBuffer(GL_BACK);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
        int count = 0;
        for (std::size_t i = 0; i < rgb.size(); i += 3)
            if (!isClearColor({rgb[i], rgb[i + 1], rgb[i + 2]}))
                ++count;
        return count;
    }

    float cameraDistance = 10.0f;
    std::shared_ptr<Camera> camera;
};

} // namespace Tolvane::Renderer::Testing
