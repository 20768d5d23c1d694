// A PCMCIA board as identification and resource capture leave it for the
// option-register step: a BoardExtension with its DeviceCode and UartBase,
// the board hardware model plugged in at that base, and the board's device
// key answered by the Plug and Play hooks for its PDO.
#pragma once

#include "PciParent/mpsbus.h"
#include "board_hardware.h"
#include "option_ops.h"
#include "support/kernel_test.h"

#include <memory>
#include <optional>
#include <string>

namespace optiontest {

constexpr ULONG kUartBase = 0x2E8;
constexpr const char *kInstance = "PCMCIA\\VELMORA-05D3-004C\\1";

// Device codes of the cards with option registers.
constexpr ULONG kCard75 = 75, kCard76 = 76, kCard77 = 77, kCard78 = 78;

class OptionBoardTest : public hk::test::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A card with option registers, each field as |options| says.
    void Card(ULONG deviceCode, const sim::OptionRegisterConfig &options = {});
    // A card whose first port block has no option register behind it.
    void PlainCard(ULONG deviceCode);
    void Plug(ULONG deviceCode, const sim::BoardHardwareConfig &config);

    // The board's device key.
    std::string KeyPath() const;
    void Store(const std::string &name, ULONG value);
    void StoreRaw(const std::string &name, ULONG type, const std::vector<uint8_t> &bytes);
    std::optional<ULONG> Stored(const std::string &name) const;  // a 4-byte REG_DWORD, else nothing
    bool Exists(const std::string &name) const;

    // The option register operations since the last ClearIoLog.
    std::vector<std::string> Ops() const { return OptionOps(kUartBase); }

    DEVICE_OBJECT boardDevice_{};
    BoardExtension board_{};
    DEVICE_OBJECT pdo_{};
    std::unique_ptr<sim::BoardHardware> hardware_;
};

sim::OptionRegisterConfig Fields(sim::FieldConfig option, sim::FieldConfig modeLow = sim::FieldConfig::Settable(),
                                 sim::FieldConfig modeHigh = sim::FieldConfig::Settable());
sim::OptionRegisterConfig WrongSignature();

}  // namespace optiontest
