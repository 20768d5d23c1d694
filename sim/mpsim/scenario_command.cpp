#include "scenario_command.h"

#include "lower_completion.h"
#include "machine.h"

#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>

namespace sim {

namespace {

// The line above the text report: the machine, its Windows, WDM and seed.
void PrintHeading(const ScenarioCommandOptions &options, const Scenario &scenario, std::ostream &out)
{
    const std::string machine = options.boards ? std::to_string(options.boards) + " boards"
                                : options.file ? options.file
                                               : "built-in machine";
    const hk::WindowsRelease &windows = hk::WindowsInfo(scenario.windows.value_or(MachineWindows()));
    char wdm[8];
    std::snprintf(wdm, sizeof wdm, "%u.%02x", windows.wdmMajor, windows.wdmMinor);
    out << "mpsim: " << machine << ", " << windows.title << ", WDM "
        << (scenario.wdmVersionGiven ? scenario.wdmVersion : std::string(wdm)) << ", seed " << options.seed << "\n\n";
}

}  // namespace

int RunScenarioCommand(const ScenarioCommandOptions &options, std::ostream &out, std::ostream &err)
{
    const std::string source = options.file ? options.file : "built-in machine";
    Scenario scenario;
    MachineReport report;
    try {
        if (options.boards) {
            scenario = ManyBoardsScenario(options.boards);
        } else if (options.file) {
            std::ifstream in(options.file);
            if (!in) {
                err << "mpsim: " << source << ": cannot read the file; expected a scenario file (JSON)\n";
                return 2;
            }
            std::stringstream text;
            text << in.rdbuf();
            scenario = ParseScenario(text.str());
        } else {
            scenario = BuiltinScenario();
        }
        SetCompletionSeed(options.seed);
        report = RunScenario(scenario);  // its own checks come before the machine runs
    } catch (const ScenarioError &e) {
        err << "mpsim: " << source << ": " << e.what() << "\n";
        return 2;
    }
    report.seed = options.seed;
    if (options.json) {
        out << RenderJson(report, options.trace);
    } else {
        PrintHeading(options, scenario, out);
        out << RenderText(report, options.trace);
    }
    return report.Passed() ? 0 : 1;
}

}  // namespace sim
