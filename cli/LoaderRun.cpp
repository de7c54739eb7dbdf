#include "cli/LoaderRun.h"

#include "app/ZubBootLoadMain.h"
#include "cli/StopSignals.h"
#include "engine/Progress.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>

#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kModelRows = 20; // the model list holds at most this many rows
constexpr int kIdlePollMs = 10;

} // namespace

LoaderRun::LoaderRun(const CliOptions& options, CliOutput& out) : options_(options), out_(out) {}

LoaderRun::~LoaderRun() = default;

int LoaderRun::Prepare() {
    form_ = std::make_unique<TForm1>();
    TForm1* f = form_.get();
    // The start-up sequence runs here, at once, and without its port scan.
    f->Timer1->stop();
    f->MessageBoxHook = [this](const QString& text) { out_.Message(text); };
    f->LogHook = [this](const QString& line) { out_.Log(line); };
    // The thread is blocked inside a fetch when Ctrl-C comes: the client polls the signal itself.
    f->Upd.Cancelled = [] { return StopSignalSeen(); };
    f->PageHook = [this, f](int32_t done, int32_t pages) {
        out_.Progress(done, pages, f->Device.PageSize);
    };
    f->RecordHook = [this](const DownloadRecord& record) { onRecord(record); };

    // No default.ini is normal here: the window's defaults apply, without the window's box.
    const QString ini = f->StartDir + QStringLiteral("/default.ini");
    const bool haveIni = QFileInfo::exists(ini);
    const bool modelGiven = options_.ModelName || options_.ModelRow;
    // A bare "zubload" in some folder must not fetch a list into it and write the window's
    // default model to COM1: without firmware named, the choice has to come from default.ini.
    if (options_.File.isEmpty() && !modelGiven && !haveIni) {
        out_.Note(QStringLiteral("zubload: no firmware named (FILE, --model or --model-row), and "
                                 "no default.ini in %1 to choose one")
                      .arg(f->StartDir));
        return ExitUsage;
    }
    if (haveIni)
        f->LoadSettings(ini);
    // Only the window writes default.ini, when it closes; zubload never does.
    f->SettingsLoaded = false;

    if (!options_.File.isEmpty()) {
        f->RbLocalFile->setChecked(true);
        f->EdFileName->setText(options_.File);
        f->RbLocalFileClick();
    } else if (modelGiven) {
        f->RbWebFile->setChecked(true);
    }

    if (f->RbWebFile->isChecked()) {
        // Unlike the window, a missing image list is fetched before it is read, so that the
        // model can be chosen in this run.
        if (!f->FetchMissingImageList()) {
            out_.LastLineFailed();
            return ExitImage;
        }
        const QString listFile = QString::fromLocal8Bit(f->Upd.Info.ListFile);
        const int row = f->CmbModel->currentIndex();
        f->ReadImageList(listFile);
        if (!QFileInfo::exists(listFile))
            return ExitImage; // the list reader has said so
        f->CmbModel->setCurrentIndex(row < f->CmbModel->count() ? row : -1);
        QString error;
        if (modelGiven && !applyModel(&error)) {
            out_.Note(QStringLiteral("zubload: ") + error);
            return ExitUsage;
        }
    }

    if (options_.Port) {
        const int row =
            f->CmbComPort->findText(*options_.Port, Qt::MatchFixedString | Qt::MatchCaseSensitive);
        if (row >= 0)
            f->CmbComPort->setCurrentIndex(row);
        f->CmbComPort->setEditText(*options_.Port);
    }
    if (options_.RateCode)
        f->CmbBaudRate->setCurrentIndex(*options_.RateCode);
    if (options_.Protocol)
        f->CmbProtocol->setCurrentIndex(*options_.Protocol);
    if (options_.AutoReset)
        f->CbAutoReset->setChecked(*options_.AutoReset);
    if (options_.SkipBlank)
        f->CbBlankSkip->setChecked(*options_.SkipBlank);

    // The jig's reset frame would send a board just written back into its boot loader: with
    // auto reset the operator confirms every next board, which needs a terminal to answer.
    if (options_.Repeat && f->CbAutoReset->isChecked() && !isatty(STDIN_FILENO)) {
        out_.Note(QStringLiteral("zubload: --repeat with auto reset asks for Enter before each "
                                 "next board, and standard input is not a terminal (use "
                                 "--no-auto-reset on a jig that powers the boards itself)"));
        return ExitUsage;
    }
    return -1;
}

bool LoaderRun::applyModel(QString* error) {
    TForm1* f = form_.get();
    const int rows = std::min(f->CmbModel->count(), kModelRows);
    int row = -1;
    if (options_.ModelName) {
        for (int i = 0; i < rows && row < 0; ++i) {
            if (f->CmbModel->itemText(i) == *options_.ModelName)
                row = i;
        }
        if (row < 0) {
            QStringList names;
            for (int i = 0; i < rows; ++i)
                names << QLatin1Char('"') + f->CmbModel->itemText(i) + QLatin1Char('"');
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
    f->CmbModel->setCurrentIndex(row);
    f->CmbModelChange();
    return true;
}

void LoaderRun::Start() {
    runClock_.start();
    idleWatch_ = new QTimer(this);
    idleWatch_->setInterval(kIdlePollMs);
    connect(idleWatch_, &QTimer::timeout, this, [this] { whenIdle(); });
    startBoard();
}

void LoaderRun::startBoard() {
    running_ = true;
    form_->BtnStartClick();
    // Also watches the Start itself: should the engine ever come to rest without a record,
    // the run ends instead of waiting for ever.
    idleWatch_->start();
}

void LoaderRun::onRecord(const DownloadRecord& record) {
    running_ = false;
    ++boards_;
    endedRecord_ = record;
    switch (record.Result) {
    case RecordResult::Ok:
        ++written_;
        break;
    case RecordResult::Failed:
        ++failed_;
        // The next board would meet the same port or image: the run ends here.
        if (record.Failure == RecordFailure::Port)
            haltStatus_ = ExitPort;
        else if (record.Failure == RecordFailure::Image)
            haltStatus_ = ExitImage;
        break;
    case RecordResult::Stopped:
        break;
    }
    // The engine may still have a step to run (closing the port); the next board or the end
    // waits until it is idle.
    idleWatch_->start();
}

void LoaderRun::whenIdle() {
    if (form_->DownloadState != DownloadStep::Idle || form_->TmMainPro->isActive())
        return;
    idleWatch_->stop();
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
    if (interrupted_ || haltStatus_ >= 0 || !options_.Repeat || allDone) {
        end(statusFromBoards());
        return;
    }
    if (form_->CbAutoReset->isChecked())
        askForNextBoard();
    else
        startBoard();
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
        midBoard_ = form_->DownloadState >= DownloadStep::WaitId;
        form_->BtnStopClick(); // port closed at once, no end frame, the record says stopped
        if (running_) {
            running_ = false; // no record came: end all the same
            idleWatch_->start();
        }
        return;
    }
    if (!idleWatch_ || !idleWatch_->isActive())
        nextOrEnd();
}

int LoaderRun::statusFromBoards() const {
    if (interrupted_) {
        // Interrupting an open-ended run between boards is how it ends; anything else leaves
        // boards unwritten.
        const bool openEnded = options_.Repeat && options_.RepeatCount == 0;
        if (midBoard_ || !openEnded)
            return ExitInterrupted;
    }
    if (haltStatus_ >= 0)
        return haltStatus_;
    return failed_ > 0 ? ExitFailed : ExitOk;
}

void LoaderRun::end(int status) {
    ended_ = true;
    if (options_.Repeat)
        out_.Summary(written_, failed_, runClock_.elapsed());
    QCoreApplication::exit(status);
}

void LoaderRun::Release() {
    if (!form_)
        return;
    form_->TmMainPro->stop();
    // A failure may leave the port open (no identification); FormClose would close it too,
    // but it is the window's close and not run here.
    if (form_->Comm1.Enabled())
        form_->Comm1.Close();
    form_->Upd.ReleaseHttp();
}
