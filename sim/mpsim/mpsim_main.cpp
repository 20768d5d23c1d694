/*
 * mpsim: runs a scenario on the simulated machine and prints what Windows
 * would show. Without a scenario file it runs the built-in machine, one
 * board of each bus.
 *
 *   mpsim [--json] [--trace] [--seed N] [scenario.json]
 *
 * --seed picks how the simulated bus drivers complete requests (at once, at
 * DISPATCH_LEVEL, or later from another thread); the default is fixed, so
 * two runs without it are the same run. The seed is printed either way.
 *
 * Exit status: 0 when every port started and passed its checks and the
 * verifier recorded nothing; 1 otherwise; 2 for a bad command line or
 * scenario.
 */
#include "lower_completion.h"
#include "machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

int Usage(const char *why)
{
    std::fprintf(stderr, "mpsim: %s\nusage: mpsim [--json] [--trace] [--seed N] [scenario.json]\n", why);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    bool json = false, trace = false;
    const char *file = nullptr;
    uint32_t seed = sim::kDefaultCompletionSeed;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) json = true;
        else if (std::strcmp(argv[i], "--seed") == 0) {
            char *end = nullptr;
            if (i + 1 >= argc) return Usage("--seed needs a number");
            const unsigned long value = std::strtoul(argv[++i], &end, 0);
            if (*end != 0 || value > 0xFFFFFFFFul) return Usage("--seed needs a number");
            seed = uint32_t(value);
        }
        else if (std::strcmp(argv[i], "--trace") == 0) trace = true;
        else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: mpsim [--json] [--trace] [--seed N] [scenario.json]\n");
            return 0;
        }
        else if (argv[i][0] == '-') return Usage((std::string("unknown option ") + argv[i]).c_str());
        else if (file) return Usage("only one scenario file");
        else file = argv[i];
    }

    try {
        sim::Scenario scenario;
        if (file) {
            std::ifstream in(file);
            if (!in) return Usage((std::string("cannot read ") + file).c_str());
            std::stringstream text;
            text << in.rdbuf();
            scenario = sim::ParseScenario(text.str());
        } else {
            scenario = sim::BuiltinScenario();
        }
        sim::SetCompletionSeed(seed);
        sim::MachineReport report = sim::RunScenario(scenario);
        report.seed = seed;
        if (json) {
            std::cout << sim::RenderJson(report, trace);
        } else {
            std::cout << "mpsim: " << (file ? file : "built-in machine") << ", WDM " << scenario.wdmVersion
                      << ", seed " << seed << "\n\n"
                      << sim::RenderText(report, trace);
        }
        return report.Passed() ? 0 : 1;
    } catch (const sim::ScenarioError &e) {
        std::fprintf(stderr, "mpsim: %s: %s\n", file ? file : "built-in machine", e.what());
        return 2;
    }
}
