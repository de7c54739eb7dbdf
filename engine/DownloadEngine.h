// The download engine: the run-time state behind a download, a port scan and a model fetch, with
// no widget. The window and zubload each own one; both tell it the operator's choices through
// OperatorChoices and follow it through its signals. The member functions are implemented in
// this folder, one file per part; the byte and text logic they use lives in image/, link/,
// settings/ and update/.
#pragma once

#include "engine/ProductionRecord.h"
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

class QTimer;

// The operator's choices, read by the engine at the moment a step needs one: a box changed
// during a download takes effect at the same step as it would have on the window's controls.
class OperatorChoices {
public:
    virtual ~OperatorChoices() = default;
    virtual QString PortName() const = 0;     // the port box's text
    virtual QString ProtocolText() const = 0; // the protocol box's text
    virtual QString RateText() const = 0;     // the rate box's text ("br115200")
    virtual bool AutoReset() const = 0;
    virtual bool BlankSkip() const = 0;
    virtual bool LocalFile() const = 0; // the image comes from FileName, not from a model
    virtual QString FileName() const = 0;
    // The model row whose text stands in the model box, or -1 when there is none.
    virtual int ModelRow() const = 0;
    virtual QString ModelName(int row) const = 0;
    virtual bool Single() const = 0; // one board a Start (not "Continue")
};

class DownloadEngine : public QObject {
    Q_OBJECT
public:
    explicit DownloadEngine(OperatorChoices& choices, QObject* parent = nullptr);
    ~DownloadEngine() override;

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

    // The engine stops stepping once its owner has closed (port closed, HTTP client released).
    bool CloseRequested = false;
    // Ends a Start still running ("stopped" row), closes the port and releases the HTTP client.
    void Close();
    // Back in Idle with the tick timer off: nothing of a download is left to run.
    bool Resting() const;

    // ---- Firmware files and the model list (ImageLoad.cpp, ModelList.cpp) -----------------------
    int32_t LoadFirmwareFile(const QString& fileName);
    // LoadFirmwareFile with its whole outcome; showBoxes false leaves the boxes of a refused load
    // to the caller. FirmwareLoads counts the loads, whatever their outcome.
    FirmwareFileLoad LoadFirmwareFileReport(const QString& fileName, bool showBoxes);
    uint32_t FirmwareLoads = 0;
    // Why the last load gave no image (FirmwareLoadReason); empty when it gave one.
    QString LastLoadReason;
    // Reads the image list into ModelFiles and hands its model names on (ModelListRead); a list
    // that cannot be read leaves both as they were and shows the box.
    void ReadImageList(const QString& fileName);
    // The operator chose another image source or model: the next Start loads anew.
    void ForgetImage();

    // ---- Frames, receive, port management, port scan (FrameSend, Receive, PortScan) -------------
    void SendCommandFrame(uint8_t a, uint8_t b, uint8_t c);
    bool SendPageFrame(const uint8_t* image, int32_t pageSize, int32_t pageIndex, bool skipBlank);
    void SendModeSwitchFrame(int protocol); // 1 ZUB16T1, 2 ZUB16T2
    void SendWakeWord();
    void SendGoByte();
    void SendEndFrame();
    void Comm1RxChar(int count);
    void FlushInput();
    bool OpenPort();
    void ClosePort();
    void CmbComPortChange();
    void StartDeviceSearch();
    void DevCtrlStep();
    void TmDevCtrlTimer();
    // The rate code of the rate text the operator chose, or -1 when it names no row
    // (SetBaudRate(-1) then keeps the component's current rate).
    int BaudRateBoxCode() const;
    // After a port error line: one line saying why the port would not open (or went away) and
    // the usual fix; returns that line (empty when there was none).
    QString AddPortFaultReason();
    // The other programs that have the open port's device open too ("cat (pid 7)"), or empty.
    QString PortSharers() const;
    // After an open: a warning line when other programs have the device open as well.
    void WarnIfPortShared();

    // ---- The download state machine, the model image branch, the record -------------------------
    void TmMainProTimer();
    void RunDownloadStep();
    void BtnStartClick();
    void BtnStopClick();
    void BtnResetClick();
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
    void RememberLocalImage();
    bool LocalImageCurrent() const;
    // The local file the image in memory came from: name as typed, size and modification time.
    // A Start re-loads when any of them changed, so a rebuilt file is never sent stale.
    struct LocalImageStamp {
        bool Valid = false;
        QString Name;
        qint64 Size = -1;
        QDateTime Modified;
    } LocalImage;
    // This Start's last refusal of a model image: the line logged when the branch gives up.
    QString ModelImageRefusal;
    // fetched: the file was just fetched, and Upd tells how that went.
    void LoadModelImageFile(const QString& name, bool fetched);
    // A fetch abandoned by a Stop: no load and no retry, the engine in Idle for the Stop.
    void StopModelFetch();
    // The refusal (or the probe's failure) without "[Error] ", for the record, and its kind.
    QString ModelImageReason;
    FailureKind ModelImageKind = FailureKind::None;

    QString ModelImagePath;  // the model file this Start loads, tests for and deletes
    int32_t ProgressMax = 0; // the folding point of the page bar (page count / 2)
    // The production record of the Start under way; RecordOpen until its row is written.
    void BeginRecord();
    void EndRecord(RecordResult result, RecordFailure failure = RecordFailure::None,
                   const QString& detail = QString(), FailureKind kind = FailureKind::None,
                   const QString& reason = QString());
    // Logs the line (and the reason, when given, as a line of its own) and ends the record.
    void FailDownload(RecordFailure failure, const QString& line,
                      FailureKind kind = FailureKind::None, const QString& reason = QString());
    void FailPort();     // the port error line, its reason line, and the record's end
    void StopRecord();   // a Start that was still running ends as "stopped"
    void RecordImage();  // image columns, from the image about to be sent
    void RecordDevice(); // device column, of the port the Start opened
    // Why the image in memory is not sent (too small, or the last load's reason), with its name.
    QString ImageRefusalReason() const;
    // "; cat (pid 7) has the port open too ..." when other programs share the port, else empty.
    QString SharedPortNote() const;
    DownloadRecord Record;
    bool RecordOpen = false;
    // The device column of an opened port is looked up while the board is awaited, not
    // between the open and the first wake word (a look-up reads much of /sys).
    bool RecordDevicePending = false;

    // ---- The update client's side of the start-up (Startup.cpp) ---------------------------------
    // Fetches "hexlist.txt" into the working directory when it is not there; false (with the
    // start-up's log line) when the server does not answer.
    bool FetchMissingImageList();

    // ---- What the owner shows (direct connections: they run inside the step) --------------------
    void AddLog(const QString& text) { Q_EMIT LogLine(text); }
    void RepaintLog() { Q_EMIT RepaintRequested(); }
    void ShowMessage(const QString& text) { Q_EMIT MessageBox(text); }
    void SetHourglass() { Q_EMIT Cursor(true); }
    void SetDefaultCursor() { Q_EMIT Cursor(false); }

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
    void noteState();
    int32_t shownState_ = 0;
    bool shownTicking_ = false;
};
