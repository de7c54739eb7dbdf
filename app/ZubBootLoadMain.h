// The one main window of ZubLoader. It is the whole user interface and the owner of all run-time
// state: controls, the serial component, the three timers, the receive buffer, the page image, the
// engine's counters and the update client. The member functions are implemented in the folder of
// their subsystem (settings/, image/, link/, engine/, update/); this folder holds creation, close
// and the log pane.
#pragma once

#include "engine/ProductionRecord.h"
#include "image/ImageFile.h"
#include "link/Frames.h"
#include "link/TComm.h"
#include "update/Uupdate.h"

#include <QDateTime>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;

class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // ---- Controls; every objectName is the member's name ------------------------------------
    QFrame* Panel3 = nullptr; // top strip: image source
    QLineEdit* EdFileName = nullptr;
    QPushButton* BtnLocalFile = nullptr;
    QRadioButton* RbWebFile = nullptr;
    QRadioButton* RbLocalFile = nullptr;
    QComboBox* CmbModel = nullptr;
    QPushButton* BtnWebUpdate = nullptr;
    QProgressBar* ProgressBar2 = nullptr;

    QFrame* Panel1 = nullptr; // left column: link settings and chip
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    QComboBox* CmbComPort = nullptr;
    QComboBox* CmbProtocol = nullptr;
    QComboBox* CmbBaudRate = nullptr;
    QLineEdit* EdCpu = nullptr;
    QLineEdit* EdFlashSize = nullptr;
    QLineEdit* EdBootSize = nullptr;
    QLineEdit* EdPageSize = nullptr;
    QLineEdit* EdEepromSize = nullptr;
    QCheckBox* CbAutoReset = nullptr;
    QCheckBox* CbBlankSkip = nullptr;
    QCheckBox* CbAutoDevSearch = nullptr;

    QFrame* Panel2 = nullptr; // right area: log and actions
    QPlainTextEdit* Memo1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* BtnReset = nullptr;
    QPushButton* BtnStop = nullptr;
    QPushButton* BtnStart = nullptr;
    QRadioButton* RbSingle = nullptr;
    QRadioButton* RbContinue = nullptr;

    // ---- Non-visual components ----------------------------------------------------------------
    TComm Comm1;
    QTimer* Timer1 = nullptr;    // 1000 ms, enabled: the one-shot start-up sequence
    QTimer* TmMainPro = nullptr; // 10 ms, disabled: one download step per tick
    QTimer* TmDevCtrl = nullptr; // 20 ms, disabled: one port-scan step per tick
    static constexpr const char* OpenDialog1Filter = "INTEL HEX (*.hex);;ZUB BIN (*.lod);;ALL (*)";

    // ---- Seams for tests ----------------------------------------------------------------------
    // Every modal message box goes through ShowMessage; when set, this replaces the box.
    std::function<void(const QString&)> MessageBoxHook;
    // BtnLocalFileClick asks this instead of the file dialog when set; an empty answer cancels.
    std::function<QString()> OpenDialogHook;
    // Seams for programs that drive the window without showing it (the command-line loader):
    // every log line as it is added, the page progress (pages done, page count) and the record
    // of each Start that ended, after its row was written.
    std::function<void(const QString&)> LogHook;
    std::function<void(int32_t done, int32_t pages)> PageHook;
    std::function<void(const DownloadRecord&)> RecordHook;

    // ---- Shared run-time state (zero, false or empty at construction) -------------------------
    QString StartDir;
    std::array<uint8_t, 512> RxBuf{};
    int32_t RxCount = 0;
    bool PortOpened = false;
    int32_t DevCtrlState = 0;
    int32_t ScanPortNo = 0;
    int32_t DownloadState = 0;
    int32_t StepCounter = 0;
    int32_t DownloadCount = 0;
    bool ServerImageAccepted = false;
    int32_t ImageEnd = 0;
    std::array<uint8_t, kImageSize> FirmwareImage{};
    std::array<QString, 20> ModelFiles;
    _CPU Device{};
    QTime StampTime;
    UUPD Upd; // the web update client

    // Engine-only members.
    int32_t SilenceTicks = 0;
    int32_t PageCount = 0;
    int32_t PageIndex = 0;

    // Set once LoadSettings has run (file found or not): only then does closing write default.ini,
    // so an early close never replaces the operator's saved choices with design-time values.
    bool SettingsLoaded = false;

    // ---- app/: creation, close, log pane, message boxes, cursor -------------------------------
    void FormCreate();
    void FormClose();
    void AddLog(const QString& text);
    void RepaintLog();                     // paints Memo1 at once, before the thread blocks
    void ShowMessage(const QString& text); // the one modal message box, titled "ZubLoad"
    QString RunOpenDialog();               // OpenDialog1, or OpenDialogHook in tests
    void SetHourglass();                   // at most one override cursor is ever active
    void SetDefaultCursor();

    // ---- settings/ ----------------------------------------------------------------------------
    void SaveSettings(const QString& path);
    void LoadSettings(const QString& path);

    // ---- image/: firmware files, the model list and the image list ----------------------------
    int32_t LoadFirmwareFile(const QString& fileName);
    void BtnLocalFileClick();
    void RbLocalFileClick();
    void ReadImageList(const QString& fileName);
    void CmbModelChange();
    // image/ private helpers go here (image helpers only edit this block)
    // model list: the row whose text the model box shows, or -1 when no row
    // is selected, the typed text matches no row or the row lies past the 20 ModelFiles entries.
    int SelectedModelRow() const;
    // firmware files: LoadFirmwareFile with its whole outcome; showBoxes false leaves the boxes of
    // a refused load to the caller. FirmwareLoads counts the loads, whatever their outcome.
    FirmwareFileLoad LoadFirmwareFileReport(const QString& fileName, bool showBoxes);
    uint32_t FirmwareLoads = 0;
    // Why the last load gave no image (FirmwareLoadReason); empty when it gave one.
    QString LastLoadReason;
    // --- end image/ ---

    // ---- link/: frames, receive, port management, port scan -----------------------------------
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
    // link/ private helpers go here (link helpers only edit this block)
    // The rate code of the row whose text CmbBaudRate shows, or -1 when the text names no row
    // (SetBaudRate(-1) then keeps the component's current rate).
    int BaudRateBoxCode() const;
    // After a port error line: one line saying why the port would not open (or went away) and
    // the usual fix; returns that line (empty when there was none).
    QString AddPortFaultReason();
    // The other programs that have the open port's device open too ("cat (pid 7)"), or empty.
    QString PortSharers() const;
    // After an open: a warning line when other programs have the device open as well.
    void WarnIfPortShared();
    // --- end link/ ---

    // ---- engine/: the download state machine and the model image branch -----------------------
    void TmMainProTimer();
    void RunDownloadStep();
    void BtnStartClick();
    void BtnStopClick();
    void BtnResetClick();
    // engine/ private helpers go here (engine helpers only edit this block)
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

    QString ModelImagePath;      // the model file this Start loads, tests for and deletes
    int32_t ProgressMax = 0;     // the folding point of ProgressBar1 (page count / 2)
    bool CloseRequested = false; // the window got its close event: no step runs after FormClose
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
    // --- end engine/ ---

    // ---- update/: the update command and the start-up sequence --------------------------------
    void BtnWebUpdateClick();
    void Timer1Timer();
    // update/ private helpers go here (update helpers only edit this block)
    // Fetches "hexlist.txt" into the working directory when it is not there; false (with the
    // start-up's log line) when the server does not answer.
    bool FetchMissingImageList();
    // ProgressBar2 for the update client's progress reports: it follows the received bytes, and
    // stands still once the fetch is over.
    void ShowFetchProgress(const UpdWork& work);
    // --- end update/ ---

    // Each subsystem connects its own handlers to the controls and timers; called once by the
    // constructor after every control exists.
    void ConnectImage();
    void ConnectLink();
    void ConnectEngine();
    void ConnectUpdate();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    bool overrideCursorActive_ = false;
};

// The application's single main window (set by the constructor, cleared by the destructor).
extern TForm1* Form1;
