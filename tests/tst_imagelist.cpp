// The image list "hexlist.txt" and the model list of the window: parsing as the server publishes
// it, the rows and file names the window shows, the operator's picks and the name check that keeps
// listed names inside the start directory.
#include "app/ZubBootLoadMain.h"
#include "image/ImageList.h"
#include "tst_engine_probe.h"
#include "tst_fifo.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

void writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(data), data.size());
}

QStringList rows(const QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

} // namespace

class TestImageList : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::unique_ptr<TForm1> form_;
    QStringList boxes_;

    // Reads `text` as "hexlist.txt" from the start directory, as both callers do.
    void readList(const QByteArray& text) {
        writeFile(QStringLiteral("hexlist.txt"), text);
        form_->ReadImageList(QStringLiteral("hexlist.txt"));
    }

    // What the operator's pick of a row does: the row becomes current, then the event.
    void pick(int row) {
        form_->CmbModel->setCurrentIndex(row);
        Q_EMIT form_->CmbModel->activated(row);
    }

    QStringList logLines() const {
        const QString text = form_->Memo1->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        QVERIFY(QDir::setCurrent(dir_.path()));
    }

    void init() {
        QFile::remove(QStringLiteral("hexlist.txt"));
        form_ = std::make_unique<TForm1>();
        form_->Timer1->stop();
        boxes_.clear();
        form_->MessageBoxHook = [this](const QString& text) { boxes_ << text; };
    }

    void cleanup() { form_.reset(); }

    // ---- the list text ---------------------------------------------------------------------

    void lineForms() {
        const ImageListText list = ParseImageList(QByteArray("A-one=one.lod\n"
                                                             "a.b=c=d.lod\n"
                                                             "no equals sign.hex\n"
                                                             "\n"
                                                             "=bare.hex\n"
                                                             "name only=\n"
                                                             "P-two=two.hex"));
        QCOMPARE(int(list.Rows.size()), 7);
        const char* expect[7][2] = {
            {"A-one", "one.lod"}, {"a.b=c", "d.lod"}, {"", "no equals sign.hex"}, {"", ""},
            {"", "bare.hex"},     {"name only", ""},  {"P-two", "two.hex"}};
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(list.Rows[size_t(i)].ModelName, QString::fromUtf8(expect[i][0]));
            QCOMPARE(list.Rows[size_t(i)].FileName, QString::fromUtf8(expect[i][1]));
        }
        QVERIFY(!list.MoreRows);
        QCOMPARE(list.LongLines, 0);
    }

    void lineEndsAndByteOrderMark() {
        // As Windows editors save it: BOM, CR LF, last line with and without its end.
        for (const QByteArray& tail : {QByteArray("\r\n"), QByteArray()}) {
            const ImageListText list = ParseImageList(
                QByteArray("\xEF\xBB\xBFP-one=one.hex\r\nA-two=two.lod\r\n모델=펌웨어.hex") + tail);
            QCOMPARE(int(list.Rows.size()), 3);
            QCOMPARE(list.Rows[0].ModelName, QStringLiteral("P-one"));
            QCOMPARE(list.Rows[0].FileName, QStringLiteral("one.hex"));
            QCOMPARE(list.Rows[1].FileName, QStringLiteral("two.lod"));
            QCOMPARE(list.Rows[2].ModelName, QStringLiteral("모델"));
            QCOMPARE(list.Rows[2].FileName, QStringLiteral("펌웨어.hex"));
        }
        // A BOM is dropped only at the very start.
        const ImageListText later = ParseImageList(QByteArray("a=b\n\xEF\xBB\xBFx=y\n"));
        QCOMPARE(later.Rows[1].ModelName, QString::fromUtf8("\xEF\xBB\xBFx"));
    }

    void longLinesStayOneRow() {
        // Far past 79 characters, and Korean (three bytes a character): still one row each.
        const QString longName = QStringLiteral("Model ") + QString(200, QLatin1Char('L'));
        const QString korean =
            QStringLiteral("압력 측정기 고감도 버전 1.60 (생산 라인 전용) 모델 이름이 아주 깁니다");
        const QString koreanFile = QStringLiteral("압력측정기_고감도_버전_1.60_생산라인전용.hex");
        const ImageListText list = ParseImageList((longName + QStringLiteral("=long.hex\n") +
                                                   korean + QStringLiteral("=") + koreanFile +
                                                   QStringLiteral("\nP-next=next.hex\n"))
                                                      .toUtf8());
        QCOMPARE(int(list.Rows.size()), 3);
        QCOMPARE(list.Rows[0].ModelName, longName);
        QCOMPARE(list.Rows[0].FileName, QStringLiteral("long.hex"));
        QCOMPARE(list.Rows[1].ModelName, korean);
        QCOMPARE(list.Rows[1].FileName, koreanFile);
        QCOMPARE(list.Rows[2].ModelName, QStringLiteral("P-next"));

        // At the cap a line is kept whole; past it the row stays but its cut name is dropped.
        const QByteArray atCap = "M=" + QByteArray(4096 - 2 - 4, 'f') + ".hex";
        const QByteArray pastCap = "N=" + QByteArray(9000, 'g') + ".hex";
        const ImageListText capped = ParseImageList(atCap + "\n" + pastCap + "\r\nnext=n.hex\n");
        QCOMPARE(int(capped.Rows.size()), 3);
        QCOMPARE(capped.Rows[0].FileName.size(), 4094);
        QCOMPARE(capped.Rows[1].ModelName, QStringLiteral("N"));
        QCOMPARE(capped.Rows[1].FileName, QString());
        QCOMPARE(capped.Rows[2].FileName, QStringLiteral("n.hex"));
        QCOMPARE(capped.LongLines, 1);
        // CR LF at the cap, and one byte past it, last line without its end.
        const ImageListText edges = ParseImageList(atCap + "\r\n" + atCap + "\r\n" + atCap + "x");
        QCOMPARE(int(edges.Rows.size()), 3);
        QCOMPARE(edges.Rows[0].FileName.size(), 4094);
        QCOMPARE(edges.Rows[1].FileName.size(), 4094);
        QCOMPARE(edges.Rows[2].FileName, QString());
        QCOMPARE(edges.LongLines, 1);
    }

    void capacityOfTwentyRows() {
        QByteArray text;
        for (int i = 1; i <= 20; ++i)
            text += "Model " + QByteArray::number(i) + "=m" + QByteArray::number(i) + ".hex\n";
        ImageListText list = ParseImageList(text + "\r\n\n   \n");
        QCOMPARE(int(list.Rows.size()), 20);
        QVERIFY2(!list.MoreRows, "blank lines after the 20th are no further models");
        list = ParseImageList(text + "\nModel 21=m21.hex\n");
        QCOMPARE(int(list.Rows.size()), 20);
        QCOMPARE(list.Rows[19].FileName, QStringLiteral("m20.hex"));
        QVERIFY(list.MoreRows);
    }

    void safeFileNames() {
        for (const char* ok : {"one.lod", "two.hex", "my fw#1?.hex", "펌웨어.hex", "a=b.hex",
                               "default.hex.bak", "hexlist.txt.old", "x", "downloads.csv",
                               "downloads-2026-12.hex", "my-downloads-2026-12.csv"})
            QVERIFY2(IsSafeModelFileName(QString::fromUtf8(ok)), ok);
        for (const char* bad :
             {"", ".", "..", ".hidden", "../up.hex", "/etc/passwd", "sub/x.hex", "a\\b.hex",
              "..\\up.hex", "C:\\fw.hex", "default.ini", "hexlist.txt", "default.hex",
              "Default.INI", "tab\t.hex", "cr\r", "nl\n.hex", "del\x7f.hex"})
            QVERIFY2(!IsSafeModelFileName(QString::fromUtf8(bad)), bad);
        // The production record of any month: Start would delete it and fetch a forged one.
        for (const char* record :
             {"downloads-2026-12.csv", "downloads-1999-01.csv", "DOWNLOADS-2031-07.CSV"})
            QVERIFY2(!IsSafeModelFileName(QString::fromUtf8(record)), record);
        QVERIFY(!IsSafeModelFileName(QString(QChar(0)) + QStringLiteral("x")));
        QVERIFY(!IsSafeModelFileName(QString(QChar(0x85)) + QStringLiteral("x"))); // C1 control
        QVERIFY(IsSafeModelFileName(QString(255, QLatin1Char('n'))));
        QVERIFY(!IsSafeModelFileName(QString(256, QLatin1Char('n'))));
        QVERIFY(!IsSafeModelFileName(QString(86, QChar(0xD55C)))); // 258 bytes in UTF-8
        QVERIFY(!IsSafeModelFileName(QString(QChar(0xD800)) + QStringLiteral(".hex")));
    }

    // ---- the window's model list --------------------------------------------------------------

    void placeholdersAtCreation() {
        QCOMPARE(form_->CmbModel->count(), 16);
        QCOMPARE(form_->CmbModel->currentIndex(), 1);
        QCOMPARE(form_->CmbModel->currentText(), QStringLiteral("Model 02 motion sensor 3-axis"));
        for (const QString& f : form_->Engine.ModelFileNames())
            QVERIFY(f.isEmpty());
    }

    void readingReplacesRows() {
        form_->CbBlankSkip->setChecked(false);
        EngineProbe(form_->Engine).ImageEnd() = 0x1234;
        readList("P-two=two.hex\nA-one=one.lod");
        QCOMPARE(rows(form_->CmbModel),
                 (QStringList{QStringLiteral("P-two"), QStringLiteral("A-one")}));
        QCOMPARE(form_->CmbModel->currentIndex(), 0);
        QCOMPARE(form_->CmbModel->currentText(), QStringLiteral("P-two"));
        QCOMPARE(form_->Engine.ModelFileNames()[0], QStringLiteral("two.hex"));
        QCOMPARE(form_->Engine.ModelFileNames()[1], QStringLiteral("one.lod"));
        QCOMPARE(form_->SelectedModelRow(), 0);
        // Reading is no pick: no preset, the image in memory untouched.
        QVERIFY(!form_->CbBlankSkip->isChecked());
        QCOMPARE(form_->Engine.ImageEndAddress(), 0x1234);
        QVERIFY(boxes_.isEmpty());
        QVERIFY(logLines().isEmpty());
    }

    void shorterListAfterLonger() {
        readList("m1=1.hex\nm2=2.hex\nm3=3.hex\nm4=4.hex\nm5=5.hex\n");
        form_->CmbModel->setCurrentIndex(4);
        readList("n1=a.hex\r\nn2=b.hex\r\nn3=c.hex\r\n");
        QCOMPARE(rows(form_->CmbModel),
                 (QStringList{QStringLiteral("n1"), QStringLiteral("n2"), QStringLiteral("n3")}));
        QCOMPARE(form_->CmbModel->currentIndex(), 0);
        QCOMPARE(form_->Engine.ModelFileNames()[2], QStringLiteral("c.hex"));
        // Entries past the new end keep their old names, but no row leads to them.
        QCOMPARE(form_->Engine.ModelFileNames()[3], QStringLiteral("4.hex"));
        form_->CmbModel->setEditText(QStringLiteral("m4"));
        QCOMPARE(form_->SelectedModelRow(), -1);
    }

    void missingListKeepsRows() {
        form_->ReadImageList(QStringLiteral("hexlist.txt"));
        QCOMPARE(boxes_, QStringList{QStringLiteral("[ERROR] Cannot a Hex_List File!")});
        QCOMPARE(form_->CmbModel->count(), 16);
        QCOMPARE(form_->CmbModel->currentIndex(), 1);
        readList("A-one=one.lod\n");
        QFile::remove(QStringLiteral("hexlist.txt"));
        form_->ReadImageList(QStringLiteral("hexlist.txt"));
        QCOMPARE(boxes_.size(), 2);
        QCOMPARE(rows(form_->CmbModel), QStringList{QStringLiteral("A-one")});
        QCOMPARE(form_->Engine.ModelFileNames()[0], QStringLiteral("one.lod"));
    }

    void listThatNeverEnds() {
        // A FIFO (opening it waits for a writer), a link to a device and a file far larger than
        // any list: each is a list that cannot be opened, and the rows stay as they were.
        readList("A-one=one.lod\n");
        QVERIFY(QFile::remove(QStringLiteral("hexlist.txt")));
        {
            FifoWithWriter fifo(QStringLiteral("hexlist.txt"), "X-other=other.hex\n");
            QVERIFY(fifo.Ok());
            form_->ReadImageList(QStringLiteral("hexlist.txt"));
            QVERIFY(!fifo.ReaderCame());
        }
        QVERIFY(QFile::remove(QStringLiteral("hexlist.txt")));
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), QStringLiteral("hexlist.txt")));
        form_->ReadImageList(QStringLiteral("hexlist.txt"));
        QVERIFY(QFile::remove(QStringLiteral("hexlist.txt")));
        readList("B-two=two.hex\n" + QByteArray(1024 * 1024, '\n'));
        QCOMPARE(boxes_, QStringList(3, QStringLiteral("[ERROR] Cannot a Hex_List File!")));
        QCOMPARE(rows(form_->CmbModel), QStringList{QStringLiteral("A-one")});
        QCOMPARE(form_->Engine.ModelFileNames()[0], QStringLiteral("one.lod"));
    }

    void listLongerThanTwenty() {
        QByteArray text;
        for (int i = 1; i <= 25; ++i)
            text += "Model " + QByteArray::number(i) + "=m" + QByteArray::number(i) + ".hex\n";
        readList(text);
        QCOMPARE(form_->CmbModel->count(), 20);
        QCOMPARE(form_->CmbModel->itemText(19), QStringLiteral("Model 20"));
        QCOMPARE(form_->Engine.ModelFileNames()[19], QStringLiteral("m20.hex"));
        QCOMPARE(logLines(), QStringList{QStringLiteral(
                                 "[WARNING] Hex_List File has more than 20 models: only the first "
                                 "20 are listed.")});
        // Rows added by other hands past the 20 entries lead to no file.
        form_->CmbModel->addItem(QStringLiteral("Model 21"));
        form_->CmbModel->setCurrentIndex(20);
        QCOMPARE(form_->SelectedModelRow(), -1);
    }

    void listNamingProgramFiles() {
        readList("Evil=default.ini\nWorse=../outside.hex\nOK=ok.hex\n");
        QCOMPARE(form_->CmbModel->count(), 3);
        QCOMPARE(form_->Engine.ModelFileNames()[0], QStringLiteral("default.ini"));
        QVERIFY(!IsSafeModelFileName(form_->Engine.ModelFileNames()[0]));
        QVERIFY(!IsSafeModelFileName(form_->Engine.ModelFileNames()[1]));
        QVERIFY(IsSafeModelFileName(form_->Engine.ModelFileNames()[2]));
    }

    void picksPresetOptions() {
        readList("A-one=one.lod\nP-two=two.hex\nX-three=three.hex\n=blank.hex\n");
        struct Step {
            int row;
            bool reset0, skip0; // boxes before the pick
            bool reset, skip;   // and after it
        };
        const Step steps[] = {
            {1, false, false, true, true}, // "P": both ticked
            {0, false, true, true, false}, // "A": reset ticked, blank skip cleared
            {2, false, true, false, true}, // anything else: left alone
            {3, true, false, true, false}, // empty name: left alone
        };
        for (const Step& s : steps) {
            form_->CbAutoReset->setChecked(s.reset0);
            form_->CbBlankSkip->setChecked(s.skip0);
            EngineProbe(form_->Engine).ImageEnd() = 500;
            EngineProbe(form_->Engine).ServerImageAccepted() = true;
            pick(s.row);
            QCOMPARE(form_->CbAutoReset->isChecked(), s.reset);
            QCOMPARE(form_->CbBlankSkip->isChecked(), s.skip);
            QCOMPARE(form_->Engine.ImageEndAddress(), 0);
            QVERIFY(!form_->Engine.ServerImageTaken());
            QCOMPARE(form_->SelectedModelRow(), s.row);
        }
    }

    void typingPresetsAndSelects() {
        readList("A-one=one.lod\nX-two=two.hex\n");
        QLineEdit* edit = form_->CmbModel->lineEdit();
        form_->CbAutoReset->setChecked(false);
        form_->CbBlankSkip->setChecked(false);
        EngineProbe(form_->Engine).ImageEnd() = 500;
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("Pz"));
        QVERIFY(form_->CbAutoReset->isChecked());
        QVERIFY(form_->CbBlankSkip->isChecked());
        QCOMPARE(form_->Engine.ImageEndAddress(), 0);
        // Typed text naming no row: no model, whatever row Qt still holds as current.
        QCOMPARE(form_->CmbModel->currentText(), QStringLiteral("Pz"));
        QCOMPARE(form_->SelectedModelRow(), -1);
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("A"));
        QVERIFY(!form_->CbBlankSkip->isChecked());
        // Typing a row's whole text selects that row.
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("X-two"));
        QCOMPARE(form_->CmbModel->currentText(), QStringLiteral("X-two"));
        QCOMPARE(form_->SelectedModelRow(), 1);
        // An empty box selects nothing.
        edit->clear();
        QCOMPARE(form_->SelectedModelRow(), -1);
    }

    void emptyListGivesNoRow() {
        readList(QByteArray());
        QCOMPARE(form_->CmbModel->count(), 0);
        QCOMPARE(form_->SelectedModelRow(), -1);
        QVERIFY(boxes_.isEmpty());
    }
};

QTEST_MAIN(TestImageList)
#include "tst_imagelist.moc"
