#include "cli/LoaderRun.h"

#include "cli/StopSignals.h"
#include "engine/Progress.h"
#include "image/ImageList.h"
#include "link/PortNames.h"
#include "settings/SettingsText.h"
#include "update/Uupdate.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kPortPollMs = 100;
constexpr int kPortSettleMs = 500;

// A box's row text for a stored row index: an index outside the rows selects none (empty text).
QString RowText(const QStringList& rows, int index) {
    return index >= 0 && index < rows.size() ? rows[index] : QString();
}

QStringList ProtocolRows() {
    QStringList rows;
    for (const char* name : kProtocolNames)
        rows << QString::fromLatin1(name);
    return rows;
}

QStringList RateRows() {
    QStringList rows;
    for (const int32_t rate : kBaudRates)
        rows << QStringLiteral("br%1").arg(rate);
    return rows;
}

} // namespace

int CliChoices::ModelRow() const {
    return Row >= 0 && Row < std::min<int>(Models.size(), ImageListCapacity) ? Row : -1;
}

LoaderRun::LoaderRun(const CliOptions& options, CliOutput& out) : options_(options), out_(out) {}

LoaderRun::~LoaderRun() = default;

std::optional<int> LoaderRun::Prepare() {
    // The window's design-time choices first.
    const SettingsValues design;
    choices_.Port = design.CmbComPort;
    choices_.Protocol = RowText(ProtocolRows(), design.CmbProtocol);
    choices_.Rate = RowText(RateRows(), design.CmbBaudRate);
    choices_.File = design.EdFileName;
    for (const char* name : kDesignModelNames)
        choices_.Models << QString::fromUtf8(name);
    choices_.Row = design.CmbModel;
    choices_.Skip = design.CbBlankSkip;
    choices_.Reset = design.CbAutoReset;
    choices_.Local = design.RbLocalFile;

    engine_ = std::make_unique<DownloadEngine>(choices_);
    DownloadEngine* e = engine_.get();
    // The thread is blocked inside a fetch when Ctrl-C comes: the client polls the signal itself.
    e->Upd.Cancelled = [] { return StopSignalSeen(); };
    connect(e, &DownloadEngine::MessageBox, this,
            [this](const QString& text) { out_.Message(text); });
    connect(e, &DownloadEngine::LogLine, this, [this](const QString& line) { out_.Log(line); });
    connect(e, &DownloadEngine::PageProgress, this, [this, e](int32_t done, int32_t pages) {
        if (pages <= 0)
            return;
        showChip();
        out_.Progress(done, pages, e->Device.PageSize);
    });
    connect(e, &DownloadEngine::RecordEnded, this,
            [this](const DownloadRecord& record) { onRecord(record); });
    e->CheckAfterPages = options_.Verify;
    connect(e, &DownloadEngine::CheckUnavailable, this, [this] {
        // Once a run: every board of a station has the same loader.
        if (checkUnavailableSaid_)
            return;
        checkUnavailableSaid_ = true;
        out_.Note(QStringLiteral("zubload: the board's loader cannot verify what it holds "
                                 "(it answered the check request as a page it cannot take); "
                                 "boards are written without verification"));
    });
    connect(e, &DownloadEngine::ModelListRead, this, [this](const QStringList& models) {
        choices_.Models = models;
        choices_.Row = 0;
    });
    // After the step or button that changed it, never inside it: the next board starts from
    // the event loop, as the operator's click would.
    connect(
        e, &DownloadEngine::StateChanged, this, [this](int32_t state) { onState(state); },
        Qt::QueuedConnection);

    // No default.ini is normal here: the window's defaults apply, without the window's box.
    const QString ini = e->StartDir + QStringLiteral("/default.ini");
    const bool haveIni = QFileInfo::exists(ini);
    const bool modelGiven = options_.ModelName || options_.ModelRow;
    // A bare "zubload" in some folder must not fetch a list into it and write the window's
    // default model to COM1: without firmware named, the choice has to come from default.ini.
    if (options_.File.isEmpty() && !modelGiven && !haveIni) {
        out_.Note(QStringLiteral("zubload: no firmware named (FILE, --model or --model-row), and "
                                 "no default.ini in %1 to choose one")
                      .arg(e->StartDir));
        return ExitUsage;
    }
    // Read only: the window writes default.ini when it closes; zubload never does.
    if (haveIni)
        applySettings(ini);

    if (!options_.File.isEmpty()) {
        choices_.Local = true;
        choices_.File = options_.File;
        e->ForgetImage();
    } else if (modelGiven) {
        choices_.Local = false;
    }

    // The port first: a failed list fetch's record row names it.
    if (options_.Port)
        choices_.Port = *options_.Port;

    if (!choices_.Local) {
        // Unlike the window, a missing image list is fetched before it is read, so that the
        // model can be chosen in this run.
        if (const std::optional<int> status = fetchImageList())
            return status;
        const QString listFile = QString::fromLocal8Bit(e->Upd.Info.ListFile);
        const int row = choices_.Row;
        e->ReadImageList(listFile);
        choices_.Row = row < choices_.Models.size() ? row : -1;
        QString error;
        if (modelGiven && !applyModel(&error)) {
            out_.Note(QStringLiteral("zubload: ") + error);
            return ExitUsage;
        }
    }

    if (options_.RateCode)
        choices_.Rate = RowText(RateRows(), *options_.RateCode);
    if (options_.Protocol)
        choices_.Protocol = RowText(ProtocolRows(), *options_.Protocol);
    if (options_.AutoReset)
        choices_.Reset = *options_.AutoReset;
    if (options_.SkipBlank)
        choices_.Skip = *options_.SkipBlank;

    // The jig's reset frame would send a board just written back into its boot loader: with
    // auto reset the operator confirms every next board, which needs a terminal to answer.
    if (options_.Repeat && choices_.Reset && !isatty(STDIN_FILENO)) {
        out_.Note(QStringLiteral("zubload: --repeat with auto reset asks for Enter before each "
                                 "next board, and standard input is not a terminal (use "
                                 "--no-auto-reset on a jig that powers the boards itself)"));
        return ExitUsage;
    }
    return std::nullopt;
}

void LoaderRun::applySettings(const QString& path) {
    ParsedSettings p;
    if (LoadSettingsFile(path, p) != SettingsError::None) {
        out_.Message(QStringLiteral("[Warnning]Cannot Read a Initial File!!!"));
        return;
    }
    if (p.CmbComPort)
        choices_.Port = *p.CmbComPort;
    if (p.CmbProtocol)
        choices_.Protocol = RowText(ProtocolRows(), *p.CmbProtocol);
    if (p.CmbBaudRate)
        choices_.Rate = RowText(RateRows(), *p.CmbBaudRate);
    if (p.EdFileName)
        choices_.File = *p.EdFileName;
    if (p.CmbModel)
        choices_.Row = *p.CmbModel >= 0 && *p.CmbModel < choices_.Models.size() ? *p.CmbModel : -1;
    if (p.CbBlankSkip)
        choices_.Skip = *p.CbBlankSkip;
    if (p.CbAutoReset)
        choices_.Reset = *p.CbAutoReset;
    if (p.RbLocalFile)
        choices_.Local = *p.RbLocalFile;
}

std::optional<int> LoaderRun::fetchImageList() {
    DownloadEngine* f = engine_.get();
    const QString listFile = QString::fromLocal8Bit(f->Upd.Info.ListFile);
    if (QFileInfo::exists(listFile))
        return std::nullopt;
    // A failed fetch is this run's end: it gets a record row and a JSON result of its own, from
    // the moment the fetch began.
    const QDateTime began = QDateTime::currentDateTime();
    const bool answered = f->FetchMissingImageList();
    const bool stopped = StopSignalSeen();
    if (!stopped && answered && QFileInfo::exists(listFile))
        return std::nullopt;
    f->BeginRecord();
    f->Record.Started = began;
    // Without a list the boxes hold no model of the server's: the row names the one asked for.
    f->Record.Model = options_.ModelName.value_or(QString());
    f->Record.Image.clear();
    if (stopped) {
        f->EndRecord(RecordResult::Stopped, RecordFailure::None, QString(),
                     FailureKind::Interrupted, signalReason());
        reportEarlyEnd();
        return StopSignalStatus();
    }
    QString line;
    QString reason;
    if (!answered) {
        line = QStringLiteral("[장애]서버에 연결 할 수 없습니다.");
        // The client's own words name a TLS refusal or the system's error, where it has them.
        reason = !f->Upd.LastReason.isEmpty()
                     ? f->Upd.LastReason
                     : QStringLiteral("the update server %1 did not answer").arg(f->Upd.BaseUrl);
    } else {
        line = QStringLiteral("[ERROR] Cannot a Hex_List File!");
        f->ShowMessage(line);
        reason = QStringLiteral("%1 could not be fetched from %2: %3")
                     .arg(listFile, f->Upd.UpdateUrl,
                          f->Upd.LastReason.isEmpty() ? QStringLiteral("no file was received")
                                                      : f->Upd.LastReason);
    }
    f->EndRecord(RecordResult::Failed, RecordFailure::Image, line, FailureKind::Network, reason);
    reportEarlyEnd();
    return ExitImage;
}

void LoaderRun::reportEarlyEnd() {
    if (!endedRecord_)
        return;
    out_.Result(*endedRecord_, boards_);
    endedRecord_.reset();
}

bool LoaderRun::applyModel(QString* error) {
    const QStringList& models = choices_.Models;
    const int rows = std::min<int>(models.size(), ImageListCapacity);
    int row = -1;
    if (options_.ModelName) {
        for (int i = 0; i < rows && row < 0; ++i) {
            if (models[i] == *options_.ModelName)
                row = i;
        }
        if (row < 0) {
            QStringList names;
            for (int i = 0; i < rows; ++i)
                names << QLatin1Char('"') + models[i] + QLatin1Char('"');
            *error = QStringLiteral("no model \"%1\" in hexlist.txt; its models: %2")
                         .arg(*options_.ModelName, names.join(QStringLiteral(", ")));
            return false;
        }
    } else {
        row = *options_.ModelRow;
        if (row >= rows) {
            *error =
                QStringLiteral("no row %1 in the model list (rows 0 to %2)").arg(row).arg(rows - 1);
            return false;
        }
    }
    // As the operator's pick: the model's presets for auto reset and blank skipping apply, and
    // the options given on the command line then override them.
    choices_.Row = row;
    engine_->ForgetImage();
    if (const std::optional<ModelPreset> preset = ModelPresetOf(models[row])) {
        choices_.Reset = preset->AutoReset;
        choices_.Skip = preset->BlankSkip;
    }
    return true;
}

void LoaderRun::Start() {
    runClock_.start();
    timeoutWatch_ = new QTimer(this);
    timeoutWatch_->setSingleShot(true);
    connect(timeoutWatch_, &QTimer::timeout, this, [this] { checkTimeout(); });
    startBoard();
}

void LoaderRun::startBoard() {
    running_ = true;
    chipShown_ = false;
    wakeClock_.invalidate();
    timeoutWatch_->stop();
    // Also watches the Start itself: should the engine ever come to rest without a record,
    // the run ends instead of waiting for ever.
    idlePending_ = true;
    engine_->BtnStartClick();
}

void LoaderRun::onRecord(const DownloadRecord& record) {
    running_ = false;
    ++boards_;
    DownloadRecord r = record;
    completeReason(&r);
    if (!r.Chip.isEmpty())
        showChip();
    endedRecord_ = r;
    switch (r.Result) {
    case RecordResult::Ok:
        ++written_;
        break;
    case RecordResult::Failed:
        if (r.Failure == RecordFailure::Port && portGoneBetweenBoards(r)) {
            // The board just written took its USB port with it at power-off: no board failed,
            // the next one waits for the port to come back.
            awaitPort_ = true;
            break;
        }
        ++failed_;
        // The next board would meet the same port or image: the run ends here.
        if (timedOut_)
            haltStatus_ = ExitTimeout;
        else if (r.Failure == RecordFailure::Port)
            haltStatus_ = engine_->Comm1.DeviceLost() ? ExitPortLost : ExitPort;
        else if (r.Failure == RecordFailure::Image)
            haltStatus_ = ExitImage;
        break;
    case RecordResult::Stopped:
        break;
    }
    // The engine may still have a step to run (closing the port); the next board or the end
    // waits until it is idle.
    idlePending_ = true;
}

void LoaderRun::completeReason(DownloadRecord* r) const {
    // The engine only knows that Stop was pressed; zubload knows which signal pressed it.
    if (r->Result == RecordResult::Stopped && interrupted_)
        r->Reason = signalReason();
}

bool LoaderRun::portGoneBetweenBoards(const DownloadRecord& r) const {
    // Only in a run that has written a board, before the next one answered, with the device
    // gone from the system: any other port failure ends the run.
    return options_.Repeat && written_ + failed_ > 0 && r.Chip.isEmpty() && !portReady();
}

bool LoaderRun::portReady() const {
    // Present and ours to open; access() looks without opening, so no line toggles.
    const QString path = engine_->Comm1.ResolvedDevicePath();
    return !path.isEmpty() && access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
}

void LoaderRun::showChip() {
    if (chipShown_ || engine_->Record.Chip.isEmpty())
        return;
    chipShown_ = true;
    out_.Chip(engine_->Device);
}

QString LoaderRun::signalReason() const {
    switch (StopSignalNumber()) {
    case SIGTERM:
        return QStringLiteral("stopped by SIGTERM");
    case SIGHUP:
        return QStringLiteral("stopped by SIGHUP");
    default:
        return QStringLiteral("stopped by SIGINT");
    }
}

void LoaderRun::checkTimeout() {
    if (!options_.TimeoutMs || !running_ || timedOut_)
        return;
    const int state = engine_->DownloadState;
    // The clock runs from the wake word on: loading and fetching the image do not count.
    if (state < DownloadStep::ResetTarget || state >= DownloadStep::WaitId)
        return;
    if (!wakeClock_.isValid()) {
        wakeClock_.start();
        timeoutWatch_->start(*options_.TimeoutMs);
    }
    if (wakeClock_.elapsed() < *options_.TimeoutMs)
        return;
    timedOut_ = true;
    const QString line = QStringLiteral("[Error] No answer from the board in %1 s")
                             .arg(QString::number(*options_.TimeoutMs / 1000.0, 'g', 6));
    engine_->AddLog(line);
    engine_->EndRecord(RecordResult::Failed, RecordFailure::Download, line, FailureKind::Board,
                       QStringLiteral("no answer from the board"));
    engine_->BtnStopClick(); // the port closed at once, as Stop does
}

void LoaderRun::onState(int32_t /*state*/) {
    checkTimeout();
    whenIdle();
}

void LoaderRun::whenIdle() {
    // The state may have moved on since the change was signalled: what counts is now.
    if (!idlePending_ || !engine_->Resting())
        return;
    idlePending_ = false;
    if (running_) {
        running_ = false;
        out_.Note(QStringLiteral("zubload: the download ended without a result"));
        haltStatus_ = ExitFailed;
    }
    if (endedRecord_) {
        out_.Result(*endedRecord_, boards_);
        endedRecord_.reset();
    }
    nextOrEnd();
}

void LoaderRun::nextOrEnd() {
    if (ended_)
        return;
    const bool allDone = options_.RepeatCount > 0 && written_ + failed_ >= options_.RepeatCount;
    if (interrupted_ || haltStatus_ || !options_.Repeat || allDone) {
        end(statusFromBoards());
        return;
    }
    if (awaitPort_ || !portReady()) {
        waitForPort();
        return;
    }
    if (choices_.Reset)
        askForNextBoard();
    else
        startBoard();
}

void LoaderRun::waitForPort() {
    if (!portWatch_) {
        portWatch_ = new QTimer(this);
        portWatch_->setInterval(kPortPollMs);
        connect(portWatch_, &QTimer::timeout, this, [this] {
            if (!portReady())
                return;
            portWatch_->stop();
            // The device node comes before its owner and mode are set: give it a moment.
            QTimer::singleShot(kPortSettleMs, this, [this] {
                awaitPort_ = false;
                nextOrEnd();
            });
        });
    }
    out_.Note(QStringLiteral("zubload: waiting for %1 to come back").arg(choices_.Port));
    awaitPort_ = true;
    portWatch_->start();
}

void LoaderRun::askForNextBoard() {
    // Keys pressed while the last board was written do not count as the swap.
    tcflush(STDIN_FILENO, TCIFLUSH);
    out_.Note(QStringLiteral("Next board: press Enter"));
    if (!input_) {
        input_ = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(input_, &QSocketNotifier::activated, this, [this] { onInput(); });
    }
    input_->setEnabled(true);
}

void LoaderRun::onInput() {
    char buffer[256];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    input_->setEnabled(false);
    if (n <= 0) {
        // End of input (Ctrl-D): the operator ends the run after the boards so far.
        end(statusFromBoards());
        return;
    }
    if (std::find(buffer, buffer + n, '\n') == buffer + n) {
        input_->setEnabled(true); // part of a line: wait for its end
        return;
    }
    startBoard();
}

void LoaderRun::Interrupt() {
    if (ended_ || interrupted_)
        return;
    interrupted_ = true;
    if (input_ && input_->isEnabled()) {
        // At the prompt the terminal has echoed "^C": the summary starts on a line of its own.
        if (isatty(STDERR_FILENO))
            out_.Note(QString());
        input_->setEnabled(false);
    }
    if (running_) {
        // A board that has answered is half written; one still awaited is only a wait.
        midBoard_ = engine_->DownloadState >= DownloadStep::WaitId;
        engine_->BtnStopClick(); // port closed at once, no end frame, the record says stopped
        if (running_) {
            running_ = false; // no record came: end all the same
            idlePending_ = true;
            QTimer::singleShot(0, this, [this] { whenIdle(); });
        }
        return;
    }
    if (portWatch_)
        portWatch_->stop();
    if (!idlePending_)
        nextOrEnd();
}

int LoaderRun::statusFromBoards() const {
    if (interrupted_) {
        // Interrupting an open-ended run between boards is how it ends; anything else leaves
        // boards unwritten.
        const bool openEnded = options_.Repeat && options_.RepeatCount == 0;
        if (midBoard_ || !openEnded)
            return StopSignalStatus();
    }
    if (haltStatus_)
        return *haltStatus_;
    return failed_ > 0 ? ExitFailed : ExitOk;
}

void LoaderRun::end(int status) {
    ended_ = true;
    if (portWatch_)
        portWatch_->stop();
    if (options_.Repeat)
        out_.Summary(written_, failed_, runClock_.elapsed());
    QCoreApplication::exit(status);
}

void LoaderRun::Release() {
    if (!engine_)
        return;
    engine_->TmMainPro->stop();
    // A failure may leave the port open (no identification).
    if (engine_->Comm1.Enabled())
        engine_->Comm1.Close();
    engine_->Upd.ReleaseHttp();
}
