// The one main window of ZubLoader: the operator's controls, their handlers, the settings file and
// the start-up sequence. It owns one download engine, answers its questions about the controls
// (OperatorChoices) and shows what it signals.
#pragma once

#include "engine/DownloadEngine.h"
#include "settings/SettingsText.h"

#include <QString>
#include <QWidget>

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

class TForm1 : public QWidget, public OperatorChoices {
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
    DownloadEngine Engine{*this};
    QTimer* Timer1 = nullptr; // 1000 ms, enabled: the one-shot start-up sequence
    static constexpr const char* OpenDialog1Filter = "INTEL HEX (*.hex);;ZUB BIN (*.lod);;ALL (*)";

    // ---- Seams for tests ----------------------------------------------------------------------
    // Every modal message box goes through ShowMessage; when set, this replaces the box.
    std::function<void(const QString&)> MessageBoxHook;
    // BtnLocalFileClick asks this instead of the file dialog when set; an empty answer cancels.
    std::function<QString()> OpenDialogHook;

    // Set once LoadSettings has run (file found or not): only then does closing write default.ini,
    // so an early close never replaces the operator's saved choices with design-time values.
    bool SettingsLoaded = false;

    // ---- Creation, close, log pane, message boxes, cursor -------------------------------------
    void FormClose();
    void AddLog(const QString& text);
    void RepaintLog();                     // paints Memo1 at once, before the thread blocks
    void ShowMessage(const QString& text); // the one modal message box, titled "ZubLoad"
    QString RunOpenDialog();               // OpenDialog1, or OpenDialogHook in tests
    void SetHourglass();                   // at most one override cursor is ever active
    void SetDefaultCursor();

    // ---- Settings file ------------------------------------------------------------------------
    void SaveSettings(const QString& path);
    void LoadSettings(const QString& path);
    SettingsValues SettingsOfControls() const; // the remembered controls as they stand

    // ---- Firmware files, the model list and the image list ------------------------------------
    void BtnLocalFileClick();
    void RbLocalFileClick();
    void ReadImageList(const QString& fileName);
    void CmbModelChange();
    // The row whose text the model box shows, or -1 when no row is selected, the typed text
    // matches no row or the row lies past the model list's capacity.
    int SelectedModelRow() const;

    // ---- Update command and start-up sequence -------------------------------------------------
    void BtnWebUpdateClick();
    void Timer1Timer();

    // ---- What the engine reads: the controls as they stand ------------------------------------
    QString PortName() const override;
    int ProtocolRow() const override;
    int RateCode() const override;
    bool AutoReset() const override;
    bool BlankSkip() const override;
    bool LocalFile() const override;
    QString FileName() const override;
    int ModelRow() const override { return SelectedModelRow(); }
    QString ModelName(int row) const override;
    bool Single() const override;

    // ---- What the engine shows ----------------------------------------------------------------
    void ShowPageProgress(int32_t done, int32_t pages);
    // The fetch bar for the update client's progress reports: it follows the received bytes,
    // and stands still once the fetch is over.
    void ShowFetchProgress(const UpdWork& work);
    void ShowDevice(const _CPU& device);
    void ClearDeviceSizes();
    void ShowModelList(const QStringList& models);
    void ClearPortList();
    void AddFoundPort(const QString& name);

    // Each part connects its own handlers to the controls, the timer and the engine; called once
    // by the constructor after every control exists.
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
