/*
 * The bus drivers below the boards: PCI, PCMCIA and the root enumerator.
 * They own the boards' physical device objects and answer what such a bus
 * driver answers for its children: capabilities, IDs, texts, resource
 * requirements, and the state changes (start, stop, removal, power) that a
 * PDO completes without hardware work of its own.
 */
#pragma once

#include "pnp_types.h"

namespace sim {

// Service names of the three bus drivers ("pci", "pcmcia", "PnpManager").
const char *BusServiceName(BusKind bus);

// A new PDO for a board found on its bus (the bus driver is loaded on first
// use). The caller receives one reference, as from bus relations.
PDEVICE_OBJECT CreateBoardPdo(const BoardDescription &board);

// Null when |pdo| is not a board PDO of these buses (or it is gone).
const BoardDescription *BoardOfPdo(PDEVICE_OBJECT pdo);

// The board left its slot: the PDO then fails a start, and the removal that
// follows deletes it.
void MarkBoardMissing(PDEVICE_OBJECT pdo);
bool BoardPresent(PDEVICE_OBJECT pdo);
// Called once a removal has come back from the whole stack: deletes the PDO
// of a board that had left, now that no driver is attached to it.
void FinishBoardRemoval(PDEVICE_OBJECT pdo);

// New ranges for the next resource requirements query (a rebalance).
void SetBoardResources(PDEVICE_OBJECT pdo, const BoardResources &resources);

// Forget every board PDO (the kernel reset deletes the objects).
void ResetBuiltinBuses();

}  // namespace sim
