// MP_GetRegistryDword on its own: any path length, any value type, and the
// level-3 lines it writes on the way.
#include "PciChild/mpsfilt.h"
#include "support/kernel_test.h"

namespace {

const char kKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VelmoraMultiportSerial\\Parameters";

class RegistryDwordTest : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        DebugLevel = 3;
    }

    // Reads |name| under |path| into a value that starts at 2.
    BOOLEAN Read(const std::string &path, const std::string &name = "DebugLevel")
    {
        const std::u16string widePath = hk::Wide(path), wideName = hk::Wide(name);
        value = 2;
        return MP_GetRegistryDword(reinterpret_cast<PCWSTR>(widePath.c_str()),
                                   reinterpret_cast<PCWSTR>(wideName.c_str()), &value);
    }
    std::string Trace() const { return hk::DebugOutput("host"); }

    ULONG value = 0;
};

TEST_F(RegistryDwordTest, ADwordIsReadAndEachStepTraced)
{
    hk::reg::SetDword(kKey, "DebugLevel", 17);
    EXPECT_TRUE(Read(kKey));
    EXPECT_EQ(value, 17u);
    EXPECT_EQ(Trace(), std::string("DUZOREDAZ: Enter MP_GetRegistryDword() RegPath = ") + kKey +
                           "\n   ValueName =DebugLevel\n"
                           "DUZOREDAZ: MP_GetRegistryDword() path= " + kKey + "\n"
                           "DUZOREDAZ: Exit MP_GetRegistryDword() SUCCESS, value = decimal 17 0x11\n");
}

TEST_F(RegistryDwordTest, AMissingValueGivesTheDefaultAndAMissingKeyFails)
{
    hk::reg::CreateKey(kKey);
    EXPECT_TRUE(Read(kKey));
    EXPECT_EQ(value, 2u);

    hk::ClearDiagnostics();
    EXPECT_FALSE(Read(std::string(kKey) + "\\Missing"));
    EXPECT_EQ(value, 2u);
    const std::string trace = Trace();
    EXPECT_EQ(trace.substr(trace.rfind("DUZOREDAZ: ")), "DUZOREDAZ: MP_GetRegistryDword() STATUS_OBJECT_NAME_NOT_FOUND\n");
}

// Only a REG_DWORD of exactly four bytes is a number. Any other type, and a
// REG_DWORD of another size, is not read: the value keeps its default and
// the reader reports failure (a short REG_DWORD must not become the number
// its few bytes spell, nor part of one).
TEST_F(RegistryDwordTest, OnlyAFourByteDwordIsRead)
{
    const uint8_t bytes[] = {7, 0, 0, 0, 9, 9, 9, 9};
    const char text[] = {'3', 0, 0, 0, '3', 0, 0, 0, '3', 0, 0, 0};
    const struct {
        ULONG type;
        const void *data;
        size_t size;
        BOOLEAN read;
    } values[] = {
        {REG_DWORD, bytes, 4, TRUE},      {REG_DWORD, bytes, 0, FALSE},     {REG_DWORD, bytes, 1, FALSE},
        {REG_DWORD, bytes, 2, FALSE},     {REG_DWORD, bytes, 3, FALSE},     {REG_DWORD, bytes, 5, FALSE},
        {REG_DWORD, bytes, 8, FALSE},     {REG_BINARY, bytes, 0, FALSE},    {REG_BINARY, bytes, 1, FALSE},
        {REG_BINARY, bytes, 2, FALSE},    {REG_BINARY, bytes, 3, FALSE},    {REG_BINARY, bytes, 4, FALSE},
        {REG_BINARY, bytes, 5, FALSE},    {REG_BINARY, bytes, 8, FALSE},    {REG_QWORD, bytes, 8, FALSE},
        {REG_DWORD_BIG_ENDIAN, bytes, 4, FALSE}, {REG_NONE, bytes, 0, FALSE}, {REG_SZ, text, 0, FALSE},
        {REG_SZ, text, 4, FALSE},         {REG_SZ, text, sizeof text, FALSE}, {REG_EXPAND_SZ, text, sizeof text, FALSE},
        {REG_MULTI_SZ, text, sizeof text, FALSE},
    };
    for (const auto &stored : values) {
        SCOPED_TRACE("type " + std::to_string(stored.type) + ", " + std::to_string(stored.size) + " bytes");
        hk::reg::SetValue(kKey, "DebugLevel", stored.type, stored.data, stored.size);
        EXPECT_EQ(Read(kKey), stored.read);
        EXPECT_EQ(value, stored.read ? 7u : 2u);
        EXPECT_EQ(hk::LivePoolCount(), 0u);
    }
}

// The path is copied into 256 characters: a longer one is not read at all,
// not even shortened to a key that happens to exist.
TEST_F(RegistryDwordTest, APathLongerThanTheCopyIsNotRead)
{
    std::string longest = kKey;
    longest += "\\" + std::string(255 - longest.size() - 1, 'K');
    ASSERT_EQ(longest.size(), 255u);
    hk::reg::SetDword(longest, "DebugLevel", 5);
    EXPECT_TRUE(Read(longest));
    EXPECT_EQ(value, 5u);

    for (size_t extra : {1u, 2u, 300u}) {
        SCOPED_TRACE(std::to_string(255 + extra) + " characters");
        hk::reg::SetDword(longest + std::string(extra, 'L'), "DebugLevel", 7);
        EXPECT_FALSE(Read(longest + std::string(extra, 'L')));
        EXPECT_EQ(value, 2u);
    }
}

}  // namespace
