// Serial receive through the real window: RxBuf filling, overflow, leftovers and flushing,
// with the board end of a pseudo-terminal writing the bytes.
#include "app/ZubBootLoadMain.h"
#include "tst_comm_pty.h"
#include "tst_engine_probe.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

QByteArray pattern(int n, int seed) {
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<char>((i * 7 + seed) & 0xff);
    return b;
}

} // namespace

class TstReceive : public QObject {
    Q_OBJECT
    std::unique_ptr<TForm1> form;
    std::unique_ptr<PtyPair> pty;
    QStringList boxes;

    QStringList logLines() const {
        const QString text = form->Memo1->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    QByteArray rx() const {
        return QByteArray(reinterpret_cast<const char*>(EngineProbe(form->Engine).RxBuf().data()),
                          EngineProbe(form->Engine).RxCount());
    }
    // Lets the board's bytes reach the kernel queue in one piece before any event runs.
    void sendWhole(const QByteArray& bytes) {
        QVERIFY(pty->send(bytes));
        ::usleep(30000);
    }

private Q_SLOTS:
    void init() {
        form = std::make_unique<TForm1>();
        form->Timer1->stop();
        form->MessageBoxHook = [this](const QString& t) { boxes << t; };
        form->Memo1->clear();
        pty = std::make_unique<PtyPair>();
        QVERIFY(pty->ok());
        EngineProbe(form->Engine).Comm1().SetDeviceName(pty->path.toLocal8Bit());
        QVERIFY(EngineProbe(form->Engine).OpenPort());
    }
    void cleanup() {
        form.reset();
        pty.reset();
        QVERIFY(boxes.isEmpty());
    }

    void eventWithNothingQueuedChangesNothing() {
        EngineProbe(form->Engine).RxBuf()[0] = 0x55;
        EngineProbe(form->Engine).RxCount() = 3;
        form->Engine.Comm1RxChar(5);
        QCOMPARE(EngineProbe(form->Engine).RxCount(), 3);
        QCOMPARE(EngineProbe(form->Engine).RxBuf()[0], uint8_t(0x55));
    }

    void severalEventsBackToBack() {
        sendWhole("\x10\x20\x30");
        QTRY_COMPARE(EngineProbe(form->Engine).RxCount(), 3);
        sendWhole("\x40\x50");
        QTRY_COMPARE(EngineProbe(form->Engine).RxCount(), 5);
        QCOMPARE(rx(), QByteArray("\x10\x20\x30\x40\x50"));
        QVERIFY(logLines().isEmpty());
    }

    void overflowAt255() {
        const QByteArray first = pattern(254, 1);
        sendWhole(first);
        QTRY_COMPARE(EngineProbe(form->Engine).RxCount(), 254);
        QTest::qWait(30);
        QCOMPARE(rx(), first);
        QVERIFY(logLines().isEmpty());
        sendWhole("!");
        QTRY_COMPARE(logLines(), QStringList{"Overflow : 255"});
        QCOMPARE(EngineProbe(form->Engine).RxCount(), 0);
        // Reception goes on from index 0.
        sendWhole(">");
        QTRY_COMPARE(EngineProbe(form->Engine).RxCount(), 1);
        QCOMPARE(rx(), QByteArray(">"));
    }

    void singleLargeEvent() {
        sendWhole(pattern(300, 2));
        QTRY_COMPARE(logLines(), QStringList{"Overflow : 300"});
        QCOMPARE(EngineProbe(form->Engine).RxCount(), 0);
    }

    void eventLargerThanTheFreeSpace() {
        const QByteArray head = pattern(200, 3);
        sendWhole(head);
        QTRY_COMPARE(EngineProbe(form->Engine).RxCount(), 200);
        // 400 more: only the 312 that fit are read; the other 88 stay queued and arrive with a
        // later event although the board sends nothing more.
        const QByteArray tail = pattern(400, 4);
        sendWhole(tail);
        QTRY_COMPARE(EngineProbe(form->Engine).RxCount(), 88);
        QCOMPARE(logLines(), QStringList{"Overflow : 512"});
        QCOMPARE(rx(), tail.right(88));
        QCOMPARE(EngineProbe(form->Engine).Comm1().InQueCount(), 0);
    }

    void flushWithMoreThan512Pending() {
        EngineProbe(form->Engine).RxCount() = 7;
        EngineProbe(form->Engine).FlushInput(); // nothing pending
        QCOMPARE(EngineProbe(form->Engine).RxCount(), 0);
        sendWhole(pattern(2000, 5));
        EngineProbe(form->Engine).FlushInput();
        QCOMPARE(EngineProbe(form->Engine).RxCount(), 0);
        QCOMPARE(EngineProbe(form->Engine).Comm1().InQueCount(), 0);
        // Nothing of the dropped bytes turns up later.
        QTest::qWait(100);
        QCOMPARE(EngineProbe(form->Engine).RxCount(), 0);
        QVERIFY(logLines().isEmpty());
        sendWhole("@");
        QTRY_COMPARE(EngineProbe(form->Engine).RxCount(), 1);
        QCOMPARE(rx(), QByteArray("@"));
    }

    void flushWhileEventsArePending() {
        // Bytes already fetched by the event loop and bytes still in the kernel both go.
        sendWhole(pattern(100, 6));
        QTRY_COMPARE(EngineProbe(form->Engine).RxCount(), 100);
        sendWhole(pattern(700, 7));
        EngineProbe(form->Engine).FlushInput();
        QCOMPARE(EngineProbe(form->Engine).RxCount(), 0);
        QTest::qWait(100);
        QCOMPARE(EngineProbe(form->Engine).RxCount(), 0);
        QVERIFY(logLines().isEmpty());
    }
};

QTEST_MAIN(TstReceive)
#include "tst_receive.moc"
