/*
 * Which image a code address belongs to: loaded driver images by their
 * service name, code ranges registered for drivers built into the host, and
 * everything else is the host itself.
 */
#include "kernel_core.h"

#include <dlfcn.h>

#include <set>

namespace {

struct Range {
    std::string image;
    const char *begin;
    const char *end;
};

std::vector<Range> &Ranges()
{
    static std::vector<Range> ranges;
    return ranges;
}

std::set<std::string> &Unverified()
{
    static std::set<std::string> images;
    return images;
}

}  // namespace

namespace hk {

void ExcludeFromVerification(const std::string &image)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    Unverified().insert(image);
}

bool UnderVerification(const std::string &image)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    return Unverified().count(image) == 0;
}

void RegisterImageRange(const std::string &image, const void *begin, const void *end)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    // Code ranges never move, so registering one again changes nothing.
    for (const Range &range : Ranges()) {
        if (range.image == image && range.begin == begin && range.end == end) return;
    }
    Ranges().push_back(Range{image, static_cast<const char *>(begin), static_cast<const char *>(end)});
}

std::string ImageOfAddress(const void *address)
{
    std::string image = internal::ImageOwningAddress(address);
    if (!image.empty()) return image;
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    const char *at = static_cast<const char *>(address);
    for (const Range &range : Ranges()) {
        CountWork(Work::HostWalk);
        if (at >= range.begin && at < range.end) return range.image;
    }
    return "host";
}

}  // namespace hk
