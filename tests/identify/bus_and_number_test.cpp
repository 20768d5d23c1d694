// How identification finds the bus (the legacy bus type, or the root
// enumerator), and how boards are numbered per model: independently, never
// giving a number back, keeping the first number across a restart.
#include "identify_fixture.h"

namespace identifytest {
namespace {

const char kPb2a[] = "PCI\\VEN_7A3E&DEV_0020";
const char kPb4a[] = "PCI\\VEN_7A3E&DEV_0010";

TEST_F(IdentifyTest, ARootEnumeratedBoardIsAnIsaBoard)
{
    TestBoard first, second;
    RootBoard({"VELMORA_ISA_SERIAL_IB8AY"});
    ASSERT_EQ(Identify(first), STATUS_SUCCESS);
    ASSERT_EQ(Identify(second), STATUS_SUCCESS);
    EXPECT_EQ(first.extension.BusType, 1u);
    EXPECT_EQ(first.extension.ModelIndex, 16u);
    EXPECT_EQ(first.extension.PortCount, 8u);
    EXPECT_EQ(first.extension.OemFlavour, 0u);
    EXPECT_EQ(first.Number(), "1");
    EXPECT_EQ(second.Number(), "2");
    EXPECT_EQ(reads.front().property, DevicePropertyLegacyBusType);
    EXPECT_EQ(reads[1].property, DevicePropertyEnumeratorName);
    EXPECT_EQ(reads[1].bufferLength, 80u);
}

TEST_F(IdentifyTest, AnIsaBusBoardNeedsNoEnumeratorName)
{
    TestBoard board;
    RootBoard({"VELMORA_ISA_SERIAL_IB4BY"});
    legacyBusType = ULONG(Isa);
    enumeratorName.reset();
    ASSERT_EQ(Identify(board), STATUS_SUCCESS);
    EXPECT_EQ(board.extension.ModelIndex, 14u);
    for (const PropertyRead &read : reads) EXPECT_NE(read.property, DevicePropertyEnumeratorName);
}

TEST_F(IdentifyTest, WithoutALegacyBusOnlyTheRootEnumeratorWillDo)
{
    TestBoard board;
    RootBoard({"VELMORA_ISA_SERIAL_IB8AY"});
    enumeratorName = WideString("ROOTX");
    EXPECT_EQ(Identify(board), STATUS_UNSUCCESSFUL);
    enumeratorName = WideString("PCI");
    EXPECT_EQ(Identify(board), STATUS_UNSUCCESSFUL);
    for (const PropertyRead &read : reads) EXPECT_NE(read.property, DevicePropertyHardwareID);

    // No enumerator name either: the read's own status.
    enumeratorName.reset();
    EXPECT_EQ(Identify(board), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(board.Number(), "");
}

TEST_F(IdentifyTest, ABusOtherThanIsaPciOrPcmciaIsRefusedBeforeItsIdsAreRead)
{
    for (INTERFACE_TYPE bus : {Internal, Eisa, MicroChannel, TurboChannel, PNPISABus}) {
        SCOPED_TRACE(int(bus));
        TestBoard board;
        PciBoard({kPb4a});
        legacyBusType = ULONG(bus);
        EXPECT_EQ(Identify(board), STATUS_UNSUCCESSFUL);
        for (const PropertyRead &read : reads) EXPECT_NE(read.property, DevicePropertyHardwareID);
    }
}

TEST_F(IdentifyTest, ModelsAreNumberedIndependently)
{
    TestBoard pb2a, pb4a, secondPb4a, secondPb2a;
    PciBoard({kPb2a});
    ASSERT_EQ(Identify(pb2a), STATUS_SUCCESS);
    PciBoard({kPb4a});
    ASSERT_EQ(Identify(pb4a), STATUS_SUCCESS);
    ASSERT_EQ(Identify(secondPb4a), STATUS_SUCCESS);
    PciBoard({kPb2a});
    ASSERT_EQ(Identify(secondPb2a), STATUS_SUCCESS);
    EXPECT_EQ(pb2a.Number(), "1");
    EXPECT_EQ(pb4a.Number(), "1");
    EXPECT_EQ(secondPb4a.Number(), "2");
    EXPECT_EQ(secondPb2a.Number(), "2");
    EXPECT_EQ(ModelCounters[0], 3u);
    EXPECT_EQ(ModelCounters[2], 3u);
}

TEST_F(IdentifyTest, ARestartedBoardKeepsItsNumberAndANewBoardTakesTheNext)
{
    TestBoard board;
    PciBoard({kPb4a});
    ASSERT_EQ(Identify(board), STATUS_SUCCESS);
    ASSERT_EQ(board.Number(), "1");

    // Started again after a stop: identified anew, same number, no draw.
    board.extension.OemFlavour = 2;
    ASSERT_EQ(Identify(board), STATUS_SUCCESS);
    EXPECT_EQ(board.Number(), "1");
    EXPECT_EQ(board.extension.OemFlavour, 0u) << "the rest is decided again";
    EXPECT_EQ(ModelCounters[2], 2u);

    // Removed and added again, a board is a new board.
    TestBoard again;
    ASSERT_EQ(Identify(again), STATUS_SUCCESS);
    EXPECT_EQ(again.Number(), "2");
}

TEST_F(IdentifyTest, ANumberOfFiveDigitsFailsAfterTheCounterMoved)
{
    ModelCounters[16] = 9999;
    RootBoard({"VELMORA_ISA_SERIAL_IB8AY"});
    TestBoard last, tooMany;
    ASSERT_EQ(Identify(last), STATUS_SUCCESS);
    EXPECT_EQ(last.Number(), "9999");

    EXPECT_EQ(Identify(tooMany), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tooMany.Number(), "");
    EXPECT_EQ(ModelCounters[16], 10001u);
    // Model and ports were set before the number was drawn.
    EXPECT_EQ(tooMany.extension.ModelIndex, 16u);
}

}  // namespace
}  // namespace identifytest
