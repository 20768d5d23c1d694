// Boards of the simulated machine brought up by its Plug and Play manager
// with the real mpsbus image, for what the manager sees of their ports. The
// ports' stacks hold the serial port driver stand-in alone: what mpsfilt
// adds on top is not what these tests are about.
#pragma once

#include "lower_filter.h"
#include "machine.h"
#include "pnp_manager.h"
#include "serial_standin.h"

#include "support/kernel_test.h"

#include <hk/host.h>

#include <memory>
#include <string>
#include <vector>

namespace portnodes {

// The first board a scenario describes, e.g. {"bus": "pci", "hardware_ids": [...]}.
inline sim::BoardScenario BoardFrom(const std::string &boardJson)
{
    return sim::ParseScenario(R"({"boards": [)" + boardJson + "]}").boards.at(0);
}

// Boards bound to mpsbus above the host's lower filter (what mpsbus
// forwards must pass it), ports to the serial port driver stand-in alone.
inline sim::InstallDatabase PortStackDatabase()
{
    using Match = sim::InstallDatabase::Match;
    sim::InstallDatabase db;
    for (const char *text : {"PCI\\VEN_7A3E&DEV_", "-05D3-", "VELMORA_ISA_SERIAL_"})
        db.Add(Match::Contains, text, sim::DriverBinding{"mpsbus", {}, {sim::kLowerFilterService}});
    for (const char *id : {"VELMORA_PCI_SERIAL_PORT", "VELMORA_ISA_SERIAL_PORT", "VELMORA_PCMCIA_SERIAL_PORT",
                           "TARVO_PCMCIA_SERIAL_PORT", "BRISEL_PCMCIA_SERIAL_PORT"})
        db.Add(Match::Exact, id, sim::DriverBinding{sim::kSerialService, {}, {}});
    return db;
}

class PortNodes : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::ResetSerialRecords();
        pnp_ = std::make_unique<sim::PnpManager>(PortStackDatabase());
        pnp_->RegisterBuiltinDriver(sim::kSerialService, sim::SerialDriverEntry);
    }

    void TearDown() override
    {
        pnp_->ShutDown();
        pnp_.reset();
        slots_.clear();
        EXPECT_EQ(0u, hk::LivePool().size()) << "pool left after every board was removed";
        EXPECT_EQ(0u, hk::LiveDeviceCount());
        KernelTest::TearDown();
    }

    // Plugs the board into its slot and lets the bus report it.
    sim::DeviceNode *Plug(const std::string &boardJson)
    {
        const sim::BoardScenario board = BoardFrom(boardJson);
        slots_.push_back(std::make_unique<sim::BoardSlot>(board));
        slots_.back()->Plug(board.resources);
        return pnp_->PlugBoard(sim::DescribeBoard(board));
    }

    // The manager's log lines for |node| that name |request|, "<request> <detail> -> <status>".
    std::vector<std::string> Sent(const sim::DeviceNode *node, const std::string &request) const
    {
        std::vector<std::string> lines;
        for (const sim::PnpRequestRecord &r : pnp_->Requests()) {
            if (r.instancePath != node->instancePath || r.request != request) continue;
            char status[16];
            snprintf(status, sizeof(status), "%08lX", static_cast<unsigned long>(r.status));
            lines.push_back(r.request + " " + r.detail + " -> " + status);
        }
        return lines;
    }

    std::unique_ptr<sim::PnpManager> pnp_;
    std::vector<std::unique_ptr<sim::BoardSlot>> slots_;
};

}  // namespace portnodes
