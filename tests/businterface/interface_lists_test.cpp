// GetResourceLists: the copies each bus gets, the rewrite that makes the
// interrupt status register a one-byte port, and the failures that leave
// nothing allocated and nothing handed out.
#include "PciParent/bus_interface.h"
#include "interface_board.h"

#include <cstring>

namespace interfacetest {
namespace {

using Descriptors = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;

// Port flags a bus may set, carried along by every rewrite.
constexpr USHORT kPort10BitDecode = 0x0004, kPort16BitDecode = 0x0010;

// One call's outcome, with the copies read back and freed as the filter
// frees them.
struct Lists {
    NTSTATUS status;
    bool rawNull, translatedNull;
    Descriptors raw, translated;
    std::vector<uint8_t> rawBytes, translatedBytes;
};

class ResourceLists : public InterfaceTest {
protected:
    Lists Get()
    {
        auto garbage = reinterpret_cast<PCM_RESOURCE_LIST>(0x1234);
        PCM_RESOURCE_LIST raw = garbage, translated = garbage;
        Lists lists;
        lists.status = GetResourceLists(board_, &raw, &translated);
        lists.rawNull = raw == nullptr;
        lists.translatedNull = translated == nullptr;
        if (NT_SUCCESS(lists.status)) {
            lists.raw = DescriptorsOf(raw);
            lists.translated = DescriptorsOf(translated);
            lists.rawBytes = Block(raw);
            lists.translatedBytes = Block(translated);
            ExFreePool(raw);
            ExFreePool(translated);
        }
        return lists;
    }

    // The bytes of a copy, after checking that it is the pool block a
    // client may free: PagedPool, tag 'Wdm '.
    static std::vector<uint8_t> Block(const void *copy)
    {
        for (const hk::PoolBlock &block : hk::LivePool()) {
            if (block.address != copy) continue;
            EXPECT_EQ(block.type, PagedPool);
            EXPECT_EQ(block.tag, 0x206D6457u);
            auto bytes = static_cast<const uint8_t *>(copy);
            return std::vector<uint8_t>(bytes, bytes + block.size);
        }
        ADD_FAILURE() << "the list is not a pool block";
        return {};
    }

    void ExpectFailure(const Lists &lists, NTSTATUS status)
    {
        EXPECT_EQ(lists.status, status);
        EXPECT_TRUE(lists.rawNull);
        EXPECT_TRUE(lists.translatedNull);
        EXPECT_EQ(hk::LivePoolCount(), 2u) << "only the board's own lists";
    }

    // The board's lists, unchanged by any call.
    void ExpectBoardListsAre(const Descriptors &raw, const Descriptors &translated)
    {
        EXPECT_EQ(DescriptorsOf(board_->RawResources), raw);
        EXPECT_EQ(DescriptorsOf(board_->TranslatedResources), translated);
    }
};

CM_PARTIAL_RESOURCE_DESCRIPTOR StatusPort(const CM_PARTIAL_RESOURCE_DESCRIPTOR &from, ULONGLONG start)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = from;
    d.u.Port.Start.QuadPart = LONGLONG(start);
    d.u.Port.Length = 1;
    return d;
}

TEST_F(ResourceLists, PciBridgeRangeBecomesTheStatusPortInPlace)
{
    // Raw and translated differ in every start, so each copy is seen to be
    // rewritten from its own values.
    const auto bridgeRaw = PortDescriptor(0xE000, 0x80), uartRaw = PortDescriptor(0xD000, 64);
    const auto bridgeTranslated = WithFlags(PortDescriptor(0x1E000, 0x80), CM_RESOURCE_PORT_IO | kPort16BitDecode);
    const auto uartTranslated = PortDescriptor(0x1D000, 64);
    const Descriptors raw = {bridgeRaw, uartRaw, InterruptDescriptor(9, 9)};
    const Descriptors translated = {bridgeTranslated, uartTranslated, InterruptDescriptor(0x39, 0x39)};
    Capture(kPci, raw, translated);

    Lists lists = Get();
    ASSERT_EQ(lists.status, STATUS_SUCCESS);
    EXPECT_EQ(lists.raw, (Descriptors{StatusPort(bridgeRaw, 0xD007), uartRaw, InterruptDescriptor(9, 9)}));
    EXPECT_EQ(lists.translated, (Descriptors{StatusPort(bridgeTranslated, 0x1D007), uartTranslated, InterruptDescriptor(0x39, 0x39)}));
    EXPECT_EQ(lists.rawBytes.size(), ListBytes(3));
    EXPECT_EQ(memcmp(lists.rawBytes.data(), board_->RawResources, ListBytes(0)), 0) << "list header copied as it was";
    ExpectBoardListsAre(raw, translated);
}

TEST_F(ResourceLists, PciLastBridgeAndLastUartWin)
{
    const auto first = PortDescriptor(0xE000, 0x80), second = PortDescriptor(0xE400, 0x80);
    const auto uart1 = PortDescriptor(0xD000, 16), uart2 = PortDescriptor(0xD800, 32);
    const Descriptors list = {first, uart1, MemoryDescriptor(0xF0000000, 0x80), second, uart2, InterruptDescriptor(11, 11)};
    Capture(kPci, list, list);

    Lists lists = Get();
    ASSERT_EQ(lists.status, STATUS_SUCCESS);
    const Descriptors expected = {first, uart1, MemoryDescriptor(0xF0000000, 0x80), StatusPort(second, 0xD807), uart2,
                                  InterruptDescriptor(11, 11)};
    EXPECT_EQ(lists.raw, expected) << "a memory range of 128 bytes is no bridge";
    EXPECT_EQ(lists.translated, expected);
}

TEST_F(ResourceLists, PciStatusPortCarriesIntoTheHighPart)
{
    const auto bridge = PortDescriptor(0x1000, 0x80);
    Capture(kPci, {bridge, PortDescriptor(0x1FFFFFFFCull, 8)}, {bridge, PortDescriptor(0xFFFFFFFCull, 8)});
    Lists lists = Get();
    ASSERT_EQ(lists.status, STATUS_SUCCESS);
    EXPECT_EQ(lists.raw[0].u.Port.Start.LowPart, 3u);
    EXPECT_EQ(lists.raw[0].u.Port.Start.HighPart, 2);
    EXPECT_EQ(lists.translated[0].u.Port.Start.LowPart, 3u);
    EXPECT_EQ(lists.translated[0].u.Port.Start.HighPart, 1);
}

TEST_F(ResourceLists, PciUartRangeAtTheTopOfTheAddressSpaceStillCounts)
{
    // All ones is a start like any other: the status port follows it,
    // wrapping round, instead of the list being taken for one without a
    // UART range (found by the bus_lists fuzz target).
    const auto bridge = PortDescriptor(0xFE00D080ull, 0x80);
    const auto uart = PortDescriptor(~0ull, 0xFFFFFFFF);
    Capture(kPci, {bridge, PortDescriptor(0xD000, 64)}, {bridge, uart});
    Lists lists = Get();
    ASSERT_EQ(lists.status, STATUS_SUCCESS);
    EXPECT_EQ(lists.translated, (Descriptors{StatusPort(bridge, 6), uart}));
}

TEST_F(ResourceLists, PciListWithoutBridgeOrUartFailsAndKeepsNothing)
{
    const Descriptors good = {PortDescriptor(0xE000, 0x80), PortDescriptor(0xD000, 64), InterruptDescriptor(9, 9)};
    const Descriptors cases[] = {
        {PortDescriptor(0xD000, 64), InterruptDescriptor(9, 9)},
        {PortDescriptor(0xE000, 0x80), InterruptDescriptor(9, 9), MemoryDescriptor(0xF0000000, 64)},
        {},
    };
    for (const Descriptors &bad : cases) {
        // Bad raw list; then a good raw list with a bad translated one,
        // whose copy was already rewritten when the second one fails.
        for (bool rawIsBad : {true, false}) {
            Capture(kPci, rawIsBad ? bad : good, rawIsBad ? good : bad);
            ExpectFailure(Get(), STATUS_UNSUCCESSFUL);
            ExFreePool(board_->RawResources);
            ExFreePool(board_->TranslatedResources);
        }
    }
    board_->RawResources = board_->TranslatedResources = nullptr;
}

TEST_F(ResourceLists, IsaGainsTheStatusPortBehindItsLastDescriptor)
{
    const auto uartRaw = PortDescriptor(0x300, 32), uartTranslated = WithFlags(PortDescriptor(0x10300, 32), kPort10BitDecode);
    const Descriptors raw = {uartRaw, InterruptDescriptor(5, 5)}, translated = {uartTranslated, InterruptDescriptor(0x35, 0x35)};
    Capture(kIsa, raw, translated);

    Lists lists = Get();
    ASSERT_EQ(lists.status, STATUS_SUCCESS);
    EXPECT_EQ(lists.raw, (Descriptors{uartRaw, InterruptDescriptor(5, 5), StatusPort(uartRaw, 0x307)}));
    EXPECT_EQ(lists.translated, (Descriptors{uartTranslated, InterruptDescriptor(0x35, 0x35), StatusPort(uartTranslated, 0x10307)}));
    EXPECT_EQ(lists.rawBytes.size(), ListBytes(3)) << "one descriptor more than the board's copy, all of it used";
    ExpectBoardListsAre(raw, translated);
}

TEST_F(ResourceLists, IsaStatusPortComesFromTheLastPortRange)
{
    const auto first = PortDescriptor(0x300, 32), second = PortDescriptor(0x2A0, 0x80);
    Capture(kIsa, {first, InterruptDescriptor(5, 5), second}, {first, InterruptDescriptor(5, 5), second});
    Lists lists = Get();
    ASSERT_EQ(lists.status, STATUS_SUCCESS);
    EXPECT_EQ(lists.raw, (Descriptors{first, InterruptDescriptor(5, 5), second, StatusPort(second, 0x2A7)}));
    EXPECT_EQ(lists.translated.size(), 4u) << "one descriptor more, never two";
}

TEST_F(ResourceLists, IsaListWithoutPortRangeFailsAndKeepsNothing)
{
    // The whole list without one, or only the translated list, whose copy
    // is rewritten after the raw one succeeded.
    const Descriptors none = {InterruptDescriptor(5, 5), MemoryDescriptor(0xD0000, 0x1000)};
    const Descriptors good = {PortDescriptor(0x300, 32), InterruptDescriptor(5, 5)};
    for (const Descriptors *raw : {&none, &good}) {
        Capture(kIsa, *raw, none);
        ExpectFailure(Get(), STATUS_UNSUCCESSFUL);
        ExFreePool(board_->RawResources);
        ExFreePool(board_->TranslatedResources);
    }
    board_->RawResources = board_->TranslatedResources = nullptr;
}

// An ISA copy grows by one descriptor: a recorded size with no room left
// for it fails the call instead of wrapping to a few bytes.
TEST_F(ResourceLists, IsaCopyThatCannotGrowFailsAndKeepsNothing)
{
    const Descriptors list = {PortDescriptor(0x300, 32), InterruptDescriptor(5, 5)};
    Capture(kIsa, list, list);
    const ULONG size = board_->RawResourcesSize;
    board_->RawResourcesSize = 0xFFFFFFFFu - ULONG(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR)) + 1;
    ExpectFailure(Get(), STATUS_INSUFFICIENT_RESOURCES);
    board_->RawResourcesSize = size;
}

TEST_F(ResourceLists, PcmciaListsAreByteExactCopies)
{
    const Descriptors raw = {PortDescriptor(0x2E8, 8), InterruptDescriptor(3, 3), MemoryDescriptor(0xD4000, 0x1000), PortDescriptor(0x2F0, 0x80)};
    const Descriptors translated = {PortDescriptor(0x2E8, 8), InterruptDescriptor(0x33, 0x33)};
    Capture(kPcmcia, raw, translated);
    // Bytes a rewrite would never produce, so a copy from anywhere else shows.
    board_->RawResources->List[0].BusNumber = 0x5A5A5A5A;

    Lists lists = Get();
    ASSERT_EQ(lists.status, STATUS_SUCCESS);
    auto bytesOf = [](const void *list, ULONG size) {
        auto bytes = static_cast<const uint8_t *>(list);
        return std::vector<uint8_t>(bytes, bytes + size);
    };
    EXPECT_EQ(lists.rawBytes, bytesOf(board_->RawResources, board_->RawResourcesSize));
    EXPECT_EQ(lists.translatedBytes, bytesOf(board_->TranslatedResources, board_->TranslatedResourcesSize));
}

// The board keeps the first full descriptor of a list that counted more;
// a copy that kept the count would describe descriptors it does not hold.
TEST_F(ResourceLists, CopiesCountTheOneFullDescriptorTheyHold)
{
    for (ULONG bus : {kPci, kIsa, kPcmcia}) {
        SCOPED_TRACE(bus);
        if (board_->RawResources != nullptr) ExFreePool(board_->RawResources);
        if (board_->TranslatedResources != nullptr) ExFreePool(board_->TranslatedResources);
        Capture(bus, {PortDescriptor(0xE000, 0x80), PortDescriptor(0xD000, 64)}, {PortDescriptor(0xE000, 0x80), PortDescriptor(0xD000, 64)});
        board_->RawResources->Count = 3;
        board_->TranslatedResources->Count = 2;
        Lists lists = Get();
        ASSERT_EQ(lists.status, STATUS_SUCCESS);
        EXPECT_EQ(reinterpret_cast<const CM_RESOURCE_LIST *>(lists.rawBytes.data())->Count, 1u);
        EXPECT_EQ(reinterpret_cast<const CM_RESOURCE_LIST *>(lists.translatedBytes.data())->Count, 1u);
    }
}

TEST_F(ResourceLists, BoardWithoutCapturedListsIsNotReady)
{
    const Descriptors list = {PortDescriptor(0x2E8, 8), InterruptDescriptor(3, 3)};
    for (int missing = 0; missing < 3; ++missing) {
        Capture(kPcmcia, list, list);
        if (missing != 1) {
            ExFreePool(board_->RawResources);
            board_->RawResources = nullptr;
        }
        if (missing != 0) {
            ExFreePool(board_->TranslatedResources);
            board_->TranslatedResources = nullptr;
        }
        Lists lists = Get();
        EXPECT_EQ(lists.status, STATUS_DEVICE_NOT_READY);
        EXPECT_TRUE(lists.rawNull && lists.translatedNull);
        EXPECT_EQ(hk::LivePoolCount(), missing == 2 ? 0u : 1u) << "nothing copied";
        if (board_->RawResources != nullptr) ExFreePool(board_->RawResources);
        if (board_->TranslatedResources != nullptr) ExFreePool(board_->TranslatedResources);
        board_->RawResources = board_->TranslatedResources = nullptr;
    }
}

TEST_F(ResourceLists, EveryFailingAllocationLeavesNothing)
{
    const Descriptors pci = {PortDescriptor(0xE000, 0x80), PortDescriptor(0xD000, 64), InterruptDescriptor(9, 9)};
    const Descriptors isa = {PortDescriptor(0x300, 32), InterruptDescriptor(5, 5)};
    for (ULONG bus : {kPci, kIsa, kPcmcia}) {
        Capture(bus, bus == kIsa ? isa : pci, bus == kIsa ? isa : pci);
        unsigned runs = 0;
        hk::Sweep(
            [&] {
                ++runs;
                Lists lists = Get();
                if (!NT_SUCCESS(lists.status)) ExpectFailure(lists, STATUS_INSUFFICIENT_RESOURCES);
            },
            [&](unsigned failing) { EXPECT_EQ(hk::LivePoolCount(), 2u) << "bus " << bus << " call " << failing; });
        EXPECT_EQ(runs, 3u) << "a clean run, then each of the two copies failing";
        ExFreePool(board_->RawResources);
        ExFreePool(board_->TranslatedResources);
        board_->RawResources = board_->TranslatedResources = nullptr;
    }
}

}  // namespace
}  // namespace interfacetest
