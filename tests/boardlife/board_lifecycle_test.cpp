// AddBoardDevice, StopBoard and RemoveBoard with the gendev library replaced
// by recording stand-ins: what the board hands the library, what it cleans up
// when AddDevice fails half way, and that stop and removal release each
// resource exactly once.
#include "PciParent/bus_interface.h"
#include "PciParent/port_devices.h"
#include "PciParent/port_services.h"

#include "support/kernel_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr ULONG kAreaSize = 64;

struct LibraryLog {
    std::vector<std::string> calls;
    std::vector<PVOID> cleanedAreas;
    GenericInitRecord record;
    bool recordSeen = false;
    NTSTATUS initializeStatus = STATUS_SUCCESS;
    NTSTATUS deletePortsStatus = STATUS_SUCCESS;
};
LibraryLog gLog;

}  // namespace

// ------------------------------------------------- gendev library stand-ins
ULONG NTAPI GetSizeofGenericExtension(void) { return kAreaSize; }
NTSTATUS NTAPI InitializeGenericExtension(PVOID, const GenericInitRecord *Record)
{
    gLog.calls.push_back("initialize");
    std::memcpy(&gLog.record, Record, sizeof(gLog.record));
    gLog.recordSeen = true;
    return gLog.initializeStatus;
}
VOID NTAPI CleanupGenericExtension(PVOID Area)
{
    gLog.calls.push_back("cleanup");
    gLog.cleanedAreas.push_back(Area);
}

// ------------------------------- routines the board hands to the library
NTSTATUS NTAPI StartSequence(PDEVICE_OBJECT, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) { return STATUS_SUCCESS; }
NTSTATUS NTAPI QueryBusRelations(PDEVICE_OBJECT, PDEVICE_RELATIONS *) { return STATUS_SUCCESS; }
NTSTATUS NTAPI QueryPortCapabilities(PDEVICE_OBJECT, PDEVICE_CAPABILITIES *) { return STATUS_SUCCESS; }
NTSTATUS NTAPI StartPort(PDEVICE_OBJECT, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) { return STATUS_SUCCESS; }
NTSTATUS NTAPI QueryPortId(PDEVICE_OBJECT, BUS_QUERY_ID_TYPE, PWSTR *) { return STATUS_SUCCESS; }
NTSTATUS NTAPI QueryPortText(PDEVICE_OBJECT, DEVICE_TEXT_TYPE, PWSTR *) { return STATUS_SUCCESS; }
NTSTATUS NTAPI QueryPortInterface(PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }
NTSTATUS DeletePortDevices(PDEVICE_OBJECT)
{
    gLog.calls.push_back("delete-ports");
    return gLog.deletePortsStatus;
}

namespace {

NTSTATUS NTAPI NoEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class BoardLifecycle : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        gLog = LibraryLog();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        busDriver_ = hk::LoadBuiltinDriver("testbus", NoEntry, &status);
        boardDriver_ = hk::LoadBuiltinDriver("testboard", NoEntry, &status);
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(busDriver_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo_));
        pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    void TearDown() override
    {
        if (pdo_ != nullptr) IoDeleteDevice(pdo_);
        hk::UnloadBuiltinDriver("testboard");
        hk::UnloadBuiltinDriver("testbus");
        KernelTest::TearDown();
    }
    // A started board as the library and capture would leave it.
    PDEVICE_OBJECT AddBoard()
    {
        EXPECT_EQ(STATUS_SUCCESS, AddBoardDevice(boardDriver_, pdo_));
        return pdo_->AttachedDevice;
    }

    PDRIVER_OBJECT busDriver_ = nullptr;
    PDRIVER_OBJECT boardDriver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(BoardLifecycle, TheLibraryGetsTheBoardItsStackAndEveryCallback)
{
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(nullptr, board);
    ASSERT_TRUE(gLog.recordSeen);
    BoardExtension *ext = BoardOf(board);
    const GenericInitRecord &r = gLog.record;

    EXPECT_EQ(sizeof(GenericInitRecord), r.Size);
    EXPECT_EQ(board, r.DeviceObject);
    EXPECT_EQ(pdo_, r.Pdo);
    EXPECT_EQ(pdo_, r.LowerDeviceObject);
    EXPECT_EQ(static_cast<PVOID>(&ext->RemoveLock), r.RemoveLock);
    EXPECT_EQ(&StartSequence, r.StartDevice);
    EXPECT_EQ(&StopBoard, r.StopDevice);
    EXPECT_EQ(&RemoveBoard, r.RemoveDevice);
    EXPECT_EQ(&QueryBusRelations, r.QueryBusRelations);
    EXPECT_EQ(&QueryPortCapabilities, r.QueryPortCapabilities);
    EXPECT_EQ(&QueryPortText, r.QueryPortText);
    EXPECT_EQ(&QueryPortId, r.QueryPortId);
    EXPECT_EQ(&StartPort, r.StartPort);
    EXPECT_EQ(&QueryPortInterface, r.QueryPortInterface);
    EXPECT_EQ(0, r.NameString.Length);
    EXPECT_EQ(0, r.NameString.MaximumLength);
    EXPECT_EQ(nullptr, r.NameString.Buffer);
    EXPECT_EQ(0x20u, r.Options);
    ASSERT_EQ(&AnswerTrue, r.BooleanQuery1);
    ASSERT_EQ(&AnswerTrue, r.BooleanQuery2);
    EXPECT_TRUE(r.BooleanQuery1(board));

    // Every slot the board does not fill is zero, not left over stack.
    const ULONG_PTR *slots = reinterpret_cast<const ULONG_PTR *>(&r);
    for (int slot : {5, 6, 11, 16, 17}) EXPECT_EQ(0u, slots[slot]) << "slot " << slot;
    for (int slot = 24; slot < 39; ++slot) EXPECT_EQ(0u, slots[slot]) << "slot " << slot;

    // The library's area lies right behind the board's own fields.
    EXPECT_EQ(reinterpret_cast<PUCHAR>(ext) + sizeof(BoardExtension), ext->GenericExtension);
    EXPECT_TRUE(IsListEmpty(&ext->ChildList));

    EXPECT_EQ(STATUS_SUCCESS, RemoveBoard(board));
}

TEST_F(BoardLifecycle, AFailedAttachHandsNullToCleanupAndDeletesTheDevice)
{
    FailNext(hk::Service::Attach);
    const size_t devicesBefore = hk::LiveDeviceCount();
    EXPECT_EQ(STATUS_DEVICE_REMOVED, AddBoardDevice(boardDriver_, pdo_));

    EXPECT_EQ((std::vector<std::string>{"cleanup"}), gLog.calls);
    ASSERT_EQ(1u, gLog.cleanedAreas.size());
    EXPECT_EQ(nullptr, gLog.cleanedAreas[0]);
    EXPECT_EQ(devicesBefore, hk::LiveDeviceCount());
    EXPECT_EQ(nullptr, pdo_->AttachedDevice);
}

TEST_F(BoardLifecycle, ALibraryThatRefusesTheBoardIsCleanedUpDetachedAndDeleted)
{
    gLog.initializeStatus = STATUS_INVALID_PARAMETER;
    const size_t devicesBefore = hk::LiveDeviceCount();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, AddBoardDevice(boardDriver_, pdo_));

    EXPECT_EQ((std::vector<std::string>{"initialize", "cleanup"}), gLog.calls);
    ASSERT_EQ(1u, gLog.cleanedAreas.size());
    EXPECT_NE(nullptr, gLog.cleanedAreas[0]);
    EXPECT_EQ(nullptr, pdo_->AttachedDevice);
    EXPECT_EQ(devicesBefore, hk::LiveDeviceCount());
}

TEST_F(BoardLifecycle, StopReleasesEachMappingOnceAndASecondStopChangesNothing)
{
    PDEVICE_OBJECT board = AddBoard();
    BoardExtension *ext = BoardOf(board);
    PHYSICAL_ADDRESS bridge, uart;
    bridge.QuadPart = 0xFE000000;
    uart.QuadPart = 0xFE001000;
    ext->BridgeBase = reinterpret_cast<ULONG_PTR>(MmMapIoSpace(bridge, 0x80, MmNonCached));
    ext->BridgeMappedLength = 0x80;
    ext->UartBase = reinterpret_cast<ULONG_PTR>(MmMapIoSpace(uart, 32, MmNonCached));
    ext->UartMappedLength = 32;
    ASSERT_EQ(2u, hk::LiveMappings().size());

    EXPECT_EQ(STATUS_SUCCESS, StopBoard(board, nullptr));
    EXPECT_TRUE(hk::LiveMappings().empty());
    EXPECT_EQ(0u, ext->BridgeMappedLength);
    EXPECT_EQ(0u, ext->UartMappedLength);

    // The bases are forgotten with the mappings; nothing is unmapped again
    // (an unmap of a released mapping would be reported).
    EXPECT_EQ(0u, ext->BridgeBase);
    EXPECT_EQ(0u, ext->UartBase);
    EXPECT_EQ(STATUS_SUCCESS, StopBoard(board, nullptr));
    EXPECT_EQ(0u, ext->BridgeMappedLength);
    EXPECT_EQ(0u, ext->UartMappedLength);

    EXPECT_EQ(STATUS_SUCCESS, RemoveBoard(board));
}

TEST_F(BoardLifecycle, RangesInPortSpaceHaveNothingToUnmapButAreForgotten)
{
    PDEVICE_OBJECT board = AddBoard();
    BoardExtension *ext = BoardOf(board);
    ext->BridgeBase = 0x1000;
    ext->UartBase = 0x3F8;

    EXPECT_EQ(STATUS_SUCCESS, StopBoard(board, nullptr));
    EXPECT_TRUE(hk::Violations().empty());
    EXPECT_EQ(0u, ext->BridgeBase);
    EXPECT_EQ(0u, ext->UartBase);
    EXPECT_EQ(STATUS_SUCCESS, RemoveBoard(board));
}

TEST_F(BoardLifecycle, RemovalFreesTheCopiesDeletesThePortsThenDetachesAndDeletes)
{
    PDEVICE_OBJECT board = AddBoard();
    BoardExtension *ext = BoardOf(board);
    ext->RawResources = static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(NonPagedPool, 20, 'Wdm '));
    ext->TranslatedResources = static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(NonPagedPool, 20, 'Wdm '));
    gLog.deletePortsStatus = STATUS_UNSUCCESSFUL;
    const size_t devicesBefore = hk::LiveDeviceCount();

    EXPECT_EQ(STATUS_UNSUCCESSFUL, RemoveBoard(board));
    EXPECT_EQ("delete-ports", gLog.calls.back());
    EXPECT_EQ(0u, hk::LivePoolCount());
    EXPECT_EQ(nullptr, pdo_->AttachedDevice);
    EXPECT_EQ(devicesBefore - 1, hk::LiveDeviceCount());
}

TEST_F(BoardLifecycle, RemovalOfABoardThatNeverCapturedFreesNothing)
{
    PDEVICE_OBJECT board = AddBoard();
    EXPECT_EQ(STATUS_SUCCESS, RemoveBoard(board));
    EXPECT_EQ(nullptr, pdo_->AttachedDevice);
}

}  // namespace
