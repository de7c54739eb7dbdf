// What a script starting the program sees: exit code 0 after a normal close, and after an
// exception the standard error box with its message, then exit code 1.
#include <QProcess>
#include <QtTest>

class TstAppExit : public QObject {
    Q_OBJECT

    struct Result {
        int code;
        QString out;
        QProcess::ExitStatus status;
    };
    Result run(const QString& mode) {
        QProcess p;
        p.start(QStringLiteral(ZUB_EXIT_HELPER), {mode});
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
        }
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), p.exitStatus()};
    }

private Q_SLOTS:
    void exitCodes_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out");
        QTest::newRow("normal close") << "normal" << 0 << "";
        QTest::newRow("exception in a handler") << "std" << 1 << "BOX:Access violation in 시작\n";
        QTest::newRow("thrown non-exception") << "other" << 1 << "BOX:\n";
        QTest::newRow("exception at start-up") << "startup" << 1 << "BOX:start-up failed\n";
        QTest::newRow("non-exception at start-up") << "startup-other" << 1 << "BOX:\n";
        QTest::newRow("standard error box")
            << "realbox" << 1 << "TITLE:ZubLoad\nICON:3\nTEXT:Access violation in 시작\n";
    }
    void exitCodes() {
        QFETCH(QString, mode);
        QFETCH(int, code);
        QFETCH(QString, out);
        const Result r = run(mode);
        QCOMPARE(r.status, QProcess::NormalExit);
        QCOMPARE(r.out, out);
        QCOMPARE(r.code, code);
    }
};

QTEST_GUILESS_MAIN(TstAppExit)
#include "tst_app_exit.moc"
