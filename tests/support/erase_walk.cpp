#include "tests/support/erase_walk.h"

#include "tests/support/stream.h"

namespace expected {

EraseWalk::EraseWalk(BYTE firstSector, int sectorCount)
    : sector_(firstSector), last_(static_cast<BYTE>(firstSector + sectorCount - 1)) {}

const std::string& EraseWalk::Kind() const {
    switch (next_) {
    case Next::WriteEnable: return kind::WriteEnable;
    case Next::Erase: return kind::Erase;
    default: return kind::Status;
    }
}

Frame EraseWalk::Expected() const {
    switch (next_) {
    case Next::WriteEnable: return WriteEnable;
    case Next::Erase: return EraseFrame(sector_);
    default: return StatusRead;
    }
}

Frame EraseWalk::Reply() const {
    switch (next_) {
    case Next::WriteEnable: return {WriteEnableReply};
    case Next::Erase: return {EraseReply(sector_)};
    default: return {0x00};
    }
}

void EraseWalk::Answer(std::optional<BYTE> reply) {
    switch (next_) {
    case Next::WriteEnable:
        Accept(reply, WriteEnableReply, Next::Erase, WriteEnableFailedBox);
        break;
    case Next::Erase:
        Accept(reply, EraseReply(sector_), Next::Status, SectorEraseFailedBox);
        break;
    case Next::Status:
        // A status read without a reply, or busy, is followed by another.
        if (reply && (*reply & StatusBusy) == 0) {
            next_ = sector_ == last_ ? Next::Done : Next::WriteEnable;
            ++sector_;
        }
        break;
    default:
        break;
    }
}

void EraseWalk::Accept(std::optional<BYTE> reply, BYTE wanted, Next then, const Box& refused) {
    if (reply == wanted) {
        next_ = then;
        return;
    }
    next_ = Next::Refused;
    failureBox_ = &refused;
}

}  // namespace expected
