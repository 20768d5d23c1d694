/*
 * A board's hardware in its slot. The hardware model decodes fixed ranges,
 * so a board moved to new ranges by a rebalance is a model built anew at
 * them (as after a bus reset, its registers start from power-on values).
 */
#include "board_hardware.h"
#include "machine.h"
#include "pnp_resources.h"

namespace sim {

namespace {

FieldConfig FieldOf(const OptionField &field, unsigned shift)
{
    return field.settable ? FieldConfig::Settable() : FieldConfig::Fixed(uint8_t(field.value << shift));
}

BoardHardwareConfig ConfigOf(const BoardScenario &board)
{
    BoardHardwareConfig config;
    config.ports = board.ports;
    config.ioBase = board.resources.uartBase;
    config.bridgeBase = board.bus == BusKind::Pci ? board.resources.bridgeBase : 0;
    config.memoryWindow = board.resources.inMemorySpace ? board.resources.memoryWindow : 0;
    config.statusRegister =
        board.scratchStatusRegister ? StatusRegisterKind::Scratch : StatusRegisterKind::InterruptStatus;
    if (board.optionRegisters) {
        const OptionRegisterScenario &r = *board.optionRegisters;
        config.optionRegisters = true;
        config.optionConfig.signatureOk = r.present;
        config.optionConfig.option = FieldOf(r.option, 0);
        config.optionConfig.modeLow = FieldOf(r.modeLow, 0);
        config.optionConfig.modeHigh = FieldOf(r.modeHigh, 2);  // mode control bits 2-4
    }
    return config;
}

}  // namespace

struct BoardSlot::Hardware {
    BoardHardwareConfig config;
    std::unique_ptr<BoardHardware> board;
    DEVICE_POWER_STATE power = PowerDeviceUnspecified;
};

BoardSlot::BoardSlot(const BoardScenario &board) : hardware_(std::make_unique<Hardware>())
{
    hardware_->config = ConfigOf(board);
}

BoardSlot::~BoardSlot()
{
    Unplug();
}

void BoardSlot::Plug(const BoardResources &at)
{
    Hardware &h = *hardware_;
    const ULONG bridgeBase = h.config.bridgeBase ? at.bridgeBase : 0;
    if (!h.board || h.config.ioBase != at.uartBase || h.config.bridgeBase != bridgeBase) {
        if (h.board) h.board->Unplug();
        h.config.ioBase = at.uartBase;
        h.config.bridgeBase = bridgeBase;
        h.board = std::make_unique<BoardHardware>(h.config);
        h.board->SetPowerState(h.power);
    }
    if (!h.board->Plugged()) h.board->Plug();
}

void BoardSlot::Unplug()
{
    if (hardware_->board && hardware_->board->Plugged()) hardware_->board->Unplug();
}

void BoardSlot::SetPower(DEVICE_POWER_STATE state)
{
    hardware_->power = state;
    if (hardware_->board) hardware_->board->SetPowerState(state);
}

bool BoardSlot::Plugged() const
{
    return hardware_->board && hardware_->board->Plugged();
}

}  // namespace sim
