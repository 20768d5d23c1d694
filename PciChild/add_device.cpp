/*
 * A filter device for each port: attached on top of the port's stack, made
 * to look like the device below it, and told which port of the board it
 * serves by the port's location text ("PB4-A board 2 port 4").
 */
#include "mpsfilt.h"

/* The text is read into a buffer of this many bytes first, then into one of
   the size the kernel asks for. */
#define LOCATION_FIRST_BUFFER_BYTES 256
/* At most this many characters of the port number are read. */
#define PORT_NUMBER_CHARS 3

static const WCHAR kPortWord[] = L"port";
#define PORT_WORD_CHARS (sizeof(kPortWord) / sizeof(WCHAR) - 1)

static BOOLEAN IsPortWordAt(PCWSTR Text)
{
    for (ULONG i = 0; i < PORT_WORD_CHARS; ++i)
        if (Text[i] != kPortWord[i]) return FALSE;
    return TRUE;
}

static BOOLEAN IsHexDigit(WCHAR c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

/* Characters of the text before its terminator, within the bytes read. */
static ULONG TextLength(PCWSTR Text, ULONG Bytes)
{
    ULONG chars = 0;
    while (chars < Bytes / sizeof(WCHAR) && Text[chars] != 0) ++chars;
    return chars;
}

/* The number behind the first "port" and the one character after it (the
   space), read as hexadecimal from at most three characters of the text. No
   digit there, or port 0, is no port. */
static NTSTATUS ReadPortNumber(PWSTR Text, ULONG Length, PULONG PortNumber)
{
    ULONG at = 0;
    while (at + PORT_WORD_CHARS <= Length && !IsPortWordAt(&Text[at])) ++at;
    if (at + PORT_WORD_CHARS > Length) return STATUS_UNSUCCESSFUL;

    ULONG digits = at + PORT_WORD_CHARS + 1;
    if (digits >= Length || !IsHexDigit(Text[digits])) return STATUS_UNSUCCESSFUL;

    UNICODE_STRING number;
    number.Buffer = &Text[digits];
    ULONG numberChars = Length - digits < PORT_NUMBER_CHARS ? Length - digits : PORT_NUMBER_CHARS;
    number.Length = number.MaximumLength = (USHORT)(numberChars * sizeof(WCHAR));
    *PortNumber = 0;
    RtlUnicodeStringToInteger(&number, 16, PortNumber);
    MP_DbgPrint(2, "This is port %d\n", *PortNumber);
    return *PortNumber != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS GetPortOffset(PDEVICE_OBJECT DeviceObject)
{
    FilterExtension *filter = FilterOf(DeviceObject);
    MP_DbgPrint(2, "enter GetPortOffset\n");

    NTSTATUS status;
    PWSTR text = NULL;
    ULONG bufferBytes = 0;
    ULONG size = LOCATION_FIRST_BUFFER_BYTES;
    for (;;) {
        if (text != NULL) MP_ExFreePool(text);
        text = static_cast<PWSTR>(MP_ExAllocatePool(PagedPool, size));
        if (text == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        bufferBytes = size;
        status = IoGetDeviceProperty(filter->Pdo, DevicePropertyLocationInformation, bufferBytes, text, &size);
        /* Another pass only when it can get further than this one. */
        if (status != STATUS_BUFFER_TOO_SMALL || size <= bufferBytes) break;
    }

    if (NT_SUCCESS(status)) {
        ULONG portNumber = 0;
        status = ReadPortNumber(text, TextLength(text, size < bufferBytes ? size : bufferBytes), &portNumber);
        if (NT_SUCCESS(status)) filter->PortOffset = portNumber - 1;
    }

    if (text != NULL) MP_ExFreePool(text);
    MP_DbgPrint(2, "exit GetPortOffset (%x)\n", status);
    return status;
}

/* Everything after the attach: the filter takes on the I/O style, type and
   characteristics of the device below, then finds its port. */
static NTSTATUS AttachFilter(PDEVICE_OBJECT Device, PDEVICE_OBJECT PhysicalDeviceObject)
{
    FilterExtension *filter = FilterOf(Device);
    filter->DeviceObject = Device;
    filter->Pdo = PhysicalDeviceObject;
    filter->LowerDeviceObject = IoAttachDeviceToDeviceStack(Device, PhysicalDeviceObject);
    if (filter->LowerDeviceObject == NULL) {
        MP_DbgPrint(1, "IoAttachDeviceToDeviceStack failed!\n");
        return STATUS_DEVICE_REMOVED;
    }

    PDEVICE_OBJECT lower = filter->LowerDeviceObject;
    Device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    Device->Flags |= DO_POWER_PAGABLE;
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    Device->Characteristics = lower->Characteristics;
    Device->DeviceType = lower->DeviceType;
    IoInitializeRemoveLock(&filter->RemoveLock, 0, 0, 0);
    return GetPortOffset(Device);
}

NTSTATUS NTAPI Dispatch_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    MP_DbgPrint(2, "enter Dispatch_AddDevice()\n");
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(FilterExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;

    status = AttachFilter(device, PhysicalDeviceObject);
    if (!NT_SUCCESS(status)) {
        FilterExtension *filter = FilterOf(device);
        if (filter->LowerDeviceObject != NULL) IoDetachDevice(filter->LowerDeviceObject);
        IoDeleteDevice(device);
    }
    MP_DbgPrint(2, "exit Dispatch_AddDevice() (%x)\n", status);
    return status;
}
