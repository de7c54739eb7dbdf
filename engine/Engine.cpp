// The download engine: one step per 10 ms tick of TmMainPro, from Start to the last page.
#include "engine/DownloadEngine.h"

#include "engine/Progress.h"
#include "link/PortNames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace {

constexpr int kProtocolNormal = 0;
constexpr int kProtocolCount = static_cast<int>(kProtocolNames.size());
constexpr int kRateCodeMax = 14; // the rate ZUB16T1 and ZUB16T2 start at (256000)
constexpr int32_t kIdTicks = 300;
constexpr int32_t kAckSilenceTicks = 300;
constexpr int32_t kMaxSends = 3; // a fourth send of one page ends the download

QTimer* makeTimer(QObject* parent, const char* name, int interval) {
    auto* timer = new QTimer(parent);
    timer->setObjectName(QString::fromLatin1(name));
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(interval);
    return timer;
}
// The smallest image end the engine sends; a shorter image is refused before the port opens.
constexpr int32_t kMinImageEnd = 100;

QString nowStamp(QTime& stamp) {
    stamp = QTime::currentTime();
    return StampText(stamp.hour(), stamp.minute(), stamp.second());
}

} // namespace

DownloadEngine::DownloadEngine(OperatorChoices& choices, QObject* parent)
    : QObject(parent), Choices(choices) {
    TmMainPro = makeTimer(this, "TmMainPro", 10);
    TmDevCtrl = makeTimer(this, "TmDevCtrl", 20);
    connect(TmMainPro, &QTimer::timeout, this, [this] { TmMainProTimer(); });
    connect(TmDevCtrl, &QTimer::timeout, this, [this] { TmDevCtrlTimer(); });
    connect(&Comm1, &TComm::RxChar, this, [this](int count) { Comm1RxChar(count); });
    Upd.Progress = [this](const UpdWork& work) { Q_EMIT FetchProgress(work); };
    StartDir = QDir::currentPath();
    Upd.Init(Upd.Info, QStringLiteral("ZubLoader"));
    Upd.SaveDir = StartDir;
}

DownloadEngine::~DownloadEngine() = default;

void DownloadEngine::Close() {
    StopRecord(); // closed mid-download
    if (Comm1.Enabled())
        Comm1.Close();
    Upd.ReleaseHttp();
    CloseRequested = true;
}

void DownloadEngine::Shutdown() {
    TmMainPro->stop();
    TmDevCtrl->stop();
    ClosePort();
    Upd.ReleaseHttp();
    CloseRequested = true;
}

bool DownloadEngine::Resting() const {
    return DownloadState == DownloadStep::Idle && !TmMainPro->isActive();
}

bool DownloadEngine::Ticking() const {
    return TmMainPro->isActive();
}

bool DownloadEngine::Scanning() const {
    return TmDevCtrl->isActive();
}

void DownloadEngine::Pause(EnginePause pause, bool repaintFirst) {
    if (repaintFirst)
        RepaintLog();
    QThread::msleep(static_cast<unsigned long>(pause));
}

void DownloadEngine::ProcessPendingEvents() {
    QCoreApplication::processEvents();
}

void DownloadEngine::noteState() {
    const bool ticking = TmMainPro->isActive();
    if (DownloadState == shownState_ && ticking == shownTicking_)
        return;
    shownState_ = DownloadState;
    shownTicking_ = ticking;
    Q_EMIT StateChanged(DownloadState, ticking);
}

void DownloadEngine::TmMainProTimer() {
    RunDownloadStep();
}

void DownloadEngine::RunDownloadStep() {
    // A Stop, find-port or Start click and the receive event run here, before the state is read.
    ProcessPendingEvents();
    if (CloseRequested) {
        // Close has run (port closed, HTTP client released): no step may follow it.
        TmMainPro->stop();
        noteState();
        return;
    }
    // A port that went away under a running download (unplugged adapter, closed peer) ends it
    // at once instead of writing into nothing until a time-out or Stop.
    const bool linkStep =
        (DownloadState >= DownloadStep::ResetTarget && DownloadState <= DownloadStep::Finish) ||
        DownloadState == DownloadStep::SendCheck || DownloadState == DownloadStep::WaitCheck;
    if (linkStep && !Comm1.Enabled()) {
        PortOpened = false;
        DownloadState = DownloadStep::Idle;
        FailPort();
        noteState();
        return;
    }
    switch (DownloadState) {
    case DownloadStep::Idle:
        Idle();
        break;
    case DownloadStep::WaitNext:
        break;
    case DownloadStep::Begin:
        Begin();
        break;
    case DownloadStep::LoadImage:
        LoadImage();
        break;
    case DownloadStep::CheckImage:
        CheckImage();
        break;
    case DownloadStep::OpenLink:
        OpenLink();
        break;
    case DownloadStep::NetFail:
        NetFail();
        break;
    case DownloadStep::ResetTarget:
        ResetTarget();
        break;
    case DownloadStep::SendWake:
        SendWake();
        break;
    case DownloadStep::WaitReady:
        WaitReady();
        break;
    case DownloadStep::WaitId:
        WaitId();
        break;
    case DownloadStep::SendPage:
        SendPage();
        break;
    case DownloadStep::WaitAck:
        WaitAck();
        break;
    case DownloadStep::Finish:
        Finish();
        break;
    case DownloadStep::Release:
        Release();
        break;
    case DownloadStep::SendCheck:
        SendCheck();
        break;
    case DownloadStep::WaitCheck:
        WaitCheck();
        break;
    default:
        break; // an unknown number waits for a button
    }
    noteState();
}

void DownloadEngine::BtnStartClick() {
    QDir::setCurrent(StartDir);
    // A running port scan would set its own device name and close the port under the engine.
    if (DevCtrlState != 0 || TmDevCtrl->isActive()) {
        TmDevCtrl->stop();
        DevCtrlState = 0;
    }
    // A file picked mid-download would replace the image the engine is sending.
    Q_EMIT LocalFileLock(true);
    StopRecord();
    BeginRecord();
    DownloadState = DownloadStep::Begin;
    TmMainPro->start();
    noteState();
}

void DownloadEngine::BtnStopClick() {
    TmMainPro->stop();
    if (PortOpened)
        ClosePort();
    DownloadState = DownloadStep::Idle;
    SetDefaultCursor();
    AddLog(QStringLiteral("장치와 연결을 해제하였습니다."));
    Q_EMIT PageProgress(0, 0);
    EndLocalFileLock();
    StopRecord();
    noteState();
}

void DownloadEngine::BtnResetClick() {
    Q_EMIT LogCleared();
    StartDeviceSearch();
    DownloadState = DownloadStep::Idle;
    FlushInput();
    TmMainPro->stop();
    EndLocalFileLock();
    StopRecord();
    noteState();
}

void DownloadEngine::EndLocalFileLock() {
    Q_EMIT LocalFileLock(false);
}

void DownloadEngine::Idle() {
    RxCount = 0;
    SetDefaultCursor();
    TmMainPro->setInterval(10);
    TmMainPro->stop();
    EndLocalFileLock();
}

void DownloadEngine::Begin() {
    StepCounter = 0;
    DownloadState = DownloadStep::LoadImage;
}

void DownloadEngine::RememberLocalImage(const QString& name) {
    LocalImage = LocalImageStamp{};
    if (ImageEnd == 0)
        return;
    const QFileInfo info(name);
    LocalImage.Valid = true;
    LocalImage.Name = name;
    LocalImage.Size = info.exists() ? info.size() : -1;
    LocalImage.Modified = info.lastModified();
}

bool DownloadEngine::LocalImageCurrent() const {
    if (!LocalImage.Valid || LocalImage.Name != Choices.FileName())
        return false;
    const QFileInfo info(LocalImage.Name);
    return (info.exists() ? info.size() : -1) == LocalImage.Size &&
           info.lastModified() == LocalImage.Modified;
}

void DownloadEngine::LoadImage() {
    // An image kept from an earlier Start is sent again only while it is still the file the
    // operator names; a rebuilt or renamed file is loaded anew.
    if (ImageEnd != 0 && Choices.LocalFile() && !LocalImageCurrent())
        ImageEnd = 0;
    if (ImageEnd != 0) {
        DownloadState = DownloadStep::OpenLink;
        return;
    }
    TmMainPro->stop();
    SetHourglass();
    if (Choices.LocalFile()) {
        ServerImageAccepted = false;
        LoadLocalFile(Choices.FileName());
        DownloadState = DownloadStep::OpenLink;
    } else {
        LoadModelImage();
    }
    TmMainPro->start();
}

void DownloadEngine::WarnIfRateNotTaken(int code) {
    if (!Comm1.Enabled())
        return;
    const int32_t requested = BaudRateForCode(code);
    const int32_t actual = Comm1.KernelBaudRate();
    if (RateMismatch(requested, actual))
        AddLog(RateWarningText(requested, actual));
}

void DownloadEngine::OpenLink() {
    RecordImage();
    if (ImageEnd < kMinImageEnd) {
        FailDownload({EngineError::ImageTooSmall, FailureKind::Image, ImageRefusalReason()});
        return;
    }
    // Settings may hold an index that is no row, or the box shows typed text that names none:
    // no frame goes out at an undefined rate.
    const int protocol = Choices.ProtocolRow();
    if (protocol < 0 || protocol >= kProtocolCount) {
        EngineFailure f{EngineError::ProtocolNoRow, FailureKind::Port};
        f.Number = protocol;
        f.Reason = FailureBodyText(f);
        FailDownload(f);
        return;
    }
    Record.Protocol = QString::fromLatin1(kProtocolNames[static_cast<size_t>(protocol)]);
    const int rate = Choices.RateCode();
    const bool rateUsed = protocol == kProtocolNormal || Choices.AutoReset();
    if (rateUsed && (rate < 0 || rate > kRateCodeMax)) {
        EngineFailure f{EngineError::RateNoRow, FailureKind::Port};
        f.Number = rate;
        f.Reason = FailureBodyText(f);
        FailDownload(f);
        return;
    }
    const int code = protocol == kProtocolNormal ? rate : kRateCodeMax;
    Record.Baud = BaudRateForCode(code);
    Comm1.SetDeviceName(Choices.PortName().toLocal8Bit());
    Comm1.SetBaudRate(code);
    const bool wasOpen = Comm1.Enabled();
    // The record's device column: looked up while the board is awaited, or when the record ends.
    RecordDevicePending = true;
    if (OpenPort()) {
        if (!wasOpen) {
            WarnIfRateNotTaken(code);
            WarnIfPortShared();
        }
        AddLog(QStringLiteral("다운로드 준비가 되었습니다."));
        AddLog(QStringLiteral("장치의 전원스위치를 OFF/ON하십시오."));
        Pause(EnginePause::BeforeWake);
        DownloadState = DownloadStep::ResetTarget;
    } else {
        PortOpened = false;
        DownloadState = DownloadStep::Idle;
        FailPort();
    }
}

void DownloadEngine::ResetTarget() {
    TmMainPro->stop();
    if (Choices.AutoReset()) {
        const int protocol = Choices.ProtocolRow();
        if (protocol == kProtocolNormal) {
            SendCommandFrame(0x30, 0x01, 0x00);
        } else {
            SendModeSwitchFrame(protocol);
            Pause(EnginePause::AfterModeSwitch);
            ClosePort();
            Pause(EnginePause::BeforeReopen);
            const int rate = Choices.RateCode();
            Comm1.SetBaudRate(rate);
            Record.Baud = BaudRateForCode(rate);
            if (!OpenPort()) {
                // The board listens at the new rate now; the wake word would go nowhere.
                PortOpened = false;
                DownloadState = DownloadStep::Idle;
                FailPort();
                TmMainPro->start();
                return;
            }
            WarnIfRateNotTaken(rate);
        }
        FlushInput();
    }
    StepCounter = 0;
    DownloadState = DownloadStep::SendWake;
    TmMainPro->start();
}

void DownloadEngine::SendWake() {
    TmMainPro->stop();
    FlushInput();
    SendWakeWord();
    StepCounter = 0;
    DownloadState = DownloadStep::WaitReady;
    TmMainPro->start();
}

void DownloadEngine::WaitReady() {
    TmMainPro->stop();
    if (RecordDevicePending)
        RecordDevice();
    if (IsReadyReply(RxBuf.data(), RxCount)) {
        if (RecordOpen)
            Record.ReadyAt = QDateTime::currentDateTime();
        FlushInput();
        SendGoByte();
        AddLog(QStringLiteral("[") + nowStamp(StampTime) + QStringLiteral("] 다운로드 시작 : ") +
               QString::number(DownloadCount));
        Q_EMIT PageProgress(0, 0);
        StepCounter = 0;
        DownloadState = DownloadStep::WaitId;
    } else {
        // No limit: a board is woken by its operator's power switch, whenever that comes.
        if (StepCounter > 3)
            DownloadState = DownloadStep::SendWake;
        ++StepCounter;
    }
    TmMainPro->start();
}

void DownloadEngine::WaitId() {
    TmMainPro->stop();
    ++StepCounter;
    if (StepCounter > kIdTicks) {
        FailDownload({EngineError::IdTimeout, FailureKind::Board,
                      QStringLiteral("The boot loader answered but sent no chip identification "
                                     "within 3 seconds") +
                          SharedPortNote()});
    } else if (IsIdReply(RxCount)) {
        const uint8_t pageCode = RxBuf[3];
        Device = DecodeIdReply(RxBuf.data());
        Record.Chip = Device.Name + QStringLiteral(" 0x") +
                      QStringLiteral("%1").arg(Device.Signature, 2, 16, QLatin1Char('0')).toUpper();
        Q_EMIT DeviceIdentified(Device);
        FlushInput();
        const DownloadPlan plan = PlanDownload(ImageEnd, Device);
        EngineFailure f{plan.Error, FailureKind::Image};
        if (plan.Error == EngineError::PageSizeUnknown) {
            // Ends like a failed identification: the port stays open.
            f.Kind = FailureKind::Board;
            f.Number = pageCode;
            f.Reason = FailureBodyText(f);
            FailDownload(f);
        } else if (plan.Error != EngineError::None) {
            // No board gets a wrapped, truncated or blank-only image.
            const bool tooLarge = plan.Error == EngineError::ImageTooLarge;
            f.Number = tooLarge ? int64_t{ImageEnd} + 1 : plan.PageCount;
            f.Limit = tooLarge ? Device.FlashSize : plan.FirstPage;
            f.Reason = FailureBodyText(f);
            ClosePort();
            FailDownload(f);
        } else {
            PageCount = plan.PageCount;
            PageIndex = plan.FirstPage;
            if (PageCount > 0) {
                ProgressMax = ProgressMaxOf(PageCount);
                ShowPageProgress(PageIndex);
            }
            StepCounter = 0;
            DownloadState = DownloadStep::SendPage;
        }
    }
    TmMainPro->start();
}

void DownloadEngine::ShowPageProgress(int32_t pageNumber) {
    Q_EMIT PageProgress(pageNumber, PageCount);
}

void DownloadEngine::SendPage() {
    TmMainPro->stop();
    FlushInput();
    const int32_t pageSize = Device.PageSize;
    bool noneLeft = false;
    if (!Choices.BlankSkip()) {
        SendPageFrame(FirmwareImage.data(), pageSize, PageIndex, false);
    } else {
        bool skipped = SendPageFrame(FirmwareImage.data(), pageSize, PageIndex, true);
        while (skipped) {
            ++Record.PagesSkipped;
            ShowPageProgress(PageIndex + 1);
            ++PageIndex;
            FlushInput();
            if (PageIndex >= PageCount) {
                noneLeft = true;
                break;
            }
            skipped = SendPageFrame(FirmwareImage.data(), pageSize, PageIndex, true);
        }
    }
    ShowPageProgress(PageIndex + 1);
    if (!noneLeft && StepCounter != 0)
        ++Record.Resends; // the board asked for this page again
    ++StepCounter;
    SilenceTicks = 0;
    DownloadState = noneLeft ? AfterLastPage() : DownloadStep::WaitAck;
    TmMainPro->start();
}

void DownloadEngine::WaitAck() {
    TmMainPro->stop();
    if (StepCounter > kMaxSends || SilenceTicks > kAckSilenceTicks) {
        const bool overCount = StepCounter > kMaxSends;
        EngineFailure f{overCount ? EngineError::PageOverCount : EngineError::PageNoResponse,
                        FailureKind::Board};
        f.Number = PageIndex;
        // Asked for before the port closes: the other programs are looked for on its device.
        f.Reason = (overCount ? QStringLiteral("The board asked for page %1 again on every send "
                                               "(noise on the line, or a rate it cannot hold)")
                              : QStringLiteral("The board did not answer page %1 within 3 seconds"))
                       .arg(PageIndex) +
                   SharedPortNote();
        FlushInput();
        ClosePort();
        FailDownload(f);
    } else {
        switch (PageAnswerOf(RxBuf.data(), RxCount)) {
        case PageAnswer::Ack:
            ++Record.PagesSent; // counted when the board has taken the page
            ++PageIndex;
            StepCounter = 0;
            SilenceTicks = 0;
            DownloadState = PageIndex >= PageCount ? AfterLastPage() : DownloadStep::SendPage;
            break;
        case PageAnswer::Resend:
            DownloadState = DownloadStep::SendPage;
            break;
        case PageAnswer::None: // nothing yet, or a byte that is no answer
            ++SilenceTicks;
            break;
        }
    }
    TmMainPro->start();
}

void DownloadEngine::Finish() {
    TmMainPro->stop();
    SendEndFrame();
    AddLog(QStringLiteral("[") + nowStamp(StampTime) + QStringLiteral("] 다운로드 완료"));
    Q_EMIT DeviceReleased();
    ++DownloadCount;
    if (Choices.Single()) {
        AddLog(QStringLiteral("장치와 연결을 해제하였습니다."));
        if (!ServerImageAccepted)
            ImageEnd = 0;
        DownloadState = DownloadStep::Release;
    } else {
        AddLog(QStringLiteral("다음 다운로드 대기중 입니다."));
        Q_EMIT PageProgress(0, 0);
        DownloadState = DownloadStep::WaitNext;
        EndLocalFileLock();
    }
    // After the end frame and its lines: the board is done before the row goes to disk.
    EndRecord(RecordResult::Ok);
    TmMainPro->start();
}

QString DownloadEngine::ImageRefusalReason() const {
    const bool local = Choices.LocalFile();
    const QString name = local ? PrintableName(Choices.FileName()) : QString();
    const QString prefix = name.isEmpty() ? QString() : name + QStringLiteral(": ");
    if (ImageEnd <= 0)
        return prefix +
               (LastLoadReason.isEmpty() ? QStringLiteral("no image loaded") : LastLoadReason);
    return prefix + QStringLiteral("the image ends at address %1 (%2 bytes); images of at least %3 "
                                   "bytes are sent")
                        .arg(ImageEnd)
                        .arg(int64_t{ImageEnd} + 1)
                        .arg(kMinImageEnd + 1);
}

QString DownloadEngine::SharedPortNote() const {
    const QString others = PortSharers();
    if (others.isEmpty())
        return {};
    return QStringLiteral("; %1 has the port open too and may take the board's answers")
        .arg(others);
}

void DownloadEngine::Release() {
    if (PortOpened)
        ClosePort();
    DownloadState = DownloadStep::Idle;
}
