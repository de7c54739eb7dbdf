// What a script starting the program sees: exit code 0 after a normal close, and after an
// exception the standard error box with its message, then exit code 1.
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
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

    // The window started where there is no desktop session (a console, ssh, a jig's service):
    // one line that says so and names what works instead, and exit status 1, not Qt's abort.
    void withoutDisplay() {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QDir::tempPath());
        p.start(QStringLiteral(ZUB_LOADER), {});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 1);
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^zubloader: the window needs a desktop session \\(.+\\); "
                                    "zubload and zubloader-demo work without one\n$"))
                     .match(err)
                     .hasMatch(),
                 qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(TstAppExit)
#include "tst_app_exit.moc"
