/*
 * Which Windows the kernel is: the version RtlGetVersion reports and the WDM
 * version IoIsWdmVersionAvailable answers for. Drivers refuse to load below
 * the WDM version they need, so tests also set older WDM versions alone.
 */
#include "irql_rules.h"

#include <atomic>
#include <cstring>

namespace {

using hk::Windows;
using hk::WindowsRelease;

// Version and build of each release's first public build (24H2 for Windows
// 11, 22H2 for Windows 10, as current builds report them). WDM versions from
// IoIsWdmVersionAvailable's table, which ends at Windows 7 (6.0); later
// releases keep 6.0 (the drivers ask only for 1.10).
constexpr WindowsRelease kReleases[] = {
    {Windows::W2000, "2000", "Windows 2000", 5, 0, 2195, 1, 0x10},
    {Windows::XP, "xp", "Windows XP", 5, 1, 2600, 1, 0x20},
    {Windows::Server2003, "2003", "Windows Server 2003", 5, 2, 3790, 1, 0x30},
    {Windows::Vista, "vista", "Windows Vista", 6, 0, 6000, 6, 0x00},
    {Windows::W7, "7", "Windows 7", 6, 1, 7600, 6, 0x00},
    {Windows::W8, "8", "Windows 8", 6, 2, 9200, 6, 0x00},
    {Windows::W81, "8.1", "Windows 8.1", 6, 3, 9600, 6, 0x00},
    {Windows::W10, "10", "Windows 10", 10, 0, 19045, 6, 0x00},
    {Windows::W11, "11", "Windows 11", 10, 0, 26100, 6, 0x00},
};
static_assert(sizeof(kReleases) / sizeof(kReleases[0]) == size_t(Windows::Count), "one row per release");

constexpr Windows kDefaultWindows = Windows::W2000;

std::atomic<Windows> current{kDefaultWindows};
std::atomic<unsigned> versionWord{(1u << 8) | 0x10};

}  // namespace

namespace hk {

const WindowsRelease &WindowsInfo(Windows windows) { return kReleases[size_t(windows)]; }

const WindowsRelease *ReleaseNamed(const std::string &name)
{
    for (const WindowsRelease &release : kReleases) {
        if (name == release.name) return &release;
    }
    return nullptr;
}

std::string ReleaseNames()
{
    std::string names;
    for (const WindowsRelease &release : kReleases) names += (names.empty() ? "" : ", ") + std::string(release.name);
    return names;
}

void SetWindowsVersion(Windows windows)
{
    current = windows;
    SetWdmVersion(WindowsInfo(windows).wdmMajor, WindowsInfo(windows).wdmMinor);
}

Windows WindowsVersion() { return current; }

bool WindowsAtLeast(Windows windows) { return current.load() >= windows; }

void SetWdmVersion(UCHAR major, UCHAR minor) { versionWord = (unsigned(major) << 8) | minor; }

namespace internal {
void ResetWdmVersion() { SetWindowsVersion(kDefaultWindows); }

// The kernel's own question, asked at any IRQL (the power checks ask it
// while a completion walk runs at DISPATCH_LEVEL).
bool WdmVersionAtLeast(UCHAR major, UCHAR minor) { return versionWord >= ((unsigned(major) << 8) | minor); }
}  // namespace internal
}  // namespace hk

extern "C" BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    hk::internal::CheckIrql(hk::internal::Ddi::IoIsWdmVersionAvailable, __builtin_return_address(0));
    return hk::internal::WdmVersionAtLeast(MajorVersion, MinorVersion) ? TRUE : FALSE;
}

// DDI RtlGetVersion: the caller's dwOSVersionInfoSize says which record it
// passed; the routine returns STATUS_SUCCESS. Service packs are not modelled.
extern "C" NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    hk::internal::CheckIrql(hk::internal::Ddi::RtlGetVersion, __builtin_return_address(0));
    const WindowsRelease &release = hk::WindowsInfo(current);
    const ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto *extended = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
        extended->wServicePackMajor = extended->wServicePackMinor = 0;
        extended->wSuiteMask = 0;
        extended->wProductType = 1;  // VER_NT_WORKSTATION
        extended->wReserved = 0;
    }
    lpVersionInformation->dwMajorVersion = release.major;
    lpVersionInformation->dwMinorVersion = release.minor;
    lpVersionInformation->dwBuildNumber = release.build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
    return STATUS_SUCCESS;
}
