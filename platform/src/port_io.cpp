/*
 * The board buses: port I/O through the HAL, and registers that a bus decodes
 * in memory space, reached through a mapping (io_mapping.cpp). Board hardware
 * is plugged in as ranges of either space; each access goes to the range
 * that decodes it and is logged in order with the image that made it, so
 * tests can assert exact register sequences. One recursive lock serialises
 * all accesses: the hardware models then see one access at a time, as on a
 * single bus, and may log or look up themselves.
 */
#include "internal.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>

namespace {

struct AttachedRange {
    bool memorySpace;
    ULONGLONG base;
    ULONG length;
    hk::IoRange *range;
    uint64_t order;  // attach order: where two ranges overlap, the earlier decodes
};

// Ranges by space and base, so that a machine with hundreds of boards finds
// the decoder of an access without walking every range.
using RangeIndex = std::multimap<std::pair<bool, uint64_t>, AttachedRange>;

std::recursive_mutex ioMutex;
RangeIndex ranges;
uint64_t nextOrder = 0;
ULONG longestRange = 0;  // no range starts further below an address it decodes
std::vector<hk::IoAccess> ioLog;

void Attach(bool memorySpace, ULONGLONG base, ULONG length, hk::IoRange *range)
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    ranges.emplace(std::make_pair(memorySpace, uint64_t(base)), AttachedRange{memorySpace, base, length, range, nextOrder++});
    longestRange = std::max(longestRange, length);
}

// The range of |memorySpace| decoding every byte of [address, address + width), or null.
const AttachedRange *Decoder(bool memorySpace, ULONGLONG address, unsigned width)
{
    const AttachedRange *found = nullptr;
    auto it = ranges.upper_bound(std::make_pair(memorySpace, uint64_t(address)));
    while (it != ranges.begin()) {
        --it;
        hk::CountWork(hk::Work::RangeSearch);
        const AttachedRange &r = it->second;
        if (r.memorySpace != memorySpace || address - r.base >= longestRange) break;
        if (address - r.base < r.length && r.length - (address - r.base) >= width &&
            (found == nullptr || r.order < found->order))
            found = &r;
    }
    return found;
}

ULONG AllOnes(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

std::string Describe(bool memorySpace, bool write, ULONGLONG address, unsigned width)
{
    std::ostringstream text;
    text << (write ? "write" : "read") << " of " << width << " byte(s) at "
         << (memorySpace ? "physical address 0x" : "port 0x") << std::hex << address;
    return text.str();
}

// Nothing answers an undecoded cycle: a read floats to all ones, a write is lost.
const char *UndecodedName(bool memorySpace) { return memorySpace ? "MEMORY_IO_UNDECODED" : "PORT_IO_UNDECODED"; }

ULONG Read(bool memorySpace, ULONGLONG address, unsigned width, const std::string &image)
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    const AttachedRange *decoder = Decoder(memorySpace, address, width);
    ULONG value = AllOnes(width);
    const bool refused = decoder && decoder->range->Refuses();
    if (decoder && !refused) {
        value = decoder->range->Read(ULONG(address - decoder->base), width) & AllOnes(width);
    } else if (!decoder) {
        hk::ReportViolation(UndecodedName(memorySpace), image, Describe(memorySpace, false, address, width));
    }
    ioLog.push_back({ULONG(address), width, false, value, image, memorySpace, refused});
    return value;
}

void Write(bool memorySpace, ULONGLONG address, unsigned width, ULONG value, const std::string &image)
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    const AttachedRange *decoder = Decoder(memorySpace, address, width);
    const bool refused = decoder && decoder->range->Refuses();
    if (decoder && !refused) {
        decoder->range->Write(ULONG(address - decoder->base), width, value);
    } else if (!decoder) {
        hk::ReportViolation(UndecodedName(memorySpace), image, Describe(memorySpace, true, address, width));
    }
    ioLog.push_back({ULONG(address), width, true, value, image, memorySpace, refused});
}

ULONG PortOf(const volatile void *port) { return ULONG(reinterpret_cast<ULONG_PTR>(port)); }

ULONG ReadPort(ULONG port, unsigned width, const void *caller)
{
    return Read(false, port, width, hk::ImageOfAddress(caller));
}

void WritePort(ULONG port, unsigned width, ULONG value, const void *caller)
{
    Write(false, port, width, value, hk::ImageOfAddress(caller));
}

}  // namespace

namespace hk {

void AttachIoRange(ULONG base, ULONG length, IoRange *range) { Attach(false, base, length, range); }

void AttachMemoryRange(ULONGLONG physical, ULONG length, IoRange *range) { Attach(true, physical, length, range); }

void DetachIoRange(IoRange *range)
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    for (auto it = ranges.begin(); it != ranges.end();) {
        if (it->second.range == range)
            it = ranges.erase(it);
        else
            ++it;
    }
}

void DetachAllIoRanges()
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    ranges.clear();
}

const std::vector<IoAccess> &IoLog() { return ioLog; }

void ClearIoLog()
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    ioLog.clear();
}

namespace internal {

ULONG ReadMemorySpace(ULONGLONG physical, unsigned width, const std::string &image)
{
    return Read(true, physical, width, image);
}

void WriteMemorySpace(ULONGLONG physical, unsigned width, ULONG value, const std::string &image)
{
    Write(true, physical, width, value, image);
}

void ResetIoSpace()
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    ranges.clear();
    ioLog.clear();
}

}  // namespace internal
}  // namespace hk

extern "C" {

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) { return UCHAR(ReadPort(PortOf(Port), 1, __builtin_return_address(0))); }
USHORT NTAPI READ_PORT_USHORT(PUSHORT Port) { return USHORT(ReadPort(PortOf(Port), 2, __builtin_return_address(0))); }
ULONG NTAPI READ_PORT_ULONG(PULONG Port) { return ReadPort(PortOf(Port), 4, __builtin_return_address(0)); }

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) { WritePort(PortOf(Port), 1, Value, __builtin_return_address(0)); }
VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value)
{
    WritePort(PortOf(Port), 2, Value, __builtin_return_address(0));
}
VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value) { WritePort(PortOf(Port), 4, Value, __builtin_return_address(0)); }

}  // extern "C"
