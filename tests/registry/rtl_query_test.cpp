// RtlQueryRegistryValues and RtlWriteRegistryValue with the rules drivers
// rely on: direct entries per value type, defaults, the type check, the
// unsafe string-into-ULONG query, and the handle form.
#include "support/kernel_test.h"
#include "registry/registry_util.h"

#include <cstring>

namespace {

constexpr ULONG kTypeCheck = 0x100;
constexpr ULONG kTypeCheckShift = 24;

class RtlQuery : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        hk::test::KernelTest::SetUp();
        hk::reg::SetDword(kServiceKey, "DebugLevel", 3);
        hk::reg::SetString(kServiceKey, "PortName", "COM12");
        const uint8_t blob[6] = {1, 2, 3, 4, 5, 6};
        hk::reg::SetValue(kServiceKey, "Blob", REG_BINARY, blob, sizeof(blob));
    }
    // One direct entry plus the terminator, as drivers build them.
    NTSTATUS QueryDirect(ULONG relativeTo, PCWSTR path, const char *name, void *target, ULONG flags,
                         ULONG defaultType = REG_NONE, void *defaultData = nullptr, ULONG defaultLength = 0)
    {
        KernelString valueName(name);
        RTL_QUERY_REGISTRY_TABLE table[2];
        memset(table, 0, sizeof(table));
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
        table[0].Name = valueName.us.Buffer;
        table[0].EntryContext = target;
        table[0].DefaultType = defaultType;
        table[0].DefaultData = defaultData;
        table[0].DefaultLength = defaultLength;
        return RtlQueryRegistryValues(relativeTo, path, table, nullptr, nullptr);
    }
    KernelString path{kServiceKey};
};

TEST_F(RtlQuery, DwordGoesStraightIntoAUlong)
{
    ULONG value[2] = {99, 0xAAAAAAAA};
    ULONG fallback = 7;
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path.c_str(), "debuglevel", &value[0], 0,
                          REG_DWORD, &fallback, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(value[0], 3u);
    EXPECT_EQ(value[1], 0xAAAAAAAAu) << "a DWORD stores exactly four bytes";
}

TEST_F(RtlQuery, DefaultFillsAMissingValueUnlessTheValueIsRequired)
{
    ULONG value = 99, fallback = 2;
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "Missing", &value, 0, REG_DWORD, &fallback, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);

    value = 99;
    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "Missing", &value, RTL_QUERY_REGISTRY_REQUIRED,
                          REG_DWORD, &fallback, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 99u);

    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "Missing", &value, 0), STATUS_SUCCESS);
    EXPECT_EQ(value, 99u) << "no default type: the target is left alone";
}

TEST_F(RtlQuery, MissingKeyFailsWithOrWithoutOptionalAndStoresNoDefault)
{
    KernelString missing("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\absent");
    for (ULONG relativeTo : {ULONG(RTL_REGISTRY_ABSOLUTE), ULONG(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL)}) {
        ULONG value = 99, fallback = 2;
        EXPECT_EQ(QueryDirect(relativeTo, missing.c_str(), "DebugLevel", &value, 0, REG_DWORD, &fallback, 4),
                  STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(value, 99u);
    }
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, missing.us.Buffer), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, KernelString("MPSFILT").us.Buffer), STATUS_SUCCESS);
}

TEST_F(RtlQuery, StringIntoAFourByteTargetIsReportedAndContained)
{
    struct {
        ULONG value;
        ULONG neighbour;
    } target = {99, 0x5A5A5A5A};
    ULONG fallback = 2;
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "PortName", &target.value, 0, REG_DWORD, &fallback, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(ExpectViolation("REGISTRY_DIRECT_QUERY_UNSAFE"), 1u);
    EXPECT_EQ(target.value, 99u);
    EXPECT_EQ(target.neighbour, 0x5A5A5A5Au);

    // A 4-byte default length alone also declares the target a ULONG.
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "PortName", &target.value, 0, REG_NONE, nullptr, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(ExpectViolation("REGISTRY_DIRECT_QUERY_UNSAFE"), 1u);
}

TEST_F(RtlQuery, TypeCheckRefusesAMismatchAndPassesAMatch)
{
    ULONG value = 99;
    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "PortName", &value, kTypeCheck,
                          (REG_DWORD << kTypeCheckShift) | REG_NONE),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, 99u);
    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "DebugLevel", &value, kTypeCheck,
                          (REG_DWORD << kTypeCheckShift) | REG_NONE),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
}

TEST_F(RtlQuery, StringIntoUnicodeStringAllocatesOrChecksTheRoom)
{
    UNICODE_STRING s = {0, 0, nullptr};
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "PortName", &s, 0), STATUS_SUCCESS);
    ASSERT_NE(s.Buffer, nullptr);
    EXPECT_EQ(s.Length, 10);
    EXPECT_EQ(s.MaximumLength, 12);
    EXPECT_EQ(hk::Narrow(s.Buffer, s.Length / 2), "COM12");
    EXPECT_EQ(hk::LivePoolCount("host"), 1u) << "the buffer is the caller's pool";
    ExFreePool(s.Buffer);

    UNICODE_STRING starved = {0, 0, nullptr};
    FailNext(hk::Service::Pool);
    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "PortName", &starved, 0), STATUS_NO_MEMORY);
    EXPECT_EQ(starved.Buffer, nullptr);

    WCHAR room[4];
    UNICODE_STRING small = {0, sizeof(room), room};
    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "PortName", &small, 0), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.Length, 0);
}

TEST_F(RtlQuery, LargeBinaryUsesTheSignedSizeHeader)
{
    LONG dataOnly[2] = {-6, 0};
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "Blob", dataOnly, 0), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(dataOnly, "\1\2\3\4\5\6", 6), 0);

    LONG withHeader[4] = {16, 0, 0, 0};
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "Blob", withHeader, 0), STATUS_SUCCESS);
    EXPECT_EQ(withHeader[0], 6);
    EXPECT_EQ(withHeader[1], REG_BINARY);
    EXPECT_EQ(memcmp(&withHeader[2], "\1\2\3\4\5\6", 6), 0);

    LONG tooSmall[4] = {-5, 0, 0, 0};
    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "Blob", tooSmall, 0), STATUS_BUFFER_TOO_SMALL);
    LONG headerTooSmall[4] = {13, 0, 0, 0};
    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "Blob", headerTooSmall, 0), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(headerTooSmall[1], 0);
}

struct Seen {
    std::vector<std::string> names, data;
    std::vector<ULONG> types;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entryContext)
{
    Seen *seen = static_cast<Seen *>(context);
    EXPECT_EQ(entryContext, seen);
    seen->names.push_back(hk::Narrow(name));
    seen->types.push_back(type);
    seen->data.push_back(type == REG_SZ ? hk::Narrow(static_cast<wchar_t *>(data), length / 2 - 1)
                                        : std::to_string(length));
    return seen->answer;
}

TEST_F(RtlQuery, QueryRoutineSeesEachValueAndMultiStringsOneByOne)
{
    const char16_t multi[] = u"PCI\\VEN_1\0MPS\\PORT\0";
    hk::reg::SetValue(kServiceKey, "Ids", REG_MULTI_SZ, multi, sizeof(multi));
    Seen seen;
    KernelString ids("Ids");
    RTL_QUERY_REGISTRY_TABLE table[3];
    memset(table, 0, sizeof(table));
    table[0].QueryRoutine = Record;
    table[0].Name = ids.us.Buffer;
    table[0].EntryContext = &seen;
    table[1].QueryRoutine = Record;  // no name: every value of the key
    table[1].EntryContext = &seen;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, &seen, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(seen.data, std::vector<std::string>({"PCI\\VEN_1", "MPS\\PORT", "4", "COM12", "6", "PCI\\VEN_1",
                                                    "MPS\\PORT"}));
    EXPECT_EQ(seen.names, std::vector<std::string>({"Ids", "Ids", "DebugLevel", "PortName", "Blob", "Ids", "Ids"}));

    seen = Seen();
    seen.answer = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, &seen, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(seen.names.size(), 1u) << "the first failing routine ends the query";
}

// Without RTL_QUERY_REGISTRY_NOEXPAND a direct multi-string is expanded as
// for a query routine: one string per UNICODE_STRING, successive entries; an
// empty string inside the value is one of them. With it, the whole value.
TEST_F(RtlQuery, DirectMultiStringFillsOneStringPerEntryUnlessNoexpand)
{
    const char16_t multi[] = u"PCI\\VEN_1\0\0MPS\0";  // three strings, the middle one empty
    hk::reg::SetValue(kServiceKey, "Ids", REG_MULTI_SZ, multi, sizeof(multi) - sizeof(char16_t));
    UNICODE_STRING each[4] = {};
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.us.Buffer, "Ids", each, 0), STATUS_SUCCESS);
    EXPECT_EQ(hk::Narrow(each[0].Buffer, each[0].Length / 2), "PCI\\VEN_1");
    EXPECT_EQ(each[1].Length, 0u);
    ASSERT_NE(each[1].Buffer, nullptr);
    EXPECT_EQ(hk::Narrow(each[2].Buffer, each[2].Length / 2), "MPS");
    EXPECT_EQ(each[3].Buffer, nullptr) << "no entry past the last string is touched";
    for (int i = 0; i < 3; ++i) ExFreePool(each[i].Buffer);

    UNICODE_STRING whole = {};
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.us.Buffer, "Ids", &whole, RTL_QUERY_REGISTRY_NOEXPAND),
              STATUS_SUCCESS);
    EXPECT_EQ(whole.Length, sizeof(multi) - 2 * sizeof(char16_t)) << "the value less its last NUL";
    EXPECT_EQ(hk::NarrowMulti(whole.Buffer), std::vector<std::string>({"PCI\\VEN_1"}));
    ExFreePool(whole.Buffer);
}

TEST_F(RtlQuery, HandleFormReadsAndWritesThroughTheOpenKey)
{
    HANDLE key = OpenKey(kServiceKey);
    ULONG value = 0x0000ABCD;
    KernelString name("PortIndex");
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), name.c_str(), REG_DWORD, &value,
                                    4),
              STATUS_SUCCESS);
    ULONG readBack = 0;
    ASSERT_EQ(QueryDirect(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), "PortIndex", &readBack, 0), STATUS_SUCCESS);
    EXPECT_EQ(readBack, 0xABCDu);
    hk::reg::Value stored;
    ASSERT_TRUE(hk::reg::GetValue(kServiceKey, "PortIndex", &stored));
    EXPECT_EQ(stored.type, ULONG(REG_DWORD));

    FailNext(hk::Service::RegistryWrite);
    value = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), name.c_str(), REG_DWORD, &value,
                                    4),
              STATUS_ACCESS_DENIED);
    ASSERT_TRUE(hk::reg::GetValue(kServiceKey, "PortIndex", &stored));
    EXPECT_EQ(stored.data[0], 0xCD);

    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), name.c_str(), REG_DWORD, &value,
                                    4),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ExpectViolation("REGISTRY_BAD_HANDLE"), 1u);
}

TEST_F(RtlQuery, AbsoluteWriteCreatesTheLastKeyUnlessOptional)
{
    ULONG value = 5;
    KernelString name("Value");
    KernelString leaf("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mpsfilt\\New");
    KernelString deep("\\Registry\\Machine\\Nowhere\\Deeper");
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, leaf.c_str(), name.c_str(),
                                    REG_DWORD, &value, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, deep.c_str(), name.c_str(), REG_DWORD, &value, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, leaf.c_str(), name.c_str(), REG_DWORD, &value, 4),
              STATUS_SUCCESS);
    hk::reg::Value stored;
    EXPECT_TRUE(hk::reg::GetValue(std::string(kServiceKey) + "\\New", "Value", &stored));
}

TEST_F(RtlQuery, InjectedOpenAndReadFailuresStopTheQuery)
{
    ULONG value = 99;
    FailNext(hk::Service::RegistryOpen);
    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "DebugLevel", &value, 0),
              STATUS_OBJECT_NAME_NOT_FOUND);
    FailNext(hk::Service::RegistryRead);
    EXPECT_EQ(QueryDirect(RTL_REGISTRY_ABSOLUTE, path.c_str(), "DebugLevel", &value, 0),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 99u);
}

}  // namespace
