// The board's check of what it holds, asked between the last page and the end frame when the
// owner wants it (CheckAfterPages): a board whose loader answers with another CRC than the image's
// fails and gets no end frame, so its application never starts.
#include "engine/DownloadEngine.h"
#include "engine/Progress.h"

#include <QTimer>

namespace {
// The page answer's limits: about 3 s of silence, four sends.
constexpr int32_t kCheckSilenceTicks = 300;
constexpr int32_t kCheckMaxSends = 4;

QString CrcText(uint32_t crc) {
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0')).toUpper();
}
} // namespace

int32_t DownloadEngine::AfterLastPage() {
    CheckSends = 0;
    return CheckAfterPages ? DownloadStep::SendCheck : DownloadStep::Finish;
}

void DownloadEngine::SendCheck() {
    TmMainPro->stop();
    FlushInput();
    uint8_t frame[Wire::PageFrameBufferSize];
    const int length = BuildCheckFrame(Device.PageSize, frame);
    if (Comm1.Enabled() && length > 0)
        Comm1.Write(frame, length);
    ++CheckSends;
    SilenceTicks = 0;
    DownloadState = DownloadStep::WaitCheck;
    TmMainPro->start();
}

void DownloadEngine::WaitCheck() {
    TmMainPro->stop();
    const CheckAnswer answer = CheckAnswerOf(RxBuf.data(), RxCount);
    if (answer.Kind == CheckAnswerKind::CannotCheck && CheckSends < kCheckMaxSends) {
        // Our loaders answer a request damaged on the line with resend too: ask again.
        DownloadState = DownloadStep::SendCheck;
    } else if (answer.Kind == CheckAnswerKind::CannotCheck) {
        // A loader without the check: the board is written as without it.
        Q_EMIT CheckUnavailable();
        DownloadState = DownloadStep::Finish;
    } else if (answer.Kind == CheckAnswerKind::Crc) {
        const uint32_t want =
            ImageCheckCrc(FirmwareImage.data(), FirmwareImage.size(), Device,
                          FirstPageOf(Device.Signature), PageCount, Choices.BlankSkip());
        if (answer.Crc == want) {
            Record.Verified = DownloadRecord::Verification::Matched;
            DownloadState = DownloadStep::Finish;
        } else {
            Record.Verified = DownloadRecord::Verification::Differed;
            EngineFailure f(EngineError::VerifyDiffered, FailureKind::Board,
                            QStringLiteral("the board holds other data than the image (CRC %1, "
                                           "image %2)")
                                .arg(CrcText(answer.Crc), CrcText(want)));
            f.Number = answer.Crc;
            f.Limit = want;
            FlushInput();
            ClosePort();
            FailDownload(f);
        }
    } else if (++SilenceTicks > kCheckSilenceTicks) {
        const EngineFailure f(
            EngineError::VerifyNoResponse, FailureKind::Board,
            QStringLiteral("The board did not answer the check request within 3 seconds") +
                SharedPortNote());
        FlushInput();
        ClosePort();
        FailDownload(f);
    }
    TmMainPro->start();
}
