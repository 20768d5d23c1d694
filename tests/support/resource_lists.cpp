#include "support/resource_lists.h"

#include <cstddef>
#include <cstring>

namespace hk::test {

namespace {

const size_t kListHeaderBytes = offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors);

}  // namespace

CM_PARTIAL_RESOURCE_DESCRIPTOR PortDescriptor(ULONGLONG start, ULONG length)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = {};
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Start.QuadPart = LONGLONG(start);
    d.u.Port.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR MemorySpacePortDescriptor(ULONGLONG start, ULONG length)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = PortDescriptor(start, length);
    d.Flags = CM_RESOURCE_PORT_MEMORY;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR MemoryDescriptor(ULONGLONG start, ULONG length)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = {};
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.u.Memory.Start.QuadPart = LONGLONG(start);
    d.u.Memory.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR InterruptDescriptor(ULONG level, ULONG vector)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = {};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = CmResourceShareShared;
    d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    d.u.Interrupt.Level = level;
    d.u.Interrupt.Vector = vector;
    d.u.Interrupt.Affinity = 1;
    return d;
}

bool SameDescriptor(const CM_PARTIAL_RESOURCE_DESCRIPTOR &a, const CM_PARTIAL_RESOURCE_DESCRIPTOR &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> PartialDescriptorsOf(const CM_RESOURCE_LIST *list)
{
    if (list == nullptr) return {};
    const CM_PARTIAL_RESOURCE_LIST &partials = list->List[0].PartialResourceList;
    return {partials.PartialDescriptors, partials.PartialDescriptors + partials.Count};
}

size_t ListBytes(size_t partials) { return kListHeaderBytes + sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) * partials; }

ResourceList::ResourceList(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &partials)
    : storage_(ListBytes(partials.size() + 1) / sizeof(ULONG))
{
    PCM_RESOURCE_LIST list = get();
    list->Count = 1;
    list->List[0].InterfaceType = PCIBus;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
    list->List[0].PartialResourceList.Count = ULONG(partials.size());
    if (!partials.empty())
        std::memcpy(list->List[0].PartialResourceList.PartialDescriptors, partials.data(),
                    partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
}

size_t ResourceList::size() const
{
    const auto *list = reinterpret_cast<const CM_RESOURCE_LIST *>(storage_.data());
    return ListBytes(list->List[0].PartialResourceList.Count);
}

}  // namespace hk::test
