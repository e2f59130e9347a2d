// Reads only what the trace library writes: flat records with numbers, hex
// strings, booleans and null, one a line; the start record's nested objects
// are looked into for the maker's library's error alone. Keys it does not
// use are passed over: a gap ("dropped") is played as the trace stands, the
// frames it holds answered as recorded, and a failed string call, which
// records no string, only fails again.
#include "sim/replay.h"

#include <cstdlib>
#include <map>
#include <sstream>

namespace sim {
namespace {

const long long ReplyWindowUs = 2000 * 1000;  // the program's wait for a reply's first byte

// The text after "key": in a record, or nothing.
bool Value(const std::string& line, const char* key, std::string& value) {
    std::string tag = std::string("\"") + key + "\":";
    std::size_t at = line.find(tag);
    if (at == std::string::npos) return false;
    at += tag.size();
    if (at < line.size() && line[at] == '"') {
        std::size_t end = line.find('"', at + 1);
        if (end == std::string::npos) return false;
        value = line.substr(at + 1, end - at - 1);
        return true;
    }
    std::size_t end = line.find_first_of(",}", at);
    value = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    return !value.empty();
}

long long Number(const std::string& line, const char* key, long long otherwise = 0) {
    std::string value;
    if (!Value(line, key, value)) return otherwise;
    char* end = nullptr;
    long long number = std::strtoll(value.c_str(), &end, 10);
    return end && *end == '\0' ? number : otherwise;
}

bool Hex(const std::string& text, std::vector<BYTE>& bytes) {
    if (text.size() % 2) return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        std::string pair = text.substr(i, 2);
        long value = std::strtol(pair.c_str(), &end, 16);
        if (!end || *end != '\0') return false;
        bytes.push_back(static_cast<BYTE>(value));
    }
    return true;
}

const std::map<std::string, BridgeOp> Ops = {
    {"count", BridgeOp::CountDevices}, {"string", BridgeOp::GetDeviceString}, {"open", BridgeOp::Open},
    {"close", BridgeOp::Close},        {"read", BridgeOp::Read},              {"write", BridgeOp::Write},
    {"flush", BridgeOp::Flush},        {"check", BridgeOp::CheckRxQueue}};

struct Reading {
    explicit Reading(Settings& s) : settings(s) {}
    Settings& settings;
    std::map<BridgeOp, int> calls;  // calls so far of each operation
    std::map<DWORD, Device> devices;
    long long count = -1;
    ReplayedFrame* frame = nullptr;  // the frame whose reply is awaited
    long long writtenAt = 0;
    long long waiting = 0;  // bytes the check that saw the reply found
    bool windowOver = false;

    void Call(const std::string& op, const std::string& line) {
        BridgeOp which = Ops.at(op);
        int number = ++calls[which];
        bool failed = Number(line, "st") != 0;
        // Checks fail by the frame they waited for, not by their count,
        // which differs from run to run.
        if (failed && which != BridgeOp::CheckRxQueue) settings.callFaults.push_back({which, number});
        if (op == "count") {
            count = Number(line, "count", -1);
            if (failed) settings.failedCountWrites = false;
        } else if (op == "string" && !failed) {
            std::string hex;
            std::vector<BYTE> bytes;
            if (Value(line, "str", hex) && Hex(hex, bytes)) {
                Device& d = devices[static_cast<DWORD>(Number(line, "index"))];
                (Number(line, "kind") == 0 ? d.serial : d.product).assign(bytes.begin(), bytes.end());
            }
        } else if (op == "write" && !failed) {
            settings.replay.emplace_back();
            frame = &settings.replay.back();
            std::string hex;
            Value(line, "hex", hex);
            Hex(hex, frame->bytes);
            writtenAt = Number(line, "t");
            windowOver = false;
        } else if (op == "check" && frame) {
            Check(line, failed);
        } else if (op == "read" && frame && frame->answered) {
            std::string hex;
            Value(line, "hex", hex);
            // A read that failed still had bytes waiting for it: the same
            // count, whatever they were, lets the program's checks see them.
            if (failed || !Hex(hex, frame->reply)) frame->reply.assign(static_cast<std::size_t>(waiting), 0);
            frame = nullptr;
        }
    }

    // The first check that sees a byte waiting tells when the reply came;
    // one made after the window is the program's look for stale bytes, which
    // finds a late reply.
    void Check(const std::string& line, bool failed) {
        long long at = Number(line, "t");
        if (!windowOver && at - writtenAt >= ReplyWindowUs) windowOver = true;
        if (failed) {
            if (!windowOver) ++frame->failedChecks;
            return;
        }
        if (Number(line, "waiting") > 0 && !frame->answered) {
            frame->answered = true;
            waiting = Number(line, "waiting");
            frame->delayMs = static_cast<DWORD>((at - writtenAt + 999) / 1000);
        }
    }
};

}  // namespace

std::string ApplyReplay(const std::string& trace, Settings& settings) {
    settings.replay.clear();
    settings.callFaults.clear();
    settings.frameFaults.clear();
    // The recording's status reads tell when an erase was over; the flash
    // model must not be busy longer than they say.
    settings.eraseMs = 0;
    settings.programMs = 0;
    Reading reading(settings);
    std::istringstream lines(trace);
    std::string line;
    int number = 0;
    bool started = false;
    while (std::getline(lines, line)) {
        ++number;
        if (line.find_first_not_of(" \r") == std::string::npos) continue;
        std::string op;
        if (!Value(line, "op", op)) return "replay: line " + std::to_string(number) + " is no trace record";
        if (!started) {
            if (op != "start") return "replay: line 1 is not a trace's start record";
            started = true;
            if (line.find("\"error\":") != std::string::npos) {  // the maker's library was missing
                for (const auto& entry : Ops) settings.callFaults.push_back({entry.second, 0});
                settings.failedCountWrites = false;
            }
            continue;
        }
        if (op == "end") break;
        if (!Ops.count(op)) return "replay: line " + std::to_string(number) + " holds an unknown call " + op;
        reading.Call(op, line);
    }
    if (!started) return "replay: the trace is empty";
    settings.devices.clear();
    for (long long i = 0; i < reading.count; ++i) {
        auto found = reading.devices.find(static_cast<DWORD>(i));
        settings.devices.push_back(found == reading.devices.end() ? Device{""} : found->second);
    }
    return "";
}

}  // namespace sim
