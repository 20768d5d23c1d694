// The board's start sequence with recording stand-ins for its steps: which
// steps run, in which order, for each bus and port count, and where a
// failing step ends the sequence (moved ports are reported only after a
// start that succeeded).
#include "PciParent/identify.h"
#include "PciParent/option_registers.h"
#include "PciParent/port_devices.h"
#include "PciParent/port_services.h"
#include "PciParent/resources.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr ULONG kIsa = 1, kPci = 5, kPcmcia = 8;

// What identification will report, and which step is to fail.
struct Plan {
    ULONG busType = kPci;
    ULONG portCount = 4;
    BOOLEAN skipBridgeInit = FALSE;
    std::map<std::string, NTSTATUS> failures;
};

Plan gPlan;
std::vector<std::string> gSteps;
PDEVICE_OBJECT gExpectedBoard;

NTSTATUS Record(const char *step, PDEVICE_OBJECT board)
{
    gSteps.push_back(step);
    EXPECT_EQ(board, gExpectedBoard) << step << " got another device";
    auto failure = gPlan.failures.find(step);
    return failure == gPlan.failures.end() ? STATUS_SUCCESS : failure->second;
}

}  // namespace

NTSTATUS IdentifyBoard(PDEVICE_OBJECT Board)
{
    BoardExtension *board = BoardOf(Board);
    board->BusType = gPlan.busType;
    board->PortCount = gPlan.portCount;
    board->SkipBridgeInit = gPlan.skipBridgeInit;
    return Record("identify", Board);
}
NTSTATUS CheckBoardRanges(PDEVICE_OBJECT Board) { return Record("ranges", Board); }
VOID InitPciBridge(PDEVICE_OBJECT Board) { Record("bridge", Board); }
NTSTATUS CheckInterruptStatusRegister(PDEVICE_OBJECT Board) { return Record("status-register", Board); }
NTSTATUS ConfigureOptionRegisters(PDEVICE_OBJECT Board) { return Record("option-registers", Board); }
NTSTATUS CreatePortDevices(PDEVICE_OBJECT Board) { return Record("port-devices", Board); }
VOID ReportMovedPorts(PDEVICE_OBJECT Board) { Record("moved-ports", Board); }

namespace {

class StartSequenceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gPlan = Plan();
        gSteps.clear();
        device_.DeviceExtension = &board_;
        board_.IsBoard = TRUE;
        InitializeResourceLock(&board_);
        board_.DeviceObject = &device_;
        gExpectedBoard = &device_;
    }

    // The two resource arguments are not the sequence's business: pass
    // pointers that would fault if it touched them.
    NTSTATUS Run()
    {
        auto poison = reinterpret_cast<PCM_RESOURCE_LIST>(0x10);
        return StartSequence(&device_, poison, poison);
    }

    DEVICE_OBJECT device_{};
    BoardExtension board_{};
};

struct BoardShape {
    const char *name;
    ULONG busType;
    ULONG portCount;
    BOOLEAN skipBridgeInit;
    std::vector<std::string> steps;
};

const BoardShape kShapes[] = {
    {"PciMultiport", kPci, 4, FALSE,
     {"identify", "ranges", "bridge", "status-register", "option-registers", "port-devices", "moved-ports"}},
    {"PciSinglePort", kPci, 1, FALSE,
     {"identify", "ranges", "bridge", "option-registers", "port-devices", "moved-ports"}},
    // A model whose bridge is left alone still enters the bridge step, which
    // is where the skip is decided.
    {"PciSkipBridge", kPci, 8, TRUE,
     {"identify", "ranges", "bridge", "status-register", "option-registers", "port-devices", "moved-ports"}},
    {"PcmciaSinglePort", kPcmcia, 1, FALSE,
     {"identify", "ranges", "option-registers", "port-devices", "moved-ports"}},
    {"PcmciaMultiport", kPcmcia, 2, FALSE,
     {"identify", "ranges", "status-register", "option-registers", "port-devices", "moved-ports"}},
    {"IsaMultiport", kIsa, 8, FALSE,
     {"identify", "ranges", "status-register", "option-registers", "port-devices", "moved-ports"}},
    {"IsaSinglePort", kIsa, 1, FALSE,
     {"identify", "ranges", "option-registers", "port-devices", "moved-ports"}},
};

class StartSequenceShapes : public StartSequenceTest, public ::testing::WithParamInterface<BoardShape> {};

TEST_P(StartSequenceShapes, RunsTheStepsOfItsBusAndPortCountInOrder)
{
    const BoardShape &shape = GetParam();
    gPlan.busType = shape.busType;
    gPlan.portCount = shape.portCount;
    gPlan.skipBridgeInit = shape.skipBridgeInit;

    EXPECT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(gSteps, shape.steps);
}

INSTANTIATE_TEST_SUITE_P(Boards, StartSequenceShapes, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<BoardShape> &info) { return info.param.name; });

struct StepFailure {
    const char *step;
    NTSTATUS status;
    std::vector<std::string> stepsRun;
};

const StepFailure kFailures[] = {
    {"identify", STATUS_UNSUCCESSFUL, {"identify"}},
    // A START without the ranges its board needs ends before any register
    // step.
    {"ranges", STATUS_DEVICE_CONFIGURATION_ERROR, {"identify", "ranges"}},
    {"status-register", STATUS_DEVICE_NOT_READY, {"identify", "ranges", "bridge", "status-register"}},
    {"option-registers", STATUS_INSUFFICIENT_RESOURCES,
     {"identify", "ranges", "bridge", "status-register", "option-registers"}},
    {"port-devices", STATUS_NO_SUCH_DEVICE,
     {"identify", "ranges", "bridge", "status-register", "option-registers", "port-devices"}},
};

class StartSequenceFailures : public StartSequenceTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(StartSequenceFailures, AFailingStepEndsTheSequenceWithItsStatus)
{
    const StepFailure &failure = GetParam();
    gPlan.failures[failure.step] = failure.status;

    EXPECT_EQ(Run(), failure.status);
    EXPECT_EQ(gSteps, failure.stepsRun);
}

INSTANTIATE_TEST_SUITE_P(Steps, StartSequenceFailures, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<StepFailure> &info) {
                             std::string name = info.param.step;
                             for (char &c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

TEST_F(StartSequenceTest, ASuccessStatusOtherThanZeroDoesNotEndTheSequence)
{
    // Steps are judged by NT_SUCCESS, not by equality with STATUS_SUCCESS.
    gPlan.failures["identify"] = STATUS_PENDING;
    EXPECT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(gSteps.back(), "moved-ports");
}

}  // namespace
