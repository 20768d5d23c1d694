// Port requests end in the library: answered through the client's
// callbacks, or completed with the status they carried.
#include "stack_test.h"

#include <hk/host.h>

namespace stacktest {
namespace {

// Status a request carries when it arrives, distinct from anything the
// library or the client would answer, so "left as it came" is visible.
const NTSTATUS kCarried = STATUS_DRIVER_INTERNAL_ERROR;

class PortRequests : public BoardStackTest {
protected:
    void TearDown() override
    {
        if (board_ != nullptr) Pnp(board_, IRP_MN_REMOVE_DEVICE);
        board_ = nullptr;
        EXPECT_EQ(hk::LivePoolCount(), 0u);
        BoardStackTest::TearDown();
    }

    void AddPort()
    {
        port_ = CreateClientPort(board_);
        ASSERT_NE(port_, nullptr);
    }

    // One request to the port; its answer string (if any) is taken as the
    // PnP manager would take it.
    NTSTATUS Ask(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &fill, std::string *answer = nullptr)
    {
        ULONG_PTR information = 0;
        NTSTATUS status = Pnp(port_, minor, fill, &information, kCarried);
        auto text = reinterpret_cast<PWSTR>(information);
        if (answer != nullptr) *answer = text ? hk::Narrow(text) : "<none>";
        if (text != nullptr) ExFreePool(text);
        return status;
    }

    PDEVICE_OBJECT port_ = nullptr;
};

TEST_F(PortRequests, IdsAndTextsComeFromTheClientAndPassToTheCaller)
{
    AddPort();
    std::string answer;
    EXPECT_EQ(Ask(IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryInstanceID; },
                  &answer),
              STATUS_SUCCESS);
    EXPECT_EQ(answer, "PORT_1");
    EXPECT_EQ(Ask(IRP_MN_QUERY_DEVICE_TEXT,
                  [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription; },
                  &answer),
              STATUS_SUCCESS);
    EXPECT_EQ(answer, "Test Port");
}

TEST_F(PortRequests, AFailedIdAnswerCarriesNoStringAndLeaksNone)
{
    AddPort();
    // A failure of the client's own: STATUS_NOT_SUPPORTED is the system's.
    Plan().idStatus = STATUS_INSUFFICIENT_RESOURCES;
    std::string answer;
    EXPECT_EQ(Ask(IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryDeviceID; },
                  &answer),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(answer, "<none>");
    EXPECT_EQ(Ask(IRP_MN_QUERY_DEVICE_TEXT, NoFill, &answer), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(answer, "<none>");
}

TEST_F(PortRequests, CapabilitiesAreEditedInTheRequestsOwnRecord)
{
    AddPort();
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = 0x1234;
    EXPECT_EQ(Ask(IRP_MN_QUERY_CAPABILITIES,
                  [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &capabilities; }),
              STATUS_SUCCESS);
    EXPECT_EQ(Seen().capabilities, &capabilities);
    EXPECT_EQ(capabilities.UniqueID, 1u);
    EXPECT_EQ(capabilities.Address, 0x1234u);
}

TEST_F(PortRequests, StartHandsTheResourcesToStartPort)
{
    AddPort();
    CM_RESOURCE_LIST raw{}, translated{};
    auto fill = [&](PIO_STACK_LOCATION s) {
        s->Parameters.StartDevice.AllocatedResources = &raw;
        s->Parameters.StartDevice.AllocatedResourcesTranslated = &translated;
    };
    Plan().startPort = STATUS_OBJECT_NAME_NOT_FOUND;
    EXPECT_EQ(Ask(IRP_MN_START_DEVICE, fill), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(hk::DevicePowerStateOf(port_), PowerDeviceUnspecified) << "a port that failed its start is not in D0";

    Plan().startPort = STATUS_SUCCESS;
    EXPECT_EQ(Ask(IRP_MN_START_DEVICE, fill), STATUS_SUCCESS);
    EXPECT_EQ(Seen().portRaw, &raw);
    EXPECT_EQ(Seen().portTranslated, &translated);
    EXPECT_EQ(hk::DevicePowerStateOf(port_), PowerDeviceD0) << "the port's bus driver reports it in D0";
    EXPECT_EQ(EventsStartingWith("lower:"), std::vector<std::string>{}) << "a port request never goes down";
}

TEST_F(PortRequests, StateChangesSucceedAndLeaveThePortToItsBoard)
{
    AddPort();
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                        IRP_MN_REMOVE_DEVICE})
        EXPECT_EQ(Ask(minor, NoFill), STATUS_SUCCESS) << stacktest::PnpMinorName(minor);
    EXPECT_FALSE(hk::IsDeletePending(port_));
    EXPECT_EQ(hk::LiveDeviceCount(), 4u) << "lower PDO, its filter, board and port";
}

TEST_F(PortRequests, TargetRelationIsTheReferencedPortItself)
{
    AddPort();
    ULONG_PTR information = 0;
    EXPECT_EQ(Pnp(
                  port_, IRP_MN_QUERY_DEVICE_RELATIONS,
                  [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; },
                  &information, kCarried),
              STATUS_SUCCESS);
    auto relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    ASSERT_NE(relations, nullptr);
    EXPECT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], port_);

    // The reference is the manager's: the port outlives its deletion until
    // the manager drops it.
    Pnp(board_, IRP_MN_REMOVE_DEVICE);
    board_ = nullptr;
    EXPECT_TRUE(hk::IsDeletePending(port_));
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);
}

TEST_F(PortRequests, AnInterfaceTheClientDoesNotExportKeepsTheCarriedStatus)
{
    AddPort();
    EXPECT_EQ(Ask(IRP_MN_QUERY_INTERFACE, NoFill), kCarried);
    Plan().interfaceStatus = STATUS_SUCCESS;
    EXPECT_EQ(Ask(IRP_MN_QUERY_INTERFACE, NoFill), STATUS_SUCCESS);
    Plan().interfaceStatus = STATUS_INFO_LENGTH_MISMATCH;
    EXPECT_EQ(Ask(IRP_MN_QUERY_INTERFACE, NoFill), STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(PortRequests, ResourceQueriesAreAnsweredWithNone)
{
    AddPort();
    for (UCHAR minor : {IRP_MN_QUERY_RESOURCES, IRP_MN_QUERY_RESOURCE_REQUIREMENTS}) {
        ULONG_PTR information = 0xDEAD;
        EXPECT_EQ(Pnp(port_, minor, NoFill, &information, kCarried), STATUS_SUCCESS);
        EXPECT_EQ(information, 0u);
    }
}

TEST_F(PortRequests, WithoutCallbacksOrOptionsEveryRequestKeepsItsStatus)
{
    Pnp(board_, IRP_MN_REMOVE_DEVICE);
    Plan().portCallbacks = false;
    Plan().options = 0;
    board_ = AddBoard();
    AddPort();
    for (UCHAR minor : {IRP_MN_QUERY_ID, IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_CAPABILITIES,
                        IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                        IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_QUERY_PNP_DEVICE_STATE})
        EXPECT_EQ(Ask(minor, NoFill), kCarried) << stacktest::PnpMinorName(minor);
    EXPECT_EQ(Ask(IRP_MN_START_DEVICE, NoFill), STATUS_SUCCESS);
}

TEST_F(PortRequests, PowerRequestsSucceedWhereTheyMustAndEndAtThePort)
{
    AddPort();
    for (UCHAR minor : {IRP_MN_SET_POWER, IRP_MN_QUERY_POWER})
        EXPECT_EQ(hk::SendIrpSync(port_, IRP_MJ_POWER, minor, NoFill, nullptr, kCarried), STATUS_SUCCESS);
    EXPECT_EQ(hk::SendIrpSync(port_, IRP_MJ_POWER, IRP_MN_WAIT_WAKE, NoFill, nullptr, kCarried), kCarried);
    EXPECT_EQ(EventsStartingWith("lower:"), std::vector<std::string>{});
}

}  // namespace
}  // namespace stacktest
