// START lists of every shape a board can be handed, through the capture and
// the range check that come before any register: what each gives, and that
// a refused one touches no register and keeps nothing once released.
#include "resources_fixture.h"

namespace resourcestest {
namespace {

constexpr ULONG kPci = 5, kPcmcia = 8, kIsa = 1;

using Partials = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;

CM_PARTIAL_RESOURCE_DESCRIPTOR Bridge() { return PortDescriptor(kBridgeBase, 0x80); }
CM_PARTIAL_RESOURCE_DESCRIPTOR Uarts(ULONG length) { return PortDescriptor(kUartBase, length); }
CM_PARTIAL_RESOURCE_DESCRIPTOR Interrupt() { return InterruptDescriptor(0x3B, 0x3B); }

struct ListCase {
    const char *what;
    ULONG busType;
    ULONG portCount;
    Partials partials;
    NTSTATUS status;  // of the range check; the capture itself succeeds
};

const ListCase kCases[] = {
    {"a PB4 as assigned", kPci, 4, {Bridge(), Uarts(32), Interrupt()}, STATUS_SUCCESS},
    {"no interrupt: the serial driver's concern", kPci, 4, {Bridge(), Uarts(32)}, STATUS_SUCCESS},
    {"nothing at all", kPci, 4, {}, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"only an interrupt", kIsa, 4, {Interrupt()}, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"the UARTs as memory, not as ports", kPcmcia, 2, {MemoryDescriptor(kUartBase, 16), Interrupt()},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"a 128-byte range is the bridge, never the UARTs", kIsa, 8, {Bridge(), Interrupt()},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"the UARTs of every port", kIsa, 8, {Uarts(64), Interrupt()}, STATUS_SUCCESS},
    {"more than the ports need", kPcmcia, 1, {Uarts(16), Interrupt()}, STATUS_SUCCESS},
    {"one port's block", kPcmcia, 1, {Uarts(8), Interrupt()}, STATUS_SUCCESS},
    // A range that does not reach the status register at offset 7, or that
    // leaves ports without registers, is not the board's.
    {"seven bytes of a one-port card", kPcmcia, 1, {Uarts(7), Interrupt()}, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"four bytes of a PB4", kPci, 4, {Bridge(), Uarts(4), Interrupt()}, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"one byte short for a PB4", kPci, 4, {Bridge(), Uarts(31), Interrupt()}, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"three ports' worth of an IB8", kIsa, 8, {Uarts(24), Interrupt()}, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"a zero-length range", kIsa, 4, {Uarts(0), Interrupt()}, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"the later range decides, short", kIsa, 4, {Uarts(32), PortDescriptor(0xE000, 8)},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"the later range decides, long enough", kIsa, 4, {Uarts(8), PortDescriptor(0xE000, 32)}, STATUS_SUCCESS},
};

using StartLists = ResourcesTest;

TEST_F(StartLists, EachListGivesItsStatusBeforeAnyRegister)
{
    for (const ListCase &c : kCases) {
        SCOPED_TRACE(c.what);
        ResourceList raw(c.partials), translated(c.partials);
        ASSERT_EQ(Capture(&raw, &translated), STATUS_SUCCESS);
        EXPECT_EQ(board.RawResourcesSize, ListBytes(c.partials.size()));
        Identified(c.busType, c.portCount, FALSE);
        EXPECT_EQ(CheckBoardRanges(&device), c.status);
        EXPECT_TRUE(hk::IoLog().empty());
        ReleaseAll();
        EXPECT_EQ(DriverBlocks(), 0u);
    }
}

// Only the first full descriptor counts: a list count of 0 or 2 changes
// nothing, and the copy keeps it byte for byte.
TEST_F(StartLists, TheListsOwnCountIsNeitherReadNorChanged)
{
    for (ULONG count : {0u, 2u}) {
        SCOPED_TRACE(count);
        ResourceList raw({Bridge(), Uarts(32), Interrupt()}), translated({Bridge(), Uarts(32), Interrupt()});
        raw.get()->Count = translated.get()->Count = count;
        ASSERT_EQ(Capture(&raw, &translated), STATUS_SUCCESS);
        EXPECT_EQ(board.TranslatedResourcesSize, ListBytes(3));
        EXPECT_EQ(board.TranslatedResources->Count, count);
        Identified(kPci, 4, FALSE);
        EXPECT_EQ(CheckBoardRanges(&device), STATUS_SUCCESS);
        ReleaseAll();
    }
}

}  // namespace
}  // namespace resourcestest
