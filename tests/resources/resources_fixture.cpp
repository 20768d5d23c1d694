#include "resources_fixture.h"

#include <ostream>

namespace resourcestest {

bool Access::operator==(const Access &other) const
{
    return write == other.write && width == other.width && address == other.address && value == other.value;
}

std::ostream &operator<<(std::ostream &out, const Access &access)
{
    return out << (access.write ? "W" : "R") << access.width * 8 << " 0x" << std::hex << access.address << " 0x"
               << access.value << std::dec;
}

void ResourcesTest::SetUp()
{
    KernelTest::SetUp();
    device.DeviceExtension = &board;
    board.IsBoard = TRUE;
    board.DeviceObject = &device;
}

void ResourcesTest::TearDown()
{
    ReleaseAll();
    hardware.reset();
    EXPECT_EQ(DriverBlocks(), 0u);
    KernelTest::TearDown();
}

NTSTATUS ResourcesTest::Capture(ResourceList *raw, ResourceList *translated)
{
    IO_STACK_LOCATION stack{};
    stack.MajorFunction = IRP_MJ_PNP;
    stack.MinorFunction = IRP_MN_START_DEVICE;
    stack.Parameters.StartDevice.AllocatedResources = raw ? raw->get() : nullptr;
    stack.Parameters.StartDevice.AllocatedResourcesTranslated = translated ? translated->get() : nullptr;
    InitializeResourceLock(&board);
    return CaptureResources(&device, &stack);
}

NTSTATUS ResourcesTest::CaptureBoard(bool withBridge, bool inMemorySpace, ULONG uartLength)
{
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;
    if (withBridge) {
        raw.push_back(PortDescriptor(kBridgeBase, 0x80));
        translated.push_back(inMemorySpace ? MemorySpacePortDescriptor(kWindow + kBridgeBase, 0x80) : raw.back());
    }
    raw.push_back(PortDescriptor(kUartBase, uartLength));
    translated.push_back(inMemorySpace ? MemorySpacePortDescriptor(kWindow + kUartBase, uartLength) : raw.back());
    raw.push_back(InterruptDescriptor(11, 11));
    translated.push_back(InterruptDescriptor(0x3B, 0x3B));
    ResourceList rawList(raw), translatedList(translated);
    return Capture(&rawList, &translatedList);
}

void ResourcesTest::ReleaseAll()
{
    for (auto range : {std::make_pair(&board.BridgeBase, &board.BridgeMappedLength),
                       std::make_pair(&board.UartBase, &board.UartMappedLength)}) {
        if (*range.second) MmUnmapIoSpace(reinterpret_cast<PVOID>(*range.first), *range.second);
        *range.second = 0;
    }
    for (PCM_RESOURCE_LIST *copy : {&board.RawResources, &board.TranslatedResources}) {
        if (*copy) ExFreePool(*copy);
        *copy = nullptr;
    }
}

sim::BoardHardware &ResourcesTest::PlugBoard(bool inMemorySpace, unsigned ports, sim::StatusRegisterKind kind,
                                             const sim::BridgeValues &bridge)
{
    sim::BoardHardwareConfig config;
    config.ports = ports;
    config.ioBase = kUartBase;
    config.bridgeBase = kBridgeBase;
    config.memoryWindow = inMemorySpace ? kWindow : 0;
    config.statusRegister = kind;
    config.bridgeInitial = bridge;
    hardware = std::make_unique<sim::BoardHardware>(config);
    hardware->Plug();
    return *hardware;
}

void ResourcesTest::Identified(ULONG busType, ULONG portCount, BOOLEAN skipBridgeInit)
{
    board.BusType = busType;
    board.PortCount = portCount;
    board.SkipBridgeInit = skipBridgeInit;
}

std::vector<Access> ResourcesTest::Log() const
{
    std::vector<Access> log;
    for (const hk::IoAccess &a : hk::IoLog()) log.push_back({a.write, a.width, a.port, a.value});
    return log;
}

size_t ResourcesTest::DriverBlocks()
{
    size_t count = 0;
    for (const hk::PoolBlock &block : hk::LivePool())
        if (block.tag == MPS_POOL_TAG) ++count;
    return count;
}

}  // namespace resourcestest
