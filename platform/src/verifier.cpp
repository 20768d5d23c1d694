/*
 * The verifier's record of breaches, and the bug check for what cannot be
 * contained.
 */
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

std::vector<hk::Violation> &Recorded()
{
    static std::vector<hk::Violation> recorded;
    return recorded;
}

}  // namespace

namespace hk {

void ReportViolation(const std::string &name, const std::string &image, const std::string &detail)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    Recorded().push_back(Violation{name, image, detail});
}

std::vector<Violation> Violations()
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    return Recorded();
}

void ClearViolations()
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    Recorded().clear();
}

size_t CheckFreedMemory()
{
    return internal::CheckFreedPool() + internal::CheckFreedIrps() + internal::CheckFreedDevices();
}

void BugCheck(ULONG code, const std::string &why)
{
    std::fprintf(stderr, "*** STOP: 0x%08lX\n*** %s\n", static_cast<unsigned long>(code), why.c_str());
    std::fflush(stderr);
    std::abort();
}

void BugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const std::string &why)
{
    std::ostringstream text;
    text << std::hex << std::uppercase << "(0x" << p1 << ", 0x" << p2 << ", 0x" << p3 << ", 0x" << p4 << ") "
         << why;
    BugCheck(code, text.str());
}

namespace internal {

std::recursive_mutex &BookkeepingLock()
{
    // Leaked on purpose: images and threads may still call in while the
    // process runs its exit handlers.
    static auto *lock = new std::recursive_mutex;
    return *lock;
}

void ResetViolations() { ClearViolations(); }

}  // namespace internal
}  // namespace hk

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    std::ostringstream why;
    why << "KeBugCheckEx called by " << hk::ImageOfAddress(__builtin_return_address(0)) << std::hex
        << " (0x" << P1 << ", 0x" << P2 << ", 0x" << P3 << ", 0x" << P4 << ")";
    hk::BugCheck(BugCheckCode, why.str());
}
