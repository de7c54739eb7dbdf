#include "cli/LoaderRun.h"

#include "cli/StopSignals.h"
#include "engine/Progress.h"
#include "settings/SettingsText.h"

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

} // namespace

LoaderRun::LoaderRun(const CliOptions& options, CliOutput& out) : options_(options), out_(out) {}

LoaderRun::~LoaderRun() = default;

std::optional<int> LoaderRun::Prepare() {
    // The window's design-time choices first (CliChoices' own defaults).
    engine_ = std::make_unique<DownloadEngine>(choices_);
    DownloadEngine* e = engine_.get();
    // The thread is blocked inside a fetch when Ctrl-C comes: the client polls the signal itself.
    e->SetFetchCancelCheck([] { return StopSignalSeen(); });
    connect(e, &DownloadEngine::MessageBox, this,
            [this](const QString& text) { out_.Message(text); });
    connect(e, &DownloadEngine::LogLine, this, [this](const QString& line) { out_.Log(line); });
    connect(e, &DownloadEngine::PageProgress, this, [this, e](int32_t done, int32_t pages) {
        if (pages <= 0)
            return;
        showChip();
        out_.Progress(done, pages, e->IdentifiedDevice().PageSize);
    });
    connect(e, &DownloadEngine::RecordEnded, this,
            [this](const DownloadRecord& record) { onRecord(record); });
    e->SetCheckAfterPages(options_.Verify);
    connect(e, &DownloadEngine::CheckUnavailable, this, [this] {
        // Once a run: every board of a station has the same loader.
        if (checkUnavailableSaid_)
            return;
        checkUnavailableSaid_ = true;
        out_.Note(QStringLiteral("zubload: the board's loader cannot verify what it holds "
                                 "(it answered the check request as a page it cannot take); "
                                 "boards are written without verification"));
    });
    connect(e, &DownloadEngine::ModelListRead, this,
            [this](const QStringList& models) { ApplyImageList(models, &choices_); });
    // After the step or button that changed it, never inside it: the next board starts from
    // the event loop, as the operator's click would.
    connect(
        e, &DownloadEngine::StateChanged, this, [this](int32_t state) { onState(state); },
        Qt::QueuedConnection);

    // No default.ini is normal here: the window's defaults apply, without the window's box.
    const QString ini = e->StartDirectory() + QStringLiteral("/default.ini");
    const bool haveIni = QFileInfo::exists(ini);
    const bool modelGiven = options_.ModelName || options_.ModelRow;
    // A bare "zubload" in some folder must not fetch a list into it and write the window's
    // default model to COM1: without firmware named, the choice has to come from default.ini.
    if (options_.File.isEmpty() && !modelGiven && !haveIni) {
        out_.Note(QStringLiteral("zubload: no firmware named (FILE, --model or --model-row), and "
                                 "no default.ini in %1 to choose one")
                      .arg(e->StartDirectory()));
        return ExitUsage;
    }
    // Read only: the window writes default.ini when it closes; zubload never does.
    if (haveIni)
        applySettings(ini);

    ApplySourceOptions(options_, &choices_);
    if (!options_.File.isEmpty())
        e->ForgetImage();

    if (!choices_.LocalFile()) {
        // Unlike the window, a missing image list is fetched before it is read, so that the
        // model can be chosen in this run.
        if (const std::optional<int> status = fetchImageList())
            return status;
        e->ReadImageList(e->ImageListFile());
        QString error;
        if (!ApplyModelOption(options_, &choices_, &error)) {
            out_.Note(QStringLiteral("zubload: ") + error);
            return ExitUsage;
        }
        // As the operator's pick: the next Start loads the model's image anew.
        if (modelGiven)
            e->ForgetImage();
    }

    ApplyLinkOptions(options_, &choices_);

    // The jig's reset frame would send a board just written back into its boot loader: with
    // auto reset the operator confirms every next board, which needs a terminal to answer.
    if (options_.Repeat && choices_.AutoReset() && !isatty(STDIN_FILENO)) {
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
    ApplySettingsFile(p, &choices_);
}

std::optional<int> LoaderRun::fetchImageList() {
    DownloadEngine* f = engine_.get();
    const QString listFile = f->ImageListFile();
    if (QFileInfo::exists(listFile))
        return std::nullopt;
    // A failed fetch is this run's end: it gets a record row and a JSON result of its own, from
    // the moment the fetch began.
    const QDateTime began = QDateTime::currentDateTime();
    EngineFailure failure;
    const bool answered = f->FetchMissingImageList(&failure);
    const bool stopped = StopSignalSeen();
    if (!stopped && answered && QFileInfo::exists(listFile))
        return std::nullopt;
    const QString model = options_.ModelName.value_or(QString());
    if (stopped) {
        f->FailBeforeStart({EngineError::None, FailureKind::Interrupted, signalReason()}, began,
                           model);
        reportEnded();
        return StopSignalStatus();
    }
    f->FailBeforeStart(failure, began, model);
    reportEnded();
    return ExitImage;
}

void LoaderRun::reportEnded() {
    if (!endedRecord_)
        return;
    out_.Result(*endedRecord_, boards_, endedFailure_);
    endedRecord_.reset();
}

void LoaderRun::Start() {
    runClock_.start();
    timeoutWatch_ = new QTimer(this);
    timeoutWatch_->setSingleShot(true);
    connect(timeoutWatch_, &QTimer::timeout, this, [this] { checkTimeout(); });
    startBoard();
}

bool LoaderRun::waitingForEngine() const {
    return phase_ == RunPhase::Board || phase_ == RunPhase::Settling;
}

void LoaderRun::startBoard() {
    // Also watches the Start itself: should the engine ever come to rest without a record,
    // the run ends instead of waiting for ever.
    phase_ = RunPhase::Board;
    board_.ChipShown = false;
    wakeClock_.invalidate();
    timeoutWatch_->stop();
    engine_->BtnStartClick();
}

void LoaderRun::onRecord(const DownloadRecord& record) {
    // The engine may still have a step to run (closing the port); the next board or the end
    // waits until it is idle.
    phase_ = RunPhase::Settling;
    ++boards_;
    DownloadRecord r = record;
    completeReason(&r);
    if (!r.Chip.isEmpty())
        showChip();
    endedRecord_ = r;
    endedFailure_ = engine_->LastFailure();
    switch (r.Result) {
    case RecordResult::Ok:
        ++written_;
        break;
    case RecordResult::Failed:
        if (r.Failure == RecordFailure::Port && portGoneBetweenBoards(r)) {
            // The board just written took its USB port with it at power-off: no board failed,
            // the next one waits for the port to come back.
            board_.PortGone = true;
            break;
        }
        ++failed_;
        // The next board would meet the same port or image: the run ends here.
        if (board_.TimedOut)
            haltStatus_ = ExitTimeout;
        else if (r.Failure == RecordFailure::Port)
            haltStatus_ = engine_->PortLost() ? ExitPortLost : ExitPort;
        else if (r.Failure == RecordFailure::Image)
            haltStatus_ = ExitImage;
        break;
    case RecordResult::Stopped:
        break;
    }
}

void LoaderRun::completeReason(DownloadRecord* r) const {
    // The engine only knows that Stop was pressed; zubload knows which signal pressed it.
    if (r->Result == RecordResult::Stopped && stop_ != RunStop::None)
        r->Reason = signalReason();
}

bool LoaderRun::portGoneBetweenBoards(const DownloadRecord& r) const {
    // Only in a run that has written a board, before the next one answered, with the device
    // gone from the system: any other port failure ends the run.
    return options_.Repeat && written_ + failed_ > 0 && r.Chip.isEmpty() && !portReady();
}

bool LoaderRun::portReady() const {
    // Present and ours to open; access() looks without opening, so no line toggles.
    const QString path = engine_->PortDevicePath();
    return !path.isEmpty() && access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
}

void LoaderRun::showChip() {
    if (board_.ChipShown || engine_->CurrentRecord().Chip.isEmpty())
        return;
    board_.ChipShown = true;
    out_.Chip(engine_->IdentifiedDevice());
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
    if (!options_.TimeoutMs || phase_ != RunPhase::Board || board_.TimedOut)
        return;
    const int state = engine_->State();
    // The clock runs from the wake word on: loading and fetching the image do not count.
    if (state < DownloadStep::ResetTarget || state >= DownloadStep::WaitId)
        return;
    if (!wakeClock_.isValid()) {
        wakeClock_.start();
        timeoutWatch_->start(*options_.TimeoutMs);
    }
    if (wakeClock_.elapsed() < *options_.TimeoutMs)
        return;
    board_.TimedOut = true;
    EngineFailure failure{EngineError::NoAnswer, FailureKind::Board,
                          QStringLiteral("no answer from the board")};
    failure.Number = *options_.TimeoutMs;
    engine_->FailBoard(failure);
}

void LoaderRun::onState(int32_t /*state*/) {
    checkTimeout();
    whenIdle();
}

void LoaderRun::whenIdle() {
    // The state may have moved on since the change was signalled: what counts is now.
    if (!waitingForEngine() || !engine_->Resting())
        return;
    if (phase_ == RunPhase::Board) {
        out_.Note(QStringLiteral("zubload: the download ended without a result"));
        haltStatus_ = ExitFailed;
    }
    phase_ = RunPhase::Between;
    reportEnded();
    nextOrEnd();
}

void LoaderRun::nextOrEnd() {
    if (phase_ == RunPhase::Ended)
        return;
    const bool allDone = options_.RepeatCount > 0 && written_ + failed_ >= options_.RepeatCount;
    if (stop_ != RunStop::None || haltStatus_ || !options_.Repeat || allDone) {
        end(statusFromBoards());
        return;
    }
    if (board_.PortGone || !portReady()) {
        waitForPort();
        return;
    }
    if (choices_.AutoReset())
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
                board_.PortGone = false;
                nextOrEnd();
            });
        });
    }
    out_.Note(QStringLiteral("zubload: waiting for %1 to come back").arg(choices_.PortName()));
    phase_ = RunPhase::AwaitPort;
    board_.PortGone = true;
    portWatch_->start();
}

void LoaderRun::askForNextBoard() {
    // Keys pressed while the last board was written do not count as the swap.
    tcflush(STDIN_FILENO, TCIFLUSH);
    out_.Note(QStringLiteral("Next board: press Enter"));
    phase_ = RunPhase::AwaitEnter;
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
    if (phase_ == RunPhase::Ended || stop_ != RunStop::None)
        return;
    stop_ = RunStop::Between;
    if (input_ && input_->isEnabled()) {
        // At the prompt the terminal has echoed "^C": the summary starts on a line of its own.
        if (isatty(STDERR_FILENO))
            out_.Note(QString());
        input_->setEnabled(false);
    }
    if (phase_ == RunPhase::Board) {
        // A board that has answered is half written; one still awaited is only a wait.
        if (engine_->State() >= DownloadStep::WaitId)
            stop_ = RunStop::MidBoard;
        engine_->BtnStopClick(); // port closed at once, no end frame, the record says stopped
        if (phase_ == RunPhase::Board) {
            phase_ = RunPhase::Settling; // no record came: end all the same
            QTimer::singleShot(0, this, [this] { whenIdle(); });
        }
        return;
    }
    if (portWatch_)
        portWatch_->stop();
    if (!waitingForEngine())
        nextOrEnd();
}

int LoaderRun::statusFromBoards() const {
    if (stop_ != RunStop::None) {
        // Interrupting an open-ended run between boards is how it ends; anything else leaves
        // boards unwritten.
        const bool openEnded = options_.Repeat && options_.RepeatCount == 0;
        if (stop_ == RunStop::MidBoard || !openEnded)
            return StopSignalStatus();
    }
    if (haltStatus_)
        return *haltStatus_;
    return failed_ > 0 ? ExitFailed : ExitOk;
}

void LoaderRun::end(int status) {
    phase_ = RunPhase::Ended;
    if (portWatch_)
        portWatch_->stop();
    if (options_.Repeat)
        out_.Summary(written_, failed_, runClock_.elapsed());
    QCoreApplication::exit(status);
}

void LoaderRun::Release() {
    // A failure may leave the port open (no identification); no record is written here.
    if (engine_)
        engine_->Shutdown();
}
