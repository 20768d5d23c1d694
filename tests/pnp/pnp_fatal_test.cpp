// What stops Windows' Plug and Play manager cold (bug check 0xCA) and what
// it refuses on the way: duplicate children, IDs it cannot take, a device
// object passed where a PDO belongs, a device left initializing by AddDevice.
#include "pnp_fixture.h"

#include <gmock/gmock.h>

using pnptest::BehaviourOf;
using ::testing::Contains;

namespace {

const char kBus[] = "TEST\\BUS";

// A multi-string literal with its final NUL: "a\0b\0" and the array's own.
template <size_t N>
std::u16string Multi(const char16_t (&text)[N])
{
    return std::u16string(text, N);
}

// The second line of the stop as a debugger shows it: the four parameters.
std::string StopWith(const char *first, const char *fourth)
{
    return std::string("\\(") + first + ", 0x[0-9A-F]+, 0x[0-9A-F]+, " + fourth + "\\) PNP_DETECTED_FATAL_ERROR";
}

TEST_F(PnpTest, TwoChildrenWithOneNameStopTheMachineWhateverTheirUniqueness)
{
    pnptest::SetChildCount(2);
    pnptest::SetChildIds("TESTBUS\\CHILD", [](unsigned) { return std::string("7"); });
    EXPECT_DEATH(pnp->PlugBoard(Board(kBus)), StopWith("0x1", "0x0"));
    // Without UniqueID both get the same parent prefix: still one name.
    pnptest::SetChildrenUnique(false);
    EXPECT_DEATH(pnp->PlugBoard(Board(kBus)), StopWith("0x1", "0x0"));
}

TEST_F(PnpTest, ChildWithoutUniqueIdIsNamedAfterItsParent)
{
    pnptest::SetChildCount(2);
    pnptest::SetChildrenUnique(false);
    sim::DeviceNode *bus = pnp->PlugBoard(Board(kBus));
    ASSERT_EQ(bus->children.size(), 2u);
    // "<parent level>&<CRC-32 of the parent's UTF-16 instance path>&<instance ID>"
    EXPECT_EQ(bus->children[0]->instancePath, "TESTBUS\\CHILD\\1&87cb1530&0");
    EXPECT_EQ(bus->children[1]->instancePath, "TESTBUS\\CHILD\\1&87cb1530&1");
    hk::reg::Value prefix;
    ASSERT_TRUE(hk::reg::GetValue("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\TEST\\BUS\\3&1&0",
                                  "ParentIdPrefix", &prefix));
    EXPECT_EQ(prefix.type, ULONG(REG_SZ));
    EXPECT_EQ(bus->children[0]->state, sim::NodeState::Started);
}

struct BadId {
    const char *what;
    std::string deviceId, instanceId;
    std::u16string hardwareIds;  // empty: the usual one
    const char *typeParameter;   // 1 device, 2 instance, 3 hardware IDs
};

TEST_F(PnpTest, IdsWindowsRefusesStopTheMachineWithTheirType)
{
    const std::string tooLong(200, 'A');  // MAX_DEVICE_ID_LEN counts the NUL
    const BadId cases[] = {
        {"comma in a device ID", "TESTBUS\\CHILD,1", "0", u"", "0x1"},
        {"no enumerator", "TESTBUS_CHILD", "0", u"", "0x1"},
        {"two backslashes", "TESTBUS\\CHILD\\X", "0", u"", "0x1"},
        {"device ID of 200 characters", "TESTBUS\\" + tooLong.substr(8), "0", u"", "0x1"},
        {"backslash in an instance ID", "TESTBUS\\CHILD", "0\\1", u"", "0x2"},
        {"control character", "TESTBUS\\CHILD", "0\t", u"", "0x2"},
        {"instance ID of 200 characters", "TESTBUS\\CHILD", tooLong, u"", "0x2"},
        {"non-ASCII hardware ID", "TESTBUS\\CHILD", "0", Multi(u"TESTBUS\\CHILD_HW\0TESTBUS\\\u00e9\0"), "0x3"},
    };
    for (const BadId &c : cases) {
        SCOPED_TRACE(c.what);
        pnptest::SetChildCount(1);
        const std::string instance = c.instanceId;
        pnptest::SetChildIds(c.deviceId, [instance](unsigned) { return instance; });
        pnptest::SetChildHardwareIds(c.hardwareIds);
        EXPECT_DEATH(pnp->PlugBoard(Board(kBus)), StopWith("0x3", c.typeParameter));
    }
}

TEST_F(PnpTest, IdsAtTheEdgeOfTheRulesPassAndSpacesBecomeUnderscores)
{
    // Where the pages disagree the looser rule holds: a space is accepted
    // (and rewritten), and hardware IDs may hold more than one backslash.
    pnptest::SetChildCount(1);
    pnptest::SetChildIds("TESTBUS\\CHILD", [](unsigned) { return std::string(199, 'B'); });
    pnptest::SetChildHardwareIds(Multi(u"TESTBUS\\CHILD_HW\0A\\B\\C D\0"));
    sim::DeviceNode *bus = pnp->PlugBoard(Board(kBus));
    ASSERT_EQ(bus->children.size(), 1u);
    EXPECT_EQ(bus->children[0]->instanceId, std::string(199, 'B'));
    EXPECT_THAT(bus->children[0]->hardwareIds, Contains("A\\B\\C_D"));
    EXPECT_EQ(bus->children[0]->state, sim::NodeState::Started);

    pnp->ShutDown();
    pnptest::Reset();
    pnptest::SetChildCount(1);
    pnptest::SetChildIds("TESTBUS\\CHILD", [](unsigned) { return std::string("PORT 1"); });
    EXPECT_EQ(pnp->PlugBoard(Board(kBus))->children.back()->instancePath, "TESTBUS\\CHILD\\PORT_1");
}

TEST_F(PnpTest, ServicesThatTakeAPdoStopOnAnyOtherDevice)
{
    BehaviourOf("tfunc").readPropertyOfOwnDevice = true;
    EXPECT_DEATH(pnp->PlugBoard(Board("TEST\\BOARD")), StopWith("0x2", "0x0"));
    BehaviourOf("tfunc").readPropertyOfOwnDevice = false;

    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\BOARD"));
    ASSERT_EQ(node->state, sim::NodeState::Started);
    PDEVICE_OBJECT function = hk::DriverOf("tfunc")->DeviceObject;
    HANDLE key = nullptr;
    EXPECT_DEATH(IoOpenDeviceRegistryKey(function, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), StopWith("0x2", "0x0"));
    EXPECT_DEATH(IoInvalidateDeviceRelations(function, BusRelations), StopWith("0x2", "0x0"));
    EXPECT_DEATH(IoInvalidateDeviceState(function), StopWith("0x2", "0x0"));
    // The PDO itself is fine for all of them.
    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(node->pdo, DevicePropertyHardwareID, 0, nullptr, &needed), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(IoOpenDeviceRegistryKey(node->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(PnpTest, InvalidatedBusRelationsAreQueriedAgain)
{
    pnptest::SetChildCount(1);
    sim::DeviceNode *bus = pnp->PlugBoard(Board(kBus));
    pnp->ClearRequests();
    pnptest::SetChildCount(2);
    IoInvalidateDeviceRelations(bus->pdo, BusRelations);
    EXPECT_TRUE(pnp->Requests().empty()) << "queued, not run inside the caller";
    pnp->Restart(bus);  // the manager's next piece of work picks it up
    EXPECT_EQ(bus->children.size(), 2u);
}

TEST_F(PnpTest, AddDeviceLeavingItsDeviceInitializingIsReportedAndBlocksTheNextDriver)
{
    BehaviourOf("tlower").leaveInitializing = true;
    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\BOARD"));
    ASSERT_EQ(ExpectViolation("DEVICE_STILL_INITIALIZING"), 1u);
    // The function driver could not attach above it: the node fails and its
    // stack is taken down again.
    EXPECT_EQ(node->state, sim::NodeState::Failed);
    EXPECT_EQ(node->status, STATUS_NO_SUCH_DEVICE);
    EXPECT_THAT(EventsOf({"tupper"}), ::testing::Not(Contains("tupper AddDevice")));
    EXPECT_EQ(hk::DriverOf("tlower"), nullptr);
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);  // the board's PDO only
}

// A lower filter between the function driver and the PDO: a function
// driver that forwards to the PDO instead of the device it attached to goes
// around it, and the board does not start.
TEST_F(PnpTest, StartThatGoesAroundTheLowerFilterFails)
{
    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\FILTERED"));
    ASSERT_EQ(node->state, sim::NodeState::Started);
    EXPECT_EQ(node->lowerFilters, std::vector<std::string>{"hklower"});
    pnp->ShutDown();

    BehaviourOf("tfunc").forwardToPdo = true;
    sim::BoardDescription moved = Board("TEST\\FILTERED");
    node = pnp->PlugBoard(moved);
    EXPECT_EQ(node->state, sim::NodeState::Failed);
    EXPECT_EQ(node->status, STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
