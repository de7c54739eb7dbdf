// Replays a committed fuzzing corpus through a fuzz target's entry point in the normal build, so
// every input that once found a fault, and every seed, is checked on each test run.
#include <QDir>
#include <QFile>
#include <QtTest>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

class TstHexCorpus : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void replay_data();
    void replay();
};

void TstHexCorpus::replay_data() {
    QTest::addColumn<QString>("path");
    const QDir dir(QStringLiteral(ZUB_CORPUS_DIR));
    const QStringList names = dir.entryList(QDir::Files, QDir::Name);
    QVERIFY2(!names.isEmpty(), ZUB_CORPUS_DIR);
    for (const QString& name : names)
        QTest::newRow(name.toUtf8().constData()) << dir.filePath(name);
}

void TstHexCorpus::replay() {
    QFETCH(QString, path);
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    // The target aborts on any broken promise; reaching the next line is the pass.
    QCOMPARE(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                    static_cast<size_t>(bytes.size())),
             0);
}

QTEST_APPLESS_MAIN(TstHexCorpus)
#include "tst_hex_corpus.moc"
