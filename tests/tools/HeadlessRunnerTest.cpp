// The physics_headless program, run as a child process: arguments, output forms,
// the hash check, the per-step table, scene files and the state and trace files.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string program = std::string(TOLVANE_BINARY_DIR) + "/tools/physics_headless";
const std::string dataArgument = std::string(" --data '") + TOLVANE_DATA_DIR + "'";
const std::string scenes = TOLVANE_SCENES_DIR;
using Json = nlohmann::json;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome runProgram(const std::string& arguments)
{
    // CTest runs the cases in parallel: each process keeps its own file.
    const std::string errPath =
        ::testing::TempDir() + "physics_headless_stderr_" + std::to_string(getpid()) + ".txt";
    const std::string command = "'" + program + "' " + arguments + " 2>'" + errPath + "'";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return outcome;
    std::array<char, 4096> buffer;
    std::size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        outcome.out.append(buffer.data(), got);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream errFile(errPath);
    std::stringstream err;
    err << errFile.rdbuf();
    outcome.err = err.str();
    std::remove(errPath.c_str());
    return outcome;
}

/// A file of the test's own, apart from those of cases CTest runs beside it.
std::string temporaryFile(const std::string& name)
{
    return ::testing::TempDir() + "physics_headless_" + std::to_string(getpid()) + "_" + name;
}

std::vector<std::string> readLines(const std::string& path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> cellsOf(const std::string& line)
{
    std::stringstream row(line);
    std::vector<std::string> cells;
    for (std::string cell; std::getline(row, cell, ',');)
        cells.push_back(cell);
    return cells;
}

TEST(HeadlessRunner, BadArgumentsGiveUsageAndStatusTwo)
{
    for (const char* arguments :
         {"--steps 0", "--steps ten", "--steps", "--steps 5x", "--lattice 13", "--lattice 0", "--json=yes",
          "--expect-hash xyz", "--expect-hash 12345678901234567", "--csv", "--frobnicate", "extra",
          "--scene x.json --lattice 3", "--trace-every 2", "--trace-every 0 --trace t.csv"}) {
        SCOPED_TRACE(arguments);
        const Outcome outcome = runProgram(arguments);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_NE(outcome.err.find("Usage: physics_headless"), std::string::npos);
        EXPECT_TRUE(outcome.out.empty());
    }
    const Outcome help = runProgram("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--expect-hash"), std::string::npos);
}

TEST(HeadlessRunner, SummaryJsonAndHashCheckAgree)
{
    const Outcome text = runProgram("--steps 3 --lattice 1" + dataArgument);
    ASSERT_EQ(text.status, 0) << text.err;
    for (const char* line :
         {"2 bodies", "3 steps", "wall time", "steps per second", "peak memory", "microseconds per step",
          "colliding pairs", "blocks at rest", "lowest block centre", "highest block centre"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line;
    const auto hashAt = text.out.find("final state hash");
    ASSERT_NE(hashAt, std::string::npos);
    const std::string hash = text.out.substr(text.out.find_first_not_of(' ', hashAt + 16), 16);

    const Outcome json = runProgram("--json --steps=3 --lattice=1" + dataArgument);
    ASSERT_EQ(json.status, 0) << json.err;
    const Json summary = Json::parse(json.out);
    EXPECT_EQ(summary["bodies"], 2);
    EXPECT_EQ(summary["steps"], 3);
    EXPECT_EQ(summary["lattice"], 1);
    EXPECT_EQ(summary["hash"], hash);
    EXPECT_TRUE(summary["microseconds_per_step"]["median"].is_number());
    // The mean times the steps alone, so all of them fit in the run's wall time.
    EXPECT_LE(summary["microseconds_per_step"]["mean"].get<double>() * 3.0,
              summary["wall_seconds"].get<double>() * 1e6);
    EXPECT_TRUE(summary["lowest_block_centre"].is_number());
    // The process holds at least the program and its bodies.
    EXPECT_GT(summary["peak_memory_kb"].get<long>(), 0);

    EXPECT_EQ(runProgram("--steps 3 --lattice 1 --expect-hash " + hash + dataArgument).status, 0);
    EXPECT_EQ(runProgram("--steps 3 --lattice 1 --expect-hash 0x" + hash + dataArgument).status, 0);
    const std::string otherHash = (hash[0] == '0' ? "1" : "0") + hash.substr(1);
    const Outcome mismatch = runProgram("--steps 3 --lattice 1 --expect-hash " + otherHash + dataArgument);
    EXPECT_EQ(mismatch.status, 1);
    EXPECT_NE(mismatch.err.find(hash), std::string::npos);
}

TEST(HeadlessRunner, TooManyThreadsRunAsTheMostAllowedWithTheSameResult)
{
    const Outcome one = runProgram("--json --steps 20 --lattice 2 --threads 1" + dataArgument);
    ASSERT_EQ(one.status, 0) << one.err;
    const Outcome many = runProgram("--json --steps 20 --lattice 2 --threads 100000" + dataArgument);
    ASSERT_EQ(many.status, 0) << many.err;
    EXPECT_NE(many.err.find("--threads 100000 is more than this machine allows; running as --threads"),
              std::string::npos)
        << many.err;
    const Json summary = Json::parse(many.out);
    EXPECT_LT(summary["threads"].get<int>(), 100000);
    EXPECT_EQ(summary["hash"], Json::parse(one.out)["hash"]);
}

TEST(HeadlessRunner, CsvHasOneRowPerStep)
{
    const std::string csvPath = temporaryFile("steps.csv");
    const Outcome outcome = runProgram("--steps 4 --lattice 1 --csv '" + csvPath + "'" + dataArgument);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const std::vector<std::string> lines = readLines(csvPath);
    std::remove(csvPath.c_str());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0],
              "step,microseconds,colliding_pairs,contact_points,awake_bodies,kinetic_energy,largest_speed,"
              "lowest_block_centre,broad_phase_us,narrow_phase_us,solver_us,integration_us,rest_us,"
              "deepest_pair_penetration,deepest_fixed_penetration");
    for (int step = 1; step <= 4; ++step) {
        const std::vector<std::string> cells = cellsOf(lines[step]);
        ASSERT_EQ(cells.size(), 15u) << lines[step];
        EXPECT_EQ(cells[0], std::to_string(step));
        // Free fall from rest: the speed grows by 9.81 × 0.025 a step.
        EXPECT_NEAR(std::stod(cells[6]), 0.24525 * step, 1e-4);
    }
}

TEST(HeadlessRunner, StateAndTraceFilesAgreeWithTheSummary)
{
    const std::string statePath = temporaryFile("state.json");
    const std::string tracePath = temporaryFile("trace.csv");
    const Outcome outcome = runProgram("--scene '" + scenes + "/head-on.json' --steps 7 --json --state '" +
                                       statePath + "' --trace '" + tracePath + "' --trace-every 3");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const Json summary = Json::parse(outcome.out);
    std::ifstream stateFile(statePath);
    const Json state = Json::parse(stateFile);
    const std::vector<std::string> trace = readLines(tracePath);
    std::remove(statePath.c_str());
    std::remove(tracePath.c_str());

    EXPECT_EQ(summary["scene"], scenes + "/head-on.json");
    EXPECT_EQ(state["hash"], summary["hash"]);
    EXPECT_EQ(state["steps"], 7);
    const Json& bodies = state["bodies"];
    ASSERT_EQ(bodies.size(), summary["bodies"].get<std::size_t>());
    EXPECT_EQ(bodies[0]["name"], "floor");
    EXPECT_TRUE(bodies[0]["fixed"].get<bool>());
    EXPECT_EQ(bodies[2]["name"], "right");
    EXPECT_EQ(bodies[2]["index"], 2);
    // Seven steps of the two cubes' flight: lower than at start, still moving towards each other.
    float lowest = 1e9f;
    float highest = -1e9f;
    for (std::size_t i = 1; i < bodies.size(); ++i) {
        lowest = std::min(lowest, bodies[i]["position"][1].get<float>());
        highest = std::max(highest, bodies[i]["position"][1].get<float>());
        EXPECT_FALSE(bodies[i]["at_rest"].get<bool>());
        EXPECT_EQ(bodies[i]["orientation"].size(), 4u);
        EXPECT_EQ(bodies[i]["angular_velocity"].size(), 3u);
    }
    EXPECT_EQ(lowest, summary["lowest_block_centre"].get<float>());
    EXPECT_EQ(highest, summary["highest_block_centre"].get<float>());
    EXPECT_NEAR(bodies[1]["velocity"][0].get<float>(), 3.0f, 1e-6);

    // Steps 0, 3, 6 and the last one, a row per body each.
    ASSERT_EQ(trace.size(), 1u + 4u * bodies.size());
    EXPECT_EQ(trace[0], "step,body,x,y,z,qw,qx,qy,qz,vx,vy,vz,wx,wy,wz");
    EXPECT_EQ(cellsOf(trace[1])[0], "0");
    EXPECT_EQ(cellsOf(trace[4])[0], "3");
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        const std::vector<std::string> cells = cellsOf(trace[trace.size() - bodies.size() + i]);
        ASSERT_EQ(cells.size(), 15u);
        EXPECT_EQ(cells[0], "7");
        EXPECT_EQ(cells[1], std::to_string(i));
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_EQ(std::stof(cells[2 + axis]), bodies[i]["position"][axis].get<float>());
        EXPECT_EQ(std::stof(cells[5]), bodies[i]["orientation"][0].get<float>());
        EXPECT_EQ(std::stof(cells[9]), bodies[i]["velocity"][0].get<float>());
    }
}

TEST(HeadlessRunner, SceneFilesRunAndBadOnesStopBeforeAnyStep)
{
    const Outcome lattice = runProgram("--scene '" + scenes + "/lattice.json' --steps 2 --json");
    ASSERT_EQ(lattice.status, 0) << lattice.err;
    const Outcome builtIn = runProgram("--steps 2 --json" + dataArgument);
    EXPECT_EQ(Json::parse(lattice.out)["hash"], Json::parse(builtIn.out)["hash"]);
    EXPECT_EQ(Json::parse(lattice.out)["lattice"], nullptr);

    // The first response still ends the program's scene, built in or from the
    // file, exactly where it always has.
    for (const std::string& scene : {dataArgument, " --scene '" + scenes + "/lattice.json'"}) {
        const Outcome designed =
            runProgram("--response designed --steps 400 --json --expect-hash 487444561f38fb1f" + scene);
        EXPECT_EQ(designed.status, 0) << designed.err;
        EXPECT_EQ(Json::parse(designed.out)["response"], "designed");
    }

    // A seed moves the jitter, and the same seed twice gives the same run.
    const auto hashWithSeed = [](const std::string& seed) {
        const Outcome run = runProgram("--steps 2 --json --seed " + seed + dataArgument);
        return Json::parse(run.out)["hash"].get<std::string>();
    };
    EXPECT_EQ(hashWithSeed("5"), hashWithSeed("5"));
    EXPECT_NE(hashWithSeed("5"), hashWithSeed("6"));

    const std::string bad = temporaryFile("bad.json");
    std::ofstream(bad) << R"({"bodies": [{"model": "cube", "postion": [0, 1, 0]}]})";
    const Outcome outcome = runProgram("--scene '" + bad + "' --steps 1");
    std::remove(bad.c_str());
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err, "physics_headless: " + bad +
                               ": bodies[0]: unknown key \"postion\" (known keys: name, "
                               "model, position, orientation, velocity, angular_velocity, "
                               "mass, fixed, kinematic, friction, restitution, layer, mask)\n");
    EXPECT_TRUE(outcome.out.empty());
}

TEST(HeadlessRunner, MissingModelsFailWithTheReason)
{
    const Outcome outcome = runProgram("--steps 1 --data /nonexistent/models");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("physics_headless: "), std::string::npos);
    EXPECT_TRUE(outcome.out.empty());
}

} // namespace
