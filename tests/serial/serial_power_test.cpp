// The serial port driver stand-in as its port's power policy owner: a system
// request brings a device request for the port, unless the port's settings
// hand the policy to the bus driver.
#include "port_stack.h"

namespace serialtest {
namespace {

using SerialPower = SerialStackTest;

POWER_STATE System(SYSTEM_POWER_STATE state)
{
    POWER_STATE power;
    power.SystemState = state;
    return power;
}

const std::pair<UCHAR, UCHAR> kSetPower{IRP_MJ_POWER, IRP_MN_SET_POWER};

TEST_F(SerialPower, OwnerAsksForD3OnSleepAndD0OnWake)
{
    ResourceList resources{PortDescriptor(BlockOf(0), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};
    ASSERT_EQ(Start(resources, resources), STATUS_SUCCESS);
    script.seen.clear();

    // The system request goes down, then the port's own device request.
    EXPECT_EQ(hk::test::SendPower(fdo, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping3)),
              STATUS_SUCCESS);
    EXPECT_EQ(script.seen, (std::vector<std::pair<UCHAR, UCHAR>>{kSetPower, kSetPower}));
    EXPECT_EQ(hk::DevicePowerStateOf(fdo), PowerDeviceD3);

    EXPECT_EQ(hk::test::SendPower(fdo, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemWorking)),
              STATUS_SUCCESS);
    EXPECT_EQ(script.seen.size(), 4u);
    EXPECT_EQ(hk::DevicePowerStateOf(fdo), PowerDeviceD0);
}

TEST_F(SerialPower, RelinquishedPolicyPassesSystemRequestsOnly)
{
    SetPortSetting("SerialRelinquishPowerPolicy", 1);
    ResourceList resources{PortDescriptor(BlockOf(0), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};
    ASSERT_EQ(Start(resources, resources), STATUS_SUCCESS);
    script.seen.clear();

    EXPECT_EQ(hk::test::SendPower(fdo, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping3)),
              STATUS_SUCCESS);
    EXPECT_EQ(script.seen, (std::vector<std::pair<UCHAR, UCHAR>>{kSetPower}));
    EXPECT_NE(hk::DevicePowerStateOf(fdo), PowerDeviceD3);
}

}  // namespace
}  // namespace serialtest
