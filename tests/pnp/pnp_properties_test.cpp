// Device properties as drivers read them through IoGetDeviceProperty, the
// registry the manager keeps, and the installation database.
#include "pnp_fixture.h"
#include "pnp_registry.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace {

class PropertyTest : public PnpTest {
protected:
    // Reads a property the way drivers do: ask, grow to the size returned.
    NTSTATUS Read(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t> *out)
    {
        ULONG needed = 0;
        out->assign(2, 0xCC);
        NTSTATUS status = IoGetDeviceProperty(pdo, property, ULONG(out->size()), out->data(), &needed);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            EXPECT_GT(needed, out->size());
            out->assign(needed, 0xCC);
            status = IoGetDeviceProperty(pdo, property, needed, out->data(), &needed);
            EXPECT_EQ(needed, out->size());
        }
        return status;
    }

    std::string Text(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property)
    {
        std::vector<uint8_t> data;
        if (!NT_SUCCESS(Read(pdo, property, &data))) return "<none>";
        return hk::Narrow(reinterpret_cast<const wchar_t *>(data.data()), data.size() / 2 - 1);
    }

    NTSTATUS BusType(PDEVICE_OBJECT pdo, ULONG *type)
    {
        ULONG needed = 0;
        return IoGetDeviceProperty(pdo, DevicePropertyLegacyBusType, sizeof(*type), type, &needed);
    }
};

TEST_F(PropertyTest, EachBusAnswersForItsBoards)
{
    sim::DeviceNode *pci = pnp->PlugBoard(Board("TEST\\BOARD"));
    sim::BoardDescription card = Board("TEST\\BOARD", sim::BusKind::Pcmcia);
    card.resources.uartBase = 0x500;
    sim::DeviceNode *pcCard = pnp->PlugBoard(card);
    sim::BoardDescription isa = Board("TEST\\BOARD", sim::BusKind::Root);
    isa.resources.uartBase = 0x600;
    sim::DeviceNode *root = pnp->PlugBoard(isa);

    ULONG type = 0;
    ASSERT_EQ(BusType(pci->pdo, &type), STATUS_SUCCESS);
    EXPECT_EQ(type, 5u);
    ASSERT_EQ(BusType(pcCard->pdo, &type), STATUS_SUCCESS);
    EXPECT_EQ(type, 8u);
    EXPECT_EQ(BusType(root->pdo, &type), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(Text(pci->pdo, DevicePropertyEnumeratorName), "TEST");
    EXPECT_EQ(Text(root->pdo, DevicePropertyEnumeratorName), "ROOT");
    EXPECT_EQ(root->instancePath, "ROOT\\MULTIPORTSERIAL\\0000");
    EXPECT_EQ(Text(pci->pdo, DevicePropertyLocationInformation), "PCI bus 0, device 0, function 0");
    EXPECT_EQ(Text(pcCard->pdo, DevicePropertyLocationInformation), "PCMCIA socket 0");
    EXPECT_EQ(Text(root->pdo, DevicePropertyLocationInformation), "<none>");
}

TEST_F(PropertyTest, HardwareIdsComeAsAMultiStringAfterTooSmall)
{
    sim::BoardDescription board = Board("TEST\\BOARD");
    board.hardwareIds.push_back("TEST\\BOARD_GENERIC");
    sim::DeviceNode *node = pnp->PlugBoard(board);
    std::vector<uint8_t> data;
    ASSERT_EQ(Read(node->pdo, DevicePropertyHardwareID, &data), STATUS_SUCCESS);
    EXPECT_EQ(data.size(), (11 + 19 + 1) * 2u);  // two strings and the closing NUL
    EXPECT_THAT(hk::NarrowMulti(reinterpret_cast<const wchar_t *>(data.data())),
                ElementsAre("TEST\\BOARD", "TEST\\BOARD_GENERIC"));
}

TEST_F(PropertyTest, ChildEnumeratorIsTheFirstPartOfItsDeviceId)
{
    pnptest::SetChildCount(1);
    sim::DeviceNode *bus = pnp->PlugBoard(Board("TEST\\BUS"));
    ASSERT_EQ(bus->children.size(), 1u);
    PDEVICE_OBJECT child = bus->children[0]->pdo;
    EXPECT_EQ(Text(child, DevicePropertyEnumeratorName), "TESTBUS");
    EXPECT_EQ(Text(child, DevicePropertyLocationInformation), "slot 0");
    ULONG type = 0;
    EXPECT_EQ(BusType(child, &type), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PropertyTest, HardwareKeyAndDeviceParametersAreWrittenBeforeStart)
{
    sim::BoardDescription board = Board("TEST\\BOARD");
    hk::reg::Value option{REG_DWORD, {7, 0, 0, 0}};
    board.deviceParameters.push_back({"HWOR", option});
    sim::DeviceNode *node = pnp->PlugBoard(board);

    hk::reg::Value value;
    ASSERT_TRUE(hk::reg::GetValue(hk::DeviceParametersPath(node->instancePath), "HWOR", &value));
    EXPECT_EQ(value.data, option.data);
    const std::string key = sim::HardwareKeyPath(node->instancePath);
    ASSERT_TRUE(hk::reg::GetValue(key, "Service", &value));
    EXPECT_EQ(value.data, sim::StringValue("tfunc"));
    ASSERT_TRUE(hk::reg::GetValue(key, "UpperFilters", &value));
    EXPECT_EQ(value.type, ULONG(REG_MULTI_SZ));
    EXPECT_EQ(value.data, sim::MultiStringValue({"tupper"}));
    EXPECT_TRUE(hk::reg::KeyExists(std::string(sim::kServicesPath) + "\\tlower"));
}

// ---------------------------------------------------- installation database
TEST(InstallDatabase, BoardsBindByTheBusDriversSearchTextInAnyCase)
{
    const sim::InstallDatabase db = sim::InstallDatabase::Default();
    for (const char *id : {"pci\\ven_7a3e&dev_0070", "PCMCIA\\TARVO-CB2A-05D3-0022", "velmora_isa_serial_nonsense"}) {
        const sim::DriverBinding *binding = db.Find({id}, {});
        ASSERT_NE(binding, nullptr) << id;
        EXPECT_EQ(binding->functionService, "mpsbus");
        EXPECT_TRUE(binding->upperFilters.empty());
    }
    EXPECT_EQ(db.Find({"PCI\\VEN_7A3F&DEV_0010", "ISA\\05D3"}, {}), nullptr);
}

TEST(InstallDatabase, PortIdsBindExactlyToTheSerialDriverUnderTheFilter)
{
    const sim::InstallDatabase db = sim::InstallDatabase::Default();
    for (const char *id : {"VELMORA_PCI_SERIAL_PORT", "velmora_isa_serial_port", "VELMORA_PCMCIA_SERIAL_PORT",
                           "TARVO_PCMCIA_SERIAL_PORT", "BRISEL_PCMCIA_SERIAL_PORT"}) {
        const sim::DriverBinding *binding = db.Find({id}, {});
        ASSERT_NE(binding, nullptr) << id;
        EXPECT_EQ(binding->functionService, "serial");
        EXPECT_THAT(binding->upperFilters, ElementsAre("mpsfilt"));
    }
    EXPECT_EQ(db.Find({"VELMORA_PCI_SERIAL_PORT_2"}, {}), nullptr);
}

TEST(InstallDatabase, HardwareIdsOutrankCompatibleIds)
{
    using Match = sim::InstallDatabase::Match;
    sim::InstallDatabase db;
    db.Add(Match::Exact, "GENERIC", sim::DriverBinding{"generic", {}, {}});
    db.Add(Match::Exact, "SPECIFIC", sim::DriverBinding{"specific", {}, {}});
    EXPECT_EQ(db.Find({"OTHER", "SPECIFIC"}, {"GENERIC"})->functionService, "specific");
    EXPECT_EQ(db.Find({"OTHER"}, {"GENERIC"})->functionService, "generic");
}

}  // namespace
