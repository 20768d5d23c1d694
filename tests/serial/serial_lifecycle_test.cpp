// The serial port driver stand-in as a member of a port's device stack: how
// it builds its device, what it passes down to the port device, and how it
// leaves the stack again.
#include "port_stack.h"

namespace serialtest {
namespace {

using SerialLifecycle = SerialStackTest;

TEST_F(SerialLifecycle, AddDeviceBuildsAReadyFunctionDeviceOnThePortDevice)
{
    EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(hk::LowerDeviceOf(fdo), pdo);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_NE(fdo->Flags & DO_POWER_PAGABLE, 0u);
    EXPECT_NE(fdo->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_GT(fdo->StackSize, pdo->StackSize);

    const sim::SerialPortRecord *record = Record();
    ASSERT_NE(record, nullptr);
    EXPECT_FALSE(record->started);
    EXPECT_EQ(record->loopback, sim::CheckResult::NotRun);
    EXPECT_EQ(sim::SerialRecordFor(fdo), nullptr);  // keyed by the PDO it was given only
}

TEST_F(SerialLifecycle, RequestsItDoesNotHandleReachThePortDeviceWithTheirStatus)
{
    // A query the port device answers as it likes keeps the port device's answer.
    EXPECT_EQ(hk::test::SendPnp(fdo, IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);
    // State changes a function driver agrees to are succeeded on the way down.
    EXPECT_EQ(hk::test::SendPnp(fdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(hk::test::SendPnp(fdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(hk::test::SendPower(fdo, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
    EXPECT_EQ(hk::SendIrpSync(fdo, IRP_MJ_DEVICE_CONTROL, 0, [](PIO_STACK_LOCATION) {}), STATUS_SUCCESS);

    std::vector<std::pair<UCHAR, UCHAR>> expected = {{IRP_MJ_PNP, IRP_MN_QUERY_ID},
                                                     {IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE},
                                                     {IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE},
                                                     {IRP_MJ_POWER, IRP_MN_SET_POWER},
                                                     {IRP_MJ_DEVICE_CONTROL, 0}};
    EXPECT_EQ(script.seen, expected);
}

TEST_F(SerialLifecycle, StopKeepsTheLastChecksAndARestartRedoesThem)
{
    SetPortSetting("PortIndex", 1);
    ResourceList first{PortDescriptor(BlockOf(0), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};
    ASSERT_EQ(Start(first, first), STATUS_SUCCESS);
    ASSERT_EQ(Record()->statusRegister, sim::CheckResult::Ok);

    EXPECT_EQ(hk::test::SendPnp(fdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Record()->started);
    EXPECT_EQ(Record()->loopback, sim::CheckResult::Ok);

    // Rebalanced onto port 2's registers while it still claims PortIndex 1.
    ResourceList second{PortDescriptor(BlockOf(1), 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};
    ASSERT_EQ(Start(second, second), STATUS_SUCCESS);
    EXPECT_TRUE(Record()->started);
    EXPECT_EQ(Record()->translated[0].u.Port.Start.LowPart, BlockOf(1));
    EXPECT_EQ(Record()->statusRegister, sim::CheckResult::Failed);
    EXPECT_EQ(Record()->checkDetail, "expected bit 0, status register read 0x02");
}

TEST_F(SerialLifecycle, SurpriseRemovalLeavesTheStackAndRemoveTakesItDown)
{
    size_t devices = hk::LiveDeviceCount();

    EXPECT_EQ(hk::test::SendPnp(fdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(hk::LiveDeviceCount(), devices);

    Remove();
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(hk::LiveDeviceCount(), devices - 1);
    ASSERT_FALSE(script.seen.empty());
    EXPECT_EQ(script.seen.back(), std::make_pair(UCHAR(IRP_MJ_PNP), UCHAR(IRP_MN_REMOVE_DEVICE)));
    EXPECT_NE(Record(), nullptr);  // what it saw outlives its device
    EXPECT_FALSE(Record()->started);
}

}  // namespace
}  // namespace serialtest
