#include "pnp_resources.h"

#include <cstring>
#include <sstream>

namespace sim {

namespace {

const ULONG kBridgeLength = 128;
const ULONG kPicVectorBase = 0x30;
const ULONG kProfileLevel = 27;
const ULONG kPoolTag = 0x4D706E50;  // "PnpM" in memory

IO_RESOURCE_DESCRIPTOR FixedRange(ULONG base, ULONG length)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Length = length;
    d.u.Port.Alignment = 1;
    d.u.Port.MinimumAddress.QuadPart = base;
    d.u.Port.MaximumAddress.QuadPart = ULONGLONG(base) + length - 1;
    return d;
}

IO_RESOURCE_DESCRIPTOR SharedLine(ULONG irq, bool levelSensitive)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = CmResourceShareShared;
    d.Flags = levelSensitive ? CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE : CM_RESOURCE_INTERRUPT_LATCHED;
    d.u.Interrupt.MinimumVector = irq;
    d.u.Interrupt.MaximumVector = irq;
    return d;
}

const size_t kRequirementsHeader = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Descriptors);

// The first alternative list, or null when |bytes| holds none.
const IO_RESOURCE_LIST *FirstAlternative(const std::vector<uint8_t> &bytes, ULONG *count)
{
    *count = 0;
    if (bytes.size() < kRequirementsHeader) return nullptr;
    auto *list = reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST *>(bytes.data());
    if (list->AlternativeLists == 0) return nullptr;
    const ULONG room = ULONG((bytes.size() - kRequirementsHeader) / sizeof(IO_RESOURCE_DESCRIPTOR));
    *count = list->List[0].Count < room ? list->List[0].Count : room;
    return &list->List[0];
}

// Two claims on one range collide unless both agree to share it.
bool Collides(const CM_PARTIAL_RESOURCE_DESCRIPTOR &wanted, const CM_PARTIAL_RESOURCE_DESCRIPTOR &other)
{
    if (other.Type != CmResourceTypePort && other.Type != CmResourceTypeMemory) return false;
    if (wanted.ShareDisposition == CmResourceShareShared && other.ShareDisposition == CmResourceShareShared)
        return false;
    const ULONGLONG start = wanted.u.Generic.Start.QuadPart;
    const ULONG length = wanted.u.Generic.Length;
    const ULONGLONG otherStart = other.u.Generic.Start.QuadPart;
    return start < otherStart + other.u.Generic.Length && otherStart < start + length;
}

std::string Hex(ULONGLONG value)
{
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

}  // namespace

INTERFACE_TYPE InterfaceTypeOf(BusKind bus)
{
    switch (bus) {
    case BusKind::Pci: return PCIBus;
    case BusKind::Pcmcia: return PCMCIABus;
    case BusKind::Root: return Isa;
    }
    return Internal;
}

std::vector<uint8_t> BoardRequirements(const BoardDescription &board)
{
    const BoardResources &r = board.resources;
    std::vector<IO_RESOURCE_DESCRIPTOR> descriptors;
    // The board's own decoders are I/O decoders wherever the machine maps
    // its I/O space: the raw list holds I/O ranges either way.
    if (board.bus == BusKind::Pci && r.bridgeBase) descriptors.push_back(FixedRange(r.bridgeBase, kBridgeLength));
    if (r.uartLength) descriptors.push_back(FixedRange(r.uartBase, r.uartLength));
    descriptors.push_back(SharedLine(r.interrupt, board.bus == BusKind::Pci));

    std::vector<uint8_t> bytes(kRequirementsHeader + descriptors.size() * sizeof(IO_RESOURCE_DESCRIPTOR));
    auto *list = reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST *>(bytes.data());
    list->ListSize = ULONG(bytes.size());
    list->InterfaceType = InterfaceTypeOf(board.bus);
    list->AlternativeLists = 1;
    list->List[0].Version = 1;
    list->List[0].Revision = 1;
    list->List[0].Count = ULONG(descriptors.size());
    std::memcpy(list->List[0].Descriptors, descriptors.data(), descriptors.size() * sizeof(IO_RESOURCE_DESCRIPTOR));
    return bytes;
}

std::vector<uint8_t> RequirementsBytes(const IO_RESOURCE_REQUIREMENTS_LIST *list)
{
    if (!list) return {};
    // Trust ListSize only as far as one alternative list of Count descriptors
    // reaches; anything else in a driver's block is not read.
    const size_t needed = kRequirementsHeader + size_t(list->List[0].Count) * sizeof(IO_RESOURCE_DESCRIPTOR);
    size_t size = list->ListSize < needed ? list->ListSize : needed;
    if (size < kRequirementsHeader) size = kRequirementsHeader;
    auto *bytes = reinterpret_cast<const uint8_t *>(list);
    std::vector<uint8_t> copy(bytes, bytes + size);
    reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST *>(copy.data())->ListSize = ULONG(size);
    return copy;
}

PIO_RESOURCE_REQUIREMENTS_LIST RequirementsToPool(const std::vector<uint8_t> &bytes)
{
    if (bytes.empty()) return nullptr;
    void *block = hk::AllocateManagerPool(PagedPool, bytes.size(), kPoolTag);
    if (block) std::memcpy(block, bytes.data(), bytes.size());
    return static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(block);
}

size_t ResourceListSize(size_t descriptors)
{
    return offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors) +
           descriptors * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
}

PCM_RESOURCE_LIST ResourceListToPool(INTERFACE_TYPE bus, const ResourceDescriptors &descriptors)
{
    if (descriptors.empty()) return nullptr;
    const size_t size = ResourceListSize(descriptors.size());
    auto *list = static_cast<PCM_RESOURCE_LIST>(hk::AllocateManagerPool(PagedPool, size, kPoolTag));
    if (!list) return nullptr;
    std::memset(list, 0, size);
    list->Count = 1;
    list->List[0].InterfaceType = bus;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
    list->List[0].PartialResourceList.Count = ULONG(descriptors.size());
    std::memcpy(list->List[0].PartialResourceList.PartialDescriptors, descriptors.data(),
                descriptors.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    return list;
}

bool RequirementsAskForResources(const std::vector<uint8_t> &requirements)
{
    ULONG count;
    return FirstAlternative(requirements, &count) && count > 0;
}

INTERFACE_TYPE RequirementsInterfaceType(const std::vector<uint8_t> &requirements)
{
    if (requirements.size() < kRequirementsHeader) return Internal;
    return reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST *>(requirements.data())->InterfaceType;
}

bool Arbitrate(const std::vector<uint8_t> &requirements, const std::vector<const ResourceDescriptors *> &taken,
               ResourceDescriptors *raw, std::string *why)
{
    raw->clear();
    ULONG count;
    const IO_RESOURCE_LIST *list = FirstAlternative(requirements, &count);
    for (ULONG i = 0; list && i < count; ++i) {
        const IO_RESOURCE_DESCRIPTOR &want = list->Descriptors[i];
        if (want.Option & IO_RESOURCE_ALTERNATIVE) continue;  // the required one before it was granted
        CM_PARTIAL_RESOURCE_DESCRIPTOR got{};
        got.Type = want.Type;
        got.ShareDisposition = want.ShareDisposition;
        got.Flags = want.Flags;
        switch (want.Type) {
        case CmResourceTypePort:
        case CmResourceTypeMemory: {
            got.u.Generic.Start = want.u.Generic.MinimumAddress;
            got.u.Generic.Length = want.u.Generic.Length;
            for (const ResourceDescriptors *other : taken)
                for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &held : *other)
                    if (Collides(got, held)) {
                        *why = "range " + Hex(got.u.Generic.Start.QuadPart) + " is in use";
                        return false;
                    }
            break;
        }
        case CmResourceTypeInterrupt: {
            got.u.Interrupt.Level = want.u.Interrupt.MinimumVector;
            got.u.Interrupt.Vector = want.u.Interrupt.MinimumVector;
            got.u.Interrupt.Affinity = 0xFFFFFFFF;
            for (const ResourceDescriptors *other : taken)
                for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &held : *other)
                    if (held.Type == CmResourceTypeInterrupt && held.u.Interrupt.Vector == got.u.Interrupt.Vector &&
                        (held.ShareDisposition != CmResourceShareShared ||
                         got.ShareDisposition != CmResourceShareShared)) {
                        *why = "interrupt " + std::to_string(got.u.Interrupt.Vector) + " is not shareable";
                        return false;
                    }
            break;
        }
        default:
            got.u.DevicePrivate.Data[0] = want.u.DevicePrivate.Data[0];
            break;
        }
        raw->push_back(got);
    }
    return true;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Translate(const CM_PARTIAL_RESOURCE_DESCRIPTOR &raw, bool ioThroughMemory,
                                         ULONGLONG window)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR t = raw;
    if (raw.Type == CmResourceTypePort && (raw.Flags & CM_RESOURCE_PORT_IO) && ioThroughMemory) {
        t.Flags = USHORT((raw.Flags & ~CM_RESOURCE_PORT_IO) | CM_RESOURCE_PORT_MEMORY);
        t.u.Port.Start.QuadPart = LONGLONG(window + ULONGLONG(raw.u.Port.Start.QuadPart));
    } else if (raw.Type == CmResourceTypePort && !(raw.Flags & CM_RESOURCE_PORT_IO)) {
        t.Type = CmResourceTypeMemory;
        t.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
    } else if (raw.Type == CmResourceTypeInterrupt) {
        const ULONG irq = raw.u.Interrupt.Vector;
        t.u.Interrupt.Vector = kPicVectorBase + irq;
        t.u.Interrupt.Level = irq <= kProfileLevel ? kProfileLevel - irq : 0;
        t.u.Interrupt.Affinity = 1;
    }
    return t;
}

}  // namespace sim
