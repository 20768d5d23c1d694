// Requests passed on under the remove lock: power and every Plug and Play
// request the filter does not handle go down as they came; REMOVE waits for
// the requests still passing through, and what comes after is refused.
#include "filter_test.h"

#include <chrono>
#include <future>
#include <thread>

namespace filtertest {
namespace {

using namespace std::chrono_literals;

class RemovalTest : public FilterTest {};

template <typename T>
bool Done(std::future<T> &f)
{
    return f.wait_for(0s) == std::future_status::ready;
}

TEST_F(RemovalTest, OtherPnpRequestsGoDownUntouched)
{
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    script.seen.clear();
    // The port device leaves what it does not know alone: so does the filter.
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_PNP_DEVICE_STATE), UCHAR(IRP_MN_QUERY_BUS_INFORMATION), UCHAR(0x42)})
        EXPECT_EQ(hk::test::SendPnp(filter, minor), STATUS_NOT_SUPPORTED) << "minor " << int(minor);
    DEVICE_CAPABILITIES capabilities;
    EXPECT_EQ(hk::test::QueryCapabilities(filter, &capabilities), STATUS_NOT_SUPPORTED);
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_STOP_DEVICE), UCHAR(IRP_MN_STOP_DEVICE), UCHAR(IRP_MN_SURPRISE_REMOVAL)})
        EXPECT_EQ(hk::test::SendPnp(filter, minor), STATUS_SUCCESS) << "minor " << int(minor);
    const std::vector<std::pair<UCHAR, UCHAR>> seen = {
        {IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE}, {IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION},
        {IRP_MJ_PNP, 0x42},                          {IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES},
        {IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE},      {IRP_MJ_PNP, IRP_MN_STOP_DEVICE},
        {IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL}};
    EXPECT_EQ(script.seen, seen);
    EXPECT_EQ(script.starts, 1u) << "no second start, no second interface query";
    EXPECT_EQ(script.answers, 1u);
}

TEST_F(RemovalTest, PowerRequestsGoDown)
{
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(hk::test::SendPower(filter, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
    const std::vector<std::pair<UCHAR, UCHAR>> seen = {{IRP_MJ_POWER, IRP_MN_SET_POWER}};
    EXPECT_EQ(script.seen, seen);
}

TEST_F(RemovalTest, RemovalWaitsForRequestsPassingThroughAndRefusesLaterOnes)
{
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    PDEVICE_OBJECT device = filter;
    FilterExtension *extension = Extension();
    script.holdRequests = true;

    auto held = std::async(std::launch::async, [device] {
        return hk::SendIrpSync(device, IRP_MJ_DEVICE_CONTROL, 0, nullptr);
    });
    ASSERT_TRUE(hk::AwaitWaiterOn(&port.release, [&] { return Done(held); })) << "the request was never held below";

    auto removal = std::async(std::launch::async, [device] { return hk::test::SendPnp(device, IRP_MN_REMOVE_DEVICE); });
    // The removal has gone down and waits on the lock, for as long as the
    // request holds it.
    ASSERT_TRUE(hk::AwaitWaiterOn(&extension->RemoveLock.Common.RemoveEvent, [&] { return Done(removal); }))
        << "the removal ended while a request still held the lock";
    EXPECT_NE(extension->RemoveLock.Common.Removed, FALSE);
    EXPECT_FALSE(Done(removal));
    EXPECT_EQ(driver->DeviceObject, device) << "not deleted while a request holds the lock";

    // Meanwhile every new request is refused with the lock's status.
    script.seen.clear();
    ULONG_PTR information = 1;
    EXPECT_EQ(hk::SendIrpSync(device, IRP_MJ_CREATE, 0, nullptr, &information), STATUS_DELETE_PENDING);
    EXPECT_EQ(information, 0u);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(hk::test::SendPower(device, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_DELETE_PENDING);
    EXPECT_EQ(hk::test::SendPnp(device, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_DELETE_PENDING);
    EXPECT_TRUE(script.seen.empty());

    ReleaseHeldRequest(&port);
    EXPECT_EQ(held.get(), STATUS_SUCCESS);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr) << "the serial driver went too, and the filter is detached";
    filter = serial = nullptr;
}

TEST_F(RemovalTest, RemovalDetachesAndDeletesTheDevice)
{
    ASSERT_EQ(AddFilter(/*withSerial=*/false), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Remove();
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(script.seen.back(), std::make_pair(UCHAR(IRP_MJ_PNP), UCHAR(IRP_MN_REMOVE_DEVICE)));
    IoDeleteDevice(pdo);
    pdo = nullptr;
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

}  // namespace
}  // namespace filtertest
