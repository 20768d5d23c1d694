// The later life of a node: stop and restart, removal, surprise removal,
// power, and unloading drivers whose devices are gone.
#include "pnp_fixture.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using pnptest::BehaviourOf;

namespace {

const std::string kBus = "TEST\\BUS\\3&1&0";
const std::string kChild0 = "TESTBUS\\CHILD\\0";
const std::string kChild1 = "TESTBUS\\CHILD\\1";

class LifecycleTest : public PnpTest {
protected:
    void SetUp() override
    {
        PnpTest::SetUp();
        pnptest::SetChildCount(2);
        sim::BoardDescription board = Board("TEST\\BUS");
        board.resources.uartBase = 0x200;  // clear of the boards the tests add
        board.resources.bridgeBase = 0x280;
        bus = pnp->PlugBoard(board);
        ASSERT_EQ(bus->state, sim::NodeState::Started);
        ASSERT_EQ(bus->children.size(), 2u);
        pnp->ClearRequests();
    }

    std::vector<std::string> Sequence(const std::string &a, const std::string &b, const std::string &c,
                                      const char *request) const
    {
        return {a + " " + request, b + " " + request, c + " " + request};
    }

    sim::DeviceNode *bus = nullptr;
};

TEST_F(LifecycleTest, StopQueriesChildrenFirstAndCancelsWhereNothingIsHeld)
{
    ASSERT_TRUE(pnp->Stop(bus));
    // The children consume no resources: they are not stopped.
    EXPECT_THAT(Sent(), ElementsAre(kChild0 + " IRP_MN_QUERY_STOP_DEVICE", kChild1 + " IRP_MN_QUERY_STOP_DEVICE",
                                    kBus + " IRP_MN_QUERY_STOP_DEVICE", kChild0 + " IRP_MN_CANCEL_STOP_DEVICE",
                                    kChild1 + " IRP_MN_CANCEL_STOP_DEVICE", kBus + " IRP_MN_STOP_DEVICE"));
    EXPECT_EQ(bus->state, sim::NodeState::Stopped);
    EXPECT_EQ(bus->children[0]->state, sim::NodeState::Started);

    pnp->ClearRequests();
    ASSERT_TRUE(pnp->Restart(bus));
    EXPECT_THAT(Sent(), ElementsAre(kBus + " IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                    kBus + " IRP_MN_FILTER_RESOURCE_REQUIREMENTS", kBus + " IRP_MN_START_DEVICE",
                                    kBus + " IRP_MN_QUERY_DEVICE_RELATIONS BusRelations"));
    EXPECT_EQ(bus->state, sim::NodeState::Started);
    EXPECT_EQ(hk::LivePool().size(), 0u);
}

TEST_F(LifecycleTest, StoppedChildrenStartAgainAfterTheirParent)
{
    // Children that do hold resources are stopped, and restarted after the bus.
    BehaviourOf("tchild").filter = pnptest::FilterAnswer::ReplaceFreeOld;
    pnptest::SetChildCount(3);
    pnp->Enumerate(bus);  // a third child, started with a resource of its own
    ASSERT_EQ(bus->children.size(), 3u);
    sim::DeviceNode *third = bus->children[2];
    ASSERT_EQ(third->state, sim::NodeState::Started);
    pnp->ClearRequests();

    ASSERT_TRUE(pnp->Stop(bus));
    EXPECT_EQ(third->state, sim::NodeState::Stopped);
    pnp->ClearRequests();
    ASSERT_TRUE(pnp->Restart(bus));
    std::vector<std::string> starts;
    for (const std::string &line : Sent())
        if (line.find("START") != std::string::npos) starts.push_back(line);
    EXPECT_THAT(starts, ElementsAre(kBus + " IRP_MN_START_DEVICE", "TESTBUS\\CHILD\\2 IRP_MN_START_DEVICE"));
    EXPECT_EQ(third->state, sim::NodeState::Started);
}

TEST_F(LifecycleTest, VetoedQueryStopIsCancelledForEveryNodeAsked)
{
    BehaviourOf("tbus").vetoQueryStop = true;
    EXPECT_FALSE(pnp->Stop(bus));
    EXPECT_THAT(Sent(), ElementsAre(kChild0 + " IRP_MN_QUERY_STOP_DEVICE", kChild1 + " IRP_MN_QUERY_STOP_DEVICE",
                                    kBus + " IRP_MN_QUERY_STOP_DEVICE", kChild0 + " IRP_MN_CANCEL_STOP_DEVICE",
                                    kChild1 + " IRP_MN_CANCEL_STOP_DEVICE", kBus + " IRP_MN_CANCEL_STOP_DEVICE"));
    EXPECT_EQ(bus->state, sim::NodeState::Started);
}

TEST_F(LifecycleTest, QueryThenCancelLeavesEverythingRunning)
{
    EXPECT_TRUE(pnp->QueryStopThenCancel(bus));
    EXPECT_TRUE(pnp->QueryRemoveThenCancel(bus));
    EXPECT_EQ(Sent().size(), 12u);
    EXPECT_EQ(Sent().back(), kBus + " IRP_MN_CANCEL_REMOVE_DEVICE");
    EXPECT_EQ(bus->state, sim::NodeState::Started);
    EXPECT_EQ(pnptest::LiveChildren(), 2u);
}

TEST_F(LifecycleTest, RebalanceHandsTheBoardItsNewRanges)
{
    sim::BoardDescription moved = Board("TEST\\BOARD");
    sim::DeviceNode *board = pnp->PlugBoard(moved);
    ASSERT_EQ(board->state, sim::NodeState::Started);
    moved.resources.uartBase = 0x500;
    moved.resources.bridgeBase = 0x580;
    ASSERT_TRUE(pnp->Rebalance(board, &moved.resources));
    const pnptest::Behaviour &lower = BehaviourOf("tlower");
    EXPECT_EQ(lower.starts, 2u);
    ASSERT_EQ(lower.raw.size(), 3u);
    EXPECT_EQ(hk::test::StartOf(lower.raw[0]), 0x580);
    EXPECT_EQ(hk::test::StartOf(lower.raw[1]), 0x500);
    EXPECT_EQ(hk::test::StartOf(board->raw[1]), 0x500);
}

TEST_F(LifecycleTest, RestartThatFailsSurpriseRemovesTheNode)
{
    BehaviourOf("tfunc").failStartFrom = 2;
    sim::DeviceNode *board = pnp->PlugBoard(Board("TEST\\BOARD", sim::BusKind::Pcmcia));
    ASSERT_EQ(board->state, sim::NodeState::Started);
    pnp->ClearRequests();
    pnptest::Events().clear();

    EXPECT_FALSE(pnp->Rebalance(board));
    EXPECT_EQ(board->state, sim::NodeState::Failed);
    EXPECT_EQ(board->status, STATUS_DEVICE_NOT_READY);
    EXPECT_THAT(EventsOf({"tupper"}),
                ElementsAre("tupper IRP_MN_QUERY_STOP_DEVICE", "tupper IRP_MN_STOP_DEVICE",
                            "tupper IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "tupper IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "tupper IRP_MN_START_DEVICE",
                            "tupper IRP_MN_SURPRISE_REMOVAL", "tupper IRP_MN_REMOVE_DEVICE", "tupper Unload"));
    EXPECT_EQ(hk::DriverOf("tfunc"), nullptr);
}

TEST_F(LifecycleTest, RemovalQueriesAndRemovesChildrenFirstThenUnloads)
{
    ASSERT_TRUE(pnp->Remove(bus));
    std::vector<std::string> expected = Sequence(kChild0, kChild1, kBus, "IRP_MN_QUERY_REMOVE_DEVICE");
    for (const std::string &line : Sequence(kChild0, kChild1, kBus, "IRP_MN_REMOVE_DEVICE")) expected.push_back(line);
    expected.push_back(" DriverUnload tbus");
    expected.push_back(" DriverUnload tchild");
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(bus->state, sim::NodeState::Removed);
    EXPECT_EQ(pnptest::LiveChildren(), 0u);
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);  // the board's PDO: the board is still in its slot
    pnp->ShutDown();
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

TEST_F(LifecycleTest, VetoedRemovalIsCancelled)
{
    BehaviourOf("tchild").vetoQueryRemove = true;
    EXPECT_FALSE(pnp->Remove(bus));
    EXPECT_THAT(Sent(), ElementsAre(kChild0 + " IRP_MN_QUERY_REMOVE_DEVICE", kChild0 + " IRP_MN_CANCEL_REMOVE_DEVICE"));
    EXPECT_EQ(bus->state, sim::NodeState::Started);
}

TEST_F(LifecycleTest, SurpriseRemovalReachesChildrenFirstThenRemovalFollows)
{
    pnp->UnplugBoard(bus);
    std::vector<std::string> expected = Sequence(kChild0, kChild1, kBus, "IRP_MN_SURPRISE_REMOVAL");
    for (const std::string &line : Sequence(kChild0, kChild1, kBus, "IRP_MN_REMOVE_DEVICE")) expected.push_back(line);
    expected.push_back(" DriverUnload tbus");
    expected.push_back(" DriverUnload tchild");
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
    EXPECT_EQ(bus->pdo, nullptr);
    // Each stack heard the surprise removal before its removal, top down.
    EXPECT_THAT(EventsOf({"tbus"}), ::testing::IsSupersetOf({"tbus IRP_MN_SURPRISE_REMOVAL", "tbus Unload"}));
}

TEST_F(LifecycleTest, PdoOfABoardThatLeftOutlivesTheDriverAboveIt)
{
    // The bus driver detaches only after the removal came back from the
    // PDO: the PDO must not be deleted under it.
    BehaviourOf("tbus").detachAfterRemoval = true;
    pnp->UnplugBoard(bus);
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

}  // namespace
