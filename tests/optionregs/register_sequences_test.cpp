// The four access sequences, the presence signature and the field probes,
// against the board hardware model: the exact port accesses, what they leave
// in the registers, and what each probe records in the words.
#include "PciParent/option_registers.h"
#include "option_board.h"

#include <array>

namespace optiontest {
namespace {

using sim::FieldConfig;
using OpList = std::vector<std::string>;

struct Access {
    bool write;
    ULONG offset;
    ULONG value;
    bool operator==(const Access &o) const { return write == o.write && offset == o.offset && value == o.value; }
};
void PrintTo(const Access &a, std::ostream *os)
{
    *os << (a.write ? "out(+" : "in(+") << a.offset << ", 0x" << std::hex << a.value << ")";
}
Access In(ULONG offset, ULONG value) { return {false, offset, value}; }
Access Out(ULONG offset, ULONG value) { return {true, offset, value}; }

std::vector<Access> Log()
{
    std::vector<Access> log;
    for (const hk::IoAccess &a : hk::IoLog()) {
        EXPECT_EQ(a.width, 1u) << "every option register access is a byte";
        log.push_back({a.write, a.port - kUartBase, a.value});
    }
    return log;
}

class Sequences : public OptionBoardTest {
protected:
    // Registers set straight in the model, past the I/O log.
    void Preset(UCHAR lcr, UCHAR option, UCHAR mode)
    {
        hk::IoRange &range = hardware_->UartRange();
        range.Write(3, 1, 0xBF);
        range.Write(7, 1, option | 0x10);
        range.Write(4, 1, mode);
        range.Write(7, 1, option);
        range.Write(3, 1, lcr);
    }
};

TEST_F(Sequences, EachAccessSequenceInItsExactOrder)
{
    Card(kCard76);
    Preset(0x03, 0x02, 0x0E);

    UCHAR value = 0;
    EXPECT_EQ(ReadOptionRegister(&board_, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x02);
    EXPECT_EQ(Log(), (std::vector<Access>{In(3, 0x03), Out(3, 0xBF), In(7, 0x02), Out(3, 0x03)}));

    hk::ClearIoLog();
    EXPECT_EQ(ReadModeControlRegister(&board_, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x0E);
    EXPECT_EQ(Log(), (std::vector<Access>{In(3, 0x03), Out(3, 0xBF), In(7, 0x02), Out(7, 0x12), In(4, 0x0E),
                                          Out(7, 0x02), Out(3, 0x03)}));

    hk::ClearIoLog();
    EXPECT_EQ(WriteModeControlRegister(&board_, 0x09), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<Access>{In(3, 0x03), Out(3, 0xBF), In(7, 0x02), Out(7, 0x12), Out(4, 0x09),
                                          Out(7, 0x02), Out(3, 0x03)}));
    EXPECT_EQ(hardware_->ModeControlValue(), 0x09);

    hk::ClearIoLog();
    EXPECT_EQ(WriteOptionRegister(&board_, 0x41), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<Access>{In(3, 0x03), Out(3, 0xBF), In(7, 0x02), Out(7, 0x41), Out(3, 0x03)}));
    EXPECT_EQ(hardware_->OptionRegisterValue(), 0x41);

    EXPECT_EQ(hardware_->Uart(0).Lcr(), 0x03);
    EXPECT_EQ(hardware_->Uart(0).Mcr(), 0x00) << "the mode writes never reached the modem control register";
}

TEST_F(Sequences, ProgrammingTheSettingKeepsTheLineSettingAndTheOtherBits)
{
    Card(kCard75);
    Preset(0x1B, 0x41, 0);

    ProgramOptionSetting(&board_, 2);
    EXPECT_EQ(Log(), (std::vector<Access>{In(3, 0x1B), Out(3, 0x9B), In(7, 0x41), Out(7, 0x42), Out(3, 0x1B)}));
    EXPECT_EQ(hardware_->OptionRegisterValue(), 0x42);
    EXPECT_EQ(hardware_->Uart(0).Lcr(), 0x1B);
}

// ------------------------------------------------------- presence signature

// A register whose bits 7-6 answer each written pattern from a table; every
// other bit reads back as written.
class ScriptedOptionRegister : public hk::IoRange {
public:
    explicit ScriptedOptionRegister(std::array<UCHAR, 4> answers) : answers_(answers) {}
    ULONG Read(ULONG offset, unsigned) override
    {
        if (offset == 3) return lcr_;
        if (offset == 7 && lcr_ == 0xBF) return (written_ & 0x3F) | answers_[written_ >> 6];
        return 0;
    }
    void Write(ULONG offset, unsigned, ULONG value) override
    {
        if (offset == 3) lcr_ = UCHAR(value);
        if (offset == 7 && lcr_ == 0xBF) written_ = UCHAR(value);
    }
    UCHAR written_ = 0x05;

private:
    std::array<UCHAR, 4> answers_;
    UCHAR lcr_ = 0x03;
};

TEST_F(Sequences, GenuineRegisterPassesAndGetsItsValueBack)
{
    Card(kCard77, Fields(FieldConfig::Fixed(1)));
    EXPECT_FALSE(OptionRegisterAbsent(&board_));
    EXPECT_EQ(Ops(), GenuineSignature(0x01));
    EXPECT_EQ(hardware_->OptionRegisterValue(), 0x01);
    EXPECT_EQ(hardware_->Uart(0).Lcr(), 0x03);
}

TEST_F(Sequences, RegisterThatReadsBackTenAfterTenIsAbsent)
{
    // Stores bits 7-6 as written: right at 00 and 01, wrong at 10.
    Card(kCard75, WrongSignature());
    EXPECT_TRUE(OptionRegisterAbsent(&board_));
    EXPECT_EQ(Ops(), (OpList({"RO=00", "WO 00", "RO=00", "WO 40", "RO=40", "WO 80", "RO=80"})));
    EXPECT_EQ(hardware_->OptionRegisterValue() & 0xC0, 0x80) << "the failed pattern stays";
}

TEST_F(Sequences, PlainScratchRegisterIsAbsent)
{
    PlainCard(kCard75);
    EXPECT_TRUE(OptionRegisterAbsent(&board_));
    EXPECT_EQ(Ops(), (OpList({"RO=00", "WO 00", "RO=00", "WO 40", "RO=40", "WO 80", "RO=80"})));
    EXPECT_EQ(hardware_->Uart(0).Scratch(), 0x80);
}

TEST_F(Sequences, MismatchAtEachStep)
{
    struct Case {
        std::array<UCHAR, 4> answers;
        OpList ops;
        UCHAR left;  // what the register holds afterwards
    };
    const Case cases[] = {
        // Step 1: 00 reads 01. The register keeps the pattern of that step.
        {{0x40, 0x40, 0x40, 0x80}, {"RO=45", "WO 05", "RO=45"}, 0x05},
        // Step 2: 01 reads 00.
        {{0x00, 0x00, 0x40, 0x80}, {"RO=05", "WO 05", "RO=05", "WO 45", "RO=05"}, 0x45},
        // Step 4: 11 reads 11. The value read first is put back before the answer.
        {{0x00, 0x40, 0x40, 0xC0},
         {"RO=05", "WO 05", "RO=05", "WO 45", "RO=45", "WO 85", "RO=45", "WO C5", "RO=C5", "WO 05"},
         0x05},
    };
    for (const Case &c : cases) {
        ScriptedOptionRegister reg(c.answers);
        hk::AttachIoRange(kUartBase, 8, &reg);
        board_.UartBase = kUartBase;
        hk::ClearIoLog();
        EXPECT_TRUE(OptionRegisterAbsent(&board_));
        EXPECT_EQ(Ops(), c.ops);
        EXPECT_EQ(reg.written_, c.left);
        hk::DetachIoRange(&reg);
    }
}

TEST_F(Sequences, NoRegisterIsTouchedWithoutAUartRange)
{
    board_.UartBase = 0;
    board_.DeviceCode = kCard76;
    EXPECT_TRUE(OptionRegisterAbsent(&board_));
    ULONG hwor = 0xFFFFFFFF, word = 0xFFFFFFFF;
    EXPECT_TRUE(ProbeModeBitsLow(&board_, &word, &hwor));
    EXPECT_TRUE(hk::IoLog().empty());
}

// ------------------------------------------------------------ field probes

enum class Which { ModeLow, ModeHigh, Option };
using ProbeRoutine = BOOLEAN (*)(BoardExtension *, PULONG, PULONG);

ProbeRoutine RoutineOf(Which which)
{
    return which == Which::ModeLow ? ProbeModeBitsLow : which == Which::ModeHigh ? ProbeModeBitsHigh : ProbeOptionBits;
}

sim::OptionRegisterConfig With(Which which, FieldConfig field)
{
    sim::OptionRegisterConfig config;
    (which == Which::ModeLow ? config.modeLow : which == Which::ModeHigh ? config.modeHigh : config.option) = field;
    return config;
}

// What a probe must do to the two words: clear these bits, then set those.
struct WordChange {
    ULONG hworClear, hworSet, settingClear, settingSet;
};

struct ProbeCase {
    std::string name;
    Which which;
    enum { RegisterAbsent, Field } hardware;
    FieldConfig field;
    BOOLEAN result;
    WordChange change;
};
void PrintTo(const ProbeCase &c, std::ostream *os) { *os << c.name; }

constexpr WordChange kUnchanged{0, 0, 0, 0};
constexpr ULONG kModeLowHwor = 0x0000FF00, kModeLowKeep = 0x0000FFFC;
constexpr ULONG kModeHighHwor = 0x000F0000;
constexpr ULONG kOptionHwor = 0x000000FF;

std::vector<ProbeCase> ProbeCases()
{
    std::vector<ProbeCase> cases;
    auto fixed = [](UCHAR v) { return FieldConfig::Fixed(v); };
    // Register absent: the field's bits are cleared in both words.
    cases.push_back({"ModeLowAbsent", Which::ModeLow, ProbeCase::RegisterAbsent, {}, TRUE,
                     {kModeLowHwor, 0, ~kModeLowKeep, 0}});
    cases.push_back({"ModeHighAbsent", Which::ModeHigh, ProbeCase::RegisterAbsent, {}, TRUE,
                     {kModeHighHwor, 0, 0x1C, 0}});
    cases.push_back({"OptionAbsent", Which::Option, ProbeCase::RegisterAbsent, {}, TRUE,
                     {kOptionHwor, 0, 0x103, 0}});
    // Fixed fields, every value.
    for (UCHAR v = 0; v < 4; ++v)
        cases.push_back({"ModeLowFixed" + std::to_string(v), Which::ModeLow, ProbeCase::Field, fixed(v), TRUE,
                         {kModeLowHwor, 0x100u << v, ~kModeLowKeep, v}});
    for (UCHAR v = 0; v <= 0x1C; v += 4) {
        ULONG hwor = v == 0 ? 0x10000 : v == 0x0C ? 0x20000 : 0x40000;
        ULONG vmcr = v == 0 ? 0 : v == 0x0C ? 0x0C : 0x10;
        cases.push_back({"ModeHighFixed" + std::to_string(v), Which::ModeHigh, ProbeCase::Field, fixed(v), TRUE,
                         {kModeHighHwor, hwor, 0x1C, vmcr}});
    }
    for (UCHAR v = 0; v < 4; ++v)
        cases.push_back({"OptionFixed" + std::to_string(v), Which::Option, ProbeCase::Field, fixed(v), TRUE,
                         {kOptionHwor, 0x08, 0x103, 0x03}});
    // A field that the register leaves out reads 0 whatever is written: fixed at 0.
    cases.push_back({"ModeLowMissingReadsFixed0", Which::ModeLow, ProbeCase::Field, FieldConfig::Absent(), TRUE,
                     {kModeLowHwor, 0x100, ~kModeLowKeep, 0}});
    // Settable fields leave both words alone.
    cases.push_back({"ModeLowSettable", Which::ModeLow, ProbeCase::Field, FieldConfig::Settable(), FALSE, kUnchanged});
    cases.push_back({"ModeHighSettable", Which::ModeHigh, ProbeCase::Field, FieldConfig::Settable(), FALSE, kUnchanged});
    cases.push_back({"OptionSettable", Which::Option, ProbeCase::Field, FieldConfig::Settable(), FALSE, kUnchanged});
    return cases;
}

class FieldProbe : public OptionBoardTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(FieldProbe, ResultAndWords)
{
    const ProbeCase &c = GetParam();
    for (ULONG start : {0xFFFFFFFFu, 0x00000000u, 0x5A5A5A5Au}) {
        if (c.hardware == ProbeCase::RegisterAbsent)
            Card(kCard76, WrongSignature());
        else
            Card(kCard76, With(c.which, c.field));
        ULONG hwor = start, setting = start;
        EXPECT_EQ(RoutineOf(c.which)(&board_, &setting, &hwor), c.result);
        EXPECT_EQ(hwor, (start & ~c.change.hworClear) | c.change.hworSet) << std::hex << "from " << start;
        EXPECT_EQ(setting, (start & ~c.change.settingClear) | c.change.settingSet) << std::hex << "from " << start;
        EXPECT_EQ(hardware_->Uart(0).Lcr(), 0x03);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryField, FieldProbe, ::testing::ValuesIn(ProbeCases()),
                         [](const ::testing::TestParamInfo<ProbeCase> &info) { return info.param.name; });

TEST_F(Sequences, ModeProbeClearsSetsAndRestores)
{
    Card(kCard76);
    Preset(0x03, 0x00, 0x0E);
    ULONG hwor = 0, vmcr = 0;
    EXPECT_FALSE(ProbeModeBitsLow(&board_, &vmcr, &hwor));
    EXPECT_EQ(Ops(), GenuineSignature(0x00) + OpList({"RM=0E", "WM 0C", "RM=0C", "WM 0F", "RM=0F", "WM 0E"}));
    EXPECT_EQ(hardware_->ModeControlValue(), 0x0E);
}

TEST_F(Sequences, ModeProbeOfAFixedFieldStopsAfterTheClearAndRestores)
{
    Card(kCard76, Fields(FieldConfig::Settable(), FieldConfig::Settable(), FieldConfig::Fixed(0x08)));
    Preset(0x03, 0x00, 0x01);
    ULONG hwor = 0, vmcr = 0;
    EXPECT_TRUE(ProbeModeBitsHigh(&board_, &vmcr, &hwor));
    EXPECT_EQ(Ops(), GenuineSignature(0x00) + OpList({"RM=09", "WM 01", "RM=09", "WM 09"}));
    EXPECT_EQ(hwor, 0x40000u);
    EXPECT_EQ(vmcr, 0x10u) << "010 is kept as 100";
}

TEST_F(Sequences, OptionProbeLeavesItsLastWrite)
{
    Card(kCard75);
    Preset(0x03, 0x02, 0);
    ULONG hwor = 0, vopr = 0;
    EXPECT_FALSE(ProbeOptionBits(&board_, &vopr, &hwor));
    EXPECT_EQ(Ops(), GenuineSignature(0x02) + OpList({"RO=02", "WO 00", "RO=00", "WO 03", "RO=03"}));
    EXPECT_EQ(hardware_->OptionRegisterValue(), 0x03) << "not restored to 2";

    Card(kCard75, Fields(FieldConfig::Fixed(1)));
    EXPECT_TRUE(ProbeOptionBits(&board_, &vopr, &hwor));
    EXPECT_EQ(Ops(), GenuineSignature(0x01) + OpList({"RO=01", "WO 00", "RO=01"}));
}

}  // namespace
}  // namespace optiontest
