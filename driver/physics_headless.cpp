// physics_headless: runs the test scene without a window and reports how fast
// the steps ran and where the blocks ended up, with a hash of the final state.
#include "driver/PhysicsTestScene.h"
#include "physics/PhysicalUniverse.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Tolvane::PhysicsTestScene;
using Tolvane::Physics::PhysicalUniverse;
using Clock = std::chrono::steady_clock;

/// Exit status for a final hash that differs from --expect-hash, and for a run that failed.
constexpr int exitFailure = 1;
/// Exit status for arguments that cannot be understood.
constexpr int exitUsage = 2;
/// Default run: ten simulated seconds of the program's scene.
constexpr long defaultSteps = 400;
/// More steps than anyone needs; keeps the per-step timing table bounded.
constexpr long maxSteps = 100000000;
/// Runs longer than this show progress on standard error ...
constexpr double progressAfterSeconds = 2.0;
/// ... once per this many seconds.
constexpr double progressEverySeconds = 1.0;

const char* const usageText =
    "Usage: physics_headless [options]\n"
    "Runs the physics test scene without a window and prints a summary.\n"
    "\n"
    "  --steps N          simulate N steps of 0.025 s (default 400)\n"
    "  --lattice N        N x N x N blocks, 1 to 12 (default 5)\n"
    "  --data DIR         folder holding SimpleCube.ac and Floor.ac (default: working directory)\n"
    "  --json             print the summary as one JSON object\n"
    "  --csv FILE         write one row per step to FILE\n"
    "  --expect-hash H    exit with status 1 if the final state hash is not H (hexadecimal)\n"
    "  --help             show this text\n";

struct Options {
    long steps = defaultSteps;
    int lattice = PhysicsTestScene::defaultLatticeSize;
    std::string dataFolder;
    bool json = false;
    std::string csvPath;
    bool checkHash = false;
    std::uint64_t expectedHash = 0;
};

struct UsageError {
    std::string message;
};

long parseCount(const std::string& option, const std::string& text, long low, long high)
{
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
        throw UsageError{option + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + text + "\""};
    return value;
}

std::uint64_t parseHash(const std::string& text)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    const bool allHex =
        !digits.empty() && digits.size() <= 16 &&
        std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c); });
    if (!allHex)
        throw UsageError{"--expect-hash needs up to 16 hexadecimal digits, not \"" + text + "\""};
    return std::strtoull(digits.c_str(), nullptr, 16);
}

/// Accepts "--name value" and "--name=value". Returns false after --help.
bool parseArguments(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const auto equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        const auto takeValue = [&]() {
            if (hasValue)
                return value;
            if (i + 1 >= argc)
                throw UsageError{name + " needs a value"};
            return std::string(argv[++i]);
        };
        const auto noValue = [&]() {
            if (hasValue)
                throw UsageError{name + " takes no value"};
        };

        if (name == "--help" || name == "-h") {
            noValue();
            return false;
        } else if (name == "--steps") {
            options.steps = parseCount(name, takeValue(), 1, maxSteps);
        } else if (name == "--lattice") {
            options.lattice =
                static_cast<int>(parseCount(name, takeValue(), 1, PhysicsTestScene::maxLatticeSize));
        } else if (name == "--data") {
            options.dataFolder = takeValue();
            if (options.dataFolder.empty())
                throw UsageError{"--data needs a folder"};
        } else if (name == "--json") {
            noValue();
            options.json = true;
        } else if (name == "--csv") {
            options.csvPath = takeValue();
            if (options.csvPath.empty())
                throw UsageError{"--csv needs a file name"};
        } else if (name == "--expect-hash") {
            options.expectedHash = parseHash(takeValue());
            options.checkHash = true;
        } else {
            throw UsageError{"unknown argument \"" + std::string(argv[i]) + "\""};
        }
    }
    return true;
}

struct RunSummary {
    int bodies = 0;
    int lattice = 0;
    long steps = 0;
    double wallSeconds = 0.0;
    double medianMicroseconds = 0.0;
    double p95Microseconds = 0.0;
    double maxMicroseconds = 0.0;
    double meanPairs = 0.0;
    long maxPairs = 0;
    Tolvane::SceneMeasures finalState;
    int blocks = 0;
    std::uint64_t hash = 0;
};

/// The value below which the given share of the sorted samples lie (nearest rank).
double percentile(const std::vector<double>& sorted, double share)
{
    const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

double median(const std::vector<double>& sorted)
{
    const std::size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : 0.5 * (sorted[n / 2 - 1] + sorted[n / 2]);
}

std::string hex(std::uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}

RunSummary run(const Options& options)
{
    std::ofstream csv;
    if (!options.csvPath.empty()) {
        csv.open(options.csvPath);
        if (!csv)
            throw std::runtime_error("cannot write " + options.csvPath);
        csv << "step,microseconds,colliding_pairs,kinetic_energy,largest_speed,lowest_block_centre\n";
        csv.precision(9);
    }

    PhysicsTestScene scene(options.dataFolder, options.lattice);
    long pairsThisStep = 0;
    PhysicalUniverse::collisionSignal.connect([&pairsThisStep](auto) { ++pairsThisStep; });

    std::vector<double> microseconds;
    microseconds.reserve(static_cast<std::size_t>(options.steps));
    long totalPairs = 0;
    long maxPairs = 0;
    const bool progressOnTerminal = isatty(STDERR_FILENO) != 0;
    bool progressShown = false;
    double nextProgress = progressAfterSeconds;

    const auto start = Clock::now();
    for (long step = 1; step <= options.steps; ++step) {
        pairsThisStep = 0;
        const auto before = Clock::now();
        PhysicalUniverse::step();
        const auto after = Clock::now();
        const double us = std::chrono::duration<double, std::micro>(after - before).count();
        microseconds.push_back(us);
        totalPairs += pairsThisStep;
        maxPairs = std::max(maxPairs, pairsThisStep);

        if (csv.is_open()) {
            const Tolvane::SceneMeasures m = scene.measure();
            csv << step << ',' << us << ',' << pairsThisStep << ',' << m.kineticEnergy << ','
                << m.largestSpeed << ',' << m.lowestBlockCentre << '\n';
        }

        const double elapsed = std::chrono::duration<double>(after - start).count();
        if (elapsed >= nextProgress && step < options.steps) {
            std::fprintf(stderr, "%sphysics_headless: step %ld of %ld, %.0f s%s",
                         progressOnTerminal ? "\r" : "", step, options.steps, elapsed,
                         progressOnTerminal ? "" : "\n");
            std::fflush(stderr);
            progressShown = true;
            nextProgress = elapsed + progressEverySeconds;
        }
    }
    const auto end = Clock::now();
    if (progressShown && progressOnTerminal)
        std::fputs("\n", stderr);
    if (csv.is_open()) {
        csv.close();
        if (!csv)
            throw std::runtime_error("cannot write " + options.csvPath);
    }

    RunSummary summary;
    summary.bodies = static_cast<int>(scene.bodies().size());
    summary.lattice = options.lattice;
    summary.blocks = scene.blockCount();
    summary.steps = options.steps;
    summary.wallSeconds = std::chrono::duration<double>(end - start).count();
    std::sort(microseconds.begin(), microseconds.end());
    summary.medianMicroseconds = median(microseconds);
    summary.p95Microseconds = percentile(microseconds, 0.95);
    summary.maxMicroseconds = microseconds.back();
    summary.meanPairs = static_cast<double>(totalPairs) / static_cast<double>(options.steps);
    summary.maxPairs = maxPairs;
    summary.finalState = scene.measure();
    summary.hash = scene.stateHash();
    return summary;
}

void printText(const RunSummary& s)
{
    std::printf("physics_headless: %d bodies (floor and %d blocks, lattice %d), %ld steps of %g s\n",
                s.bodies, s.blocks, s.lattice, s.steps, static_cast<double>(PhysicalUniverse::timeStep));
    std::printf("wall time             %.3f s\n", s.wallSeconds);
    std::printf("steps per second      %.1f\n", static_cast<double>(s.steps) / s.wallSeconds);
    std::printf("microseconds per step median %.1f, 95th percentile %.1f, maximum %.1f\n",
                s.medianMicroseconds, s.p95Microseconds, s.maxMicroseconds);
    std::printf("colliding pairs       %.2f per step on average, %ld at most\n", s.meanPairs, s.maxPairs);
    std::printf("blocks at rest        %d of %d\n", s.finalState.blocksAtRest, s.blocks);
    std::printf("lowest block centre   %.6f\n", static_cast<double>(s.finalState.lowestBlockCentre));
    std::printf("highest block centre  %.6f\n", static_cast<double>(s.finalState.highestBlockCentre));
    std::printf("all numbers finite    %s\n", s.finalState.allFinite ? "yes" : "no");
    std::printf("final state hash      %s\n", hex(s.hash).c_str());
}

/// JSON has no literal for infinity or not-a-number.
std::string jsonNumber(double value, const char* format)
{
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void printJson(const RunSummary& s)
{
    std::printf("{\"bodies\": %d, \"blocks\": %d, \"lattice\": %d, \"steps\": %ld, \"time_step\": %s, "
                "\"wall_seconds\": %s, \"steps_per_second\": %s, "
                "\"microseconds_per_step\": {\"median\": %s, \"p95\": %s, \"max\": %s}, "
                "\"colliding_pairs_per_step\": {\"mean\": %s, \"max\": %ld}, "
                "\"blocks_at_rest\": %d, \"lowest_block_centre\": %s, \"highest_block_centre\": %s, "
                "\"all_finite\": %s, \"hash\": \"%s\"}\n",
                s.bodies, s.blocks, s.lattice, s.steps,
                jsonNumber(static_cast<double>(PhysicalUniverse::timeStep), "%.9g").c_str(),
                jsonNumber(s.wallSeconds, "%.6f").c_str(),
                jsonNumber(static_cast<double>(s.steps) / s.wallSeconds, "%.1f").c_str(),
                jsonNumber(s.medianMicroseconds, "%.1f").c_str(),
                jsonNumber(s.p95Microseconds, "%.1f").c_str(), jsonNumber(s.maxMicroseconds, "%.1f").c_str(),
                jsonNumber(s.meanPairs, "%.3f").c_str(), s.maxPairs, s.finalState.blocksAtRest,
                jsonNumber(s.finalState.lowestBlockCentre, "%.9g").c_str(),
                jsonNumber(s.finalState.highestBlockCentre, "%.9g").c_str(),
                s.finalState.allFinite ? "true" : "false", hex(s.hash).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        if (!parseArguments(argc, argv, options)) {
            std::fputs(usageText, stdout);
            return 0;
        }
    } catch (const UsageError& error) {
        std::fprintf(stderr, "physics_headless: %s\n\n%s", error.message.c_str(), usageText);
        return exitUsage;
    }

    RunSummary summary;
    try {
        summary = run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "physics_headless: %s\n", error.what());
        return exitFailure;
    }

    if (options.json)
        printJson(summary);
    else
        printText(summary);

    if (options.checkHash && summary.hash != options.expectedHash) {
        std::fprintf(stderr, "physics_headless: final state hash %s differs from the expected %s\n",
                     hex(summary.hash).c_str(), hex(options.expectedHash).c_str());
        return exitFailure;
    }
    return 0;
}
