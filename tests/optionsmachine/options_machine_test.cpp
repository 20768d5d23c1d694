// The option registers and the port bus interface through the mpsbus image
// on the simulated machine: PC Cards starting with and without stored
// words, and a port's stack querying the interface at the port device.
#include "PciParent/mpsbus.h"
#include "machine.h"
#include "optionregs/option_ops.h"
#include "port_bus_interface.h"
#include "serial_standin.h"

#include "support/kernel_test.h"
#include "support/resource_lists.h"

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <optional>

namespace {

using namespace std::chrono_literals;
using optiontest::GenuineSignature;
using optiontest::operator+;
using OpList = std::vector<std::string>;

std::map<std::string, ULONG> Words(const sim::BoardReport &board)
{
    std::map<std::string, ULONG> words;
    for (const auto &[name, value] : board.registry) {
        EXPECT_EQ(value.type, ULONG(REG_DWORD)) << name;
        ULONG word = 0;
        if (value.data.size() == 4) memcpy(&word, value.data.data(), 4);
        words[name] = word;
    }
    return words;
}

class OptionsOnTheMachine : public hk::test::KernelTest {};

TEST_F(OptionsOnTheMachine, PcCardsStoreTheirWordsAtStart)
{
    // PC Cards at 0x100, 0x140, 0x180 and 0x1C0.
    const sim::Scenario scenario = sim::ParseScenario(R"({
        "boards": [
            {"bus": "pcmcia", "hardware_ids": ["PCMCIA\\VELMORA-CB1B-05D3-004C"],
             "option_registers": {"mode_high": 2}, "registry": {"VOPR": 16, "VMCR": 3}},
            {"bus": "pcmcia", "hardware_ids": ["PCMCIA\\VELMORA-CB2A-05D3-004D"],
             "option_registers": {"present": false}},
            {"bus": "pcmcia", "hardware_ids": ["PCMCIA\\VELMORA-CB1A-05D3-004B"],
             "option_registers": {"option": 1}, "registry": {"HWOR": 305419776}},
            {"bus": "pcmcia", "hardware_ids": ["PCMCIA\\VELMORA-CB1A-05D3-0001"],
             "option_registers": {}, "registry": {"VOPR": 5}}
        ]
    })");
    const sim::MachineReport report = sim::RunScenario(scenario);
    ASSERT_EQ(report.boards.size(), 4u);
    for (const sim::BoardReport &board : report.boards) EXPECT_EQ(board.state, "started") << board.instancePath;

    // 76: both mode fields probed; the low one settable and stored as 3, the
    // high one fixed at 010, kept as 100; "VOPR" 0x10 holds no setting.
    EXPECT_EQ(Words(report.boards[0]),
              (std::map<std::string, ULONG>{{"HWOR", 0x48F8F}, {"VOPR", 0x110}, {"VMCR", 0x13}}));
    // 77 without the register: every field reported absent.
    EXPECT_EQ(Words(report.boards[1]), (std::map<std::string, ULONG>{{"HWOR", 0}, {"VOPR", 0}, {"VMCR", 0}}));
    // 75 with the option fixed at 1: only bits 0-7 of "HWOR" are its own.
    EXPECT_EQ(Words(report.boards[2]),
              (std::map<std::string, ULONG>{{"HWOR", 0x12345608}, {"VOPR", 0x003}, {"VMCR", 0}}));
    // Another card: nothing probed, nothing stored.
    EXPECT_EQ(Words(report.boards[3]), (std::map<std::string, ULONG>{{"VOPR", 5}}));

    EXPECT_EQ(optiontest::OptionOps(0x100, "mpsbus"),
              GenuineSignature(0x00) + OpList({"RM=08", "WM 08", "RM=08", "WM 0B", "RM=0B", "WM 08"}) +
                  GenuineSignature(0x00) + OpList({"RM=08", "WM 00", "RM=08", "WM 08"}) + GenuineSignature(0x00) +
                  OpList({"RO=00", "WO 00", "RO=00", "WO 03", "RO=03"}));
    EXPECT_TRUE(optiontest::OptionOps(0x1C0, "mpsbus").empty());
    EXPECT_TRUE(report.violations.empty());
    EXPECT_TRUE(report.poolOutstanding.empty());
}

// A scenario that says nothing of the registers gets the card as it is:
// the four codes the start serves carry them, every field settable.
TEST_F(OptionsOnTheMachine, MpsimShowsTheWordsOfCardsAsTheyAre)
{
    const struct {
        const char *id, *registry;
    } cards[] = {
        {R"(PCMCIA\\VELMORA-CB1A-05D3-004B)", "HWOR = 0x8F, VOPR = 0x100, VMCR = 0x0"},
        {R"(PCMCIA\\VELMORA-CB1B-05D3-004C)", "HWOR = 0x78F8F, VOPR = 0x100, VMCR = 0x10"},
        {R"(PCMCIA\\VELMORA-CB2A-05D3-004D)", "HWOR = 0x8F, VOPR = 0x100, VMCR = 0x0"},
        {R"(PCMCIA\\VELMORA-CB2B-05D3-004E)", "HWOR = 0x78F8F, VOPR = 0x100, VMCR = 0x10"},
        {R"(PCMCIA\\VELMORA-CB1B-05D3-000D)", "none"},
    };
    for (const auto &card : cards) {
        SCOPED_TRACE(card.id);
        const sim::MachineReport report = sim::RunScenario(
            sim::ParseScenario(std::string(R"({"boards": [{"bus": "pcmcia", "hardware_ids": [")") + card.id + "\"]}]}"));
        const std::string text = sim::RenderText(report, false);
        EXPECT_NE(text.find(std::string("\n  registry      ") + card.registry + "\n"), std::string::npos) << text;
        EXPECT_TRUE(report.Passed()) << text;
    }
}

// A machine kept running, so that a test can reach into a port's stack; the
// host's lower filter sits below each board, as on the built-in machine.
class LiveMachine : public hk::test::KernelTest {
protected:
    void Start(const std::string &json)
    {
        scenario_ = sim::ParseScenario(json);
        pnp_ = std::make_unique<sim::PnpManager>();
        pnp_->RegisterBuiltinDriver(sim::kSerialService, sim::SerialDriverEntry);
        for (const sim::BoardScenario &board : scenario_.boards) {
            slots_.push_back(std::make_unique<sim::BoardSlot>(board));
            slots_.back()->Plug(board.resources);
            sim::DeviceNode *node = pnp_->PlugBoard(sim::DescribeBoard(board));
            ASSERT_NE(node, nullptr);
            ASSERT_EQ(node->state, sim::NodeState::Started);
            if (board_ == nullptr) board_ = node;
        }
    }

    void TearDown() override
    {
        if (pnp_) pnp_->ShutDown();
        pnp_.reset();
        slots_.clear();
        KernelTest::TearDown();
    }

    NTSTATUS Query(PDEVICE_OBJECT port, PortBusInterface *record)
    {
        return hk::SendIrpSync(port, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryInterface.InterfaceType = &GUID_PORT_BUS_INTERFACE;
            stack->Parameters.QueryInterface.Size = sizeof(PortBusInterface);
            stack->Parameters.QueryInterface.Version = 1;
            stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(record);
        });
    }

    PDEVICE_OBJECT PortPdo(size_t index) const { return board_->children.at(index)->pdo; }

    sim::Scenario scenario_;
    std::unique_ptr<sim::PnpManager> pnp_;
    std::vector<std::unique_ptr<sim::BoardSlot>> slots_;
    sim::DeviceNode *board_ = nullptr;
};

TEST_F(LiveMachine, PortQueriesTheInterfaceOfItsPciBoard)
{
    // The second board keeps mpsbus loaded: the dereference below lets the
    // first board's removal go on, on another thread, while this thread is
    // still on its way back out of mpsbus's code.
    Start(R"({"boards": [{"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0010"],
                          "io_base": "0xD000", "bridge_base": "0xD080"},
                         {"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0010"],
                          "io_base": "0xE000", "bridge_base": "0xE080"}]})");
    ASSERT_EQ(board_->children.size(), 4u);

    PortBusInterface record{};
    ASSERT_EQ(Query(PortPdo(2), &record), STATUS_SUCCESS);
    EXPECT_EQ(record.Size, sizeof(PortBusInterface));
    EXPECT_EQ(record.Version, 1);
    EXPECT_EQ(hk::ImageOfAddress(reinterpret_cast<const void *>(record.GetResourceLists)), "mpsbus");

    PCM_RESOURCE_LIST raw = nullptr, translated = nullptr;
    ASSERT_EQ(record.GetResourceLists(record.Context, &raw, &translated), STATUS_SUCCESS);
    for (PCM_RESOURCE_LIST list : {raw, translated}) {
        const CM_PARTIAL_RESOURCE_LIST &partial = list->List[0].PartialResourceList;
        ASSERT_EQ(partial.Count, 3u);
        const CM_PARTIAL_RESOURCE_DESCRIPTOR *d = partial.PartialDescriptors;
        EXPECT_EQ(d[0].Type, CmResourceTypePort);
        EXPECT_EQ(d[0].u.Port.Length, 1u) << "the bridge range became the status register";
        EXPECT_EQ(hk::test::StartOf(d[0]), d[1].u.Port.Start.QuadPart + 7);
        EXPECT_EQ(d[1].u.Port.Length, 32u);
        EXPECT_EQ(d[2].Type, CmResourceTypeInterrupt);
    }
    EXPECT_EQ(hk::test::StartOf(raw->List[0].PartialResourceList.PartialDescriptors[0]), 0xD007);
    ExFreePool(raw);
    ExFreePool(translated);

    // The reference holds the board: its removal waits for the dereference,
    // parked on the board's remove lock (the record's context is the board).
    auto removal = std::async(std::launch::async, [&] { return pnp_->Remove(board_); });
    const KEVENT *removalWait = &static_cast<BoardExtension *>(record.Context)->RemoveLock.Common.RemoveEvent;
    EXPECT_TRUE(hk::AwaitWaiterOn(removalWait, [&] { return removal.wait_for(0s) == std::future_status::ready; }))
        << "the removal went on under a reference";
    record.InterfaceDereference(record.Context);
    EXPECT_TRUE(removal.get());
    EXPECT_EQ(board_->state, sim::NodeState::Removed);
}

TEST_F(LiveMachine, PortProgramsTheOptionSettingOfItsPcCard)
{
    Start(R"({"boards": [{"bus": "pcmcia", "hardware_ids": ["PCMCIA\\VELMORA-CB1B-05D3-004C"],
                          "io_base": "0x2E8", "option_registers": {},
                          "registry": {"VOPR": 258, "VMCR": 14}}]})");
    PortBusInterface record{};
    ASSERT_EQ(Query(PortPdo(0), &record), STATUS_SUCCESS);
    hk::ClearIoLog();
    ULONG words[2] = {};
    EXPECT_EQ(record.SetPortOptions(record.Context, words), STATUS_SUCCESS);
    record.InterfaceDereference(record.Context);
    EXPECT_EQ(words[0], 0x102u);
    EXPECT_EQ(words[1], 0x0Eu);
    // The start's probe left the option field at 3; the call sets 2.
    EXPECT_EQ(optiontest::OptionOps(0x2E8, "mpsbus"), GenuineSignature(0x03) + OpList({"SET 2"}));
}

// A stopped board no longer owns its ranges: whoever still holds its
// interface reaches none of its registers, in I/O space or through memory
// (where the stop released the mapping).
class StoppedBoard : public LiveMachine {
protected:
    void HoldInterfaceAcrossStop(const char *inMemorySpace)
    {
        Start(std::string(R"({"boards": [{"bus": "pcmcia", "hardware_ids": ["PCMCIA\\VELMORA-CB1B-05D3-004C"],
                                          "io_base": "0x2E8", "option_registers": {}, "ports_in_memory_space": )") +
              inMemorySpace + R"(, "registry": {"VOPR": 258, "VMCR": 14}}]})");
        PortBusInterface record{};
        ASSERT_EQ(Query(PortPdo(0), &record), STATUS_SUCCESS);
        ASSERT_TRUE(pnp_->Stop(board_));
        hk::ClearIoLog();
        ULONG words[2] = {};
        EXPECT_EQ(record.SetPortOptions(record.Context, words), STATUS_OBJECT_NAME_NOT_FOUND);
        record.InterfaceDereference(record.Context);
        for (const hk::IoAccess &access : hk::IoLog())
            EXPECT_NE(access.image, "mpsbus") << std::hex << access.port << (access.write ? " written" : " read");
    }
};

TEST_F(StoppedBoard, TouchesNoRegisterInIoSpace) { HoldInterfaceAcrossStop("false"); }
TEST_F(StoppedBoard, TouchesNoRegisterThroughItsReleasedMapping) { HoldInterfaceAcrossStop("true"); }

}  // namespace
