#include "app/ZubBootLoadMain.h"

#include "ZubVersion.h"
#include "app/Anchors.h"
#include "image/ImageList.h"
#include "link/PortNames.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

TForm1* Form1 = nullptr;

// The icon lives in zubui's resources; a static library must register them itself.
static void initZubResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(zubloader);
        return true;
    }();
    (void)done;
}

namespace {

template <typename W> W* make(QWidget* parent, const char* name, int l, int t, int w, int h) {
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(l, t, w, h);
    return widget;
}

QFrame* makePanel(QWidget* parent, const char* name, int l, int t, int w, int h) {
    auto* panel = make<QFrame>(parent, name, l, t, w, h);
    panel->setFrameShape(QFrame::StyledPanel);
    panel->setFrameShadow(QFrame::Raised);
    return panel;
}

QLabel* makeLabel(QWidget* parent, const char* name, int l, int t, const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->move(l, t);
    label->adjustSize();
    return label;
}

QComboBox* makeCombo(QWidget* parent, const char* name, int l, int t, int w, int h,
                     const QStringList& items, int selected) {
    auto* box = make<QComboBox>(parent, name, l, t, w, h);
    box->setEditable(true);
    // Typed text must never become a new row (Qt's default policy appends it on Enter).
    box->setInsertPolicy(QComboBox::NoInsert);
    box->addItems(items);
    box->setCurrentIndex(selected);
    return box;
}

QTimer* makeTimer(QObject* parent, const char* name, int interval, bool enabled) {
    auto* timer = new QTimer(parent);
    timer->setObjectName(QString::fromLatin1(name));
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(interval);
    if (enabled)
        timer->start();
    return timer;
}

} // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
    Form1 = this;
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("ZubLoader Ver" ZUB_VERSION));
    initZubResources();
    const QIcon icon(QStringLiteral(":/zubloader/zubloader.png"));
    setWindowIcon(icon);
    if (QApplication::windowIcon().isNull())
        QApplication::setWindowIcon(icon);
    CreateControls();
    ConnectImage();
    ConnectLink();
    ConnectEngine();
    ConnectUpdate();
}

TForm1::~TForm1() {
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::CreateControls() {
    // The layout was drawn for Tahoma 8 pt; where Tahoma is missing, a condensed face keeps the
    // captions inside their fixed boxes (a regular-width sans cuts "PROTOCOL" and "Local File").
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed"),
                      QStringLiteral("Liberation Sans Narrow"),
                      QStringLiteral("Noto Sans CJK KR")});
    font.setPixelSize(11);
    setFont(font);
    resize(400, 360);
    move(0, 0);

    // Top strip: image source.
    Panel3 = makePanel(this, "Panel3", 1, 1, 398, 75);
    EdFileName = make<QLineEdit>(Panel3, "EdFileName", 85, 8, 244, 21);
    EdFileName->setText(QStringLiteral("default.bin"));
    BtnLocalFile = make<QPushButton>(Panel3, "BtnLocalFile", 335, 6, 57, 25);
    BtnLocalFile->setText(QStringLiteral("파일찾기"));
    BtnLocalFile->setToolTip(QStringLiteral("저장된 파일 가져오기"));
    RbWebFile = make<QRadioButton>(Panel3, "RbWebFile", 14, 39, 65, 17);
    RbWebFile->setText(QStringLiteral("Web File"));
    RbLocalFile = make<QRadioButton>(Panel3, "RbLocalFile", 14, 10, 65, 17);
    RbLocalFile->setText(QStringLiteral("Local File"));
    RbWebFile->setChecked(true);
    QStringList models;
    for (const char* name : kDesignModelNames)
        models << QString::fromUtf8(name);
    CmbModel = makeCombo(Panel3, "CmbModel", 85, 37, 244, 21, models, 1);
    BtnWebUpdate = make<QPushButton>(Panel3, "BtnWebUpdate", 335, 35, 59, 25);
    BtnWebUpdate->setText(QStringLiteral("업데이트"));
    BtnWebUpdate->setToolTip(QStringLiteral("서버에서 리스트를 새로가져옵니다"));
    BtnWebUpdate->setEnabled(false);

    // Drawn over the lower edge of the top strip, so created after it.
    ProgressBar2 = make<QProgressBar>(this, "ProgressBar2", 86, 62, 302, 9);
    ProgressBar2->setTextVisible(false);
    ProgressBar2->setValue(0);

    // Left column: link settings and the identified chip.
    Panel1 = makePanel(this, "Panel1", 1, 77, 153, 277);
    Label2 = makeLabel(Panel1, "Label2", 17, 8, "PORT");
    CmbComPort = makeCombo(Panel1, "CmbComPort", 68, 4, 79, 21,
                           {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                            QStringLiteral("COM4"), QStringLiteral("COM5"), QStringLiteral("COM6"),
                            QStringLiteral("COM7"), QStringLiteral("COM8")},
                           0);
    Label1 = makeLabel(Panel1, "Label1", 9, 32, "PROTOCOL");
    QStringList protocols;
    for (const char* name : kProtocolNames)
        protocols << QString::fromLatin1(name);
    CmbProtocol = makeCombo(Panel1, "CmbProtocol", 68, 28, 79, 21, protocols, 0);
    Label3 = makeLabel(Panel1, "Label3", 9, 55, "BAUDRATE");
    QStringList rates;
    for (int code = 0; code < static_cast<int>(kBaudRates.size()); ++code)
        rates << RateItemText(code);
    CmbBaudRate = makeCombo(Panel1, "CmbBaudRate", 68, 52, 79, 21, rates, 11);
    Label4 = makeLabel(Panel1, "Label4", 17, 82, "CPU");
    EdCpu = make<QLineEdit>(Panel1, "EdCpu", 68, 79, 79, 21);
    Label5 = makeLabel(Panel1, "Label5", 9, 109, "FLASH SIZE");
    EdFlashSize = make<QLineEdit>(Panel1, "EdFlashSize", 68, 106, 79, 21);
    Label6 = makeLabel(Panel1, "Label6", 9, 141, "BOOT SIZE");
    EdBootSize = make<QLineEdit>(Panel1, "EdBootSize", 68, 133, 79, 21);
    Label7 = makeLabel(Panel1, "Label7", 11, 168, "PAGE SIZE");
    EdPageSize = make<QLineEdit>(Panel1, "EdPageSize", 68, 160, 79, 21);
    Label8 = makeLabel(Panel1, "Label8", 4, 190, "E.ROM SIZE");
    EdEepromSize = make<QLineEdit>(Panel1, "EdEepromSize", 68, 187, 79, 21);
    for (QLineEdit* ed : {EdCpu, EdFlashSize, EdBootSize, EdPageSize, EdEepromSize})
        ed->setText(QStringLiteral("-----"));
    CbAutoReset = make<QCheckBox>(Panel1, "CbAutoReset", 17, 209, 130, 17);
    CbAutoReset->setText(QStringLiteral("Auto Reset(YDR JIG)"));
    CbAutoReset->setChecked(true);
    CbBlankSkip = make<QCheckBox>(Panel1, "CbBlankSkip", 17, 226, 97, 17);
    CbBlankSkip->setText(QStringLiteral("PIC18F_OPTIMA"));
    CbAutoDevSearch = make<QCheckBox>(Panel1, "CbAutoDevSearch", 17, 252, 130, 17);
    CbAutoDevSearch->setText(QStringLiteral("Search Device at Start"));
    CbAutoDevSearch->setEnabled(false);

    // Right area: log and actions.
    Panel2 = makePanel(this, "Panel2", 154, 77, 243, 277);
    Memo1 = make<QPlainTextEdit>(Panel2, "Memo1", 4, 4, 235, 208);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Tab leaves the log for the next control instead of typing a tab into it.
    Memo1->setTabChangesFocus(true);
    ProgressBar1 = make<QProgressBar>(Panel2, "ProgressBar1", 6, 218, 235, 17);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setValue(0);
    BtnReset = make<QPushButton>(Panel2, "BtnReset", 4, 241, 53, 32);
    BtnReset->setText(QStringLiteral("포트찾기"));
    // Its hint exists but is not shown: kept as accessible description only.
    BtnReset->setAccessibleDescription(QStringLiteral("통신포트 검색"));
    BtnStop = make<QPushButton>(Panel2, "BtnStop", 138, 241, 46, 32);
    BtnStop->setText(QStringLiteral("중지"));
    BtnStart = make<QPushButton>(Panel2, "BtnStart", 190, 241, 49, 32);
    BtnStart->setText(QStringLiteral("시작"));
    BtnStart->setToolTip(QStringLiteral("다운로드를 시작합니다"));
    RbSingle = make<QRadioButton>(Panel2, "RbSingle", 69, 241, 52, 17);
    RbSingle->setText(QStringLiteral("Single"));
    RbSingle->setChecked(true);
    RbContinue = make<QRadioButton>(Panel2, "RbContinue", 69, 257, 61, 17);
    RbContinue->setText(QStringLiteral("Continue"));
    RbContinue->setEnabled(false);

    // Three captions are wider than their fixed boxes even in the condensed face ("Continue" by
    // 3 px, the longest built-in model row by 9): one pixel smaller makes them whole.
    QFont smaller = font;
    smaller.setPixelSize(10);
    for (QWidget* w : std::initializer_list<QWidget*>{RbContinue, CbAutoDevSearch, CmbModel})
        w->setFont(smaller);

    // Resize behaviour: each control keeps its distance to the edges named.
    using A = Anchors;
    auto* top = new Anchors(this);
    top->add(Panel3, A::Top | A::Left | A::Right);
    top->add(ProgressBar2, A::Top | A::Left | A::Right);
    top->add(Panel1, A::Top | A::Bottom | A::Left);
    top->add(Panel2, A::Top | A::Bottom | A::Left | A::Right);
    auto* strip = new Anchors(Panel3);
    strip->add(EdFileName, A::Top | A::Left | A::Right);
    strip->add(BtnLocalFile, A::Top | A::Right);
    strip->add(CmbModel, A::Top | A::Left | A::Right);
    strip->add(BtnWebUpdate, A::Top | A::Right);
    auto* right = new Anchors(Panel2);
    right->add(Memo1, A::Top | A::Bottom | A::Left | A::Right);
    right->add(ProgressBar1, A::Bottom | A::Left | A::Right);
    right->add(BtnReset, A::Bottom | A::Left);
    right->add(BtnStop, A::Bottom | A::Right);
    right->add(BtnStart, A::Bottom | A::Right);
    right->add(RbSingle, A::Bottom | A::Left);
    right->add(RbContinue, A::Bottom | A::Left);

    // Tab order: panels 1, 2, 3, then the file progress bar; inside the left column by the
    // design's tab numbers, elsewhere by row order.
    const QList<QWidget*> order = {
        CmbComPort,   CmbBaudRate,  EdCpu,       EdFlashSize, EdBootSize,      EdPageSize,
        EdEepromSize, CbBlankSkip,  CbAutoReset, CmbProtocol, CbAutoDevSearch, Memo1,
        ProgressBar1, BtnReset,     BtnStop,     BtnStart,    RbSingle,        RbContinue,
        EdFileName,   BtnLocalFile, RbWebFile,   RbLocalFile, CmbModel,        BtnWebUpdate};
    for (int i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    Timer1 = makeTimer(this, "Timer1", 1000, true);
}

void TForm1::FormClose() {
    Engine.Close(); // a Start under way ends as "stopped"; port and HTTP client released
    if (SettingsLoaded)
        SaveSettings(Engine.StartDirectory() + QStringLiteral("/default.ini"));
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TForm1::AddLog(const QString& text) {
    // An empty pane is one empty block, which appendPlainText fills with the first line; an empty
    // first line would leave no trace and the next line would take its place. That block is
    // marked as a line, and the next line then starts a block of its own.
    constexpr int kEmptyFirstLine = 1;
    QTextDocument* doc = Memo1->document();
    if (doc->isEmpty() && doc->firstBlock().userState() == kEmptyFirstLine) {
        QTextCursor end(doc);
        end.movePosition(QTextCursor::End);
        end.insertBlock();
        end.insertText(text);
    } else {
        Memo1->appendPlainText(text);
        if (doc->isEmpty())
            doc->firstBlock().setUserState(kEmptyFirstLine);
    }
}

void TForm1::RepaintLog() {
    Memo1->viewport()->repaint();
}

void TForm1::ShowMessage(const QString& text) {
    if (MessageBoxHook) {
        MessageBoxHook(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("ZubLoad"), text, QMessageBox::Ok, this);
    box.exec();
}

QString TForm1::RunOpenDialog() {
    if (OpenDialogHook)
        return OpenDialogHook();
    QString selected = QStringLiteral("INTEL HEX (*.hex)");
    return QFileDialog::getOpenFileName(this, QString(), QString(),
                                        QString::fromLatin1(OpenDialog1Filter), &selected);
}

void TForm1::SetHourglass() {
    if (!overrideCursorActive_) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        overrideCursorActive_ = true;
    }
}

void TForm1::SetDefaultCursor() {
    if (overrideCursorActive_) {
        QApplication::restoreOverrideCursor();
        overrideCursorActive_ = false;
    }
}

QString TForm1::PortName() const {
    return CmbComPort->currentText();
}

int TForm1::ProtocolRow() const {
    // The row whose text the box shows: typed text may differ from the selected row.
    return ProtocolRowForText(CmbProtocol->currentText());
}

int TForm1::RateCode() const {
    return RateCodeForItemText(CmbBaudRate->currentText());
}

bool TForm1::AutoReset() const {
    return CbAutoReset->isChecked();
}

bool TForm1::BlankSkip() const {
    return CbBlankSkip->isChecked();
}

bool TForm1::LocalFile() const {
    return RbLocalFile->isChecked();
}

QString TForm1::FileName() const {
    return EdFileName->text();
}

QString TForm1::ModelName(int row) const {
    return CmbModel->itemText(row);
}

bool TForm1::Single() const {
    return RbSingle->isChecked();
}
