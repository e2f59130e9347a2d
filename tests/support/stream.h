// The ordered record of an update as it must be, in the host layer's event
// spelling: draws with their lines, boxes, frames with the unit's replies,
// pauses, the bridge's close and the window's destruction. Built step by step
// from the order the update follows, so a missing or extra event shows. The
// same walk serves a unit that drops or garbles chosen frames, missing or
// refused files (refused before the bridge is opened) and an absent bridge
// or one that does not open, so every level of tests shares it.
#pragma once
#include <windows.h>

#include <map>
#include <optional>
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
inline std::string ExitEvent(int code) { return "exit:" + std::to_string(code); }

// The frame kinds as the simulated unit's settings and trace name them.
namespace kind {
inline const std::string Mode = "mode";
inline const std::string Speed = "speed";
inline const std::string Ready = "ready";
inline const std::string WriteEnable = "write_enable";
inline const std::string Erase = "erase";
inline const std::string Status = "status";
inline const std::string Program = "program";
inline const std::string Any = "frame";  // counts every frame
}  // namespace kind

inline const std::string NoReply = "no_reply";
inline const std::string WrongReply = "wrong_reply";

// The unit misbehaves on the occurrence-th frame of its kind (counted from 1);
// it still carries the command out.
struct FrameFault {
    std::string kind;
    int occurrence;
    std::string fault;  // NoReply or WrongReply
};

// "kind:occurrence:fault", as the simulated unit's settings write it; false
// when the text is not one.
bool ParseFault(const std::string& text, FrameFault& fault);

// One entry of the record, with what the host spelling leaves out: a box's
// caption and type, a frame's kind and fault, and where an image was written.
struct Step {
    enum class Type { Draw, Box, Frame, Sleep, Close, Destroy, Exit, Written, Output };
    explicit Step(Type t) : type(t) {}
    Type type;
    int y = 0;
    std::wstring text;  // a draw's text; the file's name for Written; standard output's line for Output
    Box box;
    std::string kind;
    Frame bytes;
    Frame reply;
    std::string fault;
    BYTE code = 0;               // a controller frame's code
    int sector = -1;             // an erase frame's sector
    std::uint32_t address = 0;   // a page program's address and data
    std::vector<BYTE> data;
    DWORD ms = 0;
    int status = 0;  // the exit code
};

// The files beside the program by name, whole (identifier, then payload).
using Files = std::map<std::wstring, std::vector<BYTE>>;

class Stream {
public:
    void Draw(int y, const std::wstring& text);
    void Box(const expected::Box& box);
    void Sleep(DWORD ms);
    // Sends a frame of a kind; true when the unit's reply accepts it.
    bool Send(const std::string& frameKind, const Frame& bytes, const Frame& reply);
    bool Send(Step frame);
    // Its text, if it has one, then the frame, echoed; resent once, then fatal.
    void Mode(BYTE code);
    void Speed();
    // One ready query, answered ready.
    void Ready();
    // The erase of the image's region, each sector idle at its first status
    // read, then every piece acknowledged, with the progress texts; false
    // (after its box) when the file cannot go to the unit.
    bool Image(const std::wstring& name);
    // The same for a payload of a known kind, as its file would give it.
    void Image(const std::string& id, const std::vector<BYTE>& payload);
    // A whole update of the files given.
    void Update(const Files& files);
    // A whole update of a main image; parts[4] only for a "1A70" one.
    void Update(const std::string& mainId, const std::vector<BYTE>& main, const std::string* partIds = nullptr,
                const std::vector<BYTE>* parts = nullptr);

    // The unit: its faults, whether the bridge "2025" is attached, and
    // whether it opens once found (its kind 2 string, open and flush).
    std::vector<FrameFault> faults;
    bool connected = true;
    bool opens = true;

    std::vector<std::string> events;
    std::vector<Step> steps;
    std::optional<int> exitCode;  // none: the program stays up after the attempt

private:
    struct Stop {};  // a fatal stop ends the walk
    [[noreturn]] void Fatal(int code);
    void Command(const std::string& frameKind, BYTE code, const std::wstring& text, const expected::Box& failed,
                 int fatal);
    const Region* Check(const std::wstring& name);
    bool Erase(const Region& region);
    bool Program(const Region& region, const std::vector<BYTE>& payload);
    void Walk(const Files& files);
    void Push(Step step, const std::string& event);

    const Files* files_ = nullptr;
    std::map<std::string, int> sent_;
};

}  // namespace expected
