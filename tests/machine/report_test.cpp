// mpsim's report: the JSON names scripts read, and when a run counts as
// passed.
#include "report.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

CM_PARTIAL_RESOURCE_DESCRIPTOR Port(ULONG start, ULONG length)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypePort;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Start.QuadPart = start;
    d.u.Port.Length = length;
    return d;
}

sim::MachineReport OneGoodPort()
{
    sim::PortReport port;
    port.deviceId = "VelmoraMultiportSerial\\PB4-A_1";
    port.instanceId = "PORT_1";
    port.hardwareIds = {"VELMORA_PCI_SERIAL_PORT"};
    port.description = "Velmora Serial Port";
    port.location = "PB4-A board 1 port 1";
    port.state = "started";
    port.status = STATUS_SUCCESS;
    port.registry = {{"PortIndex", hk::reg::Value{REG_DWORD, {1, 0, 0, 0}}}};
    port.raw = {Port(0xD000, 8), Port(0xD007, 1)};
    CM_PARTIAL_RESOURCE_DESCRIPTOR irq{};
    irq.Type = CmResourceTypeInterrupt;
    irq.ShareDisposition = CmResourceShareShared;
    irq.u.Interrupt.Vector = 0x3B;
    irq.u.Interrupt.Level = 16;
    CM_PARTIAL_RESOURCE_DESCRIPTOR memory{};
    memory.Type = CmResourceTypeMemory;
    memory.u.Memory.Start.QuadPart = 0xFEB00000;
    memory.u.Memory.Length = 8;
    port.translated = {memory, irq};
    port.loopback = "ok";
    port.statusRegister = "ok";

    sim::BoardReport board;
    board.bus = "pci";
    board.hardwareIds = {"PCI\\VEN_7A3E&DEV_0010"};
    board.state = "started";
    board.status = STATUS_SUCCESS;
    board.registry = {{"VOPR", hk::reg::Value{REG_DWORD, {0x10, 0, 0, 0}}}};
    board.ports = {port};

    sim::MachineReport report;
    report.boards = {board};
    report.debugOutput["mpsfilt"] = "DUZOREDAZ: hello\n";
    return report;
}

TEST(Report, JsonUsesTheContractNames)
{
    const nlohmann::json doc = nlohmann::json::parse(sim::RenderJson(OneGoodPort(), false));
    const auto &board = doc.at("boards").at(0);
    EXPECT_EQ(board.at("hardware_ids").at(0), "PCI\\VEN_7A3E&DEV_0010");
    EXPECT_EQ(board.at("state"), "started");
    EXPECT_EQ(board.at("status"), "0x00000000");
    EXPECT_EQ(board.at("registry").at("VOPR"), 16);  // numbers stay numbers

    const auto &port = board.at("ports").at(0);
    for (const char *key : {"device_id", "instance_id", "hardware_ids", "description", "location", "state", "status",
                            "registry", "resources", "checks"})
        EXPECT_TRUE(port.contains(key)) << key;
    EXPECT_EQ(port.at("instance_id"), "PORT_1");
    EXPECT_EQ(port.at("registry").at("PortIndex"), 1);
    const auto &raw = port.at("resources").at("raw");
    EXPECT_EQ(raw.at(0), (nlohmann::json{{"type", "port"}, {"start", "0xD000"}, {"length", 8}}));
    EXPECT_EQ(raw.at(1).at("start"), "0xD007");
    const auto &translated = port.at("resources").at("translated");
    EXPECT_EQ(translated.at(0), (nlohmann::json{{"type", "memory"}, {"start", "0xFEB00000"}, {"length", 8}}));
    EXPECT_EQ(translated.at(1),
              (nlohmann::json{{"type", "interrupt"}, {"vector", 0x3B}, {"level", 16}, {"share", "shared"}}));
    EXPECT_EQ(port.at("checks").at("loopback"), "ok");
    EXPECT_EQ(port.at("checks").at("status_register"), "ok");

    EXPECT_EQ(doc.at("debug_output").at("mpsfilt"), "DUZOREDAZ: hello\n");
    EXPECT_TRUE(doc.at("verifier").at("violations").is_array());
    EXPECT_TRUE(doc.at("verifier").at("pool_outstanding").is_object());
    EXPECT_FALSE(doc.contains("io_log"));
}

// The counts a scenario file's "expect" is compared with.
TEST(Report, SummaryCountsPortsThatPassedEveryCheckAndWhatWasLeft)
{
    sim::MachineReport report = OneGoodPort();
    sim::PortReport failedCheck = report.boards[0].ports[0];
    failedCheck.statusRegister = "failed";  // its loopback passed all the same
    failedCheck.open = true;
    report.boards[0].ports.push_back(failedCheck);
    sim::BoardReport removed;
    removed.state = "removed";
    report.boards.push_back(removed);
    report.vetoes = {"step 2: PNP_VetoDevice"};
    report.violations.push_back(hk::Violation{"POOL_LEAK", "mpsbus", "3 blocks"});
    report.poolOutstanding = {{"mpsbus", 2}, {"mpsfilt", 1}};
    EXPECT_EQ(nlohmann::json::parse(sim::RenderJson(report, false)).at("summary"),
              (nlohmann::json{{"board_states", {"started", "removed"}}, {"ports", 2}, {"ports_started", 2},
                              {"ports_passed_checks", 1}, {"ports_open", 1}, {"vetoes", 1}, {"unexpected_vetoes", 0},
                              {"violations", 1}, {"pool_blocks_outstanding", 3}, {"passed", false}}));
}

TEST(Report, TextShowsRegistryDwordsInHex)
{
    const std::string text = sim::RenderText(OneGoodPort(), false);
    EXPECT_NE(text.find("  registry      VOPR = 0x10\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    registry      PortIndex = 0x1\n"), std::string::npos) << text;
}

TEST(Report, TraceAddsTheRegisterLog)
{
    sim::MachineReport report = OneGoodPort();
    report.ioLog.push_back(hk::IoAccess{0xD007, 1, false, 0x01, "serial"});
    report.pnpLog.push_back("PCI\\X\\3&1&0  IRP_MN_START_DEVICE");
    const nlohmann::json doc = nlohmann::json::parse(sim::RenderJson(report, true));
    EXPECT_EQ(doc.at("io_log").at(0).at("port"), "0xD007");
    EXPECT_EQ(doc.at("io_log").at(0).at("direction"), "read");
    EXPECT_EQ(doc.at("pnp_log").at(0), report.pnpLog[0]);
    const std::string text = sim::RenderText(report, true);
    EXPECT_NE(text.find("0xD007"), std::string::npos);
    EXPECT_NE(text.find("IRP_MN_START_DEVICE"), std::string::npos);
    EXPECT_EQ(sim::RenderText(report, false).find("IRP_MN_START_DEVICE"), std::string::npos);
}

TEST(Report, ShowsWhatTheBusDriverMadeOfTheBoardAndItsRangesInMemorySpace)
{
    sim::MachineReport report = OneGoodPort();
    sim::BoardReport &board = report.boards[0];
    CM_PARTIAL_RESOURCE_DESCRIPTOR mapped = Port(0xFE00D000, 32);
    mapped.Flags = CM_RESOURCE_PORT_MEMORY;
    board.translated = {mapped};
    board.driver.seen = true;
    board.driver.identified = true;
    board.driver.model = "PB4-A";
    board.driver.number = "3";
    board.driver.ports = 4;
    board.driver.brand = "Velmora";
    board.driver.uart = sim::RangeView{true, true, 0xFE00D000, 32};

    const nlohmann::json doc = nlohmann::json::parse(sim::RenderJson(report, false));
    const auto &b = doc.at("boards").at(0);
    EXPECT_EQ(b.at("resources").at("translated").at(0).at("memory_space"), true);
    const auto &driver = b.at("driver");
    EXPECT_EQ(driver.at("model"), "PB4-A");
    EXPECT_EQ(driver.at("board_number"), "3");
    EXPECT_EQ(driver.at("ports"), 4);
    EXPECT_EQ(driver.at("uart"), (nlohmann::json{{"space", "memory"}, {"start", "0xFE00D000"}, {"mapped_length", 32}}));
    EXPECT_TRUE(driver.at("bridge").is_null());

    const std::string text = sim::RenderText(report, false);
    EXPECT_NE(text.find("PB4-A board 3, 4 ports, Velmora"), std::string::npos) << text;
    EXPECT_NE(text.find("port 0xFE00D000/32 in memory space"), std::string::npos) << text;
}

TEST(Report, StatusIsEightUpperCaseHexDigits)
{
    EXPECT_EQ(sim::StatusText(STATUS_DEVICE_NOT_READY), "0xC00000A3");
    EXPECT_EQ(sim::StatusText(STATUS_SUCCESS), "0x00000000");
}

TEST(Report, PassesOnlyWhenEveryPortStartedAndPassedWithoutViolations)
{
    EXPECT_TRUE(OneGoodPort().Passed());

    sim::MachineReport failedCheck = OneGoodPort();
    failedCheck.boards[0].ports[0].statusRegister = "failed";
    EXPECT_FALSE(failedCheck.Passed());

    sim::MachineReport notRun = OneGoodPort();
    notRun.boards[0].ports[0].loopback = "not run";
    EXPECT_FALSE(notRun.Passed());

    sim::MachineReport violation = OneGoodPort();
    violation.violations.push_back(hk::Violation{"POOL_LEAK", "mpsfilt", "1 block"});
    EXPECT_FALSE(violation.Passed());
    const nlohmann::json doc = nlohmann::json::parse(sim::RenderJson(violation, false));
    EXPECT_NE(doc.at("verifier").at("violations").at(0).get<std::string>().find("POOL_LEAK"), std::string::npos);

    sim::MachineReport boardFailed = OneGoodPort();
    boardFailed.boards[0].state = "failed";
    boardFailed.boards[0].ports.clear();
    EXPECT_FALSE(boardFailed.Passed());

    // A board the scenario removed after a good start is not a failure;
    // one that never started is, removed or not.
    sim::MachineReport removed = OneGoodPort();
    removed.boards[0].state = "removed";
    removed.boards[0].ports[0].state = "removed";
    EXPECT_TRUE(removed.Passed());
    removed.boards[0].status = STATUS_NOT_IMPLEMENTED;
    removed.boards[0].ports.clear();
    EXPECT_FALSE(removed.Passed());
}

}  // namespace
