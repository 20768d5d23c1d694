// The board buses: HAL port I/O (routing by range and width, the access log,
// undecoded ports) and registers decoded in memory space, reached through a
// mapping.
#include "support/kernel_test.h"

#include <map>

namespace {

// A register file answering each offset with a programmed value and keeping
// what was written, with the width of every access.
class RegisterFile : public hk::IoRange {
public:
    ULONG Read(ULONG offset, unsigned width) override
    {
        accesses.push_back({offset, width});
        return values[offset];
    }
    void Write(ULONG offset, unsigned width, ULONG value) override
    {
        accesses.push_back({offset, width});
        values[offset] = value;
    }

    std::map<ULONG, ULONG> values;
    std::vector<std::pair<ULONG, unsigned>> accesses;
};

class PortIoTest : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        hk::test::KernelTest::SetUp();
        hk::AttachIoRange(0x3F8, 8, &com1);
        hk::AttachIoRange(0x2F8, 8, &com2);
    }

    static PUCHAR Byte(ULONG port) { return reinterpret_cast<PUCHAR>(port); }
    static PUSHORT Word(ULONG port) { return reinterpret_cast<PUSHORT>(port); }
    static PULONG Dword(ULONG port) { return reinterpret_cast<PULONG>(port); }

    RegisterFile com1, com2;
};

TEST_F(PortIoTest, AccessesReachTheDecodingRangeAtTheirOffsetAndWidth)
{
    WRITE_PORT_UCHAR(Byte(0x3FB), 0x83);
    WRITE_PORT_USHORT(Word(0x2F8), 0x1234);
    WRITE_PORT_ULONG(Dword(0x3FC), 0xA5A5A5A5);
    com2.values[7] = 0x5A;

    EXPECT_EQ(com1.values[3], 0x83u);
    EXPECT_EQ(com2.values[0], 0x1234u);
    EXPECT_EQ(com1.values[4], 0xA5A5A5A5u);
    EXPECT_EQ(READ_PORT_UCHAR(Byte(0x2FF)), 0x5A);
    EXPECT_EQ(READ_PORT_USHORT(Word(0x2F8)), 0x1234);
    EXPECT_EQ(READ_PORT_ULONG(Dword(0x3FC)), 0xA5A5A5A5u);
    EXPECT_EQ(READ_PORT_UCHAR(Byte(0x3FC)), 0xA5);  // cut to the access width

    using Access = std::pair<ULONG, unsigned>;
    EXPECT_EQ(com1.accesses, (std::vector<Access>{{3, 1}, {4, 4}, {4, 4}, {4, 1}}));
    EXPECT_EQ(com2.accesses, (std::vector<Access>{{0, 2}, {7, 1}, {0, 2}}));
}

TEST_F(PortIoTest, EveryAccessIsLoggedInOrder)
{
    com1.values[5] = 0x60;
    WRITE_PORT_UCHAR(Byte(0x3FC), 0x10);
    const UCHAR status = READ_PORT_UCHAR(Byte(0x3FD));
    WRITE_PORT_USHORT(Word(0x2FA), 0xBEEF);

    const std::vector<hk::IoAccess> &log = hk::IoLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[0].write);
    EXPECT_EQ(log[0].port, 0x3FCu);
    EXPECT_EQ(log[0].value, 0x10u);
    EXPECT_FALSE(log[1].write);
    EXPECT_EQ(log[1].port, 0x3FDu);
    EXPECT_EQ(log[1].value, status);
    EXPECT_EQ(log[2].width, 2u);
    EXPECT_EQ(log[2].value, 0xBEEFu);
    for (const hk::IoAccess &access : log) EXPECT_EQ(access.image, "host");

    hk::ClearIoLog();
    EXPECT_TRUE(hk::IoLog().empty());
}

TEST_F(PortIoTest, UndecodedAccessIsReportedAndReadsAllOnes)
{
    EXPECT_EQ(READ_PORT_UCHAR(Byte(0x400)), 0xFF);
    EXPECT_EQ(READ_PORT_USHORT(Word(0x3F7)), 0xFFFF);
    // Starts inside a range but runs past its end.
    EXPECT_EQ(READ_PORT_ULONG(Dword(0x3FE)), 0xFFFFFFFFu);
    WRITE_PORT_UCHAR(Byte(0x300), 1);
    EXPECT_EQ(ExpectViolation("PORT_IO_UNDECODED"), 4u);
    EXPECT_TRUE(com1.accesses.empty());
    EXPECT_EQ(hk::IoLog().size(), 4u);
}

TEST_F(PortIoTest, DetachedRangeNoLongerDecodes)
{
    hk::DetachIoRange(&com1);
    EXPECT_EQ(READ_PORT_UCHAR(Byte(0x3F8)), 0xFF);
    EXPECT_EQ(ExpectViolation("PORT_IO_UNDECODED"), 1u);
    READ_PORT_UCHAR(Byte(0x2F8));
    EXPECT_EQ(com2.accesses.size(), 1u);

    hk::DetachAllIoRanges();
    READ_PORT_UCHAR(Byte(0x2F8));
    EXPECT_EQ(ExpectViolation("PORT_IO_UNDECODED"), 1u);
    EXPECT_EQ(com2.accesses.size(), 1u);
}

// ------------------------------------------------------------ memory space
class MemorySpaceTest : public hk::test::KernelTest {
protected:
    static constexpr ULONGLONG kPhysical = 0xFE00D000;

    void SetUp() override
    {
        hk::test::KernelTest::SetUp();
        hk::AttachMemoryRange(kPhysical, 0x20, &board);
        hk::AttachMemoryRange(kPhysical + 0x80, 0x80, &bridge);
    }

    static PVOID Map(ULONGLONG physical, SIZE_T length)
    {
        PHYSICAL_ADDRESS address;
        address.QuadPart = LONGLONG(physical);
        return MmMapIoSpace(address, length, MmNonCached);
    }

    RegisterFile board, bridge;
};

TEST_F(MemorySpaceTest, RegistersOfAMappingReachTheRangeBehindItAndAreLogged)
{
    auto *uart = static_cast<PUCHAR>(Map(kPhysical, 0x20));
    auto *bridgeRegisters = static_cast<PULONG>(Map(kPhysical + 0x80, 0x80));
    ASSERT_NE(uart, nullptr);
    ASSERT_NE(bridgeRegisters, nullptr);
    board.values[7] = 0x42;
    WRITE_REGISTER_UCHAR(uart + 3, 0x83);
    EXPECT_EQ(READ_REGISTER_UCHAR(uart + 7), 0x42);
    WRITE_REGISTER_ULONG(bridgeRegisters + 0x3C / 4, 0x01000000);
    EXPECT_EQ(READ_REGISTER_ULONG(bridgeRegisters + 0x3C / 4), 0x01000000u);

    using Access = std::pair<ULONG, unsigned>;
    EXPECT_EQ(board.accesses, (std::vector<Access>{{3, 1}, {7, 1}}));
    EXPECT_EQ(bridge.accesses, (std::vector<Access>{{0x3C, 4}, {0x3C, 4}}));
    const std::vector<hk::IoAccess> &log = hk::IoLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].port, ULONG(kPhysical + 3)) << "logged at the physical address, not the mapping";
    EXPECT_TRUE(log[0].write);
    EXPECT_EQ(log[1].value, 0x42u);
    EXPECT_EQ(log[2].port, ULONG(kPhysical + 0xBC));
    EXPECT_EQ(log[2].width, 4u);
    for (const hk::IoAccess &access : log) {
        EXPECT_TRUE(access.memorySpace);
        EXPECT_EQ(access.image, "host");
    }
    MmUnmapIoSpace(uart, 0x20);
    MmUnmapIoSpace(bridgeRegisters, 0x80);
}

TEST_F(MemorySpaceTest, TheOtherSpaceAtTheSameNumberIsNotTheBoard)
{
    // A range decoded in memory space is not on the port bus, and a port
    // range is not behind a mapping of the same number.
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(ULONG(kPhysical))), 0xFF);
    EXPECT_EQ(ExpectViolation("PORT_IO_UNDECODED"), 1u);
    RegisterFile ports;
    hk::AttachIoRange(0x300, 8, &ports);
    auto *mapped = static_cast<PUCHAR>(Map(0x300, 8));
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(READ_REGISTER_UCHAR(mapped), 0xFF);
    EXPECT_EQ(ExpectViolation("MEMORY_IO_UNDECODED"), 1u);
    EXPECT_TRUE(board.accesses.empty());
    EXPECT_TRUE(ports.accesses.empty());
    MmUnmapIoSpace(mapped, 8);
    hk::DetachIoRange(&ports);
}

TEST_F(MemorySpaceTest, AMappingOverNothingIsReportedLikeAnUndecodedPort)
{
    auto *mapped = static_cast<PUCHAR>(Map(0xFEB00000, 16));
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(READ_REGISTER_UCHAR(mapped + 1), 0xFF);
    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<PULONG>(mapped + 4)), 0xFFFFFFFFu);
    WRITE_REGISTER_UCHAR(mapped, 1);
    EXPECT_EQ(ExpectViolation("MEMORY_IO_UNDECODED"), 3u);
    EXPECT_EQ(hk::IoLog().size(), 3u);
    MmUnmapIoSpace(mapped, 16);
}

TEST_F(MemorySpaceTest, AMappingReachesWhatLiesInItsPagesAndADetachedRangeNothing)
{
    // The UART range's mapping covers its page: past the range's own bytes
    // lies the bridge range, as the hardware decodes it.
    auto *uart = static_cast<PUCHAR>(Map(kPhysical, 0x20));
    ASSERT_NE(uart, nullptr);
    READ_REGISTER_UCHAR(uart + 0x80);
    EXPECT_EQ(bridge.accesses.size(), 1u);

    hk::DetachIoRange(&board);
    READ_REGISTER_UCHAR(uart);
    EXPECT_EQ(ExpectViolation("MEMORY_IO_UNDECODED"), 1u);
    EXPECT_TRUE(board.accesses.empty());
    MmUnmapIoSpace(uart, 0x20);
}

TEST_F(MemorySpaceTest, RegisterRoutinesOutsideEveryMappingTouchPlainMemory)
{
    UCHAR byte = 0x11;
    WRITE_REGISTER_UCHAR(&byte, 0x22);
    EXPECT_EQ(READ_REGISTER_UCHAR(&byte), 0x22);
    EXPECT_TRUE(hk::IoLog().empty());
}

}  // namespace
