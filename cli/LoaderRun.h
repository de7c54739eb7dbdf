// One run of zubload: the download engine the window uses, its choices set from default.ini and
// the command line, started board after board through its Start handler and followed through its
// signals. Nothing here steps a download, and a board that --timeout gives up on ends through the
// Stop handler, as a signal's does.
#pragma once

#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "cli/ExitStatus.h"
#include "engine/DownloadEngine.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>

class QSocketNotifier;
class QTimer;

// The choices a window operator makes with the controls, held as values: the window's defaults,
// then default.ini's, then the command line's.
struct CliChoices : OperatorChoices {
    QString Port;
    QString Protocol;
    QString Rate;
    bool Reset = false;
    bool Skip = false;
    bool Local = false;
    QString File;
    QStringList Models; // the model box's rows
    int Row = -1;       // its selected row, -1 for none

    QString PortName() const override { return Port; }
    QString ProtocolText() const override { return Protocol; }
    QString RateText() const override { return Rate; }
    bool AutoReset() const override { return Reset; }
    bool BlankSkip() const override { return Skip; }
    bool LocalFile() const override { return Local; }
    QString FileName() const override { return File; }
    int ModelRow() const override;
    QString ModelName(int row) const override { return Models.value(row); }
    bool Single() const override { return true; }
};

class LoaderRun : public QObject {
public:
    LoaderRun(const CliOptions& options, CliOutput& out);
    ~LoaderRun() override;

    // Creates the engine and sets its choices. Returns nothing when the run can start, otherwise
    // the exit status to end with (usage error, image list not to be had).
    std::optional<int> Prepare();
    // Starts the first board; the application's event loop ends with the run's exit status.
    void Start();
    // Ctrl-C, SIGTERM or SIGHUP: Stop at once, as the operator's Stop button.
    void Interrupt();
    // Closes the port if a failure left it open. Writes no file.
    void Release();

private:
    void startBoard();
    void onRecord(const DownloadRecord& record);
    void whenIdle();
    void onState(int32_t state);
    void nextOrEnd();
    void askForNextBoard();
    void onInput();
    void end(int status);
    int statusFromBoards() const;
    bool applyModel(QString* error);
    std::optional<int> fetchImageList(); // nothing: the list is there
    void applySettings(const QString& path);
    void reportEarlyEnd();
    void completeReason(DownloadRecord* record) const;
    bool portGoneBetweenBoards(const DownloadRecord& record) const;
    bool portReady() const;
    void waitForPort();
    void showChip();
    void checkTimeout();
    QString signalReason() const;

    CliOptions options_;
    CliOutput& out_;
    CliChoices choices_;
    std::unique_ptr<DownloadEngine> engine_;
    QTimer* timeoutWatch_ = nullptr; // --timeout: fires when the board's time is up
    QSocketNotifier* input_ = nullptr;
    QTimer* portWatch_ = nullptr; // polls for a port that went away between boards
    QElapsedTimer wakeClock_;     // --timeout: since the board's wake word began
    QElapsedTimer runClock_;

    bool running_ = false;     // a Start is under way (no record for it yet)
    bool interrupted_ = false; // a stop signal came
    bool midBoard_ = false;    // ... while a board was being written
    bool ended_ = false;
    bool idlePending_ = false;          // a board started or ended: its end is reported once idle
    bool timedOut_ = false;             // --timeout ended the board
    bool awaitPort_ = false;            // the port went away between boards
    bool chipShown_ = false;            // the board's chip event is out
    bool checkUnavailableSaid_ = false; // --verify met a loader without the check
    int boards_ = 0;                    // Starts that ended
    int written_ = 0;
    int failed_ = 0;
    std::optional<int> haltStatus_; // a port or image failure ends the run with this status
    // The record of the board that ended, reported once the engine is idle: lines that the
    // engine logs right after its record (a port error's reason) belong to the board.
    std::optional<DownloadRecord> endedRecord_;
};
