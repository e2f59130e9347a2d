#include "sim/settings_file.h"

#include <sstream>
#include <stdexcept>

namespace sim {
namespace {

std::string Trim(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(Trim(part));
    return parts;
}

// Whole-string numbers only, so a typo is reported rather than half read.
long long Signed(const std::string& text, int base = 10) {
    std::size_t used = 0;
    long long value = std::stoll(text, &used, base);
    if (used != text.size()) throw std::invalid_argument(text);
    return value;
}

DWORD Unsigned(const std::string& text, int base = 10) {
    long long value = Signed(text, base);
    if (value < 0 || value > 0xFFFFFFFFLL) throw std::out_of_range(text);
    return static_cast<DWORD>(value);
}

template <typename Name>
bool Lookup(const std::string& text, int count, Name name, int& found) {
    for (int i = 0; i < count; ++i)
        if (text == name(i)) {
            found = i;
            return true;
        }
    return false;
}

// The settings name an operation by its ordinal, as the library exports it.
bool ParseOp(const std::string& text, BridgeOp& op) {
    long long ordinal = Signed(text);
    for (BridgeOp known : AllBridgeOps)
        if (OrdinalOf(known) == ordinal) {
            op = known;
            return true;
        }
    return false;
}

bool ParseFault(const std::string& value, FrameFault& fault) {
    std::vector<std::string> parts = Split(value, ':');
    int kind = 0;
    int what = 0;
    if (parts.size() != 3) return false;
    if (!Lookup(parts[0], static_cast<int>(FrameKind::Any) + 1,
                [](int i) { return std::string(KindName(static_cast<FrameKind>(i))); }, kind))
        return false;
    if (!Lookup(parts[2], static_cast<int>(Fault::DropProgram) + 1,
                [](int i) { return std::string(FaultName(static_cast<Fault>(i))); }, what))
        return false;
    fault = {static_cast<FrameKind>(kind), static_cast<int>(Signed(parts[1])), static_cast<Fault>(what)};
    return true;
}

}  // namespace

SettingsFile ParseSettings(const std::string& text) {
    SettingsFile file;
    Settings& s = file.settings;
    std::stringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        std::size_t equals = line.find('=');
        std::string key = Trim(line.substr(0, equals));
        std::string value = equals == std::string::npos ? "" : Trim(line.substr(equals + 1));
        bool understood = equals != std::string::npos;
        try {
            if (!understood) {
            } else if (key == "devices") {
                s.devices.clear();
                if (!value.empty())
                    for (const std::string& serial : Split(value, ',')) s.devices.push_back(Device{serial});
            } else if (key == "round_trip_ms") {
                s.roundTripMs = Unsigned(value);
            } else if (key == "erase_ms") {
                s.eraseMs = Unsigned(value);
            } else if (key == "program_ms") {
                s.programMs = Unsigned(value);
            } else if (key == "late_by_ms") {
                s.lateByMs = Unsigned(value);
            } else if (key == "not_ready_answers") {
                s.notReadyAnswers = static_cast<int>(Signed(value));
            } else if (key == "flash_fill") {
                s.flashFill = static_cast<BYTE>(Unsigned(value, 0));
            } else if (key == "fault") {
                FrameFault fault{};
                understood = ParseFault(value, fault);
                if (understood) s.frameFaults.push_back(fault);
            } else if (key == "call_fault") {
                std::vector<std::string> parts = Split(value, ':');
                understood = parts.size() == 2;
                if (understood) {
                    CallFault fault{};
                    understood = ParseOp(parts[0], fault.op);
                    fault.call = static_cast<int>(Unsigned(parts[1]));
                    if (understood) s.callFaults.push_back(fault);
                }
            } else if (key == "output") {
                file.output = value;
            } else if (key == "replay") {
                file.replay = value;
            } else {
                understood = false;
            }
        } catch (const std::exception&) {
            understood = false;
        }
        if (!understood && file.error.empty())
            file.error = "line " + std::to_string(number) + " not understood: " + line;
    }
    return file;
}

}  // namespace sim
