// The update client against real servers on 127.0.0.1: the probe, whole-or-nothing downloads,
// redirects, limits, unsafe names, the released client, and HTTPS servers whose certificates come
// from an authority made at test time.
#include "tst_update_servers.h"

#include "update/UrlForm.h"
#include "update/Uupdate.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

using namespace testsrv;

class TestUpdate : public QObject {
    Q_OBJECT

    QTemporaryDir serverDir_; // what the servers publish
    QTemporaryDir work_;      // holds the save folder "start" and its parent
    PlainServer plain_;
    FaultServer fault_;
    QString saveDir_;
    QTemporaryDir tlsDir_;   // authorities, certificates and keys
    TestAuthority ca_;       // the authority the client is told to trust
    TestAuthority stranger_; // one it has never heard of
    FaultServer tlsGood_;    // certificate from ca_ for 127.0.0.1
    FaultServer tlsOther_;   // certificate from ca_ for another host name
    FaultServer tlsUnknown_; // certificate for 127.0.0.1 from stranger_

    // The line a refused certificate leaves on standard error.
    static void expectTlsReport(const FaultServer& server) {
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("^Update server ") +
                               QRegularExpression::escape(server.base()) +
                               QStringLiteral("\\S*: no verified TLS connection: .+")));
    }

    // A client whose files go to the save folder and whose folder URL is `folder` on a server.
    void setUp(UUPD& upd, const QString& folderUrl) {
        upd.Init(upd.Info, QStringLiteral("ZubLoader"));
        upd.SaveDir = saveDir_;
        upd.UpdateUrl = folderUrl;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(serverDir_.isValid() && work_.isValid());
        const QString pub = serverDir_.path() + QStringLiteral("/ydr/zubloader");
        QVERIFY(QDir().mkpath(pub));
        writeAll(pub + QStringLiteral("/fw.hex"), QByteArray(":00000001FF\r\n"));
        QByteArray big(1 << 20, '\0');
        for (int i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        writeAll(pub + QStringLiteral("/big.bin"), big);
        writeAll(pub + QStringLiteral("/huge.bin"), QByteArray((4 << 20) + 1, 'h'));
        writeAll(pub + QStringLiteral("/my fw#1?.hex"), QByteArray("spaced"));
        writeAll(pub + QStringLiteral("/모델 펌웨어.hex"), QByteArray("korean"));
        writeAll(pub + QStringLiteral("/hexlist.txt"), QByteArray("A-one=fw.hex\n"));
        writeAll(pub + QStringLiteral("/default.ini"), QByteArray("[hostile]\n"));
        QVERIFY(plain_.start(serverDir_.path()));
        QVERIFY(fault_.start(pub));
        saveDir_ = work_.path() + QStringLiteral("/start");
        QVERIFY(QDir().mkpath(saveDir_));

        QVERIFY(tlsDir_.isValid());
        QVERIFY(ca_.create(tlsDir_.path(), QStringLiteral("zubloader-test-ca")));
        QVERIFY(ca_.issue(QStringLiteral("good"), QStringLiteral("IP:127.0.0.1,DNS:localhost")));
        QVERIFY(ca_.issue(QStringLiteral("other"), QStringLiteral("DNS:updates.other.example")));
        QVERIFY(stranger_.create(tlsDir_.path(), QStringLiteral("stranger-ca")));
        QVERIFY(stranger_.issue(QStringLiteral("unknown"),
                                QStringLiteral("IP:127.0.0.1,DNS:localhost")));
        const auto serve = [&](FaultServer& server, const TestAuthority& ca, const char* leaf) {
            return server.start(pub, ca.file(QString::fromLatin1(leaf), "pem"),
                                ca.file(QString::fromLatin1(leaf), "key"));
        };
        QVERIFY(serve(tlsGood_, ca_, "good"));
        QVERIFY(serve(tlsOther_, ca_, "other"));
        QVERIFY(serve(tlsUnknown_, stranger_, "unknown"));
    }

    void init() {
        // Each case starts from an empty save folder and an empty parent.
        QDir(saveDir_).removeRecursively();
        QVERIFY(QDir().mkpath(saveDir_));
        QCOMPARE(entries(work_.path()), QStringList{QStringLiteral("start")});
    }

    void addressesOfTheServer() {
        QCOMPARE(MakeBaseUrl(QStringLiteral("upd.example:8371")),
                 QStringLiteral("http://upd.example:8371"));
        QCOMPARE(MakeUpdateUrl(QStringLiteral("http://h"), QStringLiteral("ZubLoader")),
                 QStringLiteral("http://h/ydr/zubloader/"));
        const QString folder = QStringLiteral("http://h/ydr/zubloader/");
        // Plain names go out exactly as listed.
        for (const char* plain : {"fw.hex", "MODEL_7-b.lod", "a+b=c,d;e!$&'()*:@~.hex"})
            QCOMPARE(MakeFileUrl(folder, QString::fromUtf8(plain)),
                     folder + QString::fromUtf8(plain));
        QCOMPARE(MakeFileUrl(folder, QStringLiteral("my fw#1?.hex")),
                 folder + QStringLiteral("my%20fw%231%3F.hex"));
        QCOMPARE(MakeFileUrl(folder, QStringLiteral("100%.hex")),
                 folder + QStringLiteral("100%25.hex"));
        QCOMPARE(MakeFileUrl(folder, QStringLiteral("a/b")), folder + QStringLiteral("a%2Fb"));
        QCOMPARE(MakeFileUrl(folder, QStringLiteral("펌웨어")),
                 folder + QStringLiteral("%ED%8E%8C%EC%9B%A8%EC%96%B4"));

        // The build's host setting may name the scheme; without one it is plain HTTP as before.
        QCOMPARE(MakeBaseUrl(QStringLiteral("http://upd.example:8371")),
                 QStringLiteral("http://upd.example:8371"));
        QCOMPARE(MakeBaseUrl(QStringLiteral("https://upd.example:8443")),
                 QStringLiteral("https://upd.example:8443"));
        QCOMPARE(MakeBaseUrl(QStringLiteral("HTTPS://Upd.example")),
                 QStringLiteral("https://Upd.example"));
        QCOMPARE(MakeBaseUrl(QStringLiteral("https://[::1]:8443")),
                 QStringLiteral("https://[::1]:8443"));
        QCOMPARE(MakeUpdateUrl(QStringLiteral("https://h"), QStringLiteral("ZubLoader")),
                 QStringLiteral("https://h/ydr/zubloader/"));
        // A setting that cannot be one server gives no address, never plain HTTP by accident.
        for (const char* bad : {"ftp://upd.example", "htps://upd.example", "https://", "",
                                "upd.example/ydr", "https://upd.example/", "user@upd.example",
                                "upd example", "https://upd.example?x", "file:///etc/passwd"})
            QVERIFY2(MakeBaseUrl(QString::fromLatin1(bad)).isEmpty(), bad);
        QCOMPARE(MakeUpdateUrl(QString(), QStringLiteral("ZubLoader")), QString());

        UUPD upd;
        upd.Init(upd.Info, QStringLiteral("ZubLoader"));
        const QString host = QStringLiteral(ZUB_UPDATE_HOST);
        const QString base = host.contains(QStringLiteral("://"))
                                 ? host.section(QStringLiteral("://"), 0, 0).toLower() +
                                       QStringLiteral("://") +
                                       host.section(QStringLiteral("://"), 1)
                                 : QStringLiteral("http://") + host;
        QCOMPARE(upd.BaseUrl, base);
        QCOMPARE(upd.UpdateUrl, base + QStringLiteral("/ydr/zubloader/"));
        QCOMPARE(QByteArray(upd.Info.ListFile), QByteArray("hexlist.txt"));
        QVERIFY(upd.Http != nullptr);
    }

    void probeCountsAnyAnswer() {
        UUPD upd;
        setUp(upd, QString());
        const int before = fault_.requests().size();
        // The fault server's root answers 404: reachable all the same.
        QVERIFY(upd.CheckServer(fault_.base()));
        const QList<QStringList> req = fault_.requests();
        QCOMPARE(req.size(), before + 1);
        QCOMPARE(req.last(), (QStringList{QStringLiteral("GET"), QStringLiteral("/"),
                                          QStringLiteral("Ydr Server in pavix"),
                                          QStringLiteral("no-cache"), QStringLiteral("no-cache")}));
        QVERIFY(upd.CheckServer(fault_.base() + QStringLiteral("/status/500")));
        QVERIFY(upd.CheckServer(plain_.base()));
        // A probe reads no body: a 5 MiB answer ends at once.
        QElapsedTimer t;
        t.start();
        QVERIFY(upd.CheckServer(fault_.base() + QStringLiteral("/nolength/5242880")));
        QVERIFY(t.elapsed() < 2000);
    }

    void probeFailsWithoutServer() {
        UUPD upd;
        setUp(upd, QString());
        QElapsedTimer t;
        t.start();
        QVERIFY(!upd.CheckServer(QStringLiteral("http://127.0.0.1:%1").arg(freePort())));
        QVERIFY2(t.elapsed() < 1000, "a refused connection answers at once");
        QVERIFY(!upd.CheckServer(QString()));
        QVERIFY(!upd.CheckServer(QStringLiteral("http://127.0.0.1:1 /x")));
        // A server that accepts and never answers: bounded by the probe's time-out.
        upd.Limits.ProbeTimeoutMs = 1000;
        t.restart();
        QVERIFY(!upd.CheckServer(fault_.base() + QStringLiteral("/silent/")));
        QVERIFY(t.elapsed() < 4000);
    }

    void downloadSavesWholeFile() {
        UUPD upd;
        setUp(upd, plain_.base() + QStringLiteral("/ydr/zubloader/"));
        const QString pub = serverDir_.path() + QStringLiteral("/ydr/zubloader/");
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("big.bin"));
        QCOMPARE(upd.LastError, UpdError::None);
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/big.bin")),
                 readAll(pub + QStringLiteral("big.bin")));
        // A longer older file is replaced entirely, not overwritten in place.
        writeAll(saveDir_ + QStringLiteral("/fw.hex"), QByteArray(5000, 'o'));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/fw.hex")), QByteArray(":00000001FF\r\n"));
        // The list file is the one reserved name the client fetches.
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("hexlist.txt"));
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/hexlist.txt")), QByteArray("A-one=fw.hex\n"));
        // A link planted in the file's place is refused and kept; nothing reaches its target.
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.path() + QStringLiteral("/.bashrc");
        writeAll(victim, QByteArray("the operator's own"));
        QVERIFY(QFile::remove(saveDir_ + QStringLiteral("/fw.hex")));
        QVERIFY(QFile::link(victim, saveDir_ + QStringLiteral("/fw.hex")));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
        QCOMPARE(upd.LastError, UpdError::SaveFailed);
        QCOMPARE(readAll(victim), QByteArray("the operator's own"));
        QVERIFY(QFileInfo(saveDir_ + QStringLiteral("/fw.hex")).isSymLink());
        QCOMPARE(entries(saveDir_),
                 (QStringList{QStringLiteral("big.bin"), QStringLiteral("fw.hex"),
                              QStringLiteral("hexlist.txt")}));
    }

    void namesNeedingEncoding() {
        UUPD upd;
        setUp(upd, plain_.base() + QStringLiteral("/ydr/zubloader/"));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("my fw#1?.hex"));
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/my fw#1?.hex")), QByteArray("spaced"));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("모델 펌웨어.hex"));
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/모델 펌웨어.hex")), QByteArray("korean"));
        // What went over the wire: one encoded path segment.
        setUp(upd, fault_.base() + QStringLiteral("/files/"));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("my fw#1?.hex"));
        QCOMPARE(fault_.requests().last().at(1), QStringLiteral("/files/my%20fw%231%3F.hex"));
    }

    void failedDownloadsKeepOlderFile() {
        struct Case {
            const char* folder;
            const char* name;
            UpdError error;
            const char* reason; // how the reason the engine logs begins
        };
        const Case cases[] = {
            {"/files/", "absent.hex", UpdError::HttpStatus, "not on the server (HTTP 404)"},
            {"/status/", "500", UpdError::HttpStatus, "the server answered HTTP 500"},
            {"/status/", "403", UpdError::HttpStatus, "the server answered HTTP 403"},
            {"/truncated/", "fw.hex", UpdError::Incomplete, "arrived truncated: 100 of 1000 bytes"},
            {"/loop/", "fw.hex", UpdError::Connect, "the transfer failed: "},
            {"/found-html/", "fw.hex", UpdError::HttpStatus,
             "the server answered with a redirect it did not follow (HTTP 302)"},
            {"/nolength/", "5242880", UpdError::TooLarge, "larger than the 4194304 bytes accepted"},
        };
        for (const Case& c : cases) {
            init();
            const QString name = QString::fromLatin1(c.name);
            const QString target = saveDir_ + QStringLiteral("/") + name;
            writeAll(target, QByteArray("older file"));
            UUPD upd;
            setUp(upd, fault_.base() + QString::fromLatin1(c.folder));
            upd.DownloadFile(upd.UpdateUrl, name);
            QCOMPARE(upd.LastError, c.error);
            QVERIFY2(upd.LastReason.startsWith(QLatin1String(c.reason)),
                     qPrintable(upd.LastReason));
            QCOMPARE(readAll(target), QByteArray("older file"));
            QCOMPARE(entries(saveDir_), QStringList{name});
            // Without an older file nothing appears at all.
            QFile::remove(target);
            upd.DownloadFile(upd.UpdateUrl, name);
            QCOMPARE(entries(saveDir_), QStringList());
        }
    }

    void sizeCap() {
        UUPD upd;
        setUp(upd, plain_.base() + QStringLiteral("/ydr/zubloader/"));
        // Declared above 4 MiB: refused before the body.
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("huge.bin"));
        QCOMPARE(upd.LastError, UpdError::TooLarge);
        QCOMPARE(entries(saveDir_), QStringList());
        // No length but within the cap: the body up to the close is the file.
        setUp(upd, fault_.base() + QStringLiteral("/nolength/"));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("3000"));
        QCOMPARE(upd.LastError, UpdError::None);
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/3000")), QByteArray(3000, 'x'));

        // The image list is taken no larger than its reader reads (1 MiB): a list that every
        // start would refuse is never stored, whatever the server declares.
        QVERIFY(QDir().mkpath(serverDir_.path() + QStringLiteral("/biglist")));
        const QString list = serverDir_.path() + QStringLiteral("/biglist/hexlist.txt");
        setUp(upd, plain_.base() + QStringLiteral("/biglist/"));
        writeAll(list, QByteArray(1048577, '#'));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("hexlist.txt"));
        QCOMPARE(upd.LastError, UpdError::TooLarge);
        QCOMPARE(entries(saveDir_), QStringList{QStringLiteral("3000")});
        writeAll(list, QByteArray(1048576, '#'));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("hexlist.txt"));
        QCOMPARE(upd.LastError, UpdError::None);
        QCOMPARE(QFileInfo(saveDir_ + QStringLiteral("/hexlist.txt")).size(), 1048576);
    }

    void redirectToTheFile() {
        UUPD upd;
        setUp(upd, fault_.base() + QStringLiteral("/moved/"));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
        QCOMPARE(upd.LastError, UpdError::None);
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/fw.hex")), QByteArray(":00000001FF\r\n"));
        const QList<QStringList> req = fault_.requests();
        QCOMPARE(req.at(req.size() - 2).at(1), QStringLiteral("/moved/fw.hex"));
        QCOMPARE(req.last().at(1), QStringLiteral("/files/fw.hex"));
    }

    void silentServerEnds() {
        UUPD upd;
        setUp(upd, fault_.base() + QStringLiteral("/silent/"));
        upd.Limits.LowSpeedTimeS = 1;
        writeAll(saveDir_ + QStringLiteral("/fw.hex"), QByteArray("older file"));
        QElapsedTimer t;
        t.start();
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(upd.LastError, UpdError::Connect);
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/fw.hex")), QByteArray("older file"));
        QCOMPARE(entries(saveDir_), QStringList{QStringLiteral("fw.hex")});
    }

    void stopEndsAStalledTransferWithinASecond() {
        // The server takes the request and sends nothing; the low-speed limit would wait 10 s.
        UUPD upd;
        setUp(upd, fault_.base() + QStringLiteral("/silent/"));
        writeAll(saveDir_ + QStringLiteral("/fw.hex"), QByteArray("older file"));
        QElapsedTimer t;
        t.start();
        qint64 asked = -1;
        upd.Cancelled = [&] {
            if (t.elapsed() < 300)
                return false;
            if (asked < 0)
                asked = t.elapsed();
            return true;
        };
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
        QVERIFY(asked >= 0);
        // libcurl asks at least once a second even while nothing arrives.
        QVERIFY2(t.elapsed() < 1300 + 500, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(upd.LastError, UpdError::Cancelled);
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/fw.hex")), QByteArray("older file"));
        QCOMPARE(entries(saveDir_), QStringList{QStringLiteral("fw.hex")});
        // The probe too: a server that never sends its status line.
        t.restart();
        QVERIFY(!upd.CheckServer(fault_.base() + QStringLiteral("/silent/probe")));
        QVERIFY2(t.elapsed() < 1300 + 500, qPrintable(QString::number(t.elapsed())));
        QVERIFY2(upd.LastReason.contains(QLatin1String("was stopped")), qPrintable(upd.LastReason));
    }

    void unsafeNamesAreNeverUsed() {
        UUPD upd;
        setUp(upd, fault_.base() + QStringLiteral("/files/"));
        const QString settings = saveDir_ + QStringLiteral("/default.ini");
        writeAll(settings, QByteArray("ZubLoader settings\n"));
        const int before = fault_.requests().size();
        for (const char* name : {"../evil.hex", "sub/evil.hex", "..", ".hidden", "default.ini",
                                 "DEFAULT.HEX", "a\\b.hex", "tab\there.hex", "line\rend.hex", ""}) {
            upd.DownloadFile(upd.UpdateUrl, QString::fromUtf8(name));
            QVERIFY2(upd.LastError == UpdError::UnsafeName || upd.LastError == UpdError::NoRequest,
                     name);
        }
        upd.DownloadFile(QString(), QStringLiteral("fw.hex"));
        QCOMPARE(upd.LastError, UpdError::NoRequest);
        QCOMPARE(fault_.requests().size(), before);
        QCOMPARE(readAll(settings), QByteArray("ZubLoader settings\n"));
        QCOMPARE(entries(saveDir_), QStringList{QStringLiteral("default.ini")});
        QCOMPARE(entries(work_.path()), QStringList{QStringLiteral("start")});
        // No save folder: nothing is written to the root or the current directory.
        upd.SaveDir.clear();
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
        QCOMPARE(fault_.requests().size(), before);
    }

    void savedInSaveDirWhateverTheCurrentDirectory() {
        UUPD upd;
        setUp(upd, plain_.base() + QStringLiteral("/ydr/zubloader/"));
        const QString old = QDir::currentPath();
        QVERIFY(QDir::setCurrent(work_.path()));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
        QDir::setCurrent(old);
        QVERIFY(QFile::exists(saveDir_ + QStringLiteral("/fw.hex")));
        QCOMPARE(entries(work_.path()), QStringList{QStringLiteral("start")});
    }

    void httpsServerWithVerifiedCertificate() {
        UUPD upd;
        setUp(upd, tlsGood_.base() + QStringLiteral("/files/"));
        upd.CaFile = ca_.certFile();
        QVERIFY(upd.CheckServer(tlsGood_.base()));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("hexlist.txt"));
        QCOMPARE(upd.LastError, UpdError::None);
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("big.bin"));
        QCOMPARE(upd.LastError, UpdError::None);
        const QString pub = serverDir_.path() + QStringLiteral("/ydr/zubloader/");
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/hexlist.txt")),
                 readAll(pub + QStringLiteral("hexlist.txt")));
        QCOMPARE(readAll(saveDir_ + QStringLiteral("/big.bin")),
                 readAll(pub + QStringLiteral("big.bin")));
        QList<QStringList> req = tlsGood_.requests();
        QCOMPARE(req.size(), 3);
        QCOMPARE(req.at(0).mid(0, 3), (QStringList{QStringLiteral("GET"), QStringLiteral("/"),
                                                   QStringLiteral("Ydr Server in pavix")}));
        QCOMPARE(req.at(2).at(1), QStringLiteral("/files/big.bin"));

        // Once on TLS, never off it: a redirect to a plain HTTP server is not followed.
        const int plainBefore = fault_.requests().size();
        const QString toPlain =
            QString::fromLatin1(QUrl::toPercentEncoding(fault_.base() + QStringLiteral("/files/")));
        upd.DownloadFile(tlsGood_.base() + QStringLiteral("/goto/") + toPlain,
                         QStringLiteral("fw.hex"));
        QCOMPARE(upd.LastError, UpdError::Connect);
        req = tlsGood_.requests();
        QVERIFY(req.last().at(1).startsWith(QStringLiteral("/goto/http")));
        QCOMPARE(fault_.requests().size(), plainBefore);
        QCOMPARE(entries(saveDir_),
                 (QStringList{QStringLiteral("big.bin"), QStringLiteral("hexlist.txt")}));
    }

    void httpsCertificatesRefused() {
        struct Case {
            const char* what;
            FaultServer* server;
            QString caFile;
        };
        const Case cases[] = {
            {"certificate for another host name", &tlsOther_, ca_.certFile()},
            {"certificate from an unknown authority", &tlsUnknown_, ca_.certFile()},
            // The program's own setting: the system's trust store knows no test authority.
            {"system trust store", &tlsGood_, QString()},
        };
        for (const Case& c : cases) {
            init();
            UUPD upd;
            setUp(upd, c.server->base() + QStringLiteral("/files/"));
            upd.CaFile = c.caFile;
            const int before = c.server->requests().size();
            // Counts as a server that does not answer.
            expectTlsReport(*c.server);
            QVERIFY2(!upd.CheckServer(c.server->base()), c.what);
            // The reason a Start that fails on it carries.
            QVERIFY2(upd.LastReason.startsWith(QStringLiteral("No verified TLS connection to ") +
                                               c.server->base()),
                     qPrintable(upd.LastReason));
            const QString target = saveDir_ + QStringLiteral("/fw.hex");
            writeAll(target, QByteArray("older file"));
            expectTlsReport(*c.server);
            upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
            QVERIFY2(upd.LastError == UpdError::Tls, c.what);
            QCOMPARE(readAll(target), QByteArray("older file"));
            QFile::remove(target);
            expectTlsReport(*c.server);
            upd.DownloadFile(upd.UpdateUrl, QStringLiteral("hexlist.txt"));
            QVERIFY2(upd.LastError == UpdError::Tls, c.what);
            QVERIFY2(entries(saveDir_).isEmpty(), c.what);
            // Refused in the handshake: the server never read a request.
            QVERIFY2(c.server->requests().size() == before, c.what);
        }
        QCOMPARE(entries(work_.path()), QStringList{QStringLiteral("start")});
    }

    void releasedClientDoesNothing() {
        UUPD upd;
        setUp(upd, fault_.base() + QStringLiteral("/files/"));
        upd.ReleaseHttp();
        QVERIFY(upd.Http == nullptr);
        const int before = fault_.requests().size();
        QVERIFY(!upd.CheckServer(fault_.base()));
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
        QCOMPARE(upd.LastError, UpdError::NoClient);
        upd.Init(upd.Info, QStringLiteral("ZubLoader"));
        QVERIFY(upd.Http == nullptr);
        upd.DownloadFile(upd.UpdateUrl, QStringLiteral("fw.hex"));
        upd.ReleaseHttp();
        QCOMPARE(fault_.requests().size(), before);
        QCOMPARE(entries(saveDir_), QStringList());
        // Before Init there is no client either.
        UUPD fresh;
        fresh.SaveDir = saveDir_;
        QVERIFY(!fresh.CheckServer(fault_.base()));
        fresh.DownloadFile(fault_.base() + QStringLiteral("/files/"), QStringLiteral("fw.hex"));
        QCOMPARE(entries(saveDir_), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
