// START: the board's lists fetched through the bus interface, narrowed to the
// port's block and handed to the drivers below; the start goes down only
// when that worked, and whatever it took is given back on every way out.
#include "filter_test.h"

#include <algorithm>

namespace filtertest {
namespace {

using Descriptors = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;

class StartTest : public FilterTest {
protected:
    // Port 3 of the board by default: offset 2, the block at 0x310.
    void SetUp() override
    {
        FilterTest::SetUp();
        SetPortIndex(3);
    }

    static bool IsLive(const void *block)
    {
        const std::vector<hk::PoolBlock> live = hk::LivePool();
        return std::any_of(live.begin(), live.end(), [block](const hk::PoolBlock &b) { return b.address == block; });
    }

    void ExpectListsGivenBack()
    {
        for (const void *list : script.listsHandedOut) EXPECT_FALSE(IsLive(list)) << "list " << list;
    }

    // The interface's one reference went back, and only through
    // InterfaceDereference.
    void ExpectInterfaceReleased(unsigned answers)
    {
        EXPECT_EQ(script.answers, answers);
        EXPECT_EQ(script.dereferences, answers);
        EXPECT_EQ(script.references, 0);
        EXPECT_EQ(script.referenceCalls, 0u);
    }

    void ExpectStartNotPassedDown()
    {
        EXPECT_EQ(script.starts, 0u);
        const sim::SerialPortRecord *record = sim::SerialRecordFor(pdo);
        ASSERT_NE(record, nullptr);
        EXPECT_FALSE(record->started);
        EXPECT_EQ(record->startStatus, STATUS_PENDING) << "the serial driver never saw a start";
    }

    static void ExpectSame(const Descriptors &actual, const Descriptors &expected)
    {
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t i = 0; i < actual.size(); ++i) EXPECT_TRUE(SameDescriptor(actual[i], expected[i])) << "descriptor " << i;
    }
};

TEST_F(StartTest, TheSerialDriverGetsItsOwnBlockTheStatusRegisterAndTheInterrupt)
{
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    ASSERT_EQ(Extension()->PortOffset, 2u);
    EXPECT_EQ(Start(), STATUS_SUCCESS);

    const Descriptors raw = {PortDescriptor(0x310, 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)};
    const Descriptors translated = {PortDescriptor(0x310, 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 0x35)};
    const sim::SerialPortRecord *record = sim::SerialRecordFor(pdo);
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(record->started);
    ExpectSame(record->raw, raw);
    ExpectSame(record->translated, translated);
    // With them it reaches its own UART and its own bit of the status register.
    EXPECT_EQ(record->loopback, sim::CheckResult::Ok) << record->checkDetail;
    EXPECT_EQ(record->statusRegister, sim::CheckResult::Ok) << record->checkDetail;
    // The port device below it was handed the same.
    EXPECT_EQ(script.starts, 1u);
    ExpectSame(script.startRaw, raw);
    ExpectSame(script.startTranslated, translated);

    ExpectInterfaceReleased(1);
    EXPECT_TRUE(script.referenceHeldDuringListCall);
    EXPECT_EQ(script.listCalls, 1u);
    ExpectListsGivenBack();
}

TEST_F(StartTest, TheQueryAsksForTheInterfaceAsTheBusDriverExpects)
{
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(script.querySize, sizeof(PortBusInterface));
    EXPECT_EQ(script.queryVersion, 1);
    EXPECT_TRUE(script.queryDataNull);
    EXPECT_TRUE(script.queryRecordZeroed);
    EXPECT_EQ(script.queryPresetStatus, STATUS_NOT_SUPPORTED);
    // Down the whole stack, then the start: the port device sees both.
    const std::vector<std::pair<UCHAR, UCHAR>> seen = {{IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE},
                                                       {IRP_MJ_PNP, IRP_MN_START_DEVICE}};
    EXPECT_EQ(script.seen, seen);
}

// The query goes to the top of the port's stack, so that every driver on it
// can see it, and waits for whichever thread answers it.
TEST_F(StartTest, TheQueryStartsAtTheTopOfTheStackAndIsWaitedFor)
{
    script.completion = Completion::Later;
    ASSERT_EQ(AddFilter(/*withSerial=*/false), STATUS_SUCCESS);
    PDEVICE_OBJECT above = AttachDeviceAbove(&port, pdo);
    ASSERT_NE(above, nullptr);
    EXPECT_EQ(hk::test::StartDevice(above, managerRaw->get(), managerTranslated->get()), STATUS_SUCCESS);
    const std::vector<std::pair<UCHAR, UCHAR>> seenAbove = {{IRP_MJ_PNP, IRP_MN_START_DEVICE},
                                                             {IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE}};
    EXPECT_EQ(script.seenAbove, seenAbove);
    ExpectSame(script.startRaw, {PortDescriptor(0x310, 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)});
    ExpectInterfaceReleased(1);
    ExpectListsGivenBack();
}

TEST_F(StartTest, PortOneKeepsTheRangeStartAndOtherResourcesStayAsTheyAre)
{
    location = u"PB8-A board 1 port 1";
    SetPortIndex(1);
    // A second range, a memory range and a one-byte port.
    script.raw = {PortDescriptor(kIoBase, kRangeLength), MemoryDescriptor(0xFEB00000, 8), PortDescriptor(0x2F0, 16), PortDescriptor(kStatusPort, 1),
                  InterruptDescriptor(5, 5)};
    script.translated = script.raw;
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    const Descriptors expected = {PortDescriptor(kIoBase, 8), MemoryDescriptor(0xFEB00000, 8), PortDescriptor(0x2F0, 8), PortDescriptor(kStatusPort, 1),
                                  InterruptDescriptor(5, 5)};
    ExpectSame(script.startRaw, expected);
    ExpectSame(script.startTranslated, expected);
    EXPECT_EQ(sim::SerialRecordFor(pdo)->loopback, sim::CheckResult::Ok);
}

// Ports translated to memory are not narrowed: a memory range is left as it
// is, whatever its length.
TEST_F(StartTest, MemoryRangesAreNeverChanged)
{
    script.translated = {MemoryDescriptor(0xFEB00000, kRangeLength), MemoryDescriptor(0xFEB00007, 1), InterruptDescriptor(5, 0x35)};
    ASSERT_EQ(AddFilter(/*withSerial=*/false), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    ExpectSame(script.startRaw, {PortDescriptor(0x310, 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)});
    ExpectSame(script.startTranslated, script.translated);
}

// A range that crosses a 4 GB boundary keeps the port inside it.
TEST_F(StartTest, TheBlockStartCarriesIntoTheHighHalf)
{
    script.raw = {PortDescriptor(0xFFFFFFF0ull, 0x20), InterruptDescriptor(5, 5)};
    script.translated = script.raw;
    ASSERT_EQ(AddFilter(/*withSerial=*/false), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    ExpectSame(script.startRaw, {PortDescriptor(0x100000000ull, 8), InterruptDescriptor(5, 5)});
}

TEST_F(StartTest, APortBeyondItsRangeFailsTheStartAndGivesEverythingBack)
{
    struct Case {
        const char16_t *location;
        Descriptors raw;
    };
    const Case cases[] = {
        {u"PB8-A board 1 port 9", {PortDescriptor(kIoBase, kRangeLength), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)}},
        {u"PB8-A board 1 port 3", {PortDescriptor(kIoBase, 0x14), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)}},
        {u"PB8-A board 1 port 1", {PortDescriptor(kIoBase, 4), InterruptDescriptor(5, 5)}},
        {u"PB8-A board 1 port FFF", {PortDescriptor(kIoBase, kRangeLength), InterruptDescriptor(5, 5)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(hk::Narrow(c.location));
        FreshScript();
        script.raw = c.raw;
        script.translated = c.raw;
        location = c.location;
        ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
        EXPECT_EQ(Start(), STATUS_DEVICE_CONFIGURATION_ERROR);
        ExpectStartNotPassedDown();
        ExpectInterfaceReleased(1);
        ExpectListsGivenBack();
        Remove();
    }
    // The last block of the range is the port's own.
    FreshScript();
    script.raw = script.translated = {PortDescriptor(kIoBase, kRangeLength), InterruptDescriptor(5, 5)};
    location = u"PB8-A board 1 port 8";
    ASSERT_EQ(AddFilter(/*withSerial=*/false), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    ExpectSame(script.startRaw, {PortDescriptor(0x338, 8), InterruptDescriptor(5, 5)});
}

TEST_F(StartTest, TheStartGoesDownOnlyWithTheBoardsLists)
{
    struct Case {
        const char *why;
        InterfaceAnswer answer;
        NTSTATUS listsStatus;
        NTSTATUS expected;
        unsigned answers;
        unsigned listCalls;
    };
    const Case cases[] = {
        // STATUS_NOT_SUPPORTED is the system's: the filter fails the start
        // with a status of its own.
        {"no driver knows the interface", InterfaceAnswer::Ignore, STATUS_SUCCESS, STATUS_DEVICE_CONFIGURATION_ERROR,
         0, 0},
        {"the query is refused", InterfaceAnswer::Refuse, STATUS_SUCCESS, STATUS_INVALID_PARAMETER, 0, 0},
        // A driver that answers without filling the record gives the
        // filter nothing to call; a reference it did take goes back.
        {"success, record unfilled", InterfaceAnswer::Unfilled, STATUS_SUCCESS, STATUS_DEVICE_CONFIGURATION_ERROR, 0,
         0},
        {"success, no list routine", InterfaceAnswer::NoLists, STATUS_SUCCESS, STATUS_DEVICE_CONFIGURATION_ERROR, 1,
         0},
        {"no lists", InterfaceAnswer::Interface, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, 1, 1},
        {"no memory for lists", InterfaceAnswer::Interface, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        FreshScript();
        script.answer = c.answer;
        script.listsStatus = c.listsStatus;
        ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
        EXPECT_EQ(Start(), c.expected);
        ExpectStartNotPassedDown();
        ExpectInterfaceReleased(c.answers);
        EXPECT_EQ(script.listCalls, c.listCalls);
        Remove();
    }
}

// Whatever the serial driver and the port device make of the start, and
// however the port device completes it, the filter waits for their verdict
// and gives the lists back.
TEST_F(StartTest, AFailedLowerStartIsReturnedAndTheListsAreGivenBack)
{
    const std::pair<Completion, const char *> ways[] = {
        {Completion::AtOnce, "completed at once"},
        {Completion::AtDispatch, "completed at DISPATCH_LEVEL"},
        {Completion::Later, "completed later from another thread"},
    };
    // The serial stand-in waits for its own verdict and completes upwards at
    // PASSIVE_LEVEL: without it, the port device's completion comes straight
    // back to the filter.
    for (const auto &[completion, way] : ways) {
        SCOPED_TRACE(way);
        const bool withSerial = completion == Completion::AtOnce;
        FreshScript();
        script.startStatus = STATUS_DEVICE_NOT_READY;
        script.completion = completion;
        ASSERT_EQ(AddFilter(withSerial), STATUS_SUCCESS);
        EXPECT_EQ(Start(), STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(script.starts, 1u);
        if (withSerial) EXPECT_EQ(sim::SerialRecordFor(pdo)->startStatus, STATUS_DEVICE_NOT_READY);
        ExpectListsGivenBack();
        ExpectInterfaceReleased(1);
        if (port.completer.joinable()) port.completer.join();
        Remove();
    }
    for (Completion completion : {Completion::AtDispatch, Completion::Later}) {
        FreshScript();
        script.completion = completion;
        ASSERT_EQ(AddFilter(/*withSerial=*/false), STATUS_SUCCESS);
        EXPECT_EQ(Start(), STATUS_SUCCESS);
        ExpectSame(script.startRaw, {PortDescriptor(0x310, 8), PortDescriptor(kStatusPort, 1), InterruptDescriptor(5, 5)});
        ExpectInterfaceReleased(1);
        ExpectListsGivenBack();
        if (port.completer.joinable()) port.completer.join();
        Remove();
    }
}

// The start's own resources fail first: the interface block, then the query.
// Neither the query nor the start goes further, and the reference on the top
// device is given back (the stack's devices are all freed at the end).
TEST_F(StartTest, WithoutMemoryTheStartFailsBeforeTheQuery)
{
    for (hk::Service service : {hk::Service::Pool, hk::Service::Irp}) {
        SCOPED_TRACE(hk::ServiceName(service));
        FreshScript();
        ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
        FailNext(service);
        EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(script.seen.empty());
        ExpectStartNotPassedDown();
        Remove();
    }
    IoDeleteDevice(pdo);
    pdo = nullptr;
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

// The count of the filter's own blocks is back where it was after a start,
// whichever way it ended.
TEST_F(StartTest, AStartLeavesTheCountWhereItWas)
{
    SetDebugLevel(3);
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    const long before = LastAllocCount(Trace());
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(LastAllocCount(Trace()), before);
    EXPECT_NE(Trace().find(" " + std::to_string(sizeof(PortBusInterface)) + " bytes) gExAllocCount = " +
                           std::to_string(before + 1) + "\n"),
              std::string::npos);
    Remove();

    FreshScript();
    script.answer = InterfaceAnswer::Refuse;
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LastAllocCount(Trace()), before);
}

}  // namespace
}  // namespace filtertest
