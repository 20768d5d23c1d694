// Removal in every order Windows uses, on the whole machine: orderly with
// and without an open port, the subtree pulled out with and without one, a
// port that fails on its own with its handle closed before and after its
// board's removal, and a restart that fails with a port open; and the
// stops the serial driver refuses: any on a multiport PCI board with a
// started port, while those of a PC Card's and a one-port board's ports go
// on. Each path must leave the verifier clean and nothing behind, refuse
// what it must and no more, and send its requests in Windows' order.
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

// The first board of each path, beside a second four-port PCI board.
const char kPb4a[] = R"({"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0010"]})";
const char kCb4a[] = R"({"bus": "pcmcia", "hardware_ids": ["PCMCIA\\VELMORA-CB4A-05D3-001B"]})";
const char kPl1a[] = R"({"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0190"]})";

constexpr const char *kBusy = "0x80000011", *kNotSupported = "0xC00000BB";

struct RemovalPath {
    const char *name;
    const char *board;          // the first board
    const char *steps;          // the scenario's steps (and a second board)
    size_t vetoes;              // refusals the steps expect
    const char *vetoStatus;     // the status each refusal names
    std::vector<Sent> order;    // requests that must come in this order
    Sent noRemoveBefore;        // no IRP_MN_REMOVE_DEVICE before this request (null: none)
    Sent never = {nullptr, nullptr};  // a request that must not be sent at all
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
    {"OrderlyClosed", kPb4a, R"(["start", {"remove": 0}])", 0, kBusy,
     {{"PORT_1", "IRP_MN_QUERY_REMOVE_DEVICE"}, {"board", "IRP_MN_QUERY_REMOVE_DEVICE"},
      {"PORT_1", "IRP_MN_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {nullptr, nullptr}},
    // The serial driver is exclusive. Vetoed while open: cancelled on every
    // stack queried, nothing changes; the removal goes once it is closed.
    {"OrderlyOpen", kPb4a,
     R"(["start", {"open": 0, "port": 2}, {"open": 0, "port": 2}, {"remove": 0, "veto": "port 2 is open"},
         {"query_remove": 0, "veto": "port 2 is open"}, {"close": 0, "port": 2}, {"remove": 0}])",
     2, kBusy,
     {{"PORT_2", "IRP_MJ_CREATE  -> 0x00000000"}, {"PORT_2", "IRP_MJ_CREATE  -> 0xC0000022"},
      {"PORT_1", "IRP_MN_QUERY_REMOVE_DEVICE"}, {"PORT_2", "IRP_MN_QUERY_REMOVE_DEVICE"},
      {"PORT_1", "IRP_MN_CANCEL_REMOVE_DEVICE"}, {"PORT_2", "IRP_MN_CANCEL_REMOVE_DEVICE"},
      {"PORT_2", "IRP_MJ_CLEANUP"}, {"PORT_2", "IRP_MJ_CLOSE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {"PORT_2", "IRP_MJ_CLOSE"}},
    // A PC Card's open port refuses the stop; closed, it stops.
    {"StopOpen", kCb4a,
     R"(["start", {"open": 0, "port": 1}, {"query_stop": 0, "veto": "port 1 is open"},
         {"stop": 0, "veto": "port 1 is open"}, {"close": 0, "port": 1}, {"stop": 0}])",
     2, kBusy,
     {{"PORT_1", "IRP_MN_QUERY_STOP_DEVICE"}, {"PORT_1", "IRP_MN_CANCEL_STOP_DEVICE"}, {"PORT_1", "IRP_MJ_CLOSE"},
      {"board", "IRP_MN_STOP_DEVICE"}},
     {nullptr, nullptr}},
    // A multiport PCI board with started ports is never stopped or moved:
    // its first port refuses with STATUS_NOT_SUPPORTED, open or not (that
    // check comes first), the cancels go out and nothing changes.
    {"StopMultiport", kPb4a,
     R"(["start", {"query_stop": 0, "veto": "multiport"}, {"open": 0, "port": 1},
         {"stop": 0, "veto": "multiport"}, {"close": 0, "port": 1},
         {"restart": 0, "io_base": "0xE000", "bridge_base": "0xE080", "veto": "multiport"}])",
     3, kNotSupported,
     {{"PORT_1", "IRP_MN_QUERY_STOP_DEVICE  -> 0xC00000BB"}, {"PORT_1", "IRP_MN_CANCEL_STOP_DEVICE"},
      {"PORT_1", "IRP_MJ_CREATE"}, {"PORT_1", "IRP_MN_QUERY_STOP_DEVICE  -> 0xC00000BB"},
      {"PORT_1", "IRP_MN_CANCEL_STOP_DEVICE"}, {"PORT_1", "IRP_MN_QUERY_STOP_DEVICE  -> 0xC00000BB"}},
     {nullptr, nullptr},
     {"board", "IRP_MN_STOP_DEVICE"}},
    // A PC Card's and a one-port board's ports stop and start again when
    // their board moves.
    {"MovePcCard", kCb4a, R"(["start", {"restart": 0, "io_base": "0x300"}])", 0, kBusy,
     {{"PORT_1", "IRP_MN_QUERY_STOP_DEVICE  -> 0x00000000"}, {"board", "IRP_MN_STOP_DEVICE"},
      {"board", "IRP_MN_START_DEVICE"}, {"PORT_1", "IRP_MN_STOP_DEVICE"}, {"PORT_1", "IRP_MN_START_DEVICE"}},
     {nullptr, nullptr}},
    {"MoveOnePortBoard", kPl1a, R"(["start", {"restart": 0, "io_base": "0xE000", "bridge_base": "0xE080"}])", 0,
     kBusy,
     {{"PORT_1", "IRP_MN_QUERY_STOP_DEVICE  -> 0x00000000"}, {"board", "IRP_MN_STOP_DEVICE"},
      {"board", "IRP_MN_START_DEVICE"}, {"PORT_1", "IRP_MN_STOP_DEVICE"}, {"PORT_1", "IRP_MN_START_DEVICE"}},
     {nullptr, nullptr}},
    {"SubtreeSurpriseClosed", kPb4a, R"(["start", {"surprise_remove": 0}])", 0, kBusy,
     {{"PORT_1", "IRP_MN_SURPRISE_REMOVAL"}, {"board", "IRP_MN_SURPRISE_REMOVAL"},
      {"PORT_1", "IRP_MN_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {nullptr, nullptr}},
    // The subtree's removals wait for its last handle; meanwhile a new open
    // and a device control are refused by the serial driver (before, the
    // control went on to the port device, which takes none), and the handle
    // still closes.
    {"SubtreeSurpriseOpen", kPb4a,
     R"(["start", {"open": 0, "port": 3}, {"control": 0, "port": 3}, {"surprise_remove": 0},
         {"open": 0, "port": 1}, {"control": 0, "port": 3}, {"close": 0, "port": 3}])",
     0, kBusy,
     {{"PORT_3", "IRP_MJ_DEVICE_CONTROL  -> 0xC0000010"}, {"PORT_3", "IRP_MN_SURPRISE_REMOVAL"},
      {"board", "IRP_MN_SURPRISE_REMOVAL"}, {"PORT_1", "IRP_MJ_CREATE  -> 0xC0000056"},
      {"PORT_3", "IRP_MJ_DEVICE_CONTROL  -> 0xC0000056"}, {"PORT_3", "IRP_MJ_CLEANUP  -> 0x00000000"},
      {"PORT_3", "IRP_MJ_CLOSE  -> 0x00000000"}, {"PORT_1", "IRP_MN_REMOVE_DEVICE"},
      {"PORT_3", "IRP_MN_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {"PORT_3", "IRP_MJ_CLOSE"}},
    {"PortFailsClosedBeforeBoardRemoval", kPb4a,
     R"(["start", {"open": 0, "port": 2}, {"port_fails": 0, "port": 2}, {"close": 0, "port": 2},
         {"remove": 0}])",
     0, kBusy,
     {{"PORT_2", "IRP_MN_SURPRISE_REMOVAL"}, {"PORT_2", "IRP_MJ_CLOSE"}, {"PORT_2", "IRP_MN_REMOVE_DEVICE"},
      {"board", "IRP_MN_QUERY_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"}},
     {"PORT_2", "IRP_MJ_CLOSE"}},
    // The port's removal comes after its board's: the bus driver must keep
    // the port device until then.
    {"PortFailsClosedAfterBoardRemoval", kPb4a,
     R"(["start", {"open": 0, "port": 2}, {"port_fails": 0, "port": 2}, {"remove": 0},
         {"close": 0, "port": 2}])",
     0, kBusy,
     {{"PORT_2", "IRP_MN_SURPRISE_REMOVAL"}, {"PORT_1", "IRP_MN_REMOVE_DEVICE"}, {"board", "IRP_MN_REMOVE_DEVICE"},
      {"PORT_2", "IRP_MJ_CLEANUP"}, {"PORT_2", "IRP_MJ_CLOSE"}, {"PORT_2", "IRP_MN_REMOVE_DEVICE"}},
     {nullptr, nullptr}},
    // Stopped (its port stays started: it holds nothing to give back), the
    // port opened, then a restart where the other board sits: it fails and
    // the board is surprise-removed, its removal waiting for the handle.
    {"FailedRestartOpen", kPl1a,
     R"(["start", {"stop": 0}, {"open": 0, "port": 1}, {"restart": 0, "io_base": "0xD100", "bridge_base": "0xD180"},
         {"close": 0, "port": 1}])",
     0, kBusy,
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
        std::string(R"({"boards": [)") + path.board + ", " + kPb4a + R"(], "steps": )" + path.steps + "}");
    const sim::MachineReport report = sim::RunScenario(scenario);

    for (const hk::Violation &v : report.violations) ADD_FAILURE() << v.name << " (" << v.image << "): " << v.detail;
    for (const std::string &veto : report.unexpectedVetoes) ADD_FAILURE() << "veto: " << veto;
    EXPECT_EQ(report.vetoes.size(), path.vetoes);
    // Each refused by a port's serial driver, named as Windows names it.
    for (const std::string &veto : report.vetoes) {
        EXPECT_NE(veto.find("PNP_VetoDevice VelmoraMultiportSerial\\"), std::string::npos) << veto;
        EXPECT_NE(veto.find("\\PORT_"), std::string::npos) << veto;
        EXPECT_NE(veto.find(path.vetoStatus), std::string::npos) << veto;
    }
    // Nothing changes after a refusal: the board is never stopped.
    if (path.never.node) EXPECT_EQ(Find(report.pnpLog, path.never, 0), report.pnpLog.size()) << path.never.request;
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
