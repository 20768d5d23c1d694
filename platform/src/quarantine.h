/*
 * Freed kernel memory is held back from the C library for a while, so that
 * the same address cannot come back at once as a new block: a second free or
 * a late use of a freed pointer is then recognised as such, never mistaken
 * for an operation on a new block.
 *
 * While it is held the memory is unusable, as Driver Verifier's special pool
 * makes a freed block (an access faults: bug check 0xD5,
 * DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL). Under AddressSanitizer it is
 * poisoned, so the first read or write of it stops the run there. Without
 * the sanitizer it is filled with a pattern that is checked when the block
 * leaves the quarantine: a write into freed memory is then reported as
 * WRITE_AFTER_FREE, as the pool's own checks find a freed block overwritten
 * when it is next handed out.
 */
#pragma once

#include <hk/host.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>

// gcc says __SANITIZE_ADDRESS__; clang (the fuzz build) answers __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define HK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HK_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(HK_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#define HK_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define HK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define HK_POISON(p, n) ((void)(p), (void)(n))
#define HK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace hk::internal {

// Fills |size| bytes at |memory| with |fill| and makes them unusable.
inline void MarkFreed(void *memory, size_t size, unsigned char fill)
{
    std::memset(memory, fill, size);
    HK_POISON(memory, size);
}

// Makes freed memory usable again for the host alone (to check or release
// it) and reports a write into it since MarkFreed; true when it was intact.
inline bool TakeBackFreed(void *memory, size_t size, unsigned char fill, const std::string &owner,
                          const std::string &what)
{
    HK_UNPOISON(memory, size);
    const auto *bytes = static_cast<const unsigned char *>(memory);
    // Compared a run at a time with the fill: most blocks are intact, and
    // only a run that differs is looked at byte by byte.
    unsigned char run[256];
    std::memset(run, fill, sizeof(run));
    size_t i = 0;
    while (i < size && std::memcmp(bytes + i, run, std::min(sizeof(run), size - i)) == 0) i += sizeof(run);
    for (; i < size; ++i) {
        if (bytes[i] == fill) continue;
        std::ostringstream detail;
        detail << what << " at " << memory << " (" << size << " bytes) was written after it was freed: byte " << i
               << " is 0x" << std::hex << int(bytes[i]) << ", not the fill 0x" << int(fill);
        hk::ReportViolation("WRITE_AFTER_FREE", owner, detail.str());
        return false;
    }
    return true;
}

class Quarantine {
public:
    Quarantine(size_t capacity, unsigned char fill, const char *what) : capacity_(capacity), fill_(fill), what_(what) {}

    // Takes ownership of |memory| (from malloc) whose user address is |key|
    // and whose first |size| bytes the caller used; |owner| is charged with
    // a later write into it.
    void Hold(const void *key, void *memory, size_t size, const std::string &owner)
    {
        MarkFreed(memory, size, fill_);
        held_.push_back(Entry{key, memory, size, owner});
        while (held_.size() > capacity_) ReleaseOldest();
    }
    // Asked only when a free or a request names no live object, so a walk
    // costs less than keeping an index on every free.
    bool Holds(const void *key) const
    {
        for (const Entry &entry : held_)
            if (entry.key == key) return true;
        return false;
    }
    // Whether |address| lies inside a block held here.
    bool Covers(const void *address) const
    {
        const auto *at = static_cast<const char *>(address);
        for (const Entry &entry : held_) {
            const auto *begin = static_cast<const char *>(entry.memory);
            if (at >= begin && at < begin + entry.size) return true;
        }
        return false;
    }
    void Clear()
    {
        while (!held_.empty()) ReleaseOldest();
    }
    // Checks every held block for a write without releasing any; returns
    // how many were written.
    size_t CheckAll()
    {
        size_t written = 0;
        for (Entry &entry : held_) {
            if (!TakeBackFreed(entry.memory, entry.size, fill_, entry.owner, what_)) {
                ++written;
                std::memset(entry.memory, fill_, entry.size);  // reported once
            }
            HK_POISON(entry.memory, entry.size);
        }
        return written;
    }

private:
    struct Entry {
        const void *key;
        void *memory;
        size_t size;
        std::string owner;
    };
    void ReleaseOldest()
    {
        Entry &oldest = held_.front();
        TakeBackFreed(oldest.memory, oldest.size, fill_, oldest.owner, what_);
        std::free(oldest.memory);
        held_.pop_front();
    }
    size_t capacity_;
    unsigned char fill_;
    const char *what_;
    std::deque<Entry> held_;
};

}  // namespace hk::internal
