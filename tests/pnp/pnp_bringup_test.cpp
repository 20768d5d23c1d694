// A new device node: the order of requests, the resources its start
// carries, and who owns what the drivers hand over.
#include "pnp_fixture.h"
#include "pnp_resources.h"

#include <gmock/gmock.h>

#include <algorithm>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using pnptest::BehaviourOf;
using pnptest::FilterAnswer;

namespace {

const std::string kBoard = "TEST\\BOARD\\3&1&0";

TEST_F(PnpTest, PdoIsQueriedBeforeDriversLoadAndStackIsBuiltBottomUp)
{
    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\BOARD"));
    ASSERT_EQ(node->state, sim::NodeState::Started);
    EXPECT_EQ(node->instancePath, kBoard);

    // The PDO alone first: device ID, capabilities (UniqueID shapes the
    // instance path), instance ID, then the rest of its identity; after the
    // first start the capabilities again and the device state.
    EXPECT_THAT(Sent(), ElementsAre(kBoard + " IRP_MN_QUERY_ID BusQueryDeviceID", kBoard + " IRP_MN_QUERY_CAPABILITIES",
                                    kBoard + " IRP_MN_QUERY_ID BusQueryInstanceID",
                                    kBoard + " IRP_MN_QUERY_ID BusQueryHardwareIDs",
                                    kBoard + " IRP_MN_QUERY_ID BusQueryCompatibleIDs",
                                    kBoard + " IRP_MN_QUERY_DEVICE_TEXT DeviceTextDescription",
                                    kBoard + " IRP_MN_QUERY_DEVICE_TEXT DeviceTextLocationInformation",
                                    kBoard + " IRP_MN_QUERY_BUS_INFORMATION", kBoard + " IRP_MN_QUERY_RESOURCES",
                                    kBoard + " IRP_MN_QUERY_RESOURCE_REQUIREMENTS", kBoard + " DriverEntry tlower",
                                    kBoard + " DriverEntry tfunc", kBoard + " DriverEntry tupper",
                                    kBoard + " AddDevice tlower", kBoard + " AddDevice tfunc",
                                    kBoard + " AddDevice tupper", kBoard + " IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                    kBoard + " IRP_MN_START_DEVICE", kBoard + " IRP_MN_QUERY_CAPABILITIES",
                                    kBoard + " IRP_MN_QUERY_PNP_DEVICE_STATE",
                                    kBoard + " IRP_MN_QUERY_DEVICE_RELATIONS BusRelations"));
    // Every request after AddDevice enters at the top of the stack.
    EXPECT_THAT(EventsOf({"tlower", "tfunc", "tupper"}),
                ElementsAre("tlower DriverEntry", "tfunc DriverEntry", "tupper DriverEntry", "tlower AddDevice",
                            "tfunc AddDevice", "tupper AddDevice", "tupper IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                            "tfunc IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "tlower IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                            "tupper IRP_MN_START_DEVICE", "tfunc IRP_MN_START_DEVICE", "tlower IRP_MN_START_DEVICE",
                            "tupper IRP_MN_QUERY_CAPABILITIES", "tfunc IRP_MN_QUERY_CAPABILITIES",
                            "tlower IRP_MN_QUERY_CAPABILITIES", "tupper IRP_MN_QUERY_PNP_DEVICE_STATE",
                            "tfunc IRP_MN_QUERY_PNP_DEVICE_STATE", "tlower IRP_MN_QUERY_PNP_DEVICE_STATE",
                            "tupper IRP_MN_QUERY_DEVICE_RELATIONS BusRelations",
                            "tfunc IRP_MN_QUERY_DEVICE_RELATIONS BusRelations",
                            "tlower IRP_MN_QUERY_DEVICE_RELATIONS BusRelations"));
}

TEST_F(PnpTest, StartCarriesTheBoardRangesRawAndTranslated)
{
    pnp->PlugBoard(Board("TEST\\BOARD"));
    const pnptest::Behaviour &seen = BehaviourOf("tlower");

    // The requirements went down in IoStatus.Information and the parameters.
    EXPECT_NE(seen.filterInformation, 0u);
    EXPECT_EQ(seen.filterInformation, reinterpret_cast<ULONG_PTR>(seen.filterParameter));

    ASSERT_EQ(seen.raw.size(), 3u);
    EXPECT_EQ(seen.raw[0].Type, CmResourceTypePort);
    EXPECT_EQ(hk::test::StartOf(seen.raw[0]), 0x380);
    EXPECT_EQ(seen.raw[0].u.Port.Length, 128u);
    EXPECT_EQ(seen.raw[0].Flags, CM_RESOURCE_PORT_IO);
    EXPECT_EQ(hk::test::StartOf(seen.raw[1]), 0x300);
    EXPECT_EQ(seen.raw[1].u.Port.Length, 0x20u);
    EXPECT_EQ(seen.raw[2].Type, CmResourceTypeInterrupt);
    EXPECT_EQ(seen.raw[2].ShareDisposition, CmResourceShareShared);
    EXPECT_EQ(seen.raw[2].Flags, CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
    EXPECT_EQ(seen.raw[2].u.Interrupt.Vector, 5u);
    EXPECT_EQ(seen.raw[2].u.Interrupt.Level, 5u);

    ASSERT_EQ(seen.translated.size(), 3u);
    EXPECT_EQ(seen.translated[1].Type, CmResourceTypePort);
    EXPECT_EQ(hk::test::StartOf(seen.translated[1]), 0x300);
    EXPECT_EQ(seen.translated[2].u.Interrupt.Vector, 0x35u);
    EXPECT_EQ(seen.translated[2].u.Interrupt.Level, 22u);
    // The lists the manager lent the start are its own again, and freed.
    EXPECT_EQ(hk::LivePool().size(), 0u);
}

TEST_F(PnpTest, IoReachedThroughMemoryTranslatesToMemorySpacePorts)
{
    // The board decodes I/O ports; the machine reaches them through memory:
    // the raw list stays I/O, the translated one holds the same ranges as
    // ports in memory space at the host bridge's window.
    sim::BoardDescription board = Board("TEST\\BOARD", sim::BusKind::Pci);
    board.resources.inMemorySpace = true;
    pnp->PlugBoard(board);
    const pnptest::Behaviour &seen = BehaviourOf("tlower");
    ASSERT_EQ(seen.raw.size(), 3u);
    ASSERT_EQ(seen.translated.size(), 3u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen.raw[i].Type, CmResourceTypePort);
        EXPECT_EQ(seen.raw[i].Flags, CM_RESOURCE_PORT_IO);
        EXPECT_EQ(seen.translated[i].Type, CmResourceTypePort);
        EXPECT_EQ(seen.translated[i].Flags, CM_RESOURCE_PORT_MEMORY);
        EXPECT_EQ(hk::test::StartOf(seen.translated[i]),
                  LONGLONG(sim::kMemoryMappedIoWindow) + seen.raw[i].u.Port.Start.QuadPart);
        EXPECT_EQ(seen.translated[i].u.Port.Length, seen.raw[i].u.Port.Length);
    }
    EXPECT_EQ(hk::test::StartOf(seen.raw[0]), 0x380) << "the bridge range";
    EXPECT_EQ(hk::test::StartOf(seen.raw[1]), 0x300) << "the UART range";
    EXPECT_EQ(seen.translated[2].Type, CmResourceTypeInterrupt);
}

TEST_F(PnpTest, ARangeTheDeviceDecodesInMemoryTranslatesToMemory)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR raw{};
    raw.Type = CmResourceTypePort;
    raw.Flags = CM_RESOURCE_PORT_MEMORY;
    raw.u.Port.Start.QuadPart = 0xFEB00000;
    raw.u.Port.Length = 0x20;
    for (bool ioThroughMemory : {false, true}) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR t = sim::Translate(raw, ioThroughMemory);
        EXPECT_EQ(t.Type, CmResourceTypeMemory);
        EXPECT_EQ(hk::test::StartOf(t), 0xFEB00000);
        EXPECT_EQ(t.u.Memory.Length, 0x20u);
    }
}

// Whatever a function driver does with the offered list, the manager ends
// up freeing every list exactly once: no leak, no double free.
class FilterAnswerTest : public PnpTest, public ::testing::WithParamInterface<FilterAnswer> {};

TEST_P(FilterAnswerTest, RequirementListsAreFreedOnceAndTheAnswerDecidesTheStart)
{
    BehaviourOf("tfunc").filter = GetParam();
    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\BOARD"));
    ASSERT_EQ(node->state, sim::NodeState::Started);
    const pnptest::Behaviour &lower = BehaviourOf("tlower");
    switch (GetParam()) {
    case FilterAnswer::PassDown: EXPECT_EQ(lower.raw.size(), 3u); break;
    case FilterAnswer::ReplaceWithNone:
        EXPECT_TRUE(lower.startListsNull);
        EXPECT_FALSE(node->consumesResources);
        break;
    case FilterAnswer::ReplaceKeepOld:
    case FilterAnswer::ReplaceFreeOld:
        ASSERT_EQ(lower.raw.size(), 1u);
        EXPECT_EQ(hk::test::StartOf(lower.raw[0]), 0x3F8);
        break;
    }
    EXPECT_EQ(hk::LivePool().size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Answers, FilterAnswerTest,
                         ::testing::Values(FilterAnswer::PassDown, FilterAnswer::ReplaceWithNone,
                                           FilterAnswer::ReplaceKeepOld, FilterAnswer::ReplaceFreeOld));

TEST_F(PnpTest, MissingImageLeavesTheNodeNotStarted)
{
    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\MISSING"));
    EXPECT_EQ(node->state, sim::NodeState::Failed);
    EXPECT_EQ(node->status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_THAT(node->problem, HasSubstr("no driver image"));
    EXPECT_EQ(hk::DriverOf("no_such_image"), nullptr);
    for (const std::string &line : Sent()) EXPECT_THAT(line, ::testing::Not(HasSubstr("START")));
}

TEST_F(PnpTest, UnboundHardwareHasNoDriver)
{
    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\NOBODY"));
    EXPECT_EQ(node->state, sim::NodeState::Failed);
    EXPECT_EQ(node->problem, "no driver installed");
    EXPECT_TRUE(pnptest::Events().empty());
}

TEST_F(PnpTest, FailedFirstStartRemovesTheStackAndUnloadsItsDrivers)
{
    BehaviourOf("tfunc").failStartFrom = 1;
    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\BOARD"));
    EXPECT_EQ(node->state, sim::NodeState::Failed);
    EXPECT_EQ(node->status, STATUS_DEVICE_NOT_READY);
    EXPECT_THAT(EventsOf({"tupper"}), ::testing::Contains("tupper IRP_MN_REMOVE_DEVICE"));
    EXPECT_THAT(pnptest::Events(), ::testing::Contains("tfunc Unload"));
    EXPECT_EQ(hk::DriverOf("tfunc"), nullptr);
    for (const std::string &line : Sent()) EXPECT_THAT(line, ::testing::Not(HasSubstr("BusRelations")));
}

TEST_F(PnpTest, StartNobodyCompletesIsReportedAndFailsInsteadOfHanging)
{
    BehaviourOf("tupper").loseStart = true;
    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\BOARD"));
    EXPECT_EQ(node->state, sim::NodeState::Failed);
    EXPECT_GE(ExpectViolation("IRP_NOT_COMPLETED"), 1u);
}

TEST_F(PnpTest, FailedAddDeviceTakesDownWhatWasAdded)
{
    BehaviourOf("tupper").addDevice = STATUS_INSUFFICIENT_RESOURCES;
    sim::DeviceNode *node = pnp->PlugBoard(Board("TEST\\BOARD"));
    EXPECT_EQ(node->state, sim::NodeState::Failed);
    EXPECT_EQ(node->status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_THAT(EventsOf({"tfunc", "tlower"}),
                ::testing::IsSupersetOf({"tfunc IRP_MN_REMOVE_DEVICE", "tlower IRP_MN_REMOVE_DEVICE"}));
    EXPECT_EQ(hk::DriverOf("tlower"), nullptr);
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);  // the board's PDO, still in its slot
}

TEST_F(PnpTest, OverlappingRangesOfASecondBoardAreAConflict)
{
    pnp->PlugBoard(Board("TEST\\BOARD"));
    sim::BoardDescription second = Board("TEST\\BOARD");
    second.resources.bridgeBase = 0x400;  // the UART range still collides
    sim::DeviceNode *node = pnp->PlugBoard(second);
    EXPECT_EQ(node->state, sim::NodeState::Failed);
    EXPECT_THAT(node->problem, HasSubstr("resource conflict"));
    EXPECT_EQ(BehaviourOf("tlower").starts, 1u);
}

// ------------------------------------------------------------- children
TEST_F(PnpTest, ChildrenGetNodesAndTheirAnswersAreFreed)
{
    pnptest::SetChildCount(2);
    sim::DeviceNode *bus = pnp->PlugBoard(Board("TEST\\BUS"));
    ASSERT_EQ(bus->children.size(), 2u);
    const sim::DeviceNode *child = bus->children[1];
    EXPECT_EQ(child->instancePath, "TESTBUS\\CHILD\\1");
    EXPECT_EQ(child->description, "Test child");
    EXPECT_EQ(child->location, "slot 1");
    EXPECT_EQ(child->state, sim::NodeState::Started);
    // The child's PDO was asked before its driver existed.
    const auto &events = pnptest::Events();
    const auto firstQuery = std::find(events.begin(), events.end(), "child0 IRP_MN_QUERY_CAPABILITIES");
    const auto driverLoad = std::find(events.begin(), events.end(), "tchild DriverEntry");
    EXPECT_LT(firstQuery, driverLoad);
    // ID strings, texts and the relations block all went back to the pool.
    EXPECT_EQ(hk::LivePool().size(), 0u);

    // A second report of the same children makes no new nodes, and the
    // extra references it carried are released: surprise removal of the
    // whole tree then deletes every device object.
    pnp->Enumerate(bus);
    EXPECT_EQ(bus->children.size(), 2u);
    pnp->UnplugBoard(bus);
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
    EXPECT_EQ(hk::DriverOf("tchild"), nullptr);
    EXPECT_EQ(hk::DriverOf("tbus"), nullptr);
}

TEST_F(PnpTest, ChildNoLongerReportedIsSurpriseRemovedAlone)
{
    pnptest::SetChildCount(2);
    sim::DeviceNode *bus = pnp->PlugBoard(Board("TEST\\BUS"));
    pnp->ClearRequests();
    pnptest::DropChild(1);
    pnp->Enumerate(bus);
    EXPECT_THAT(Sent(), ElementsAre("TEST\\BUS\\3&1&0 IRP_MN_QUERY_DEVICE_RELATIONS BusRelations",
                                    "TESTBUS\\CHILD\\1 IRP_MN_SURPRISE_REMOVAL", "TESTBUS\\CHILD\\1 IRP_MN_REMOVE_DEVICE"));
    EXPECT_EQ(pnptest::LiveChildren(), 1u);
    EXPECT_EQ(bus->children[1]->state, sim::NodeState::Removed);
    EXPECT_EQ(bus->children[1]->pdo, nullptr);
    EXPECT_EQ(bus->children[0]->state, sim::NodeState::Started);
    EXPECT_NE(hk::DriverOf("tchild"), nullptr);  // child 0 still uses it
}

}  // namespace
