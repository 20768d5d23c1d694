// The board's remove lock: a removal waits for every holder, refuses new
// ones while it waits, and hands the board to RemoveDevice only afterwards;
// requests that come while it waits are completed, each with its status; a
// request holds the lock for as long as the work it guards.
#include "stack_test.h"

#include <chrono>
#include <future>
#include <thread>

namespace stacktest {
namespace {

using namespace std::chrono_literals;

// The event a removal blocks on in IoReleaseRemoveLockAndWait.
const KEVENT *RemovalWaitOf(PVOID lock) { return &static_cast<PIO_REMOVE_LOCK>(lock)->Common.RemoveEvent; }

class RemoveLock : public StackTest {
protected:
    // Starts the board's removal on another thread while an acquisition of
    // |lock| keeps it waiting; returns once the removal is parked in its
    // wait for the holder (the test fails if it ends instead).
    std::future<NTSTATUS> RemoveWhileHeld(PDEVICE_OBJECT board, PVOID lock)
    {
        auto removal = std::async(std::launch::async, [this, board] { return Pnp(board, IRP_MN_REMOVE_DEVICE); });
        EXPECT_TRUE(hk::AwaitWaiterOn(RemovalWaitOf(lock), [&] { return removal.wait_for(0s) == std::future_status::ready; }))
            << "removal did not wait for the holder";
        return removal;
    }

    static NTSTATUS Power(PDEVICE_OBJECT device, UCHAR minor)
    {
        return hk::SendIrpSync(device, IRP_MJ_POWER, minor, [](PIO_STACK_LOCATION stack) {
            stack->Parameters.Power.Type = DevicePowerState;
            stack->Parameters.Power.State.DeviceState = PowerDeviceD3;
        });
    }
};

TEST_F(RemoveLock, RemovalWaitsForAHolderOnAnotherThread)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    PVOID lock = BoardRemoveLock(board);
    ASSERT_EQ(GenericAcquireRemoveLock(lock, nullptr), STATUS_SUCCESS);

    std::future<NTSTATUS> removal = RemoveWhileHeld(board, lock);
    EXPECT_EQ(Events(), (std::vector<std::string>{"lower:REMOVE_DEVICE"}))
        << "the request goes down first, RemoveDevice waits";
    EXPECT_EQ(GenericAcquireRemoveLock(lock, nullptr), STATUS_DELETE_PENDING)
        << "a board being removed takes no new holder";

    RecordEvent("holder released");
    GenericReleaseRemoveLock(lock, nullptr);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (std::vector<std::string>{"lower:REMOVE_DEVICE", "holder released", "RemoveDevice"}));
    EXPECT_EQ(hk::LivePoolCount(), 0u);
}

// Once the removal waits for the lock, every request that still comes is
// completed with the status its kind gets: the board's refuse with the
// lock's STATUS_DELETE_PENDING and never go down, a port's PnP request with
// STATUS_NO_SUCH_DEVICE before any callback runs, and a port's power request,
// which needs nothing of the board, as before. Each is completed (the host
// reports one left with a driver) and a refused power request still lets
// the next one go (PoStartNextPowerIrp).
TEST_F(RemoveLock, RequestsArrivingWhileTheRemovalWaitsAreCompletedWithTheirStatus)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    PDEVICE_OBJECT port = CreateClientPort(board);
    PVOID lock = BoardRemoveLock(board);
    ASSERT_EQ(GenericAcquireRemoveLock(lock, nullptr), STATUS_SUCCESS);
    std::future<NTSTATUS> removal = RemoveWhileHeld(board, lock);
    ClearEvents();

    EXPECT_EQ(Pnp(board, IRP_MN_QUERY_CAPABILITIES), STATUS_DELETE_PENDING);
    EXPECT_EQ(Pnp(board, IRP_MN_QUERY_DEVICE_RELATIONS,
                  [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; }),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(Power(board, IRP_MN_QUERY_POWER), STATUS_DELETE_PENDING);
    EXPECT_EQ(Power(board, IRP_MN_SET_POWER), STATUS_DELETE_PENDING);
    ULONG_PTR answer = 0;
    EXPECT_EQ(Pnp(port, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = BusQueryDeviceID; },
                  &answer),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(Pnp(port, IRP_MN_START_DEVICE), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Power(port, IRP_MN_SET_POWER), STATUS_SUCCESS);
    EXPECT_EQ(Events(), std::vector<std::string>{}) << "nothing went down, no callback ran";

    GenericReleaseRemoveLock(lock, nullptr);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(Events(), std::vector<std::string>{"RemoveDevice"});
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);
}

// A port's callback runs while its request holds the board's lock, so the
// board (and the area the callback reaches through its port) cannot go
// under it: the lock's own count and the request's acquisition.
TEST_F(RemoveLock, PortCallbacksRunUnderTheirRequestsHoldOnTheBoard)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    PDEVICE_OBJECT port = CreateClientPort(board);
    DEVICE_CAPABILITIES capabilities{};
    EXPECT_EQ(Pnp(port, IRP_MN_QUERY_CAPABILITIES,
                  [&](PIO_STACK_LOCATION stack) { stack->Parameters.DeviceCapabilities.Capabilities = &capabilities; }),
              STATUS_SUCCESS);
    for (UCHAR minor : {IRP_MN_QUERY_ID, IRP_MN_QUERY_DEVICE_TEXT}) {
        ULONG_PTR answer = 0;
        EXPECT_EQ(Pnp(port, minor, NoFill, &answer), STATUS_SUCCESS);
        ExFreePool(reinterpret_cast<PVOID>(answer));
    }
    EXPECT_EQ(Pnp(port, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(port, IRP_MN_QUERY_INTERFACE), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Seen().portCallbackLockCounts, (std::vector<LONG>{2, 2, 2, 2, 2}));
    EXPECT_EQ(Pnp(board, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
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

    // A leftover acquisition parks the removal for good: fail instead of hanging.
    // The lock's place is read first: the removal may free the board at once.
    const PVOID lock = BoardRemoveLock(board);
    auto removal = std::async(std::launch::async, [&] { return Pnp(board, IRP_MN_REMOVE_DEVICE); });
    ASSERT_FALSE(hk::AwaitWaiterOn(RemovalWaitOf(lock), [&] { return removal.wait_for(0s) == std::future_status::ready; }))
        << "an acquisition was never released";
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);
}

}  // namespace
}  // namespace stacktest
