// Counted-string routines at their edges: truncation, terminators only when
// there is room, failures that leave the destination as it was.
#include "support/kernel_test.h"

namespace {

using RtlStrings = hk::test::KernelTest;

std::string Text(const UNICODE_STRING &s) { return hk::Narrow(s.Buffer, s.Length / 2); }

TEST_F(RtlStrings, InitMeasuresAndNullGivesAnEmptyString)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"Port");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(RtlStrings, CopyTruncatesAndTerminatesOnlyWithRoom)
{
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, L"ABCDEF");
    WCHAR buffer[5] = {L'#', L'#', L'#', L'#', L'#'};
    UNICODE_STRING dest = {0, 8, buffer};
    RtlCopyUnicodeString(&dest, &src);
    EXPECT_EQ(Text(dest), "ABCD");
    EXPECT_EQ(buffer[4], L'#') << "no room for a terminator: none written";

    dest.MaximumLength = 10;
    RtlInitUnicodeString(&src, L"XY");
    RtlCopyUnicodeString(&dest, &src);
    EXPECT_EQ(Text(dest), "XY");
    EXPECT_EQ(buffer[2], 0);
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0);
}

TEST_F(RtlStrings, AppendRefusesWhatDoesNotFit)
{
    WCHAR buffer[6];
    UNICODE_STRING dest = {0, sizeof(buffer), buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"PORT"), STATUS_SUCCESS);
    EXPECT_EQ(buffer[4], 0);
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, L"_12");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(dest), "PORT");
    RtlInitUnicodeString(&tail, L"_1");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &tail), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), "PORT_1");
}

TEST_F(RtlStrings, CompareAndEqualWithAndWithoutCase)
{
    UNICODE_STRING a, b, prefix;
    RtlInitUnicodeString(&a, L"Velmora");
    RtlInitUnicodeString(&b, L"VELMORA");
    RtlInitUnicodeString(&prefix, L"VELM");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&b, &prefix, FALSE), 0) << "a longer string with the same start sorts after";
    EXPECT_EQ(RtlUpcaseUnicodeChar(L'z'), L'Z');
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xE9), 0xC9);
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xF7), 0xF7);
}

TEST_F(RtlStrings, UpcaseAllocatesCallerPoolThatFreeGivesBack)
{
    UNICODE_STRING src, up = {0, 0, nullptr};
    RtlInitUnicodeString(&src, L"port_3");
    ASSERT_EQ(RtlUpcaseUnicodeString(&up, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(up), "PORT_3");
    EXPECT_EQ(hk::LivePoolCount("host"), 1u);
    RtlFreeUnicodeString(&up);
    EXPECT_EQ(up.Buffer, nullptr);
    EXPECT_EQ(hk::LivePoolCount("host"), 0u);

    WCHAR small[3];
    UNICODE_STRING fixed = {0, sizeof(small), small};
    EXPECT_EQ(RtlUpcaseUnicodeString(&fixed, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    FailNext(hk::Service::Pool);
    EXPECT_EQ(RtlUpcaseUnicodeString(&up, &src, TRUE), STATUS_NO_MEMORY);
}

TEST_F(RtlStrings, CompareMemoryCountsTheMatchingPrefix)
{
    EXPECT_EQ(RtlCompareMemory("ABCD", "ABXD", 4), 2u);
    EXPECT_EQ(RtlCompareMemory("ABCD", "ABCD", 4), 4u);
    EXPECT_EQ(RtlCompareMemory("A", "B", 0), 0u);
}

}  // namespace
