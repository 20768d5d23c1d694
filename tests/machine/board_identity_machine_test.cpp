// Every model of the three buses on the simulated machine: the Plug and Play
// manager loads mpsbus, the board is identified from the properties its bus
// reports and checked on its hardware, and the start ends with one port
// device per UART, named after the model, brand and board number, or fails
// where the board gives it reason to. mpsim's report shows what the bus
// driver made of the board.
#include "machine.h"
#include "serial_standin.h"

#include "support/kernel_test.h"
#include "support/long_runs.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

namespace {

constexpr ULONGLONG kWindow = 0xFE000000;

sim::MachineReport RunOneBoard(const std::string &bus, const std::string &id, const std::string &more = "")
{
    nlohmann::json board = {{"bus", bus}, {"hardware_ids", {id}}};
    if (!more.empty()) board.update(nlohmann::json::parse(more));
    const nlohmann::json scenario = {{"boards", {board}}};
    return sim::RunScenario(sim::ParseScenario(scenario.dump()));
}

// The register accesses of the run, by image and, for the bus driver's, by
// range: the bridge is the 128 bytes at the default bridge base of the first
// PCI board. The serial port driver's must all fall in the board's UART
// range; mpsfilt, which only rewrites resource lists, makes none.
struct Accesses {
    size_t bridge = 0, uarts = 0, inMemorySpace = 0;
    size_t bySerial = 0, bySerialOutsideUarts = 0, byOthers = 0;
};

Accesses AccessesOf(const sim::MachineReport &report, ULONGLONG window = 0)
{
    const sim::RangeView *uartRange = report.boards.empty() ? nullptr : &report.boards[0].driver.uart;
    const ULONG uartLength = report.boards.empty() ? 0 : 8 * report.boards[0].driver.ports;
    Accesses counted;
    for (const hk::IoAccess &a : report.ioLog) {
        if (a.image == sim::kSerialService) {
            ++counted.bySerial;
            if (!uartRange || a.port < uartRange->address || a.port >= uartRange->address + uartLength)
                ++counted.bySerialOutsideUarts;
            continue;
        }
        if (a.image != "mpsbus") {
            ++counted.byOthers;
            continue;
        }
        const ULONGLONG bridge = window + 0xD080;
        (a.port >= bridge && a.port < bridge + 0x80 ? counted.bridge : counted.uarts)++;
        counted.inMemorySpace += a.memorySpace;
    }
    return counted;
}

// The serial port driver's use of each port it starts: the modem control
// register read, the line programmed (five writes), interrupts disabled, the
// loopback (five accesses); where the board hands out its status register,
// six more to raise and clear the port's bit there.
constexpr size_t kSerialAccessesPerPort = 12;
constexpr size_t kSerialStatusCheckAccesses = 6;

struct Model {
    const char *name;
    const char *bus;
    const char *id;
    ULONG ports;
    bool bridgeSteps;  // a PCI model whose bridge is programmed
    const char *brand;
};

const Model kModels[] = {
    {"PB2-A", "pci", "PCI\\VEN_7A3E&DEV_0020", 2, true, "Velmora"},
    {"PB2-B", "pci", "PCI\\VEN_7A3E&DEV_0150", 2, true, "Velmora"},
    {"PB4-A", "pci", "PCI\\VEN_7A3E&DEV_0120", 4, true, "Velmora"},
    {"PB4-B", "pci", "PCI\\VEN_7A3E&DEV_0040", 4, true, "Velmora"},
    {"PB8-A", "pci", "PCI\\VEN_7A3E&DEV_0060", 8, true, "Velmora"},
    {"CB1-A", "pcmcia", "PCMCIA\\VELMORA-CB1A-05D3-004B", 1, false, "Velmora"},
    {"CB1-B", "pcmcia", "PCMCIA\\VELMORA-CB1B-05D3-000D", 1, false, "Velmora"},
    {"CB2-A", "pcmcia", "PCMCIA\\BRISEL-CB2A-05D3-0052", 2, false, "Brisel"},
    {"CB2-B", "pcmcia", "PCMCIA\\TARVO-CB2B-05D3-0023", 2, false, "Tarvo"},
    {"CB4-A", "pcmcia", "PCMCIA\\VELMORA-CB4A-05D3-0032", 4, false, "Velmora"},
    {"CB4-B", "pcmcia", "PCMCIA\\TARVO-CB4B-05D3-004F", 4, false, "Tarvo"},
    {"IB4-AX", "isa", "VELMORA_ISA_SERIAL_IB4AX", 4, false, "Velmora"},
    {"IB4-AY", "isa", "VELMORA_ISA_SERIAL_IB4AY", 4, false, "Velmora"},
    {"IB4-BX", "isa", "VELMORA_ISA_SERIAL_IB4BX", 4, false, "Velmora"},
    {"IB4-BY", "isa", "VELMORA_ISA_SERIAL_IB4BY", 4, false, "Velmora"},
    {"IB8-AX", "isa", "VELMORA_ISA_SERIAL_IB8AX", 8, false, "Velmora"},
    {"IB8-AY", "isa", "VELMORA_ISA_SERIAL_IB8AY", 8, false, "Velmora"},
    {"PL4-A", "pci", "PCI\\VEN_7A3E&DEV_0170", 4, false, "Velmora"},
    {"PL2-A", "pci", "PCI\\VEN_7A3E&DEV_0180", 2, false, "Velmora"},
    {"PL1-A", "pci", "PCI\\VEN_7A3E&DEV_0190", 1, false, "Velmora"},
    {"PL4-B", "pci", "PCI\\VEN_7A3E&DEV_01A0", 4, false, "Velmora"},
    {"PL2-B", "pci", "PCI\\VEN_7A3E&DEV_01B0", 2, false, "Velmora"},
    {"PL1-B", "pci", "PCI\\VEN_7A3E&DEV_01C0", 1, false, "Velmora"},
};

void PrintTo(const Model &model, std::ostream *out) { *out << model.name << " " << model.id; }

class EveryModelOnTheMachine : public hk::test::KernelTest, public ::testing::WithParamInterface<Model> {};

TEST_P(EveryModelOnTheMachine, IsIdentifiedCheckedAndGetsItsPorts)
{
    const Model &model = GetParam();
    const sim::MachineReport report = RunOneBoard(model.bus, model.id);
    ASSERT_EQ(report.boards.size(), 1u);
    const sim::BoardReport &board = report.boards[0];
    EXPECT_EQ(board.status, STATUS_SUCCESS);
    ASSERT_EQ(board.ports.size(), model.ports);
    const std::string n = std::to_string(model.ports);
    EXPECT_EQ(board.ports.back().deviceId, std::string(model.brand) + "MultiportSerial\\" + model.name + "_1");
    EXPECT_EQ(board.ports.back().instanceId, "PORT_" + n);
    EXPECT_EQ(board.ports.back().location, std::string(model.name) + " board 1 port " + n);

    const sim::BoardDriverView &driver = board.driver;
    ASSERT_TRUE(driver.seen);
    EXPECT_TRUE(driver.identified);
    EXPECT_EQ(driver.model, model.name);
    EXPECT_EQ(driver.number, "1") << "each model's counter starts at 1";
    EXPECT_EQ(driver.ports, model.ports);
    EXPECT_EQ(driver.brand, model.brand);
    EXPECT_TRUE(driver.uart.present);
    EXPECT_FALSE(driver.uart.mapped);
    EXPECT_EQ(driver.bridge.present, std::string(model.bus) == "pci");

    // Exactly the register steps the model calls for, and nothing else.
    const Accesses accesses = AccessesOf(report);
    EXPECT_EQ(accesses.bridge, model.bridgeSteps ? 5u : 0u);
    // The one PC Card here with option registers (-05D3-004B, device code
    // 75) also runs their presence signature and the option field's probe:
    // fifteen access sequences, none of the mode control register.
    const size_t optionAccesses = std::string(model.id).find("-05D3-004B") != std::string::npos ? 67u : 0u;
    EXPECT_EQ(accesses.uarts, (model.ports > 1 ? 12u : 0u) + optionAccesses);

    // Then each port's serial port driver starts on its own registers (PC
    // Cards hand out no status register) and uses them.
    const bool statusRegister = std::string(model.bus) != "pcmcia";
    for (const sim::PortReport &port : board.ports) {
        EXPECT_EQ(port.status, STATUS_SUCCESS) << port.location << ": " << port.problem;
        EXPECT_EQ(port.loopback, "ok") << port.location << ": " << port.checkDetail;
        EXPECT_EQ(port.statusRegister, statusRegister ? "ok" : "not run") << port.location << ": " << port.checkDetail;
    }
    EXPECT_EQ(accesses.bySerial,
              model.ports * (kSerialAccessesPerPort + (statusRegister ? kSerialStatusCheckAccesses : 0)));
    EXPECT_EQ(accesses.bySerialOutsideUarts, 0u);
    EXPECT_EQ(accesses.byOthers, 0u);
    EXPECT_TRUE(report.violations.empty());
    EXPECT_TRUE(report.poolOutstanding.empty());
}

INSTANTIATE_TEST_SUITE_P(Models, EveryModelOnTheMachine, ::testing::ValuesIn(kModels),
                         [](const ::testing::TestParamInfo<Model> &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

using BoardOnTheMachine = hk::test::KernelTest;

TEST_F(BoardOnTheMachine, APb8aReachedThroughMemoryMakesTheSameAccessesThroughItsMappings)
{
    const sim::MachineReport report =
        RunOneBoard("pci", "PCI\\VEN_7A3E&DEV_0050", R"({"ports_in_memory_space": true})");
    const sim::BoardReport &board = report.boards[0];
    EXPECT_EQ(board.status, STATUS_SUCCESS);
    EXPECT_EQ(board.ports.size(), 8u);
    ASSERT_EQ(board.translated.size(), 3u);
    EXPECT_EQ(board.translated[1].Flags & CM_RESOURCE_PORT_IO, 0) << "the UARTs come in memory space";
    EXPECT_TRUE(board.driver.uart.mapped);
    EXPECT_EQ(board.driver.uart.address, kWindow + 0xD000);
    EXPECT_EQ(board.driver.uart.mappedLength, 64u);
    EXPECT_TRUE(board.driver.bridge.mapped);
    EXPECT_EQ(board.driver.bridge.address, kWindow + 0xD080);

    const Accesses accesses = AccessesOf(report, kWindow);
    EXPECT_EQ(accesses.bridge, 5u);
    EXPECT_EQ(accesses.uarts, 12u);
    EXPECT_EQ(accesses.inMemorySpace, 17u);
    // Port I/O at the board's numbers would have been undecoded; a mapping
    // kept past the stop would have been reported at the end.
    EXPECT_TRUE(report.violations.empty());
    EXPECT_TRUE(report.poolOutstanding.empty());
    EXPECT_TRUE(hk::LiveMappings().empty());
}

TEST_F(BoardOnTheMachine, AnyFailingKernelCallOfAMemorySpaceStartLeavesNoMappingOrPool)
{
    const sim::Scenario scenario = sim::ParseScenario(R"({"boards": [{"bus": "pci",
        "hardware_ids": ["PCI\\VEN_7A3E&DEV_0050"], "ports_in_memory_space": true}]})");
    sim::RunScenario(scenario);
    const unsigned calls = hk::TotalCallCount();
    ASSERT_GT(calls, 0u);
    for (unsigned failing : SweepCases(calls)) {
        SCOPED_TRACE("failing call " + std::to_string(failing));
        const sim::MachineReport report = sim::RunScenario(scenario, [failing] { hk::FailNthCallOverall(failing); });
        for (const hk::Violation &v : report.violations) ADD_FAILURE() << v.name << " by " << v.image << ": " << v.detail;
        EXPECT_TRUE(report.poolOutstanding.empty());
        EXPECT_TRUE(hk::LiveMappings().empty());
        if (report.boards[0].state != "started") EXPECT_TRUE(report.boards[0].ports.empty());
    }
}

struct Failure {
    const char *what;
    const char *bus;
    const char *id;
    const char *more;
    NTSTATUS status;
    bool identified;
    size_t busDriverAccesses;
    NTSTATUS portStatus;  // of every port the board reported
};

const Failure kFailures[] = {
    {"UnknownPciCode", "pci", "PCI\\VEN_7A3E&DEV_0070", "", STATUS_UNSUCCESSFUL, false, 0, 0},
    {"UnknownPcCardCode", "pcmcia", "PCMCIA\\VELMORA-X-05D3-0003", "", STATUS_UNSUCCESSFUL, false, 0, 0},
    {"IsaTokenOneCharacterLonger", "isa", "VELMORA_ISA_SERIAL_IB4AXZ", "", STATUS_UNSUCCESSFUL, false, 0, 0},
    {"ScratchStatusRegister", "pci", "PCI\\VEN_7A3E&DEV_0010", R"({"status_register": "scratch"})",
     STATUS_DEVICE_NOT_READY, true, 5 + 6, 0},
    // A single UART has no status register to check: the card starts, and
    // its port with it.
    {"ScratchRegisterOfAOnePortCard", "pcmcia", "PCMCIA\\VELMORA-CB1A-05D3-0001", R"({"status_register": "scratch"})",
     STATUS_SUCCESS, true, 0, STATUS_SUCCESS},
    {"PciBoardWithoutItsBridgeRange", "pci", "PCI\\VEN_7A3E&DEV_0010", R"({"bridge_base": "0x0"})",
     STATUS_DEVICE_CONFIGURATION_ERROR, true, 0, 0},
    // Two UARTs' range for a model of eight: no register is touched, no
    // port is made without registers of its own.
    {"Pb8aAssignedTheRangeOfTwoPorts", "pci", "PCI\\VEN_7A3E&DEV_0050", R"({"ports": 2})",
     STATUS_DEVICE_CONFIGURATION_ERROR, true, 0, 0},
    {"IsaBoardAssignedOnePortsRange", "isa", "VELMORA_ISA_SERIAL_IB4AX", R"({"ports": 1})",
     STATUS_DEVICE_CONFIGURATION_ERROR, true, 0, 0},
    // The board needs no bridge for itself, but its lists name no bridge
    // range that could become the status register: the bus interface hands
    // a port no lists, so no port starts.
    {"PciBoardThatLeavesItsBridgeAloneWithoutOne", "pci", "PCI\\VEN_7A3E&DEV_0170", R"({"bridge_base": "0x0"})",
     STATUS_SUCCESS, true, 12, STATUS_UNSUCCESSFUL},
};

void PrintTo(const Failure &failure, std::ostream *out) { *out << failure.what; }

class BoardThatFails : public hk::test::KernelTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(BoardThatFails, FailsWhereItShouldAndLeavesNothing)
{
    const Failure &f = GetParam();
    const sim::MachineReport report = RunOneBoard(f.bus, f.id, f.more);
    const sim::BoardReport &board = report.boards[0];
    EXPECT_EQ(board.status, f.status);
    EXPECT_EQ(board.driver.identified, f.identified);
    if (!f.identified) EXPECT_EQ(board.driver.number, "");
    if (!NT_SUCCESS(f.status)) EXPECT_TRUE(board.ports.empty());
    for (const sim::PortReport &port : board.ports) EXPECT_EQ(port.status, f.portStatus) << port.location;
    const Accesses accesses = AccessesOf(report);
    EXPECT_EQ(accesses.bridge + accesses.uarts, f.busDriverAccesses);
    const size_t started = NT_SUCCESS(f.portStatus) ? board.ports.size() : 0;
    EXPECT_EQ(accesses.bySerial, started * kSerialAccessesPerPort);
    EXPECT_EQ(accesses.byOthers, 0u);
    EXPECT_TRUE(report.violations.empty());
    EXPECT_TRUE(report.poolOutstanding.empty());
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardThatFails, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<Failure> &info) { return info.param.what; });

TEST_F(BoardOnTheMachine, MpsimShowsTheBoardsNumberModelAndRanges)
{
    const sim::MachineReport report = RunOneBoard("pcmcia", "PCMCIA\\TARVO-CB2A-05D3-0022");
    const nlohmann::json doc = nlohmann::json::parse(sim::RenderJson(report, false));
    const auto &driver = doc.at("boards").at(0).at("driver");
    EXPECT_EQ(driver.at("model"), "CB2-A");
    EXPECT_EQ(driver.at("board_number"), "1");
    EXPECT_EQ(driver.at("brand"), "Tarvo");
    EXPECT_EQ(driver.at("uart"), (nlohmann::json{{"space", "io"}, {"start", "0x100"}}));
    EXPECT_TRUE(driver.at("bridge").is_null());
    EXPECT_EQ(doc.at("boards").at(0).at("resources").at("raw").at(0).at("start"), "0x100")
        << "a board whose start failed still shows what its START carried";
    const std::string text = sim::RenderText(report, false);
    EXPECT_NE(text.find("CB2-A board 1, 2 ports, Tarvo; UART port 0x100, bridge none"), std::string::npos) << text;
}

}  // namespace
