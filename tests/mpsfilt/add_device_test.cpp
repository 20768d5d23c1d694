// AddDevice: the filter device on top of the port's stack, looking like the
// device below it, with the port read from the location text; and every way
// that fails taking the device away again.
#include "filter_test.h"

namespace filtertest {
namespace {

class AddDeviceTest : public FilterTest {
protected:
    // The level-2 lines of one AddDevice, after DriverEntry's.
    std::string AddDeviceTrace() const
    {
        const std::string trace = Trace();
        const size_t at = trace.find("DUZOREDAZ: enter Dispatch_AddDevice()\n");
        return at == std::string::npos ? std::string() : trace.substr(at);
    }

    // Nothing of the filter is left on the stack or in the driver.
    void ExpectNoFilterDevice()
    {
        EXPECT_EQ(driver->DeviceObject, nullptr);
        EXPECT_EQ(serial->AttachedDevice, nullptr);
    }
};

TEST_F(AddDeviceTest, TheLocationTextGivesThePortAndItsOffset)
{
    location = u"PB4-A board 2 port 4";
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->PortOffset, 3u);
    EXPECT_EQ(Extension()->DeviceObject, filter);
    EXPECT_EQ(Extension()->LowerDeviceObject, serial);
    EXPECT_EQ(Extension()->Pdo, pdo);
    EXPECT_EQ(AddDeviceTrace(), "DUZOREDAZ: enter Dispatch_AddDevice()\n"
                                "DUZOREDAZ: enter GetPortOffset\n"
                                "DUZOREDAZ: This is port 4\n"
                                "DUZOREDAZ: exit GetPortOffset (0)\n"
                                "DUZOREDAZ: exit Dispatch_AddDevice() (0)\n");
    EXPECT_EQ(locationReads, std::vector<ULONG>{256});
}

TEST_F(AddDeviceTest, PortsOneToEightReadTheSameInHexadecimal)
{
    for (char16_t port = u'1'; port <= u'8'; ++port) {
        location = u"PB8-A board 1 port ";
        location += port;
        ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
        EXPECT_EQ(Extension()->PortOffset, ULONG(port - u'1'));
        Remove();
    }
    // Three characters at most are read, as hexadecimal.
    location = u"PB8-A board 1 port 1A5";
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->PortOffset, 0x1A4u);
    Remove();
    location = u"PB8-A board 1 port 1234";
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->PortOffset, 0x122u);
}

TEST_F(AddDeviceTest, OnlyTheFirstPortCounts)
{
    location = u"PB8-A board 1 port 2 port 5";
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->PortOffset, 1u);
    Remove();
    // "port" inside a word is still the first: what follows it is no number.
    location = u"supporting board 1 port 5";
    EXPECT_EQ(AddFilter(), STATUS_UNSUCCESSFUL);
}

TEST_F(AddDeviceTest, ALongTextIsReadOnTheSecondTryAndTheCountEndsWhereItBegan)
{
    SetDebugLevel(3);
    location = std::u16string(200, u'X') + u" board 1 port 6";
    const ULONG bytes = ULONG((location.size() + 1) * 2);
    ASSERT_EQ(LoadFilter(), STATUS_SUCCESS);
    const long before = LastAllocCount(Trace());
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->PortOffset, 5u);
    EXPECT_EQ(locationReads, (std::vector<ULONG>{256, bytes}));
    EXPECT_EQ(LastAllocCount(Trace()), before);
    // The first buffer went back before the second was taken.
    const std::string trace = AddDeviceTrace();
    const size_t first = trace.find(" 256 bytes) gExAllocCount = 2\n");
    const size_t freed = trace.find(") gExAllocCount = 1\n", first);
    const size_t second = trace.find(" " + std::to_string(bytes) + " bytes) gExAllocCount = 2\n", freed);
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(freed, std::string::npos);
    EXPECT_NE(second, std::string::npos);
}

// A kernel that keeps asking for the size it was given would keep the loop
// going for ever; the read fails instead.
TEST_F(AddDeviceTest, APropertyThatNeverFitsFailsTheDevice)
{
    locationSizeLies = true;
    EXPECT_EQ(AddFilter(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(locationReads, std::vector<ULONG>{256});
    ExpectNoFilterDevice();
}

struct BadText {
    const char *why;
    std::u16string text;
};

// Texts that name no port: the number is never looked for beyond the text,
// and no digit or port 0 is no port.
TEST_F(AddDeviceTest, ATextWithoutAPortNumberFailsAndTheDeviceGoes)
{
    const BadText texts[] = {
        {"no port at all", u"PB8-A board 1"},
        {"upper case", u"PB8-A board 1 Port 3"},
        {"ends at the word", u"PB8-A board 1 port"},
        {"ends after the word", u"PB8-A board 1 port "},
        {"ends after the word, no space", u"PB8-A board 1 portX"},
        {"no digit", u"PB8-A board 1 port x"},
        {"a sign is no digit", u"PB8-A board 1 port -1"},
        {"a space is no digit", u"PB8-A board 1 port  3"},
        {"port 0", u"PB8-A board 1 port 0"},
        {"port 000", u"PB8-A board 1 port 000"},
        {"empty", u""},
        // What lies in the buffer behind the text's end is not the text.
        {"digits behind the terminator", std::u16string(u"PB8-A board 1 port\0 3", 21)},
    };
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);  // the serial stand-in's device, a first filter device
    Remove();
    for (const BadText &bad : texts) {
        SCOPED_TRACE(bad.why);
        hk::ClearDiagnostics();
        location = bad.text;
        EXPECT_EQ(AddFilter(), STATUS_UNSUCCESSFUL);
        ExpectNoFilterDevice();
        const std::string trace = AddDeviceTrace();
        EXPECT_NE(trace.find("DUZOREDAZ: exit GetPortOffset (c0000001)\n"
                             "DUZOREDAZ: exit Dispatch_AddDevice() (c0000001)\n"),
                  std::string::npos)
            << trace;
        Remove();
    }
}

TEST_F(AddDeviceTest, TheDeviceLooksLikeTheOneBelowIt)
{
    struct Lower {
        ULONG flags;
        DEVICE_TYPE type;
        ULONG characteristics;
    };
    const Lower lowers[] = {
        {DO_BUFFERED_IO, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN},
        {DO_DIRECT_IO, 0x8000, FILE_AUTOGENERATED_DEVICE_NAME | FILE_REMOVABLE_MEDIA},
        {0, FILE_DEVICE_UNKNOWN, 0},
    };
    for (const Lower &lower : lowers) {
        SCOPED_TRACE("lower flags " + std::to_string(lower.flags));
        pdo->Flags = (pdo->Flags & ~(DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE)) | lower.flags;
        pdo->DeviceType = lower.type;
        pdo->Characteristics = lower.characteristics;
        ASSERT_EQ(AddFilter(/*withSerial=*/false), STATUS_SUCCESS);
        EXPECT_EQ(filter->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO), lower.flags);
        EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE) << "whatever the device below has";
        EXPECT_FALSE(filter->Flags & DO_DEVICE_INITIALIZING);
        EXPECT_EQ(filter->DeviceType, lower.type);
        EXPECT_EQ(filter->Characteristics, lower.characteristics) << "replaced, not merged";
        Remove();
    }
}

TEST_F(AddDeviceTest, AFailedAttachDeletesTheDeviceWithoutDetaching)
{
    ASSERT_EQ(LoadFilter(), STATUS_SUCCESS);
    FailNext(hk::Service::Attach);
    EXPECT_EQ(AddFilter(/*withSerial=*/false), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(AddDeviceTrace(), "DUZOREDAZ: enter Dispatch_AddDevice()\n"
                                "DUZOREDAZ: IoAttachDeviceToDeviceStack failed!\n"
                                "DUZOREDAZ: exit Dispatch_AddDevice() (c00002b6)\n");
    EXPECT_TRUE(locationReads.empty());
}

TEST_F(AddDeviceTest, AFailedCreationIsReturnedWithoutAnExitLine)
{
    ASSERT_EQ(LoadFilter(), STATUS_SUCCESS);
    FailNext(hk::Service::CreateDevice);
    EXPECT_EQ(AddFilter(/*withSerial=*/false), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(AddDeviceTrace(), "DUZOREDAZ: enter Dispatch_AddDevice()\n");
}

TEST_F(AddDeviceTest, AFailedReadOfTheTextFailsTheDeviceWithItsStatus)
{
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    Remove();

    hk::ClearDiagnostics();
    locationStatus = STATUS_OBJECT_NAME_NOT_FOUND;
    EXPECT_EQ(AddFilter(), STATUS_OBJECT_NAME_NOT_FOUND);
    ExpectNoFilterDevice();
    EXPECT_EQ(AddDeviceTrace(), "DUZOREDAZ: enter Dispatch_AddDevice()\n"
                                "DUZOREDAZ: enter GetPortOffset\n"
                                "DUZOREDAZ: exit GetPortOffset (c0000034)\n"
                                "DUZOREDAZ: exit Dispatch_AddDevice() (c0000034)\n");
    Remove();

    // The text's buffer: the first, or the second of a long text.
    locationStatus = STATUS_SUCCESS;
    for (unsigned failing : {1u, 2u}) {
        SCOPED_TRACE("allocation " + std::to_string(failing));
        location = std::u16string(200, u'X') + u" port 2";
        hk::ResetFaults();
        hk::FailNthCall(hk::Service::Pool, failing);
        EXPECT_EQ(AddFilter(), STATUS_INSUFFICIENT_RESOURCES);
        ExpectNoFilterDevice();
        Remove();
    }
}

}  // namespace
}  // namespace filtertest
