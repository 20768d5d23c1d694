/*
 * The filter's rewrite of a port's START resources. mpsfilt, compiled in,
 * sits on a port stack over a port device of this target's own, which
 * answers the bus interface query. The input decides how the port device
 * answers (first byte: the interface, or the lists call, may fail), which
 * port of the board the filter serves (next two bytes, a port offset below
 * 0xFFF as the location text allows) and the board's lists that
 * GetResourceLists hands out (a descriptor count up to 16 and the
 * descriptors, each in fuzz::kDescriptorInputBytes, for each list; zeros
 * where the input ends).
 *
 * RewriteStartResources must then put into the START's stack location
 * exactly the board's lists with every port range longer than one byte
 * narrowed to the port's eight bytes inside it, or fail, leaving the
 * START's own lists in place: with the failing call's status, or with
 * STATUS_DEVICE_CONFIGURATION_ERROR when some range is too short for the
 * port. Each interface reference is given back and every list freed.
 */
#include "PciChild/mpsfilt.h"
#include "fuzz_check.h"
#include "support/resource_lists.h"

#include <cstring>

namespace {

using hk::test::PartialDescriptorsOf;
using hk::test::SameDescriptor;

using Descriptors = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;
const ULONG kMaxDescriptors = 16;
const ULONG kListTag = 0x74726F50;  // "Port"

// How the port device answers, for the input at hand.
struct PortScript {
    bool refuseInterface = false;
    NTSTATUS listsStatus = STATUS_SUCCESS;
    Descriptors raw, translated;
    LONG references = 0;
};
PortScript script;

PCM_RESOURCE_LIST ListInPool(const Descriptors &partials)
{
    hk::test::ResourceList list(partials);
    void *block = ExAllocatePoolWithTag(PagedPool, list.size(), kListTag);
    std::memcpy(block, list.bytes(), list.size());
    return static_cast<PCM_RESOURCE_LIST>(block);
}

VOID NTAPI Reference(PVOID) { ++script.references; }
VOID NTAPI Dereference(PVOID) { --script.references; }

NTSTATUS NTAPI GetLists(PVOID, PCM_RESOURCE_LIST *raw, PCM_RESOURCE_LIST *translated)
{
    *raw = *translated = nullptr;
    if (!NT_SUCCESS(script.listsStatus)) return script.listsStatus;
    *raw = ListInPool(script.raw);
    *translated = ListInPool(script.translated);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NoOptions(PVOID, PULONG) { return STATUS_NOT_SUPPORTED; }

NTSTATUS NTAPI PortPnp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE && !script.refuseInterface &&
        std::memcmp(stack->Parameters.QueryInterface.InterfaceType, &GUID_PORT_BUS_INTERFACE, sizeof(GUID)) == 0) {
        auto *record = reinterpret_cast<PortBusInterface *>(stack->Parameters.QueryInterface.Interface);
        *record = PortBusInterface{sizeof(PortBusInterface), PORT_BUS_INTERFACE_VERSION, &script, Reference,
                                   Dereference, GetLists, NoOptions};
        ++script.references;
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI PortBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = PortPnp;
    return STATUS_SUCCESS;
}

const std::vector<uint8_t> kLocation = [] {
    std::vector<uint8_t> bytes;
    for (char c : std::string("PB8-A board 1 port 1")) bytes.insert(bytes.end(), {uint8_t(c), 0});
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}();

NTSTATUS AnswerLocation(PDEVICE_OBJECT, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                        PULONG resultLength)
{
    if (property != DevicePropertyLocationInformation) return STATUS_INVALID_PARAMETER;
    return fuzz::AnswerProperty(kLocation, 0, length, buffer, resultLength);
}

PDEVICE_OBJECT filterDevice;
size_t poolKept;  // the filter driver's own blocks, held across inputs

bool Narrowable(const Descriptors &list, ULONG offset)
{
    for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : list)
        if (d.Type == CmResourceTypePort && d.u.Port.Length != 1 && ULONGLONG(offset) * 8 + 8 > d.u.Port.Length)
            return false;
    return true;
}

std::string CheckNarrowed(const Descriptors &board, const Descriptors &given, ULONG offset)
{
    if (given.size() != board.size()) return "the count changed";
    for (size_t i = 0; i < board.size(); ++i) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR expected = board[i];
        if (expected.Type == CmResourceTypePort && expected.u.Port.Length != 1) {
            expected.u.Port.Start.QuadPart =
                LONGLONG(ULONGLONG(expected.u.Port.Start.QuadPart) + ULONGLONG(offset) * 8);
            expected.u.Port.Length = 8;
        }
        if (!SameDescriptor(expected, given[i]))
            return "descriptor " + std::to_string(i) + " is not the port's part of the board's";
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::StartKernel(AnswerLocation);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT portBus = hk::LoadBuiltinDriver("fuzzportbus", PortBusEntry, &status);
    PDRIVER_OBJECT filter = hk::LoadBuiltinDriver("mpsfilt", DriverEntry, &status);
    PDEVICE_OBJECT port = nullptr;
    if (!portBus || !filter || !NT_SUCCESS(IoCreateDevice(portBus, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &port)))
        fuzz::Fail("no port stack");
    port->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!NT_SUCCESS(hk::CallAddDevice(filter, port)) || !port->AttachedDevice) fuzz::Fail("the filter did not attach");
    filterDevice = port->AttachedDevice;
    poolKept = hk::LivePool().size();
    fuzz::ExpectKernelClean("setting up the port stack", poolKept);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t answer = input.Byte();
    script = PortScript{};
    script.refuseInterface = (answer & 1) != 0;
    if (answer & 2) script.listsStatus = STATUS_DEVICE_NOT_READY;
    const ULONG offset = (input.Byte() | ULONG(input.Byte()) << 8) % 0xFFF;
    FilterOf(filterDevice)->PortOffset = offset;
    for (Descriptors *list : {&script.raw, &script.translated}) {
        list->resize(input.Byte() % (kMaxDescriptors + 1));
        input.Descriptors(list->data(), list->size());
    }

    // The START's own lists, which stay the PnP manager's.
    CM_RESOURCE_LIST pnpRaw{}, pnpTranslated{};
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = IRP_MJ_PNP;
    stack.MinorFunction = IRP_MN_START_DEVICE;
    stack.Parameters.StartDevice.AllocatedResources = &pnpRaw;
    stack.Parameters.StartDevice.AllocatedResourcesTranslated = &pnpTranslated;
    const LONG filterBlocks = gExAllocCount;

    const NTSTATUS status = RewriteStartResources(filterDevice, &stack);

    FUZZ_CHECK(script.references == 0, std::to_string(script.references) + " interface reference(s) held");
    FUZZ_CHECK(gExAllocCount == filterBlocks, "the filter's count of its own blocks moved");
    NTSTATUS expected = STATUS_SUCCESS;
    if (script.refuseInterface)
        expected = STATUS_DEVICE_CONFIGURATION_ERROR;  // nobody answered the query; STATUS_NOT_SUPPORTED is the system's
    else if (!NT_SUCCESS(script.listsStatus))
        expected = script.listsStatus;
    else if (!Narrowable(script.raw, offset) || !Narrowable(script.translated, offset))
        expected = STATUS_DEVICE_CONFIGURATION_ERROR;
    FUZZ_CHECK(status == expected, "status " + fuzz::Hex(ULONG(status)) + ", expected " + fuzz::Hex(ULONG(expected)));
    if (NT_SUCCESS(status)) {
        const std::string raw = CheckNarrowed(script.raw, PartialDescriptorsOf(stack.Parameters.StartDevice.AllocatedResources), offset);
        FUZZ_CHECK(raw.empty(), "raw list: " + raw);
        const std::string translated = CheckNarrowed(
            script.translated, PartialDescriptorsOf(stack.Parameters.StartDevice.AllocatedResourcesTranslated), offset);
        FUZZ_CHECK(translated.empty(), "translated list: " + translated);
        FreeStartResources(filterDevice, &stack);
    } else {
        FUZZ_CHECK(stack.Parameters.StartDevice.AllocatedResources == &pnpRaw &&
                       stack.Parameters.StartDevice.AllocatedResourcesTranslated == &pnpTranslated,
                   "a failed rewrite replaced the START's lists");
    }
    fuzz::ExpectKernelClean("RewriteStartResources", poolKept);
    return 0;
}
