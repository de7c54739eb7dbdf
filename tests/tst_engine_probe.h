// The tests' one look inside the download engine: the components and the members the steps
// keep, for the cases that set up a state no operator can reach by the controls (a page image
// poked between loads, a port opened under the engine, bytes read by hand).
#pragma once

#include "engine/DownloadEngine.h"

class EngineProbe {
public:
    explicit EngineProbe(DownloadEngine& engine) : e_(engine) {}

    TComm& Comm1() { return e_.Comm1; }
    UUPD& Upd() { return e_.Upd; }
    QTimer* TmMainPro() { return e_.TmMainPro; }
    QTimer* TmDevCtrl() { return e_.TmDevCtrl; }

    int32_t& ImageEnd() { return e_.ImageEnd; }
    std::array<uint8_t, kImageSize>& FirmwareImage() { return e_.FirmwareImage; }
    std::array<uint8_t, 512>& RxBuf() { return e_.RxBuf; }
    int32_t& RxCount() { return e_.RxCount; }
    std::array<QString, ImageListCapacity>& ModelFiles() { return e_.ModelFiles; }
    bool& PortOpened() { return e_.PortOpened; }
    bool& ServerImageAccepted() { return e_.ServerImageAccepted; }
    int32_t& DownloadState() { return e_.DownloadState; }
    int32_t& DevCtrlState() { return e_.DevCtrlState; }
    int32_t& ScanPortNo() { return e_.ScanPortNo; }
    int32_t& StepCounter() { return e_.StepCounter; }

    int32_t LoadFirmwareFile(const QString& name) { return e_.LoadFirmwareFile(name); }
    void SendCommandFrame(uint8_t a, uint8_t b, uint8_t c) { e_.SendCommandFrame(a, b, c); }
    bool SendPageFrame(const uint8_t* image, int32_t pageSize, int32_t pageIndex, bool skip) {
        return e_.SendPageFrame(image, pageSize, pageIndex, skip);
    }
    void SendModeSwitchFrame(int protocol) { e_.SendModeSwitchFrame(protocol); }
    void SendWakeWord() { e_.SendWakeWord(); }
    void SendGoByte() { e_.SendGoByte(); }
    void SendEndFrame() { e_.SendEndFrame(); }
    void FlushInput() { e_.FlushInput(); }
    bool OpenPort() { return e_.OpenPort(); }
    void ClosePort() { e_.ClosePort(); }
    void AddLog(const QString& line) { e_.AddLog(line); }

private:
    DownloadEngine& e_;
};
