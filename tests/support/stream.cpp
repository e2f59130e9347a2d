#include "tests/support/stream.h"

#include <cstdio>
#include <cstdlib>

#include "tests/support/erase_walk.h"

namespace expected {

std::string DrawEvent(int y, const std::wstring& text) {
    return "draw:" + std::to_string(y) + ":" + Narrow(text);
}

std::string BoxEvent(const std::wstring& text) {
    return "box:" + Narrow(text);
}

static std::string Hex(const std::vector<BYTE>& bytes) {
    std::string out;
    for (BYTE b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", b);
        out += (out.empty() ? "" : " ") + std::string(hex);
    }
    return out;
}

std::string FrameEvent(const std::vector<BYTE>& bytes, const std::vector<BYTE>& reply) {
    return "frame:" + Hex(bytes) + " -> " + Hex(reply);
}

bool ParseFault(const std::string& text, FrameFault& fault) {
    std::size_t a = text.find(':'), b = text.rfind(':');
    if (a == std::string::npos || a == b) return false;
    fault.kind = text.substr(0, a);
    fault.occurrence = std::atoi(text.substr(a + 1, b - a - 1).c_str());
    fault.fault = text.substr(b + 1);
    return fault.occurrence > 0 && (fault.fault == NoReply || fault.fault == WrongReply);
}

void Stream::Push(Step step, const std::string& event) {
    steps.push_back(std::move(step));
    if (!event.empty()) events.push_back(event);
}

void Stream::Draw(int y, const std::wstring& text) {
    Step step{Step::Type::Draw};
    step.y = y;
    step.text = text;
    Push(step, DrawEvent(y, text));
}

void Stream::Box(const expected::Box& box) {
    Step step{Step::Type::Box};
    step.box = box;
    Push(step, BoxEvent(box.text));
}

void Stream::Sleep(DWORD ms) {
    Step step{Step::Type::Sleep};
    step.ms = ms;
    Push(step, SleepEvent(ms));
}

static Step FrameStep(const std::string& frameKind, const Frame& bytes, const Frame& reply) {
    Step step{Step::Type::Frame};
    step.kind = frameKind;
    step.bytes = bytes;
    step.reply = reply;
    return step;
}

bool Stream::Send(const std::string& frameKind, const Frame& bytes, const Frame& reply) {
    return Send(FrameStep(frameKind, bytes, reply));
}

bool Stream::Send(Step step) {
    const int ofKind = ++sent_[step.kind];
    const int ofAll = ++sent_[kind::Any];
    for (const FrameFault& f : faults)
        if ((f.kind == step.kind && f.occurrence == ofKind) || (f.kind == kind::Any && f.occurrence == ofAll))
            step.fault = f.fault;
    // A dropped reply is still noted with the frame, as the unit made it.
    if (step.fault == WrongReply && !step.reply.empty()) step.reply[0] ^= 0x01;  // any other byte refuses
    const bool accepted = step.fault.empty();
    Push(step, FrameEvent(step.bytes, step.reply));
    return accepted;
}

void Stream::Fatal(int code) {
    Draw(LineStatus, FatalTexts[code]);
    Box(FatalBox);
    Push(Step{Step::Type::Close}, CloseEvent);
    Push(Step{Step::Type::Destroy}, DestroyEvent);
    Step exit{Step::Type::Exit};
    exit.status = 1;
    Push(exit, ExitEvent(exit.status));
    exitCode = 1;
    throw Stop{};
}

// The text, the frame; on a refusal the frame once more and the retransmit
// text; a second refusal shows its box and stops with its code.
void Stream::Command(const std::string& frameKind, BYTE code, const std::wstring& text, const expected::Box& failed,
                     int fatal) {
    if (!text.empty()) Draw(LineStatus, text);
    Step frame = FrameStep(frameKind, ControllerFrame(code), {code});
    frame.code = code;
    if (Send(frame)) return;
    const bool accepted = Send(frame);
    Draw(LineStatus, frameKind == kind::Speed ? SpeedRetransmit : ModeRetransmit);
    if (accepted) return;
    Box(failed);
    Fatal(fatal);
}

void Stream::Mode(BYTE code) {
    Command(kind::Mode, code, ModeText(code), ModeFailedBox, FatalMode);
}

void Stream::Speed() {
    Command(kind::Speed, SpeedCode, SpiSpeed, SpeedFailedBox, FatalSpeed);
}

void Stream::Ready() {
    Step frame = FrameStep(kind::Ready, ReadyQuery, ReadyAnswer);
    frame.code = ReadyQuery[2];
    Send(frame);
}

bool Stream::Erase(const Region& region) {
    Sleep(ErasePauseMs);
    EraseWalk walk(static_cast<BYTE>(region.firstSector), region.sectorCount);
    while (!walk.Ended()) {
        const bool status = walk.Due() == EraseWalk::Next::Status;
        Step frame = FrameStep(walk.Kind(), walk.Expected(), walk.Reply());
        if (walk.Due() == EraseWalk::Next::Erase) frame.sector = walk.Sector();
        walk.Answer(Send(frame) ? std::optional<BYTE>(frame.reply[0]) : std::nullopt);
        if (status) Sleep(StatusPauseMs);
    }
    if (walk.FailureBox()) Box(*walk.FailureBox());
    return walk.Due() == EraseWalk::Next::Done;
}

// Every attempt counts towards the progress cycle, resends included; a piece
// refused twice in a row ends the image.
bool Stream::Program(const Region& region, const std::vector<BYTE>& payload) {
    Draw(LineStatus, WriteStarted);
    const std::uint32_t total = static_cast<std::uint32_t>(payload.size());
    std::uint32_t offset = 0;
    int attempts = 0;
    int failures = 0;
    while (offset < total) {
        const std::uint32_t remaining = total - offset;
        if (attempts == ProgressCycle - 1) {
            attempts = 0;
            Draw(LineStatus, ProgressText(ProgressShown(remaining, total)));
        } else {
            ++attempts;
        }
        std::size_t n = remaining < PieceBytes ? remaining : PieceBytes;
        Step piece = FrameStep(kind::Program, ProgramFrame(region.base + offset, payload.data() + offset, n), {ProgramAck});
        piece.address = region.base + offset;
        piece.data.assign(payload.begin() + offset, payload.begin() + offset + n);
        if (Send(piece)) {
            offset += static_cast<std::uint32_t>(n);
            failures = 0;
            continue;
        }
        Draw(LineStatus, WriteRetransmit);
        if (++failures == 2) {
            Box(FlashWriteFailedBox);
            return false;
        }
        Sleep(PauseMs);
    }
    return true;
}

// The region of a file that can go to the unit; nullptr after the box (and
// the "Wrong ID" line) that refuses it.
const Region* Stream::Check(const std::wstring& name) {
    auto file = files_->find(name);
    if (file == files_->end()) {
        Box(FileMissingBox(name));
        return nullptr;
    }
    const std::vector<BYTE>& bytes = file->second;
    const Region* region = bytes.size() < 4 ? nullptr : FindRegion(std::string(bytes.begin(), bytes.begin() + 4));
    if (!region) {
        Step line{Step::Type::Output};  // standard output is no event of the host layer
        line.text.assign(WrongId.begin(), WrongId.end());
        Push(line, "");
        Box(WrongIdBox(name));
        return nullptr;
    }
    if (bytes.size() - 4 > region->Size()) {
        Box(FileTooLargeBox(name));
        return nullptr;
    }
    return region;
}

bool Stream::Image(const std::wstring& name) {
    const Region* region = Check(name);
    if (!region) return false;
    const std::vector<BYTE>& bytes = files_->at(name);
    const std::vector<BYTE> payload(bytes.begin() + 4, bytes.end());
    if (!Erase(*region)) Fatal(FatalErase);
    if (!Program(*region, payload)) return false;
    Step written{Step::Type::Written};
    written.text = name;
    Push(written, "");
    return true;
}

void Stream::Image(const std::string& id, const std::vector<BYTE>& payload) {
    const Region& region = RegionOf(id);
    if (Erase(region)) Program(region, payload);
}

void Stream::Walk(const Files& files) {
    if (!files.count(MainImage)) {
        Box(FileMissingBox(MainImage));
        return;
    }
    // Every file the update will write, before the bridge is opened.
    const Region* main = Check(MainImage);
    if (!main) return;
    if (main->id == OsdId)
        for (const std::wstring& part : OsdParts)
            if (!Check(part)) return;
    if (!connected) {
        Box(NotConnectedBox);
        return;
    }
    if (!opens) {
        Box(OpenFailedBox);
        return;
    }
    Draw(LineStatus, Updating);
    Draw(LineVersion, PowerWarning);
    Mode(expected::Update);
    Mode(Normal);
    Sleep(PauseMs);
    Speed();
    Mode(Reset);
    Sleep(PauseMs);
    if (!Image(MainImage)) Fatal(FatalImage);
    if (main->id == OsdId) {
        for (int part = 0; part < 4; ++part) {
            Mode(Normal);
            Mode(Write);
            Ready();
            Draw(LinePart, WritingPart[part]);
            Mode(Reset);
            if (part == 0) Sleep(PauseMs);
            if (!Image(OsdParts[part])) Fatal(FatalImage);
        }
        Mode(Normal);
        Mode(Normal);
        Mode(Write);
        Ready();
    }
    Sleep(PauseMs);
    Mode(Normal);
    Mode(expected::UpdateOk);
    Draw(LineStatus, UpdateOkText);
    Draw(LineVersion, BlankLine);
    Draw(LineClosing1, PowerCycle);
    Draw(LineClosing2, WaitAfterPowerUp);
    Draw(LineClosing3, Reconfigure);
    Box(UpdateOkBox);
    Push(Step{Step::Type::Close}, CloseEvent);
    Push(Step{Step::Type::Destroy}, DestroyEvent);
    exitCode = 0;
}

void Stream::Update(const Files& files) {
    files_ = &files;
    try {
        Walk(files);
    } catch (const Stop&) {
    }
    files_ = nullptr;
}

void Stream::Update(const std::string& mainId, const std::vector<BYTE>& main, const std::string* partIds,
                    const std::vector<BYTE>* parts) {
    auto file = [](const std::string& id, const std::vector<BYTE>& payload) {
        std::vector<BYTE> bytes(id.begin(), id.end());
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return bytes;
    };
    Files files{{MainImage, file(mainId, main)}};
    if (mainId == OsdId)
        for (int part = 0; part < 4; ++part) files[OsdParts[part]] = file(partIds[part], parts[part]);
    Update(files);
}

}  // namespace expected
