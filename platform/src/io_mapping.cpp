/*
 * Memory manager: MmMapIoSpace hands out host memory standing in for a
 * device's registers, one zeroed buffer per mapping, and keeps a record of
 * each live mapping so that a driver that forgets to unmap, or unmaps with
 * another length than it mapped, is caught.
 */
#include "irql_rules.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

namespace {

constexpr size_t kPageSize = 4096;

std::mutex mappingMutex;
std::map<const void *, hk::Mapping> mappings;

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

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE)
{
    hk::internal::CheckIrql(hk::internal::Ddi::MmMapIoSpace, __builtin_return_address(0));
    const std::string owner = HK_CALLER_IMAGE();
    if (NumberOfBytes == 0 || hk::ShouldFail(hk::Service::MapIoSpace)) return nullptr;
    const size_t rounded = (NumberOfBytes + kPageSize - 1) / kPageSize * kPageSize;
    void *address = std::aligned_alloc(kPageSize, rounded);
    if (!address) return nullptr;
    std::memset(address, 0, rounded);

    std::lock_guard<std::mutex> hold(mappingMutex);
    mappings[address] = hk::Mapping{address, uint64_t(PhysicalAddress.QuadPart), NumberOfBytes, owner};
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

/* Registers behind a mapping. For now the mapping is plain host memory: the
   access lands in the buffer MmMapIoSpace handed out. */
extern "C" {

UCHAR NTAPI READ_REGISTER_UCHAR(PUCHAR Register) { return *(volatile UCHAR *)Register; }
ULONG NTAPI READ_REGISTER_ULONG(PULONG Register) { return *(volatile ULONG *)Register; }
VOID NTAPI WRITE_REGISTER_UCHAR(PUCHAR Register, UCHAR Value) { *(volatile UCHAR *)Register = Value; }
VOID NTAPI WRITE_REGISTER_ULONG(PULONG Register, ULONG Value) { *(volatile ULONG *)Register = Value; }

}  // extern "C"
