// The update command and the progress bar, through the real window and real servers: the list
// fetched into the start directory and read again, the fall-back when the server is away or its
// certificate fails the check, and files the list names that must never be replaced.
#include "tst_engine_probe.h"
#include "tst_update_servers.h"

#include "app/ZubBootLoadMain.h"

#include <QApplication>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace testsrv;

// Counts the paints of a progress bar and notes whether any showed it busy (range 0..0).
class PaintCounter : public QObject {
public:
    int count = 0;
    bool paintedBusy = false;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++count;
            const auto* bar = qobject_cast<QProgressBar*>(watched);
            if (bar && bar->minimum() == 0 && bar->maximum() == 0)
                paintedBusy = true;
        }
        return false;
    }
};

class TestUpdateCommand : public QObject {
    Q_OBJECT

    QTemporaryDir serverDir_;
    QTemporaryDir start_;
    QString pub_; // the server's folder /ydr/zubloader/
    PlainServer plain_;
    FaultServer fault_;
    QTemporaryDir tlsDir_;
    TestAuthority ca_;
    FaultServer tlsGood_;  // certificate from ca_ for 127.0.0.1
    FaultServer tlsOther_; // certificate from ca_ for another host name
    std::unique_ptr<TForm1> form_;
    QStringList boxes_;

    QStringList rows() const {
        QStringList out;
        for (int i = 0; i < form_->CmbModel->count(); ++i)
            out << form_->CmbModel->itemText(i);
        return out;
    }

    QStringList logLines() const {
        const QString text = form_->Memo1->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }

    void pointAt(const QString& base) {
        EngineProbe(form_->Engine).Upd().BaseUrl = base;
        EngineProbe(form_->Engine).Upd().UpdateUrl = base + QStringLiteral("/ydr/zubloader/");
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(serverDir_.isValid() && start_.isValid());
        pub_ = serverDir_.path() + QStringLiteral("/ydr/zubloader/");
        QVERIFY(QDir().mkpath(pub_));
        QVERIFY(plain_.start(serverDir_.path()));
        QVERIFY(fault_.start(pub_));
        QVERIFY(tlsDir_.isValid());
        QVERIFY(ca_.create(tlsDir_.path(), QStringLiteral("zubloader-test-ca")));
        QVERIFY(ca_.issue(QStringLiteral("good"), QStringLiteral("IP:127.0.0.1")));
        QVERIFY(ca_.issue(QStringLiteral("other"), QStringLiteral("DNS:updates.other.example")));
        QVERIFY(tlsGood_.start(pub_, ca_.file(QStringLiteral("good"), "pem"),
                               ca_.file(QStringLiteral("good"), "key")));
        QVERIFY(tlsOther_.start(pub_, ca_.file(QStringLiteral("other"), "pem"),
                                ca_.file(QStringLiteral("other"), "key")));
        QVERIFY(QDir::setCurrent(start_.path()));
    }

    void init() {
        for (const QString& name : entries(start_.path()))
            QFile::remove(start_.path() + QStringLiteral("/") + name);
        form_ = std::make_unique<TForm1>();
        form_->Timer1->stop();
        boxes_.clear();
        form_->MessageBoxHook = [this](const QString& text) { boxes_ << text; };
        pointAt(plain_.base());
    }

    void cleanup() { form_.reset(); }

    void fetchesAndReadsTheList() {
        QCOMPARE(form_->Engine.StartDirectory(), start_.path());
        const QByteArray list = "\xEF\xBB\xBF"
                                "A-one=one.lod\r\nP-two=two.hex\r\n";
        writeAll(pub_ + QStringLiteral("hexlist.txt"), list);
        form_->RbLocalFile->setChecked(true);
        form_->CmbModel->setCurrentIndex(5);
        EngineProbe(form_->Engine).ImageEnd() = 4000;
        EngineProbe(form_->Engine).ServerImageAccepted() = true;
        form_->ProgressBar2->setValue(30);
        form_->BtnWebUpdateClick();
        QCOMPARE(readAll(start_.path() + QStringLiteral("/hexlist.txt")), list);
        QVERIFY(form_->RbWebFile->isChecked());
        QCOMPARE(rows(), (QStringList{QStringLiteral("A-one"), QStringLiteral("P-two")}));
        QCOMPARE(form_->CmbModel->currentIndex(), 0);
        QCOMPARE(form_->Engine.ModelFileNames()[1], QStringLiteral("two.hex"));
        QCOMPARE(form_->Engine.ImageEndAddress(), 0);
        QVERIFY(!form_->Engine.ServerImageTaken());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(boxes_.isEmpty());
        QVERIFY(logLines().isEmpty());
        // The bar followed the declared length to its end.
        QCOMPARE(form_->ProgressBar2->maximum(), list.size());
        QCOMPARE(form_->ProgressBar2->value(), list.size());
    }

    void shorterListAfterLonger() {
        writeAll(pub_ + QStringLiteral("hexlist.txt"),
                 "m1=1.hex\nm2=2.hex\nm3=3.hex\nm4=4.hex\nm5=5.hex\n");
        form_->BtnWebUpdateClick();
        QCOMPARE(form_->CmbModel->count(), 5);
        form_->CmbModel->setCurrentIndex(4);
        writeAll(pub_ + QStringLiteral("hexlist.txt"), "n1=a.hex\nn2=b.hex\nn3=c.hex\n");
        form_->BtnWebUpdateClick();
        QCOMPARE(rows(),
                 (QStringList{QStringLiteral("n1"), QStringLiteral("n2"), QStringLiteral("n3")}));
        QCOMPARE(form_->CmbModel->currentIndex(), 0);
        QCOMPARE(form_->SelectedModelRow(), 0);
    }

    void serverAwayFallsBackToLocalFile() {
        writeAll(start_.path() + QStringLiteral("/hexlist.txt"), "A-one=one.lod\n");
        pointAt(QStringLiteral("http://127.0.0.1:%1").arg(freePort()));
        EngineProbe(form_->Engine).ImageEnd() = 4000;
        form_->BtnWebUpdateClick();
        QCOMPARE(logLines(), QStringList{QStringLiteral("네트워크 연결이 불안정합니다.")});
        QVERIFY(form_->RbLocalFile->isChecked());
        QCOMPARE(form_->Engine.ImageEndAddress(), 0);
        QCOMPARE(form_->CmbModel->count(), 16); // the list is not read
        QCOMPARE(form_->ProgressBar2->value(), 0);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        // Already on the local file: stays there, same line again.
        form_->BtnWebUpdateClick();
        QCOMPARE(logLines().size(), 2);
        QVERIFY(form_->RbLocalFile->isChecked());
    }

    void listMissingOnServerKeepsOlderList() {
        writeAll(start_.path() + QStringLiteral("/hexlist.txt"), "Old=old.hex\n");
        pointAt(fault_.base()); // answers, but /ydr/zubloader/hexlist.txt is a 404 there
        form_->BtnWebUpdateClick();
        QCOMPARE(readAll(start_.path() + QStringLiteral("/hexlist.txt")),
                 QByteArray("Old=old.hex\n"));
        QCOMPARE(rows(), QStringList{QStringLiteral("Old")});
        QVERIFY(form_->RbWebFile->isChecked());
        // Neither list anywhere: the reader's own message, the rows as they were.
        QFile::remove(start_.path() + QStringLiteral("/hexlist.txt"));
        form_->BtnWebUpdateClick();
        QCOMPARE(boxes_, QStringList{QStringLiteral("[ERROR] Cannot a Hex_List File!")});
        QCOMPARE(rows(), QStringList{QStringLiteral("Old")});
        QCOMPARE(entries(start_.path()), QStringList());
    }

    void listNamingTheSettingsFile() {
        const QByteArray settings = "[ZubLoader]\nCmbComPort=COM3\n";
        writeAll(start_.path() + QStringLiteral("/default.ini"), settings);
        writeAll(pub_ + QStringLiteral("default.ini"), "hostile settings\n");
        writeAll(pub_ + QStringLiteral("hexlist.txt"), "Evil=default.ini\nP-ok=ok.hex\n");
        form_->BtnWebUpdateClick();
        QCOMPARE(form_->Engine.ModelFileNames()[0], QStringLiteral("default.ini"));
        // What the engine would fetch for that row: refused, the settings stay as they were.
        EngineProbe(form_->Engine)
            .Upd()
            .DownloadFile(EngineProbe(form_->Engine).Upd().UpdateUrl,
                          form_->Engine.ModelFileNames()[0]);
        QCOMPARE(readAll(start_.path() + QStringLiteral("/default.ini")), settings);
        QCOMPARE(entries(start_.path()),
                 (QStringList{QStringLiteral("default.ini"), QStringLiteral("hexlist.txt")}));
    }

    void progressPaintsWhileBlocked() {
        QByteArray image(1 << 20, 'i');
        writeAll(pub_ + QStringLiteral("image.hex"), image);
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        PaintCounter paints;
        form_->ProgressBar2->installEventFilter(&paints);
        QList<int> values;
        connect(form_->ProgressBar2, &QProgressBar::valueChanged, this,
                [&values](int v) { values << v; });
        EngineProbe(form_->Engine)
            .Upd()
            .DownloadFile(fault_.base() + QStringLiteral("/paced/"), QStringLiteral("image.hex"));
        // No event loop ran during the call: every paint counted here was a repaint from inside.
        QVERIFY2(paints.count >= 4, qPrintable(QString::number(paints.count)));
        QVERIFY(values.size() >= 4);
        QCOMPARE(values.last(), image.size());
        QCOMPARE(form_->ProgressBar2->maximum(), image.size());
        QCOMPARE(readAll(start_.path() + QStringLiteral("/image.hex")), image);
    }

    void progressStillOnceTheFetchIsOver() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        QProgressBar* bar = form_->ProgressBar2;
        PaintCounter paints;
        bar->installEventFilter(&paints);
        // No length: busy (range 0..0) while the body arrives rather than a made-up fraction,
        // then full.
        EngineProbe(form_->Engine)
            .Upd()
            .DownloadFile(fault_.base() + QStringLiteral("/nolength/"), QStringLiteral("70000"));
        QCOMPARE(readAll(start_.path() + QStringLiteral("/70000")).size(), 70000);
        QVERIFY(paints.paintedBusy);
        QCOMPARE(bar->maximum(), 70000);
        QCOMPARE(bar->value(), 70000);
        // Failed fetches: one with no length (over the size cap), one refused with a status.
        for (const char* folderAndName : {"/nolength/5242880", "/files/absent.hex"}) {
            const QString path = QString::fromLatin1(folderAndName);
            const int cut = path.lastIndexOf(QLatin1Char('/')) + 1;
            EngineProbe(form_->Engine)
                .Upd()
                .DownloadFile(fault_.base() + path.left(cut), path.mid(cut));
            QVERIFY(EngineProbe(form_->Engine).Upd().LastError != UpdError::None);
            QVERIFY2(bar->maximum() > bar->minimum(), folderAndName);
            QCOMPARE(bar->value(), 0);
        }
        QCOMPARE(entries(start_.path()), QStringList{QStringLiteral("70000")});
    }

    void httpsServerThroughTheCommand() {
        const QByteArray list = "T-one=one.hex\nT-two=two.hex\n";
        writeAll(pub_ + QStringLiteral("hexlist.txt"), list);
        EngineProbe(form_->Engine).Upd().CaFile = ca_.certFile();
        // A certificate for another host name: the server counts as unreachable.
        EngineProbe(form_->Engine).Upd().BaseUrl = tlsOther_.base();
        EngineProbe(form_->Engine).Upd().UpdateUrl = tlsOther_.base() + QStringLiteral("/files/");
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("no verified TLS connection")));
        form_->BtnWebUpdateClick();
        QCOMPARE(logLines(), QStringList{QStringLiteral("네트워크 연결이 불안정합니다.")});
        QVERIFY(form_->RbLocalFile->isChecked());
        QCOMPARE(entries(start_.path()), QStringList());
        QVERIFY(tlsOther_.requests().isEmpty());
        // The same list from a server whose certificate checks out.
        EngineProbe(form_->Engine).Upd().BaseUrl = tlsGood_.base();
        EngineProbe(form_->Engine).Upd().UpdateUrl = tlsGood_.base() + QStringLiteral("/files/");
        form_->BtnWebUpdateClick();
        QCOMPARE(readAll(start_.path() + QStringLiteral("/hexlist.txt")), list);
        QVERIFY(form_->RbWebFile->isChecked());
        QCOMPARE(rows(), (QStringList{QStringLiteral("T-one"), QStringLiteral("T-two")}));
        QCOMPARE(logLines().size(), 1);
    }

    void closedWindowReleasesTheClient() {
        form_->show();
        QVERIFY(form_->close());
        QVERIFY(EngineProbe(form_->Engine).Upd().Http == nullptr);
        const int before = fault_.requests().size();
        pointAt(fault_.base());
        form_->BtnWebUpdateClick();
        QCOMPARE(fault_.requests().size(), before);
        QCOMPARE(logLines().last(), QStringLiteral("네트워크 연결이 불안정합니다."));
    }
};

QTEST_MAIN(TestUpdateCommand)
#include "tst_update_command.moc"
