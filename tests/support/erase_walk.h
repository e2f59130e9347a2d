// The frames of a sector erase run in the order the unit must receive them:
// for each sector a write enable, the sector's erase, then status reads until
// one finds the flash idle. Told how each frame was answered, as the product
// took it, the walk gives the frame due next, or how the run ended and the box
// that ends a refused one. The record of an update and the fuzz target's
// check of the erase both follow it.
#pragma once
#include <windows.h>

#include <optional>
#include <string>

#include "tests/support/expected.h"

namespace expected {

class EraseWalk {
public:
    enum class Next { WriteEnable, Erase, Status, Done, Refused };

    EraseWalk(BYTE firstSector, int sectorCount);

    Next Due() const { return next_; }
    bool Ended() const { return next_ == Next::Done || next_ == Next::Refused; }
    BYTE Sector() const { return sector_; }
    // The frame due next, its kind as the simulated unit names it, and the
    // reply of a willing unit (a status read: idle).
    const std::string& Kind() const;
    Frame Expected() const;
    Frame Reply() const;
    // The first byte of the reply the product took for the frame due; none
    // when it took none.
    void Answer(std::optional<BYTE> reply);
    // The box of a refused reply, once Refused.
    const Box* FailureBox() const { return failureBox_; }

private:
    // A frame answered by its checksum: the next frame when the product took
    // the wanted reply, else the run refused with the frame's box.
    void Accept(std::optional<BYTE> reply, BYTE wanted, Next then, const Box& refused);

    Next next_ = Next::WriteEnable;
    BYTE sector_;
    BYTE last_;
    const Box* failureBox_ = nullptr;
};

}  // namespace expected
