// Location texts of every shape through AddDevice: the port it names (read
// as up to three hexadecimal characters behind "port" and one more
// character), or STATUS_UNSUCCESSFUL with the device gone; never a character
// beyond the text the property returned, terminated or not.
#include "filter_test.h"

namespace filtertest {
namespace {

const ULONG kNoPort = ~0u;

struct LocationCase {
    const char *what;
    std::u16string text;
    bool terminated;
    ULONG portOffset;  // kNoPort: AddDevice fails with STATUS_UNSUCCESSFUL
};

std::vector<LocationCase> LocationCases()
{
    const std::u16string longText(4000, u'X');
    return {
        {"as the bus driver writes it", u"PB8-A board 1 port 3", true, 2},
        {"unterminated", u"PB8-A board 1 port 3", false, 2},
        {"at the very start", u"port 1", true, 0},
        {"port 9", u"PB8-A board 1 port 9", true, 8},
        {"hex a", u"PB8-A board 1 port a", true, 9},
        {"hex F", u"PB8-A board 1 port F", true, 14},
        {"two digits", u"PB8-A board 1 port 10", true, 15},
        {"largest three", u"PB8-A board 1 port fff", true, 0xFFE},
        {"only three are read", u"PB8-A board 1 port 99999", true, 0x998},
        {"leading zeros", u"PB8-A board 1 port 005", true, 4},
        {"far behind a long text", longText + u" port 5", true, 4},
        {"far behind a long text, unterminated", longText + u" port 6", false, 5},
        {"port 0", u"PB8-A board 1 port 0", true, kNoPort},
        {"no hex digit", u"PB8-A board 1 port g", true, kNoPort},
        {"ends at the word, unterminated", u"PB8-A board 1 port", false, kNoPort},
        {"ends after the space, unterminated", u"PB8-A board 1 port ", false, kNoPort},
        {"half the word, unterminated", u"PB8-A board 1 por", false, kNoPort},
        {"nothing but the word", u"port", false, kNoPort},
        {"empty, unterminated", u"", false, kNoPort},
        {"long text without the word", longText, false, kNoPort},
        {"long text ending at the word", longText + u" port", true, kNoPort},
        {"the word over and over", [] {
             std::u16string s;
             for (int i = 0; i < 600; ++i) s += u"port";
             return s;
         }(), false, kNoPort},
    };
}

TEST_F(FilterTest, EveryLocationTextGivesItsPortOrNoDevice)
{
    SetDebugLevel(3);
    for (const LocationCase &c : LocationCases()) {
        SCOPED_TRACE(c.what);
        location = c.text;
        locationUnterminated = !c.terminated;
        locationReads.clear();
        const NTSTATUS status = AddFilter();
        if (c.portOffset == kNoPort) {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(driver->DeviceObject, nullptr);
            EXPECT_EQ(serial->AttachedDevice, nullptr);
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(Extension()->PortOffset, c.portOffset);
        }
        const ULONG bytes = ULONG((c.text.size() + (c.terminated ? 1 : 0)) * 2);
        EXPECT_EQ(locationReads.back(), bytes > 256 ? bytes : 256u) << "read once more only when it did not fit";
        EXPECT_EQ(LastAllocCount(Trace()), 1) << "only the path copy is held";
        Remove();
    }
}

}  // namespace
}  // namespace filtertest
