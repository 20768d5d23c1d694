// Power as Windows XP runs it: the power manager sends system requests, each
// stack's policy owner asks for device requests with PoRequestPowerIrp, and
// a driver that breaks the serialisation rules is reported.
#include "pnp_fixture.h"

#include <gmock/gmock.h>

#include <sstream>

using pnptest::BehaviourOf;
using ::testing::ElementsAre;

namespace {

const std::string kBus = "TEST\\BUS\\3&1&0";
const std::string kChild0 = "TESTBUS\\CHILD\\0";
const std::string kChild1 = "TESTBUS\\CHILD\\1";

class PowerTest : public PnpTest {
protected:
    void SetUp() override
    {
        PnpTest::SetUp();
        pnptest::SetChildCount(2);
        bus = pnp->PlugBoard(Board("TEST\\BUS"));
        ASSERT_EQ(bus->state, sim::NodeState::Started);
        pnp->ClearRequests();
        pnptest::Events().clear();
    }

    void OwnPolicies()
    {
        BehaviourOf("tbus").ownsPowerPolicy = true;
        BehaviourOf("tchild").ownsPowerPolicy = true;
    }

    sim::DeviceNode *bus = nullptr;
};

TEST_F(PowerTest, ManagerSendsSystemRequestsAndPolicyOwnersAskForDeviceStates)
{
    OwnPolicies();
    pnp->Sleep();
    std::vector<std::string> expected;
    for (const std::string &node : {kChild0, kChild1, kBus}) expected.push_back(node + " IRP_MN_QUERY_POWER S3");
    for (const std::string &node : {kChild0, kChild1, kBus}) expected.push_back(node + " IRP_MN_SET_POWER S3");
    EXPECT_EQ(Sent(), expected);
    // On each stack the device request follows the system request it was
    // asked for, top to bottom, children before their parent.
    EXPECT_THAT(EventsOf({"tchild", "child1", "tbus"}),
                ::testing::IsSupersetOf({"tchild IRP_MN_SET_POWER D3", "child1 IRP_MN_SET_POWER D3",
                                         "tbus IRP_MN_SET_POWER D3"}));
    const std::vector<std::string> &events = pnptest::Events();
    const auto index = [&events](const std::string &e) { return std::find(events.begin(), events.end(), e) - events.begin(); };
    EXPECT_LT(index("child1 IRP_MN_SET_POWER S3"), index("child1 IRP_MN_SET_POWER D3"));
    EXPECT_LT(index("child0 IRP_MN_SET_POWER D3"), index("tbus IRP_MN_SET_POWER S3"));
    EXPECT_EQ(bus->devicePower, PowerDeviceD3);
    EXPECT_EQ(bus->children[1]->devicePower, PowerDeviceD3);

    pnp->ClearRequests();
    pnptest::Events().clear();
    pnp->Wake();
    EXPECT_THAT(Sent(), ElementsAre(kBus + " IRP_MN_SET_POWER S0", kChild0 + " IRP_MN_SET_POWER S0",
                                    kChild1 + " IRP_MN_SET_POWER S0"));
    EXPECT_LT(index("tbus IRP_MN_SET_POWER D0"), index("tchild IRP_MN_SET_POWER S0"));
    EXPECT_LT(index("child1 IRP_MN_SET_POWER S0"), index("child1 IRP_MN_SET_POWER D0"));
    EXPECT_EQ(bus->devicePower, PowerDeviceD0);
}

TEST_F(PowerTest, WithoutAPolicyOwnerNoDeviceRequestReachesAStack)
{
    pnp->Sleep();
    for (const std::string &event : pnptest::Events())
        EXPECT_THAT(event, ::testing::Not(::testing::HasSubstr(" D3"))) << "the manager sent a device request itself";
    EXPECT_NE(bus->devicePower, PowerDeviceD3);
}

TEST_F(PowerTest, PassingDownWithoutStartingTheNextPowerIrpIsReported)
{
    OwnPolicies();
    BehaviourOf("tchild").forgetStartNextPower = true;
    pnp->Sleep();
    // Each query and each device request through the two child stacks; the
    // owner's own system request it starts in its completion routine.
    const std::vector<hk::Violation> found = hk::Violations();
    ASSERT_EQ(ExpectViolation("POWER_IRP_NEXT_NOT_STARTED"), 4u);
    std::vector<std::string> childDevices;
    for (PDEVICE_OBJECT d = hk::DriverOf("tchild")->DeviceObject; d; d = d->NextDevice) {
        std::ostringstream name;
        name << "device " << d << " ";
        childDevices.push_back(name.str());
    }
    for (const hk::Violation &v : found) {
        bool blamesChildDriver = false;
        for (const std::string &name : childDevices) blamesChildDriver |= v.detail.rfind(name, 0) == 0;
        EXPECT_TRUE(blamesChildDriver) << v.detail;
    }
}

TEST_F(PowerTest, PassingPowerIrpsWithIoCallDriverIsReported)
{
    BehaviourOf("tbus").powerWithIoCallDriver = true;
    pnp->Sleep();
    // The query and the set request to the bus's stack.
    EXPECT_EQ(ExpectViolation("POWER_IRP_SENT_WITH_IOCALLDRIVER"), 2u);
}

TEST_F(PowerTest, FromVistaOnNeitherRuleApplies)
{
    hk::SetWdmVersion(6, 0);
    OwnPolicies();
    BehaviourOf("tchild").forgetStartNextPower = true;
    BehaviourOf("tbus").powerWithIoCallDriver = true;
    pnp->Sleep();
    pnp->Wake();
    EXPECT_EQ(bus->devicePower, PowerDeviceD0);
}

// ------------------------------------------------------ PoRequestPowerIrp
struct Requested {
    int calls = 0;
    UCHAR minor = 0;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;
    PDEVICE_OBJECT device = nullptr;
};

VOID NTAPI NoteRequestDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                           PIO_STATUS_BLOCK status)
{
    auto *seen = static_cast<Requested *>(context);
    ++seen->calls;
    seen->device = device;
    seen->minor = minor;
    seen->state = state;
    seen->status = status->Status;
}

TEST_F(PowerTest, PoRequestPowerIrpSendsToTheTopAndCallsBackOnce)
{
    Requested seen;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    // Asked for the child's PDO: the request starts at the top of its stack.
    EXPECT_EQ(PoRequestPowerIrp(bus->children[0]->pdo, IRP_MN_SET_POWER, d3, NoteRequestDone, &seen, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.device, bus->children[0]->pdo);
    EXPECT_EQ(seen.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(seen.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
    EXPECT_THAT(pnptest::Events(), ElementsAre("tchild IRP_MN_SET_POWER D3", "child0 IRP_MN_SET_POWER D3"));
    EXPECT_EQ(hk::DevicePowerStateOf(bus->children[0]->pdo), PowerDeviceD3);

    EXPECT_EQ(PoRequestPowerIrp(bus->pdo, IRP_MN_POWER_SEQUENCE, d3, NoteRequestDone, &seen, nullptr),
              STATUS_INVALID_PARAMETER_2);
    FailNext(hk::Service::Irp);
    EXPECT_EQ(PoRequestPowerIrp(bus->pdo, IRP_MN_SET_POWER, d3, NoteRequestDone, &seen, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(seen.calls, 1);
}

TEST_F(PowerTest, ARequestAskedForAtDispatchLevelReachesAPagableStackAtPassiveLevel)
{
    Requested seen;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    bus->children[0]->pdo->Flags |= DO_POWER_PAGABLE;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bus->children[0]->pdo);
    top->Flags |= DO_POWER_PAGABLE;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PoRequestPowerIrp(bus->children[0]->pdo, IRP_MN_SET_POWER, d0, NoteRequestDone, &seen, nullptr),
              STATUS_PENDING);
    KeLowerIrql(old);
    hk::JoinPowerWorkers();
    ObDereferenceObject(top);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
}

// A driver that makes a power IRP of its own: only the power manager may.
TEST_F(PowerTest, PowerIrpFromIoAllocateIrpIsReported)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bus->pdo);
    ULONG_PTR information = 0;
    hk::SendIrpSync(
        top, IRP_MJ_POWER, IRP_MN_QUERY_POWER,
        [](PIO_STACK_LOCATION s) {
            s->Parameters.Power.Type = SystemPowerState;
            s->Parameters.Power.State.SystemState = PowerSystemSleeping3;
        },
        &information);
    EXPECT_EQ(ExpectViolation("POWER_IRP_NOT_REQUESTED"), 0u) << "the host's own requests are the power manager's";
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_QUERY_POWER;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = PowerDeviceD3;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PoCallDriver(top, irp);
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    EXPECT_EQ(ExpectViolation("POWER_IRP_NOT_REQUESTED"), 1u);
}

}  // namespace
