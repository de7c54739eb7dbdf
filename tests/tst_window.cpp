// The main window as an operator finds it after start: every control where the design puts it,
// with its text, items, state and tool tip; resizing; the timers; the log pane; message boxes.
#include "app/ZubBootLoadMain.h"
#include "tst_comm_pty.h"
#include "tst_engine_probe.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

struct Expect {
    const char* name;
    const char* kind;
    const char* parent;
    QRect geometry; // labels: position only
    const char* text;
    const char* toolTip;
    bool enabled;
};

// Written out from the design, not taken from the window code.
const Expect kControls[] = {
    {"Panel3", "QFrame", "Form1", {1, 1, 398, 75}, nullptr, "", true},
    {"EdFileName", "QLineEdit", "Panel3", {85, 8, 244, 21}, "default.bin", "", true},
    {"BtnLocalFile",
     "QPushButton",
     "Panel3",
     {335, 6, 57, 25},
     "파일찾기",
     "저장된 파일 가져오기",
     true},
    {"RbWebFile", "QRadioButton", "Panel3", {14, 39, 65, 17}, "Web File", "", true},
    {"RbLocalFile", "QRadioButton", "Panel3", {14, 10, 65, 17}, "Local File", "", true},
    {"CmbModel",
     "QComboBox",
     "Panel3",
     {85, 37, 244, 21},
     "Model 02 motion sensor 3-axis",
     "",
     true},
    {"BtnWebUpdate",
     "QPushButton",
     "Panel3",
     {335, 35, 59, 25},
     "업데이트",
     "서버에서 리스트를 새로가져옵니다",
     false},
    {"ProgressBar2", "QProgressBar", "Form1", {86, 62, 302, 9}, nullptr, "", true},
    {"Panel1", "QFrame", "Form1", {1, 77, 153, 277}, nullptr, "", true},
    {"Label2", "QLabel", "Panel1", {17, 8, -1, -1}, "PORT", "", true},
    {"CmbComPort", "QComboBox", "Panel1", {68, 4, 79, 21}, "COM1", "", true},
    {"Label1", "QLabel", "Panel1", {9, 32, -1, -1}, "PROTOCOL", "", true},
    {"CmbProtocol", "QComboBox", "Panel1", {68, 28, 79, 21}, "NORMAL", "", true},
    {"Label3", "QLabel", "Panel1", {9, 55, -1, -1}, "BAUDRATE", "", true},
    {"CmbBaudRate", "QComboBox", "Panel1", {68, 52, 79, 21}, "br57600", "", true},
    {"Label4", "QLabel", "Panel1", {17, 82, -1, -1}, "CPU", "", true},
    {"EdCpu", "QLineEdit", "Panel1", {68, 79, 79, 21}, "-----", "", true},
    {"Label5", "QLabel", "Panel1", {9, 109, -1, -1}, "FLASH SIZE", "", true},
    {"EdFlashSize", "QLineEdit", "Panel1", {68, 106, 79, 21}, "-----", "", true},
    {"Label6", "QLabel", "Panel1", {9, 141, -1, -1}, "BOOT SIZE", "", true},
    {"EdBootSize", "QLineEdit", "Panel1", {68, 133, 79, 21}, "-----", "", true},
    {"Label7", "QLabel", "Panel1", {11, 168, -1, -1}, "PAGE SIZE", "", true},
    {"EdPageSize", "QLineEdit", "Panel1", {68, 160, 79, 21}, "-----", "", true},
    {"Label8", "QLabel", "Panel1", {4, 190, -1, -1}, "E.ROM SIZE", "", true},
    {"EdEepromSize", "QLineEdit", "Panel1", {68, 187, 79, 21}, "-----", "", true},
    {"CbAutoReset", "QCheckBox", "Panel1", {17, 209, 130, 17}, "Auto Reset(YDR JIG)", "", true},
    {"CbBlankSkip", "QCheckBox", "Panel1", {17, 226, 97, 17}, "PIC18F_OPTIMA", "", true},
    {"CbAutoDevSearch",
     "QCheckBox",
     "Panel1",
     {17, 252, 130, 17},
     "Search Device at Start",
     "",
     false},
    {"Panel2", "QFrame", "Form1", {154, 77, 243, 277}, nullptr, "", true},
    {"Memo1", "QPlainTextEdit", "Panel2", {4, 4, 235, 208}, "", "", true},
    {"ProgressBar1", "QProgressBar", "Panel2", {6, 218, 235, 17}, nullptr, "", true},
    {"BtnReset", "QPushButton", "Panel2", {4, 241, 53, 32}, "포트찾기", "", true},
    {"BtnStop", "QPushButton", "Panel2", {138, 241, 46, 32}, "중지", "", true},
    {"BtnStart",
     "QPushButton",
     "Panel2",
     {190, 241, 49, 32},
     "시작",
     "다운로드를 시작합니다",
     true},
    {"RbSingle", "QRadioButton", "Panel2", {69, 241, 52, 17}, "Single", "", true},
    {"RbContinue", "QRadioButton", "Panel2", {69, 257, 61, 17}, "Continue", "", false},
};

QString textOf(QWidget* w) {
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* c = qobject_cast<QComboBox*>(w))
        return c->currentText();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* m = qobject_cast<QPlainTextEdit*>(w))
        return m->toPlainText();
    return QString();
}

QStringList itemsOf(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

} // namespace

class TstWindow : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;
    QString oldCwd_;
    std::unique_ptr<TForm1> form_;

private Q_SLOTS:
    void initTestCase() {
        oldCwd_ = QDir::currentPath();
        QVERIFY(QDir::setCurrent(tmp_.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(oldCwd_); }
    void init() { form_ = std::make_unique<TForm1>(); }
    void cleanup() {
        form_->Timer1->stop();
        form_.reset();
    }

    void windowItself() {
        TForm1& f = *form_;
        QCOMPARE(Form1, &f);
        QCOMPARE(f.objectName(), QStringLiteral("Form1"));
        QCOMPARE(f.windowTitle(), QStringLiteral("ZubLoader Ver2.51"));
        QCOMPARE(f.size(), QSize(400, 360));
        QCOMPARE(f.pos(), QPoint(0, 0));
        QVERIFY(f.isWindow());
        QVERIFY(!f.windowIcon().isNull());
        QVERIFY(f.windowIcon().pixmap(32, 32).toImage().pixelColor(16, 16).alpha() == 255);
        QCOMPARE(f.Engine.StartDirectory(), tmp_.path());
        QCOMPARE(QString::fromLatin1(TForm1::OpenDialog1Filter),
                 QStringLiteral("INTEL HEX (*.hex);;ZUB BIN (*.lod);;ALL (*)"));
    }

    void everyControl() {
        for (const Expect& e : kControls) {
            const QString name = QString::fromLatin1(e.name);
            auto* w = form_->findChild<QWidget*>(name);
            QVERIFY2(w, e.name);
            QVERIFY2(w->inherits(e.kind), e.name);
            QCOMPARE(w->parentWidget()->objectName(), QString::fromLatin1(e.parent));
            if (e.geometry.width() < 0)
                QCOMPARE(w->pos(), e.geometry.topLeft());
            else
                QCOMPARE(w->geometry(), e.geometry);
            if (e.text)
                QCOMPARE(textOf(w), QString::fromUtf8(e.text));
            QCOMPARE(w->toolTip(), QString::fromUtf8(e.toolTip));
            QCOMPARE(w->isEnabled(), e.enabled);
        }
        // The find-port button's hint exists but is never shown as a tool tip.
        QVERIFY(form_->BtnReset->toolTip().isEmpty());
        QCOMPARE(form_->BtnReset->accessibleDescription(), QStringLiteral("통신포트 검색"));
    }

    void captionsFit() {
        // Every caption whole inside its control with the fonts this machine really has: a
        // missing condensed face makes Qt fall back to a wider one and cuts "Local Fil".
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        QStringList cut;
        auto report = [&cut](QWidget* w, const QString& text, int need, int room) {
            const QFontInfo face(w->font());
            cut << QStringLiteral("%1 \"%2\": needs %3 px, has %4 px (%5 %6 px)")
                       .arg(w->objectName(), text)
                       .arg(need)
                       .arg(room)
                       .arg(face.family())
                       .arg(face.pixelSize());
        };
        for (QAbstractButton* b : form_->findChildren<QAbstractButton*>()) {
            if (b->objectName().isEmpty())
                continue; // the combo boxes' own parts
            QStyleOptionButton opt;
            opt.initFrom(b);
            opt.text = b->text();
            const auto element = qobject_cast<QCheckBox*>(b)      ? QStyle::SE_CheckBoxContents
                                 : qobject_cast<QRadioButton*>(b) ? QStyle::SE_RadioButtonContents
                                                                  : QStyle::SE_PushButtonContents;
            const QRect room = b->style()->subElementRect(element, &opt, b);
            const QFontMetrics fm(b->font());
            const QSize need(fm.horizontalAdvance(b->text()), fm.height());
            if (need.width() > room.width() || need.height() > b->height())
                report(b, b->text(), need.width(), room.width());
        }
        for (QLabel* l : form_->findChildren<QLabel*>()) {
            const QFontMetrics fm(l->font());
            const int need = fm.horizontalAdvance(l->text());
            // Its own box, and short of the control beside it, which is drawn over it.
            int room = l->contentsRect().width();
            for (QWidget* w :
                 l->parentWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
                if (w != l && w->geometry().intersects(l->geometry()))
                    room = qMin(room, w->x() - l->x());
            if (need > room)
                report(l, l->text(), need, room);
        }
        for (QComboBox* box : form_->findChildren<QComboBox*>()) {
            // Each row as it shows once chosen: the edit field, scrolled to its start, shows the
            // last character at its right edge only if the whole text is in view.
            QLineEdit* edit = box->lineEdit();
            const QRect field = edit->contentsRect();
            for (int i = 0; i < box->count(); ++i) {
                const QString text = box->itemText(i);
                edit->setText(text);
                edit->setCursorPosition(0);
                if (edit->cursorPositionAt(QPoint(field.right(), field.center().y())) < text.size())
                    report(box, text, edit->fontMetrics().horizontalAdvance(text), field.width());
            }
        }
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
    }

    void initialStates() {
        TForm1& f = *form_;
        QVERIFY(f.RbWebFile->isChecked());
        QVERIFY(!f.RbLocalFile->isChecked());
        QVERIFY(f.RbSingle->isChecked());
        QVERIFY(!f.RbContinue->isChecked());
        QVERIFY(f.CbAutoReset->isChecked());
        QVERIFY(!f.CbBlankSkip->isChecked());
        QVERIFY(!f.CbAutoDevSearch->isChecked());
        QCOMPARE(f.ProgressBar1->value(), 0);
        QCOMPARE(f.ProgressBar2->value(), 0);
        QVERIFY(!f.ProgressBar1->isTextVisible());
        QVERIFY(!f.ProgressBar2->isTextVisible());
        QCOMPARE(f.Memo1->blockCount(), 1);
        QVERIFY(f.Memo1->toPlainText().isEmpty());
        QCOMPARE(f.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

        // Shared members start zero, false or empty.
        QCOMPARE(EngineProbe(f.Engine).RxCount(), 0);
        QVERIFY(!EngineProbe(f.Engine).PortOpened());
        QCOMPARE(f.Engine.State(), 0);
        QCOMPARE(f.Engine.DownloadsDone(), 0);
        QCOMPARE(EngineProbe(f.Engine).StepCounter(), 0);
        QCOMPARE(f.Engine.ImageEndAddress(), 0);
        QVERIFY(!f.Engine.ServerImageTaken());
        QVERIFY(!f.SettingsLoaded);
        for (const QString& name : f.Engine.ModelFileNames())
            QVERIFY(name.isEmpty());
        QVERIFY(!f.Engine.PortEnabled());
    }

    void comboItems() {
        TForm1& f = *form_;
        QCOMPARE(itemsOf(f.CmbComPort),
                 (QStringList{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}));
        QCOMPARE(f.CmbComPort->currentIndex(), 0);
        QCOMPARE(itemsOf(f.CmbProtocol), (QStringList{"NORMAL", "ZUB16T1", "ZUB16T2"}));
        QCOMPARE(f.CmbProtocol->currentIndex(), 0);
        QCOMPARE(itemsOf(f.CmbBaudRate),
                 (QStringList{"br110", "br300", "br600", "br1200", "br2400", "br4800", "br9600",
                              "br14400", "br19200", "br38400", "br56000", "br57600", "br115200",
                              "br128000", "br256000"}));
        QCOMPARE(f.CmbBaudRate->currentIndex(), 11);
        QCOMPARE(
            itemsOf(f.CmbModel),
            (QStringList{"Model 01 motion sensor V1.6", "Model 02 motion sensor 3-axis",
                         "Model 03 motion sensor 3-axis high sensitivity",
                         "Model 04 motion sensor 3-axis wide range",
                         "Model 05 motion sensor level gauge", "Model 06 force sensor Ver1.0",
                         "Model 07 light experiment Ver1.03", "Model 08 pressure meter Ver1.40",
                         "Model 09 pressure meter Ver1.60", "Model 10 pressure meter Ver1.70",
                         "Model 11 pulse generator Ver1.6", "Model 12 vehicle bus tester Ver3.1",
                         "Model 13 multiport controller", "Model 14 controller",
                         "Model 15 CAN board", "Model 16 multi board"}));
        QCOMPARE(f.CmbModel->currentIndex(), 1);
        for (QComboBox* box : {f.CmbComPort, f.CmbProtocol, f.CmbBaudRate, f.CmbModel})
            QVERIFY(box->isEditable());
    }

    void typedTextIsNeverARow() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        for (QComboBox* box :
             {form_->CmbComPort, form_->CmbProtocol, form_->CmbBaudRate, form_->CmbModel}) {
            const int rows = box->count();
            box->setFocus();
            box->lineEdit()->selectAll();
            QTest::keyClicks(box->lineEdit(), QStringLiteral("typed9"));
            QTest::keyClick(box->lineEdit(), Qt::Key_Return);
            QCOMPARE(box->count(), rows);
            QCOMPARE(box->currentText(), QStringLiteral("typed9"));
        }
    }

    void timers() {
        struct T {
            const char* name;
            int interval;
            bool active;
        };
        for (const T& t :
             {T{"Timer1", 1000, true}, T{"TmMainPro", 10, false}, T{"TmDevCtrl", 20, false}}) {
            // The start-up timer is the window's, the download and scan ticks the engine's.
            QObject* owner = qstrcmp(t.name, "Timer1") == 0 ? static_cast<QObject*>(form_.get())
                                                            : &form_->Engine;
            auto* timer = owner->findChild<QTimer*>(QString::fromLatin1(t.name));
            QVERIFY2(timer, t.name);
            QCOMPARE(timer->interval(), t.interval);
            QCOMPARE(timer->isActive(), t.active);
            QCOMPARE(timer->timerType(), Qt::PreciseTimer);
            QVERIFY(!timer->isSingleShot()); // its handler switches it off itself
        }
    }

    void tabOrder() {
        // Left column by its tab numbers, then the log column, then the image strip.
        const QStringList expected = {"CmbComPort",   "CmbBaudRate", "EdCpu",        "EdFlashSize",
                                      "EdBootSize",   "EdPageSize",  "EdEepromSize", "CbBlankSkip",
                                      "CbAutoReset",  "CmbProtocol", "Memo1",        "BtnReset",
                                      "BtnStop",      "BtnStart",    "RbSingle",     "EdFileName",
                                      "BtnLocalFile", "RbWebFile",   "CmbModel"};
        // Tab stops only: disabled controls are skipped, and of a radio group only the checked
        // button takes focus from the keyboard.
        QStringList seen;
        QWidget* w = form_->CmbComPort;
        for (int guard = 0; guard < 200 && seen.size() < expected.size(); ++guard) {
            const QString name = w->objectName();
            const bool takes = (w->focusPolicy() & Qt::TabFocus) && w->isEnabled() &&
                               !name.isEmpty() && !name.startsWith(QLatin1String("qt_")) &&
                               form_->findChild<QWidget*>(name) == w;
            auto* radio = qobject_cast<QRadioButton*>(w);
            if (takes && !(radio && !radio->isChecked()) && !seen.contains(name))
                seen << name;
            w = w->nextInFocusChain();
        }
        QCOMPARE(seen, expected);
    }

    void anchorsFollowResize() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        form_->resize(500, 460);
        QCoreApplication::processEvents();
        const struct {
            QWidget* w;
            QRect r;
        } after[] = {
            {form_->Panel3, {1, 1, 498, 75}},         {form_->EdFileName, {85, 8, 344, 21}},
            {form_->BtnLocalFile, {435, 6, 57, 25}},  {form_->RbWebFile, {14, 39, 65, 17}},
            {form_->CmbModel, {85, 37, 344, 21}},     {form_->BtnWebUpdate, {435, 35, 59, 25}},
            {form_->ProgressBar2, {86, 62, 402, 9}},  {form_->Panel1, {1, 77, 153, 377}},
            {form_->CmbComPort, {68, 4, 79, 21}},     {form_->CbAutoDevSearch, {17, 252, 130, 17}},
            {form_->Panel2, {154, 77, 343, 377}},     {form_->Memo1, {4, 4, 335, 308}},
            {form_->ProgressBar1, {6, 318, 335, 17}}, {form_->BtnReset, {4, 341, 53, 32}},
            {form_->BtnStop, {238, 341, 46, 32}},     {form_->BtnStart, {290, 341, 49, 32}},
            {form_->RbSingle, {69, 341, 52, 17}},     {form_->RbContinue, {69, 357, 61, 17}},
        };
        for (const auto& a : after)
            QCOMPARE(a.w->geometry(), a.r);
        // And back to the design size.
        form_->resize(400, 360);
        QCoreApplication::processEvents();
        QCOMPARE(form_->BtnStart->geometry(), QRect(190, 241, 49, 32));
        QCOMPARE(form_->Memo1->geometry(), QRect(4, 4, 235, 208));
    }

    void logPane() {
        TForm1& f = *form_;
        // The engine's lines reach the pane; an empty line first is a line like any other, also
        // after the pane was cleared.
        QStringList hooked;
        const auto seen = QObject::connect(&f.Engine, &DownloadEngine::LogLine,
                                           [&hooked](const QString& line) { hooked << line; });
        EngineProbe(f.Engine).AddLog(QString());
        f.Memo1->clear();
        EngineProbe(f.Engine).AddLog(QStringLiteral("alone"));
        QCOMPARE(f.Memo1->toPlainText(), QStringLiteral("alone"));
        f.Memo1->clear();
        EngineProbe(f.Engine).AddLog(QString());
        EngineProbe(f.Engine).AddLog(QStringLiteral("first"));
        EngineProbe(f.Engine).AddLog(QString());
        EngineProbe(f.Engine).AddLog(QStringLiteral("[장애]서버에 연결 할 수 없습니다."));
        QCOMPARE(f.Memo1->toPlainText(),
                 QStringLiteral("\nfirst\n\n[장애]서버에 연결 할 수 없습니다."));
        QCOMPARE(hooked,
                 QStringList({"", "alone", "", "first", "", "[장애]서버에 연결 할 수 없습니다."}));
        // Lines go to the end even when the operator put the cursor elsewhere.
        QTextCursor c = f.Memo1->textCursor();
        c.movePosition(QTextCursor::Start);
        f.Memo1->setTextCursor(c);
        EngineProbe(f.Engine).AddLog(QStringLiteral("------------------------------"));
        QCOMPARE(f.Memo1->document()->lastBlock().text(),
                 QStringLiteral("------------------------------"));
        QCOMPARE(f.Memo1->blockCount(), 5);
        f.RepaintLog(); // must not need a visible window
        QObject::disconnect(seen);
    }

    void messageSeam() {
        QStringList seen;
        form_->MessageBoxHook = [&seen](const QString& text) { seen << text; };
        form_->ShowMessage(QStringLiteral("[ERROR] Cannot a Hex_List File!"));
        QCOMPARE(seen, QStringList{QStringLiteral("[ERROR] Cannot a Hex_List File!")});
    }

    void realMessageBoxTitle() {
        // Without the hook a modal box titled "ZubLoad" shows the text; close it once it is up.
        QString title, text;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->text();
                box->accept();
            }
        });
        poll.start();
        QTimer::singleShot(10000, [] {
            if (QWidget* w = QApplication::activeModalWidget())
                w->close();
        });
        form_->ShowMessage(QStringLiteral("[Warnning]Cannot Read a Initial File!!!"));
        poll.stop();
        QCOMPARE(title, QStringLiteral("ZubLoad"));
        QCOMPARE(text, QStringLiteral("[Warnning]Cannot Read a Initial File!!!"));
    }

    void closeWithPortOpen() {
        // Closing the window with the port open lets the last bytes leave, closes the port and
        // then saves the settings beside the start directory.
        PtyPair pty;
        QVERIFY(pty.ok());
        QStringList messages;
        form_->MessageBoxHook = [&messages](const QString& text) { messages << text; };
        form_->LoadSettings(tmp_.filePath(QStringLiteral("none.ini")));
        QCOMPARE(messages.size(), 1);
        form_->CmbProtocol->setCurrentIndex(2);
        EngineProbe(form_->Engine).Comm1().SetDeviceName(pty.path.toLocal8Bit());
        EngineProbe(form_->Engine).Comm1().Open();
        QVERIFY(form_->Engine.PortEnabled());
        EngineProbe(form_->Engine).PortOpened() = true;
        // Only the window holds the device now, so the board end sees the hang-up at close.
        ::close(pty.slave);
        pty.slave = -1;
        const QByteArray payload(1000, 'Z'); // fits the pty buffer: nobody reads yet
        QCOMPARE(EngineProbe(form_->Engine).Comm1().Write(payload.constData(), payload.size()),
                 payload.size());
        form_->close();
        QVERIFY(!form_->Engine.PortEnabled());
        QVERIFY(EngineProbe(form_->Engine).PortOpened()); // the close handler leaves the flag alone
        QCOMPARE(pty.receive(2000), payload);
        pollfd p{pty.master, POLLIN, 0};
        QVERIFY(::poll(&p, 1, 1000) == 1 && (p.revents & POLLHUP));
        QFile ini(tmp_.filePath(QStringLiteral("default.ini")));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QVERIFY(ini.readAll().contains("\r\nCmbProtocol=2\r\n"));
        ini.close();
        ini.remove();
    }
};

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
