// Scenario files as mpsim reads them: fields, defaults and the errors that
// name what is wrong.
#include "scenario.h"
#include "scenario_command.h"

#include "support/kernel_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

TEST(Scenario, BuiltinMachineHasOneBoardOfEachBusOnSeparateRanges)
{
    const sim::Scenario s = sim::BuiltinScenario();
    ASSERT_EQ(s.boards.size(), 3u);
    EXPECT_EQ(s.boards[0].bus, sim::BusKind::Pci);
    EXPECT_EQ(s.boards[1].bus, sim::BusKind::Pcmcia);
    EXPECT_EQ(s.boards[2].bus, sim::BusKind::Root);
    EXPECT_EQ(s.boards[0].ports, 4u);
    EXPECT_EQ(s.boards[1].ports, 2u);
    EXPECT_EQ(s.boards[2].ports, 8u);
    EXPECT_EQ(s.boards[2].resources.uartLength, 64u);
    EXPECT_NE(s.boards[0].resources.bridgeBase, 0u);
    // No two ranges of the machine overlap.
    std::vector<std::pair<ULONG, ULONG>> ranges;
    for (const sim::BoardScenario &b : s.boards) {
        ranges.push_back({b.resources.uartBase, b.resources.uartLength});
        if (b.resources.bridgeBase) ranges.push_back({b.resources.bridgeBase, 128});
    }
    for (size_t i = 0; i < ranges.size(); ++i)
        for (size_t j = i + 1; j < ranges.size(); ++j)
            EXPECT_FALSE(ranges[i].first < ranges[j].first + ranges[j].second &&
                         ranges[j].first < ranges[i].first + ranges[i].second)
                << i << " and " << j;
    ASSERT_EQ(s.steps.size(), 1u);
    EXPECT_EQ(s.steps[0].kind, sim::ScenarioStep::Kind::Start);
    EXPECT_EQ(s.wdmMajor, 1);
    EXPECT_EQ(s.wdmMinor, 0x10);
    EXPECT_FALSE(s.filterDebugLevel);
}

TEST(Scenario, EveryFieldIsRead)
{
    const sim::Scenario s = sim::ParseScenario(R"({
        "wdm_version": "1.20", "filter_debug_level": 4, "memory_window": "0x3FE000000",
        "boards": [{
            "bus": "pcmcia", "hardware_ids": ["PCMCIA\\X-05D3-0045", "PCMCIA\\X"],
            "io_base": "0x2A0", "interrupt": 9, "ports_in_memory_space": true,
            "status_register": "scratch", "ports": 3,
            "option_registers": {"present": false, "option": 2, "mode_high": "settable"},
            "registry": {"HWOR": 5, "Name": "x"}
        }, {"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0050"], "bridge_base": "E080"}],
        "steps": ["start", {"stop": 0}, {"restart": 1, "io_base": "0x400", "bridge_base": "0x480"},
                  {"remove": 0}, {"surprise_remove": 1}, {"power": "sleep"}, {"power": "wake"}]
    })");
    EXPECT_EQ(s.wdmMinor, 0x20);
    EXPECT_TRUE(s.wdmVersionGiven);
    EXPECT_FALSE(s.windows) << "the machine's Windows unless named";
    EXPECT_EQ(hk::Windows::W81, sim::ParseScenario(R"({"windows": "8.1"})").windows);
    EXPECT_EQ(*s.filterDebugLevel, 4u);
    const sim::BoardScenario &card = s.boards[0];
    EXPECT_THAT(card.hardwareIds, ElementsAre("PCMCIA\\X-05D3-0045", "PCMCIA\\X"));
    EXPECT_EQ(card.resources.uartBase, 0x2A0u);
    EXPECT_EQ(card.resources.uartLength, 24u);  // the explicit port count wins
    EXPECT_EQ(card.resources.interrupt, 9u);
    EXPECT_TRUE(card.resources.inMemorySpace);
    for (const sim::BoardScenario &board : s.boards) EXPECT_EQ(board.resources.memoryWindow, 0x3FE000000u);
    EXPECT_TRUE(card.scratchStatusRegister);
    ASSERT_TRUE(card.optionRegisters);
    EXPECT_FALSE(card.optionRegisters->present);
    EXPECT_FALSE(card.optionRegisters->option.settable);
    EXPECT_EQ(card.optionRegisters->option.value, 2u);
    EXPECT_TRUE(card.optionRegisters->modeLow.settable);
    EXPECT_TRUE(card.optionRegisters->modeHigh.settable);
    ASSERT_EQ(card.registry.size(), 2u);
    EXPECT_EQ(card.registry[0].first, "HWOR");
    EXPECT_EQ(card.registry[0].second.type, ULONG(REG_DWORD));
    ULONG hwor = 0;
    std::memcpy(&hwor, card.registry[0].second.data.data(), sizeof(hwor));
    EXPECT_EQ(hwor, 5u);
    EXPECT_EQ(card.registry[1].second.type, ULONG(REG_SZ));

    EXPECT_EQ(s.boards[1].ports, 8u);  // DEV_005x: the eight-port product
    EXPECT_EQ(s.boards[1].resources.bridgeBase, 0xE080u);

    using Kind = sim::ScenarioStep::Kind;
    ASSERT_EQ(s.steps.size(), 7u);
    EXPECT_EQ(s.steps[1].kind, Kind::Stop);
    EXPECT_EQ(s.steps[2].kind, Kind::Restart);
    EXPECT_EQ(s.steps[2].board, 1u);
    EXPECT_EQ(*s.steps[2].ioBase, 0x400u);
    EXPECT_EQ(*s.steps[2].bridgeBase, 0x480u);
    EXPECT_EQ(s.steps[3].kind, Kind::Remove);
    EXPECT_EQ(s.steps[4].kind, Kind::SurpriseRemove);
    EXPECT_EQ(s.steps[5].kind, Kind::Sleep);
    EXPECT_EQ(s.steps[6].kind, Kind::Wake);
}

TEST(Scenario, MistakesAreNamed)
{
    const std::pair<const char *, const char *> cases[] = {
        {"[1]", "scenario"},
        {"{", "not JSON"},
        {R"({"boards": [{"bus": "eisa", "hardware_ids": []}]})", "boards[0].bus"},
        {R"({"boards": [{"bus": "pci"}]})", "hardware_ids"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"], "io_base": "0xZZ"}]})", "boards[0].io_base"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"], "io_base": "0x100000000"}]})", "boards[0].io_base"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"], "ports": 9}]})", "boards[0].ports"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"], "status_register": "rw"}]})", "status_register"},
        {R"({"boards": [], "steps": [{"stop": 0}]})", "steps[0].stop"},
        {R"({"steps": [{"power": "hibernate"}]})", "steps[0].power"},
        {R"({"steps": ["reboot"]})", "steps[0]"},
        {R"({"wdm_version": "one"})", "wdm_version"},
        {R"({"memory_window": "0x1FFFFFFFFFFFFFFFF"})", "memory_window: \"0x1FFFFFFFFFFFFFFFF\" is out of range"},
        {R"({"memory_window": "0xFFFFFFFFFFFF0001"})", "memory_window"},
        {R"({"windows": "95"})", "windows: unknown value \"95\"; expected one of 2000, xp, 2003, vista, 7, 8, 8.1, 10, 11"},
        {R"({"windows": 11})", "windows: 11 is a number"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": []}]})", "boards[0].hardware_ids: an empty list"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"], "bridge_base": "0x80"}]})", "boards[0].bridge_base: unknown key in an isa board"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"], "io_base": "-1"}]})", "boards[0].io_base: \"-1\" is not a hex number"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"], "ports": 2, "io_base": "0xFFF8"}]})", "boards[0].io_base: \"0xFFF8\" is out of range; expected a hex string such as \"0x2A0\", up to 0xFFF0"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"], "option_registers": {"mode_high": 8}}]})", "boards[0].option_registers.mode_high: 8 is out of range"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"], "registry": {"HWOR": -1}}]})", "boards[0].registry.HWOR: -1 is out of range"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"]}], "steps": [{"stop": 0}]})", "steps[0].stop: board 0 is not in the machine yet"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"]}], "steps": ["start", {"stop": 0, "remove": 0}]})", "steps[1].remove: a second action"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"]}], "steps": ["start", {"surprise_remove": 0, "veto": "x"}]})", "steps[1].veto: unknown key in a \"surprise_remove\" step"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"]}], "steps": ["start", {"restart": 0, "bridge_base": "0x80"}]})", "steps[1].bridge_base: board 0 is not a PCI board"},
        {R"({"boards": [{"bus": "isa", "hardware_ids": ["X"]}], "steps": ["start", {"remove": 0, "veto": ""}]})", "steps[1].veto: an empty reason"},
        {R"({"steps": [{}]})", "steps[0]: an empty step"},
        {R"({"comment": ["shows", 2]})", "comment[1]: 2 is a number"},
        {R"({"expect": {"exit": 0, "sumary": {}}})", "expect.sumary: unknown key"},
    };
    for (const auto &c : cases) {
        try {
            sim::ParseScenario(c.first);
            ADD_FAILURE() << "accepted: " << c.first;
        } catch (const sim::ScenarioError &e) {
            EXPECT_THAT(e.what(), HasSubstr(c.second)) << c.first;
        }
    }
}

// The runs of the cases that get that far need a fresh kernel.
class ScenarioFileTest : public hk::test::KernelTest {};

// mpsim's exit status: 0 clean, 1 a check failed, 2 a mistake in the file,
// which is one line naming the key's place in the file, and nothing run.
TEST_F(ScenarioFileTest, ExitStatusAndTheMistakesPlaceInTheFile)
{
    const std::string board = R"({"bus": "isa", "hardware_ids": ["VELMORA_ISA_SERIAL_IB4AY"])";
    const auto machine = [&board](const std::string &boardKeys, const std::string &steps) {
        return R"({"boards": [)" + board + boardKeys + R"(}], "steps": ["start")" + steps + "]}";
    };
    const struct {
        std::string scenario;
        int status;
        const char *error;  // how the line on stderr begins, after "mpsim: <file>: "
    } cases[] = {
        {machine("", R"(, {"open": 0, "port": 4}, {"remove": 0, "veto": "port 4 is open"})"), 0, ""},
        {machine(R"(, "status_register": "scratch")", ""), 1, ""},
        {machine("", ", {\"remove\": 0, \"veto\": \"port 1 is open\"}"), 1, ""},
        {R"({"stpes": []})", 2, "stpes: unknown key"},
        {machine(R"(, "status_regster": "scratch")", ""), 2, "boards[0].status_regster: unknown key"},
        {machine("", R"(, {"remove": 0, "vetoo": "x"})"), 2, "steps[1].vetoo: unknown key"},
        {machine(R"(, "option_registers": {"mode_hi": 1})", ""), 2, "boards[0].option_registers.mode_hi: unknown key"},
        {machine(R"(, "ports": "4")", ""), 2, "boards[0].ports: \"4\" is a string"},
        {machine(R"(, "interrupt": 16)", ""), 2, "boards[0].interrupt: 16 is out of range"},
        {machine("", R"(, {"remove": 1})"), 2, "steps[1].remove: 1 is out of range"},
        {machine("", R"(, {"open": 0, "port": 5})"), 2, "steps[1].port: 5 is out of range"},
        {"{\"boards\": [\n}", 2, "line 2, column 1: not JSON"},
    };
    const std::string file = ::testing::TempDir() + "runner_test_scenario.json";
    for (const auto &c : cases) {
        std::ofstream(file) << c.scenario;
        std::ostringstream out, err;
        sim::ScenarioCommandOptions options;
        options.file = file.c_str();
        EXPECT_EQ(sim::RunScenarioCommand(options, out, err), c.status) << c.scenario << "\n" << err.str();
        if (c.status != 2) {
            EXPECT_EQ(err.str(), "") << c.scenario;
            continue;
        }
        const std::string line = err.str();
        EXPECT_EQ(line.rfind("mpsim: " + file + ": " + c.error, 0), 0u) << line;
        EXPECT_THAT(line, HasSubstr("; expected")) << "says what is allowed";
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
        EXPECT_EQ(out.str(), "") << "nothing ran";
    }
    std::remove(file.c_str());
}

TEST(Scenario, PortCountsFollowTheProductCatalogue)
{
    using sim::BusKind;
    EXPECT_EQ(sim::ProductPortCount(BusKind::Pci, {"PCI\\VEN_7A3E&DEV_0120"}), 4u);  // code 0x012
    EXPECT_EQ(sim::ProductPortCount(BusKind::Pci, {"pci\\ven_7a3e&dev_0190"}), 1u);
    EXPECT_EQ(sim::ProductPortCount(BusKind::Pci, {"PCI\\VEN_7A3E&DEV_0070"}), 0u);
    EXPECT_EQ(sim::ProductPortCount(BusKind::Pcmcia, {"PCMCIA\\B-05D3-0052"}), 2u);
    EXPECT_EQ(sim::ProductPortCount(BusKind::Pcmcia, {"PCMCIA\\B-05D3-0003"}), 0u);
    EXPECT_EQ(sim::ProductPortCount(BusKind::Root, {"VELMORA_ISA_SERIAL_IB4AXZ"}), 0u);
    EXPECT_EQ(sim::ProductPortCount(BusKind::Root, {"OTHER", "VELMORA_ISA_SERIAL_IB4BY"}), 4u);
    // An unknown product without a port count gets one UART.
    EXPECT_EQ(sim::ParseScenario(R"({"boards": [{"bus": "pci", "hardware_ids": ["PCI\\VEN_1\\X"]}]})")
                  .boards[0]
                  .ports,
              1u);
}

}  // namespace
