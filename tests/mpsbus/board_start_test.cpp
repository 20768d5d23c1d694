// A board's START through the mpsbus image, as far as the start is built:
// resources captured before the lower drivers see the request, the board
// identified from its PDO's properties and checked on its hardware, and what
// a STOP and a second START, or a removal after a failed one, leave behind.
// A START that gets through ends with the board's eight port devices; a STOP
// and a START after it are sent as the PnP manager sends them to a board it
// stops and starts again.
#include "board_hardware.h"
#include "mpsbus_test.h"
#include "support/resource_lists.h"

#include <cstring>
#include <memory>
#include <vector>

namespace mpsbustest {
namespace {

using EventList = std::vector<std::string>;

constexpr size_t kPortStrings = 8 * 3;  // device, hardware and instance ID of each port
constexpr ULONG kUartBase = 0xD000, kBridgeBase = 0xD080;
constexpr ULONGLONG kWindow = 0xFE000000;

CM_PARTIAL_RESOURCE_DESCRIPTOR Port(ULONGLONG start, ULONG length, bool inMemorySpace)
{
    return inMemorySpace ? hk::test::MemorySpacePortDescriptor(start, length) : hk::test::PortDescriptor(start, length);
}

// START lists of one PCI board: raw in I/O space; translated in I/O space or,
// on a machine that reaches I/O through memory, in memory space.
struct StartLists {
    StartLists(ULONG uartBase, bool inMemorySpace, bool withUarts = true)
    {
        const ULONGLONG window = inMemorySpace ? kWindow : 0;
        Add(Port(kBridgeBase, 0x80, false), Port(window + kBridgeBase, 0x80, inMemorySpace));
        if (withUarts) Add(Port(uartBase, 64, false), Port(window + uartBase, 64, inMemorySpace));
    }
    void Add(const CM_PARTIAL_RESOURCE_DESCRIPTOR &r, const CM_PARTIAL_RESOURCE_DESCRIPTOR &t)
    {
        raw.push_back(r);
        translated.push_back(t);
    }
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;
};

class BoardStartTest : public MpsbusTest {
protected:
    void SetUp() override
    {
        MpsbusTest::SetUp();
        hk::PnpHooks hooks;
        hooks.getProperty = [this](PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                                   PVOID buffer, PULONG resultLength) {
            return Property(device, property, length, buffer, resultLength);
        };
        hk::SetPnpHooks(hooks);
        stacktest::SetLowerAnswer(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS);
        stacktest::SetLowerAnswer(IRP_MJ_PNP, IRP_MN_STOP_DEVICE, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        hk::SetPnpHooks(hk::PnpHooks{});
        hardware.reset();
        MpsbusTest::TearDown();
    }

    // A PB8-A in its slot at |uartBase|.
    void PlugPb8a(ULONG uartBase, bool inMemorySpace)
    {
        sim::BoardHardwareConfig config;
        config.ports = 8;
        config.ioBase = uartBase;
        config.bridgeBase = kBridgeBase;
        config.memoryWindow = inMemorySpace ? kWindow : 0;
        hardware.reset();
        hardware = std::make_unique<sim::BoardHardware>(config);
        hardware->Plug();
    }

    NTSTATUS Start(PDEVICE_OBJECT board, const StartLists &lists)
    {
        hk::test::ResourceList raw(lists.raw), translated(lists.translated);
        return hk::test::StartDevice(board, raw.get(), translated.get());
    }

    void StopAsThePnpManagerDoes(PDEVICE_OBJECT board)
    {
        EXPECT_EQ(hk::test::SendPnp(board, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(hk::test::SendPnp(board, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    }

    void RemoveAndUnload(PDEVICE_OBJECT board)
    {
        EXPECT_EQ(hk::test::SendPnp(board, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        hk::UnloadDriver("mpsbus");
        EXPECT_EQ(hk::LivePoolCount("mpsbus"), 0u);
        EXPECT_TRUE(hk::LiveMappings().empty());
    }

    // The board's nonpaged blocks: what it keeps of START lists and its
    // ports' strings (the copy of its registry path is paged).
    static size_t NonPagedBlocks()
    {
        size_t count = 0;
        for (const hk::PoolBlock &block : hk::LivePool()) count += block.owner == "mpsbus" && block.type == NonPagedPool;
        return count;
    }

    size_t RegisterAccessesOf(const std::string &image) const
    {
        size_t count = 0;
        for (const hk::IoAccess &a : hk::IoLog()) count += a.image == image;
        return count;
    }

    std::unique_ptr<sim::BoardHardware> hardware;

private:
    NTSTATUS Property(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                      PULONG resultLength)
    {
        if (device != pdo_) return STATUS_INVALID_DEVICE_REQUEST;
        static const wchar_t kIds[] = L"PCI\\VEN_7A3E&DEV_0050\0";
        const ULONG pci = PCIBus;
        const void *value = property == DevicePropertyLegacyBusType ? static_cast<const void *>(&pci) : kIds;
        const ULONG size = property == DevicePropertyLegacyBusType ? sizeof(pci) : sizeof(kIds);
        if (property != DevicePropertyLegacyBusType && property != DevicePropertyHardwareID)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        *resultLength = size;
        if (length < size) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(buffer, value, size);
        return STATUS_SUCCESS;
    }
};

TEST_F(BoardStartTest, AStartIdentifiesAndChecksTheBoardAndEndsWithItsPorts)
{
    PlugPb8a(kUartBase, false);
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(Start(board, StartLists(kUartBase, false)), STATUS_SUCCESS);
    const BoardExtension *extension = BoardOf(board);
    EXPECT_EQ(extension->ModelIndex, 4u);
    EXPECT_EQ(NonPagedBlocks(), 2u + kPortStrings);
    EXPECT_EQ(hk::test::AsciiOf(extension->BoardNumber), "1");
    EXPECT_EQ(RegisterAccessesOf("mpsbus"), 5u + 12u);
    EXPECT_EQ(stacktest::Events(), EventList{"lower:START_DEVICE"});
    RemoveAndUnload(board);
}

TEST_F(BoardStartTest, AStopAndASecondStartKeepTheNumberAndLeakNothing)
{
    for (bool inMemorySpace : {false, true}) {
        SCOPED_TRACE(inMemorySpace ? "memory space" : "I/O space");
        PlugPb8a(kUartBase, inMemorySpace);
        PDEVICE_OBJECT board = AddBoard();
        ASSERT_NE(board, nullptr);
        ASSERT_EQ(Start(board, StartLists(kUartBase, inMemorySpace)), STATUS_SUCCESS);
        EXPECT_EQ(hk::LiveMappings().size(), inMemorySpace ? 2u : 0u);

        StopAsThePnpManagerDoes(board);
        EXPECT_TRUE(hk::LiveMappings().empty()) << "a stopped board holds no mapping";

        // Rebalanced to new UART ranges: copies replaced, not added.
        PlugPb8a(0xC000, inMemorySpace);
        hk::ClearIoLog();
        ASSERT_EQ(Start(board, StartLists(0xC000, inMemorySpace)), STATUS_SUCCESS);
        const BoardExtension *extension = BoardOf(board);
        EXPECT_EQ(hk::test::AsciiOf(extension->BoardNumber), "1") << "the ports' names stay stable";
        EXPECT_EQ(NonPagedBlocks(), 2u + kPortStrings) << "the two copies of the second START and one set of ports";
        EXPECT_EQ(hk::LiveMappings().size(), inMemorySpace ? 2u : 0u);
        EXPECT_EQ(RegisterAccessesOf("mpsbus"), 5u + 12u);
        EXPECT_EQ(hardware->Uart(0).Lcr(), 0x00) << "the new range's board was checked";
        RemoveAndUnload(board);
    }
}

TEST_F(BoardStartTest, AFailedMappingFailsTheStartBeforeTheLowerDriversAndRemovalFreesNothingTwice)
{
    PlugPb8a(kUartBase, true);
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    hk::ResetFaults();
    hk::FailNthCall(hk::Service::MapIoSpace, 2);
    EXPECT_EQ(Start(board, StartLists(kUartBase, true)), STATUS_NO_MEMORY);
    hk::ResetFaults();
    EXPECT_EQ(stacktest::Events(), EventList{});
    EXPECT_EQ(NonPagedBlocks(), 0u);
    EXPECT_TRUE(hk::LiveMappings().empty());
    RemoveAndUnload(board);
}

TEST_F(BoardStartTest, AFailedSecondStartLeavesNothingForTheRemovalToFreeAgain)
{
    PlugPb8a(kUartBase, false);
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    ASSERT_EQ(Start(board, StartLists(kUartBase, false)), STATUS_SUCCESS);
    StopAsThePnpManagerDoes(board);
    EXPECT_EQ(hk::test::StartDevice(board, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(BoardOf(board)->RawResources, nullptr);
    EXPECT_EQ(NonPagedBlocks(), kPortStrings) << "only the ports, which go with the board";
    RemoveAndUnload(board);
}

TEST_F(BoardStartTest, AStartWithoutItsUartRangeTouchesNoRegister)
{
    PlugPb8a(kUartBase, false);
    PDEVICE_OBJECT board = AddBoard();
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(Start(board, StartLists(kUartBase, false, false)), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(hk::IoLog().empty());
    RemoveAndUnload(board);
}

}  // namespace
}  // namespace mpsbustest
