// The physics_headless program, run as a child process: arguments, output forms,
// the hash check and the per-step table.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string program = std::string(TOLVANE_BINARY_DIR) + "/driver/physics_headless";
const std::string dataArgument = std::string(" --data '") + TOLVANE_DATA_DIR + "'";

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

std::string jsonField(const std::string& json, const std::string& name)
{
    std::smatch match;
    const std::regex pattern("\"" + name + "\": (\"[^\"]*\"|[^,}]*)");
    return std::regex_search(json, match, pattern) ? match[1].str() : std::string();
}

TEST(HeadlessRunner, BadArgumentsGiveUsageAndStatusTwo)
{
    for (const char* arguments :
         {"--steps 0", "--steps ten", "--steps", "--steps 5x", "--lattice 13", "--lattice 0", "--json=yes",
          "--expect-hash xyz", "--expect-hash 12345678901234567", "--csv", "--frobnicate", "extra"}) {
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
         {"2 bodies", "3 steps", "wall time", "steps per second", "microseconds per step", "colliding pairs",
          "blocks at rest", "lowest block centre", "highest block centre"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text.out, match, std::regex("final state hash +([0-9a-f]{16})")));
    const std::string hash = match[1].str();

    const Outcome json = runProgram("--json --steps=3 --lattice=1" + dataArgument);
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.front(), '{');
    EXPECT_EQ(json.out.substr(json.out.size() - 2), "}\n");
    EXPECT_EQ(jsonField(json.out, "bodies"), "2");
    EXPECT_EQ(jsonField(json.out, "steps"), "3");
    EXPECT_EQ(jsonField(json.out, "hash"), "\"" + hash + "\"");
    EXPECT_FALSE(jsonField(json.out, "median").empty());
    EXPECT_FALSE(jsonField(json.out, "lowest_block_centre").empty());

    EXPECT_EQ(runProgram("--steps 3 --lattice 1 --expect-hash " + hash + dataArgument).status, 0);
    EXPECT_EQ(runProgram("--steps 3 --lattice 1 --expect-hash 0x" + hash + dataArgument).status, 0);
    const std::string otherHash = (hash[0] == '0' ? "1" : "0") + hash.substr(1);
    const Outcome mismatch = runProgram("--steps 3 --lattice 1 --expect-hash " + otherHash + dataArgument);
    EXPECT_EQ(mismatch.status, 1);
    EXPECT_NE(mismatch.err.find(hash), std::string::npos);
}

TEST(HeadlessRunner, CsvHasOneRowPerStep)
{
    const std::string csvPath =
        ::testing::TempDir() + "physics_headless_steps_" + std::to_string(getpid()) + ".csv";
    const Outcome outcome = runProgram("--steps 4 --lattice 1 --csv '" + csvPath + "'" + dataArgument);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    std::ifstream csv(csvPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(csv, line);)
        lines.push_back(line);
    std::remove(csvPath.c_str());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "step,microseconds,colliding_pairs,kinetic_energy,largest_speed,lowest_block_centre");
    for (int step = 1; step <= 4; ++step) {
        std::stringstream row(lines[step]);
        std::vector<std::string> cells;
        for (std::string cell; std::getline(row, cell, ',');)
            cells.push_back(cell);
        ASSERT_EQ(cells.size(), 6u) << lines[step];
        EXPECT_EQ(cells[0], std::to_string(step));
        // Free fall from rest: the speed grows by 9.81 × 0.025 a step.
        EXPECT_NEAR(std::stod(cells[4]), 0.24525 * step, 1e-4);
    }
}

TEST(HeadlessRunner, MissingModelsFailWithTheReason)
{
    const Outcome outcome = runProgram("--steps 1 --data /nonexistent/models");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("physics_headless: "), std::string::npos);
    EXPECT_TRUE(outcome.out.empty());
}

} // namespace
