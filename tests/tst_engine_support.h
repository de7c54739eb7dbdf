// What the engine's window tests share: the board support, and the window with its message
// boxes recorded.
#pragma once

#include "app/ZubBootLoadMain.h"
#include "tst_board_support.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// The window in a start folder of its own, with the start-up sequence held back and every
// message box recorded instead of shown.
class FormRig {
public:
    // startDir: the folder the window starts in (a fresh temporary one when empty).
    explicit FormRig(const QString& startDir = QString());
    ~FormRig();
    TForm1& F() { return *form_; }
    QString Dir() const { return startDir_; }
    QStringList Log() const;
    QStringList Boxes;
    // Local-file download from a firmware file in the start folder through port `pty`.
    void SetLocal(const QString& fileName);
    void SetPort(const QString& pty);
    void Start();
    bool WaitIdle(int timeoutMs = 10000); // back in Idle with the tick timer off
    bool WaitState(int32_t state, int timeoutMs = 10000);
    // After every tick (connected after the engine, so it sees the step's outcome).
    struct Tick {
        int32_t State;
        int Rate;
        int Progress;
        int ProgressMax;
        bool LocalFileEnabled;
        QString FlashSize; // EdFlashSize, as the operator sees it after the step
        QString PageSize;  // EdPageSize
    };
    std::vector<Tick> Ticks;

private:
    QString oldDir_;
    QTemporaryDir dir_;
    QString startDir_;
    std::unique_ptr<TForm1> form_;
};
