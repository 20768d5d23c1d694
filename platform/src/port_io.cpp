/*
 * HAL port I/O. Board hardware is plugged in as ranges of the I/O space;
 * each access goes to the range that decodes it and is logged in order with
 * the image that made it, so tests can assert exact register sequences. One
 * recursive lock serialises all accesses: the hardware models then see one
 * access at a time, as on a single bus, and may log or look up themselves.
 */
#include "internal.h"

#include <mutex>
#include <sstream>

namespace {

struct AttachedRange {
    ULONG base;
    ULONG length;
    hk::IoRange *range;
};

std::recursive_mutex ioMutex;
std::vector<AttachedRange> ranges;
std::vector<hk::IoAccess> ioLog;

// The range decoding every byte of [port, port + width), or null.
const AttachedRange *Decoder(ULONG port, unsigned width)
{
    for (const AttachedRange &r : ranges) {
        if (port >= r.base && port - r.base < r.length && r.length - (port - r.base) >= width) return &r;
    }
    return nullptr;
}

ULONG AllOnes(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

std::string Describe(bool write, ULONG port, unsigned width)
{
    std::ostringstream text;
    text << (write ? "write" : "read") << " of " << width << " byte(s) at port 0x" << std::hex << port;
    return text.str();
}

ULONG Read(ULONG port, unsigned width, const void *caller)
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    const std::string image = hk::ImageOfAddress(caller);
    const AttachedRange *decoder = Decoder(port, width);
    ULONG value = AllOnes(width);
    const bool refused = decoder && decoder->range->Refuses();
    if (decoder && !refused) {
        value = decoder->range->Read(port - decoder->base, width) & AllOnes(width);
    } else if (!decoder) {
        hk::ReportViolation("PORT_IO_UNDECODED", image, Describe(false, port, width));
    }
    ioLog.push_back({port, width, false, value, image, refused});
    return value;
}

void Write(ULONG port, unsigned width, ULONG value, const void *caller)
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    const std::string image = hk::ImageOfAddress(caller);
    const AttachedRange *decoder = Decoder(port, width);
    const bool refused = decoder && decoder->range->Refuses();
    if (decoder && !refused) {
        decoder->range->Write(port - decoder->base, width, value);
    } else if (!decoder) {
        hk::ReportViolation("PORT_IO_UNDECODED", image, Describe(true, port, width));
    }
    ioLog.push_back({port, width, true, value, image, refused});
}

ULONG PortOf(const volatile void *port) { return ULONG(reinterpret_cast<ULONG_PTR>(port)); }

}  // namespace

namespace hk {

void AttachIoRange(ULONG base, ULONG length, IoRange *range)
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    ranges.push_back({base, length, range});
}

void DetachIoRange(IoRange *range)
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    std::vector<AttachedRange> kept;
    for (const AttachedRange &r : ranges) {
        if (r.range != range) kept.push_back(r);
    }
    ranges.swap(kept);
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

void ResetIoSpace()
{
    std::lock_guard<std::recursive_mutex> hold(ioMutex);
    ranges.clear();
    ioLog.clear();
}

}  // namespace internal
}  // namespace hk

extern "C" {

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) { return UCHAR(Read(PortOf(Port), 1, __builtin_return_address(0))); }
USHORT NTAPI READ_PORT_USHORT(PUSHORT Port) { return USHORT(Read(PortOf(Port), 2, __builtin_return_address(0))); }
ULONG NTAPI READ_PORT_ULONG(PULONG Port) { return Read(PortOf(Port), 4, __builtin_return_address(0)); }

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) { Write(PortOf(Port), 1, Value, __builtin_return_address(0)); }
VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value)
{
    Write(PortOf(Port), 2, Value, __builtin_return_address(0));
}
VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value) { Write(PortOf(Port), 4, Value, __builtin_return_address(0)); }

}  // extern "C"
