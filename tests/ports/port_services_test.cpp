// Bus relations, capabilities, the serial settings written at a port's
// start, and the deletion of a board's ports.
#include "ports_fixture.h"

#include <gmock/gmock.h>

#include <cstring>

using ::testing::ElementsAre;
using ::testing::Pair;

namespace portstest {
namespace {

using PortServices = PortsTest;

// The relations block as the library receives it; freed here.
std::vector<PDEVICE_OBJECT> Relations(PDEVICE_OBJECT board, NTSTATUS *status, hk::PoolBlock *block = nullptr)
{
    PDEVICE_RELATIONS relations = reinterpret_cast<PDEVICE_RELATIONS>(1);
    *status = QueryBusRelations(board, &relations);
    std::vector<PDEVICE_OBJECT> objects;
    if (relations == reinterpret_cast<PDEVICE_RELATIONS>(1)) {
        ADD_FAILURE() << "the relations were never set";
        return objects;
    }
    if (relations == nullptr) return objects;
    if (block != nullptr) *block = BlockAt(relations);
    objects.assign(relations->Objects, relations->Objects + relations->Count);
    ExFreePool(relations);
    return objects;
}

std::vector<PDEVICE_OBJECT> DevicesOf(const std::vector<PortExtension *> &ports)
{
    std::vector<PDEVICE_OBJECT> devices;
    for (const PortExtension *port : ports) devices.push_back(port->DeviceObject);
    return devices;
}

// ------------------------------------------------------------ relations
TEST_F(PortServices, NoRelationsBeforeTheFirstStartOrAfterAFailedCreation)
{
    Identify(PB8A);
    NTSTATUS status = STATUS_PENDING;
    EXPECT_TRUE(Relations(board_, &status).empty());
    EXPECT_EQ(STATUS_SUCCESS, status);

    hk::ResetFaults();
    hk::FailNthCall(hk::Service::Pool, 10);
    ASSERT_EQ(STATUS_INSUFFICIENT_RESOURCES, CreatePortDevices(board_));
    hk::ResetFaults();
    EXPECT_TRUE(Relations(board_, &status).empty());
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(0u, hk::LivePool().size());
}

TEST_F(PortServices, Pb8aReportsItsEightPortsPortOneFirstWithoutReferences)
{
    Identify(PB8A);
    ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
    NTSTATUS status = STATUS_PENDING;
    hk::PoolBlock block{};
    const std::vector<PDEVICE_OBJECT> reported = Relations(board_, &status, &block);
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(DevicesOf(Ports()), reported);
    EXPECT_EQ(1u, PortOf(reported.front())->PortNumber);
    EXPECT_EQ(PagedPool, block.type);
    EXPECT_EQ(kWdmTag, block.tag);
    EXPECT_EQ(FIELD_OFFSET(DEVICE_RELATIONS, Objects) + 8 * sizeof(PDEVICE_OBJECT), block.size);

    // The library takes the references: deleting the ports now frees every
    // device object at once.
    DeletePortDevices(board_);
    EXPECT_EQ(1u, hk::LiveDeviceCount());
}

// The list, not PortCount, says how many ports exist: a count larger than
// the list never walks past its head; a smaller one reports the first ports.
TEST_F(PortServices, RelationsNeverReadPastTheList)
{
    Identify(PB2A);
    ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
    const std::vector<PDEVICE_OBJECT> ports = DevicesOf(Ports());
    NTSTATUS status = STATUS_PENDING;

    Board()->PortCount = 8;
    hk::PoolBlock block{};
    EXPECT_EQ(ports, Relations(board_, &status, &block));
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(FIELD_OFFSET(DEVICE_RELATIONS, Objects) + 2 * sizeof(PDEVICE_OBJECT), block.size);

    Board()->PortCount = 1;
    EXPECT_THAT(Relations(board_, &status), ElementsAre(ports[0]));

    Board()->PortCount = 0;
    EXPECT_TRUE(Relations(board_, &status).empty());
    EXPECT_EQ(STATUS_SUCCESS, status);
}

TEST_F(PortServices, ARelationsBlockThatCannotBeAllocatedReportsNothing)
{
    Identify(PB4A);
    ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
    FailNext(hk::Service::Pool);
    NTSTATUS status = STATUS_PENDING;
    EXPECT_TRUE(Relations(board_, &status).empty());
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
}

// --------------------------------------------------------- capabilities
TEST_F(PortServices, CapabilitiesGainUniqueIdAndNothingElse)
{
    Identify(PB2A);
    ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
    for (bool others : {false, true}) {
        DEVICE_CAPABILITIES capabilities;
        std::memset(&capabilities, others ? 0xA5 : 0, sizeof(capabilities));
        capabilities.UniqueID = FALSE;
        DEVICE_CAPABILITIES expected = capabilities;
        reinterpret_cast<ULONG *>(&expected)[1] |= 0x40;   // the bit-field word after Size and Version

        PDEVICE_CAPABILITIES pointer = &capabilities;
        EXPECT_EQ(STATUS_SUCCESS, QueryPortCapabilities(Ports()[0]->DeviceObject, &pointer));
        EXPECT_EQ(&capabilities, pointer);
        EXPECT_EQ(0, std::memcmp(&expected, &capabilities, sizeof(capabilities)));
    }
}

// ------------------------------------------------------ serial settings
const std::pair<std::string, ULONG> kRelinquish{"SerialRelinquishPowerPolicy", 1};
const std::pair<std::string, ULONG> kShare{"Share System Interrupt", 1};

TEST_F(PortServices, PortsOfPciAndIsaMultiportBoardsLearnTheirIndex)
{
    for (ULONG model : {PB8A, IB8AY}) {
        SCOPED_TRACE(BoardModels[model].BusType);
        Identify(model);
        ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
        for (const PortExtension *port : Ports()) {
            EXPECT_EQ(STATUS_SUCCESS, StartPort(port->DeviceObject, nullptr, nullptr));
            EXPECT_THAT(SettingsOf(port), ElementsAre(Pair("PortIndex", port->PortNumber), Pair("MultiportDevice", 1u),
                                                      kRelinquish, kShare));
        }
        EXPECT_EQ(3u, SettingsOf(Ports()[2])[0].second);
        DeletePortDevices(board_);
        hk::reg::Reset();
    }
}

TEST_F(PortServices, PcmciaAndSinglePortBoardsWriteOnlyTheSharedSettings)
{
    for (ULONG model : {CB4A, PL1A}) {
        Identify(model);
        ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
        for (const PortExtension *port : Ports()) {
            EXPECT_EQ(STATUS_SUCCESS, StartPort(port->DeviceObject, nullptr, nullptr));
            EXPECT_THAT(SettingsOf(port), ElementsAre(kRelinquish, kShare)) << model;
        }
        DeletePortDevices(board_);
    }
}

TEST_F(PortServices, EveryStartOverwritesTheSettings)
{
    Identify(PB4A);
    ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
    const PortExtension *port = Ports()[1];
    ASSERT_EQ(STATUS_SUCCESS, StartPort(port->DeviceObject, nullptr, nullptr));
    const std::string key = hk::DeviceParametersPath("VelmoraMultiportSerial\\PB4-A_1\\PORT_2");
    hk::reg::SetDword(key, "PortIndex", 7);
    hk::reg::SetDword(key, "Share System Interrupt", 0);
    ASSERT_EQ(STATUS_SUCCESS, StartPort(port->DeviceObject, nullptr, nullptr));
    EXPECT_THAT(SettingsOf(port), ElementsAre(Pair("PortIndex", 2u), Pair("MultiportDevice", 1u), kRelinquish, kShare));
}

// The first write that fails ends the sequence with its status; the key is
// closed on every path (the fixture fails a test that leaves it open).
TEST_F(PortServices, AFailingWriteStopsTheSequenceAndTheKeyIsClosed)
{
    Identify(PB8A);
    ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
    const PortExtension *port = Ports()[2];
    const Settings all = {
        {"PortIndex", 3}, {"MultiportDevice", 1}, kRelinquish, kShare};
    for (unsigned failing = 1; failing <= 4; ++failing) {
        SCOPED_TRACE("failing write " + std::to_string(failing));
        hk::reg::Reset();
        hk::ResetFaults();
        hk::FailNthCall(hk::Service::RegistryWrite, failing);
        EXPECT_EQ(STATUS_ACCESS_DENIED, StartPort(port->DeviceObject, nullptr, nullptr));
        EXPECT_EQ(failing, hk::CallCount(hk::Service::RegistryWrite));
        EXPECT_EQ(Settings(all.begin(), all.begin() + failing - 1), SettingsOf(port));
        EXPECT_EQ(0u, hk::reg::OpenHandleCount());
    }
    hk::ResetFaults();
}

TEST_F(PortServices, AKeyThatCannotBeOpenedWritesNothing)
{
    Identify(PB4A);
    ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
    FailNext(hk::Service::RegistryOpen);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, StartPort(Ports()[0]->DeviceObject, nullptr, nullptr));
    EXPECT_EQ(0u, hk::CallCount(hk::Service::RegistryWrite));
    EXPECT_TRUE(SettingsOf(Ports()[0]).empty());

    // A device the PnP manager has no node for has no key.
    hk::ResetFaults();
    hk::SetPnpHooks(hk::PnpHooks());
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, StartPort(Ports()[0]->DeviceObject, nullptr, nullptr));
    EXPECT_EQ(0u, hk::CallCount(hk::Service::RegistryWrite));
}

// ------------------------------------------------------------- deletion
TEST_F(PortServices, DeletionTakesEveryPortAndStringAndMayRunAgain)
{
    EXPECT_EQ(STATUS_SUCCESS, DeletePortDevices(board_));
    Identify(PB8A);
    ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
    ASSERT_EQ(9u, hk::LiveDeviceCount());
    EXPECT_EQ(STATUS_SUCCESS, DeletePortDevices(board_));
    EXPECT_TRUE(IsListEmpty(&Board()->ChildList));
    EXPECT_EQ(1u, hk::LiveDeviceCount());
    EXPECT_EQ(0u, hk::LivePool().size());
    EXPECT_EQ(STATUS_SUCCESS, DeletePortDevices(board_));
    EXPECT_EQ(1u, hk::LiveDeviceCount());
}

// A port's requests routed as the bus driver routes them: a port that
// outlived its board is answered on its own, any other is noted and, here,
// simply succeeds.
NTSTATUS NTAPI RoutePortRequest(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsOrphanPort(device)) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) return DispatchOrphanPortPower(irp);
        return DispatchOrphanPortPnp(device, irp);
    }
    NotePortRequest(device, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS Pnp(PDEVICE_OBJECT device, UCHAR minor)
{
    return hk::SendIrpSync(device, IRP_MJ_PNP, minor, [](PIO_STACK_LOCATION) {});
}

// Windows sends the removal of a port that was surprise-removed alone, and
// is still open, after its board's. Until then the port keeps its strings
// and answers without the board, whose extension is gone.
TEST_F(PortServices, APortAwaitingItsOwnRemovalOutlivesItsBoard)
{
    Identify(PB4A);
    ASSERT_EQ(STATUS_SUCCESS, CreatePortDevices(board_));
    driver_->MajorFunction[IRP_MJ_PNP] = RoutePortRequest;
    driver_->MajorFunction[IRP_MJ_POWER] = RoutePortRequest;
    PortExtension *pending = Ports()[1];
    PDEVICE_OBJECT orphan = pending->DeviceObject;
    PDEVICE_OBJECT removedAlready = Ports()[2]->DeviceObject;
    ASSERT_EQ(STATUS_SUCCESS, Pnp(orphan, IRP_MN_SURPRISE_REMOVAL));
    ASSERT_EQ(STATUS_SUCCESS, Pnp(removedAlready, IRP_MN_SURPRISE_REMOVAL));
    ASSERT_EQ(STATUS_SUCCESS, Pnp(removedAlready, IRP_MN_REMOVE_DEVICE));

    EXPECT_EQ(STATUS_SUCCESS, DeletePortDevices(board_));
    EXPECT_TRUE(IsListEmpty(&Board()->ChildList));
    ASSERT_EQ(2u, hk::LiveDeviceCount()) << "the board and the port awaiting its removal";
    EXPECT_TRUE(IsOrphanPort(orphan));
    EXPECT_EQ(nullptr, pending->ParentBoard);
    EXPECT_EQ(&pending->ChildLink, pending->ChildLink.Flink) << "unlinked from the list that goes with the board";
    EXPECT_EQ(3u, hk::LivePool().size()) << "its three strings";
    IoDeleteDevice(board_);
    board_ = nullptr;

    const struct {
        UCHAR major, minor;
        NTSTATUS expected;
    } requests[] = {
        {IRP_MJ_PNP, IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED},  // not answered: the status it came with
        {IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_NO_SUCH_DEVICE},
        {IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},
        {IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_SUCCESS},
    };
    for (const auto &request : requests) {
        SCOPED_TRACE(int(request.minor));
        EXPECT_EQ(request.expected, hk::SendIrpSync(orphan, request.major, request.minor, [](PIO_STACK_LOCATION) {}));
    }
    ULONG_PTR information = 0;
    ASSERT_EQ(STATUS_SUCCESS, hk::SendIrpSync(orphan, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                                              [](PIO_STACK_LOCATION stack) {
                                                  stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
                                              },
                                              &information));
    auto *target = reinterpret_cast<PDEVICE_RELATIONS>(information);
    ASSERT_EQ(1u, target->Count);
    EXPECT_EQ(orphan, target->Objects[0]);
    ObDereferenceObject(target->Objects[0]);
    ExFreePool(target);

    EXPECT_EQ(STATUS_SUCCESS, Pnp(orphan, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(0u, hk::LiveDeviceCount());
    EXPECT_EQ(0u, hk::LivePool().size());
}

}  // namespace
}  // namespace portstest
