// Removal in every order Windows uses, on the whole machine: orderly with
// and without an open port, the subtree pulled out with and without one, a
// port that fails on its own with its handle closed before and after its
// board's removal, and a restart that fails with a port open. Each path
// must leave the verifier clean and nothing behind, refuse what it must
// and no more, and send its requests in Windows' order.
#include "machine.h"
#include "scenario.h"

#include <hk/host.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// A request in the manager's log: "board" for the board's node, else the
// port's instance ID ("PORT_2").
struct Sent {
    const char *node;
    const char *request;
};

struct RemovalPath {
    const char *name;
    const char *steps;          // the scenario's steps, on a four-port PCI board (and a second board)
    size_t vetoes;              // refusals the steps expect
    std::vector<Sent> order;    // requests that must come in this order
    Sent noRemoveBefore;        // no IRP_MN_REMOVE_DEVICE before this request (null: none)
};

void PrintTo(const RemovalPath &path, std::ostream *out) { *out << path.name; }

bool Matches(const std::string &line, const Sent &sent)
{
    const std::string request = "  " + std::string(sent.request);
    if (line.find(request) == std::string::npos) return false;
    if (std::string(sent.node) == "board") return line.find("\\PORT_") == std::string::npos;
    return line.find("\\" + std::string(sent.node) + request) != std::string::npos;
}

size_t Find(const std::vector<std::string> &log, const Sent &sent, size_t from)
{
    for (size_t i = from; i < log.size(); ++i)
        if (Matches(log[i], sent)) return i;
    return log.size();
}

const RemovalPath kPaths[] = {
    {"OrderlyClosed", R"(["start", {"remove": 0}])", 0,
     {{"PORT_1", "IRP_MN_QUERY_REMOVE_DEVICE"}, {"board", "IRP_MN_QUERY_REMOVE_DEVICE"},
      {"PORT_1", "IRP_MN_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {nullptr, nullptr}},
    // The serial driver is exclusive. Vetoed while open: cancelled on every
    // stack queried, nothing changes; the removal goes once it is closed.
    {"OrderlyOpen",
     R"(["start", {"open": 0, "port": 2}, {"open": 0, "port": 2}, {"remove": 0, "veto": "port 2 is open"},
         {"query_remove": 0, "veto": "port 2 is open"}, {"close": 0, "port": 2}, {"remove": 0}])",
     2,
     {{"PORT_2", "IRP_MJ_CREATE  -> 0x00000000"}, {"PORT_2", "IRP_MJ_CREATE  -> 0xC0000022"},
      {"PORT_1", "IRP_MN_QUERY_REMOVE_DEVICE"}, {"PORT_2", "IRP_MN_QUERY_REMOVE_DEVICE"},
      {"PORT_1", "IRP_MN_CANCEL_REMOVE_DEVICE"}, {"PORT_2", "IRP_MN_CANCEL_REMOVE_DEVICE"},
      {"PORT_2", "IRP_MJ_CLEANUP"}, {"PORT_2", "IRP_MJ_CLOSE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {"PORT_2", "IRP_MJ_CLOSE"}},
    {"StopOpen",
     R"(["start", {"open": 0, "port": 1}, {"query_stop": 0, "veto": "port 1 is open"},
         {"stop": 0, "veto": "port 1 is open"}, {"close": 0, "port": 1}])",
     2,
     {{"PORT_1", "IRP_MN_QUERY_STOP_DEVICE"}, {"PORT_1", "IRP_MN_CANCEL_STOP_DEVICE"}},
     {nullptr, nullptr}},
    {"SubtreeSurpriseClosed", R"(["start", {"surprise_remove": 0}])", 0,
     {{"PORT_1", "IRP_MN_SURPRISE_REMOVAL"}, {"board", "IRP_MN_SURPRISE_REMOVAL"},
      {"PORT_1", "IRP_MN_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {nullptr, nullptr}},
    // The subtree's removals wait for its last handle; meanwhile a new open
    // and a device control are refused by the serial driver (before, the
    // control went on to the port device, which takes none), and the handle
    // still closes.
    {"SubtreeSurpriseOpen",
     R"(["start", {"open": 0, "port": 3}, {"control": 0, "port": 3}, {"surprise_remove": 0},
         {"open": 0, "port": 1}, {"control": 0, "port": 3}, {"close": 0, "port": 3}])",
     0,
     {{"PORT_3", "IRP_MJ_DEVICE_CONTROL  -> 0xC0000010"}, {"PORT_3", "IRP_MN_SURPRISE_REMOVAL"},
      {"board", "IRP_MN_SURPRISE_REMOVAL"}, {"PORT_1", "IRP_MJ_CREATE  -> 0xC0000056"},
      {"PORT_3", "IRP_MJ_DEVICE_CONTROL  -> 0xC0000056"}, {"PORT_3", "IRP_MJ_CLEANUP  -> 0x00000000"},
      {"PORT_3", "IRP_MJ_CLOSE  -> 0x00000000"}, {"PORT_1", "IRP_MN_REMOVE_DEVICE"},
      {"PORT_3", "IRP_MN_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {"PORT_3", "IRP_MJ_CLOSE"}},
    {"PortFailsClosedBeforeBoardRemoval",
     R"(["start", {"open": 0, "port": 2}, {"port_fails": 0, "port": 2}, {"close": 0, "port": 2},
         {"remove": 0}])",
     0,
     {{"PORT_2", "IRP_MN_SURPRISE_REMOVAL"}, {"PORT_2", "IRP_MJ_CLOSE"}, {"PORT_2", "IRP_MN_REMOVE_DEVICE"},
      {"board", "IRP_MN_QUERY_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {"PORT_2", "IRP_MJ_CLOSE"}},
    // The port's removal comes after its board's: the bus driver must keep
    // the port device until then.
    {"PortFailsClosedAfterBoardRemoval",
     R"(["start", {"open": 0, "port": 2}, {"port_fails": 0, "port": 2}, {"remove": 0},
         {"close": 0, "port": 2}])",
     0,
     {{"PORT_2", "IRP_MN_SURPRISE_REMOVAL"}, {"PORT_1", "IRP_MN_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"},
      {"PORT_2", "IRP_MJ_CLEANUP"}, {"PORT_2", "IRP_MJ_CLOSE"}, {"PORT_2", "IRP_MN_REMOVE_DEVICE"}},
     {nullptr, nullptr}},
    // Stopped (its ports stay started: they hold nothing to give back), a
    // port opened, then a restart where the other board sits: it fails and
    // the board is surprise-removed, its removal waiting for the handle.
    {"FailedRestartOpen",
     R"(["start", {"stop": 0}, {"open": 0, "port": 1}, {"restart": 0, "io_base": "0xD100", "bridge_base": "0xD180"},
         {"close": 0, "port": 1}])",
     0,
     {{"board", "IRP_MN_STOP_DEVICE"}, {"PORT_1", "IRP_MJ_CREATE"}, {"PORT_1", "IRP_MN_SURPRISE_REMOVAL"},
      {"PORT_1", "IRP_MJ_CLOSE"}, {"PORT_1", "IRP_MN_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {"PORT_1", "IRP_MJ_CLOSE"}},
};

class RemovalOrders : public ::testing::TestWithParam<RemovalPath> {
protected:
    void SetUp() override { hk::ResetKernel(); }
};

TEST_P(RemovalOrders, CleanNothingLeftAndInWindowsOrder)
{
    const RemovalPath &path = GetParam();
    const sim::Scenario scenario = sim::ParseScenario(
        std::string(R"({"boards": [{"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0010"]},
                                   {"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0010"]}],
                        "steps": )") +
        path.steps + "}");
    const sim::MachineReport report = sim::RunScenario(scenario);

    for (const hk::Violation &v : report.violations) ADD_FAILURE() << v.name << " (" << v.image << "): " << v.detail;
    for (const std::string &veto : report.unexpectedVetoes) ADD_FAILURE() << "veto: " << veto;
    EXPECT_EQ(report.vetoes.size(), path.vetoes);
    // Each refused by the open port's serial driver, named as Windows names it.
    for (const std::string &veto : report.vetoes)
        EXPECT_NE(veto.find("PNP_VetoDevice VelmoraMultiportSerial\\PB4-A_1\\PORT_"), std::string::npos) << veto;
    for (const std::string &veto : report.vetoes) EXPECT_NE(veto.find("0x80000011"), std::string::npos) << veto;
    EXPECT_TRUE(report.poolOutstanding.empty());
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
    EXPECT_TRUE(hk::LiveMappings().empty());
    EXPECT_EQ(hk::reg::OpenHandleCount(), 0u);

    size_t at = 0;
    for (const Sent &sent : path.order) {
        at = Find(report.pnpLog, sent, at);
        ASSERT_LT(at, report.pnpLog.size()) << sent.node << " " << sent.request << " missing or out of order";
        ++at;
    }
    if (path.noRemoveBefore.node) {
        const size_t handleGone = Find(report.pnpLog, path.noRemoveBefore, 0);
        const size_t firstRemove = Find(report.pnpLog, Sent{"board", "IRP_MN_REMOVE_DEVICE"}, 0);
        for (size_t i = 0; i < handleGone && i < report.pnpLog.size(); ++i)
            EXPECT_EQ(report.pnpLog[i].find("IRP_MN_REMOVE_DEVICE"), std::string::npos)
                << "removal before the handle closed: " << report.pnpLog[i];
        EXPECT_LT(handleGone, firstRemove);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, RemovalOrders, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<RemovalPath> &info) { return info.param.name; });

}  // namespace
