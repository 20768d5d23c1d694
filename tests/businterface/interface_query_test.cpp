// The query at a port device and the references it hands out: the checks in
// their order, the filled record, and the board's remove lock held for as
// long as a reference is.
#include "PciParent/bus_interface.h"
#include "PciParent/option_registers.h"
#include "interface_board.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace interfacetest {
namespace {

using namespace std::chrono_literals;
using stacktest::Events;
using stacktest::RecordEvent;

// A removal on another thread first passes IRP_MN_REMOVE_DEVICE down, then
// waits for the references on the board's remove lock. How soon its thread
// gets there depends on how busy the machine is, so a test waits until the
// host has it parked there, or the removal ended without waiting.
bool RemovalWaits(BoardExtension *board, std::future<NTSTATUS> &removal)
{
    return hk::AwaitWaiterOn(&board->RemoveLock.Common.RemoveEvent,
                             [&] { return removal.wait_for(0s) == std::future_status::ready; });
}

// Whether the removal has been let go: its lock's event is set at once by
// the release that lets it go, on the releasing thread.
bool RemovalReleased(BoardExtension *board) { return KeReadStateEvent(&board->RemoveLock.Common.RemoveEvent) != 0; }

const GUID kOtherGuid = {0x5B1D7C42, 0x9E3A, 0x4F60, {0x8D, 0x21, 0x3C, 0x7A, 0x9E, 0x04, 0xB6, 0xF2}};
// The interface's GUID with one field changed each: all 16 bytes count.
const GUID kOtherData1 = {0x5B1D7C43, 0x9E3A, 0x4F60, {0x8D, 0x21, 0x3C, 0x7A, 0x9E, 0x04, 0xB6, 0xF1}};
const GUID kOtherData2 = {0x5B1D7C42, 0x9E3B, 0x4F60, {0x8D, 0x21, 0x3C, 0x7A, 0x9E, 0x04, 0xB6, 0xF1}};
const GUID kOtherData3 = {0x5B1D7C42, 0x9E3A, 0x4F61, {0x8D, 0x21, 0x3C, 0x7A, 0x9E, 0x04, 0xB6, 0xF1}};
const GUID kOtherData4 = {0x5B1D7C42, 0x9E3A, 0x4F60, {0x8C, 0x21, 0x3C, 0x7A, 0x9E, 0x04, 0xB6, 0xF1}};
const GUID kNullGuid = {};

PortBusInterface Untouched()
{
    PortBusInterface record;
    memset(&record, 0xCC, sizeof(record));
    return record;
}

bool IsUntouched(const PortBusInterface &record)
{
    PortBusInterface untouched = Untouched();
    return memcmp(&record, &untouched, sizeof(record)) == 0;
}

class Queries : public InterfaceTest {};

TEST_F(Queries, ChecksComeInOrderAndAFailedOneWritesAndTakesNothing)
{
    struct Case {
        const char *what;
        const GUID *type;
        USHORT size, version;
        NTSTATUS status;
    };
    // The record's own size (24 bytes on x86, 48 on x64), and sizes around it.
    const USHORT size = sizeof(PortBusInterface);
    const USHORT header = sizeof(INTERFACE);
    const Case cases[] = {
        {"another interface, however asked", &kOtherGuid, USHORT(size - 1), 2, STATUS_NOT_SUPPORTED},
        {"another interface", &kOtherGuid, size, 1, STATUS_NOT_SUPPORTED},
        {"first field differs", &kOtherData1, size, 1, STATUS_NOT_SUPPORTED},
        {"second field differs", &kOtherData2, size, 1, STATUS_NOT_SUPPORTED},
        {"third field differs", &kOtherData3, size, 1, STATUS_NOT_SUPPORTED},
        {"first byte of the fourth field differs", &kOtherData4, size, 1, STATUS_NOT_SUPPORTED},
        {"the null GUID", &kNullGuid, size, 1, STATUS_NOT_SUPPORTED},
        {"no size", &GUID_PORT_BUS_INTERFACE, 0, 1, STATUS_INFO_LENGTH_MISMATCH},
        {"the INTERFACE header only", &GUID_PORT_BUS_INTERFACE, header, 1, STATUS_INFO_LENGTH_MISMATCH},
        {"one routine short", &GUID_PORT_BUS_INTERFACE, USHORT(size - sizeof(PVOID)), 0, STATUS_INFO_LENGTH_MISMATCH},
        {"a size that wraps", &GUID_PORT_BUS_INTERFACE, 0xFFFF, 1, STATUS_INFO_LENGTH_MISMATCH},
        {"the largest version", &GUID_PORT_BUS_INTERFACE, size, 0xFFFF, STATUS_INVALID_PARAMETER},
        {"a size too small, and a version too new", &GUID_PORT_BUS_INTERFACE, header, 2, STATUS_INFO_LENGTH_MISMATCH},
        {"a size too large", &GUID_PORT_BUS_INTERFACE, USHORT(size + 1), 1, STATUS_INFO_LENGTH_MISMATCH},
        {"a version too new", &GUID_PORT_BUS_INTERFACE, size, 2, STATUS_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PortBusInterface record = Untouched();
        const NTSTATUS status = Query(port_, &record, *c.type, c.size, c.version);
        EXPECT_EQ(status, c.status);
        // A reference wrongly handed out would hold up the board's removal.
        if (NT_SUCCESS(status)) record.InterfaceDereference(record.Context);
        EXPECT_TRUE(IsUntouched(record));
        EXPECT_EQ(RefCount(), 0);
    }
}

// A query for this interface without a record to fill, or without any
// type, is refused before the lock is taken; one for another interface
// without a record is simply not this driver's.
TEST_F(Queries, MissingPointersAreRefusedBeforeAnythingIsTaken)
{
    struct Case {
        const char *what;
        const GUID *type;
        bool record;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"no interface type", nullptr, true, STATUS_INVALID_PARAMETER},
        {"no interface type and no record", nullptr, false, STATUS_INVALID_PARAMETER},
        {"no record", &GUID_PORT_BUS_INTERFACE, false, STATUS_INVALID_PARAMETER},
        {"another interface and no record", &kOtherGuid, false, STATUS_NOT_SUPPORTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PortBusInterface record = Untouched();
        const NTSTATUS status =
            hk::SendIrpSync(port_, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION stack) {
                stack->Parameters.QueryInterface.InterfaceType = c.type;
                stack->Parameters.QueryInterface.Size = sizeof(PortBusInterface);
                stack->Parameters.QueryInterface.Version = 1;
                stack->Parameters.QueryInterface.Interface = c.record ? reinterpret_cast<PINTERFACE>(&record) : nullptr;
            });
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(IsUntouched(record));
        EXPECT_EQ(RefCount(), 0);
    }
}

TEST_F(Queries, FillsTheRecordAndHoldsOneReference)
{
    for (USHORT version : {1, 0}) {
        PortBusInterface record = Untouched();
        ASSERT_EQ(Query(port_, &record, GUID_PORT_BUS_INTERFACE, sizeof(PortBusInterface), version), STATUS_SUCCESS);
        EXPECT_EQ(record.Size, sizeof(PortBusInterface));
        EXPECT_EQ(record.Version, 1) << "asked for version " << version;
        EXPECT_EQ(record.Context, board_);
        EXPECT_EQ(record.InterfaceReference, ReferencePortInterface);
        EXPECT_EQ(record.InterfaceDereference, DereferencePortInterface);
        EXPECT_EQ(record.GetResourceLists, GetResourceLists);
        EXPECT_EQ(record.SetPortOptions, SetPortOptions);
        EXPECT_EQ(RefCount(), 1);
        record.InterfaceDereference(record.Context);
        EXPECT_EQ(RefCount(), 0);
    }
}

TEST_F(Queries, EveryReferenceHoldsTheLockUntilItsDereference)
{
    PortBusInterface first = Untouched(), second = Untouched();
    ASSERT_EQ(Query(port_, &first), STATUS_SUCCESS);
    ASSERT_EQ(Query(port_, &second), STATUS_SUCCESS);
    first.InterfaceReference(first.Context);
    EXPECT_EQ(RefCount(), 3);

    auto removal = std::async(std::launch::async, [&] { return RemoveBoard(); });
    ASSERT_TRUE(RemovalWaits(board_, removal)) << "removal went on under three references";
    for (const PortBusInterface *holder : {&first, &second, &first}) {
        EXPECT_FALSE(RemovalReleased(board_)) << "removal let go under a reference";
        RecordEvent("dereference");
        holder->InterfaceDereference(holder->Context);
    }
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (std::vector<std::string>{"lower:REMOVE_DEVICE", "dereference", "dereference", "dereference",
                                                  "RemoveDevice"}));
}

// While the removal waits, nothing new is handed out: gendev turns away
// requests to the port, and a query that its handler already runs is
// refused without writing the record or counting a reference.
TEST_F(Queries, NoReferenceIsReportedWhileTheBoardIsBeingRemoved)
{
    Capture(kPcmcia, {PortDescriptor(0x2E8, 8), InterruptDescriptor(5, 5)}, {PortDescriptor(0x2E8, 8), InterruptDescriptor(0x35, 0x35)});
    PortBusInterface held = Untouched();
    ASSERT_EQ(Query(port_, &held), STATUS_SUCCESS);
    PDEVICE_OBJECT port = port_;
    BoardExtension *board = board_;

    auto removal = std::async(std::launch::async, [&] { return RemoveBoard(); });
    ASSERT_TRUE(RemovalWaits(board, removal)) << "removal went on under a reference";

    PortBusInterface refused = Untouched();
    EXPECT_EQ(Query(port, &refused), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(QueryDirect(port, &refused), STATUS_DELETE_PENDING);
    EXPECT_TRUE(IsUntouched(refused));
    held.InterfaceReference(held.Context);  // refused as well: counts nothing
    EXPECT_EQ(board->InterfaceRefCount, 1);

    // The holder still gets the lists it came for.
    PCM_RESOURCE_LIST raw = nullptr, translated = nullptr;
    ASSERT_EQ(held.GetResourceLists(held.Context, &raw, &translated), STATUS_SUCCESS);
    ExFreePool(raw);
    ExFreePool(translated);

    RecordEvent("dereference");
    EXPECT_FALSE(RemovalReleased(board));
    held.InterfaceDereference(held.Context);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (std::vector<std::string>{"lower:REMOVE_DEVICE", "dereference", "RemoveDevice"}));
}

// A dereference that matches no reference (one whose lock was refused)
// counts below zero and gives back no lock: the removal below still finds
// the lock as it should, and the verifier sees no release without an
// acquisition.
TEST_F(Queries, DereferenceWithoutAReferenceReleasesNothing)
{
    DereferencePortInterface(board_);
    EXPECT_EQ(RefCount(), -1);
    EXPECT_EQ(RemoveBoard(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace interfacetest
