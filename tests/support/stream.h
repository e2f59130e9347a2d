// The ordered record of an update as it must be, in the host layer's event
// spelling: draws with their lines, boxes, frames with the unit's replies,
// pauses, the bridge's close and the window's destruction. Built step by step
// from the order the update follows, so a missing or extra event shows.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/expected.h"

namespace expected {

std::string DrawEvent(int y, const std::wstring& text);
std::string BoxEvent(const std::wstring& text);
std::string FrameEvent(const std::vector<BYTE>& bytes, const std::vector<BYTE>& reply);
inline std::string SleepEvent(DWORD ms) { return "sleep:" + std::to_string(ms); }
const std::string CloseEvent = "close";
const std::string DestroyEvent = "destroy";

class Stream {
public:
    void Draw(int y, const std::wstring& text) { events.push_back(DrawEvent(y, text)); }
    void Box(const std::wstring& text) { events.push_back(BoxEvent(text)); }
    void Sleep(DWORD ms) { events.push_back(SleepEvent(ms)); }
    void Send(const Frame& bytes, const Frame& reply) { events.push_back(FrameEvent(bytes, reply)); }
    // Its text, if it has one, then the frame, echoed.
    void Mode(BYTE code);
    void Speed();
    // One ready query, answered ready.
    void Ready();
    // The erase of the image's region, each sector idle at its first status
    // read, then every piece acknowledged at once, with the progress texts.
    void Image(const std::string& id, const std::vector<BYTE>& payload);
    // A whole update of a main image; parts[4] only for a "1A70" one.
    void Update(const std::string& mainId, const std::vector<BYTE>& main, const std::string* partIds = nullptr,
                const std::vector<BYTE>* parts = nullptr);

    std::vector<std::string> events;
};

}  // namespace expected
