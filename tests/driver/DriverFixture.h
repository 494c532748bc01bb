// A driver on the program's real window, with a clock the test sets and a
// console the test reads.
#pragma once

#include "app/Application.h"
#include "driver/PhysicsTestDriver.h"
#include "physics/PhysicalUniverse.h"
#include "renderer/Scene.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <vector>

namespace Tolvane::Testing {

/// Red and blue pixels of the frame just drawn, each recognised by the channel
/// that clearly leads (lit faces add the same grey to every channel).
struct ColourCount {
    int red = 0;
    int blue = 0;
};

inline ColourCount countColours()
{
    constexpr int width = PhysicsTestDriver::windowWidth;
    constexpr int height = PhysicsTestDriver::windowHeight;
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width * height * 3));
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
    const auto leads = [](int channel, int other1, int other2) {
        return channel > 40 && 2 * channel > 3 * other1 && 2 * channel > 3 * other2;
    };
    ColourCount count;
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        const int r = rgb[i], g = rgb[i + 1], b = rgb[i + 2];
        count.red += leads(r, g, b) ? 1 : 0;
        count.blue += leads(b, r, g) ? 1 : 0;
    }
    return count;
}

/// Every test gets a fresh universe, draw list and driver, prepared as the
/// program prepares it, its clock started at startTicks. The window (and with
/// it the GL context) is the application's, opened once for the whole suite.
class DriverTest : public ::testing::Test {
  protected:
    static constexpr std::uint32_t startTicks = 100000;

    static void SetUpTestSuite()
    {
        Application::instance().setVideoMode(
            {PhysicsTestDriver::windowWidth, PhysicsTestDriver::windowHeight}, "Test App");
    }

    void SetUp() override { restart(); }

    /// Drops the driver and builds a fresh one on an empty universe and draw list.
    void restart()
    {
        driver.reset();
        Physics::PhysicalUniverse::reset();
        Renderer::clearVisibleObjects();
        now = startTicks;
        driver = std::make_unique<PhysicsTestDriver>(
            console, [this] { return now; }, TOLVANE_DATA_DIR);
        driver->prepareScene();
        driver->startClock();
    }

    void TearDown() override
    {
        driver.reset();
        Renderer::clearVisibleObjects();
        Physics::PhysicalUniverse::reset();
    }

    /// One frame at the given tick.
    void frameAt(std::uint32_t ticks)
    {
        now = ticks;
        driver->onFrame();
    }

    void press(SDLKey key, SDLMod modifiers = KMOD_NONE) { driver->onKeyDown(key, modifiers); }

    std::uint32_t now = startTicks;
    std::ostringstream console;
    std::unique_ptr<PhysicsTestDriver> driver;
};

} // namespace Tolvane::Testing
