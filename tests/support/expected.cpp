#include "tests/support/expected.h"

#include <cstdio>
#include <stdexcept>

namespace expected {

std::wstring ModeText(BYTE code) {
    for (const Mode& mode : Modes)
        if (mode.code == code) return mode.text;
    return L"";
}

std::wstring ProgressShown(std::uint32_t remaining, std::uint32_t total) {
    float share = static_cast<float>(remaining) / static_cast<float>(static_cast<double>(total));
    float percent = 100.0f - share * 100.0f;
    wchar_t shown[16];
    std::swprintf(shown, sizeof shown / sizeof shown[0], L"%03.1f", static_cast<double>(percent));
    return shown;
}

bool operator==(const Box& a, const Box& b) {
    return a.text == b.text && a.caption == b.caption && a.type == b.type;
}

std::ostream& operator<<(std::ostream& out, const Box& box) {
    return out << "{\"" << Narrow(box.text) << "\", \"" << Narrow(box.caption) << "\", 0x" << std::hex << box.type
               << std::dec << "}";
}

Frame ProgramFrame(std::uint32_t address, const BYTE* data, std::size_t n) {
    Frame frame = {0x00, static_cast<BYTE>(n), 0xD7, 0x02, static_cast<BYTE>(address >> 16),
                   static_cast<BYTE>(address >> 8), static_cast<BYTE>(address)};
    BYTE sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        frame.push_back(data[i]);
        sum = static_cast<BYTE>(sum + data[i]);
    }
    frame.push_back(static_cast<BYTE>(0x100 - sum));
    return frame;
}

const Region* FindRegion(const std::string& id) {
    for (const Region& region : Regions)
        if (region.id == id) return &region;
    return nullptr;
}

const Region& RegionOf(const std::string& id) {
    if (const Region* region = FindRegion(id)) return *region;
    throw std::invalid_argument("no region for " + id);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace expected
