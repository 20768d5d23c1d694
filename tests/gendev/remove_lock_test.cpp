// The board's remove lock: a removal waits for every holder, refuses new
// ones while it waits, and hands the board to RemoveDevice only afterwards.
#include "stack_test.h"

#include <chrono>
#include <future>
#include <thread>

namespace stacktest {
namespace {

using namespace std::chrono_literals;

class RemoveLock : public StackTest {};

TEST_F(RemoveLock, RemovalWaitsForAHolderOnAnotherThread)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    PVOID lock = BoardRemoveLock(board);
    ASSERT_EQ(GenericAcquireRemoveLock(lock, nullptr), STATUS_SUCCESS);

    auto removal = std::async(std::launch::async, [&] { return Pnp(board, IRP_MN_REMOVE_DEVICE); });
    EXPECT_EQ(removal.wait_for(150ms), std::future_status::timeout) << "removal did not wait for the holder";
    EXPECT_EQ(Events(), (std::vector<std::string>{"lower:REMOVE_DEVICE"}))
        << "the request goes down first, RemoveDevice waits";
    EXPECT_EQ(GenericAcquireRemoveLock(lock, nullptr), STATUS_DELETE_PENDING)
        << "a board being removed takes no new holder";

    RecordEvent("holder released");
    GenericReleaseRemoveLock(lock, nullptr);
    ASSERT_EQ(removal.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (std::vector<std::string>{"lower:REMOVE_DEVICE", "holder released", "RemoveDevice"}));
    EXPECT_EQ(hk::LivePoolCount(), 0u);
}

TEST_F(RemoveLock, RequestsHoldTheLockOnlyWhileTheyRun)
{
    // Every path of the dispatch routines releases what it took; a leftover
    // acquisition would hang the removal below.
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    PDEVICE_OBJECT port = CreateClientPort(board);
    SetLowerAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS);
    Plan().mayStop = FALSE;
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                        IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_STOP_DEVICE})
        Pnp(board, minor);
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_ID, IRP_MN_QUERY_INTERFACE, IRP_MN_REMOVE_DEVICE}) {
        // The ID the port answers is the caller's to free, as the PnP manager does.
        ULONG_PTR answer = 0;
        Pnp(port, minor, NoFill, &answer);
        if (minor == IRP_MN_QUERY_ID && answer != 0) ExFreePool(reinterpret_cast<PVOID>(answer));
    }
    hk::SendIrpSync(board, IRP_MJ_POWER, IRP_MN_QUERY_POWER, NoFill);

    auto removal = std::async(std::launch::async, [&] { return Pnp(board, IRP_MN_REMOVE_DEVICE); });
    ASSERT_EQ(removal.wait_for(5s), std::future_status::ready) << "an acquisition was never released";
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);
}

}  // namespace
}  // namespace stacktest
