// The physics_test program as a user watches it: the real window under the X
// display, keys and mouse sent with xdotool, and screenshots read by colour.
#include "ProgramHarness.h"
#include "Screenshot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using namespace ProgramHarness;

namespace {

// The blocks fall, bounce and come to rest within a few simulated seconds; the
// simulation runs up to ten times faster than the wall clock, slower when the
// machine cannot keep up (a sanitized build, a busy machine).
constexpr auto settleTimeout = 120s;
// Between two pictures of a scene at rest only noise changes, far below this share.
constexpr double stillShare = 0.002;
// A turn, a zoom or a fall changes far more than this share of the window.
constexpr double movedShare = 0.01;
constexpr auto pictureInterval = 1s;
constexpr auto changeTimeout = 20s;

std::string describeForHumans(const SceneInPicture& s)
{
    return "red " + std::to_string(s.redPixels) + " px centred at (" + std::to_string(s.redCentreX) + ", " +
           std::to_string(s.redCentreY) + "), blue " + std::to_string(s.bluePixels) + " px, standing share " +
           std::to_string(s.shareStandingOnBlue) + ", red right/bottom " + std::to_string(s.redRight) + "/" +
           std::to_string(s.redBottom) + ", floor edge rows " + std::to_string(s.floorEdgeLeft) + "/" +
           std::to_string(s.floorEdgeRight) + ", floor edge top " + std::to_string(s.floorEdgeTop);
}

/// Starts the program, finds its window and takes pictures of it. Every
/// picture is kept in the test's temporary folder under its name.
class ProgramView : public ::testing::Test {
  protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        program.reset(new ChildProcess(startPlacedProgram(TOLVANE_DATA_DIR, arguments())));
        window = waitForWindow(*program);
        ASSERT_FALSE(window.empty()) << "no \"Test App\" window appeared\n" << report(*program);
        const std::optional<ScreenArea> found = windowArea(window);
        ASSERT_TRUE(found) << "no geometry for window " << window;
        area = *found;
    }

    /// The program's command line after its name.
    virtual std::vector<std::string> arguments() const { return {}; }

    std::optional<Picture> picture(const std::string& name)
    {
        return takeScreenshot(::testing::TempDir() + "physics_test_" + name + ".ppm", area);
    }

    /// The first of pictures taken every 100 ms that accept takes, or none
    /// within changeTimeout.
    template <class Accept> std::optional<Picture> firstPictureWhere(const std::string& name, Accept accept)
    {
        return ProgramHarness::firstAccepted(
            changeTimeout, [&] { return picture(name); }, accept);
    }

    /// The first picture with blocks on it: the window is mapped before its first frame is drawn.
    std::optional<Picture> firstFrame(const std::string& name)
    {
        return firstPictureWhere(name, [](const Picture& shot) { return describe(shot).redPixels > 0; });
    }

    /// The first picture that differs from before by at least movedShare.
    std::optional<Picture> pictureAfterChange(const Picture& before, const std::string& name)
    {
        return firstPictureWhere(
            name, [&before](const Picture& shot) { return changedShare(before, shot) >= movedShare; });
    }

    /// Pictures a second apart until two of them agree: the scene has come to rest.
    std::optional<Picture> pictureAtRest(const std::string& name)
    {
        std::optional<Picture> previous = picture(name);
        const auto deadline = std::chrono::steady_clock::now() + settleTimeout;
        while (previous && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(pictureInterval);
            std::optional<Picture> current = picture(name);
            if (current && changedShare(*previous, *current) < stillShare)
                return current;
            previous = std::move(current);
        }
        return std::nullopt;
    }

    bool key(const std::string& name) { return xdotool({"key", "--window", window, name}); }

    /// "q", then the program must end normally.
    void quit()
    {
        // A key press alone: the program is gone before a release could reach it.
        ASSERT_TRUE(xdotool({"keydown", "--window", window, "q"}));
        EXPECT_EQ(program->waitFor(exitTimeout), std::optional<int>(0)) << report(*program);
    }

    std::unique_ptr<ChildProcess> program;
    std::string window;
    ScreenArea area;
};

} // namespace

// After "m" the blocks fall, bounce and come to rest on the floor and on one
// another within a few simulated seconds: four wall seconds later two pictures a
// second apart are the same. "r" puts them back up and they settle again.
TEST_F(ProgramView, BlocksFallAndComeToRestOnTheFloor)
{
    // At start the lattice hangs above the floor, clear of it.
    const std::optional<Picture> startPicture = firstFrame("start");
    ASSERT_TRUE(startPicture) << "no blocks drawn\n" << report(*program);
    const SceneInPicture start = describe(*startPicture);
    SCOPED_TRACE("start: " + describeForHumans(start));
    EXPECT_GT(start.redPixels, 20000);
    EXPECT_GT(start.bluePixels, 100000);
    EXPECT_LT(start.shareStandingOnBlue, 0.1);

    const auto fallAndRest = [&](const std::string& name) {
        ASSERT_TRUE(key("m"));
        std::this_thread::sleep_for(4s);
        const std::optional<Picture> first = picture(name + "_first");
        std::this_thread::sleep_for(pictureInterval);
        const std::optional<Picture> second = picture(name + "_second");
        ASSERT_TRUE(first && second);
        const SceneInPicture fallen = describe(*second);
        SCOPED_TRACE(name + ": " + describeForHumans(fallen));
        EXPECT_LT(changedShare(*first, *second), stillShare) << "the blocks still move\n" << report(*program);
        // Still in sight, lower down, and standing on the floor.
        EXPECT_GT(fallen.redPixels, start.redPixels / 2);
        EXPECT_GT(fallen.redCentreY, start.redCentreY + 100.0);
        EXPECT_GT(fallen.shareStandingOnBlue, 0.8);
        ASSERT_TRUE(key("m"));
    };
    fallAndRest("fallen");

    ASSERT_TRUE(key("r"));
    const std::optional<Picture> resetPicture = firstPictureWhere(
        "reset", [](const Picture& shot) { return describe(shot).shareStandingOnBlue < 0.1; });
    ASSERT_TRUE(resetPicture) << "\"r\" did not put the blocks back up\n" << report(*program);
    fallAndRest("fallen_again");

    quit();
    // The frame rate was reported about once a second while the blocks fell.
    const std::string output = program->standardOutput();
    EXPECT_TRUE(std::regex_search(output, std::regex("\nfps: [1-9][0-9]*\n"))) << output;
}

// What a user sees right after "m": the lattice drops and, about a simulated
// second and a half later (a fraction of a wall second at full speed), the
// blocks lie on the floor, spread out by their bounces.
TEST_F(ProgramView, BlocksFallOntoTheFloor)
{
    const std::optional<Picture> startPicture = firstFrame("landing_start");
    ASSERT_TRUE(startPicture) << "no blocks drawn\n" << report(*program);
    const SceneInPicture start = describe(*startPicture);
    SCOPED_TRACE("start: " + describeForHumans(start));

    ASSERT_TRUE(key("m"));
    const auto landed = [&start](const Picture& shot) {
        const SceneInPicture scene = describe(shot);
        return scene.redPixels > start.redPixels / 2 && scene.redCentreY > start.redCentreY + 100.0 &&
               scene.shareStandingOnBlue > 0.8;
    };
    if (!firstPictureWhere("landing", landed)) {
        const std::optional<Picture> last = picture("landing");
        ADD_FAILURE() << "the blocks were not seen lying on the floor; last picture: "
                      << (last ? describeForHumans(describe(*last)) : "none") << "\n"
                      << report(*program);
    }

    // Long enough for the once-a-second frame count.
    std::this_thread::sleep_for(1500ms);
    quit();
    const std::string output = program->standardOutput();
    EXPECT_TRUE(std::regex_search(output, std::regex("\nfps: [1-9][0-9]*\n"))) << output;
}

TEST_F(ProgramView, ResetPutsTheFallingBlocksBackUp)
{
    const std::optional<Picture> startPicture = firstFrame("reset_start");
    ASSERT_TRUE(startPicture) << "no blocks drawn\n" << report(*program);
    const SceneInPicture start = describe(*startPicture);
    SCOPED_TRACE("start: " + describeForHumans(start));

    // Let them fall for a while, then pause.
    ASSERT_TRUE(key("m"));
    ASSERT_TRUE(pictureAfterChange(*startPicture, "reset_falling")) << "\"m\" set nothing going\n"
                                                                    << report(*program);
    std::this_thread::sleep_for(pictureInterval);
    ASSERT_TRUE(key("m"));
    const std::optional<Picture> pausedPicture = picture("reset_paused");
    ASSERT_TRUE(pausedPicture);
    SCOPED_TRACE("paused: " + describeForHumans(describe(*pausedPicture)));

    // Reset: the lattice is back where it started, up to the jitter, clear of the floor.
    ASSERT_TRUE(key("r"));
    const std::optional<Picture> resetPicture = pictureAfterChange(*pausedPicture, "reset_done");
    ASSERT_TRUE(resetPicture) << "\"r\" changed nothing\n" << report(*program);
    const SceneInPicture reset = describe(*resetPicture);
    SCOPED_TRACE("reset: " + describeForHumans(reset));
    EXPECT_NEAR(reset.redCentreY, start.redCentreY, 15.0);
    EXPECT_NEAR(reset.redCentreX, start.redCentreX, 15.0);
    EXPECT_NEAR(reset.redPixels, start.redPixels, start.redPixels * 0.1);
    EXPECT_LT(reset.shareStandingOnBlue, 0.1);
    EXPECT_LT(changedShare(*startPicture, *resetPicture), changedShare(*startPicture, *pausedPicture));

    quit();
}

TEST_F(ProgramView, WheelZoomsAndLeftDragTurnsTheView)
{
    // Nothing moves in single-step mode, so every change in the window is the camera's.
    const std::optional<Picture> startPicture = firstFrame("view_start");
    ASSERT_TRUE(startPicture) << report(*program);
    const SceneInPicture start = describe(*startPicture);
    SCOPED_TRACE("start: " + describeForHumans(start));

    // One step of the wheel up brings the camera closer: the lattice grows away
    // from the middle of the view, its inner corner (right of and above the
    // middle) moving right and up.
    ASSERT_TRUE(xdotool({"mousemove", "--window", window, "--sync", "400", "300", "click", "4"}));
    const std::optional<Picture> zoomedPicture = pictureAfterChange(*startPicture, "view_zoomed");
    ASSERT_TRUE(zoomedPicture) << "the wheel did not zoom\n" << report(*program);
    const SceneInPicture zoomed = describe(*zoomedPicture);
    EXPECT_GT(zoomed.redRight, start.redRight + 3) << describeForHumans(zoomed);
    EXPECT_LT(zoomed.redBottom, start.redBottom - 3) << describeForHumans(zoomed);

    // One step down takes it back to where it was.
    ASSERT_TRUE(xdotool({"click", "5"}));
    const std::optional<Picture> backPicture = pictureAfterChange(*zoomedPicture, "view_back");
    ASSERT_TRUE(backPicture) << report(*program);
    EXPECT_LT(changedShare(*startPicture, *backPicture), stillShare);

    // A drag of 50 pixels to the right swings the camera a radian round the
    // origin: the floor's far edge, level at start, turns into a corner that
    // points up into the view.
    EXPECT_NEAR(start.floorEdgeTop, start.floorEdgeLeft, 3);
    EXPECT_NEAR(start.floorEdgeTop, start.floorEdgeRight, 3);
    ASSERT_TRUE(xdotool({"mousedown", "1", "mousemove", "--window", window, "--sync", "425", "300",
                         "mousemove", "--window", window, "--sync", "450", "300", "mouseup", "1"}));
    const std::optional<Picture> turnedPicture = pictureAfterChange(*backPicture, "view_turned");
    ASSERT_TRUE(turnedPicture) << "the drag did not turn the view\n" << report(*program);
    const SceneInPicture turned = describe(*turnedPicture);
    EXPECT_GT(changedShare(*backPicture, *turnedPicture), 0.1);
    EXPECT_GT(turned.floorEdgeLeft, turned.floorEdgeTop + 20) << describeForHumans(turned);
    EXPECT_GT(turned.floorEdgeRight, turned.floorEdgeTop + 20) << describeForHumans(turned);

    // Moving the released mouse turns nothing.
    ASSERT_TRUE(xdotool({"mousemove", "--window", window, "--sync", "700", "500"}));
    std::this_thread::sleep_for(500ms);
    const std::optional<Picture> stillPicture = picture("view_still");
    ASSERT_TRUE(stillPicture);
    EXPECT_LT(changedShare(*turnedPicture, *stillPicture), stillShare);

    quit();
}

/// The program showing a scene file instead of its own scene.
class SceneFileView : public ProgramView {
  protected:
    std::vector<std::string> arguments() const override
    {
        return {"--scene", std::string(TOLVANE_SCENES_DIR) + "/tower-10.json"};
    }
};

// The tower of ten cubes stands on the floor from the first picture on, where
// the program's own lattice hangs above it.
TEST_F(SceneFileView, DrawsTheSceneFilesBodies)
{
    const std::optional<Picture> startPicture = firstFrame("tower_start");
    ASSERT_TRUE(startPicture) << "no blocks drawn\n" << report(*program);
    const SceneInPicture tower = describe(*startPicture);
    SCOPED_TRACE("tower: " + describeForHumans(tower));
    EXPECT_GT(tower.bluePixels, 100000);
    EXPECT_GT(tower.shareStandingOnBlue, 0.8);
    // One column of cubes, drawn in the middle of the view, much taller than wide.
    int redColumns = 0;
    for (int x = 0; x < startPicture->width; ++x)
        for (int y = 0; y < startPicture->height; ++y)
            if (startPicture->isRed(x, y)) {
                ++redColumns;
                break;
            }
    EXPECT_GT(tower.redPixels, 10 * redColumns);
    EXPECT_NEAR(tower.redCentreX, startPicture->width / 2.0, 30.0);

    quit();
}
