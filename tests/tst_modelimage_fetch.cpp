// A model's image taken from the start folder or fetched from a real HTTP server on 127.0.0.1,
// and then written into the simulated board.
#include "tst_engine_probe.h"
#include "tst_engine_support.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTest>

namespace {

const QString kHyphens = QStringLiteral("------------------------------");
const QString kFromServer = QStringLiteral("Load file from server....");
const QString kStored = QStringLiteral("Load File OK");
const QStringList kRun = {QStringLiteral("다운로드 준비가 되었습니다."),
                          QStringLiteral("장치의 전원스위치를 OFF/ON하십시오."),
                          QStringLiteral("[hh:mm:ss] 다운로드 시작 : 0"),
                          QStringLiteral("[hh:mm:ss] 다운로드 완료"),
                          QStringLiteral("장치와 연결을 해제하였습니다.")};

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The server's folder for the program's files, the start folder with its image list, and the
// window pointed at the server.
struct ModelRig {
    QTemporaryDir root;
    HttpServer http;
    std::unique_ptr<FormRig> rig;
    QString Served(const QString& name) const {
        return root.filePath(QStringLiteral("ydr/zubloader/") + name);
    }
    int Fetches(const QString& name) {
        int n = 0;
        for (const QString& r : http.Requests())
            n += r.startsWith(QStringLiteral("GET /ydr/zubloader/") + name + QLatin1Char(' '));
        return n;
    }
    bool Start(const QByteArray& list) {
        QDir(root.path()).mkpath(QStringLiteral("ydr/zubloader"));
        if (!http.Start(root.path()))
            return false;
        rig = std::make_unique<FormRig>();
        if (!WriteFile(rig->Dir() + "/hexlist.txt", list))
            return false;
        rig->F().ReadImageList(QStringLiteral("hexlist.txt"));
        EngineProbe(rig->F().Engine).Upd().BaseUrl = http.BaseUrl();
        EngineProbe(rig->F().Engine).Upd().UpdateUrl =
            http.BaseUrl() + QStringLiteral("/ydr/zubloader/");
        return rig->F().RbWebFile->isChecked();
    }
};

} // namespace

class TestModelImageFetch : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void missingImageFetchedThenKeptInMemory();
    void storedImageUsedWithoutAnyRequest();
    void storedImageEnd100RefetchedEnd101Accepted();
    void serverWithoutTheFileRetriesTwiceThenGivesUp();
    void damagedStoredAndServedImageOneBox();
    void unsaveableImageNamesTheSystemError();
};

void TestModelImageFetch::missingImageFetchedThenKeptInMemory() {
    ModelRig m;
    QVERIFY(m.Start("Model sensor=sensor.hex\r\nModel gauge=gauge.hex\r\n"));
    const QMap<int, QByteArray> image = {{0, Code(3000, 1)}};
    QVERIFY(WriteFile(m.Served("sensor.hex"), HexText(image, true)));
    BoardSim sim;
    QVERIFY(sim.Start());
    FormRig& rig = *m.rig;
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({kHyphens, kFromServer}) + kRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim.Flash(), Flashed(image, 131072));
    // Saved under its listed name in the start folder, byte for byte.
    QCOMPARE(readAll(rig.Dir() + "/sensor.hex"), readAll(m.Served("sensor.hex")));
    QVERIFY(rig.Boxes.isEmpty());
    QVERIFY(rig.F().Engine.ServerImageTaken());
    QCOMPARE(rig.F().Engine.ImageEndAddress(), 2999); // kept after a single-mode download

    // The next Start needs neither the server nor the file.
    const int requests = m.http.Requests().size();
    QVERIFY(QFile::remove(rig.Dir() + "/sensor.hex"));
    rig.F().Memo1->clear();
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QStringList second = kRun;
    second[2] = QStringLiteral("[hh:mm:ss] 다운로드 시작 : 1");
    VERIFY_LOG(rig, second);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 2")), 1);
    QCOMPARE(m.http.Requests().size(), requests);
}

void TestModelImageFetch::storedImageUsedWithoutAnyRequest() {
    ModelRig m;
    QVERIFY(m.Start("Model sensor=sensor.hex\nModel gauge=gauge.hex\n"));
    const QMap<int, QByteArray> image = {{0, Code(1200, 2)}};
    QVERIFY(WriteFile(m.rig->Dir() + "/gauge.hex", HexText(image)));
    // The server holds another build of it, which must not be fetched.
    QVERIFY(WriteFile(m.Served("gauge.hex"), HexText({{0, Code(1200, 3)}})));
    BoardSim sim;
    QVERIFY(sim.Start());
    FormRig& rig = *m.rig;
    rig.F().CmbModel->setCurrentIndex(1);
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({kHyphens, kStored}) + kRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim.Flash(), Flashed(image, 131072));
    QVERIFY(m.http.Requests().isEmpty());
}

void TestModelImageFetch::storedImageEnd100RefetchedEnd101Accepted() {
    ModelRig m;
    QVERIFY(m.Start("Model sensor=sensor.hex\nModel gauge=gauge.hex\n"));
    FormRig& rig = *m.rig;
    BoardSim sim;
    QVERIFY(sim.Start({QStringLiteral("--fresh-each-session")}));
    rig.SetPort(sim.Pty());

    // Image end 100 is too short for a model image: deleted, then fetched again.
    QVERIFY(WriteFile(rig.Dir() + "/sensor.hex", HexText({{0, Code(101, 4)}})));
    const QMap<int, QByteArray> served = {{0, Code(2000, 5)}};
    QVERIFY(WriteFile(m.Served("sensor.hex"), HexText(served)));
    QElapsedTimer t;
    t.start();
    rig.Start();
    QVERIFY(rig.WaitIdle(15000));
    QVERIFY(t.elapsed() >= 2000); // the pause before the retry
    VERIFY_LOG(rig, QStringList({kHyphens, kStored, QStringLiteral("Retry Times : 1"), kHyphens,
                                 kFromServer}) +
                        kRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim.Flash(), Flashed(served, 131072));
    QCOMPARE(readAll(rig.Dir() + "/sensor.hex"), readAll(m.Served("sensor.hex")));

    // Image end 101 is accepted as it is.
    const QMap<int, QByteArray> stored = {{0, Code(102, 6)}};
    QVERIFY(WriteFile(rig.Dir() + "/gauge.hex", HexText(stored)));
    const int requests = m.http.Requests().size();
    rig.F().Memo1->clear();
    rig.F().CmbModel->setCurrentIndex(1);
    EngineProbe(rig.F().Engine).ImageEnd() = 0; // what the operator's pick of another model does
    EngineProbe(rig.F().Engine).ServerImageAccepted() = false;
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QStringList second = kRun;
    second[2] = QStringLiteral("[hh:mm:ss] 다운로드 시작 : 1");
    VERIFY_LOG(rig, QStringList({kHyphens, kStored}) + second);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 2")), 1);
    QCOMPARE(sim.Flash(), Flashed(stored, 131072));
    QCOMPARE(m.http.Requests().size(), requests);
}

void TestModelImageFetch::serverWithoutTheFileRetriesTwiceThenGivesUp() {
    ModelRig m;
    QVERIFY(m.Start("Model sensor=sensor.hex\n"));
    FormRig& rig = *m.rig;
    BoardSim sim;
    QVERIFY(sim.Start());
    rig.SetPort(sim.Pty());
    QElapsedTimer t;
    t.start();
    rig.Start();
    QVERIFY(rig.WaitIdle(20000));
    QVERIFY(t.elapsed() >= 4000);
    VERIFY_LOG(rig,
               QStringList({kHyphens, kFromServer, QStringLiteral("Retry Times : 1"), kHyphens,
                            kFromServer, QStringLiteral("Retry Times : 2"), kHyphens, kFromServer,
                            QStringLiteral("[Error] Model image sensor.hex refused: not on the "
                                           "server (HTTP 404)"),
                            QStringLiteral("네트워크 연결이 불안정합니다.")}));
    // The record says why, after the failure line, and a jig gets the kind.
    QCOMPARE(rig.F().Engine.CurrentRecord().Kind, FailureKind::Image);
    const QDir dir(rig.Dir());
    const QStringList records = dir.entryList({QStringLiteral("downloads-*.csv")});
    QCOMPARE(records.size(), 1);
    QVERIFY(QString::fromUtf8(readAll(dir.filePath(records.first())))
                .contains(QStringLiteral(",네트워크 연결이 불안정합니다.: Model image sensor.hex "
                                         "refused: not on the server (HTTP 404)")));
    // Each of the three loads found no file; the operator is told once.
    QCOMPARE(rig.Boxes, QStringList({QStringLiteral("[ERROR] Cannot the Hex File!")}));
    QCOMPARE(m.Fetches("sensor.hex"), 3);
    QCOMPARE(rig.F().Engine.ImageEndAddress(), 0);
    QVERIFY(!QFile::exists(rig.Dir() + "/sensor.hex"));
    QVERIFY(!rig.F().Engine.PortEnabled());
    QVERIFY(sim.Events().isEmpty());
}

void TestModelImageFetch::damagedStoredAndServedImageOneBox() {
    ModelRig m;
    QVERIFY(m.Start("Model sensor=sensor.hex\n"));
    FormRig& rig = *m.rig;
    // The stored copy is cut short in line 2; the server's copy in line 3.
    QVERIFY(WriteFile(rig.Dir() + "/sensor.hex", ":0400100001020304E2\n:04001000010\n"));
    QVERIFY(WriteFile(m.Served("sensor.hex"),
                      ":0400100001020304E2\n:0400140005060708CE\n:0400180009\n:00000001FF\n"));
    BoardSim sim;
    QVERIFY(sim.Start());
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle(20000));
    // Deleted and fetched again each time, one box, and the last line but one says why.
    VERIFY_LOG(rig,
               QStringList({kHyphens, kStored, QStringLiteral("Retry Times : 1"), kHyphens,
                            kFromServer, QStringLiteral("Retry Times : 2"), kHyphens, kFromServer,
                            QStringLiteral("[Error] Model image sensor.hex refused: refused by the "
                                           "loader: line 3 is damaged"),
                            QStringLiteral("네트워크 연결이 불안정합니다.")}));
    QCOMPARE(rig.Boxes, QStringList({QStringLiteral("[ERROR] Hex file line 2 is damaged!")}));
    QCOMPARE(m.Fetches("sensor.hex"), 2);
    QVERIFY(!QFile::exists(rig.Dir() + "/sensor.hex"));
    QCOMPARE(rig.F().Engine.ImageEndAddress(), 0);
    QVERIFY(sim.Events().isEmpty());
}

void TestModelImageFetch::unsaveableImageNamesTheSystemError() {
    ModelRig m;
    QVERIFY(m.Start("Model sensor=sensor.hex\n"));
    FormRig& rig = *m.rig;
    QVERIFY(WriteFile(m.Served("sensor.hex"), HexText({{0, Code(2000, 7)}})));
    // A folder where the file belongs: the server answers 200 every time, and nothing can be
    // saved (as root, file modes would not stop the write).
    QVERIFY(QDir(rig.Dir()).mkdir(QStringLiteral("sensor.hex")));
    BoardSim sim;
    QVERIFY(sim.Start());
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle(20000));
    const QString lost = QStringLiteral("[Error] Model image sensor.hex refused: could not be "
                                        "saved as ") +
                         rig.Dir() + QStringLiteral("/sensor.hex: <any>");
    VERIFY_LOG(rig,
               QStringList({kHyphens, kFromServer, QStringLiteral("Retry Times : 1"), kHyphens,
                            kFromServer, QStringLiteral("Retry Times : 2"), kHyphens, kFromServer,
                            lost, QStringLiteral("네트워크 연결이 불안정합니다.")}));
    QCOMPARE(m.Fetches("sensor.hex"), 3);
    QCOMPARE(rig.F().Engine.CurrentRecord().Kind, FailureKind::Image);
    QVERIFY(rig.F().Engine.CurrentRecord().Reason.startsWith(
        QStringLiteral("Model image sensor.hex refused: ")));
    QVERIFY(sim.Events().isEmpty());
}

QTEST_MAIN(TestModelImageFetch)
#include "tst_modelimage_fetch.moc"
