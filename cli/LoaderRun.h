// One run of zubload: the main window object, never shown, set from default.ini and the command
// line, started through its Start button handler board after board, and followed through its
// log, page and record hooks. The engine is the window's own; nothing here steps a download, and
// a board that --timeout gives up on ends through the Stop handler, as a signal's does.
#pragma once

#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "cli/ExitStatus.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>
#include <optional>

class QSocketNotifier;
class QTimer;
class TForm1;

class LoaderRun : public QObject {
public:
    LoaderRun(const CliOptions& options, CliOutput& out);
    ~LoaderRun() override;

    // Creates the window object and sets its controls. Returns -1 when the run can start,
    // otherwise the exit status to end with (usage error, image list not to be had).
    int Prepare();
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
    void nextOrEnd();
    void askForNextBoard();
    void onInput();
    void end(int status);
    int statusFromBoards() const;
    bool applyModel(QString* error);
    int fetchImageList(); // -1: the list is there
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
    std::unique_ptr<TForm1> form_;
    QTimer* idleWatch_ = nullptr;
    QSocketNotifier* input_ = nullptr;
    QTimer* portWatch_ = nullptr; // polls for a port that went away between boards
    QElapsedTimer wakeClock_;     // --timeout: since the board's wake word began
    QElapsedTimer runClock_;

    bool running_ = false;     // a Start is under way (no record for it yet)
    bool interrupted_ = false; // a stop signal came
    bool midBoard_ = false;    // ... while a board was being written
    bool ended_ = false;
    bool timedOut_ = false;  // --timeout ended the board
    bool awaitPort_ = false; // the port went away between boards
    bool chipShown_ = false; // the board's chip event is out
    int boards_ = 0;         // Starts that ended
    int written_ = 0;
    int failed_ = 0;
    int haltStatus_ = -1; // a port or image failure ends the run with this status
    // The record of the board that ended, reported once the engine is idle: lines that the
    // engine logs right after its record (a port error's reason) belong to the board.
    std::optional<DownloadRecord> endedRecord_;
};
