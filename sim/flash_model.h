// An SPI NOR flash: 64 KiB sector erase to 0xFF, page program that can only
// clear bits (wrapping within its 256-byte page), a write-enable latch and a
// busy bit that lasts the erase or program time.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

namespace sim {

class FlashModel {
public:
    void Reset(DWORD size, BYTE fill);
    bool Busy(DWORD now) const { return stuck_ || static_cast<std::int32_t>(busyUntil_ - now) > 0; }
    BYTE Status(DWORD now) const { return static_cast<BYTE>((Busy(now) ? 0x01 : 0) | (writeEnabled_ ? 0x02 : 0)); }
    void SetStuckBusy() { stuck_ = true; }

    void WriteEnable() { writeEnabled_ = true; }
    // Each returns false when the flash did not carry it out (busy or not write-enabled).
    bool EraseSector(DWORD address, DWORD now, DWORD eraseMs);
    bool Program(DWORD address, const BYTE* data, DWORD length, DWORD now, DWORD programMs);

    const std::vector<BYTE>& Contents() const { return cells_; }

private:
    std::vector<BYTE> cells_;
    DWORD busyUntil_ = 0;
    bool writeEnabled_ = false;
    bool stuck_ = false;
};

}  // namespace sim
