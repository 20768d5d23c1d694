// Binding a board: the library refuses a record it cannot honour and leaves
// an area that clean-up accepts.
#include "stack_test.h"

namespace stacktest {
namespace {

class InitRecord : public BoardStackTest {
protected:
    void SetUp() override
    {
        BoardStackTest::SetUp();
        area_.resize(GetSizeofGenericExtension());
    }

    GenericInitRecord Record() { return ClientRecord(board_, pdo_, pdo_); }

    std::vector<unsigned char> area_;
};

TEST_F(InitRecord, RecordsTheLibraryCannotHonourAreRefused)
{
    struct Breakage {
        const char *what;
        std::function<void(GenericInitRecord &)> breakIt;
    };
    const Breakage breakages[] = {
        {"size", [](GenericInitRecord &r) { r.Size = 152; }},
        {"no board", [](GenericInitRecord &r) { r.DeviceObject = nullptr; }},
        {"no lower device", [](GenericInitRecord &r) { r.LowerDeviceObject = nullptr; }},
        {"no remove lock", [](GenericInitRecord &r) { r.RemoveLock = nullptr; }},
        {"no start", [](GenericInitRecord &r) { r.StartDevice = nullptr; }},
        {"no stop", [](GenericInitRecord &r) { r.StopDevice = nullptr; }},
        {"no remove", [](GenericInitRecord &r) { r.RemoveDevice = nullptr; }},
        {"unknown option", [](GenericInitRecord &r) { r.Options |= 0x1; }},
        {"a name", [](GenericInitRecord &r) {
             static WCHAR name[] = {'B', 0};
             r.NameString.Buffer = name;
             r.NameString.Length = sizeof(WCHAR);
             r.NameString.MaximumLength = sizeof(name);
         }},
    };
    for (const Breakage &breakage : breakages) {
        GenericInitRecord record = Record();
        breakage.breakIt(record);
        EXPECT_EQ(InitializeGenericExtension(area_.data(), &record), STATUS_INVALID_PARAMETER) << breakage.what;
        CleanupGenericExtension(area_.data());
    }
    EXPECT_EQ(InitializeGenericExtension(area_.data(), nullptr), STATUS_INVALID_PARAMETER);
    CleanupGenericExtension(nullptr);
    EXPECT_EQ(hk::LivePoolCount(), 0u);
}

}  // namespace
}  // namespace stacktest
