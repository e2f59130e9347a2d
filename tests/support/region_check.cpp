#include "tests/support/region_check.h"

#include <algorithm>

#include "tests/support/expected.h"

bool RegionHolds(const std::vector<BYTE>& flash, const std::string& id, const std::vector<unsigned char>& payload) {
    const expected::Region& region = expected::RegionOf(id);
    if (payload.size() > region.Size() || flash.size() < region.base + region.Size()) return false;
    auto base = flash.begin() + region.base;
    return std::equal(payload.begin(), payload.end(), base) &&
           std::all_of(base + payload.size(), base + region.Size(), [](BYTE b) { return b == 0xFF; });
}
