#include "board_view.h"

#include "PciParent/models.h"
#include "PciParent/mpsbus.h"

namespace sim {

namespace {

const char kBusDriver[] = "mpsbus";

PDEVICE_OBJECT BusDriverDevice(PDEVICE_OBJECT pdo)
{
    PDRIVER_OBJECT driver = hk::DriverOf(kBusDriver);
    if (!driver || !pdo) return nullptr;
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device; device = device->AttachedDevice)
        if (device->DriverObject == driver) return device;
    return nullptr;
}

// A mapped base is a virtual address: the mapping says which physical
// address it stands for.
RangeView RangeOf(ULONG_PTR base, ULONG mappedLength)
{
    RangeView view;
    view.present = base != 0;
    view.address = base;
    if (mappedLength == 0) return view;
    view.mapped = true;
    view.mappedLength = mappedLength;
    hk::Mapping mapping;
    if (hk::MappingAt(reinterpret_cast<const void *>(base), &mapping)) view.address = mapping.physical;
    return view;
}

const char *BrandName(ULONG oemFlavour)
{
    switch (oemFlavour) {
    case 1: return "Tarvo";
    case 2: return "Brisel";
    default: return "Velmora";
    }
}

}  // namespace

BoardDriverView ReadBoardDriverView(PDEVICE_OBJECT pdo)
{
    BoardDriverView view;
    PDEVICE_OBJECT device = BusDriverDevice(pdo);
    if (!device) return view;
    const auto *board = static_cast<const BoardExtension *>(device->DeviceExtension);
    if (!board->IsBoard) return view;
    view.seen = true;

    size_t digits = 0;
    while (digits < sizeof(board->BoardNumber) / sizeof(WCHAR) && board->BoardNumber[digits]) ++digits;
    view.number = hk::Narrow(board->BoardNumber, digits);
    view.identified = board->PortCount != 0 && board->ModelIndex < MPS_MODEL_COUNT;
    if (view.identified) {
        // The name as the driver's own model table holds it.
        const auto *models = static_cast<const BoardModel *>(hk::ImageSymbol(kBusDriver, "BoardModels"));
        view.model = models ? hk::Narrow(models[board->ModelIndex].Name)
                            : "model " + std::to_string(board->ModelIndex);
        view.ports = board->PortCount;
        view.brand = BrandName(board->OemFlavour);
    }
    view.uart = RangeOf(board->UartBase, board->UartMappedLength);
    view.bridge = RangeOf(board->BridgeBase, board->BridgeMappedLength);
    return view;
}

}  // namespace sim
