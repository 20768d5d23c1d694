// Board devices of mpsbus on the host kernel: creation in AddDevice, what
// the board answers and passes down, a start whose capture fails, and
// removal that leaves nothing behind.
#include "mpsbus_test.h"

namespace mpsbustest {
namespace {

using EventList = std::vector<std::string>;

// What the lower driver answers to WMI, distinct from any default.
const NTSTATUS kLowerWmiAnswer = STATUS_INVALID_DEVICE_STATE;

class BoardDeviceTest : public MpsbusTest {
protected:
    // Removal as the PnP manager sends it, then the image's unload: no
    // device, attachment or pool of mpsbus may be left.
    void RemoveAndUnload(PDEVICE_OBJECT board)
    {
        EXPECT_EQ(Send(board, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(pdo_->AttachedDevice, nullptr) << "the filter went with the removal too";
        EXPECT_EQ(hk::LiveDeviceCount(), 1u) << "only the lower PDO may be left";
        hk::UnloadDriver("mpsbus");
        EXPECT_EQ(hk::LivePoolCount("mpsbus"), 0u);
    }
};

TEST_F(BoardDeviceTest, AddDeviceCreatesAnAttachedBoardWithItsFlags)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(board->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(board->Characteristics & FILE_DEVICE_SECURE_OPEN, ULONG(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(board->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(board->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE), ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(hk::LowerDeviceOf(board), filter_);

    BoardExtension *extension = BoardOf(board);
    EXPECT_EQ(extension->IsBoard, TRUE);
    EXPECT_EQ(extension->DeviceObject, board);
    EXPECT_EQ(extension->Pdo, pdo_);
    EXPECT_EQ(extension->LowerDeviceObject, filter_) << "the device it attached to, not its PDO";
    EXPECT_EQ(extension->GenericExtension, reinterpret_cast<PUCHAR>(extension) + sizeof(BoardExtension))
        << "the library's area lies right behind the board's fields";
    EXPECT_TRUE(IsListEmpty(&extension->ChildList));
    EXPECT_EQ(extension->PortCount, 0u) << "the extension starts zero-filled";
    RemoveAndUnload(board);
}

TEST_F(BoardDeviceTest, AFailedAttachDeletesTheNewDevice)
{
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(AddBoard(&status,
                       [] {
                           hk::ResetFaults();
                           hk::FailNthCall(hk::Service::Attach, 1);
                       }),
              nullptr);
    EXPECT_EQ(status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(hk::LiveDeviceCount(), 2u) << "the lower PDO and its filter";
    EXPECT_EQ(filter_->AttachedDevice, nullptr);
    hk::UnloadDriver("mpsbus");
    EXPECT_EQ(hk::LivePoolCount("mpsbus"), 0u);
}

TEST_F(BoardDeviceTest, AFailedDeviceCreationReturnsItsStatusAndLeavesNothing)
{
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(AddBoard(&status, [] {
                  hk::ResetFaults();
                  hk::FailNthCall(hk::Service::CreateDevice, 1);
              }),
              nullptr);
    // The host's IoCreateDevice fails as Windows does when out of memory,
    // and AddDevice passes its status on unchanged.
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hk::LiveDeviceCount(), 2u) << "the lower PDO and its filter";
}

TEST_F(BoardDeviceTest, RequestsOtherThanPnpPowerAndWmiAreRefused)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    PDEVICE_OBJECT port = AddPortByHand(board);
    for (PDEVICE_OBJECT device : {board, port})
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL})
            EXPECT_EQ(Send(device, major), STATUS_INVALID_DEVICE_REQUEST) << "major " << int(major);
    EXPECT_EQ(stacktest::Events(), EventList{});
    IoDeleteDevice(port);
    RemoveAndUnload(board);
}

TEST_F(BoardDeviceTest, WmiGoesDownFromABoardAndEndsAtAPort)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    stacktest::SetLowerAnswer(IRP_MJ_SYSTEM_CONTROL, 0, kLowerWmiAnswer);
    EXPECT_EQ(Send(board, IRP_MJ_SYSTEM_CONTROL), kLowerWmiAnswer);
    EXPECT_EQ(stacktest::Events(), EventList{"lower:MAJOR 23"});

    PDEVICE_OBJECT port = AddPortByHand(board);
    EXPECT_EQ(Send(port, IRP_MJ_SYSTEM_CONTROL, 0, NoFill, STATUS_DRIVER_INTERNAL_ERROR), STATUS_DRIVER_INTERNAL_ERROR)
        << "a port hands WMI back with the status it carried";
    EXPECT_EQ(stacktest::Events().size(), 1u);
    IoDeleteDevice(port);
    RemoveAndUnload(board);
}

TEST_F(BoardDeviceTest, AStartWhoseCaptureFailsNeverReachesTheLowerDrivers)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    // No raw list: nothing to keep, and the START ends here.
    EXPECT_EQ(Send(board, IRP_MJ_PNP, IRP_MN_START_DEVICE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(BoardOf(board)->RawResources, nullptr);
    EXPECT_EQ(stacktest::Events(), EventList{});
    RemoveAndUnload(board);
}

TEST_F(BoardDeviceTest, AStartSentToAPortGoesToThePortHandlerOnly)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    PDEVICE_OBJECT port = AddPortByHand(board);
    // The port's start opens its device key, which a port no PnP manager
    // enumerated does not have; what matters here is that nothing is
    // captured and nothing goes down.
    EXPECT_EQ(Send(port, IRP_MJ_PNP, IRP_MN_START_DEVICE), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(BoardOf(board)->RawResources, nullptr);
    EXPECT_EQ(stacktest::Events(), EventList{});
    IoDeleteDevice(port);
    RemoveAndUnload(board);
}

TEST_F(BoardDeviceTest, PowerGoesDownFromABoardAndEndsAtAPort)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    PDEVICE_OBJECT port = AddPortByHand(board);
    auto toD0 = [](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State.DeviceState = PowerDeviceD0;
    };
    EXPECT_EQ(Send(board, IRP_MJ_POWER, IRP_MN_SET_POWER, toD0), STATUS_SUCCESS);
    EXPECT_EQ(stacktest::Events(), EventList{"lower:POWER"});
    EXPECT_EQ(Send(port, IRP_MJ_POWER, IRP_MN_SET_POWER, toD0), STATUS_SUCCESS);
    EXPECT_EQ(stacktest::Events().size(), 1u);
    IoDeleteDevice(port);
    RemoveAndUnload(board);
}

TEST_F(BoardDeviceTest, SurpriseRemovalKeepsTheBoardUntilItsRemove)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(Send(board, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(filter_->AttachedDevice, board);
    EXPECT_FALSE(hk::IsDeletePending(board));
    RemoveAndUnload(board);
    EXPECT_EQ(stacktest::Events(), (EventList{"lower:SURPRISE_REMOVAL", "lower:REMOVE_DEVICE"}));
}

}  // namespace
}  // namespace mpsbustest
