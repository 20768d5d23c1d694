/*
 * START resource lists as the Plug and Play manager hands them: one full
 * descriptor of partial descriptors, built from the descriptors below.
 */
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace hk::test {

CM_PARTIAL_RESOURCE_DESCRIPTOR PortDescriptor(ULONGLONG start, ULONG length);  // in I/O space
// A port range in memory space, as a machine that reaches I/O through memory
// translates one.
CM_PARTIAL_RESOURCE_DESCRIPTOR MemorySpacePortDescriptor(ULONGLONG start, ULONG length);
CM_PARTIAL_RESOURCE_DESCRIPTOR MemoryDescriptor(ULONGLONG start, ULONG length);
CM_PARTIAL_RESOURCE_DESCRIPTOR InterruptDescriptor(ULONG level, ULONG vector);

// A port or memory descriptor's start as a value. On x64 a descriptor is
// packed to 4, so its 64-bit start may lie off an 8-byte boundary, and a
// reference to it (as EXPECT_EQ takes its arguments) would be misaligned.
inline LONGLONG StartOf(const CM_PARTIAL_RESOURCE_DESCRIPTOR &d) { return d.u.Port.Start.QuadPart; }

// Byte for byte, as a driver that copies a descriptor must leave it.
bool SameDescriptor(const CM_PARTIAL_RESOURCE_DESCRIPTOR &a, const CM_PARTIAL_RESOURCE_DESCRIPTOR &b);
// The partial descriptors of a list's first full descriptor, as a driver
// reads a START list; none for no list.
std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> PartialDescriptorsOf(const CM_RESOURCE_LIST *list);

// The bytes of a START list with this many partial descriptors: the header
// and the descriptors, 20 + 16 each on x86, 20 + 20 each on x64.
size_t ListBytes(size_t partials);

// A CM_RESOURCE_LIST in storage of its own.
class ResourceList {
public:
    ResourceList(std::initializer_list<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials)
        : ResourceList(std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>(partials))
    {
    }
    explicit ResourceList(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &partials);
    PCM_RESOURCE_LIST get() { return reinterpret_cast<PCM_RESOURCE_LIST>(storage_.data()); }
    // The list's own bytes: the header and its partial descriptors.
    const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(storage_.data()); }
    // How many of them: ListBytes of the list's own count.
    size_t size() const;

private:
    std::vector<ULONG> storage_;
};

}  // namespace hk::test
