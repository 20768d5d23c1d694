/*
 * Scenarios of the simulated machine: which boards sit in it, how their
 * hardware behaves, and what happens to them.
 *
 * JSON form (every name optional unless said; a name not listed here, a
 * value of another type or out of its range, and a step naming a board or
 * port the machine lacks are mistakes, see below):
 *   comment            a string or a list of strings: what the file shows and
 *                      whether it is meant to fail; the run ignores it
 *   expect             {"exit": 0, 1 or 2, "summary": {...}}: the exit status
 *                      and a part of the --json document's "summary" that
 *                      the run must give; the run ignores it, the example
 *                      runner (scripts/run_example.py) compares them
 *   windows            "2000" (default, or mpsim --windows), "xp", "2003",
 *                      "vista", "7", "8", "8.1", "10", "11": the Windows the
 *                      kernel is (RtlGetVersion, its WDM version, NX pool,
 *                      Driver Verifier's code integrity check)
 *   wdm_version        "1.10": the WDM version the kernel reports, over the
 *                      one of its Windows
 *   filter_debug_level number up to 0xFFFFFFFF, stored as mpsfilt's
 *                      "DebugLevel" (absent: no value)
 *   board_lower_filter bool (default false; true in the built-in machine): a
 *                      pass-through lower filter of the host's own sits
 *                      between mpsbus and each board's PDO
 *   memory_window      hex string, default "0xFE000000": the physical address
 *                      at which the machine reaches I/O port 0 of the boards
 *                      that have ports_in_memory_space (on x64 it may lie
 *                      above 4 GiB, "0x3FE000000")
 *   boards             list of boards:
 *     bus              "pci", "pcmcia" or "isa" (root-enumerated); required
 *     hardware_ids     list of strings; required
 *     io_base          hex string ("0x2A0"): the UART range, 8 bytes per port,
 *                      inside the 64 KB I/O space (32-bit port numbers
 *                      with ports_in_memory_space)
 *     bridge_base      hex string, PCI only: the 128-byte bridge range
 *     interrupt        IRQ line, 0 to 15
 *     ports            number of UARTs on the board, 1 to 8; by default what
 *                      the product named by the hardware ID carries (1 if
 *                      unknown)
 *     ports_in_memory_space  bool: the machine reaches the board's I/O ranges
 *                      through memory: the translated START list gives them as
 *                      port ranges in memory space at memory_window + the port
 *     status_register  "read-only" (default) or "scratch"
 *     option_registers object: present (bool, default true), option (0-3),
 *                      mode_low (0-3), mode_high (0-7): each "settable"
 *                      (default) or the number the field is fixed at, counted from the
 *                      field's lowest bit (mode_high 3 reads as 0x0C).
 *                      Absent: the registers the product carries, every
 *                      field settable (the PC Cards -05D3-004B to -004E),
 *                      or none; {"present": false} makes them fail the
 *                      presence signature
 *     registry         object stored under the board's device key before it
 *                      starts: numbers as REG_DWORD, strings as REG_SZ
 *   steps              list, default ["start"]: "start" (plug in and enumerate
 *                      every board not yet in), {"stop": i}, {"restart": i}
 *                      (with "io_base" and, PCI, "bridge_base": new ranges),
 *                      {"remove": i}, {"surprise_remove": i},
 *                      {"query_stop": i} / {"query_remove": i} (each
 *                      answered by its cancel), {"open": i, "port": n} /
 *                      {"close": i, "port": n} (a handle on board i's port
 *                      n, from 1 to its number of UARTs; 1 when not
 *                      given), {"control": i, "port": n} (a device
 *                      control request through that handle),
 *                      {"port_fails": i, "port": n} (its
 *                      serial driver reports the port failed),
 *                      {"power": "sleep"} / {"power": "wake"}. A stop,
 *                      restart, remove, query_stop or query_remove that is
 *                      to be refused says why: "veto": "port 1 is open";
 *                      any other refusal fails the run. One action per
 *                      step; a step on a board comes after a "start"
 *
 * Mistakes stop the parse with a ScenarioError, "<path>: <what is wrong>;
 * <what is allowed>", <path> naming the key in the file as
 * boards[1].status_regster or steps[3].restart (a file that is not JSON:
 * "line 3, column 7"). mpsim prints it as "mpsim: <file>: <error>" and exits
 * with 2 before anything runs; it exits with 1 when the run fails a check
 * and 0 when it is clean.
 *
 * Defaults keep boards apart: PCI board n at UART 0xD000 + 0x100 n, bridge
 * 0xD080 + 0x100 n, IRQ 11; PCMCIA at 0x100 + 0x40 n, IRQ 10; ISA at
 * 0x200 + 0x40 n, IRQ 5. These fit a few boards of each bus; a machine of
 * hundreds is laid out by ManyBoardsScenario below.
 */
#pragma once

#include "pnp_types.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One field of the option or mode control register: settable, or fixed.
struct OptionField {
    bool settable = true;
    unsigned value = 0;  // when fixed
};

struct OptionRegisterScenario {
    bool present = true;  // false: the register fails the presence signature
    OptionField option, modeLow, modeHigh;
};

struct BoardScenario {
    BusKind bus = BusKind::Pci;
    std::vector<std::string> hardwareIds;
    unsigned ports = 1;
    BoardResources resources;
    bool scratchStatusRegister = false;
    std::optional<OptionRegisterScenario> optionRegisters;
    std::vector<std::pair<std::string, hk::reg::Value>> registry;
};

struct ScenarioStep {
    enum class Kind {
        Start,
        Stop,
        Restart,
        Remove,
        SurpriseRemove,
        Sleep,
        Wake,
        QueryStopThenCancel,
        QueryRemoveThenCancel,
        Open,
        Close,
        DeviceControl,
        PortFails,
    } kind = Kind::Start;
    size_t board = 0;
    size_t port = 1;                          // open, close, control, port_fails: the port's number
    std::string expectedVeto;                 // why the step is refused; empty: it is not
    std::optional<ULONG> ioBase, bridgeBase;  // restart with new ranges
};

struct Scenario {
    std::optional<hk::Windows> windows;  // absent: the machine's (SetMachineWindows)
    bool wdmVersionGiven = false;
    std::string wdmVersion = "1.10";
    UCHAR wdmMajor = 1, wdmMinor = 0x10;
    std::optional<ULONG> filterDebugLevel;
    bool boardLowerFilter = false;
    std::vector<BoardScenario> boards;
    std::vector<ScenarioStep> steps;
};

// Throws ScenarioError naming the field that is wrong.
Scenario ParseScenario(const std::string &json);
// One board of each bus: PCI\VEN_7A3E&DEV_0010 (4 ports), a Tarvo PC Card
// -05D3-0022 (2 ports), a root-enumerated VELMORA_ISA_SERIAL_IB8AY (8 ports).
Scenario BuiltinScenario();

// Machines of many boards (many_boards.cpp), each board at ranges of its
// own; past what x86's 64 KB of I/O space holds, every board is reached
// through memory. ManyBoardsScenario takes the 23 models in turn, board n
// being model n mod 23; SameBoardsScenario has |count| boards of |model|
// (the model index, 4 for a PB8-A), reached through memory also when they
// would fit the I/O space if |throughMemory|. Both start every board.
size_t ModelCount();
Scenario ManyBoardsScenario(size_t count);
Scenario SameBoardsScenario(size_t count, size_t model, bool throughMemory);

// The UARTs a product carries, from its hardware IDs; 0 when no ID names
// a known product.
unsigned ProductPortCount(BusKind bus, const std::vector<std::string> &hardwareIds);
// Whether the serial driver refuses to stop the board's started ports: the
// bus driver names each port of a PCI or ISA board with two or more UARTs
// a multiport device, and the serial driver never stops such a port.
bool PortsRefuseStop(const BoardScenario &board);
// The reason a step gives for such a refusal.
extern const char kMultiportStopVeto[];
// Whether that product carries the option and mode control registers.
bool ProductHasOptionRegisters(BusKind bus, const std::vector<std::string> &hardwareIds);

// The board as its bus reports it.
BoardDescription DescribeBoard(const BoardScenario &board);

}  // namespace sim
