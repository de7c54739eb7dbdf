// Model downloads refused before anything touches the disk or the network: no server, a name
// from the list that is not one plain file name, no model chosen.
#include "tst_engine_probe.h"
#include "tst_engine_support.h"

#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTest>

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestModelImageRefusals : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void unreachableServer();
    void unsafeFileNameRefused_data();
    void unsafeFileNameRefused();
    void noModelChosen();

private:
    // One server for every case: it holds an image where "../evil.hex" would reach.
    QTemporaryDir root_;
    HttpServer http_;
};

void TestModelImageRefusals::initTestCase() {
    QVERIFY(QDir(root_.path()).mkpath(QStringLiteral("ydr/zubloader")));
    QVERIFY(
        WriteFile(root_.filePath(QStringLiteral("ydr/evil.hex")), HexText({{0, Code(500, 1)}})));
    QVERIFY(http_.Start(root_.path()));
}

void TestModelImageRefusals::unreachableServer() {
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/hexlist.txt", "Model sensor=sensor.hex\n"));
    rig.F().ReadImageList(QStringLiteral("hexlist.txt"));
    const QString dead = QStringLiteral("http://127.0.0.1:%1").arg(DeadPort());
    EngineProbe(rig.F().Engine).Upd().BaseUrl = dead;
    EngineProbe(rig.F().Engine).Upd().UpdateUrl = dead + QStringLiteral("/ydr/zubloader/");
    BoardSim sim;
    QVERIFY(sim.Start());
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({QStringLiteral("네트워크 연결이 불안정합니다."),
                                 QStringLiteral("[Error] The update server ") + dead +
                                     QStringLiteral(" does not answer: <any>")}));
    QCOMPARE(rig.F().Engine.CurrentRecord().Kind, FailureKind::Network);
    QCOMPARE(rig.F().Engine.ImageEndAddress(), 0);
    QVERIFY(rig.Boxes.isEmpty());
    QVERIFY(!QFile::exists(rig.Dir() + "/sensor.hex"));
    QVERIFY(sim.Events().isEmpty());
}

void TestModelImageRefusals::unsafeFileNameRefused_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("parent folder") << "../evil.hex"
                                   << "../evil.hex";
    QTest::newRow("absolute") << "/tmp/evil.hex"
                              << "/tmp/evil.hex";
    QTest::newRow("backslash") << "..\\evil.hex"
                               << "..\\evil.hex";
    QTest::newRow("settings file") << "default.ini"
                                   << "default.ini";
    QTest::newRow("image list") << "hexlist.txt"
                                << "hexlist.txt";
    QTest::newRow("hidden") << ".evil.hex"
                            << ".evil.hex";
    QTest::newRow("control character") << "ev\til.hex"
                                       << "ev?il.hex";
}

void TestModelImageRefusals::unsafeFileNameRefused() {
    QFETCH(QString, name);
    QFETCH(QString, shown);
    // The start folder sits one level inside a folder of the test's own, so that anything
    // written beside it would be seen.
    QTemporaryDir outer;
    const QString start = outer.filePath(QStringLiteral("start"));
    QVERIFY(QDir().mkpath(start));
    const int requests = http_.Requests().size();

    FormRig rig(start);
    const QByteArray ini = "ZUB COM Watch Ver=1.0\r\nCmbComPort=COM1\r\n";
    QVERIFY(WriteFile(start + "/default.ini", ini));
    const QByteArray list = "Model x=" + name.toLocal8Bit() + "\n";
    QVERIFY(WriteFile(start + "/hexlist.txt", list));
    rig.F().ReadImageList(QStringLiteral("hexlist.txt"));
    QCOMPARE(rig.F().CmbModel->currentText(), QStringLiteral("Model x"));
    EngineProbe(rig.F().Engine).Upd().BaseUrl = http_.BaseUrl();
    EngineProbe(rig.F().Engine).Upd().UpdateUrl =
        http_.BaseUrl() + QStringLiteral("/ydr/zubloader/");
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({QStringLiteral("[Error] Image file name refused: ") + shown}));
    QCOMPARE(http_.Requests().size(), requests);
    QVERIFY(rig.Boxes.isEmpty());
    QCOMPARE(rig.F().Engine.ImageEndAddress(), 0);
    // Nothing written, loaded or deleted, inside the start folder or beside it, but the
    // production record's row for this Start.
    const QString recordName = QStringLiteral("downloads-") +
                               QDate::currentDate().toString(QStringLiteral("yyyy-MM")) +
                               QStringLiteral(".csv");
    QCOMPARE(QDir(outer.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList({QStringLiteral("start")}));
    QCOMPARE(
        QDir(start).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList({QStringLiteral("default.ini"), recordName, QStringLiteral("hexlist.txt")}));
    QCOMPARE(readAll(start + "/default.ini"), ini);
    QCOMPARE(readAll(start + "/hexlist.txt"), list);
    QVERIFY(!QFile::exists(QStringLiteral("/tmp/evil.hex")));
}

void TestModelImageRefusals::noModelChosen() {
    FormRig rig;
    const QString dead = QStringLiteral("http://127.0.0.1:%1").arg(DeadPort());
    EngineProbe(rig.F().Engine).Upd().BaseUrl = dead;
    EngineProbe(rig.F().Engine).Upd().UpdateUrl = dead + QStringLiteral("/ydr/zubloader/");
    // No list read yet: the placeholder rows have no image file behind them.
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({QStringLiteral("[Error] No image file for model row 1")}));

    // Typed text that is no row's text names no model, whatever row was picked before.
    QVERIFY(WriteFile(rig.Dir() + "/hexlist.txt", "Model sensor=sensor.hex\n"));
    rig.F().ReadImageList(QStringLiteral("hexlist.txt"));
    rig.F().CmbModel->setEditText(QStringLiteral("Model sens"));
    rig.F().Memo1->clear();
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({QStringLiteral("[Error] No model chosen")}));

    rig.F().CmbModel->setCurrentIndex(-1);
    rig.F().Memo1->clear();
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({QStringLiteral("[Error] No model chosen")}));
    QVERIFY(!QFile::exists(rig.Dir() + "/sensor.hex"));
    QVERIFY(rig.Boxes.isEmpty());
}

QTEST_MAIN(TestModelImageRefusals)
#include "tst_modelimage_refusals.moc"
