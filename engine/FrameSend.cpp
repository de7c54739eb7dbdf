// The host's frames on the port. Each frame is built in a fixed buffer and handed over in one
// write, so a frame is never split by the component and nothing is allocated per page.
#include "engine/DownloadEngine.h"

void DownloadEngine::SendCommandFrame(uint8_t a, uint8_t b, uint8_t c) {
    if (!Comm1.Enabled())
        return;
    uint8_t frame[Wire::CommandFrameSize];
    Comm1.Write(frame, BuildCommandFrame(a, b, c, frame));
}

// Returns true when the page was blank and skipped (nothing written). A page that cannot be
// framed is not written either, but reports false: the engine then waits for an answer that
// never comes and fails the page, rather than counting it as done.
bool DownloadEngine::SendPageFrame(const uint8_t* image, int32_t pageSize, int32_t pageIndex,
                                   bool skipBlank) {
    // The page image is the whole of FirmwareImage; a page reaching past its end reads as erased.
    size_t imageSize = FirmwareImage.size();
    const uint8_t* begin = FirmwareImage.data();
    if (image >= begin && image < begin + FirmwareImage.size())
        imageSize = static_cast<size_t>(begin + FirmwareImage.size() - image);
    uint8_t buffer[Wire::PageFrameBufferSize];
    const PageFrame frame = BuildPageFrame(image, imageSize, pageSize, pageIndex, buffer);
    if (frame.Error != FrameError::None)
        return false;
    if (skipBlank && frame.Blank)
        return true;
    Comm1.Write(buffer, frame.Length);
    return false;
}

void DownloadEngine::SendModeSwitchFrame(int protocol) {
    uint8_t frame[Wire::ModeSwitchFrameSize];
    const int length = BuildModeSwitchFrame(protocol, frame);
    if (length > 0)
        Comm1.Write(frame, length);
}

void DownloadEngine::SendWakeWord() {
    Comm1.Write(Wire::WakeWord, sizeof Wire::WakeWord);
}

void DownloadEngine::SendGoByte() {
    Comm1.Write(&Wire::Go, 1);
}

void DownloadEngine::SendEndFrame() {
    Comm1.Write(Wire::EndFrame, sizeof Wire::EndFrame);
}
