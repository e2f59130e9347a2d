// The bridge library's eight operations by the ordinals they are imported
// under (bridge.def), for the code that counts, records or fails them.
#pragma once

enum class BridgeOp {
    CountDevices = 1,
    GetDeviceString = 2,
    Open = 3,
    Close = 4,
    Read = 6,
    Write = 7,
    Flush = 9,
    CheckRxQueue = 12,
};

const BridgeOp AllBridgeOps[] = {BridgeOp::CountDevices, BridgeOp::GetDeviceString, BridgeOp::Open,
                                 BridgeOp::Close,        BridgeOp::Read,            BridgeOp::Write,
                                 BridgeOp::Flush,        BridgeOp::CheckRxQueue};

inline int OrdinalOf(BridgeOp op) { return static_cast<int>(op); }
