// The serial port driver stand-in as the manager loads it for a port node:
// it receives the arbitrated resources in its start and checks its UART on
// the board hardware through them.
#include "board_hardware.h"
#include "pnp_fixture.h"
#include "serial_standin.h"

#include <cstring>

namespace {

const ULONG kUartBase = 0x300;
const ULONG kIrq = 5;

IO_RESOURCE_DESCRIPTOR Range(ULONG start, ULONG length, UCHAR share)
{
    IO_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypePort;
    d.ShareDisposition = share;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Length = length;
    d.u.Port.MinimumAddress.QuadPart = start;
    d.u.Port.MaximumAddress.QuadPart = start + length - 1;
    return d;
}

// A port asks for its own UART block, the board's status register and the
// board's interrupt, all shared: the status register lies inside the first
// port's block and every port reads it.
std::vector<uint8_t> PortRequirements(unsigned index)
{
    IO_RESOURCE_DESCRIPTOR interrupt{};
    interrupt.Type = CmResourceTypeInterrupt;
    interrupt.ShareDisposition = CmResourceShareShared;
    interrupt.u.Interrupt.MinimumVector = interrupt.u.Interrupt.MaximumVector = kIrq;
    const IO_RESOURCE_DESCRIPTOR wanted[] = {Range(kUartBase + 8 * index, 8, CmResourceShareShared),
                                             Range(kUartBase + 7, 1, CmResourceShareShared), interrupt};
    const size_t header = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Descriptors);
    std::vector<uint8_t> bytes(header + sizeof(wanted));
    auto *list = reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST *>(bytes.data());
    list->ListSize = ULONG(bytes.size());
    list->AlternativeLists = 1;
    list->List[0].Version = list->List[0].Revision = 1;
    list->List[0].Count = 3;
    std::memcpy(list->List[0].Descriptors, wanted, sizeof(wanted));
    return bytes;
}

class SerialPortNodeTest : public PnpTest {
protected:
    void SetUp() override
    {
        PnpTest::SetUp();
        using Match = sim::InstallDatabase::Match;
        sim::InstallDatabase db;
        db.Add(Match::Exact, "TEST\\BUS", sim::DriverBinding{"tbus", {}, {}});
        db.Add(Match::Exact, "TESTBUS\\CHILD_HW", sim::DriverBinding{sim::kSerialService, {}, {}});
        pnp.reset();
        sim::ResetSerialRecords();
        pnp = std::make_unique<sim::PnpManager>(db);
        pnp->RegisterBuiltinDriver("tbus", pnptest::BusDriverEntry);
        pnp->RegisterBuiltinDriver(sim::kSerialService, sim::SerialDriverEntry);

        sim::BoardHardwareConfig config;
        config.ports = 2;
        config.ioBase = kUartBase;
        hardware = std::make_unique<sim::BoardHardware>(config);
        hardware->Plug();
        // What the bus driver would have stored for each port before its start.
        for (unsigned i = 0; i < 2; ++i)
            hk::reg::SetDword(hk::DeviceParametersPath("TESTBUS\\CHILD\\" + std::to_string(i)), "PortIndex", i + 1);
    }

    void TearDown() override
    {
        pnp->ShutDown();
        hardware->Unplug();
        PnpTest::TearDown();
    }

    sim::DeviceNode *PlugBus()
    {
        pnptest::SetChildCount(2);
        pnptest::SetChildRequirements(PortRequirements);
        sim::BoardDescription board = Board("TEST\\BUS");
        board.resources.uartBase = 0x200;  // the bus device's own ranges, not the ports'
        board.resources.bridgeBase = 0x280;
        return pnp->PlugBoard(board);
    }

    std::unique_ptr<sim::BoardHardware> hardware;
};

TEST_F(SerialPortNodeTest, EachPortStartsOnItsOwnBlockAndPassesItsChecks)
{
    sim::DeviceNode *bus = PlugBus();
    ASSERT_EQ(bus->children.size(), 2u);
    for (unsigned i = 0; i < 2; ++i) {
        const sim::DeviceNode *port = bus->children[i];
        EXPECT_EQ(port->state, sim::NodeState::Started) << i;
        const sim::SerialPortRecord *record = sim::SerialRecordFor(port->pdo);
        ASSERT_NE(record, nullptr) << i;
        EXPECT_TRUE(record->started);
        ASSERT_EQ(record->translated.size(), 3u);
        EXPECT_EQ(hk::test::StartOf(record->translated[0]), kUartBase + 8 * i);
        EXPECT_EQ(record->translated[2].u.Interrupt.Vector, 0x30 + kIrq);
        EXPECT_EQ(record->loopback, sim::CheckResult::Ok) << record->checkDetail;
        EXPECT_EQ(record->statusRegister, sim::CheckResult::Ok) << record->checkDetail;
    }
}

TEST_F(SerialPortNodeTest, TheSerialDriverGoesWithItsLastPort)
{
    sim::DeviceNode *bus = PlugBus();
    ASSERT_NE(hk::DriverOf(sim::kSerialService), nullptr);
    ASSERT_TRUE(pnp->Remove(bus));
    EXPECT_EQ(hk::DriverOf(sim::kSerialService), nullptr);
    EXPECT_FALSE(sim::SerialRecordFor(bus->children[0]->pdo));  // the node let its PDO go
}

}  // namespace
