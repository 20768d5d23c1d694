// An eight-port board brought up by the Plug and Play manager with each of
// its allocations (pool blocks and device objects) failing in turn: a START
// that fails does so with the failing step's status and leaves no port
// device, and nothing is left behind once the board is removed.
#include "port_nodes_fixture.h"

namespace portnodes {
namespace {

const char kPb8a[] = R"({"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0050"]})";

// What one bring-up left, seen right after it and after the removal.
struct Outcome {
    bool startSent = false;
    NTSTATUS startStatus = STATUS_PENDING;
    size_t devicesAfterStart = 0;
    size_t portsReported = 0;
    std::vector<hk::Violation> violations;
    size_t poolLeft = 0, devicesLeft = 0, handlesLeft = 0;
};

Outcome BringUpAndRemove(const std::function<void()> &faults)
{
    hk::ResetKernel();
    sim::ResetSerialRecords();
    faults();
    Outcome outcome;
    {
        sim::PnpManager pnp(sim::InstallDatabase::Default());
        pnp.RegisterBuiltinDriver(sim::kSerialService, sim::SerialDriverEntry);
        const sim::BoardScenario board = BoardFrom(kPb8a);
        sim::BoardSlot slot(board);
        slot.Plug(board.resources);
        sim::DeviceNode *node = pnp.PlugBoard(sim::DescribeBoard(board));
        // No node at all when the bus could not report the board.
        for (const sim::PnpRequestRecord &r : pnp.Requests()) {
            if (node != nullptr && r.instancePath == node->instancePath && r.request == "IRP_MN_START_DEVICE") {
                outcome.startSent = true;
                outcome.startStatus = r.status;
            }
        }
        outcome.devicesAfterStart = hk::LiveDeviceCount();
        outcome.portsReported = node != nullptr ? node->children.size() : 0;
        pnp.ShutDown();
    }
    outcome.violations = hk::Violations();
    outcome.poolLeft = hk::LivePool().size();
    outcome.devicesLeft = hk::LiveDeviceCount();
    outcome.handlesLeft = hk::reg::OpenHandleCount();
    hk::ClearViolations();
    return outcome;
}

using BoardStartSweep = hk::test::KernelTest;

TEST_F(BoardStartSweep, EveryFailingAllocationOfAnEightPortBringUpLeavesNoPortAndNothingBehind)
{
    for (hk::Service service : {hk::Service::Pool, hk::Service::CreateDevice}) {
        SCOPED_TRACE(hk::ServiceName(service));
        const Outcome clean = BringUpAndRemove([] {});
        ASSERT_EQ(STATUS_SUCCESS, clean.startStatus);
        ASSERT_EQ(8u, clean.portsReported);
        const unsigned calls = hk::CallCount(service);

        unsigned failedStarts = 0;
        for (unsigned failing = 1; failing <= calls; ++failing) {
            SCOPED_TRACE("failing call " + std::to_string(failing));
            const Outcome outcome = BringUpAndRemove([&] { hk::FailNthCall(service, failing); });
            if (outcome.startSent && !NT_SUCCESS(outcome.startStatus)) {
                ++failedStarts;
                // The host kernel fails every allocation this way, and the
                // start passes the failing step's status up unchanged.
                EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, outcome.startStatus);
                // The manager removed the stack that failed: only the
                // board's PDO is left, no port device.
                EXPECT_EQ(1u, outcome.devicesAfterStart);
                EXPECT_EQ(0u, outcome.portsReported);
            } else if (outcome.startSent) {
                // Later allocations fail the relations block (no ports
                // reported) or a port's own bring-up, never part of the set.
                EXPECT_TRUE(outcome.portsReported == 8 || outcome.portsReported == 0) << outcome.portsReported;
            }
            for (const hk::Violation &v : outcome.violations)
                ADD_FAILURE() << v.name << " by " << v.image << ": " << v.detail;
            EXPECT_EQ(0u, outcome.poolLeft);
            EXPECT_EQ(0u, outcome.devicesLeft);
            EXPECT_EQ(0u, outcome.handlesLeft);
        }
        // Each of the ports' eight devices and twenty-four strings fails the
        // start; identification and resource capture add their own.
        EXPECT_GE(failedStarts, service == hk::Service::Pool ? 24u : 8u);
        if (service == hk::Service::CreateDevice) EXPECT_EQ(8u, failedStarts);
    }
}

}  // namespace
}  // namespace portnodes
