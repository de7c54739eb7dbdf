// What zubload prints: the engine's log lines on standard output (plain or as JSON events), the
// message boxes and prompts on standard error, and the one updating progress line that a terminal
// on standard error gets.
#pragma once

#include "engine/ProductionRecord.h"
#include "engine/Progress.h"
#include "link/Frames.h"
#include "link/PortInfo.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>

class CliOutput {
public:
    // noEscapes: TERM=dumb or NO_COLOR; the progress line is then drawn with CR and blanks only.
    CliOutput(bool json, bool quiet, bool progressTerminal, bool noEscapes);

    void Log(const QString& line);
    void Message(const QString& text); // a message box of the window
    void Note(const QString& text);    // zubload's own word to the operator, on stderr
    // The board has identified itself (a JSON event).
    void Chip(const _CPU& chip);
    // Pages done of pages; pageSize gives the rate in bytes per second.
    void Progress(int32_t done, int32_t pages, int32_t pageSize);
    // The end of one board, once the engine is idle: its record as a JSON event, or in quiet
    // mode the lines its failure logged, and the record's warning when its row could not be
    // written. A failure's reason goes to standard error as "zubload: <reason>".
    void Result(const DownloadRecord& record, int board, const EngineFailure& failure);
    void Summary(int written, int failed, qint64 elapsedMs);
    void ClearProgress();

private:
    void writeOut(const QByteArray& bytes);
    void writeErr(const QByteArray& bytes);
    void drawProgress();
    void aside(const QByteArray& bytes, FILE* stream);
    QByteArray eraseTail(int width);
    void jsonProgress(int32_t done, int32_t pages);

    bool json_;
    bool quiet_;
    bool terminal_;
    bool noEscapes_;
    int drawnWidth_ = 0; // columns of the progress line on the terminal
    // Progress of the board under way.
    QElapsedTimer boardClock_;
    int32_t firstDone_ = -1;
    QElapsedTimer jsonClock_; // JSON progress events come at most every 100 ms
    int32_t boardPages_ = 0;  // the board's page count, from its progress
    int32_t jsonShown_ = -1;  // the last page count given as a JSON event
    QByteArray progressText_; // the line on the terminal, empty when none is drawn
    bool progressComplete_ = false;
};

// One device of --list-ports: "Com1  /dev/ttyUSB0  by-id ...  0403:6001  serial ...  ...".
QString PortLineText(const SerialDeviceInfo& info);
// The same as one compact JSON object.
QByteArray PortJson(const SerialDeviceInfo& info);
