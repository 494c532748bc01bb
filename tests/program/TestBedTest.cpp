// The physics_test program as a test bed, driven as a user drives it: the
// mouse grab, throwing, the text and debug drawing keys, the scene list,
// screenshots and state files, each checked by its effect on the window or
// on the files the program writes.
#include "ProgramHarness.h"
#include "Screenshot.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using namespace ProgramHarness;
namespace fs = std::filesystem;

namespace {

constexpr auto fileTimeout = 20s;
constexpr auto changeTimeout = 30s;
const std::string towerScene = std::string(TOLVANE_SCENES_DIR) + "/tower-10.json";
// Pixels of the window, from its top-left corner, that hold the top cube of
// the tower of ten as the program first shows it.
constexpr int towerTopX = 400;
constexpr int towerTopY = 40;

/// A window rectangle, in pixels from the top left.
struct Region {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

/// Pixels of region (the whole picture by default) for which the test holds.
int countPixels(const Picture& picture, const std::function<bool(int, int, int)>& test, Region region = {})
{
    if (region.right == 0) {
        region.right = picture.width;
        region.bottom = picture.height;
    }
    int count = 0;
    for (int y = std::max(0, region.top); y < std::min(picture.height, region.bottom); ++y)
        for (int x = std::max(0, region.left); x < std::min(picture.width, region.right); ++x) {
            const unsigned char* p =
                &picture.rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) + x) * 3];
            count += test(p[0], p[1], p[2]) ? 1 : 0;
        }
    return count;
}

/// Pixels that differ by more than a little between two pictures of one size.
int changedPixels(const Picture& a, const Picture& b, Region region)
{
    int count = 0;
    for (int y = region.top; y < region.bottom; ++y)
        for (int x = region.left; x < region.right; ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(a.width) + x) * 3;
            for (int c = 0; c < 3; ++c)
                if (std::abs(a.rgb[i + c] - b.rgb[i + c]) > 24) {
                    ++count;
                    break;
                }
        }
    return count;
}

bool yellow(int r, int g, int b)
{
    return r > 200 && g > 200 && b < 80;
}
bool cyan(int r, int g, int b)
{
    return r < 80 && g > 180 && b > 180;
}
bool white(int r, int g, int b)
{
    return r > 230 && g > 230 && b > 230;
}

/// Starts the program in a fresh working directory of its own, so that the
/// files it writes there are the test's alone.
class TestBed : public ::testing::Test {
  protected:
    // Skipped here, in SetUp, so that no test body runs without a display.
    void SetUp() override { REQUIRE_DISPLAY(); }

    void start(const std::vector<std::string>& arguments)
    {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        folder = fs::path(::testing::TempDir()) / ("tolvane-testbed-" + std::string(test->name()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        program.reset(new ChildProcess(startPlacedProgram(folder.string(), arguments)));
        window = waitForWindow(*program);
        ASSERT_FALSE(window.empty()) << "no \"Test App\" window appeared\n" << report(*program);
        const std::optional<ScreenArea> found = windowArea(window);
        ASSERT_TRUE(found) << "no geometry for window " << window;
        area = *found;
        // The first frame is drawn a little after the window is mapped.
        ASSERT_TRUE(pictureWhere("first", [](const Picture& p) { return describe(p).bluePixels > 0; }));
    }

    bool key(const std::string& name) { return xdotool({"key", "--window", window, name}); }

    std::optional<Picture> picture(const std::string& name)
    {
        return takeScreenshot((folder / (name + ".ppm")).string(), area);
    }

    /// The first picture, taken every 100 ms, that accept takes.
    std::optional<Picture> pictureWhere(const std::string& name,
                                        const std::function<bool(const Picture&)>& accept)
    {
        return ProgramHarness::firstAccepted(
            changeTimeout, [&] { return picture(name); }, accept);
    }

    /// Waits until the program has written the file and closed it whole.
    bool waitForFile(const fs::path& path)
    {
        const auto deadline = std::chrono::steady_clock::now() + fileTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            std::error_code error;
            if (fs::exists(path, error)) {
                std::this_thread::sleep_for(200ms);
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    /// "w", then the state file it writes, state-N.json for the N-th press.
    nlohmann::json state()
    {
        ++statePresses;
        const fs::path path = folder / ("state-" + std::to_string(statePresses) + ".json");
        EXPECT_TRUE(key("w"));
        if (!waitForFile(path)) {
            ADD_FAILURE() << "no " << path << "\n" << report(*program);
            return nlohmann::json::object();
        }
        std::ifstream in(path);
        return nlohmann::json::parse(in, nullptr, false);
    }

    std::string title()
    {
        const std::optional<std::string> name =
            runForOutput({"xdotool", "getwindowname", window}, xdotoolTimeout);
        return name ? name->substr(0, name->find('\n')) : std::string();
    }

    void quit()
    {
        ASSERT_TRUE(xdotool({"keydown", "--window", window, "q"}));
        EXPECT_EQ(program->waitFor(exitTimeout), std::optional<int>(0)) << report(*program);
    }

    void TearDown() override
    {
        if (program && program->running())
            quit();
    }

    fs::path folder;
    std::unique_ptr<ChildProcess> program;
    std::string window;
    ScreenArea area;
    int statePresses = 0;
};

/// Component i of a body's position in a state file.
float coordinate(const nlohmann::json& body, int i)
{
    return body.at("position").at(i).get<float>();
}

float speed(const nlohmann::json& body)
{
    const nlohmann::json& v = body.at("velocity");
    return std::sqrt(v[0].get<float>() * v[0].get<float>() + v[1].get<float>() * v[1].get<float>() +
                     v[2].get<float>() * v[2].get<float>());
}

} // namespace

// A left press on the tower's top cube grabs it; dragging to the right pulls
// it across the view (the camera looks along +z, so the window's right is
// world -x) and holds it up in the air; the spring is drawn, and "j" hides
// it; the release lets the cube fall with the speed it had.
TEST_F(TestBed, LeftDragOnABodyGrabsItAndReleaseLetsItFly)
{
    ASSERT_NO_FATAL_FAILURE(start({"--scene", towerScene}));
    ASSERT_TRUE(key("m"));
    std::this_thread::sleep_for(1s);
    const nlohmann::json before = state();
    ASSERT_EQ(before.at("bodies").size(), 11u);
    EXPECT_EQ(before.at("held"), -1);
    const nlohmann::json& top = before.at("bodies").at(10);
    EXPECT_NEAR(coordinate(top, 0), 0.0f, 0.1f);
    EXPECT_GT(coordinate(top, 1), 11.0f);

    ASSERT_TRUE(xdotool({"mousemove", "--window", window, "--sync", std::to_string(towerTopX),
                         std::to_string(towerTopY), "mousedown", "1"}));
    for (int x = towerTopX + 30; x <= towerTopX + 210; x += 30) {
        ASSERT_TRUE(xdotool(
            {"mousemove", "--window", window, "--sync", std::to_string(x), std::to_string(towerTopY)}));
        std::this_thread::sleep_for(150ms);
    }
    std::this_thread::sleep_for(1s);
    const nlohmann::json held = state();
    EXPECT_EQ(held.at("held"), 10) << report(*program);
    const nlohmann::json& moved = held.at("bodies").at(10);
    EXPECT_LT(coordinate(moved, 0), -5.0f);
    EXPECT_GT(coordinate(moved, 1), 8.0f);

    // The spring's line and its end at the pointer, white, away from the hint's corner.
    const Region awayFromHint{0, 60, 800, 600};
    const std::optional<Picture> withSpring = picture("spring");
    ASSERT_TRUE(withSpring);
    EXPECT_GT(countPixels(*withSpring, white, awayFromHint), 15);
    ASSERT_TRUE(key("j"));
    const std::optional<Picture> withoutSpring =
        pictureWhere("no_spring", [&](const Picture& p) { return countPixels(p, white, awayFromHint) < 5; });
    EXPECT_TRUE(withoutSpring) << "\"j\" did not hide the spring";

    ASSERT_TRUE(xdotool({"mouseup", "1"}));
    std::this_thread::sleep_for(1500ms);
    const nlohmann::json released = state();
    EXPECT_EQ(released.at("held"), -1);
    // Let go, the cube falls; it has left the height it was held at.
    EXPECT_LT(coordinate(released.at("bodies").at(10), 1), coordinate(moved, 1) - 2.0f);
}

// Space shoots a cube from the eye along the view at 50 units a second; in
// single-step mode it waits there until "n" moves it one step along.
TEST_F(TestBed, SpaceThrowsACubeAlongTheView)
{
    ASSERT_NO_FATAL_FAILURE(start({"--scene", towerScene}));
    const nlohmann::json before = state();
    ASSERT_TRUE(key("space"));
    const nlohmann::json thrown = state();
    ASSERT_EQ(thrown.at("bodies").size(), before.at("bodies").size() + 1);
    EXPECT_EQ(thrown.at("thrown"), 1);
    const nlohmann::json& cube = thrown.at("bodies").back();
    EXPECT_NEAR(speed(cube), 50.0f, 0.01f);
    EXPECT_FALSE(cube.at("fixed").get<bool>());

    ASSERT_TRUE(key("n"));
    const nlohmann::json stepped = state();
    const nlohmann::json& flown = stepped.at("bodies").back();
    // One step of 0.025 s at 50 units a second, less what gravity takes.
    float travelled = 0.0f;
    for (int i = 0; i < 3; ++i)
        travelled +=
            (coordinate(flown, i) - coordinate(cube, i)) * (coordinate(flown, i) - coordinate(cube, i));
    EXPECT_NEAR(std::sqrt(travelled), 1.25f, 0.05f);

    // "r" puts the scene back as the file places it, without the thrown cube.
    ASSERT_TRUE(key("r"));
    const nlohmann::json reset = state();
    EXPECT_EQ(reset.at("bodies").size(), before.at("bodies").size());
    EXPECT_EQ(reset.at("thrown"), 0);
}

// "h" shows the figures below the hint in the top-left corner and hides them
// again; F1 and "?" show and hide the help in the middle. Nothing else of the
// still scene changes.
TEST_F(TestBed, TextKeysShowAndHideTheirPanels)
{
    ASSERT_NO_FATAL_FAILURE(start({"--scene", towerScene}));
    const Region figures{8, 40, 440, 170};
    const Region help{220, 150, 580, 460};
    const Region bottomRight{600, 450, 800, 600};
    const std::optional<Picture> plain = picture("plain");
    ASSERT_TRUE(plain);

    ASSERT_TRUE(key("h"));
    const std::optional<Picture> withFigures =
        pictureWhere("figures", [&](const Picture& p) { return changedPixels(*plain, p, figures) > 1000; });
    ASSERT_TRUE(withFigures) << "\"h\" showed no figures\n" << report(*program);
    EXPECT_EQ(changedPixels(*plain, *withFigures, bottomRight), 0);
    ASSERT_TRUE(key("h"));
    EXPECT_TRUE(pictureWhere("no_figures", [&](const Picture& p) {
        return changedPixels(*plain, p, figures) < 20;
    })) << "a second \"h\" did not hide the figures";

    for (const std::string helpKey : {"F1", "question"}) {
        SCOPED_TRACE(helpKey);
        ASSERT_TRUE(key(helpKey));
        EXPECT_TRUE(
            pictureWhere("help", [&](const Picture& p) { return changedPixels(*plain, p, help) > 5000; }))
            << "no help after " << helpKey;
        ASSERT_TRUE(key(helpKey));
        EXPECT_TRUE(
            pictureWhere("no_help", [&](const Picture& p) { return changedPixels(*plain, p, help) < 20; }))
            << "the help stayed after a second " << helpKey;
    }
}

// "c" draws the contact points (yellow), "b" the bounding boxes (cyan) and "s"
// tints the sleeping bodies: once the tower has fallen asleep its red goes.
// Each key takes its drawing away again.
TEST_F(TestBed, DebugDrawingKeysDrawAndTakeAwayTheirMarks)
{
    ASSERT_NO_FATAL_FAILURE(start({"--scene", towerScene}));
    ASSERT_TRUE(key("m"));
    std::this_thread::sleep_for(1s);
    const std::optional<Picture> plain = picture("plain");
    ASSERT_TRUE(plain);
    const int red = describe(*plain).redPixels;
    ASSERT_GT(red, 5000);
    EXPECT_EQ(countPixels(*plain, yellow), 0);
    EXPECT_LT(countPixels(*plain, cyan), 20);

    ASSERT_TRUE(key("c"));
    EXPECT_TRUE(pictureWhere("contacts", [](const Picture& p) { return countPixels(p, yellow) > 100; }))
        << "\"c\" drew no contact points";
    ASSERT_TRUE(key("c"));
    EXPECT_TRUE(pictureWhere("no_contacts", [](const Picture& p) { return countPixels(p, yellow) == 0; }));

    ASSERT_TRUE(key("b"));
    EXPECT_TRUE(pictureWhere("boxes", [](const Picture& p) { return countPixels(p, cyan) > 500; }))
        << "\"b\" drew no boxes";
    ASSERT_TRUE(key("b"));
    EXPECT_TRUE(pictureWhere("no_boxes", [](const Picture& p) { return countPixels(p, cyan) < 20; }));

    ASSERT_TRUE(key("s"));
    EXPECT_TRUE(pictureWhere("tinted", [red](const Picture& p) { return describe(p).redPixels < red / 10; }))
        << "the sleeping tower was not tinted\n"
        << report(*program);
    ASSERT_TRUE(key("s"));
    EXPECT_TRUE(
        pictureWhere("untinted", [red](const Picture& p) { return describe(p).redPixels > red * 9 / 10; }));
}

// "p" writes screenshot-1.png, then screenshot-2.png, in the working
// directory: PNG files that decode to the window as it is on the screen.
TEST_F(TestBed, PWritesThePictureOfTheWindowAsPng)
{
    ASSERT_NO_FATAL_FAILURE(start({"--scene", towerScene}));
    const std::optional<Picture> onScreen = picture("on_screen");
    ASSERT_TRUE(onScreen);
    ASSERT_TRUE(key("p"));
    ASSERT_TRUE(waitForFile(folder / "screenshot-1.png")) << report(*program);

    std::ifstream png(folder / "screenshot-1.png", std::ios::binary);
    char signature[8] = {};
    png.read(signature, sizeof signature);
    EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    const std::string decoded = (folder / "decoded.ppm").string();
    ASSERT_TRUE(runForOutput({"convert", (folder / "screenshot-1.png").string(), decoded}, 30s))
        << "the PNG does not decode";
    const std::optional<Picture> saved = readPpmFile(decoded);
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->width, onScreen->width);
    ASSERT_EQ(saved->height, onScreen->height);
    // The same picture, the right way up.
    EXPECT_LT(changedShare(*onScreen, *saved), 0.002);

    ASSERT_TRUE(key("p"));
    EXPECT_TRUE(waitForFile(folder / "screenshot-2.png")) << report(*program);
}

// PageDown and "]" load the next scene file of the --scenes folder, PageUp and
// "[" the one before; the title names the file and the state holds its
// bodies. A file that cannot be used leaves the scene shown as it was, with
// its error on the screen and on standard error, and the program running.
TEST_F(TestBed, SceneKeysStepThroughTheFolderAndABadFileKeepsTheScene)
{
    const fs::path scenes = fs::path(::testing::TempDir()) / "tolvane-testbed-scenes";
    fs::remove_all(scenes);
    fs::create_directories(scenes);
    const std::string data = TOLVANE_DATA_DIR;
    const auto writeScene = [&](const std::string& name, int cubes) {
        std::ofstream file(scenes / name);
        file << R"({"models": {"cube": ")" << data << R"(/SimpleCube.ac", "floor": ")" << data
             << R"(/Floor.ac"}, "bodies": [{"model": "floor", "position": [0, -7, 0], "fixed": true})";
        for (int i = 0; i < cubes; ++i)
            file << R"(, {"model": "cube", "position": [)" << 3 * i << ", -6, 0]}";
        file << "]}\n";
    };
    writeScene("a-two.json", 2);
    std::ofstream(scenes / "b-bad.json") << "{\"bodies\": [}\n";
    writeScene("c-three.json", 3);

    // Started on the folder's first file, the list stands there.
    ASSERT_NO_FATAL_FAILURE(
        start({"--scene", (scenes / "a-two.json").string(), "--scenes", scenes.string()}));
    EXPECT_EQ(title(), "Test App");
    EXPECT_EQ(state().at("bodies").size(), 3u);

    const Region message{0, 540, 600, 600};
    const std::optional<Picture> beforeBad = picture("before_bad");
    ASSERT_TRUE(beforeBad);
    ASSERT_TRUE(key("bracketright"));
    EXPECT_TRUE(
        pictureWhere("bad", [&](const Picture& p) { return changedPixels(*beforeBad, p, message) > 300; }))
        << "no message on the screen\n"
        << report(*program);
    EXPECT_EQ(state().at("bodies").size(), 3u);
    EXPECT_EQ(title(), "Test App");
    EXPECT_NE(program->standardError().find("b-bad.json"), std::string::npos) << report(*program);

    ASSERT_TRUE(key("Next"));
    EXPECT_EQ(state().at("bodies").size(), 4u);
    EXPECT_EQ(title(), "Test App - c-three.json");
    // Back over the bad file, which again changes nothing, to the first.
    ASSERT_TRUE(key("Prior"));
    EXPECT_EQ(state().at("bodies").size(), 4u);
    ASSERT_TRUE(key("bracketleft"));
    EXPECT_EQ(state().at("bodies").size(), 3u);
    EXPECT_EQ(title(), "Test App - a-two.json");
    EXPECT_TRUE(program->running());
}
