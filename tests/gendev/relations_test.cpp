// Bus relations: one reference per reported device, merged with what an
// upper driver already put in the request, and nothing at all on failure.
#include "stack_test.h"

namespace stacktest {
namespace {

class BusRelationsQuery : public BoardStackTest {
protected:
    // Sends the query the way the PnP manager does, with |earlier| already
    // in IoStatus.Information (as an upper filter could leave it).
    NTSTATUS QueryBusRelations(PDEVICE_RELATIONS earlier, PDEVICE_RELATIONS *answer,
                               const std::function<void()> &beforeSend = [] {})
    {
        PIRP irp = IoAllocateIrp(board_->StackSize, FALSE);
        beforeSend();
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(earlier);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
        stack->Parameters.QueryDeviceRelations.Type = BusRelations;
        NTSTATUS status = IoCallDriver(board_, irp);
        EXPECT_NE(status, STATUS_PENDING) << "the test's lower driver completes at once";
        status = irp->IoStatus.Status;
        *answer = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
        IoFreeIrp(irp);
        return status;
    }

    // A one-entry list as an upper filter leaves it, holding its reference.
    static PDEVICE_RELATIONS UpperDriversList(PDEVICE_OBJECT device)
    {
        auto list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTestPoolTag));
        list->Count = 1;
        list->Objects[0] = device;
        ObReferenceObject(device);
        return list;
    }

    // What the PnP manager does with an answer: one dereference per entry,
    // then the block goes back to pool.
    static void ConsumeAnswer(PDEVICE_RELATIONS answer)
    {
        for (ULONG i = 0; i < answer->Count; ++i) ObDereferenceObject(answer->Objects[i]);
        ExFreePool(answer);
    }

};

TEST_F(BusRelationsQuery, EachReportedPortCarriesOneReferenceForTheManager)
{
    PDEVICE_OBJECT ports[2] = {CreateClientPort(board_), CreateClientPort(board_)};
    PDEVICE_RELATIONS answer = nullptr;
    ASSERT_EQ(QueryBusRelations(nullptr, &answer), STATUS_SUCCESS);
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(answer->Count, 2u);
    EXPECT_EQ(answer->Objects[0], ports[0]);
    EXPECT_EQ(answer->Objects[1], ports[1]);
    EXPECT_EQ(Events(), (std::vector<std::string>{"QueryBusRelations", "lower:QUERY_DEVICE_RELATIONS"}));

    // Deleting a port now must wait for the manager's reference...
    Pnp(board_, IRP_MN_REMOVE_DEVICE);
    board_ = nullptr;
    EXPECT_TRUE(hk::IsDeletePending(ports[0]));
    EXPECT_TRUE(hk::IsDeletePending(ports[1]));
    // ...and dropping exactly that reference lets it go.
    ConsumeAnswer(answer);
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);
    EXPECT_EQ(hk::LivePoolCount(), 0u);
}

TEST_F(BusRelationsQuery, ABoardWithoutPortsAnswersSuccessWithNoList)
{
    PDEVICE_RELATIONS answer = nullptr;
    EXPECT_EQ(QueryBusRelations(nullptr, &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, nullptr);
}

TEST_F(BusRelationsQuery, AnUpperDriversListIsKeptAheadOfThePorts)
{
    PDEVICE_OBJECT port = CreateClientPort(board_);
    PDEVICE_OBJECT other = CreateLowerPdo();
    PDEVICE_RELATIONS earlier = UpperDriversList(other);

    PDEVICE_RELATIONS answer = nullptr;
    ASSERT_EQ(QueryBusRelations(earlier, &answer), STATUS_SUCCESS);
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(answer->Count, 2u);
    EXPECT_EQ(answer->Objects[0], other);
    EXPECT_EQ(answer->Objects[1], port);
    ConsumeAnswer(answer);
    EXPECT_FALSE(hk::IsDeletePending(port));
}

TEST_F(BusRelationsQuery, AFailedQueryCompletesWithItsStatusAndGoesNoFurther)
{
    CreateClientPort(board_);
    Plan().relationsStatus = STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_RELATIONS answer = nullptr;
    EXPECT_EQ(QueryBusRelations(nullptr, &answer), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(EventsStartingWith("lower:"), std::vector<std::string>{});
}

// A failed request hands nothing back, so an upper driver's list would be
// lost with its references if the board did not give it back.
TEST_F(BusRelationsQuery, AFailedQueryReleasesTheListAnUpperDriverLeft)
{
    CreateClientPort(board_);
    PDEVICE_OBJECT other = CreateLowerPdo();
    PDEVICE_RELATIONS earlier = UpperDriversList(other);
    Plan().relationsStatus = STATUS_INSUFFICIENT_RESOURCES;

    PDEVICE_RELATIONS answer = nullptr;
    EXPECT_EQ(QueryBusRelations(earlier, &answer), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(answer, nullptr) << "Information is cleared";
    EXPECT_EQ(hk::LivePoolCount(), 0u);
    const size_t devices = hk::LiveDeviceCount();
    DeleteLowerPdo(other);
    EXPECT_EQ(hk::LiveDeviceCount(), devices - 1) << "the list's reference was given back";
}

TEST_F(BusRelationsQuery, AMergeThatCannotBeAllocatedReleasesBothLists)
{
    CreateClientPort(board_);
    PDEVICE_OBJECT other = CreateLowerPdo();
    PDEVICE_RELATIONS earlier = UpperDriversList(other);

    PDEVICE_RELATIONS answer = nullptr;
    NTSTATUS status = QueryBusRelations(earlier, &answer, [] {
        // The client's list is the next allocation, the merged block the one after.
        hk::ResetFaults();
        hk::FailNthCall(hk::Service::Pool, 2);
    });
    hk::ResetFaults();
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(hk::LivePoolCount(), 0u) << "both lists are released";

    // No reference may be left behind on either side: both devices go at once.
    Pnp(board_, IRP_MN_REMOVE_DEVICE);
    board_ = nullptr;
    EXPECT_EQ(hk::LiveDeviceCount(), 2u);
    DeleteLowerPdo(other);
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);
}

}  // namespace
}  // namespace stacktest
