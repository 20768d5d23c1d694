// The Zw services as drivers see them: the exact byte layout of the value
// information classes, the two "too small" answers, handles and faults.
#include "support/kernel_test.h"
#include "registry/registry_util.h"

#include <cstring>

namespace {

class ZwRegistry : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        hk::test::KernelTest::SetUp();
        hk::reg::SetString(kServiceKey, "PortName", "COM3");
        hk::reg::SetDword(kServiceKey, "DebugLevel", 0x12345678);
        key = OpenKey(kServiceKey);
        ASSERT_NE(key, nullptr);
    }
    void TearDown() override
    {
        if (key != nullptr) EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        hk::test::KernelTest::TearDown();
    }
    NTSTATUS Query(const char *name, KEY_VALUE_INFORMATION_CLASS cls, ULONG length, ULONG *result)
    {
        KernelString valueName(name);
        memset(buffer, 0xCC, sizeof(buffer));
        return ZwQueryValueKey(key, &valueName.us, cls, buffer, length, result);
    }
    ULONG At(size_t offset) const
    {
        ULONG v;
        memcpy(&v, buffer + offset, 4);
        return v;
    }
    HANDLE key = nullptr;
    UCHAR buffer[128];
};

TEST_F(ZwRegistry, FullInformationLaysOutNameThenAlignedData)
{
    ULONG result = 0;
    ASSERT_EQ(Query("PortName", KeyValueFullInformation, sizeof(buffer), &result), STATUS_SUCCESS);
    // 20 fixed bytes, 16 of name "PortName", data at the next ULONG boundary.
    EXPECT_EQ(At(0), 0u);            // TitleIndex
    EXPECT_EQ(At(4), ULONG(REG_SZ));  // Type
    EXPECT_EQ(At(8), 36u);           // DataOffset
    EXPECT_EQ(At(12), 10u);          // DataLength: "COM3" and its NUL
    EXPECT_EQ(At(16), 16u);          // NameLength, no terminator
    EXPECT_EQ(hk::Narrow(reinterpret_cast<const wchar_t *>(buffer + 20), 8), "PortName");
    EXPECT_EQ(hk::Narrow(reinterpret_cast<const wchar_t *>(buffer + 36)), "COM3");
    EXPECT_EQ(result, 46u);
}

TEST_F(ZwRegistry, PartialInformationPutsDataAfterTwelveBytes)
{
    ULONG result = 0;
    ASSERT_EQ(Query("debuglevel", KeyValuePartialInformation, sizeof(buffer), &result), STATUS_SUCCESS);
    EXPECT_EQ(At(4), ULONG(REG_DWORD));
    EXPECT_EQ(At(8), 4u);
    EXPECT_EQ(At(12), 0x12345678u);
    EXPECT_EQ(result, 16u);
}

TEST_F(ZwRegistry, BufferThatHoldsTheFixedPartGetsItWithOverflow)
{
    ULONG result = 0;
    ASSERT_EQ(Query("PortName", KeyValueFullInformation, 24, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(At(4), ULONG(REG_SZ));
    EXPECT_EQ(At(12), 10u);
    EXPECT_EQ(At(16), 16u);
    EXPECT_EQ(buffer[24], 0xCC) << "nothing may be written past the caller's length";

    ASSERT_EQ(Query("DebugLevel", KeyValuePartialInformation, 12, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(At(8), 4u);
    EXPECT_EQ(At(12), 0xCCCCCCCCu);
}

// STATUS_BUFFER_OVERFLOW writes what fits: the name's and the data's first
// bytes, never past the caller's length.
TEST_F(ZwRegistry, OverflowCopiesThePartOfNameAndDataThatFits)
{
    ULONG result = 0;
    ASSERT_EQ(Query("PortName", KeyValueFullInformation, 40, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(hk::Narrow(reinterpret_cast<const wchar_t *>(buffer + 20), 8), "PortName");
    EXPECT_EQ(hk::Narrow(reinterpret_cast<const wchar_t *>(buffer + 36), 2), "CO");
    EXPECT_EQ(buffer[40], 0xCC);

    ASSERT_EQ(Query("DebugLevel", KeyValuePartialInformation, 14, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[12], 0x78);
    EXPECT_EQ(buffer[13], 0x56);
    EXPECT_EQ(buffer[14], 0xCC);
}

TEST_F(ZwRegistry, BufferBelowTheFixedPartGetsNothing)
{
    ULONG result = 0;
    EXPECT_EQ(Query("PortName", KeyValueFullInformation, 19, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(Query("DebugLevel", KeyValuePartialInformation, 11, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 16u);
    for (UCHAR b : buffer) ASSERT_EQ(b, 0xCC);
}

TEST_F(ZwRegistry, MissingValueAndInjectedReadFailure)
{
    ULONG result = 0;
    EXPECT_EQ(Query("Absent", KeyValueFullInformation, sizeof(buffer), &result), STATUS_OBJECT_NAME_NOT_FOUND);
    FailNext(hk::Service::RegistryRead);
    EXPECT_EQ(Query("PortName", KeyValueFullInformation, sizeof(buffer), &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query("PortName", KeyValueFullInformation, sizeof(buffer), &result), STATUS_SUCCESS);
}

TEST_F(ZwRegistry, SetValueReplacesInPlaceAndAppendsNewNames)
{
    KernelString first("DebugLevel"), second("Extra");
    ULONG one = 1, two = 2;
    ASSERT_EQ(ZwSetValueKey(key, &second.us, 0, REG_DWORD, &two, 4), STATUS_SUCCESS);
    ASSERT_EQ(ZwSetValueKey(key, &first.us, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    auto values = hk::reg::Values(kServiceKey);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].first, "PortName");
    EXPECT_EQ(values[1].first, "DebugLevel");
    EXPECT_EQ(values[1].second.data, std::vector<uint8_t>({1, 0, 0, 0}));
    EXPECT_EQ(values[2].first, "Extra");

    FailNext(hk::Service::RegistryWrite);
    ULONG three = 3;
    EXPECT_EQ(ZwSetValueKey(key, &second.us, 0, REG_DWORD, &three, 4), STATUS_ACCESS_DENIED);
    hk::reg::Value v;
    ASSERT_TRUE(hk::reg::GetValue(kServiceKey, "extra", &v));
    EXPECT_EQ(v.data[0], 2);
}

TEST_F(ZwRegistry, OpenRelativeToRootAndMissingKeys)
{
    hk::reg::CreateKey(std::string(kServiceKey) + "\\Parameters");
    NTSTATUS status;
    HANDLE sub = OpenKey("PARAMETERS", &status, key);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(sub), STATUS_SUCCESS);
    OpenKey("Nowhere", &status, key);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    OpenKey("\\Registry\\Machine\\Nowhere", &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    FailNext(hk::Service::RegistryOpen);
    OpenKey(kServiceKey, &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(hk::reg::OpenHandleCount(), 1u);
}

TEST_F(ZwRegistry, ClosedOrForgedHandlesAreRefusedAndReported)
{
    HANDLE second = OpenKey(kServiceKey);
    ASSERT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(second), STATUS_INVALID_HANDLE);
    ULONG result;
    KernelString name("PortName");
    EXPECT_EQ(ZwQueryValueKey(second, &name.us, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwSetValueKey(reinterpret_cast<HANDLE>(0x1234), &name.us, 0, REG_DWORD, &result, 4),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ExpectViolation("REGISTRY_BAD_HANDLE"), 3u);
}

TEST_F(ZwRegistry, HandlesLeftOpenAreReportedWithTheirOpener)
{
    OpenKey(kServiceKey);
    EXPECT_EQ(hk::reg::ReportOpenHandles("by the test"), 2u);
    auto violations = hk::Violations();
    ASSERT_EQ(ExpectViolation("REGISTRY_HANDLE_LEAK"), 2u);
    EXPECT_EQ(violations[0].image, "host");
    hk::reg::Reset();  // drops both handles: nothing left for the fixture to close
    key = nullptr;
}

TEST(RegistryHost, DeletedTreeIsGoneButCaseInsensitiveLookupsHold)
{
    hk::reg::Reset();
    hk::reg::SetDword("\\Registry\\Machine\\A\\B", "X", 7);
    EXPECT_TRUE(hk::reg::KeyExists("\\registry\\MACHINE\\a\\b"));
    hk::reg::Value v;
    ASSERT_TRUE(hk::reg::GetValue("\\Registry\\Machine\\A\\B", "x", &v));
    EXPECT_EQ(v.type, ULONG(REG_DWORD));
    hk::reg::DeleteTree("\\Registry\\Machine\\A");
    EXPECT_FALSE(hk::reg::KeyExists("\\Registry\\Machine\\A\\B"));
    EXPECT_TRUE(hk::reg::KeyExists("\\Registry\\Machine"));
}

}  // namespace
