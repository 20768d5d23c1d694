/*
 * The port number from a port's location text. The input is the location
 * property as the Plug and Play manager returns it (any bytes, terminated or
 * not, of any length); mpsfilt's GetPortOffset reads it through the host
 * kernel's IoGetDeviceProperty with its traces on. Each input runs with
 * zeros and with 'p's behind the text in the filter's buffer: the two must
 * agree, as the filter reads only what it was given. A port found lies in
 * "port" followed by one character and at most three hexadecimal digits, so
 * its offset is below 0xFFF; every allocation is given back.
 */
#include "PciChild/mpsfilt.h"
#include "fuzz_check.h"

#include <cstring>

namespace {

DEVICE_OBJECT pdo;
std::vector<uint8_t> location;
uint8_t fill;

NTSTATUS Answer(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                PULONG resultLength)
{
    if (device != &pdo || property != DevicePropertyLocationInformation) return STATUS_INVALID_PARAMETER;
    return fuzz::AnswerProperty(location, fill, length, buffer, resultLength);
}

struct Outcome {
    NTSTATUS status;
    ULONG offset;
};

Outcome Read(uint8_t fillWith)
{
    fill = fillWith;
    DEVICE_OBJECT device{};
    FilterExtension filter{};
    device.DeviceExtension = &filter;
    filter.DeviceObject = &device;
    filter.Pdo = &pdo;
    filter.PortOffset = 0xFFFFFFFF;
    const NTSTATUS status = GetPortOffset(&device);
    FUZZ_CHECK(gExAllocCount == 0, "the filter's count of its blocks is " + std::to_string(gExAllocCount));
    fuzz::ExpectKernelClean("GetPortOffset");
    return Outcome{status, filter.PortOffset};
}

// The text as far as the filter may read it: up to its terminator.
bool HasPortWord()
{
    std::u16string text;
    for (size_t i = 0; i + 1 < location.size(); i += 2) {
        const char16_t c = char16_t(location[i] | location[i + 1] << 8);
        if (c == 0) break;
        text += c;
    }
    return text.find(u"port") != std::u16string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::StartKernel(Answer);
    DebugLevel = 2;  // the port number is traced too
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    location.assign(data, data + size);
    const Outcome plain = Read(0);
    const Outcome filled = Read('p');
    FUZZ_CHECK(plain.status == filled.status && plain.offset == filled.offset,
               "what lies behind the text changed the result: " + fuzz::Hex(ULONG(plain.status)) + " port offset " +
                   fuzz::Hex(plain.offset) + " / " + fuzz::Hex(ULONG(filled.status)) + " port offset " +
                   fuzz::Hex(filled.offset));
    if (NT_SUCCESS(plain.status)) {
        FUZZ_CHECK(HasPortWord(), "a port found in a text without \"port\"");
        FUZZ_CHECK(plain.offset < 0xFFF, "port offset " + fuzz::Hex(plain.offset));
    } else {
        FUZZ_CHECK(plain.status == STATUS_UNSUCCESSFUL, "status " + fuzz::Hex(ULONG(plain.status)));
        FUZZ_CHECK(plain.offset == 0xFFFFFFFF, "a port offset kept from a text that named no port");
    }
    return 0;
}
