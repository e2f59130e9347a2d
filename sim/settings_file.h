// The simulated unit's settings as text, one "key = value" a line:
//   devices = 2025,1999        serial strings in index order (empty: none attached)
//   round_trip_ms = 1          erase_ms = 150      program_ms = 0     late_by_ms = 2500
//   not_ready_answers = 0      (-1: never ready)   flash_fill = 255
//   fault = program:100:no_reply   (kind:occurrence:fault; kind "frame" counts all)
//   call_fault = 7:12              (ordinal:call; call 0 = every call)
//   output = <folder>              where the DLL writes its flash dumps and trace
//   replay = <trace>               answer as the run recorded in this field trace did
#pragma once
#include <string>

#include "sim/sim.h"

namespace sim {

struct SettingsFile {
    Settings settings;
    std::string output;
    std::string replay;  // the trace to answer as, when given
    std::string error;  // empty when every line was understood
};

SettingsFile ParseSettings(const std::string& text);

}  // namespace sim
