// HAL port I/O: routing by range and width, the access log, undecoded ports.
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

}  // namespace
