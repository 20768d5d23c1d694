// Boards of the simulated machine brought up by its Plug and Play manager
// with the real mpsbus image, for what the manager sees of their ports. The
// ports' stacks are the machine's own: the serial port driver stand-in with
// mpsfilt above it.
#pragma once

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

class PortNodes : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::ResetSerialRecords();
        pnp_ = std::make_unique<sim::PnpManager>(sim::InstallDatabase::Default());
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
