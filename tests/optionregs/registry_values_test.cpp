// The two registry helpers on a device key: what a read leaves in its
// buffer for each size of value, and the name and type a write stores.
#include "PciParent/registry_values.h"
#include "option_board.h"

namespace optiontest {
namespace {

const WCHAR kVopr[] = L"VOPR";

class RegistryValues : public OptionBoardTest {
protected:
    void SetUp() override
    {
        OptionBoardTest::SetUp();
        ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, &key_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
        OptionBoardTest::TearDown();
    }
    NTSTATUS Read(ULONG *word)
    {
        *word = 0xA5A5A5A5;
        return QueryRegistryValue(key_, kVopr, sizeof(kVopr), word, sizeof(*word));
    }
    HANDLE key_ = nullptr;
};

TEST_F(RegistryValues, ReadLeavesOnlyTheValuesOwnBytes)
{
    struct Case {
        const char *what;
        ULONG type;
        std::vector<uint8_t> bytes;
        NTSTATUS status;
        ULONG word;
    };
    const Case cases[] = {
        {"dword", REG_DWORD, {0x03, 0x01, 0x00, 0x00}, STATUS_SUCCESS, 0x103},
        {"binary of four bytes", REG_BINARY, {0x78, 0x56, 0x34, 0x12}, STATUS_SUCCESS, 0x12345678},
        {"two bytes, zero-extended", REG_BINARY, {0x02, 0x01}, STATUS_SUCCESS, 0x102},
        {"no data", REG_BINARY, {}, STATUS_SUCCESS, 0},
        {"one byte more than the buffer", REG_BINARY, {1, 2, 3, 4, 5}, STATUS_BUFFER_OVERFLOW, 0},
        {"more than the work area", REG_BINARY, std::vector<uint8_t>(40, 0x11), STATUS_BUFFER_OVERFLOW, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StoreRaw("VOPR", c.type, c.bytes);
        ULONG word;
        EXPECT_EQ(Read(&word), c.status);
        EXPECT_EQ(word, c.word);
    }
}

TEST_F(RegistryValues, FailedReadsLeaveZero)
{
    ULONG word;
    EXPECT_EQ(Read(&word), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(word, 0u);

    Store("VOPR", 7);
    FailNext(hk::Service::Pool);
    EXPECT_EQ(Read(&word), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(word, 0u);
    FailNext(hk::Service::RegistryRead);
    EXPECT_EQ(Read(&word), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(word, 0u);
}

TEST_F(RegistryValues, WriteStoresTheNameWithoutItsTerminator)
{
    ULONG word = 0x8F;
    EXPECT_EQ(SetRegistryValue(key_, kVopr, sizeof(kVopr), REG_DWORD, &word, sizeof(word)), STATUS_SUCCESS);
    auto values = hk::reg::Values(KeyPath());
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].first, "VOPR");
    EXPECT_EQ(values[0].second.type, ULONG(REG_DWORD));
    EXPECT_EQ(values[0].second.data, (std::vector<uint8_t>{0x8F, 0, 0, 0}));
}

TEST_F(RegistryValues, FailedWritesReportTheirStatus)
{
    ULONG word = 1;
    FailNext(hk::Service::Pool);
    EXPECT_EQ(SetRegistryValue(key_, kVopr, sizeof(kVopr), REG_DWORD, &word, sizeof(word)),
              STATUS_INSUFFICIENT_RESOURCES);
    FailNext(hk::Service::RegistryWrite);
    EXPECT_EQ(SetRegistryValue(key_, kVopr, sizeof(kVopr), REG_DWORD, &word, sizeof(word)),
              STATUS_ACCESS_DENIED);
    EXPECT_FALSE(Exists("VOPR"));
}

}  // namespace
}  // namespace optiontest
