// The option and mode control registers of the PCMCIA cards that have them,
// driven through the same access sequences the bus driver uses.
#include "board_hardware.h"
#include "register_sequences.h"

#include <gtest/gtest.h>

using namespace sim;
using hwtest::Field;
using hwtest::PortIo;
using hwtest::Probe;

namespace {

BoardHardwareConfig Card(const OptionRegisterConfig &options = {}) {
    BoardHardwareConfig config;
    config.ports = 1;
    config.optionRegisters = true;
    config.optionConfig = options;
    return config;
}

BoardHardwareConfig CardWithoutOptionRegisters() {
    BoardHardwareConfig config;
    config.ports = 1;
    return config;
}

OptionRegisterConfig WrongSignature() {
    OptionRegisterConfig options;
    options.signatureOk = false;
    return options;
}

TEST(OptionSignature, GenuineCardAnswersAndKeepsItsValue) {
    BoardHardware board(Card());
    PortIo io(board.UartRange());
    io.Out(hwtest::kLcr, 0x03);
    hwtest::WriteOptionRegister(io, 0x02);

    EXPECT_FALSE(hwtest::OptionRegisterAbsent(io));
    EXPECT_EQ(io.In(hwtest::kLcr), 0x03) << "LCR restored";
    EXPECT_EQ(board.Uart(0).Lcr(), 0x03);
    EXPECT_EQ(board.OptionRegisterValue() & option::kField, 0x02) << "the check writes the value back";
}

TEST(OptionSignature, SignatureReadBackTable) {
    BoardHardware board(Card());
    PortIo io(board.UartRange());
    const uint8_t written[] = {0x00, 0x40, 0x80, 0xC0};
    const uint8_t answer[] = {0x00, 0x40, 0x40, 0x80};
    for (int i = 0; i < 4; ++i) {
        hwtest::WriteOptionRegister(io, written[i]);
        EXPECT_EQ(hwtest::ReadOptionRegister(io) & option::kSignature, answer[i]) << "wrote " << int(written[i]);
    }
}

TEST(OptionSignature, WrongSignatureFailsAtTheThirdStepAndKeepsThatPattern) {
    BoardHardware board(Card(WrongSignature()));
    PortIo io(board.UartRange());
    io.Out(hwtest::kLcr, 0x1B);
    EXPECT_TRUE(hwtest::OptionRegisterAbsent(io));
    EXPECT_EQ(io.In(hwtest::kLcr), 0x1B);
    EXPECT_EQ(board.OptionRegisterValue() & option::kSignature, 0x80);
}

TEST(OptionSignature, CardWithoutOptionRegisterShowsScratchAndFails) {
    BoardHardware board(CardWithoutOptionRegisters());
    PortIo io(board.UartRange());
    EXPECT_TRUE(hwtest::OptionRegisterAbsent(io));
    EXPECT_EQ(board.Uart(0).Scratch(), 0x80) << "the sequence landed in port 0's scratch register";
}

TEST(OptionSignature, ScratchStatusVariantStillDecodesTheOptionRegister) {
    BoardHardwareConfig config = Card();
    config.statusRegister = StatusRegisterKind::Scratch;
    BoardHardware board(config);
    PortIo io(board.UartRange());
    EXPECT_FALSE(hwtest::OptionRegisterAbsent(io));
    EXPECT_FALSE(hwtest::InterruptStatusRegisterReadOnly(io));
}

TEST(OptionRegisterDecode, ModeControlNeedsExactly0xBFAndTheAccessBit) {
    BoardHardware board(Card());
    PortIo io(board.UartRange());
    io.Out(hwtest::kLcr, 0xBF);
    io.Out(7, 0x00);
    io.Out(4, 0x03);  // access bit clear: MCR
    EXPECT_EQ(board.Uart(0).Mcr(), 0x03);
    EXPECT_EQ(board.ModeControlValue(), 0x00);

    io.Out(7, option::kModeAccess);
    io.Out(4, 0x1F);
    EXPECT_EQ(board.ModeControlValue(), 0x1F);
    EXPECT_EQ(board.Uart(0).Mcr(), 0x03) << "MCR is hidden behind the mode control register";

    io.Out(hwtest::kLcr, 0x83);  // divisor latch alone: option register, but MCR at offset 4
    EXPECT_EQ(io.In(7) & option::kModeAccess, option::kModeAccess);
    EXPECT_EQ(io.In(4), 0x03);
    io.Out(hwtest::kLcr, 0x03);
    EXPECT_EQ(io.In(4), 0x03);
    EXPECT_EQ(io.In(7), 0x00) << "status register again: no port interrupt pending";
}

TEST(OptionRegisterDecode, ModeSequencesRestoreOptionAndLcr) {
    BoardHardware board(Card());
    PortIo io(board.UartRange());
    io.Out(hwtest::kLcr, 0x03);
    io.Out(kMcr, 0x0B);
    hwtest::WriteOptionRegister(io, 0x01);

    hwtest::WriteModeControlRegister(io, 0x0E);
    EXPECT_EQ(hwtest::ReadModeControlRegister(io), 0x0E);
    EXPECT_EQ(board.ModeControlValue(), 0x0E);
    EXPECT_EQ(board.OptionRegisterValue() & (option::kModeAccess | option::kField), 0x01);
    EXPECT_EQ(board.Uart(0).Lcr(), 0x03);
    EXPECT_EQ(board.Uart(0).Mcr(), 0x0B) << "MCR never saw the mode writes";
}

// The port-options write reaches the option register with the current LCR
// plus the divisor-latch bit, not with 0xBF.
TEST(OptionRegisterDecode, PortOptionsWriteWithDivisorLatchBit) {
    for (uint8_t lcr : {0x03, 0x1B, 0x00}) {
        BoardHardware board(Card());
        PortIo io(board.UartRange());
        io.Out(hwtest::kLcr, lcr);
        hwtest::WriteOptionRegister(io, 0x01);

        uint8_t s = io.In(hwtest::kLcr);
        io.Out(hwtest::kLcr, uint8_t(s | 0x80));
        uint8_t r = io.In(7);
        io.Out(7, uint8_t((r & 0xFC) | 0x02));
        io.Out(hwtest::kLcr, s);

        EXPECT_EQ(board.OptionRegisterValue() & option::kField, 0x02) << "LCR " << int(lcr);
        EXPECT_EQ(board.Uart(0).Lcr(), lcr);
        EXPECT_EQ(board.Uart(0).Scratch(), 0x00);
        EXPECT_FALSE(hwtest::OptionRegisterAbsent(io)) << "the rewritten signature bits still answer";
    }
}

// ------------------------------------------------------------ field probes
struct ProbeCase {
    const char *name;
    Field field;
    FieldConfig config;
    Probe outcome;
    uint8_t fixedValue;
};

void PrintTo(const ProbeCase &c, std::ostream *os) { *os << c.name; }

class FieldProbe : public ::testing::TestWithParam<ProbeCase> {};

OptionRegisterConfig WithField(Field field, FieldConfig config) {
    OptionRegisterConfig options;
    (field == Field::Option ? options.option : field == Field::ModeLow ? options.modeLow : options.modeHigh) = config;
    return options;
}

TEST_P(FieldProbe, ClassifiesTheField) {
    const ProbeCase &c = GetParam();
    BoardHardware board(Card(WithField(c.field, c.config)));
    PortIo io(board.UartRange());
    io.Out(hwtest::kLcr, 0x03);
    io.Out(kMcr, 0x08);
    uint8_t modeBefore = board.ModeControlValue();

    hwtest::ProbeResult result = hwtest::ProbeField(io, c.field);
    EXPECT_EQ(result.outcome, c.outcome);
    if (c.outcome == Probe::Fixed) EXPECT_EQ(result.fixedValue, c.fixedValue);
    EXPECT_EQ(board.Uart(0).Lcr(), 0x03);
    EXPECT_EQ(board.Uart(0).Mcr(), 0x08);
    if (c.field != Field::Option) EXPECT_EQ(board.ModeControlValue(), modeBefore) << "mode probes restore";
}

INSTANTIATE_TEST_SUITE_P(
    AllFields, FieldProbe,
    ::testing::Values(
        ProbeCase{"OptionSettable", Field::Option, FieldConfig::Settable(), Probe::Settable, 0},
        ProbeCase{"OptionFixed2", Field::Option, FieldConfig::Fixed(2), Probe::Fixed, 2},
        ProbeCase{"OptionFixed0", Field::Option, FieldConfig::Fixed(0), Probe::Fixed, 0},
        ProbeCase{"OptionAbsentReadsAsFixed0", Field::Option, FieldConfig::Absent(), Probe::Fixed, 0},
        ProbeCase{"ModeLowSettable", Field::ModeLow, FieldConfig::Settable(), Probe::Settable, 0},
        ProbeCase{"ModeLowFixed3", Field::ModeLow, FieldConfig::Fixed(3), Probe::Fixed, 3},
        ProbeCase{"ModeLowAbsent", Field::ModeLow, FieldConfig::Absent(), Probe::Fixed, 0},
        ProbeCase{"ModeHighSettable", Field::ModeHigh, FieldConfig::Settable(), Probe::Settable, 0},
        ProbeCase{"ModeHighFixed0C", Field::ModeHigh, FieldConfig::Fixed(0x0C), Probe::Fixed, 0x0C},
        ProbeCase{"ModeHighFixed08", Field::ModeHigh, FieldConfig::Fixed(0x08), Probe::Fixed, 0x08},
        ProbeCase{"ModeHighAbsent", Field::ModeHigh, FieldConfig::Absent(), Probe::Fixed, 0}),
    [](const ::testing::TestParamInfo<ProbeCase> &info) { return std::string(info.param.name); });

TEST(FieldProbeWithoutRegister, EveryFieldReportsTheRegisterAbsent) {
    for (bool hasRegisters : {true, false}) {
        BoardHardware board(hasRegisters ? Card(WrongSignature()) : CardWithoutOptionRegisters());
        PortIo io(board.UartRange());
        for (Field field : {Field::ModeLow, Field::ModeHigh, Field::Option})
            EXPECT_EQ(hwtest::ProbeField(io, field).outcome, Probe::RegisterAbsent);
    }
}

// The start order: both mode probes, then the option probe, on one card.
TEST(FieldProbeSequence, ProbesInStartOrderDoNotDisturbEachOther) {
    OptionRegisterConfig options;
    options.modeLow = FieldConfig::Settable();
    options.modeHigh = FieldConfig::Fixed(0x0C);
    options.option = FieldConfig::Settable();
    BoardHardware board(Card(options));
    PortIo io(board.UartRange());
    hwtest::WriteModeControlRegister(io, 0x02);

    EXPECT_EQ(hwtest::ProbeField(io, Field::ModeLow).outcome, Probe::Settable);
    auto high = hwtest::ProbeField(io, Field::ModeHigh);
    EXPECT_EQ(high.outcome, Probe::Fixed);
    EXPECT_EQ(high.fixedValue, 0x0C);
    EXPECT_EQ(hwtest::ProbeField(io, Field::Option).outcome, Probe::Settable);

    EXPECT_EQ(board.ModeControlValue(), 0x0E) << "mode low restored to 2 beside the fixed high field";
    EXPECT_EQ(board.OptionRegisterValue() & option::kField, 0x03) << "the option probe leaves its last write";
}

}  // namespace
