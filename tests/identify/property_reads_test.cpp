// Reading the variable-length properties: rereads with the size asked for,
// paged-pool buffers freed on every path, allocation failures, and data that
// is malformed or ends without its terminators.
#include "identify_fixture.h"

namespace identifytest {
namespace {

TEST_F(IdentifyTest, ALongPropertyIsReadAgainWithTheSizeItNeeds)
{
    // Thirty IDs that do not match, then the board's own, far past 256 bytes.
    std::vector<std::string> ids(30, "PCI\\VEN_1234&DEV_0010&SUBSYS_00000000");
    ids.push_back("PCI\\VEN_7A3E&DEV_0050");
    RootBoard({});
    legacyBusType = ULONG(PCIBus);
    hardwareIds = MultiString(ids);
    const ULONG needed = ULONG(hardwareIds->size());
    ASSERT_GT(needed, 256u);

    TestBoard board;
    ASSERT_EQ(Identify(board), STATUS_SUCCESS);
    EXPECT_EQ(board.extension.ModelIndex, 4u);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[1].property, DevicePropertyHardwareID);
    EXPECT_EQ(reads[1].bufferLength, 256u);
    EXPECT_EQ(reads[2].bufferLength, needed);
    for (POOL_TYPE type : bufferPools) EXPECT_EQ(type, PagedPool);
    EXPECT_EQ(bufferPools.size(), 2u) << "both hardware-ID buffers came from the driver's tagged pool";
}

TEST_F(IdentifyTest, ALongEnumeratorNameIsReadAgainToo)
{
    RootBoard({"VELMORA_ISA_SERIAL_IB4AX"});
    enumeratorName = WideString(std::string(60, 'R'));
    TestBoard board;
    EXPECT_EQ(Identify(board), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[1].bufferLength, 80u);
    EXPECT_EQ(reads[2].bufferLength, 122u);
}

TEST_F(IdentifyTest, EveryFailedAllocationGivesInsufficientResourcesAndFreesEveryBuffer)
{
    // A root-enumerated board whose name and IDs both need a second read:
    // four buffers in the clean run, each given back.
    RootBoard({"VELMORA_ISA_SERIAL_IB4AX"});
    enumeratorName = WideString("ROOT" + std::string(40, '\0'));
    hardwareIds->resize(300, 0);
    TestBoard clean;
    hk::ResetFaults();
    ASSERT_EQ(Identify(clean), STATUS_SUCCESS);
    const unsigned allocations = hk::CallCount(hk::Service::Pool);
    ASSERT_EQ(allocations, 4u);

    for (unsigned failing = 1; failing <= allocations; ++failing) {
        SCOPED_TRACE("allocation " + std::to_string(failing));
        ModelCounters[11] = 1;
        TestBoard board;
        hk::ResetFaults();
        hk::FailNthCall(hk::Service::Pool, failing);
        EXPECT_EQ(Identify(board), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(DriverBlocks(), 0u);
        EXPECT_EQ(ModelCounters[11], 1u);
        EXPECT_EQ(board.Number(), "");
    }
    hk::ResetFaults();
}

TEST_F(IdentifyTest, AFailedHardwareIdReadReturnsItsStatus)
{
    PciBoard({"PCI\\VEN_7A3E&DEV_0010"});
    TestBoard board;
    hk::ResetFaults();
    hk::FailNthCall(hk::Service::Property, 2);  // the legacy bus type is the first
    EXPECT_EQ(Identify(board), STATUS_INVALID_DEVICE_REQUEST);
    hardwareIds.reset();
    EXPECT_EQ(Identify(board), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(board.Number(), "");
    hk::ResetFaults();
}

TEST_F(IdentifyTest, DataIsReadOnlyAsFarAsThePropertyReturnedIt)
{
    // The last ID ends without its NUL, and the property leaves the rest of
    // the buffer holding digits: "DEV_00" is code 0, not the 0x005 that
    // reading past the returned bytes would make of it.
    fillBeyondData = L'5';
    PciBoard({});
    hardwareIds = Unterminated("PCI\\VEN_7A3E&DEV_00");
    TestBoard shortField;
    EXPECT_EQ(Identify(shortField), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(shortField.extension.DeviceCode, 0u);

    // An unterminated PC Card ID whose code is cut short.
    PcmciaCard({});
    hardwareIds = Unterminated("PCMCIA\\VELMORA-X-05D3-00");
    TestBoard card;
    EXPECT_EQ(Identify(card), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(card.extension.DeviceCode, 0u);

    // A token that would only match with what lies past the data.
    RootBoard({});
    hardwareIds = Unterminated("VELMORA_ISA_SERIAL_IB");
    fillBeyondData.reset();
    TestBoard isa;
    EXPECT_EQ(Identify(isa), STATUS_UNSUCCESSFUL);

    // An enumerator name of "ROOT" followed by more than was returned.
    fillBeyondData = L'T';
    RootBoard({"VELMORA_ISA_SERIAL_IB4AX"});
    enumeratorName = Unterminated("ROOT");
    TestBoard root;
    ASSERT_EQ(Identify(root), STATUS_SUCCESS);
    EXPECT_EQ(root.extension.BusType, 1u);
}

TEST_F(IdentifyTest, AnUnterminatedIdThatFillsTheWholeBufferEndsTheWalk)
{
    // 128 characters, no NUL anywhere: exactly the first buffer's 256 bytes.
    const std::string id = "PCI\\VEN_7A3E&DEV_0050&" + std::string(128 - 22, 'X');
    PciBoard({});
    hardwareIds = Unterminated(id);
    TestBoard board;
    ASSERT_EQ(Identify(board), STATUS_SUCCESS);
    EXPECT_EQ(board.extension.ModelIndex, 4u);
    ASSERT_EQ(reads.size(), 2u) << "it fitted the first buffer";

    hardwareIds = Unterminated(std::string(128, 'X'));
    TestBoard none;
    EXPECT_EQ(Identify(none), STATUS_UNSUCCESSFUL);
}

TEST_F(IdentifyTest, AnEmptyOrOddSizedPropertyIsNoBoard)
{
    PciBoard({});
    hardwareIds = std::vector<uint8_t>{};
    TestBoard empty;
    EXPECT_EQ(Identify(empty), STATUS_UNSUCCESSFUL);

    // An odd trailing byte is half a character: not part of the text.
    hardwareIds = Unterminated("PCI\\VEN_7A3E&DEV_0");
    hardwareIds->push_back('5');
    TestBoard odd;
    EXPECT_EQ(Identify(odd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(odd.extension.DeviceCode, 0u);
}

TEST_F(IdentifyTest, APropertyThatKeepsAskingForLessIsNotReadForever)
{
    // A broken property source answering "too small" for a size it was given.
    PciBoard({"PCI\\VEN_7A3E&DEV_0010"});
    hk::PnpHooks hooks;
    hooks.getProperty = [this](PDEVICE_OBJECT, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                               PULONG resultLength) {
        reads.push_back({property, length});
        if (property == DevicePropertyLegacyBusType) {
            *static_cast<ULONG *>(buffer) = ULONG(PCIBus);
            return STATUS_SUCCESS;
        }
        *resultLength = length;
        return STATUS_BUFFER_TOO_SMALL;
    };
    hk::SetPnpHooks(hooks);
    TestBoard board;
    EXPECT_EQ(Identify(board), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reads.size(), 2u);
}

}  // namespace
}  // namespace identifytest
