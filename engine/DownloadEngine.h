// The download engine: the run-time state behind a download, a port scan and a model fetch, with
// no widget. The window and zubload each own one; both tell it the operator's choices through
// OperatorChoices and follow it through its signals. The member functions are implemented in
// this folder, one file per part; the byte and text logic they use lives in image/, link/,
// settings/ and update/.
#pragma once

#include "engine/ProductionRecord.h"
#include "engine/Progress.h"
#include "image/ImageFile.h"
#include "image/ImageList.h"
#include "link/Frames.h"
#include "link/TComm.h"
#include "update/Uupdate.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTime>

#include <array>
#include <cstdint>
#include <functional>

class QTimer;

// The operator's choices, read by the engine at the moment a step needs one: a box changed
// during a download takes effect at the same step as it would have on the window's controls.
// Choices come as values: the window converts the text its boxes show, zubload its options.
class OperatorChoices {
public:
    virtual ~OperatorChoices() = default;
    virtual QString PortName() const = 0; // the port box's text
    // The protocol row the protocol box names (0 NORMAL, 1 ZUB16T1, 2 ZUB16T2), -1 for none.
    virtual int ProtocolRow() const = 0;
    // The rate code the rate box names (0-14, "br110" .. "br256000"), -1 for none.
    virtual int RateCode() const = 0;
    virtual bool AutoReset() const = 0;
    virtual bool BlankSkip() const = 0;
    virtual bool LocalFile() const = 0; // the image comes from FileName, not from a model
    virtual QString FileName() const = 0;
    // The model row whose text stands in the model box, or -1 when there is none.
    virtual int ModelRow() const = 0;
    virtual QString ModelName(int row) const = 0;
    virtual bool Single() const = 0; // one board a Start (not "Continue")
};

// The pauses the download and the port scan make on the user-interface thread: each is a plain
// sleep of the thread, timed as the steps require (the receive event and the buttons wait).
enum class EnginePause : unsigned long {
    AfterOpen = 200,      // a port just opened settles
    BeforeWake = 50,      // the board's power switch is read after the ready lines
    AfterModeSwitch = 10, // the mode-switch frame leaves the line before the port closes
    BeforeReopen = 100,   // the board changes its rate between close and reopen
    BeforeRetry = 2000,   // a refused model image is fetched again after this
    BeforeScanOpen = 50,  // between two ports of the scan
};

class DownloadEngine : public QObject {
    Q_OBJECT
    // Tests look inside through this one helper; nothing else sees the state.
    friend class EngineProbe;

public:
    explicit DownloadEngine(OperatorChoices& choices, QObject* parent = nullptr);
    ~DownloadEngine() override;

    // ---- Operations: the buttons, the tick and the receive event keep their handlers' names ---
    void BtnStartClick();
    void BtnStopClick();
    void BtnResetClick(); // the find-port button
    void CmbComPortChange();
    void TmMainProTimer();
    void RunDownloadStep();
    void TmDevCtrlTimer();
    void Comm1RxChar(int count);
    // The port scan from its start (the start-up sequence, the find-port button).
    void StartDeviceSearch();
    // The start-up sequence names the port and its rate code; nothing is opened.
    void ConfigurePort(const QString& name, int rateCode);
    // The window's file button: loads the file into the image (its end is the new image end)
    // and remembers which file it was, so Start sends it without loading it again.
    int32_t LoadLocalFile(const QString& fileName);
    // The operator chose another image source or model: the next Start loads anew.
    void ForgetImage();
    // Reads the image list's model file names and hands its model names on (ModelListRead);
    // a list that cannot be read leaves both as they were and shows the box.
    void ReadImageList(const QString& fileName);
    // Fetches the image list into the start directory when it is not there; false (with the
    // start-up's log line) when the server does not answer. On the list still missing
    // afterwards, `failure` (when given) says why.
    bool FetchMissingImageList(EngineFailure* failure = nullptr);
    // The update command's steps: the server's probe, then the list fetched anew.
    bool CheckUpdateServer();
    void FetchImageList();
    // A board ended from outside the steps (zubload's --timeout): its line, its record, then
    // the port closed as Stop closes it.
    void FailBoard(const EngineFailure& failure);
    // A run that ended before its first Start (zubload's image list): one record of its own,
    // from `began`, naming `model`. A failure's line or box is given here; a stop
    // (Error None) records `failure.Reason`.
    void FailBeforeStart(const EngineFailure& failure, const QDateTime& began,
                         const QString& model);
    // zubload --verify (the window never): after the last page and before the end frame, ask the
    // board's loader for the CRC of what it wrote, and fail a board that holds other data.
    void SetCheckAfterPages(bool check) { CheckAfterPages = check; }
    // Asked inside every transfer; true abandons it (zubload's stop signals).
    void SetFetchCancelCheck(std::function<bool()> cancelled);
    // Ends a Start still running ("stopped" row), closes the port and releases the HTTP client.
    void Close();
    // No more stepping, port closed, HTTP client released; a record still open stays unwritten.
    void Shutdown();

    // ---- Read-only accessors -----------------------------------------------------------------
    int32_t State() const { return DownloadState; }
    bool Ticking() const;  // the download's tick timer runs
    bool Scanning() const; // the port scan's timer runs
    // Back in Idle with the tick timer off: nothing of a download is left to run.
    bool Resting() const;
    bool PortEnabled() const { return Comm1.Enabled(); }
    bool PortLost() const { return Comm1.DeviceLost(); }
    QString PortDevicePath() const { return Comm1.ResolvedDevicePath(); }
    int PortRateCode() const { return Comm1.BaudRateCode(); }
    const _CPU& IdentifiedDevice() const { return Device; }
    const DownloadRecord& CurrentRecord() const { return Record; }
    // The failure that ended the last Start (Error None after a board written or a stop).
    const EngineFailure& LastFailure() const { return Failure; }
    int32_t ImageEndAddress() const { return ImageEnd; }
    const std::array<uint8_t, kImageSize>& Image() const { return FirmwareImage; }
    bool ServerImageTaken() const { return ServerImageAccepted; }
    const std::array<QString, ImageListCapacity>& ModelFileNames() const { return ModelFiles; }
    int32_t DownloadsDone() const { return DownloadCount; }
    uint32_t FileLoads() const { return FirmwareLoads; }
    QString StartDirectory() const { return StartDir; }
    QString ImageListFile() const;

Q_SIGNALS:
    void LogLine(const QString& text);
    void LogCleared();       // a scrambled image clears the log before it loads
    void RepaintRequested(); // paint the log at once: the thread is about to block
    // Pages done of the page count; (0, 0) empties the page bar before a board is written.
    void PageProgress(int32_t done, int32_t pages);
    void FetchProgress(const UpdWork& work);
    void FetchBarSet(bool full); // the fetch bar empty, or full for a model file already here
    void DeviceIdentified(const _CPU& device);
    void DeviceReleased(); // the sizes of the board just written are cleared
    void MessageBox(const QString& text);
    void Cursor(bool busy);
    void RecordEnded(const DownloadRecord& record); // after its row was written (or not)
    // The step number or the tick timer changed, after a step or a button.
    void StateChanged(int32_t state, bool ticking);
    void LocalFileLock(bool locked); // no other file may be chosen while this is true
    void ModelListRead(const QStringList& models);
    void PortListCleared();
    void PortFound(const QString& name);
    // The board answered the check request as a loader without it does: written, not verified.
    void CheckUnavailable();

private:
    OperatorChoices& Choices;

    // ---- Non-visual components ------------------------------------------------------------------
    TComm Comm1;
    QTimer* TmMainPro = nullptr; // 10 ms, disabled: one download step per tick
    QTimer* TmDevCtrl = nullptr; // 20 ms, disabled: one port-scan step per tick
    UUPD Upd;                    // the web update client

    // ---- Shared run-time state (zero, false or empty at construction) ---------------------------
    QString StartDir;
    std::array<uint8_t, 512> RxBuf{};
    int32_t RxCount = 0;
    bool PortOpened = false;
    int32_t DevCtrlState = 0;
    int32_t ScanPortNo = 0;
    int32_t ScanFound = 0; // ports the running scan found
    int32_t DownloadState = 0;
    int32_t StepCounter = 0;
    int32_t DownloadCount = 0;
    bool ServerImageAccepted = false;
    int32_t ImageEnd = 0;
    std::array<uint8_t, kImageSize> FirmwareImage{};
    std::array<QString, ImageListCapacity> ModelFiles;
    _CPU Device{};
    QTime StampTime;
    int32_t SilenceTicks = 0;
    int32_t PageCount = 0;
    int32_t PageIndex = 0;
    int32_t ProgressMax = 0; // the folding point of the page bar (page count / 2)

    // The engine stops stepping once its owner has closed (port closed, HTTP client released).
    bool CloseRequested = false;

    // ---- Firmware files and the model list (ImageLoad.cpp) --------------------------------------
    int32_t LoadFirmwareFile(const QString& fileName);
    // LoadFirmwareFile with its whole outcome; showBoxes false leaves the boxes of a refused load
    // to the caller. FirmwareLoads counts the loads, whatever their outcome.
    FirmwareFileLoad LoadFirmwareFileReport(const QString& fileName, bool showBoxes);
    uint32_t FirmwareLoads = 0;
    // Why the last load gave no image (FirmwareLoadReason); empty when it gave one.
    QString LastLoadReason;

    // ---- Frames, receive, port management, port scan (FrameSend, Receive, PortScan) -------------
    void SendCommandFrame(uint8_t a, uint8_t b, uint8_t c);
    bool SendPageFrame(const uint8_t* image, int32_t pageSize, int32_t pageIndex, bool skipBlank);
    void SendModeSwitchFrame(int protocol); // 1 ZUB16T1, 2 ZUB16T2
    void SendWakeWord();
    void SendGoByte();
    void SendEndFrame();
    void FlushInput();
    bool OpenPort();
    void ClosePort();
    void DevCtrlStep();
    // Why the port would not open (or went away), with the usual fix; empty when it is open.
    QString PortFaultReasonText() const;
    // The other programs that have the open port's device open too ("cat (pid 7)"), or empty.
    QString PortSharers() const;
    // After an open: a warning line when other programs have the device open as well.
    void WarnIfPortShared();
    // The device the port names, links resolved, as /proc shows it among open files.
    QString PortDevice() const;

    // ---- The download state machine, the model image branch, the record -------------------------
    // One member function per step, named as the step; RunDownloadStep dispatches on the number.
    void Idle();
    void Begin();
    void LoadImage();
    void LoadModelImage();
    void CheckImage();
    void OpenLink();
    void NetFail();
    void ResetTarget();
    void SendWake();
    void WaitReady();
    void WaitId();
    void SendPage();
    void WaitAck();
    void Finish();
    void Release();
    // After the last page: SendCheck when the owner asked for the board's check, else Finish.
    int32_t AfterLastPage();
    void SendCheck();
    void WaitCheck();
    // Set by the owner (zubload --verify; the window never): ask the board's loader, after the
    // last page and before the end frame, for the CRC of what it wrote, and fail a board that
    // holds other data than the image. Off, the engine sends the protocol's frames only.
    bool CheckAfterPages = false;
    int32_t CheckSends = 0; // sends of the check request for this board
    void ShowPageProgress(int32_t pageNumber);
    void WarnIfRateNotTaken(int code);
    void EndLocalFileLock();
    void RememberLocalImage(const QString& name);
    bool LocalImageCurrent() const;
    // The local file the image in memory came from: name as typed, size and modification time.
    // A Start re-loads when any of them changed, so a rebuilt file is never sent stale.
    struct LocalImageStamp {
        bool Valid = false;
        QString Name;
        qint64 Size = -1;
        QDateTime Modified;
    } LocalImage;
    // This Start's last refusal of a model image, or the probe's failure: NetFail's failure.
    EngineFailure ModelImageFailure;
    // fetched: the file was just fetched, and Upd tells how that went.
    void LoadModelImageFile(const QString& name, bool fetched);
    // A fetch abandoned by a Stop: no load and no retry, the engine in Idle for the Stop.
    void StopModelFetch();

    QString ModelImagePath; // the model file this Start loads, tests for and deletes
    // The production record of the Start under way; RecordOpen until its row is written.
    void BeginRecord();
    void EndRecord(RecordResult result, const EngineFailure& failure = EngineFailure());
    // Idle, the failure's lines logged, the record ended: the one way a Start fails.
    void FailDownload(const EngineFailure& failure);
    void FailPort();     // the port error line, its reason line, and the record's end
    void StopRecord();   // a Start that was still running ends as "stopped"
    void RecordImage();  // image columns, from the image about to be sent
    void RecordDevice(); // device column, of the port the Start opened
    // Why the image in memory is not sent (too small, or the last load's reason), with its name.
    QString ImageRefusalReason() const;
    // "; cat (pid 7) has the port open too ..." when other programs share the port, else empty.
    QString SharedPortNote() const;
    DownloadRecord Record;
    EngineFailure Failure;
    bool RecordOpen = false;
    // The device column of an opened port is looked up while the board is awaited, not
    // between the open and the first wake word (a look-up reads much of /sys).
    bool RecordDevicePending = false;

    // ---- What the owner shows (direct connections: they run inside the step) --------------------
    void AddLog(const QString& text) { Q_EMIT LogLine(text); }
    void RepaintLog() { Q_EMIT RepaintRequested(); }
    void ShowMessage(const QString& text) { Q_EMIT MessageBox(text); }
    void SetHourglass() { Q_EMIT Cursor(true); }
    void SetDefaultCursor() { Q_EMIT Cursor(false); }
    // The one way the steps pause the thread (the log painted first when asked to).
    void Pause(EnginePause pause, bool repaintFirst = false);
    // The one place the steps let pending events run: the buttons and the receive event that
    // came since the last tick take effect before the step reads the state.
    void ProcessPendingEvents();

    void noteState();
    int32_t shownState_ = 0;
    bool shownTicking_ = false;
};
