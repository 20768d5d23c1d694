/*
 * Executive pool with the checks of Driver Verifier's pool tracking: every
 * live block is recorded with its tag, type, size and the image that
 * allocated it; frees of blocks that are not live, frees with the wrong tag
 * and paged pool touched above APC_LEVEL are reported and contained.
 */
#include "irql_rules.h"
#include "kernel_core.h"
#include "quarantine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace {

// Fresh blocks are not zero (drivers must clear what they rely on, as on
// Windows); freed blocks are overwritten so that late use shows.
constexpr unsigned char kFreshFill = 0xC5;
constexpr unsigned char kFreedFill = 0xDF;
// ExAllocatePool's implicit tag, 'None' in memory.
constexpr ULONG kUntagged = 'enoN';
// The kernel's own blocks (what it hands a driver for the time of a call).
constexpr ULONG kKernelTag = ' soI';

struct Block {
    ULONG tag;
    POOL_TYPE type;
    size_t size;
    std::string owner;
};

std::map<const void *, Block> &Live()
{
    static auto *live = new std::map<const void *, Block>;
    return *live;
}

// Every allocation since the last reset, in order, as Driver Verifier's pool
// tracking sees them.
std::vector<hk::PoolBlock> &Allocations()
{
    static auto *allocations = new std::vector<hk::PoolBlock>;
    return *allocations;
}

hk::internal::Quarantine &Freed()
{
    static auto *freed = new hk::internal::Quarantine(4096, kFreedFill, "pool block");
    return *freed;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

std::string TagText(ULONG tag)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = char((tag >> (8 * i)) & 0xFF);
        text[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

std::string Describe(const void *address, const Block &block)
{
    std::ostringstream text;
    text << block.size << " bytes of "
         << (IsPaged(block.type) ? "PagedPool" : (ULONG(block.type) & NonPagedPoolNx) ? "NonPagedPoolNx" : "NonPagedPool")
         << " tagged '"
         << TagText(block.tag) << "' at " << address;
    return text.str();
}

void CheckIrql(POOL_TYPE type, bool allocate, const void *caller)
{
    using hk::internal::Ddi;
    const Ddi ddi = allocate ? (IsPaged(type) ? Ddi::ExAllocatePoolPaged : Ddi::ExAllocatePoolNonPaged)
                             : (IsPaged(type) ? Ddi::ExFreePoolPaged : Ddi::ExFreePoolNonPaged);
    hk::internal::CheckIrql(ddi, caller);
}

PVOID AllocateOwned(POOL_TYPE type, SIZE_T size, ULONG tag, const std::string &image, bool fallible = true)
{
    if (fallible && hk::ShouldFail(hk::Service::Pool, image)) return nullptr;

    void *memory = std::malloc(size ? size : 1);
    if (memory == nullptr) return nullptr;
    hk::CountWork(hk::Work::PoolAllocation);
    std::memset(memory, kFreshFill, size);
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    Live()[memory] = Block{tag, type, size, image};
    Allocations().push_back(hk::PoolBlock{memory, tag, type, size, image});
    return memory;
}

constexpr ULONG kNoExecute = NonPagedPoolNx;  // the bit every NX pool type carries

bool IsExecutable(POOL_TYPE type) { return !IsPaged(type) && (ULONG(type) & kNoExecute) == 0; }

// What the running Windows makes of the pool type a driver image asked for.
void CheckPoolType(POOL_TYPE type, ULONG tag, const void *caller)
{
    if ((ULONG(type) & kNoExecute) != 0 && !hk::WindowsAtLeast(hk::Windows::W8)) {
        // "NX pool compatibility issues": the pool allocators before Windows 8
        // do not function correctly when asked for NonPagedPoolNx.
        std::ostringstream why;
        why << "BAD_POOL_CALLER: " << hk::ImageOfAddress(caller) << " asked for pool type " << ULONG(type)
            << ", which " << hk::WindowsInfo(hk::WindowsVersion()).title << " does not have (NX pool types came with Windows 8)";
        hk::BugCheck(0xC2, why.str());
    }
    // Driver Verifier's code integrity check, from Windows 8 on, over the
    // verified drivers (the loaded images): an executable pool type is
    // 0xC4/0x2000 ("Code integrity checking").
    if (IsExecutable(type) && hk::WindowsAtLeast(hk::Windows::W8) && !hk::internal::ImageOwningAddress(caller).empty()) {
        hk::BugCheckEx(0xC4, 0x2000, ULONG_PTR(caller), ULONG_PTR(type), tag,
                       "DRIVER_VERIFIER_DETECTED_VIOLATION: " + hk::ImageOfAddress(caller) +
                           " specified an executable pool type (expected NonPagedPoolNx)");
    }
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void *caller)
{
    CheckPoolType(type, tag, caller);
    CheckIrql(type, true, caller);
    return AllocateOwned(type, size, tag, hk::ImageOfAddress(caller));
}

void Release(PVOID p, const ULONG *expectedTag, const char *routine, const void *caller)
{
    const std::string image = hk::ImageOfAddress(caller);
    std::unique_lock<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    const auto call = [&] {
        std::ostringstream text;
        text << routine << "(" << p << ")";
        return text.str();
    };

    auto found = Live().find(p);
    if (found == Live().end()) {
        if (p != nullptr && Freed().Holds(p)) {
            hk::ReportViolation("POOL_DOUBLE_FREE", image, call() + ": the block was already freed");
        } else {
            hk::ReportViolation("POOL_BAD_FREE", image, call() + ": not the start of a live pool block");
        }
        return;
    }
    if (expectedTag != nullptr && *expectedTag != found->second.tag) {
        hk::ReportViolation("POOL_BAD_FREE", image,
                            call() + " with tag '" + TagText(*expectedTag) + "' for " +
                                Describe(p, found->second));
        return;
    }
    CheckIrql(found->second.type, false, caller);
    const size_t size = found->second.size;
    const std::string owner = found->second.owner;
    Live().erase(found);
    Freed().Hold(p, p, size, owner);
    // A remove lock kept in this block dies with it. Its records have their
    // own lock, taken before this one elsewhere, so not under it here; the
    // quarantine keeps the address from coming back meanwhile.
    hold.unlock();
    hk::internal::ForgetRemoveLocksIn(p, size);
}

}  // namespace

namespace hk {
PVOID AllocateManagerPool(POOL_TYPE type, size_t size, ULONG tag)
{
    return AllocateOwned(type, size, tag, "host", false);
}
}  // namespace hk

namespace hk::internal {
// Pool that a kernel routine takes on a driver's behalf (a string buffer the
// registry fills) belongs to that driver, as on Windows.
PVOID AllocatePoolFor(const std::string &owner, POOL_TYPE type, size_t size, ULONG tag)
{
    return AllocateOwned(type, size, tag, owner);
}

PVOID AllocateKernelPool(size_t size)
{
    PVOID block = AllocateOwned(PagedPool, size, kKernelTag, "host", false);
    if (block == nullptr) BugCheck(0x41, "MUST_SUCCEED_POOL_EMPTY: the host ran out of memory");
    return block;
}

void FreeKernelPool(PVOID block) { Release(block, nullptr, "ExFreePool", nullptr); }
}  // namespace hk::internal

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return Allocate(PoolType, NumberOfBytes, kUntagged, __builtin_return_address(0));
}

VOID NTAPI ExFreePool(PVOID P) { Release(P, nullptr, "ExFreePool", __builtin_return_address(0)); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    Release(P, &Tag, "ExFreePoolWithTag", __builtin_return_address(0));
}

}  // extern "C"

namespace hk {

std::vector<PoolBlock> LivePool()
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    std::vector<PoolBlock> blocks;
    for (const auto &[address, block] : Live()) {
        blocks.push_back(PoolBlock{address, block.tag, block.type, block.size, block.owner});
    }
    return blocks;
}

std::vector<PoolBlock> PoolAllocations()
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    return Allocations();
}

bool IsLivePoolBlock(const void *address)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    return Live().count(address) != 0;
}

size_t LivePoolCount(const std::string &owner)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    size_t count = 0;
    for (const auto &entry : Live()) count += (owner.empty() || entry.second.owner == owner) ? 1 : 0;
    return count;
}

size_t ReportLeaks(const std::string &owner, const std::string &when)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    size_t count = 0;
    for (const auto &[address, block] : Live()) {
        if (!owner.empty() && block.owner != owner) continue;
        ReportViolation("POOL_LEAK", block.owner, Describe(address, block) + " still allocated " + when);
        ++count;
    }
    return count;
}

namespace internal {

bool IsPoolBlock(const void *p)
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    return Live().count(p) != 0;
}

size_t FreePoolOf(const std::string &owner)
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    size_t count = 0;
    for (auto it = Live().begin(); it != Live().end();) {
        if (it->second.owner != owner) {
            ++it;
            continue;
        }
        void *memory = const_cast<void *>(it->first);
        Freed().Hold(memory, memory, it->second.size, owner);
        it = Live().erase(it);
        ++count;
    }
    return count;
}

bool InFreedPool(const void *address)
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    return Freed().Covers(address);
}

size_t CheckFreedPool()
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    return Freed().CheckAll();
}

void ResetPool()
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    for (const auto &entry : Live()) std::free(const_cast<void *>(entry.first));
    Live().clear();
    Allocations().clear();
    Freed().Clear();
}

}  // namespace internal
}  // namespace hk
