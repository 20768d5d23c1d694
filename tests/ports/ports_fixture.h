// A board device made by hand, with the fields identification fills, for
// the port routines compiled into this test. Port devices get a device key
// under "<device ID>\<instance ID>", as their device node would.
#pragma once

#include "PciParent/models.h"
#include "PciParent/port_devices.h"
#include "PciParent/port_services.h"

#include "support/kernel_test.h"

#include <hk/host.h>

#include <string>
#include <vector>

namespace portstest {

constexpr ULONG kWdmTag = 0x206D6457;

// Model indexes the tests use.
// The pool block that starts at |address|, or a block of size 0.
inline hk::PoolBlock BlockAt(const void *address)
{
    for (const hk::PoolBlock &block : hk::LivePool())
        if (block.address == address) return block;
    return hk::PoolBlock{address, 0, NonPagedPool, 0, ""};
}

inline std::string Narrow(const wchar_t *wide) { return wide == nullptr ? "(null)" : hk::Narrow(wide); }

using Settings = std::vector<std::pair<std::string, ULONG>>;

enum Model : ULONG { PB2A = 0, PB4A = 2, PB8A = 4, CB2A = 7, CB4A = 9, IB8AY = 16, PL1A = 19 };

class PortsTest : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        driver_ = hk::LoadBuiltinDriver("portsboard", NoEntry, nullptr);
        ASSERT_NE(nullptr, driver_);
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(BoardExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                                 FILE_DEVICE_SECURE_OPEN, FALSE, &board_));
        board_->Flags &= ~DO_DEVICE_INITIALIZING;
        board_->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
        BoardExtension *board = Board();
        board->IsBoard = TRUE;
        board->DeviceObject = board_;
        board->GenericExtension = &genericArea_;
        KeInitializeSpinLock(&board->ChildListLock);
        InitializeListHead(&board->ChildList);
        InitializeResourceLock(board);
        hk::PnpHooks hooks;
        hooks.instancePath = [this](PDEVICE_OBJECT device) { return InstancePathOf(device); };
        hk::SetPnpHooks(hooks);
    }

    void TearDown() override
    {
        if (board_ != nullptr) {
            DeletePortDevices(board_);
            IoDeleteDevice(board_);
        }
        hk::UnloadBuiltinDriver("portsboard");
        // The routines run in this executable, so their pool is "host"'s:
        // the fixture's own leak report would not see it.
        EXPECT_EQ(0u, hk::LivePool().size()) << "pool left behind";
        KernelTest::TearDown();
    }

    BoardExtension *Board() { return BoardOf(board_); }

    // What identification leaves in the extension for a board of |model|.
    void Identify(ULONG model, const wchar_t *boardNumber = L"1", ULONG oemFlavour = 0)
    {
        BoardExtension *board = Board();
        board->ModelIndex = model;
        board->PortCount = BoardModels[model].PortCount;
        board->BusType = BoardModels[model].BusType;
        board->OemFlavour = oemFlavour;
        RtlZeroMemory(board->BoardNumber, sizeof(board->BoardNumber));
        for (size_t i = 0; boardNumber[i] != 0; ++i) board->BoardNumber[i] = boardNumber[i];
    }

    // The board's ports in ChildList order.
    std::vector<PortExtension *> Ports()
    {
        std::vector<PortExtension *> ports;
        for (PLIST_ENTRY link = Board()->ChildList.Flink; link != &Board()->ChildList; link = link->Flink)
            ports.push_back(CONTAINING_RECORD(link, PortExtension, ChildLink));
        return ports;
    }

    // The registry values StartPort left for |port|, in the order written.
    Settings SettingsOf(const PortExtension *port)
    {
        Settings settings;
        for (const auto &[name, value] : hk::reg::Values(hk::DeviceParametersPath(InstancePathOf(port->DeviceObject)))) {
            EXPECT_EQ(ULONG(REG_DWORD), value.type) << name;
            EXPECT_EQ(4u, value.data.size()) << name;
            ULONG data = 0;
            if (value.data.size() == 4) memcpy(&data, value.data.data(), 4);
            settings.emplace_back(name, data);
        }
        return settings;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT board_ = nullptr;

private:
    static NTSTATUS NTAPI NoEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

    std::string InstancePathOf(PDEVICE_OBJECT device)
    {
        if (device == nullptr || device == board_ || device->DriverObject != driver_) return "";
        const PortExtension *port = PortOf(device);
        if (port->DeviceId == nullptr || port->InstanceId == nullptr) return "";
        return hk::Narrow(port->DeviceId) + "\\" + hk::Narrow(port->InstanceId);
    }

    ULONG genericArea_ = 0;
};

}  // namespace portstest
