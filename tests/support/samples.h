// The sample image sets the tests and the benchmark write: which kinds the
// four OSD parts are (both of the smaller regions, twice), and the full-size
// set whose whole update the speed figures are given for.
#pragma once
#include <cstdint>
#include <string>

#include "tests/support/expected.h"

namespace samples {

inline const std::string PartIds[4] = {"1A60", "1A65", "1A60", "1A65"};

struct Image {
    std::wstring name;
    std::string id;
    std::size_t size;
    std::uint32_t seed;
};
const std::size_t KiB = 1024;
inline const Image FullMain = {expected::MainImage, expected::OsdId, 896 * KiB, 1};
inline const Image FullParts[4] = {
    {expected::OsdParts[0], PartIds[0], 256 * KiB, 2},
    {expected::OsdParts[1], PartIds[1], 128 * KiB, 3},
    {expected::OsdParts[2], PartIds[2], 256 * KiB, 4},
    {expected::OsdParts[3], PartIds[3], 128 * KiB, 5},
};

}  // namespace samples
