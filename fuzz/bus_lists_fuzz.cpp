/*
 * The bus interface's resource lists. The input is a board: its bus (first
 * byte), how many partial descriptors its START lists had (second byte, up
 * to 32), and those descriptors, raw first, then translated, each in
 * fuzz::kDescriptorInputBytes (zeros where the input ends). The board keeps its lists as the capture
 * step does, and GetResourceLists hands out rewritten copies of them: a PCI
 * list's last 128-byte port becomes the one-byte interrupt status port at
 * the last UART range's start + 7, an ISA list gains that port behind its
 * last descriptor, a PC Card's list goes out as it is. The board's own lists
 * must stay as they were, a failure hands out nothing, and every copy is
 * given back.
 */
#include "PciParent/bus_interface.h"
#include "PciParent/models.h"
#include "fuzz_check.h"
#include "support/resource_lists.h"

#include <cstring>

namespace {

using hk::test::PartialDescriptorsOf;
using hk::test::SameDescriptor;

const ULONG kMaxDescriptors = 32;
const ULONG kBridgeLength = 0x80;

using Descriptors = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;

// A NonPagedPool list as the capture step keeps it: one full descriptor.
PCM_RESOURCE_LIST BoardList(const Descriptors &partials, ULONG *size)
{
    hk::test::ResourceList list(partials);
    *size = ULONG(list.size());
    void *block = ExAllocatePoolWithTag(NonPagedPool, *size, MPS_POOL_TAG);
    std::memcpy(block, list.bytes(), *size);
    return static_cast<PCM_RESOURCE_LIST>(block);
}

bool IsPort(const CM_PARTIAL_RESOURCE_DESCRIPTOR &d) { return d.Type == CmResourceTypePort; }

// The one-byte port at |uart|'s start + 7 with |like|'s type, sharing and flags.
bool IsStatusPortFrom(const CM_PARTIAL_RESOURCE_DESCRIPTOR &d, const CM_PARTIAL_RESOURCE_DESCRIPTOR &like,
                      const CM_PARTIAL_RESOURCE_DESCRIPTOR &uart)
{
    return d.Type == like.Type && d.ShareDisposition == like.ShareDisposition && d.Flags == like.Flags &&
           d.u.Port.Length == 1 && ULONGLONG(d.u.Port.Start.QuadPart) == ULONGLONG(uart.u.Port.Start.QuadPart) + 7;
}

// The list has what its bus's rewrite derives the status port from.
bool Rewritable(ULONG bus, const Descriptors &list)
{
    bool port = false, bridge = false, uart = false;
    for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : list) {
        if (!IsPort(d)) continue;
        port = true;
        (d.u.Port.Length == kBridgeLength ? bridge : uart) = true;
    }
    return bus == MPS_BUS_PCI ? bridge && uart : bus == MPS_BUS_ISA ? port : true;
}

// What the rewrite of one list must have made of |before|, or why not.
std::string CheckRewrite(ULONG bus, const Descriptors &before, const Descriptors &after)
{
    const CM_PARTIAL_RESOURCE_DESCRIPTOR *lastPort = nullptr, *lastBridge = nullptr, *lastUart = nullptr;
    for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : before) {
        if (!IsPort(d)) continue;
        lastPort = &d;
        (d.u.Port.Length == kBridgeLength ? lastBridge : lastUart) = &d;
    }
    if (bus == MPS_BUS_PCI) {
        if (after.size() != before.size()) return "a PCI list changed its count";
        if (!lastBridge || !lastUart) return "rewritten without a bridge and a UART range";
        for (size_t i = 0; i < before.size(); ++i) {
            if (&before[i] == lastBridge) {
                if (!IsStatusPortFrom(after[i], *lastBridge, *lastUart)) return "the bridge range is no status port";
            } else if (!SameDescriptor(before[i], after[i])) {
                return "descriptor " + std::to_string(i) + " changed";
            }
        }
        return "";
    }
    if (bus == MPS_BUS_ISA) {
        if (after.size() != before.size() + 1) return "an ISA list did not gain one descriptor";
        if (!lastPort) return "rewritten without a port range";
        for (size_t i = 0; i < before.size(); ++i)
            if (!SameDescriptor(before[i], after[i])) return "descriptor " + std::to_string(i) + " changed";
        return IsStatusPortFrom(after.back(), *lastPort, *lastPort) ? "" : "the appended port is no status port";
    }
    if (after.size() != before.size()) return "a list of another bus changed its count";
    for (size_t i = 0; i < before.size(); ++i)
        if (!SameDescriptor(before[i], after[i])) return "descriptor " + std::to_string(i) + " of another bus changed";
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    hk::ResetKernel();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input input(data, size);
    static const ULONG kBuses[] = {MPS_BUS_PCI, MPS_BUS_ISA, MPS_BUS_PCMCIA, 0};
    const ULONG bus = kBuses[input.Byte() % 4];
    const ULONG count = input.Byte() % (kMaxDescriptors + 1);
    Descriptors raw(count), translated(count);
    input.Descriptors(raw.data(), count);
    input.Descriptors(translated.data(), count);

    BoardExtension board{};
    board.IsBoard = TRUE;
    InitializeResourceLock(&board);
    board.BusType = bus;
    board.RawResources = BoardList(raw, &board.RawResourcesSize);
    board.TranslatedResources = BoardList(translated, &board.TranslatedResourcesSize);

    PCM_RESOURCE_LIST rawOut = reinterpret_cast<PCM_RESOURCE_LIST>(1);
    PCM_RESOURCE_LIST translatedOut = reinterpret_cast<PCM_RESOURCE_LIST>(1);
    const NTSTATUS status = GetResourceLists(&board, &rawOut, &translatedOut);

    FUZZ_CHECK(PartialDescriptorsOf(board.RawResources).size() == count && PartialDescriptorsOf(board.TranslatedResources).size() == count,
               "the board's own lists changed");
    for (ULONG i = 0; i < count; ++i)
        FUZZ_CHECK(SameDescriptor(PartialDescriptorsOf(board.RawResources)[i], raw[i]) &&
                       SameDescriptor(PartialDescriptorsOf(board.TranslatedResources)[i], translated[i]),
                   "the board's own descriptor " + std::to_string(i) + " changed");
    if (NT_SUCCESS(status)) {
        FUZZ_CHECK(status == STATUS_SUCCESS, fuzz::Hex(ULONG(status)));
        FUZZ_CHECK(rawOut && translatedOut, "success without both lists");
        const std::string rawWrong = CheckRewrite(bus, raw, PartialDescriptorsOf(rawOut));
        FUZZ_CHECK(rawWrong.empty(), "raw list: " + rawWrong);
        const std::string translatedWrong = CheckRewrite(bus, translated, PartialDescriptorsOf(translatedOut));
        FUZZ_CHECK(translatedWrong.empty(), "translated list: " + translatedWrong);
        FUZZ_CHECK(rawOut->Count == 1 && translatedOut->Count == 1, "a copy of more than one full descriptor");
        ExFreePool(rawOut);
        ExFreePool(translatedOut);
    } else {
        // Only a list that lacks what the status port is derived from fails.
        FUZZ_CHECK(status == STATUS_UNSUCCESSFUL, fuzz::Hex(ULONG(status)));
        FUZZ_CHECK(!Rewritable(bus, raw) || !Rewritable(bus, translated), "lists that can be rewritten failed");
        FUZZ_CHECK(!rawOut && !translatedOut, "a failure handed out a list");
    }
    ExFreePool(board.RawResources);
    ExFreePool(board.TranslatedResources);
    fuzz::ExpectKernelClean("GetResourceLists");
    return 0;
}
