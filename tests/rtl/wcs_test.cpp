// The kernel's wide-character routines count 16-bit characters, for a
// driver image as much as for the host.
#include "support/kernel_test.h"

extern "C" {
size_t hk_wcslen(const wchar_t *s);
wchar_t *hk_wcsncpy(wchar_t *d, const wchar_t *s, size_t n);
int hk_wcscmp(const wchar_t *a, const wchar_t *b);
int hk_wcsncmp(const wchar_t *a, const wchar_t *b, size_t n);
wchar_t *hk_wcschr(const wchar_t *s, wchar_t c);
wchar_t *hk_wcsstr(const wchar_t *s, const wchar_t *find);
int hk_wcsicmp(const wchar_t *a, const wchar_t *b);
}

namespace {

using Wcs = hk::test::KernelTest;

TEST_F(Wcs, DriverImageBindsToTheSixteenBitRoutines)
{
    hk::SetImageDirectory(MPS_IMAGE_DIR);
    hk::LoadedDriver probe = hk::LoadDriver("wcsprobe");
    ASSERT_NE(probe.driver, nullptr);
    EXPECT_EQ(probe.entryStatus, STATUS_SUCCESS);
    // glibc's wcslen would count 32-bit units and find neither the length
    // nor the offset of "DEV_".
    EXPECT_EQ(hk::DebugOutput("wcsprobe"), "len=21 dev_at=13 upper=PORT_3 same=1\n");
    hk::UnloadDriver("wcsprobe");
}

TEST_F(Wcs, ComparisonsAndSearchesStopAtTheTerminator)
{
    const wchar_t text[] = L"COM12";
    EXPECT_EQ(hk_wcslen(text), 5u);
    EXPECT_EQ(hk_wcschr(text, L'1'), text + 3);
    EXPECT_EQ(hk_wcschr(text, 0), text + 5);
    EXPECT_EQ(hk_wcsstr(text, L"M1"), text + 2);
    EXPECT_EQ(hk_wcsstr(text, L"12X"), nullptr);
    EXPECT_LT(hk_wcscmp(L"COM1", L"COM12"), 0);
    EXPECT_GT(hk_wcscmp(L"\xFF00", L"A"), 0) << "characters compare unsigned";
    EXPECT_EQ(hk_wcsncmp(L"PORT_1", L"PORT_2", 5), 0);
    EXPECT_EQ(hk_wcsicmp(L"Port_A", L"PORT_a"), 0);
    EXPECT_LT(hk_wcsicmp(L"port_", L"PORT_A"), 0);
    // Both sides fold to lower case, where the underscore sorts before letters.
    EXPECT_LT(hk_wcsicmp(L"_", L"A"), 0);

    wchar_t out[6];
    for (wchar_t &c : out) c = L'#';
    hk_wcsncpy(out, L"AB", 5);
    EXPECT_EQ(out[1], L'B');
    EXPECT_EQ(out[4], 0) << "wcsncpy pads with NULs up to the count";
    EXPECT_EQ(out[5], L'#');
}

}  // namespace
