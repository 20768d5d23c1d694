// DbgPrint renders the kernel's printf dialect and keeps the text per image;
// RtlAssert leaves a record and the debugger's report, then returns.
#include "support/kernel_test.h"

namespace {

using Diagnostics = hk::test::KernelTest;

std::string Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string out = hk::FormatKernelString(format, args);
    va_end(args);
    return out;
}

TEST_F(Diagnostics, WideStringsAndTheirNullForms)
{
    EXPECT_EQ(Format("RegPath = %ws|%S|%ls|%s", L"\\Registry\\Machine", L"COM3", L"x", "narrow"),
              "RegPath = \\Registry\\Machine|COM3|x|narrow");
    EXPECT_EQ(Format("%ws %s", static_cast<const wchar_t *>(nullptr), static_cast<const char *>(nullptr)),
              "(null) (null)");
    EXPECT_EQ(Format("[%-6ws][%6.2ws]", L"ab", L"abcdef"), "[ab    ][    ab]");
    UNICODE_STRING u = {4, 8, const_cast<PWSTR>(L"ABCD")};
    EXPECT_EQ(Format("%wZ", &u), "AB") << "%wZ prints Length bytes, not up to a NUL";
    EXPECT_EQ(Format("%c%C%wc", 'a', L'b', L'c'), "abc");
}

TEST_F(Diagnostics, IntegersWithFlagsWidthsAndSizes)
{
    // The filter's allocation trace, as the x86 and the x64 driver print it;
    // %ld is 32 bits on both, as on Windows.
    EXPECT_EQ(Format("MP_ExAllocatePool(%0*I64x, %ld bytes) gExAllocCount = %d", 8, 0x1a2bULL, ULONG(24), 3),
              "MP_ExAllocatePool(00001a2b, 24 bytes) gExAllocCount = 3");
    EXPECT_EQ(Format("MP_ExFreePool(%0*I64x) gExAllocCount = %d", 16, 0x7f3a00001a2bULL, 2),
              "MP_ExFreePool(00007f3a00001a2b) gExAllocCount = 2");
    EXPECT_EQ(Format("value = decimal %d 0x%x", -1, -1), "value = decimal -1 0xffffffff");
    EXPECT_EQ(Format("%X|%#x|%+d|% d|%o|%u", 0xABCu, 0x10u, 5, 5, 8u, 4000000000u), "ABC|0x10|+5| 5|10|4000000000");
    EXPECT_EQ(Format("%*d|%-*d|", 4, 7, 3, 1), "   7|1  |");
    EXPECT_EQ(Format("%I64x %lld %hd", 0x100000000ULL, -2LL, 70000), "100000000 -2 4464");
    // A pointer's worth of upper-case digits: eight on x86, sixteen on x64.
    EXPECT_EQ(Format("%p", reinterpret_cast<void *>(0xBEEF)), std::string(2 * sizeof(void *) - 4, '0') + "BEEF");
    EXPECT_EQ(Format("100%% %"), "100% ");
}

// The output joined, as a debugger shows it, and call by call: a trace
// written as a prefix and a message is two calls, not one.
TEST_F(Diagnostics, OutputIsKeptPerImageInOrderAndCallByCall)
{
    DbgPrint("DUZOREDAZ: ");
    DbgPrint("enter %ws\n", L"DriverEntry");
    DbgPrint("");
    EXPECT_EQ(hk::DebugOutput("host"), "DUZOREDAZ: enter DriverEntry\n");
    EXPECT_EQ(hk::DebugWrites("host"), (std::vector<std::string>{"DUZOREDAZ: ", "enter DriverEntry\n", ""}));
    EXPECT_EQ(hk::DebugOutput("mpsfilt"), "");
    EXPECT_TRUE(hk::DebugWrites("mpsfilt").empty());
    EXPECT_EQ(hk::DebugImages(), std::vector<std::string>({"host"}));
    hk::ClearDiagnostics();
    EXPECT_EQ(hk::DebugOutput("host"), "");
    EXPECT_TRUE(hk::DebugWrites("host").empty());
}

// One call transmits at most 512 bytes; wide conversions are for
// PASSIVE_LEVEL only, narrow ones for any level.
TEST_F(Diagnostics, OneCallShowsAtMost512BytesAndWideTextOnlyAtPassive)
{
    const std::string long_(600, 'x');
    DbgPrint("%s|", long_.c_str());
    DbgPrint("next\n");
    EXPECT_EQ(hk::DebugOutput("host"), std::string(512, 'x') + "next\n");
    EXPECT_EQ(hk::DebugWrites("host"), (std::vector<std::string>{std::string(512, 'x'), "next\n"}));

    hk::SetCurrentIrql(DISPATCH_LEVEL);
    DbgPrint("%s %d %c\n", "narrow", 1, 'c');
    EXPECT_EQ(ExpectViolation("IRQL_TOO_HIGH"), 0u);
    for (const char *format : {"%ws", "%S", "%ls", "%wZ", "%C", "%lc", "%wc", "%-8ws"}) {
        UNICODE_STRING empty = {0, 0, nullptr};
        DbgPrint(format, format[1] == 'w' && format[2] == 'Z' ? static_cast<const void *>(&empty) : L"w");
        EXPECT_EQ(ExpectViolation("IRQL_TOO_HIGH"), 1u) << format;
    }
    hk::SetCurrentIrql(PASSIVE_LEVEL);
}

TEST_F(Diagnostics, AssertionIsRecordedReportedAndReturns)
{
    RtlAssert(const_cast<char *>("gExAllocCount == 0"), const_cast<char *>("main"), 166, nullptr);
    auto records = hk::Asserts("host");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].expression, "gExAllocCount == 0");
    EXPECT_EQ(records[0].file, "main");
    EXPECT_EQ(records[0].line, 166u);
    EXPECT_EQ(hk::DebugOutput("host"), "*** Assertion failed: gExAllocCount == 0\n***   Source File: main, line 166\n\n");
    EXPECT_TRUE(hk::DebugWrites("host").empty()) << "an assertion report is no DbgPrint call";
    EXPECT_TRUE(hk::Asserts("mpsfilt").empty());
}

}  // namespace
