#include "option_board.h"

namespace optiontest {

void OptionBoardTest::SetUp()
{
    KernelTest::SetUp();
    boardDevice_.DeviceExtension = &board_;
    board_.IsBoard = TRUE;
    InitializeResourceLock(&board_);
    board_.DeviceObject = &boardDevice_;
    board_.Pdo = &pdo_;
    board_.BusType = 8;
    hk::PnpHooks hooks;
    hooks.instancePath = [this](PDEVICE_OBJECT pdo) { return pdo == &pdo_ ? std::string(kInstance) : ""; };
    hk::SetPnpHooks(hooks);
}

void OptionBoardTest::TearDown()
{
    hardware_.reset();
    hk::SetPnpHooks(hk::PnpHooks());
    EXPECT_EQ(hk::LivePoolCount(), 0u) << "pool left by the option-register routines";
    KernelTest::TearDown();
}

void OptionBoardTest::Plug(ULONG deviceCode, const sim::BoardHardwareConfig &config)
{
    hardware_ = std::make_unique<sim::BoardHardware>(config);
    hardware_->Plug();
    // The serial port driver's usual line setting: 8 data bits, no parity.
    hardware_->UartRange().Write(3, 1, 0x03);
    board_.DeviceCode = deviceCode;
    board_.UartBase = config.ioBase;
    board_.PortCount = config.ports;
    hk::ClearIoLog();
}

void OptionBoardTest::Card(ULONG deviceCode, const sim::OptionRegisterConfig &options)
{
    sim::BoardHardwareConfig config;
    config.ports = 2;
    config.ioBase = kUartBase;
    config.optionRegisters = true;
    config.optionConfig = options;
    Plug(deviceCode, config);
}

void OptionBoardTest::PlainCard(ULONG deviceCode)
{
    sim::BoardHardwareConfig config;
    config.ports = 2;
    config.ioBase = kUartBase;
    Plug(deviceCode, config);
}

std::string OptionBoardTest::KeyPath() const { return hk::DeviceParametersPath(kInstance); }

void OptionBoardTest::Store(const std::string &name, ULONG value) { hk::reg::SetDword(KeyPath(), name, value); }

void OptionBoardTest::StoreRaw(const std::string &name, ULONG type, const std::vector<uint8_t> &bytes)
{
    hk::reg::SetValue(KeyPath(), name, type, bytes.data(), bytes.size());
}

std::optional<ULONG> OptionBoardTest::Stored(const std::string &name) const
{
    hk::reg::Value value;
    if (!hk::reg::GetValue(KeyPath(), name, &value) || value.type != REG_DWORD || value.data.size() != 4)
        return std::nullopt;
    ULONG word;
    memcpy(&word, value.data.data(), 4);
    return word;
}

bool OptionBoardTest::Exists(const std::string &name) const
{
    hk::reg::Value value;
    return hk::reg::GetValue(KeyPath(), name, &value);
}

sim::OptionRegisterConfig Fields(sim::FieldConfig option, sim::FieldConfig modeLow, sim::FieldConfig modeHigh)
{
    sim::OptionRegisterConfig config;
    config.option = option;
    config.modeLow = modeLow;
    config.modeHigh = modeHigh;
    return config;
}

sim::OptionRegisterConfig WrongSignature()
{
    sim::OptionRegisterConfig config;
    config.signatureOk = false;
    return config;
}

}  // namespace optiontest
