// The board's PnP life through the library: when the client's start, stop
// and remove callbacks run relative to the lower drivers, across start,
// failed start, stop and restart, query/cancel, surprise removal and removal.
#include "stack_test.h"

namespace stacktest {
namespace {

using EventList = std::vector<std::string>;

class BoardLifecycle : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        board_ = AddBoard();
        ASSERT_NE(board_, nullptr);
    }

    NTSTATUS Start()
    {
        return Pnp(board_, IRP_MN_START_DEVICE, [this](PIO_STACK_LOCATION stack) {
            stack->Parameters.StartDevice.AllocatedResources = &raw_;
            stack->Parameters.StartDevice.AllocatedResourcesTranslated = &translated_;
        });
    }

    // Removal must leave nothing: no device, no pool, no attachment.
    void RemoveAndExpectNothingLeft()
    {
        EXPECT_EQ(Pnp(board_, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(pdo_->AttachedDevice, nullptr) << "the filter went with the removal too";
        EXPECT_EQ(hk::LiveDeviceCount(), 1u) << "only the lower PDO should be left";
        EXPECT_EQ(hk::LivePoolCount(), 0u);
    }

    PDEVICE_OBJECT board_ = nullptr;
    CM_RESOURCE_LIST raw_{}, translated_{};
};

TEST_F(BoardLifecycle, StartRunsAfterTheLowerDriversStartedTheBoard)
{
    SetLowerAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS);
    EXPECT_EQ(hk::DevicePowerStateOf(board_), PowerDeviceUnspecified);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (EventList{"lower:START_DEVICE", "StartDevice"}));
    EXPECT_EQ(hk::DevicePowerStateOf(board_), PowerDeviceD0) << "a started board reports D0 itself";
    EXPECT_EQ(Seen().startRaw, &raw_);
    EXPECT_EQ(Seen().startTranslated, &translated_);
    RemoveAndExpectNothingLeft();
}

TEST_F(BoardLifecycle, StartWaitsForALowerDriverThatCompletesLater)
{
    SetLowerAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS);
    SetLowerPends(true);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (EventList{"lower:START_DEVICE", "StartDevice"}));
    SetLowerPends(false);
    JoinLowerCompletions();
    hk::JoinPowerWorkers();
    RemoveAndExpectNothingLeft();
}

TEST_F(BoardLifecycle, ALowerFailureFailsTheStartWithoutTheStartCallback)
{
    SetLowerAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(EventsStartingWith("StartDevice"), EventList{});
    EXPECT_EQ(hk::DevicePowerStateOf(board_), PowerDeviceUnspecified);

    // The START reached the library, so the client still gets its stop
    // before the removal.
    ClearEvents();
    RemoveAndExpectNothingLeft();
    EXPECT_EQ(Events(), (EventList{"StopDevice", "lower:REMOVE_DEVICE", "RemoveDevice"}));
}

TEST_F(BoardLifecycle, AFailingStartCallbackFailsTheStartAndIsStoppedBeforeRemoval)
{
    SetLowerAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS);
    Plan().startDevice = STATUS_NOT_IMPLEMENTED;
    EXPECT_EQ(Start(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(hk::DevicePowerStateOf(board_), PowerDeviceUnspecified);

    ClearEvents();
    RemoveAndExpectNothingLeft();
    EXPECT_EQ(Events(), (EventList{"StopDevice", "lower:REMOVE_DEVICE", "RemoveDevice"}));
    EXPECT_EQ(Seen().stopDevice, board_);
}

TEST_F(BoardLifecycle, RemovalOfABoardThatNeverStartedSkipsTheStop)
{
    RemoveAndExpectNothingLeft();
    EXPECT_EQ(Events(), (EventList{"lower:REMOVE_DEVICE", "RemoveDevice"}));
}

TEST_F(BoardLifecycle, StopAndRestartStopOnceAndStartAgain)
{
    SetLowerAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(board_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(board_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    // A second STOP finds nothing owed.
    EXPECT_EQ(Pnp(board_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    RemoveAndExpectNothingLeft();

    EXPECT_EQ(Events(), (EventList{"lower:START_DEVICE", "StartDevice", "lower:QUERY_STOP_DEVICE", "StopDevice",
                                "lower:STOP_DEVICE", "lower:STOP_DEVICE", "lower:START_DEVICE", "StartDevice",
                                "StopDevice", "lower:REMOVE_DEVICE", "RemoveDevice"}));
}

TEST_F(BoardLifecycle, RefusedQueriesNeverReachTheLowerDrivers)
{
    Plan().mayStop = FALSE;
    Plan().mayRemove = FALSE;
    EXPECT_EQ(Pnp(board_, IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Pnp(board_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(EventsStartingWith("lower:"), EventList{});
    RemoveAndExpectNothingLeft();
}

TEST_F(BoardLifecycle, QueryRemoveAndCancelLeaveTheBoardWorking)
{
    SetLowerAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(board_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(board_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(board_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(board_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(EventsStartingWith("StopDevice"), EventList{}) << "a cancelled query releases nothing";
    EXPECT_EQ(filter_->AttachedDevice, board_);

    ClearEvents();
    RemoveAndExpectNothingLeft();
    EXPECT_EQ(Events(), (EventList{"StopDevice", "lower:REMOVE_DEVICE", "RemoveDevice"}));
}

TEST_F(BoardLifecycle, SurpriseRemovalStopsButKeepsTheDeviceUntilRemove)
{
    SetLowerAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(board_, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(filter_->AttachedDevice, board_) << "no detach during surprise removal";
    EXPECT_FALSE(hk::IsDeletePending(board_));

    RemoveAndExpectNothingLeft();
    EXPECT_EQ(Events(), (EventList{"lower:START_DEVICE", "StartDevice", "StopDevice", "lower:SURPRISE_REMOVAL",
                                "lower:REMOVE_DEVICE", "RemoveDevice"}));
}

TEST_F(BoardLifecycle, RequestsTheBoardDoesNotHandleGoDownUntouched)
{
    ULONG_PTR information = 0;
    EXPECT_EQ(Pnp(board_, IRP_MN_QUERY_PNP_DEVICE_STATE, NoFill, &information, STATUS_NOT_SUPPORTED),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Pnp(board_, IRP_MN_QUERY_DEVICE_RELATIONS,
                  [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = RemovalRelations; }),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Events(), (EventList{"lower:QUERY_PNP_DEVICE_STATE", "lower:QUERY_DEVICE_RELATIONS"}));
    RemoveAndExpectNothingLeft();
}

TEST_F(BoardLifecycle, BoardPowerGoesDownToTheLowerDrivers)
{
    EXPECT_EQ(hk::SendIrpSync(board_, IRP_MJ_POWER, IRP_MN_SET_POWER,
                              [](PIO_STACK_LOCATION stack) {
                                  stack->Parameters.Power.Type = DevicePowerState;
                                  stack->Parameters.Power.State.DeviceState = PowerDeviceD3;
                              }),
              STATUS_SUCCESS);
    SetLowerAnswer(IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hk::SendIrpSync(board_, IRP_MJ_POWER, IRP_MN_QUERY_POWER, NoFill), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Events(), (EventList{"lower:POWER", "lower:POWER"}));
    RemoveAndExpectNothingLeft();
}

// The board's function driver owns its power policy: a system request goes
// down first, then the library asks for the board's device state, and the
// system request completes after it. Both directions, each request let go
// with PoStartNextPowerIrp (the host reports one that is not).
TEST_F(BoardLifecycle, SystemRequestsBringTheBoardsOwnDeviceRequests)
{
    const auto system = [](SYSTEM_POWER_STATE state) {
        return [state](PIO_STACK_LOCATION stack) {
            stack->Parameters.Power.Type = SystemPowerState;
            stack->Parameters.Power.State.SystemState = state;
        };
    };
    EXPECT_EQ(hk::SendIrpSync(board_, IRP_MJ_POWER, IRP_MN_SET_POWER, system(PowerSystemSleeping3)), STATUS_SUCCESS);
    EXPECT_EQ(LowerPowerStates(), (std::vector<std::string>{"S3", "D3"}));
    EXPECT_EQ(hk::DevicePowerStateOf(board_), PowerDeviceD3);

    SetLowerPends(true);  // the lower driver completes from another thread
    EXPECT_EQ(hk::SendIrpSync(board_, IRP_MJ_POWER, IRP_MN_SET_POWER, system(PowerSystemWorking)), STATUS_SUCCESS);
    EXPECT_EQ(LowerPowerStates(), (std::vector<std::string>{"S3", "D3", "S0", "D0"}));
    EXPECT_EQ(hk::DevicePowerStateOf(board_), PowerDeviceD0);
    SetLowerPends(false);
    JoinLowerCompletions();
    hk::JoinPowerWorkers();
    RemoveAndExpectNothingLeft();
}

}  // namespace
}  // namespace stacktest
