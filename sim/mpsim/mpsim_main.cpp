/*
 * mpsim: runs a scenario on the simulated machine and prints what Windows
 * would show. Without a scenario file it runs the built-in machine, one
 * board of each bus.
 *
 *   mpsim [--windows NAME] [--json] [--trace] [--seed N] [--boards N | scenario.json]
 *   mpsim [--windows NAME] --bench [--time]
 *   mpsim [--windows NAME] --sequence SEED [--steps N] [--seeds COUNT] [--no-moves] [--reduced WHY]
 *   mpsim [--windows NAME] --sweep [MODEL[,MODEL/VARIANT...]] [--fail N] [--trace] [--reduced WHY]
 *
 * --boards N runs a machine of N boards of the 23 models in turn, every
 * board started (the layout is in scenario.h). --bench measures what N more
 * PB8-A boards cost for N = 1, 64 and 512 (bench.h), judged by what it
 * counts; --time judges the CPU times as well. --sequence runs the
 * seeded Plug and Play sequence SEED (sequence.h) of N steps (40), printing
 * each step and the invariant that broke; with --seeds it runs COUNT seeds
 * from SEED quietly and prints each failing seed with the command that
 * replays it; --no-moves keeps every board at its ranges across restarts.
 * --sweep runs each board's life once per fallible call of the drivers with
 * that call failing (sweep.h); --fail N replays one of those runs of one
 * MODEL/VARIANT, and --trace shows each run's failed call and where the
 * failure surfaced. --reduced says that this run is a sample of the full
 * one and why: the run prints it first, as a line beginning "REDUCED:",
 * which make test gathers into its summary.
 *
 * --seed picks how the simulated bus drivers complete requests (at once, at
 * DISPATCH_LEVEL, or later from another thread); the default is fixed, so
 * two runs without it are the same run. The seed is printed either way.
 *
 * Exit status: 0 when every port started and passed its checks and the
 * verifier recorded nothing (--bench: every run was clean and the cost grew
 * linearly; --sweep: every run was clean); 1 when a check failed (a port
 * did not start or failed its checks, a verifier finding, a refusal no step
 * expected); 2 for bad usage or bad input (an unknown option, a scenario
 * file that cannot be read, is not JSON or breaks the format of
 * scenario.h), before anything runs. A scenario error is one line on
 * stderr: "mpsim: <file>: <path>: <what is wrong>; <what is allowed>".
 */
#include "bench.h"
#include "lower_completion.h"
#include "machine.h"
#include "scenario_command.h"
#include "sequence.h"
#include "sweep.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <chrono>

namespace {

const char kUsage[] = "usage: mpsim [--windows NAME] [--json] [--trace] [--seed N] [--boards N | scenario.json]\n"
                      "       mpsim [--windows NAME] --bench [--time]\n"
                      "       mpsim [--windows NAME] --sequence SEED [--steps N] [--seeds COUNT] [--no-moves] [--reduced WHY]\n"
                      "       mpsim [--windows NAME] --sweep [MODEL[,MODEL/VARIANT...]] [--fail N] [--trace] [--reduced WHY]\n"
                      "--windows: 2000 (default), xp, 2003, vista, 7, 8, 8.1, 10 or 11\n"
                      "exit status: 0 clean, 1 a check failed, 2 bad usage or bad input (the scenario file's\n"
                      "mistakes are named by their path in the file, before anything runs)\n";

int Usage(const char *why)
{
    std::fprintf(stderr, "mpsim: %s\n%s", why, kUsage);
    return 2;
}

// A decimal or 0x number up to |limit|, or false.
bool NumberArgument(const char *text, unsigned long limit, unsigned long *value)
{
    char *end = nullptr;
    *value = std::strtoul(text, &end, 0);
    return *text != 0 && *end == 0 && *value <= limit;
}

// One seed with every step printed, or COUNT seeds with the failing ones.
// How a replay line names the machine's Windows: nothing for the default.
std::string WindowsOption()
{
    const hk::Windows windows = sim::MachineWindows();
    return windows == hk::Windows::W2000 ? std::string() : std::string(" --windows ") + hk::WindowsInfo(windows).name;
}

int RunSequences(uint32_t first, unsigned long steps, unsigned long count, bool moves, bool printSteps)
{
    const auto began = std::chrono::steady_clock::now();
    size_t failed = 0, stepsRun = 0, checks = 0, calls = 0;
    for (unsigned long n = 0; n < count; ++n) {
        const uint32_t seed = uint32_t(first + n);
        std::ostringstream log;
        const sim::SequenceResult result = sim::RunSequence(seed, steps, moves, printSteps ? &std::cout : &log);
        stepsRun += result.steps;
        checks += result.invariantChecks;
        calls += result.interfaceCalls;
        if (result.passed) continue;
        ++failed;
        std::cout << "replay: mpsim" << WindowsOption() << " --sequence " << seed << " --steps " << steps << (moves ? "" : " --no-moves") << "\n";
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::cout << "mpsim --sequence: " << count << " seeds from " << first << ", " << stepsRun << " steps, " << checks
              << " invariant checks, " << calls << " interface calls from other threads, " << failed << " failed, "
              << seconds << " s\n";
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    bool json = false, trace = false, bench = false, judgeTime = false, sequence = false;
    unsigned long steps = sim::kDefaultSequenceSteps, seeds = 1;
    bool moves = true;
    bool sweep = false;
    std::vector<std::string> sweepNames;
    unsigned long failing = 0;
    const char *file = nullptr;
    const char *reduced = nullptr;
    unsigned long boards = 0;
    uint32_t seed = sim::kDefaultCompletionSeed;
    for (int i = 1; i < argc; ++i) {
        unsigned long value = 0;
        if (std::strcmp(argv[i], "--json") == 0) json = true;
        else if (std::strcmp(argv[i], "--seed") == 0) {
            if (i + 1 >= argc || !NumberArgument(argv[++i], 0xFFFFFFFFul, &value)) return Usage("--seed needs a number");
            seed = uint32_t(value);
        }
        // A board with its eight ports takes some 140 KB of the host's
        // 32-bit address space: a few thousand fit.
        else if (std::strcmp(argv[i], "--boards") == 0) {
            if (i + 1 >= argc || !NumberArgument(argv[++i], 4096, &boards) || boards == 0)
                return Usage("--boards needs a number from 1 to 4096");
        }
        else if (std::strcmp(argv[i], "--windows") == 0) {
            const hk::WindowsRelease *release = i + 1 < argc ? hk::ReleaseNamed(argv[++i]) : nullptr;
            if (release == nullptr) return Usage(("--windows needs one of " + hk::ReleaseNames()).c_str());
            sim::SetMachineWindows(release->id);
        }
        else if (std::strcmp(argv[i], "--bench") == 0) bench = true;
        else if (std::strcmp(argv[i], "--time") == 0) judgeTime = true;
        else if (std::strcmp(argv[i], "--sequence") == 0) {
            if (i + 1 >= argc || !NumberArgument(argv[++i], 0xFFFFFFFFul, &value))
                return Usage("--sequence needs a seed");
            seed = uint32_t(value);
            sequence = true;
        }
        else if (std::strcmp(argv[i], "--steps") == 0) {
            if (i + 1 >= argc || !NumberArgument(argv[++i], 100000, &steps) || steps == 0)
                return Usage("--steps needs a number from 1 to 100000");
        }
        else if (std::strcmp(argv[i], "--no-moves") == 0) moves = false;
        else if (std::strcmp(argv[i], "--seeds") == 0) {
            if (i + 1 >= argc || !NumberArgument(argv[++i], 1000000, &seeds) || seeds == 0)
                return Usage("--seeds needs a number from 1 to 1000000");
        }
        else if (std::strcmp(argv[i], "--sweep") == 0) {
            sweep = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                std::stringstream names(argv[++i]);
                for (std::string name; std::getline(names, name, ',');)
                    if (!name.empty()) sweepNames.push_back(name);
            }
        }
        else if (std::strcmp(argv[i], "--fail") == 0) {
            if (i + 1 >= argc || !NumberArgument(argv[++i], 0xFFFFFFFFul, &failing) || failing == 0)
                return Usage("--fail needs a call number from 1");
        }
        else if (std::strcmp(argv[i], "--trace") == 0) trace = true;
        else if (std::strcmp(argv[i], "--reduced") == 0) {
            if (i + 1 >= argc) return Usage("--reduced needs the reason");
            reduced = argv[++i];
        }
        else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s", kUsage);
            return 0;
        }
        else if (argv[i][0] == '-') return Usage((std::string("unknown option ") + argv[i]).c_str());
        else if (file) return Usage("only one scenario file");
        else file = argv[i];
    }
    if (file && boards) return Usage("a scenario file or --boards, not both");
    if (judgeTime && !bench) return Usage("--time judges the times of --bench");
    if (bench) return sim::RunBench(std::cout, judgeTime);
    if (failing && !sweep) return Usage("--fail replays a run of --sweep");
    if (reduced && !sweep && !sequence) return Usage("--reduced marks a sample of --sweep or --sequence");
    // A sample says so when it runs, before anything else it prints.
    if (reduced && sweep) {
        const size_t all = sim::SweepCases().size();
        const size_t run = sweepNames.empty() ? all : sweepNames.size();
        std::cout << "REDUCED: mpsim --sweep: " << run << " of the " << all << " cases, " << all - run
                  << " left out: " << reduced << "\n";
    }
    if (reduced && sequence)
        std::cout << "REDUCED: mpsim --sequence: " << seeds << " seeds from " << seed << "; " << reduced << "\n";
    if (sweep) return sim::SweepCommand(sweepNames, unsigned(failing), trace, std::cout);
    if (sequence) return RunSequences(seed, steps, seeds, moves, seeds == 1);

    sim::ScenarioCommandOptions options;
    options.file = file;
    options.boards = boards;
    options.json = json;
    options.trace = trace;
    options.seed = seed;
    return sim::RunScenarioCommand(options, std::cout, std::cerr);
}
