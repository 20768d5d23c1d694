// The lower drivers' fault plan: requests are counted per driver, devices
// numbered per driver in the order that driver first saw them (a rerun
// repeats the numbers, unlike the addresses), and only the planned request
// fails.
#include "lower_faults.h"

#include "support/kernel_test.h"

namespace {

using LowerFaults = hk::test::KernelTest;

TEST_F(LowerFaults, DevicesAreNumberedPerDriverAndOnlyThePlannedRequestFails)
{
    sim::ResetLowerFaults();
    sim::FailLowerRequest("serial", 4);
    PIRP irp = hk::AllocateManagerIrp(1);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_START_DEVICE;
    int a, b, c;  // three devices: only their addresses matter
    const struct {
        const char *driver;
        void *device;
        unsigned number;
        bool fails;
    } kSent[] = {
        {"serial", &a, 0, false}, {"hklower", &b, 0, false}, {"serial", &c, 1, false},
        {"hklower", &a, 1, false}, {"serial", &a, 0, false}, {"serial", &c, 1, true},
    };
    for (const auto &sent : kSent)
        EXPECT_EQ(sim::LowerDriverFails(sent.driver, static_cast<PDEVICE_OBJECT>(sent.device), irp), sent.fails)
            << sent.driver;
    const std::vector<sim::LowerRequest> seen = sim::LowerRequests();
    ASSERT_EQ(seen.size(), std::size(kSent));
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].driver, kSent[i].driver) << i;
        EXPECT_EQ(seen[i].device, kSent[i].number) << i;
    }
    EXPECT_TRUE(sim::LowerRequestFailed());
    IoFreeIrp(irp);
    sim::ResetLowerFaults();
}

}  // namespace
