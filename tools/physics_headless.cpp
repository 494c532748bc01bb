// physics_headless: runs the program's scene, or any scene file, without a
// window and reports how fast the steps ran and where the bodies ended up, with
// a hash of the final state.
#include "physics/PhysicalUniverse.h"
#include "scene/PhysicsTestScene.h"
#include "scene/SceneFile.h"
#include "scene/SceneOutput.h"
#include "scene/SettlingFigures.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using Tolvane::PhysicsTestScene;
using Tolvane::Physics::PhysicalUniverse;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

/// Exit status for a final hash that differs from --expect-hash, and for a run that failed.
constexpr int exitFailure = 1;
/// Exit status for arguments or a scene file that cannot be used; nothing was simulated.
constexpr int exitUsage = 2;
/// Default run: ten simulated seconds.
constexpr long defaultSteps = 400;
/// More steps than anyone needs; keeps the per-step timing table bounded.
constexpr long maxSteps = 100000000;
/// Runs longer than this show progress on standard error ...
constexpr double progressAfterSeconds = 2.0;
/// ... once per this many seconds.
constexpr double progressEverySeconds = 1.0;

struct Options {
    long steps = defaultSteps;
    int lattice = PhysicsTestScene::defaultLatticeSize;
    std::string dataFolder;
    std::string scenePath;
    std::optional<unsigned> seed;
    bool json = false;
    std::string csvPath;
    std::string statePath;
    std::string tracePath;
    long traceEvery = 1;
    std::optional<std::uint64_t> expectedHash;
    std::optional<Tolvane::Physics::ResponseKind> response;
    bool noSleep = false;
    int threads = 0;
};

/// Accepts up to 16 hexadecimal digits, with or without 0x.
std::string checkHash(const std::string& text, std::uint64_t& value)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    const bool allHex = !digits.empty() && digits.size() <= 16 &&
                        digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (!allHex)
        return "needs up to 16 hexadecimal digits, not \"" + text + "\"";
    value = std::strtoull(digits.c_str(), nullptr, 16);
    return std::string();
}

void describeOptions(CLI::App& app, Options& options)
{
    app.description("Runs the physics test scene, or a scene file, without a window and prints a summary.");
    app.add_option("--steps", options.steps, "simulate N steps of 0.025 s (default 400)")
        ->check(CLI::Range(1L, maxSteps));
    auto* scene =
        app.add_option("--scene", options.scenePath, "run the scene file FILE instead of the built-in scene")
            ->type_name("FILE");
    app.add_option("--lattice", options.lattice,
                   "N x N x N blocks in the built-in scene, 1 to 12 (default 5)")
        ->check(CLI::Range(1, PhysicsTestScene::maxLatticeSize))
        ->excludes(scene);
    app.add_option("--data", options.dataFolder,
                   "folder holding SimpleCube.ac and Floor.ac (default: working directory)")
        ->type_name("DIR")
        ->check([](const std::string& folder) { return folder.empty() ? "--data needs a folder" : ""; })
        ->excludes(scene);
    const std::map<std::string, Tolvane::Physics::ResponseKind> responses{
        {"solver", Tolvane::Physics::ResponseKind::solver},
        {"designed", Tolvane::Physics::ResponseKind::designed}};
    app.add_option("--response", options.response,
                   "collision response: solver (contacts solved together, the default) or designed")
        ->transform(CLI::CheckedTransformer(responses, CLI::ignore_case))
        ->type_name("KIND");
    app.add_flag("--no-sleep", options.noSleep, "never put still islands to sleep")->disable_flag_override();
    app.add_option("--threads", options.threads,
                   "threads of the solver response's narrow phase and solver (default: the machine's cores); "
                   "every result is the same for every number; above four times the cores, that many")
        ->check(CLI::PositiveNumber);
    app.add_option("--seed", options.seed,
                   "srand(N) before building, so that rand() jitter starts from seed N");
    app.add_flag("--json", options.json, "print the summary as one JSON object")->disable_flag_override();
    app.add_option("--csv", options.csvPath, "write one row per step to FILE")->type_name("FILE");
    app.add_option("--state", options.statePath, "write every body's final state to FILE as JSON")
        ->type_name("FILE");
    auto* trace =
        app.add_option("--trace", options.tracePath, "write every body's pose and velocities to FILE as CSV")
            ->type_name("FILE");
    app.add_option("--trace-every", options.traceEvery, "trace every K steps (default 1)")
        ->check(CLI::Range(1L, maxSteps))
        ->needs(trace);
    app.add_option_function<std::string>(
           "--expect-hash",
           [&options](const std::string& text) {
               std::uint64_t value = 0;
               if (const std::string problem = checkHash(text, value); !problem.empty())
                   throw CLI::ValidationError("--expect-hash", problem);
               options.expectedHash = value;
           },
           "exit with status 1 if the final state hash is not H (hexadecimal)")
        ->type_name("H");
    for (const char* name : {"--csv", "--state", "--trace"})
        app.get_option(name)->check(
            [](const std::string& path) { return path.empty() ? "needs a file name" : std::string(); });
}

/// The peak resident set of the process so far, in kilobytes (0 when the
/// system does not tell).
long peakMemoryKb()
{
    rusage usage{};
    return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

struct RunSummary {
    std::string scene;
    int bodies = 0;
    int blocks = 0;
    int lattice = 0;
    long steps = 0;
    double wallSeconds = 0.0;
    /// The most memory the process held in RAM at once, loading included (0: unknown).
    long peakMemoryKb = 0;
    /// The steps alone, without the runner's own figures and output: what the
    /// peer engines' harness times too.
    double meanMicroseconds = 0.0;
    double medianMicroseconds = 0.0;
    double p95Microseconds = 0.0;
    double maxMicroseconds = 0.0;
    double meanPairs = 0.0;
    long maxPairs = 0;
    Tolvane::SceneMeasures finalState;
    Tolvane::SettlingSummary settling;
    /// Microseconds spent in each phase over the whole run.
    Tolvane::Physics::PhaseTimes phases;
    std::string response;
    bool sleeping = true;
    int threads = 1;
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

std::ofstream openOutput(const std::string& path)
{
    std::ofstream file(path);
    if (!file)
        throw std::runtime_error("cannot write " + path);
    return file;
}

void closeOutput(std::ofstream& file, const std::string& path)
{
    file.close();
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

/// What a step spent outside the broad phase, narrow phase, solver and integration.
double restOf(double stepMicroseconds, const Tolvane::Physics::PhaseTimes& t)
{
    return std::max(0.0, stepMicroseconds - t.broadPhase - t.narrowPhase - t.solver - t.integration);
}

/// The files a run writes besides its summary, each open only when asked for.
struct RunFiles {
    std::ofstream csv;
    std::ofstream state;
    std::unique_ptr<Tolvane::TraceWriter> trace;
};

/// Opens every output before the first step, so that a bad path fails at once;
/// the trace gets the starting state.
RunFiles openRunFiles(const Options& options, const PhysicsTestScene& scene)
{
    RunFiles files;
    if (!options.csvPath.empty()) {
        files.csv = openOutput(options.csvPath);
        files.csv
            << "step,microseconds,colliding_pairs,contact_points,awake_bodies,kinetic_energy,largest_speed,"
               "lowest_block_centre,broad_phase_us,narrow_phase_us,solver_us,integration_us,rest_us,"
               "deepest_pair_penetration,deepest_fixed_penetration\n";
        files.csv.precision(9);
    }
    if (!options.statePath.empty())
        files.state = openOutput(options.statePath);
    if (!options.tracePath.empty()) {
        files.trace = std::make_unique<Tolvane::TraceWriter>(options.tracePath);
        files.trace->write(0, scene);
    }
    return files;
}

void writeCsvRow(std::ofstream& csv, long step, double us, long pairs,
                 const Tolvane::Physics::ContactStepStatistics& contacts, const PhysicsTestScene& scene)
{
    const Tolvane::SceneMeasures m = scene.measure();
    const Tolvane::Physics::PhaseTimes& t = contacts.time;
    csv << step << ',' << us << ',' << pairs << ',' << contacts.contactPoints << ',' << contacts.awakeBodies
        << ',' << m.kineticEnergy << ',' << m.largestSpeed << ',' << m.lowestBlockCentre << ','
        << t.broadPhase << ',' << t.narrowPhase << ',' << t.solver << ',' << t.integration << ','
        << restOf(us, t) << ',' << -contacts.deepestPairSeparation << ',' << -contacts.deepestFixedSeparation
        << '\n';
}

/// What the run adds up step by step: each step's time, the phases' times and
/// the pairs in contact.
struct StepTally {
    std::vector<double> microseconds;
    /// Summed over the run; other holds everything outside the four phases.
    Tolvane::Physics::PhaseTimes phases;
    long totalPairs = 0;
    long maxPairs = 0;

    void add(double us, long pairs, const Tolvane::Physics::ContactStepStatistics& contacts)
    {
        microseconds.push_back(us);
        totalPairs += pairs;
        maxPairs = std::max(maxPairs, pairs);
        phases.broadPhase += contacts.time.broadPhase;
        phases.narrowPhase += contacts.time.narrowPhase;
        phases.solver += contacts.time.solver;
        phases.integration += contacts.time.integration;
        phases.other += restOf(us, contacts.time);
    }
};

/// Progress of a long run on standard error: in place on a terminal, a line
/// at a time otherwise.
class Progress {
  public:
    void show(long step, long steps, double elapsed)
    {
        if (elapsed < next_ || step >= steps)
            return;
        std::fprintf(stderr, "%sphysics_headless: step %ld of %ld, %.0f s%s", onTerminal_ ? "\r" : "", step,
                     steps, elapsed, onTerminal_ ? "" : "\n");
        std::fflush(stderr);
        shown_ = true;
        next_ = elapsed + progressEverySeconds;
    }
    void finish() const
    {
        if (shown_ && onTerminal_)
            std::fputs("\n", stderr);
    }

  private:
    bool onTerminal_ = isatty(STDERR_FILENO) != 0;
    bool shown_ = false;
    double next_ = progressAfterSeconds;
};

RunSummary summarize(const Options& options, const PhysicsTestScene& scene, StepTally& tally,
                     const Tolvane::SettlingFigures& figures)
{
    RunSummary summary;
    summary.scene = scene.description().source;
    summary.bodies = static_cast<int>(scene.bodies().size());
    summary.blocks = scene.blockCount();
    summary.lattice = options.scenePath.empty() ? options.lattice : 0;
    summary.steps = options.steps;
    std::vector<double>& microseconds = tally.microseconds;
    summary.meanMicroseconds = std::accumulate(microseconds.begin(), microseconds.end(), 0.0) /
                               static_cast<double>(microseconds.size());
    std::sort(microseconds.begin(), microseconds.end());
    summary.medianMicroseconds = median(microseconds);
    summary.p95Microseconds = percentile(microseconds, 0.95);
    summary.maxMicroseconds = microseconds.back();
    summary.meanPairs = static_cast<double>(tally.totalPairs) / static_cast<double>(options.steps);
    summary.maxPairs = tally.maxPairs;
    summary.finalState = scene.measure();
    summary.settling = figures.summary();
    summary.phases = tally.phases;
    summary.response = PhysicalUniverse::contactSettings.response == Tolvane::Physics::ResponseKind::solver
                           ? "solver"
                           : "designed";
    summary.sleeping = PhysicalUniverse::contactSettings.sleeping;
    summary.threads = PhysicalUniverse::threads();
    summary.hash = scene.stateHash();
    return summary;
}

void writeState(std::ofstream& state, const std::string& path, const RunSummary& summary,
                const PhysicsTestScene& scene)
{
    const Json document = {{"scene", summary.scene},
                           {"steps", summary.steps},
                           {"hash", Tolvane::hexHash(summary.hash)},
                           {"bodies", Tolvane::bodyStates(scene)}};
    state << document.dump(1) << '\n';
    closeOutput(state, path);
}

RunSummary run(const Options& options, PhysicsTestScene& scene)
{
    RunFiles files = openRunFiles(options, scene);

    // The designed response's colliding pairs are counted on its signal; the
    // solver counts its pairs in contact itself, and a listener would only
    // slow its steps down.
    long pairsThisStep = 0;
    const bool designed =
        PhysicalUniverse::contactSettings.response == Tolvane::Physics::ResponseKind::designed;
    if (designed)
        PhysicalUniverse::collisionSignal.connect([&pairsThisStep](auto) { ++pairsThisStep; });
    Tolvane::SettlingFigures figures(scene);
    const Tolvane::Physics::ContactStepStatistics& contacts = PhysicalUniverse::contactStatistics();

    StepTally tally;
    tally.microseconds.reserve(static_cast<std::size_t>(options.steps));
    Progress progress;
    const auto start = Clock::now();
    for (long step = 1; step <= options.steps; ++step) {
        pairsThisStep = 0;
        const auto before = Clock::now();
        PhysicalUniverse::step();
        const auto after = Clock::now();
        const double us = std::chrono::duration<double, std::micro>(after - before).count();
        if (!designed)
            pairsThisStep = contacts.touchingPairs;
        tally.add(us, pairsThisStep, contacts);
        figures.record(step, -contacts.deepestPairSeparation, -contacts.deepestFixedSeparation);
        if (files.csv.is_open())
            writeCsvRow(files.csv, step, us, pairsThisStep, contacts, scene);
        if (files.trace && (step % options.traceEvery == 0 || step == options.steps))
            files.trace->write(step, scene);
        progress.show(step, options.steps, std::chrono::duration<double>(after - start).count());
    }
    const auto end = Clock::now();
    progress.finish();
    if (files.csv.is_open())
        closeOutput(files.csv, options.csvPath);
    if (files.trace)
        files.trace->close();

    RunSummary summary = summarize(options, scene, tally, figures);
    summary.wallSeconds = std::chrono::duration<double>(end - start).count();
    summary.peakMemoryKb = peakMemoryKb();
    if (files.state.is_open())
        writeState(files.state, options.statePath, summary, scene);
    return summary;
}

void printText(const RunSummary& s)
{
    if (s.lattice > 0)
        std::printf("physics_headless: %d bodies (floor and %d blocks, lattice %d), %ld steps of %g s\n",
                    s.bodies, s.blocks, s.lattice, s.steps, static_cast<double>(PhysicalUniverse::timeStep));
    else
        std::printf("physics_headless: %s: %d bodies (%d fixed, %d movable), %ld steps of %g s\n",
                    s.scene.c_str(), s.bodies, s.bodies - s.blocks, s.blocks, s.steps,
                    static_cast<double>(PhysicalUniverse::timeStep));
    std::printf("wall time             %.3f s\n", s.wallSeconds);
    std::printf("steps per second      %.1f\n", static_cast<double>(s.steps) / s.wallSeconds);
    std::printf("peak memory           %ld KB\n", s.peakMemoryKb);
    std::printf("microseconds per step mean %.1f, median %.1f, 95th percentile %.1f, maximum %.1f\n",
                s.meanMicroseconds, s.medianMicroseconds, s.p95Microseconds, s.maxMicroseconds);
    std::printf("colliding pairs       %.2f per step on average, %ld at most\n", s.meanPairs, s.maxPairs);
    const double n = static_cast<double>(s.steps);
    std::printf("phases, mean us/step  broad %.1f, narrow %.1f, solver %.1f, integration %.1f, rest %.1f\n",
                s.phases.broadPhase / n, s.phases.narrowPhase / n, s.phases.solver / n,
                s.phases.integration / n, s.phases.other / n);
    std::printf("response              %s, sleeping %s, %d threads\n", s.response.c_str(),
                s.sleeping ? "on" : "off", s.threads);
    std::printf("blocks at rest        %d of %d\n", s.finalState.blocksAtRest, s.blocks);
    const Tolvane::SettlingSummary& f = s.settling;
    if (f.settledStep)
        std::printf("settled at step       %ld\n", *f.settledStep);
    else
        std::printf("settled at step       none\n");
    std::printf("blocks asleep         %d\n", f.blocksAsleep);
    std::printf("blocks off the floor  %d (through it: %d)\n", f.blocksOffFloor, f.blocksThroughFloor);
    std::printf("lowest centre over the floor during the run %.6f\n",
                static_cast<double>(f.lowestCentreOverFloor));
    const auto afterSettling = [](const std::optional<float>& value) {
        return value ? std::to_string(*value) : std::string("none");
    };
    std::printf("deepest floor penetration %.6f over the run, %s after settling\n",
                static_cast<double>(f.deepestFloorPenetration),
                afterSettling(f.floorPenetrationAfterSettling).c_str());
    std::printf("deepest pair penetration  %.6f over the run, %s after settling\n",
                static_cast<double>(f.deepestPairPenetration),
                afterSettling(f.pairPenetrationAfterSettling).c_str());
    std::printf("deepest fixed-body contact %.6f over the run, %s after settling\n",
                static_cast<double>(f.deepestFixedPenetration),
                afterSettling(f.fixedPenetrationAfterSettling).c_str());
    std::printf("lowest block centre   %.6f\n", static_cast<double>(s.finalState.lowestBlockCentre));
    std::printf("highest block centre  %.6f\n", static_cast<double>(s.finalState.highestBlockCentre));
    std::printf("all numbers finite    %s\n", s.finalState.allFinite ? "yes" : "no");
    std::printf("final state hash      %s\n", Tolvane::hexHash(s.hash).c_str());
}

/// JSON has no literal for infinity or not-a-number.
Json finiteOrNull(double value)
{
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

Json optionalJson(const std::optional<float>& value)
{
    return value ? Json(*value) : Json(nullptr);
}

void printJson(const RunSummary& s)
{
    const Json summary = {
        {"scene", s.scene},
        {"bodies", s.bodies},
        {"blocks", s.blocks},
        {"lattice", s.lattice > 0 ? Json(s.lattice) : Json(nullptr)},
        {"steps", s.steps},
        {"time_step", static_cast<double>(PhysicalUniverse::timeStep)},
        {"wall_seconds", s.wallSeconds},
        {"steps_per_second", finiteOrNull(static_cast<double>(s.steps) / s.wallSeconds)},
        {"peak_memory_kb", s.peakMemoryKb},
        {"microseconds_per_step",
         {{"mean", s.meanMicroseconds},
          {"median", s.medianMicroseconds},
          {"p95", s.p95Microseconds},
          {"max", s.maxMicroseconds}}},
        {"colliding_pairs_per_step", {{"mean", s.meanPairs}, {"max", s.maxPairs}}},
        {"phase_microseconds_per_step",
         {{"broad_phase", s.phases.broadPhase / static_cast<double>(s.steps)},
          {"narrow_phase", s.phases.narrowPhase / static_cast<double>(s.steps)},
          {"solver", s.phases.solver / static_cast<double>(s.steps)},
          {"integration", s.phases.integration / static_cast<double>(s.steps)},
          {"rest", s.phases.other / static_cast<double>(s.steps)}}},
        {"response", s.response},
        {"sleeping", s.sleeping},
        {"threads", s.threads},
        {"blocks_at_rest", s.finalState.blocksAtRest},
        {"settled_step", s.settling.settledStep ? Json(*s.settling.settledStep) : Json(nullptr)},
        {"blocks_asleep", s.settling.blocksAsleep},
        {"blocks_off_floor", s.settling.blocksOffFloor},
        {"blocks_through_floor", s.settling.blocksThroughFloor},
        {"lowest_centre_over_floor", finiteOrNull(s.settling.lowestCentreOverFloor)},
        {"deepest_floor_penetration",
         {{"run", s.settling.deepestFloorPenetration},
          {"after_settling", optionalJson(s.settling.floorPenetrationAfterSettling)}}},
        {"deepest_pair_penetration",
         {{"run", s.settling.deepestPairPenetration},
          {"after_settling", optionalJson(s.settling.pairPenetrationAfterSettling)}}},
        {"deepest_fixed_penetration",
         {{"run", s.settling.deepestFixedPenetration},
          {"after_settling", optionalJson(s.settling.fixedPenetrationAfterSettling)}}},
        {"lowest_block_centre", finiteOrNull(s.finalState.lowestBlockCentre)},
        {"highest_block_centre", finiteOrNull(s.finalState.highestBlockCentre)},
        {"all_finite", s.finalState.allFinite},
        {"hash", Tolvane::hexHash(s.hash)}};
    std::printf("%s\n", summary.dump().c_str());
}

/// The scene the options ask for. A scene file that cannot be used is reported
/// as a usage fault: nothing has been simulated.
std::unique_ptr<PhysicsTestScene> buildScene(const Options& options)
{
    if (options.seed)
        std::srand(*options.seed);
    auto scene = options.scenePath.empty()
                     ? std::make_unique<PhysicsTestScene>(options.dataFolder, options.lattice)
                     : std::make_unique<PhysicsTestScene>(Tolvane::loadSceneFile(options.scenePath));
    // The command line has the last word over the scene's own settings.
    if (options.response)
        PhysicalUniverse::contactSettings.response = *options.response;
    if (options.noSleep)
        PhysicalUniverse::contactSettings.sleeping = false;
    PhysicalUniverse::setThreads(options.threads);
    if (options.threads > PhysicalUniverse::threads())
        std::fprintf(
            stderr,
            "physics_headless: --threads %d is more than this machine allows; running as --threads %d "
            "(every result is the same for every number)\n",
            options.threads, PhysicalUniverse::threads());
    // Started here, so that the first timed step does not pay for it.
    PhysicalUniverse::startThreads();
    // The solver builds a model's hulls, and a concave part's triangle tree,
    // on first use: built here, as other engines build their shapes before
    // they step, so that the first step times the step alone.
    if (PhysicalUniverse::contactSettings.response == Tolvane::Physics::ResponseKind::solver)
        for (const auto& body : scene->bodies())
            if (body->model)
                body->model->hulls();
    return scene;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    CLI::App app;
    app.name("physics_headless");
    describeOptions(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "physics_headless: %s\n\n%s", error.what(), app.help().c_str());
        return exitUsage;
    }

    std::unique_ptr<PhysicsTestScene> scene;
    try {
        scene = buildScene(options);
    } catch (const Tolvane::SceneFileError& error) {
        std::fprintf(stderr, "physics_headless: %s\n", error.what());
        return exitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "physics_headless: %s\n", error.what());
        return exitFailure;
    }

    RunSummary summary;
    try {
        summary = run(options, *scene);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "physics_headless: %s\n", error.what());
        return exitFailure;
    }

    if (options.json)
        printJson(summary);
    else
        printText(summary);

    if (options.expectedHash && summary.hash != *options.expectedHash) {
        std::fprintf(stderr, "physics_headless: final state hash %s differs from the expected %s\n",
                     Tolvane::hexHash(summary.hash).c_str(), Tolvane::hexHash(*options.expectedHash).c_str());
        return exitFailure;
    }
    return 0;
}
