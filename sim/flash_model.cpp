#include "sim/flash_model.h"

#include "sim/sim.h"

namespace sim {

const DWORD PageSize = 256;

void FlashModel::Reset(DWORD size, BYTE fill) {
    cells_.assign(size, fill);
    busyUntil_ = 0;
    writeEnabled_ = false;
    stuck_ = false;
}

bool FlashModel::EraseSector(DWORD address, DWORD now, DWORD eraseMs) {
    if (Busy(now) || !writeEnabled_) return false;
    DWORD first = (address % cells_.size()) & ~(SectorSize - 1);
    std::fill(cells_.begin() + first, cells_.begin() + first + SectorSize, 0xFF);
    writeEnabled_ = false;
    busyUntil_ = now + eraseMs;
    return true;
}

bool FlashModel::Program(DWORD address, const BYTE* data, DWORD length, DWORD now, DWORD programMs) {
    if (Busy(now)) return false;
    DWORD page = (address % cells_.size()) & ~(PageSize - 1);
    for (DWORD i = 0; i < length; ++i) {
        DWORD cell = page + ((address + i) % PageSize);
        cells_[cell] &= data[i];
    }
    writeEnabled_ = false;
    busyUntil_ = now + programMs;
    return true;
}

}  // namespace sim
