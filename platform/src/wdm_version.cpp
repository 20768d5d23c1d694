/*
 * The WDM version the kernel claims; drivers refuse to load below the one
 * they need, so tests set older ones.
 */
#include "irql_rules.h"

#include <atomic>

namespace {

constexpr UCHAR kDefaultMajor = 1;
constexpr UCHAR kDefaultMinor = 0x10;  // Windows 2000, the oldest kernel the drivers accept

std::atomic<unsigned> versionWord{(kDefaultMajor << 8) | kDefaultMinor};

}  // namespace

namespace hk {

void SetWdmVersion(UCHAR major, UCHAR minor) { versionWord = (unsigned(major) << 8) | minor; }

namespace internal {
void ResetWdmVersion() { SetWdmVersion(kDefaultMajor, kDefaultMinor); }

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
