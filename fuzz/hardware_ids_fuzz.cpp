/*
 * Identification from a board's hardware IDs. The input picks the bus the
 * board is on (first byte) and is, after it, the hardware-ID property as the
 * Plug and Play manager returns it: any bytes, terminated or not, of any
 * length. IdentifyBoard reads it through the host kernel's
 * IoGetDeviceProperty. Each input runs three times: with zeros and with 'A's
 * behind the property in the driver's buffer, and with every ASCII capital
 * made small; all three must agree, since identification reads only what
 * the read returned and ignores case. A board it accepts is of a model of
 * its bus, with that model's port count and the first number of the model.
 */
#include "PciParent/identify.h"
#include "fuzz_check.h"

#include <cstring>

namespace {

struct Board {
    Board()
    {
        device.DeviceExtension = &extension;
        extension.IsBoard = TRUE;
        extension.DeviceObject = &device;
    }
    DEVICE_OBJECT device{};
    BoardExtension extension{};
};

struct Served {
    bool hasBusType = false;
    ULONG busType = 0;
    std::vector<uint8_t> enumerator, hardwareIds;
    uint8_t fill = 0;
};

Served served;
DEVICE_OBJECT pdo;

NTSTATUS Answer(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                PULONG resultLength)
{
    if (device != &pdo) return STATUS_INVALID_DEVICE_REQUEST;
    switch (property) {
    case DevicePropertyLegacyBusType: {
        if (!served.hasBusType) return STATUS_OBJECT_NAME_NOT_FOUND;
        std::vector<uint8_t> value(sizeof(ULONG));
        std::memcpy(value.data(), &served.busType, sizeof(ULONG));
        return fuzz::AnswerProperty(value, served.fill, length, buffer, resultLength);
    }
    case DevicePropertyEnumeratorName: return fuzz::AnswerProperty(served.enumerator, served.fill, length, buffer, resultLength);
    case DevicePropertyHardwareID: return fuzz::AnswerProperty(served.hardwareIds, served.fill, length, buffer, resultLength);
    default: return STATUS_INVALID_PARAMETER;
    }
}

std::vector<uint8_t> Wide(const char *text)
{
    std::vector<uint8_t> bytes;
    for (const char *c = text;; ++c) {
        bytes.push_back(uint8_t(*c));
        bytes.push_back(0);
        if (*c == 0) return bytes;
    }
}

struct Outcome {
    NTSTATUS status;
    ULONG busType, model, ports, brand, code;
    BOOLEAN skipBridge;
    std::string number;

    bool operator==(const Outcome &o) const
    {
        return status == o.status && busType == o.busType && model == o.model && ports == o.ports &&
               brand == o.brand && code == o.code && skipBridge == o.skipBridge && number == o.number;
    }
};

Outcome Identify()
{
    for (ULONG &counter : ModelCounters) counter = 1;
    Board board;
    board.extension.Pdo = &pdo;
    Outcome outcome;
    outcome.status = IdentifyBoard(&board.device);
    const BoardExtension &e = board.extension;
    outcome.busType = e.BusType;
    outcome.model = e.ModelIndex;
    outcome.ports = e.PortCount;
    outcome.brand = e.OemFlavour;
    outcome.code = e.DeviceCode;
    outcome.skipBridge = e.SkipBridgeInit;
    for (size_t i = 0; i < sizeof(e.BoardNumber) / sizeof(WCHAR) && e.BoardNumber[i] != 0; ++i)
        outcome.number += char(e.BoardNumber[i]);
    fuzz::ExpectKernelClean("IdentifyBoard");
    return outcome;
}

std::string Describe(const Outcome &o)
{
    return "status " + fuzz::Hex(ULONG(o.status)) + ", model " + std::to_string(o.model) + ", ports " +
           std::to_string(o.ports) + ", brand " + std::to_string(o.brand) + ", code " + fuzz::Hex(o.code);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::StartKernel(Answer);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input input(data, size);
    static const ULONG kBusTypes[] = {PCIBus, PCMCIABus, 0};
    const ULONG bus = kBusTypes[input.Byte() % 3];
    served = Served{};
    served.hasBusType = bus != 0;
    served.busType = bus;
    served.enumerator = Wide(bus == PCIBus ? "PCI" : bus == PCMCIABus ? "PCMCIA" : "ROOT");
    served.hardwareIds = input.Rest();

    const Outcome plain = Identify();
    served.fill = 'A';
    const Outcome filled = Identify();
    FUZZ_CHECK(filled == plain, "what lies behind the property changed the result: " + Describe(plain) + " / " +
                                    Describe(filled));
    for (size_t i = 0; i + 1 < served.hardwareIds.size(); i += 2)
        if (served.hardwareIds[i + 1] == 0 && served.hardwareIds[i] >= 'A' && served.hardwareIds[i] <= 'Z')
            served.hardwareIds[i] = uint8_t(served.hardwareIds[i] + 32);
    served.fill = 0;
    const Outcome small = Identify();
    FUZZ_CHECK(small == plain, "small letters changed the result: " + Describe(plain) + " / " + Describe(small));

    if (NT_SUCCESS(plain.status)) {
        FUZZ_CHECK(plain.model < MPS_MODEL_COUNT, Describe(plain));
        const BoardModel &model = BoardModels[plain.model];
        FUZZ_CHECK(model.BusType == (bus == 0 ? ULONG(MPS_BUS_ISA) : bus), Describe(plain));
        FUZZ_CHECK(plain.ports == model.PortCount, Describe(plain));
        FUZZ_CHECK(bool(plain.skipBridge) == bool(model.SkipBridgeInit), Describe(plain));
        FUZZ_CHECK(plain.brand <= 2, Describe(plain));
        FUZZ_CHECK(plain.number == "1", "board number " + plain.number);
    } else {
        // The properties were all there: the IDs named no board of ours.
        FUZZ_CHECK(plain.status == STATUS_UNSUCCESSFUL, Describe(plain));
        FUZZ_CHECK(plain.number.empty(), "a board that was not identified drew number " + plain.number);
    }
    return 0;
}
