// A port's answers when the pool fails under them, through the mpsbus image
// on a board the Plug and Play manager started: every allocation a port's
// request makes (IDs, texts, its target relation, the interface's list
// copies) fails with STATUS_INSUFFICIENT_RESOURCES, hands nothing up, keeps
// no block and no reference, and the port answers the same request in full
// once the pool is back.
#include "port_nodes_fixture.h"

#include "port_bus_interface.h"

namespace portnodes {
namespace {

const char kPb4a[] = R"({"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0010"]})";

struct PortRequest {
    const char *what;
    UCHAR minor;
    std::function<void(PIO_STACK_LOCATION)> fill;
};

// The manager's side of an answer: a string or relations block to free,
// with the reference each listed device carries.
void TakeAnswer(UCHAR minor, ULONG_PTR information)
{
    if (information == 0) return;
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
        auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
        for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
    }
    ExFreePool(reinterpret_cast<PVOID>(information));
}

TEST_F(PortNodes, EachAllocationOfAPortsAnswerFailsCleanlyWithItsStatus)
{
    sim::DeviceNode *board = Plug(kPb4a);
    ASSERT_EQ(sim::NodeState::Started, board->state) << board->problem;
    ASSERT_EQ(4u, board->children.size());
    const PDEVICE_OBJECT port = board->children[1]->pdo;

    const auto id = [](BUS_QUERY_ID_TYPE type) {
        return [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; };
    };
    const auto text = [](DEVICE_TEXT_TYPE type) {
        return [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceText.DeviceTextType = type; };
    };
    const PortRequest requests[] = {
        {"device ID", IRP_MN_QUERY_ID, id(BusQueryDeviceID)},
        {"hardware IDs", IRP_MN_QUERY_ID, id(BusQueryHardwareIDs)},
        {"instance ID", IRP_MN_QUERY_ID, id(BusQueryInstanceID)},
        {"description", IRP_MN_QUERY_DEVICE_TEXT, text(DeviceTextDescription)},
        {"location", IRP_MN_QUERY_DEVICE_TEXT, text(DeviceTextLocationInformation)},
        {"target relation", IRP_MN_QUERY_DEVICE_RELATIONS,
         [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; }},
    };
    for (const PortRequest &request : requests) {
        SCOPED_TRACE(request.what);
        hk::Request sent;
        sent.minor = request.minor;
        sent.fill = request.fill;
        const size_t poolBefore = hk::LivePool().size();
        FailNext(hk::Service::Pool);
        const hk::RequestResult failed = hk::SendRequest(port, sent);
        hk::ResetFaults();
        EXPECT_TRUE(failed.completed);
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, failed.status);
        EXPECT_EQ(0u, failed.information);
        EXPECT_EQ(poolBefore, hk::LivePool().size());

        const hk::RequestResult answered = hk::SendRequest(port, sent);
        EXPECT_EQ(STATUS_SUCCESS, answered.status);
        EXPECT_NE(0u, answered.information);
        TakeAnswer(request.minor, answered.information);
    }

    // The interface's two list copies, each failing in turn.
    PortBusInterface record{};
    ASSERT_EQ(STATUS_SUCCESS, hk::SendIrpSync(port, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION stack) {
                  stack->Parameters.QueryInterface.InterfaceType = &GUID_PORT_BUS_INTERFACE;
                  stack->Parameters.QueryInterface.Size = sizeof(PortBusInterface);
                  stack->Parameters.QueryInterface.Version = 1;
                  stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&record);
              }));
    const size_t poolBefore = hk::LivePool().size();
    for (unsigned failing : {1u, 2u}) {
        SCOPED_TRACE("list copy " + std::to_string(failing));
        hk::ResetFaults();
        hk::FailNthCall(hk::Service::Pool, failing);
        PCM_RESOURCE_LIST raw = nullptr, translated = nullptr;
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, record.GetResourceLists(record.Context, &raw, &translated));
        hk::ResetFaults();
        EXPECT_EQ(nullptr, raw);
        EXPECT_EQ(nullptr, translated);
        EXPECT_EQ(poolBefore, hk::LivePool().size());
    }
    record.InterfaceDereference(record.Context);

    // No reference was left on the port: its removal frees every port device.
    ASSERT_TRUE(pnp_->Remove(board));
    EXPECT_EQ(1u, hk::LiveDeviceCount()) << "only the board's PDO, which its bus still reports";
}

}  // namespace
}  // namespace portnodes
