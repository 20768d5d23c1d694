/*
 * Resources of the simulated machine: the requirement lists the board buses
 * report, the arbiter that assigns them, and the HAL's translation of raw
 * resources into the form a driver programs.
 *
 * Translation, as a uniprocessor x86 HAL with the 8259 PICs does it:
 *   - I/O ports stay I/O ports at the same address;
 *   - on a bus whose I/O space the machine reaches through memory (a board
 *     with ports_in_memory_space), an I/O port range of the raw list becomes
 *     a port range in memory space (CM_RESOURCE_PORT_MEMORY) at the physical
 *     address window + port (kMemoryMappedIoWindow unless the board's
 *     machine places the window elsewhere), which a driver maps;
 *   - a port range the device itself decodes in memory space
 *     (CM_RESOURCE_PORT_MEMORY on the raw descriptor) becomes a memory range
 *     at the same address;
 *   - interrupt line IRQ n: raw level = vector = n; translated vector =
 *     0x30 + n (the PIC's vector base) and level = 27 - n (the device IRQL),
 *     affinity the one processor.
 */
#pragma once

#include "pnp_types.h"

#include <string>
#include <vector>

namespace sim {

using ResourceDescriptors = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;

// The board's requirements: fixed I/O ranges at the addresses it is
// configured for. PCI: bridge range (128 bytes), UART range, shared
// level-sensitive interrupt; PCMCIA and ISA: UART range, shared latched
// interrupt.
std::vector<uint8_t> BoardRequirements(const BoardDescription &board);
INTERFACE_TYPE InterfaceTypeOf(BusKind bus);

// Byte copies between the host and pool blocks handed to or taken from drivers.
std::vector<uint8_t> RequirementsBytes(const IO_RESOURCE_REQUIREMENTS_LIST *list);
PIO_RESOURCE_REQUIREMENTS_LIST RequirementsToPool(const std::vector<uint8_t> &bytes);  // null for an empty list
PCM_RESOURCE_LIST ResourceListToPool(INTERFACE_TYPE bus, const ResourceDescriptors &descriptors);  // null for none
size_t ResourceListSize(size_t descriptors);  // 20 + 16 per descriptor

// True when the list asks for at least one resource.
bool RequirementsAskForResources(const std::vector<uint8_t> &requirements);
INTERFACE_TYPE RequirementsInterfaceType(const std::vector<uint8_t> &requirements);

// Takes the required descriptors of the first alternative list. A range that
// overlaps one in |taken| (unless both are shared), or an interrupt that one
// of them holds exclusively, is a conflict: false, with |why| saying which.
bool Arbitrate(const std::vector<uint8_t> &requirements, const std::vector<const ResourceDescriptors *> &taken,
               ResourceDescriptors *raw, std::string *why);

// |ioThroughMemory|: the device's bus reaches its I/O space through memory,
// port 0 at physical address |window|.
CM_PARTIAL_RESOURCE_DESCRIPTOR Translate(const CM_PARTIAL_RESOURCE_DESCRIPTOR &raw, bool ioThroughMemory,
                                         ULONGLONG window = kMemoryMappedIoWindow);

}  // namespace sim
