/*
 * Memory manager: MmMapIoSpace hands out a fresh block of host address space
 * for each mapping of physical addresses and keeps a record of each live
 * mapping, so that a driver that forgets to unmap, or unmaps with another
 * length than it mapped, is caught. READ_REGISTER_* / WRITE_REGISTER_* on an
 * address inside a mapping reach the physical address behind it: the board
 * hardware decoding it in memory space, or nothing (reported like undecoded
 * port I/O).
 */
#include "irql_rules.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>

namespace {

constexpr size_t kPageSize = 4096;

std::mutex mappingMutex;
std::map<const void *, hk::Mapping> mappings;

size_t RoundedToPages(size_t length) { return (length + kPageSize - 1) / kPageSize * kPageSize; }

std::string Describe(const char *routine, const void *address, size_t length)
{
    std::ostringstream text;
    text << routine << "(" << address << ", " << length << ")";
    return text.str();
}

}  // namespace

namespace hk {

std::vector<Mapping> LiveMappings()
{
    std::lock_guard<std::mutex> hold(mappingMutex);
    std::vector<Mapping> live;
    for (const auto &entry : mappings) live.push_back(entry.second);
    return live;
}

bool MappingAt(const void *address, Mapping *mapping)
{
    std::lock_guard<std::mutex> hold(mappingMutex);
    auto found = mappings.find(address);
    if (found == mappings.end()) return false;
    *mapping = found->second;
    return true;
}

size_t ReportLiveMappings(const std::string &when)
{
    const std::vector<Mapping> live = LiveMappings();
    for (const Mapping &m : live) {
        std::ostringstream detail;
        detail << "mapping of physical 0x" << std::hex << m.physical << std::dec << ", " << m.length
               << " bytes at " << m.address << " still live " << when;
        ReportViolation("MAPPING_LEAK", m.owner, detail.str());
    }
    return live.size();
}

namespace internal {

void ResetMappings()
{
    std::lock_guard<std::mutex> hold(mappingMutex);
    for (const auto &entry : mappings) std::free(const_cast<void *>(entry.first));
    mappings.clear();
}

}  // namespace internal
}  // namespace hk

extern "C" {

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType)
{
    hk::internal::CheckIrql(hk::internal::Ddi::MmMapIoSpace, __builtin_return_address(0));
    const std::string owner = HK_CALLER_IMAGE();
    if (NumberOfBytes == 0 || hk::ShouldFail(hk::Service::MapIoSpace, owner)) return nullptr;
    const size_t rounded = RoundedToPages(NumberOfBytes);
    void *address = std::aligned_alloc(kPageSize, rounded);
    if (!address) return nullptr;
    std::memset(address, 0, rounded);

    std::lock_guard<std::mutex> hold(mappingMutex);
    mappings[address] = hk::Mapping{address, uint64_t(PhysicalAddress.QuadPart), NumberOfBytes, owner, CacheType};
    return address;
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    const void *caller = __builtin_return_address(0);
    hk::internal::CheckIrql(hk::internal::Ddi::MmUnmapIoSpace, caller);
    std::lock_guard<std::mutex> hold(mappingMutex);
    auto found = mappings.find(BaseAddress);
    if (found == mappings.end()) {
        hk::ReportViolation("MAPPING_MISMATCH", hk::ImageOfAddress(caller),
                            Describe("MmUnmapIoSpace", BaseAddress, NumberOfBytes) + ": not a live mapping");
        return;
    }
    if (found->second.length != NumberOfBytes) {
        // The mapping still goes: the driver meant to give it back, and
        // keeping it would report the same fault a second time as a leak.
        hk::ReportViolation("MAPPING_MISMATCH", hk::ImageOfAddress(caller),
                            Describe("MmUnmapIoSpace", BaseAddress, NumberOfBytes) + ": mapped with length " +
                                std::to_string(found->second.length));
    }
    std::free(BaseAddress);
    mappings.erase(found);
}

}  // extern "C"

namespace {

// The physical address behind |address| when a live mapping covers it. The
// whole pages of a mapping are mapped, as on Windows.
bool PhysicalOf(const volatile void *address, ULONGLONG *physical)
{
    const auto *byte = reinterpret_cast<const volatile uint8_t *>(address);
    std::lock_guard<std::mutex> hold(mappingMutex);
    auto after = mappings.upper_bound(const_cast<const uint8_t *>(byte));
    if (after == mappings.begin()) return false;
    const hk::Mapping &m = std::prev(after)->second;
    const auto *start = static_cast<const uint8_t *>(m.address);
    const size_t offset = size_t(byte - start);
    if (offset >= RoundedToPages(m.length)) return false;
    *physical = m.physical + offset;
    return true;
}

// Outside every mapping a register routine is a plain memory access, as it
// is on Windows for any valid kernel address.
template <typename T>
T ReadRegister(volatile T *address, const void *caller)
{
    ULONGLONG physical = 0;
    if (!PhysicalOf(address, &physical)) return *address;
    return T(hk::internal::ReadMemorySpace(physical, sizeof(T), hk::ImageOfAddress(caller)));
}

template <typename T>
void WriteRegister(volatile T *address, T value, const void *caller)
{
    ULONGLONG physical = 0;
    if (!PhysicalOf(address, &physical)) {
        *address = value;
        return;
    }
    hk::internal::WriteMemorySpace(physical, sizeof(T), value, hk::ImageOfAddress(caller));
}

}  // namespace

extern "C" {

UCHAR NTAPI READ_REGISTER_UCHAR(PUCHAR Register) { return ReadRegister(Register, __builtin_return_address(0)); }
ULONG NTAPI READ_REGISTER_ULONG(PULONG Register) { return ReadRegister(Register, __builtin_return_address(0)); }
VOID NTAPI WRITE_REGISTER_UCHAR(PUCHAR Register, UCHAR Value)
{
    WriteRegister(Register, Value, __builtin_return_address(0));
}
VOID NTAPI WRITE_REGISTER_ULONG(PULONG Register, ULONG Value)
{
    WriteRegister(Register, Value, __builtin_return_address(0));
}

}  // extern "C"
