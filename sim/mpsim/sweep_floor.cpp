#include "sweep_floor.h"

#include <map>

namespace sim {

namespace {

// perBoard + perPort x the board's UARTs, measured on every case of both
// host builds and lowered to leave room for a life that differs a little;
// none can go below what the life needs: the board's device and one per
// port, each port's filter, its location, its key and its settings. A
// board whose ports refuse to stop (a PCI or ISA board with several) starts
// once in its life, the others three times: the "once" pair is its floor.
struct CallFloor {
    const char *image;
    hk::Service service;
    unsigned perBoard, perPort;
    unsigned perBoardOnce, perPortOnce;
    bool inMemoryOnly = false;  // MmMapIoSpace is called for memory ranges alone
};

using S = hk::Service;
const CallFloor kFloors[] = {
    // Measured 22 + 12n (25 + 12n on ISA, 9 more with option registers);
    // started once, 8 + 10n.
    {"mpsbus", S::Pool, 20, 10, 4, 8},
    // Measured 2 + 2n: a device power request per port and the board's own at sleep and wake.
    {"mpsbus", S::Irp, 0, 2, 0, 2},
    {"mpsbus", S::CreateDevice, 1, 1, 1, 1},
    {"mpsbus", S::Attach, 1, 0, 1, 0},
    // Measured 3 or 6: each start maps the UART range (and a bridge range).
    {"mpsbus", S::MapIoSpace, 3, 0, 1, 0, true},
    // Measured 6 (9 on ISA): identification at each start.
    {"mpsbus", S::Property, 6, 0, 2, 0},
    // Measured 3 + 2n (started once, 1 + n), 9 reads of the option words
    // and 4n or 8n writes of the port settings.
    {"mpsbus", S::RegistryOpen, 1, 2, 1, 1},
    {"mpsbus", S::RegistryRead, 6, 0, 2, 0},
    {"mpsbus", S::RegistryWrite, 0, 4, 0, 4},
    // Measured 1 + 5n (started once, 1 + 3n), and n or 2n of each per-port step.
    {"mpsfilt", S::Pool, 0, 5, 0, 3},
    {"mpsfilt", S::Irp, 0, 2, 0, 1},
    {"mpsfilt", S::CreateDevice, 0, 1, 0, 1},
    {"mpsfilt", S::Attach, 0, 1, 0, 1},
    {"mpsfilt", S::Property, 0, 1, 0, 1},
    {"mpsfilt", S::RegistryOpen, 1, 0, 1, 0},
};

}  // namespace

std::vector<std::string> CallsBelowFloor(const BoardScenario &board, const std::vector<hk::FallibleCall> &calls)
{
    std::map<std::pair<std::string, S>, unsigned> counted;
    for (const hk::FallibleCall &call : calls) ++counted[{call.image, call.service}];
    std::vector<std::string> below;
    for (const CallFloor &floor : kFloors) {
        if (floor.inMemoryOnly && !board.resources.inMemorySpace) continue;
        const bool once = PortsRefuseStop(board);
        const unsigned least =
            once ? floor.perBoardOnce + floor.perPortOnce * board.ports : floor.perBoard + floor.perPort * board.ports;
        const unsigned made = counted[{floor.image, floor.service}];
        if (made < least)
            below.push_back(std::string("too few calls counted: ") + floor.image + " made " + std::to_string(made) +
                            " " + hk::ServiceName(floor.service) + " calls, a life of a " + std::to_string(board.ports) +
                            "-port board makes at least " + std::to_string(least));
    }
    return below;
}

}  // namespace sim
