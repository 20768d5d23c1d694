// CaptureResources: the copies of the START lists, the bridge and UART
// ranges in I/O and memory space, and what is left after a failure or a
// second START.
#include "resources_fixture.h"

#include <cstring>

namespace resourcestest {
namespace {

const hk::PoolBlock *BlockAt(const void *address)
{
    static hk::PoolBlock found;
    for (const hk::PoolBlock &block : hk::LivePool())
        if (block.address == address) return &(found = block);
    return nullptr;
}

TEST_F(ResourcesTest, EachListIsCopiedByItsOwnCountIntoTaggedNonPagedPool)
{
    ResourceList raw{PortDescriptor(kBridgeBase, 0x80), PortDescriptor(kUartBase, 64), InterruptDescriptor(11, 11)};
    ResourceList translated{PortDescriptor(kBridgeBase, 0x80), PortDescriptor(kUartBase, 64), InterruptDescriptor(0x3B, 0x3B), MemoryDescriptor(0xF0000, 16)};
    // Only the first full descriptor counts, whatever the list's own count says.
    raw.get()->Count = 2;

    ASSERT_EQ(Capture(&raw, &translated), STATUS_SUCCESS);
    EXPECT_EQ(board.RawResourcesSize, ListBytes(3));
    EXPECT_EQ(board.TranslatedResourcesSize, ListBytes(4));
    EXPECT_EQ(0, std::memcmp(board.RawResources, raw.bytes(), ListBytes(3)));
    EXPECT_EQ(0, std::memcmp(board.TranslatedResources, translated.bytes(), ListBytes(4)));
    EXPECT_EQ(board.RawResources->Count, 2u) << "a byte-for-byte copy";
    for (const void *copy : {static_cast<const void *>(board.RawResources),
                             static_cast<const void *>(board.TranslatedResources)}) {
        const hk::PoolBlock *block = BlockAt(copy);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->type, NonPagedPool);
        EXPECT_EQ(block->tag, MPS_POOL_TAG);
    }
    EXPECT_EQ(board.BridgeBase, kBridgeBase);
    EXPECT_EQ(board.BridgeMappedLength, 0u);
    EXPECT_EQ(board.UartBase, kUartBase);
    EXPECT_EQ(board.UartMappedLength, 0u);
}

TEST_F(ResourcesTest, AListWithoutDescriptorsGivesHeaderCopiesAndNoRange)
{
    ResourceList raw{}, translated{};
    ASSERT_EQ(Capture(&raw, &translated), STATUS_SUCCESS);
    EXPECT_EQ(board.RawResourcesSize, 20u);
    EXPECT_EQ(board.TranslatedResourcesSize, 20u);
    EXPECT_EQ(board.BridgeBase, 0u);
    EXPECT_EQ(board.UartBase, 0u);
}

TEST_F(ResourcesTest, AStartWithoutAListKeepsNothing)
{
    ResourceList list{PortDescriptor(kUartBase, 32)};
    EXPECT_EQ(Capture(nullptr, &list), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DriverBlocks(), 0u);
    EXPECT_EQ(Capture(&list, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DriverBlocks(), 0u);
    EXPECT_EQ(board.RawResources, nullptr);
    EXPECT_EQ(board.RawResourcesSize, 0u);
}

TEST_F(ResourcesTest, EachFailedCopyGivesInsufficientResourcesAndKeepsNothing)
{
    for (unsigned failing : {1u, 2u}) {
        SCOPED_TRACE(failing);
        hk::ResetFaults();
        hk::FailNthCall(hk::Service::Pool, failing);
        EXPECT_EQ(CaptureBoard(true, false), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(DriverBlocks(), 0u);
        EXPECT_EQ(board.RawResources, nullptr);
        EXPECT_EQ(board.TranslatedResources, nullptr);
        EXPECT_EQ(board.UartBase, 0u);
    }
    hk::ResetFaults();
}

// A copy's size must fit in a ULONG: counts past that, on either target,
// would otherwise wrap (x86) or be cut (x64) to a few bytes, copied, and
// walked far beyond.
TEST_F(ResourcesTest, ACountWhoseCopyDoesNotFitKeepsNothing)
{
    const unsigned long long descriptor = sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR), header = ListBytes(0);
    const ULONG counts[] = {ULONG((0xFFFFFFFFull - header) / descriptor + 1), ULONG(0x100000000ull / descriptor + 1),
                            0xFFFFFFFFu};
    for (ULONG count : counts) {
        for (bool rawTooLarge : {true, false}) {
            SCOPED_TRACE(testing::Message() << "count " << count << (rawTooLarge ? " raw" : " translated"));
            ResourceList large{PortDescriptor(kUartBase, 64)}, fine{PortDescriptor(kUartBase, 64)};
            large.get()->List[0].PartialResourceList.Count = count;
            EXPECT_EQ(rawTooLarge ? Capture(&large, &fine) : Capture(&fine, &large), STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(DriverBlocks(), 0u);
            EXPECT_EQ(board.RawResources, nullptr);
            EXPECT_EQ(board.TranslatedResources, nullptr);
            EXPECT_EQ(board.UartBase, 0u);
        }
    }
}

TEST_F(ResourcesTest, RangesInMemorySpaceAreMappedNonCachedForTheirLength)
{
    ResourceList raw{PortDescriptor(kBridgeBase, 0x80), PortDescriptor(kUartBase, 16)};
    ResourceList translated{MemorySpacePortDescriptor(kWindow + kBridgeBase, 0x80), MemorySpacePortDescriptor(kWindow + kUartBase, 16)};
    ASSERT_EQ(Capture(&raw, &translated), STATUS_SUCCESS);

    EXPECT_EQ(board.UartMappedLength, 16u);
    EXPECT_EQ(board.BridgeMappedLength, 0x80u);
    const std::vector<hk::Mapping> live = hk::LiveMappings();
    ASSERT_EQ(live.size(), 2u);
    for (const hk::Mapping &m : live) {
        EXPECT_EQ(m.caching, MmNonCached);
        if (m.address == reinterpret_cast<const void *>(board.UartBase)) {
            EXPECT_EQ(m.physical, kWindow + kUartBase);
            EXPECT_EQ(m.length, 16u);
        } else {
            EXPECT_EQ(m.address, reinterpret_cast<const void *>(board.BridgeBase));
            EXPECT_EQ(m.physical, kWindow + kBridgeBase);
        }
    }
}

TEST_F(ResourcesTest, OnlyPortDescriptorsSetABaseAndTheLaterOfAKindWins)
{
    ResourceList raw{};
    ResourceList translated{InterruptDescriptor(0x3B, 0x3B), MemoryDescriptor(0xFEB00000, 0x80), MemoryDescriptor(0xFEB01000, 64),
                             PortDescriptor(0x2A0, 32), PortDescriptor(0x300, 8), PortDescriptor(0xE000, 0x80), PortDescriptor(0xE100, 0x80)};
    ASSERT_EQ(Capture(&raw, &translated), STATUS_SUCCESS);
    EXPECT_EQ(board.UartBase, 0x300u);
    EXPECT_EQ(board.BridgeBase, 0xE100u);
    EXPECT_TRUE(hk::LiveMappings().empty()) << "memory descriptors are not the board's ranges";
}

TEST_F(ResourcesTest, AMappedRangeReplacedByALaterOneIsUnmapped)
{
    ResourceList raw{};
    ResourceList translated{MemorySpacePortDescriptor(kWindow + 0x2A0, 32), MemorySpacePortDescriptor(kWindow + 0x300, 32)};
    ASSERT_EQ(Capture(&raw, &translated), STATUS_SUCCESS);
    const std::vector<hk::Mapping> live = hk::LiveMappings();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].physical, kWindow + 0x300);
    EXPECT_EQ(live[0].address, reinterpret_cast<const void *>(board.UartBase));
}

TEST_F(ResourcesTest, AFailedMappingReleasesTheFirstRangeAndBothCopies)
{
    hk::FailNthCall(hk::Service::MapIoSpace, 2);
    EXPECT_EQ(CaptureBoard(true, true), STATUS_NO_MEMORY);
    hk::ResetFaults();
    EXPECT_TRUE(hk::LiveMappings().empty());
    EXPECT_EQ(DriverBlocks(), 0u);
    EXPECT_EQ(board.RawResources, nullptr);
    EXPECT_EQ(board.TranslatedResources, nullptr);
    EXPECT_EQ(board.BridgeBase, 0u);
    EXPECT_EQ(board.BridgeMappedLength, 0u);
    EXPECT_EQ(board.UartMappedLength, 0u);
}

TEST_F(ResourcesTest, ASecondStartReplacesWhatTheFirstKept)
{
    ASSERT_EQ(CaptureBoard(true, true), STATUS_SUCCESS);
    // Whether or not a stop came between, nothing of the first START stays.
    ResourceList raw{PortDescriptor(0xC000, 32)}, translated{PortDescriptor(0xC000, 32)};
    ASSERT_EQ(Capture(&raw, &translated), STATUS_SUCCESS);
    EXPECT_EQ(DriverBlocks(), 2u) << "the first copies were freed";
    EXPECT_TRUE(hk::LiveMappings().empty());
    EXPECT_EQ(board.UartBase, 0xC000u);
    EXPECT_EQ(board.BridgeBase, 0u) << "no stale bridge base from the first START";
    EXPECT_EQ(board.RawResourcesSize, ListBytes(1));
}

TEST_F(ResourcesTest, AFailedSecondStartLeavesNoStalePointer)
{
    ASSERT_EQ(CaptureBoard(true, false), STATUS_SUCCESS);
    ResourceList raw{PortDescriptor(0xC000, 32)};
    EXPECT_EQ(Capture(&raw, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(board.RawResources, nullptr);
    EXPECT_EQ(board.TranslatedResources, nullptr);
    EXPECT_EQ(board.UartBase, 0u);
    EXPECT_EQ(DriverBlocks(), 0u);
}

}  // namespace
}  // namespace resourcestest
