// One run of zubload: the download engine the window uses, its choices set from default.ini and
// the command line, started board after board through its Start handler and followed through its
// signals. Nothing here steps a download, and a board that --timeout gives up on ends through the
// Stop handler, as a signal's does.
#pragma once

#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "cli/ExitStatus.h"
#include "cli/RunChoices.h"
#include "engine/DownloadEngine.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>

class QSocketNotifier;
class QTimer;

// Where the run stands. One phase at a time; a new wait of the loop is a new phase.
enum class RunPhase {
    Preparing,  // before the first Start
    Board,      // a Start is under way and its record has not come
    Settling,   // its record came (or it never will): reported once the engine rests
    Between,    // reported: what comes next is being decided
    AwaitPort,  // between boards: the port went away with the board just written
    AwaitEnter, // between boards: the operator confirms the next board
    Ended,      // the exit status is given; nothing more starts
};

// A stop signal, and when it came.
enum class RunStop {
    None,
    Between,  // no board was being written
    MidBoard, // a board had identified itself: half written
};

class LoaderRun : public QObject {
    Q_OBJECT
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
    std::optional<int> fetchImageList(); // nothing: the list is there
    void applySettings(const QString& path);
    bool waitingForEngine() const; // a Start under way, or its end not yet reported
    void reportEnded();            // the board that ended, once
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

    RunPhase phase_ = RunPhase::Preparing;
    RunStop stop_ = RunStop::None;
    // What is known of the board under way (or the one just ended).
    struct BoardFacts {
        bool TimedOut = false;  // --timeout ended it
        bool PortGone = false;  // its port went away after it was written: wait for the port
        bool ChipShown = false; // its chip event is out
    } board_;
    bool checkUnavailableSaid_ = false; // --verify met a loader without the check
    int boards_ = 0;                    // Starts that ended
    int written_ = 0;
    int failed_ = 0;
    std::optional<int> haltStatus_; // a port or image failure ends the run with this status
    // The record of the board that ended and its failure, reported once the engine is idle.
    std::optional<DownloadRecord> endedRecord_;
    EngineFailure endedFailure_;
};
