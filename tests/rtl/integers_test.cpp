// Integer conversions at the edges drivers hit: a number that just fits a
// 10-byte string, the one that does not, and parsing that stops early.
#include "support/kernel_test.h"

namespace {

using RtlIntegers = hk::test::KernelTest;

struct Text10 {
    WCHAR buffer[5] = {L'#', L'#', L'#', L'#', L'#'};
    UNICODE_STRING s = {0, sizeof(buffer), buffer};
};

NTSTATUS Parse(const char *text, ULONG base, ULONG *value, size_t chars = size_t(-1))
{
    std::u16string wide = hk::Wide(text);
    UNICODE_STRING s;
    s.Buffer = reinterpret_cast<PWSTR>(&wide[0]);
    s.Length = USHORT((chars == size_t(-1) ? wide.size() : chars) * 2);
    s.MaximumLength = s.Length;
    return RtlUnicodeStringToInteger(&s, base, value);
}

TEST_F(RtlIntegers, FourDigitsFitTenBytesWithTheirTerminatorFiveDoNot)
{
    Text10 t;
    ASSERT_EQ(RtlIntegerToUnicodeString(9999, 10, &t.s), STATUS_SUCCESS);
    EXPECT_EQ(t.s.Length, 8);
    EXPECT_EQ(hk::Narrow(t.buffer), "9999");

    Text10 u;
    EXPECT_EQ(RtlIntegerToUnicodeString(10000, 0, &u.s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(u.s.Length, 0);
    EXPECT_EQ(u.buffer[0], L'#');
}

TEST_F(RtlIntegers, EveryBaseAndAnInvalidOne)
{
    WCHAR buffer[40];
    UNICODE_STRING s = {0, sizeof(buffer), buffer};
    struct {
        ULONG value, base;
        const char *text;
    } cases[] = {{0, 10, "0"}, {0xFFFFFFFF, 10, "4294967295"}, {0x7A3E, 16, "7A3E"}, {8, 8, "10"},
                 {5, 2, "101"}, {0xFFFFFFFF, 2, "11111111111111111111111111111111"}};
    for (const auto &c : cases) {
        ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s), STATUS_SUCCESS) << c.text;
        EXPECT_EQ(hk::Narrow(s.Buffer, s.Length / 2), c.text);
    }
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &s), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlIntegers, ParsingStopsAtTheFirstNonDigit)
{
    ULONG v = 99;
    EXPECT_EQ(Parse("010", 16, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 16u);
    EXPECT_EQ(Parse("12z", 10, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 12u);
    EXPECT_EQ(Parse("", 16, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(Parse("2", 16, &v, 3 /* the terminator counted in */), STATUS_SUCCESS);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(Parse("123456", 10, &v, 3), STATUS_SUCCESS);
    EXPECT_EQ(v, 123u) << "a counted string ends at its length, not at a NUL";
    EXPECT_EQ(Parse("0x10", 16, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 0u) << "prefixes are only read when the base is 0";
}

TEST_F(RtlIntegers, BaseZeroReadsSignWhitespaceAndPrefixes)
{
    ULONG v = 0;
    EXPECT_EQ(Parse("  -0x1f", 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(LONG(v), -31);
    EXPECT_EQ(Parse("+0o17", 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 15u);
    EXPECT_EQ(Parse("0b101", 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(Parse("089", 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 89u);
    EXPECT_EQ(Parse("1", 3, &v), STATUS_INVALID_PARAMETER);
}

}  // namespace
