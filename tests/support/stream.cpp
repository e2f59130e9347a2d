#include "tests/support/stream.h"

#include <cstdio>

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

void Stream::Mode(BYTE code) {
    std::wstring text = ModeText(code);
    if (!text.empty()) Draw(LineStatus, text);
    Send(ControllerFrame(code), {code});
}

void Stream::Speed() {
    Draw(LineStatus, SpiSpeed);
    Send(ControllerFrame(SpeedCode), {SpeedCode});
}

void Stream::Ready() {
    Send(ReadyQuery, ReadyAnswer);
}

void Stream::Image(const std::string& id, const std::vector<BYTE>& payload) {
    const Region& region = RegionOf(id);
    Sleep(ErasePauseMs);
    for (int i = 0; i < region.sectorCount; ++i) {
        BYTE sector = static_cast<BYTE>(region.firstSector + i);
        Send(WriteEnable, {WriteEnableReply});
        Send(EraseFrame(sector), {EraseReply(sector)});
        Send(StatusRead, {0x00});
        Sleep(StatusPauseMs);
    }
    Draw(LineStatus, WriteStarted);
    const std::uint32_t total = static_cast<std::uint32_t>(payload.size());
    int attempts = 0;
    for (std::uint32_t offset = 0; offset < total; offset += PieceBytes) {
        std::uint32_t remaining = total - offset;
        if (attempts == ProgressCycle - 1) {
            attempts = 0;
            Draw(LineStatus, ProgressText(ProgressShown(remaining, total)));
        } else {
            ++attempts;
        }
        std::size_t n = remaining < PieceBytes ? remaining : PieceBytes;
        Send(ProgramFrame(region.base + offset, payload.data() + offset, n), {ProgramAck});
    }
}

void Stream::Update(const std::string& mainId, const std::vector<BYTE>& main, const std::string* partIds,
                    const std::vector<BYTE>* parts) {
    Draw(LineStatus, Updating);
    Draw(LineVersion, PowerWarning);
    Mode(expected::Update);
    Mode(Normal);
    Sleep(PauseMs);
    Speed();
    Mode(Reset);
    Sleep(PauseMs);
    Image(mainId, main);
    if (mainId == OsdId) {
        for (int part = 0; part < 4; ++part) {
            Mode(Normal);
            Mode(Write);
            Ready();
            Draw(LinePart, WritingPart[part]);
            Mode(Reset);
            if (part == 0) Sleep(PauseMs);
            Image(partIds[part], parts[part]);
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
    Box(UpdateOkBox.text);
    events.push_back(CloseEvent);
    events.push_back(DestroyEvent);
}

}  // namespace expected
