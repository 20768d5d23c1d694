#include "identify_fixture.h"

#include <cstring>

namespace identifytest {

TestBoard::TestBoard()
{
    device.DeviceExtension = &extension;
    extension.IsBoard = TRUE;
    extension.DeviceObject = &device;
}

namespace {

void AppendWide(std::vector<uint8_t> *bytes, const std::string &text)
{
    for (char c : text) {
        bytes->push_back(uint8_t(c));
        bytes->push_back(0);
    }
}

}  // namespace

std::vector<uint8_t> MultiString(const std::vector<std::string> &ids)
{
    std::vector<uint8_t> bytes;
    for (const std::string &id : ids) AppendWide(&bytes, id + '\0');
    AppendWide(&bytes, std::string(1, '\0'));
    return bytes;
}

std::vector<uint8_t> Unterminated(const std::string &text)
{
    std::vector<uint8_t> bytes;
    AppendWide(&bytes, text);
    return bytes;
}

std::vector<uint8_t> WideString(const std::string &text)
{
    return Unterminated(text + '\0');
}

void IdentifyTest::SetUp()
{
    KernelTest::SetUp();
    for (ULONG &counter : ModelCounters) counter = 1;
    pdo = &pdoObject_;
    hk::PnpHooks hooks;
    hooks.getProperty = [this](PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                               PVOID buffer, PULONG resultLength) {
        return Answer(device, property, length, buffer, resultLength);
    };
    hk::SetPnpHooks(hooks);
}

void IdentifyTest::TearDown()
{
    hk::SetPnpHooks(hk::PnpHooks{});
    EXPECT_EQ(DriverBlocks(), 0u) << "identification left pool behind";
    KernelTest::TearDown();
}

void IdentifyTest::PciBoard(const std::vector<std::string> &ids)
{
    legacyBusType = ULONG(PCIBus);
    enumeratorName = WideString("PCI");
    hardwareIds = MultiString(ids);
}

void IdentifyTest::PcmciaCard(const std::vector<std::string> &ids)
{
    legacyBusType = ULONG(PCMCIABus);
    enumeratorName = WideString("PCMCIA");
    hardwareIds = MultiString(ids);
}

void IdentifyTest::RootBoard(const std::vector<std::string> &ids)
{
    legacyBusType.reset();
    enumeratorName = WideString("ROOT");
    hardwareIds = MultiString(ids);
}

NTSTATUS IdentifyTest::Identify(TestBoard &board)
{
    board.extension.Pdo = pdo;
    reads.clear();
    bufferPools.clear();
    return IdentifyBoard(&board.device);
}

size_t IdentifyTest::DriverBlocks()
{
    size_t count = 0;
    for (const hk::PoolBlock &block : hk::LivePool())
        if (block.tag == MPS_POOL_TAG) ++count;
    return count;
}

NTSTATUS IdentifyTest::Answer(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                              PVOID buffer, PULONG resultLength)
{
    if (device != pdo) return STATUS_INVALID_DEVICE_REQUEST;
    reads.push_back({property, length});
    for (const hk::PoolBlock &block : hk::LivePool())
        if (block.address == buffer) bufferPools.push_back(block.type);

    std::vector<uint8_t> value;
    switch (property) {
    case DevicePropertyLegacyBusType:
        if (!legacyBusType) return STATUS_OBJECT_NAME_NOT_FOUND;
        value.resize(sizeof(ULONG));
        std::memcpy(value.data(), &*legacyBusType, sizeof(ULONG));
        break;
    case DevicePropertyEnumeratorName:
        if (!enumeratorName) return STATUS_OBJECT_NAME_NOT_FOUND;
        value = *enumeratorName;
        break;
    case DevicePropertyHardwareID:
        if (!hardwareIds) return STATUS_OBJECT_NAME_NOT_FOUND;
        value = *hardwareIds;
        break;
    default: return STATUS_INVALID_PARAMETER;
    }
    *resultLength = ULONG(value.size());
    if (length < value.size()) return STATUS_BUFFER_TOO_SMALL;
    if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
    if (fillBeyondData) {
        auto *bytes = static_cast<uint8_t *>(buffer);
        for (size_t at = value.size(); at + 1 < length; at += 2) std::memcpy(bytes + at, &*fillBeyondData, 2);
    }
    return STATUS_SUCCESS;
}

}  // namespace identifytest
