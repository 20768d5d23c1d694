// The port devices as the Plug and Play manager meets them: their identity
// per bus and brand, the answers it frees, the bus relations that make the
// nodes, the serial settings in place when the serial port driver starts,
// a rebalance that leaves every port as it was, and one that moves them.
#include "port_nodes_fixture.h"

#include "builtin_bus.h"

#include "PciParent/mpsbus.h"

#include <gmock/gmock.h>


using ::testing::ElementsAre;

namespace portnodes {
namespace {

const char kPb4a[] = R"({"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0010"]})";
const char kPb8a[] = R"({"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0050"]})";
const char kPl1a[] = R"({"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0190"]})";
const char kTarvoCb2a[] = R"({"bus": "pcmcia", "hardware_ids": ["PCMCIA\\TARVO-CB2A-05D3-0022"]})";
const char kCb4a[] = R"({"bus": "pcmcia", "hardware_ids": ["PCMCIA\\VELMORA-CB4A-05D3-001B"]})";
const char kIb8ay[] = R"({"bus": "isa", "hardware_ids": ["VELMORA_ISA_SERIAL_IB8AY"]})";

// One query answer as it reached the manager, read and freed as it frees it.
struct Answer {
    NTSTATUS status;
    std::vector<wchar_t> chars;   // the whole block
    hk::PoolBlock block{};
};

Answer Ask(PDEVICE_OBJECT pdo, UCHAR minor, ULONG type)
{
    ULONG_PTR information = 0;
    Answer answer{hk::test::SendPnp(
                      pdo, minor,
                      [&](PIO_STACK_LOCATION stack) {
                          if (minor == IRP_MN_QUERY_ID) stack->Parameters.QueryId.IdType = BUS_QUERY_ID_TYPE(type);
                          else stack->Parameters.QueryDeviceText.DeviceTextType = DEVICE_TEXT_TYPE(type);
                      },
                      &information),
                  {}};
    if (information == 0) return answer;
    auto *text = reinterpret_cast<wchar_t *>(information);
    for (const hk::PoolBlock &block : hk::LivePool())
        if (block.address == text) answer.block = block;
    answer.chars.assign(text, text + answer.block.size / sizeof(wchar_t));
    ExFreePool(text);
    return answer;
}

std::pair<POOL_TYPE, size_t> PoolOf(const void *address)
{
    for (const hk::PoolBlock &block : hk::LivePool())
        if (block.address == address) return {block.type, block.size};
    return {NonPagedPool, 0};
}

std::vector<wchar_t> Chars(const std::string &text, size_t size)
{
    std::vector<wchar_t> chars(text.begin(), text.end());
    chars.resize(size, 0);
    return chars;
}

std::vector<std::string> InstanceIds(const sim::DeviceNode *board)
{
    std::vector<std::string> ids;
    for (const sim::DeviceNode *port : board->children) ids.push_back(port->instanceId);
    return ids;
}

using Settings = std::vector<std::pair<std::string, ULONG>>;

// The port's device key as the serial port driver found it when it started.
Settings SettingsAtStart(const sim::DeviceNode *port)
{
    Settings settings;
    const sim::SerialPortRecord *record = sim::SerialRecordFor(port->pdo);
    if (record == nullptr) {
        ADD_FAILURE() << port->instancePath << " never reached the serial port driver";
        return settings;
    }
    for (const auto &[name, value] : record->registry) {
        EXPECT_EQ(ULONG(REG_DWORD), value.type) << name;
        ULONG data = 0;
        if (value.data.size() == 4) memcpy(&data, value.data.data(), 4);
        settings.emplace_back(name, data);
    }
    return settings;
}

// ------------------------------------------------------------- identity
TEST_F(PortNodes, AFirstPb4aGivesFourPortsNamedAfterItsModelAndNumber)
{
    sim::DeviceNode *board = Plug(kPb4a);
    ASSERT_EQ(sim::NodeState::Started, board->state) << board->problem;
    ASSERT_EQ(4u, board->children.size());
    for (size_t i = 0; i < 4; ++i) {
        const sim::DeviceNode *port = board->children[i];
        const std::string n = std::to_string(i + 1);
        EXPECT_EQ("VelmoraMultiportSerial\\PB4-A_1", port->deviceId);
        EXPECT_EQ("PORT_" + n, port->instanceId);
        EXPECT_EQ("VelmoraMultiportSerial\\PB4-A_1\\PORT_" + n, port->instancePath);
        EXPECT_THAT(port->hardwareIds, ElementsAre("VELMORA_PCI_SERIAL_PORT"));
        EXPECT_TRUE(port->compatibleIds.empty());
        EXPECT_EQ("Velmora Serial Port", port->description);
        EXPECT_EQ("PB4-A board 1 port " + n, port->location);
        EXPECT_TRUE(port->capabilities.UniqueID);
        // A port asks for no resources of its own.
        EXPECT_TRUE(port->requirements.empty());
    }
}

TEST_F(PortNodes, EachBusAndBrandNamesItsPorts)
{
    struct Case {
        const char *board;
        const char *deviceId, *hardwareId, *description, *firstLocation;
        size_t ports;
    };
    const Case cases[] = {
        {kTarvoCb2a, "TarvoMultiportSerial\\CB2-A_1", "TARVO_PCMCIA_SERIAL_PORT", "Tarvo Serial Port",
         "CB2-A board 1 port 1", 2},
        {kCb4a, "VelmoraMultiportSerial\\CB4-A_1", "VELMORA_PCMCIA_SERIAL_PORT", "Velmora Serial Port",
         "CB4-A board 1 port 1", 4},
        {kIb8ay, "VelmoraMultiportSerial\\IB8-AY_1", "VELMORA_ISA_SERIAL_PORT", "Velmora Serial Port",
         "IB8-AY board 1 port 1", 8},
        {kPl1a, "VelmoraMultiportSerial\\PL1-A_1", "VELMORA_PCI_SERIAL_PORT", "Velmora Serial Port",
         "PL1-A board 1 port 1", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.deviceId);
        sim::DeviceNode *board = Plug(c.board);
        ASSERT_EQ(sim::NodeState::Started, board->state) << board->problem;
        ASSERT_EQ(c.ports, board->children.size());
        const sim::DeviceNode *first = board->children.front();
        EXPECT_EQ(c.deviceId, first->deviceId);
        EXPECT_THAT(first->hardwareIds, ElementsAre(c.hardwareId));
        EXPECT_EQ(c.description, first->description);
        EXPECT_EQ(c.firstLocation, first->location);
        EXPECT_EQ("PORT_" + std::to_string(c.ports), board->children.back()->instanceId);
        pnp_->Remove(board);
        slots_.back()->Unplug();
    }
}

// The board number keeps the nodes of two boards of one model apart.
TEST_F(PortNodes, TwoBoardsOfOneModelGetNodesOfTheirOwn)
{
    sim::DeviceNode *first = Plug(kPb4a);
    sim::DeviceNode *second =
        Plug(R"({"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0120"], "io_base": "0xE000", "bridge_base": "0xE080"})");
    ASSERT_EQ(sim::NodeState::Started, second->state) << second->problem;
    EXPECT_EQ("VelmoraMultiportSerial\\PB4-A_1", first->children[0]->deviceId);
    EXPECT_EQ("VelmoraMultiportSerial\\PB4-A_2", second->children[0]->deviceId);
    EXPECT_EQ("PB4-A board 2 port 3", second->children[2]->location);
}

// What the manager is handed: a 256-byte device ID buffer would be the
// port's own; answers are exact, one-entry multi-strings end in two NULs,
// the location comes in an 80-byte buffer, and everything is paged pool.
TEST_F(PortNodes, AnswersHaveTheirSizesAndTheManagerFreesEveryOne)
{
    sim::DeviceNode *board = Plug(kTarvoCb2a);
    ASSERT_EQ(2u, board->children.size());
    const PDEVICE_OBJECT pdo = board->children[1]->pdo;
    // Each port keeps its strings in nonpaged pool: a 256-byte device ID
    // buffer, exact hardware and instance IDs.
    for (const sim::DeviceNode *port : board->children) {
        const PortExtension *extension = PortOf(port->pdo);
        EXPECT_EQ(std::make_pair(NonPagedPool, size_t(256)), PoolOf(extension->DeviceId));
        EXPECT_EQ(std::make_pair(NonPagedPool, size_t(2 * (24 + 2))), PoolOf(extension->HardwareIds));
        EXPECT_EQ(std::make_pair(NonPagedPool, size_t(2 * (6 + 1))), PoolOf(extension->InstanceId));
    }
    // Every answer of the bring-up went to the manager, which freed it:
    // mpsbus's only paged block is its copy of the service key path.
    size_t paged = 0;
    for (const hk::PoolBlock &block : hk::LivePool()) paged += block.owner == "mpsbus" && block.type == PagedPool;
    EXPECT_EQ(1u, paged);
    const size_t poolBefore = hk::LivePool().size();

    const std::string deviceId = "TarvoMultiportSerial\\CB2-A_1";
    EXPECT_EQ(Chars(deviceId, deviceId.size() + 1), Ask(pdo, IRP_MN_QUERY_ID, BusQueryDeviceID).chars);
    EXPECT_EQ(Chars("TARVO_PCMCIA_SERIAL_PORT", 26), Ask(pdo, IRP_MN_QUERY_ID, BusQueryHardwareIDs).chars);
    EXPECT_EQ(Chars("PORT_2", 7), Ask(pdo, IRP_MN_QUERY_ID, BusQueryInstanceID).chars);
    EXPECT_EQ(Chars("Tarvo Serial Port", 18), Ask(pdo, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription).chars);
    const Answer location = Ask(pdo, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation);
    EXPECT_EQ(Chars("CB2-A board 1 port 2", 40), location.chars);
    EXPECT_EQ(PagedPool, location.block.type);
    EXPECT_EQ(0x206D6457u, location.block.tag);

    const Answer compatible = Ask(pdo, IRP_MN_QUERY_ID, BusQueryCompatibleIDs);
    EXPECT_EQ(STATUS_SUCCESS, compatible.status);
    EXPECT_TRUE(compatible.chars.empty());
    EXPECT_EQ(STATUS_NOT_SUPPORTED, Ask(pdo, IRP_MN_QUERY_ID, BusQueryDeviceSerialNumber).status);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, Ask(pdo, IRP_MN_QUERY_ID, 5).status);
    EXPECT_EQ(poolBefore, hk::LivePool().size());

    // The manager's own queries of the bring-up, as it logged them.
    EXPECT_THAT(Sent(board->children[1], "IRP_MN_QUERY_ID"),
                ElementsAre("IRP_MN_QUERY_ID BusQueryDeviceID -> 00000000",
                            "IRP_MN_QUERY_ID BusQueryInstanceID -> 00000000",
                            "IRP_MN_QUERY_ID BusQueryHardwareIDs -> 00000000",
                            "IRP_MN_QUERY_ID BusQueryCompatibleIDs -> 00000000"));
}

// -------------------------------------------------------------- relations
TEST_F(PortNodes, Pb8aReportsEightPortsPortOneFirstEachReferencedOnce)
{
    sim::DeviceNode *board = Plug(kPb8a);
    ASSERT_EQ(sim::NodeState::Started, board->state) << board->problem;
    EXPECT_THAT(InstanceIds(board), ElementsAre("PORT_1", "PORT_2", "PORT_3", "PORT_4", "PORT_5", "PORT_6",
                                                "PORT_7", "PORT_8"));
    for (const sim::DeviceNode *port : board->children) EXPECT_EQ(sim::NodeState::Started, port->state);

    // Asked again, the board reports the same devices in the same order;
    // the manager keeps its one reference and releases the new ones.
    std::vector<PDEVICE_OBJECT> pdos;
    for (const sim::DeviceNode *port : board->children) pdos.push_back(port->pdo);
    pnp_->Enumerate(board);
    EXPECT_EQ(8u, board->children.size());
    std::vector<PDEVICE_OBJECT> again;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(board->pdo);
    ASSERT_EQ(STATUS_SUCCESS, hk::test::QueryRelations(top, BusRelations, &again));
    ObDereferenceObject(top);
    EXPECT_EQ(pdos, again);
    // Removal frees every port device (only the board's PDO, which its bus
    // still reports, stays): no reference was taken twice.
    pnp_->Remove(board);
    EXPECT_EQ(1u, hk::LiveDeviceCount());
}

// ------------------------------------------------------ serial settings
TEST_F(PortNodes, TheSerialPortDriverFindsItsSettingsWhenItStarts)
{
    const Settings shared = {{"SerialRelinquishPowerPolicy", 1}, {"Share System Interrupt", 1}};
    sim::DeviceNode *pb8a = Plug(kPb8a);
    ASSERT_EQ(8u, pb8a->children.size());
    EXPECT_EQ((Settings{{"PortIndex", 3}, {"MultiportDevice", 1}, shared[0], shared[1]}),
              SettingsAtStart(pb8a->children[2]));

    sim::DeviceNode *cb4a = Plug(kCb4a);
    ASSERT_EQ(4u, cb4a->children.size());
    for (const sim::DeviceNode *port : cb4a->children) EXPECT_EQ(shared, SettingsAtStart(port)) << port->instancePath;

    sim::DeviceNode *pl1a =
        Plug(R"({"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0190"], "io_base": "0xE000", "bridge_base": "0xE080"})");
    ASSERT_EQ(1u, pl1a->children.size());
    EXPECT_EQ(shared, SettingsAtStart(pl1a->children[0]));

    sim::DeviceNode *ib8ay = Plug(kIb8ay);
    ASSERT_EQ(8u, ib8ay->children.size());
    for (ULONG i = 0; i < 8; ++i)
        EXPECT_EQ((Settings{{"PortIndex", i + 1}, {"MultiportDevice", 1}, shared[0], shared[1]}),
                  SettingsAtStart(ib8ay->children[i]));
}

// ------------------------------------------------------------- rebalance
// Stopped and started again, the board keeps its ports: the same device
// objects, names and settings, and no second set behind them. (A PC Card:
// the serial driver never stops a port of a multiport PCI or ISA board.)
TEST_F(PortNodes, ARebalanceLeavesEveryPortAsItWas)
{
    sim::DeviceNode *board = Plug(kCb4a);
    ASSERT_EQ(4u, board->children.size());
    std::vector<PDEVICE_OBJECT> pdos;
    std::vector<std::string> paths;
    std::vector<Settings> settings;
    for (const sim::DeviceNode *port : board->children) {
        pdos.push_back(port->pdo);
        paths.push_back(port->instancePath);
        settings.push_back(SettingsAtStart(port));
    }
    const size_t poolBefore = hk::LivePool().size();

    ASSERT_TRUE(pnp_->Rebalance(board));
    ASSERT_EQ(sim::NodeState::Started, board->state) << board->problem;
    ASSERT_EQ(4u, board->children.size());
    for (size_t i = 0; i < 4; ++i) {
        const sim::DeviceNode *port = board->children[i];
        EXPECT_EQ(pdos[i], port->pdo);
        EXPECT_EQ(paths[i], port->instancePath);
        EXPECT_EQ(sim::NodeState::Started, port->state);
        EXPECT_EQ(settings[i], SettingsAtStart(port));
    }
    EXPECT_EQ("CB4-A board 1 port 4", board->children[3]->location);
    EXPECT_EQ(poolBefore, hk::LivePool().size());
}

// Restarted at a moved UART range, a board's started ports are stopped and
// started again (they claim no resources, so the rebalance itself only
// cancels their stop): each serial driver works at its block of the new
// range, and nothing touches the old one. A later rebalance that keeps the
// range leaves the ports running.
TEST_F(PortNodes, PortsFollowTheirBoardToAMovedRange)
{
    // Boards whose ports can be stopped: a one-port PCI board and a PC Card.
    const struct {
        const char *board;
        ULONG movedUart;
        ULONG ports;
    } cases[] = {{kPl1a, 0xE000, 1}, {kCb4a, 0x300, 4}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.board);
        sim::DeviceNode *board = Plug(c.board);
        ASSERT_EQ(c.ports, board->children.size());
        const sim::BoardResources old = BoardFrom(c.board).resources;
        sim::BoardResources moved = old;
        moved.uartBase = c.movedUart;

        ASSERT_TRUE(pnp_->Stop(board));
        slots_.back()->Unplug();
        slots_.back()->Plug(moved);
        sim::SetBoardResources(board->pdo, moved);
        hk::ClearIoLog();
        pnp_->ClearRequests();
        ASSERT_TRUE(pnp_->Restart(board));
        ASSERT_EQ(sim::NodeState::Started, board->state) << board->problem;

        for (ULONG i = 0; i < c.ports; ++i) {
            const sim::DeviceNode *port = board->children[i];
            SCOPED_TRACE(port->instancePath);
            EXPECT_EQ(sim::NodeState::Started, port->state) << port->problem;
            EXPECT_THAT(Sent(port, "IRP_MN_STOP_DEVICE"), ElementsAre("IRP_MN_STOP_DEVICE  -> 00000000"));
            const sim::SerialPortRecord *record = sim::SerialRecordFor(port->pdo);
            ASSERT_NE(nullptr, record);
            ULONGLONG block = 0;
            for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : record->translated)
                if (d.Type == CmResourceTypePort && d.u.Port.Length == 8) block = ULONGLONG(d.u.Port.Start.QuadPart);
            EXPECT_EQ(moved.uartBase + 8ull * i, block);
            EXPECT_EQ(sim::CheckResult::Ok, record->loopback) << record->checkDetail;
        }
        size_t atOld = 0, atNew = 0;
        for (const hk::IoAccess &a : hk::IoLog()) {
            atOld += a.port >= old.uartBase && a.port < old.uartBase + old.uartLength;
            atNew += a.port >= moved.uartBase && a.port < moved.uartBase + moved.uartLength;
        }
        EXPECT_EQ(0u, atOld);
        EXPECT_LT(0u, atNew);

        pnp_->ClearRequests();
        ASSERT_TRUE(pnp_->Rebalance(board));
        for (const sim::DeviceNode *port : board->children) EXPECT_TRUE(Sent(port, "IRP_MN_STOP_DEVICE").empty());
    }
}

}  // namespace
}  // namespace portnodes
