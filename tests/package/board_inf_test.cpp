// The board INF against the driver's own identification, for the models of
// each architecture: every hardware ID it lists is one the driver accepts,
// and every ID the driver accepts is listed (PCI device IDs and PC Card codes
// exhaustively, ISA tokens over every name of the boards' naming scheme).
#include "identify/identify_fixture.h"
#include "inf_text.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace identifytest {
namespace {

using inftext::Fields;
using inftext::Trimmed;
using inftext::Upper;

// The INF's sections by upper-case name: the values of their lines (the text
// after "="), comments dropped.
std::map<std::string, std::vector<std::string>> Sections(const char *path)
{
    std::ifstream inf(path);
    std::map<std::string, std::vector<std::string>> sections;
    std::vector<std::string> *current = nullptr;
    for (std::string line; std::getline(inf, line);) {
        line = Trimmed(line.substr(0, line.find(';')));
        if (!line.empty() && line.front() == '[')
            current = &sections[Upper(line.substr(1, line.find(']') - 1))];
        else if (current && line.find('=') != std::string::npos)
            current->push_back(Trimmed(line.substr(line.find('=') + 1)));
    }
    return sections;
}

// The hardware IDs of the models the Manufacturer section names for one
// architecture: "Base, NTamd64" names the sections [Base] (x86, undecorated)
// and [Base.NTamd64], whose lines are "description = install-section,
// hardware-ID". An empty decoration asks for the undecorated section.
std::vector<std::string> ListedIds(const std::string &decoration)
{
    auto sections = Sections(MPS_BOARD_INF);
    std::vector<std::string> ids;
    for (const std::string &manufacturer : sections["MANUFACTURER"]) {
        const std::vector<std::string> names = Fields(manufacturer);
        const bool named = decoration.empty() ||
                           std::any_of(names.begin() + 1, names.end(),
                                       [&](const std::string &d) { return Upper(d) == Upper(decoration); });
        if (!named) continue;
        const std::string section = decoration.empty() ? names[0] : names[0] + "." + decoration;
        for (const std::string &model : sections[Upper(section)])
            if (Fields(model).size() > 1) ids.push_back(Upper(Fields(model)[1]));
    }
    return ids;
}

const char kPciPrefix[] = "PCI\\VEN_7A3E&DEV_";
const char kCardMark[] = "-05D3-";
const char kIsaPrefix[] = "VELMORA_ISA_SERIAL_";

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

class BoardInf : public IdentifyTest, public ::testing::WithParamInterface<const char *> {
protected:
    void SetUp() override
    {
        IdentifyTest::SetUp();
        listed = ListedIds(GetParam());
        ASSERT_FALSE(listed.empty()) << "no " << GetParam() << " models read from " << MPS_BOARD_INF;
    }

    bool Accepts(const std::string &id)
    {
        if (id.rfind("PCI\\", 0) == 0)
            PciBoard({id});
        else if (id.rfind("PCMCIA\\", 0) == 0)
            PcmciaCard({id});
        else
            RootBoard({id});
        TestBoard board;
        return Identify(board) == STATUS_SUCCESS;
    }

    bool Listed(const std::string &id) const
    {
        for (const std::string &l : listed)
            if (l == id) return true;
        return false;
    }

    std::vector<std::string> listed;
};

TEST_P(BoardInf, ListsNoIdTheDriverRefuses)
{
    for (const std::string &id : listed) EXPECT_TRUE(Accepts(id)) << id;
}

TEST_P(BoardInf, ListsEveryPciDeviceIdTheDriverAccepts)
{
    for (unsigned device = 0; device <= 0xFFFF; ++device) {
        const std::string id = kPciPrefix + Hex(device, 4);
        EXPECT_EQ(Accepts(id), Listed(id)) << id;
    }
}

TEST_P(BoardInf, ListsEveryPcCardCodeTheDriverAccepts)
{
    // A card's ID begins with its own manufacturer and product strings; only
    // the codes after them are the driver's to judge.
    std::set<std::string> listedCodes;
    for (const std::string &id : listed) {
        const size_t at = id.find(kCardMark);
        if (at != std::string::npos) listedCodes.insert(id.substr(at + sizeof kCardMark - 1));
    }
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        const std::string field = Hex(code, 4);
        EXPECT_EQ(Accepts(std::string("PCMCIA\\ANY-CARD") + kCardMark + field), listedCodes.count(field) == 1)
            << "card code " << field;
    }
}

TEST_P(BoardInf, ListsEveryIsaBoardTheDriverAccepts)
{
    // ISA boards are named IB, a port count digit and two letters.
    for (char ports = '0'; ports <= '9'; ++ports)
        for (char a = 'A'; a <= 'Z'; ++a)
            for (char b = 'A'; b <= 'Z'; ++b) {
                const std::string id = kIsaPrefix + std::string{'I', 'B', ports, a, b};
                EXPECT_EQ(Accepts(id), Listed(id)) << id;
            }
}

// Windows picks the models of its own architecture; both must be whole. The
// Windows 10 models list the same IDs (tests/package/store_rules_test.cpp).
INSTANTIATE_TEST_SUITE_P(Architectures, BoardInf, ::testing::Values("", "NTamd64"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return *info.param ? std::string(info.param) : std::string("x86_undecorated");
                         });

}  // namespace
}  // namespace identifytest
