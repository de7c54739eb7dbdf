// The serial component against real pseudo-terminals: naming, rates, writing, reading, closing,
// and a device that stops reading or disappears.
#include "link/PortFaults.h"
#include "link/PortInfo.h"
#include "link/PortNames.h"
#include "link/TComm.h"
#include "tst_comm_pty.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

class TstComm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { TComm::SetDeviceListProvider({}); }

    void deviceNamesSortNumerically() {
        const QStringList sorted =
            SortDeviceNames({"/dev/ttyUSB0", "/dev/ttyS10", "/dev/ttyACM1", "/dev/ttyS2",
                             "/dev/ttyUSB10", "/dev/ttyUSB2", "/dev/ttyS0", "/dev/ttyACM0"});
        QCOMPARE(sorted,
                 QStringList({"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyS0", "/dev/ttyS2",
                              "/dev/ttyS10", "/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB10"}));
        // Duplicates collapse; leading zeros compare by value and order stays total.
        QCOMPARE(SortDeviceNames({"/dev/x02", "/dev/x1", "/dev/x2", "/dev/x1"}),
                 QStringList({"/dev/x1", "/dev/x2", "/dev/x02"}));
    }

    void comNamesPickTheNthDevice() {
        TComm::SetDeviceListProvider([] {
            return QStringList{"/dev/ttyUSB0", "/dev/ttyS10", "/dev/ttyS2"};
        });
        TComm comm;
        comm.SetDeviceName("com3");
        QCOMPARE(comm.ResolvedDevicePath(), QStringLiteral("/dev/ttyUSB0"));
        comm.SetDeviceName("COM1");
        QCOMPARE(comm.ResolvedDevicePath(), QStringLiteral("/dev/ttyS2"));
        comm.SetDeviceName("Com2");
        QCOMPARE(comm.ResolvedDevicePath(), QStringLiteral("/dev/ttyS10"));
        // Past the end of the list: no device, so an open fails.
        comm.SetDeviceName("Com4");
        QCOMPARE(comm.ResolvedDevicePath(), QString());
        comm.Open();
        QVERIFY(!comm.Enabled());
        // Other names are device names or paths.
        comm.SetDeviceName("ttyUSB7");
        QCOMPARE(comm.ResolvedDevicePath(), QStringLiteral("/dev/ttyUSB7"));
        comm.SetDeviceName("/dev/serial/by-id/usb-FTDI_A1-if00-port0");
        QCOMPARE(comm.ResolvedDevicePath(),
                 QStringLiteral("/dev/serial/by-id/usb-FTDI_A1-if00-port0"));
        comm.SetDeviceName("Com9");
        QCOMPARE(comm.ResolvedDevicePath(), QStringLiteral("/dev/Com9"));
        comm.SetDeviceName("Com0");
        QCOMPARE(comm.ResolvedDevicePath(), QStringLiteral("/dev/Com0"));
    }

    void comNameOpensThatPty() {
        PtyPair a, b, c;
        QVERIFY(a.ok() && b.ok() && c.ok());
        const QStringList paths = SortDeviceNames({a.path, b.path, c.path});
        TComm::SetDeviceListProvider([&] { return QStringList{c.path, a.path, b.path}; });
        TComm comm;
        comm.SetDeviceName("cOm3");
        comm.Open();
        QVERIFY(comm.Enabled());
        QCOMPARE(comm.Write("ZUB", 3), 3);
        PtyPair* third = paths[2] == a.path ? &a : paths[2] == b.path ? &b : &c;
        QCOMPARE(third->receive(), QByteArray("ZUB"));
        comm.Close();
        QVERIFY(!comm.Enabled());
    }

    // A port another program has just closed can still carry its lock file for a moment after
    // the device itself is free; a held lock still fails.
    void lockReleasedAMomentLaterIsWaitedOut() {
        PtyPair a;
        QVERIFY(a.ok());
        const QString lockPath =
            QStringLiteral("/var/lock/LCK..") +
            a.path.mid(int(qstrlen("/dev/"))).replace(QLatin1Char('/'), QLatin1Char('_'));
        if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
            QSKIP("no writable /var/lock here");
        QLockFile lock(lockPath);
        QVERIFY(lock.tryLock(0));
        std::thread releaser([&lock] {
            std::this_thread::sleep_for(std::chrono::milliseconds(80));
            lock.unlock();
        });
        TComm comm;
        comm.SetDeviceName(a.path.toLocal8Bit());
        comm.Open();
        releaser.join();
        QVERIFY(comm.Enabled());
        comm.Close();

        QVERIFY(lock.tryLock(0));
        QElapsedTimer clock;
        clock.start();
        comm.Open();
        QVERIFY(!comm.Enabled());
        QVERIFY2(clock.elapsed() < 2000, "a held lock must fail soon");
        lock.unlock();
    }

    // What the system tells of a port another program holds, and the one refusal a root test
    // cannot provoke: a user outside the device's group.
    void portFaultFacts() {
        QCOMPARE(LockFileName("/dev/ttyUSB0"), QStringLiteral("LCK..ttyUSB0"));
        QCOMPARE(LockFileName("/dev/pts/3"), QStringLiteral("LCK..pts_3"));
        QCOMPARE(LockFilePid("      4242\n"), qint64(4242));             // UUCP, minicom, lockdev
        QCOMPARE(LockFilePid("4242\nzubloader\nbench\n"), qint64(4242)); // Qt
        QCOMPARE(LockFilePid(QByteArray("\x92\x10\x00\x00", 4)),
                 qint64(4242)); // binary, old Kermit
        QCOMPARE(LockFilePid(""), qint64(0));
        QCOMPARE(LockFilePid("-1\n"), qint64(0));
        QCOMPARE(LockFilePid("garbage\n"), qint64(0));
        QVERIFY(!LockFileHasOwnerName("      4242\n"));
        QVERIFY(LockFileHasOwnerName("4242\nzubloader\nbench\n"));
        QCOMPARE(ProcessNameFromComm("minicom\n"), QStringLiteral("minicom"));

        PortFaultFacts f;
        f.Fault = PortFault::Denied;
        f.Port = QStringLiteral("/dev/serial/by-id/usb-FTDI_A1-if00-port0");
        f.Path = QStringLiteral("/dev/ttyUSB0");
        f.Group = QStringLiteral("dialout");
        QCOMPARE(PortFaultText(f),
                 QStringLiteral("Permission denied: /dev/ttyUSB0; the user is not in the "
                                "\"dialout\" group: run sudo usermod -aG dialout $USER, then log "
                                "in again"));
        f.GroupPending = true;
        QCOMPARE(PortFaultText(f), QStringLiteral("Permission denied: /dev/ttyUSB0; this "
                                                  "login predates the user's \"dialout\" group: "
                                                  "log out and in again"));
        // A device of the root group: no group to join, and no "dialout" that would not help.
        f.Group = QStringLiteral("root");
        f.GroupPending = false;
        QCOMPARE(PortFaultText(f), QStringLiteral("Permission denied: /dev/ttyUSB0; it "
                                                  "belongs to the group \"root\", which is no "
                                                  "group to join: give the device a group such "
                                                  "as \"dialout\" (a udev rule), or ask the "
                                                  "administrator"));
        QCOMPARE(PortAccessHintText(QStringLiteral("uucp"), false),
                 QStringList({QStringLiteral("The serial ports belong to the group \"uucp\", and "
                                             "this user is not in it."),
                              QStringLiteral("Run: sudo usermod -aG uucp $USER"),
                              QStringLiteral("then log out and in again to use them.")}));
        f = {};
        f.Fault = PortFault::Held;
        f.Path = QStringLiteral("/dev/ttyACM0");
        f.Holder = QStringLiteral("ModemManager");
        f.HolderPid = 812;
        QCOMPARE(PortFaultText(f),
                 QStringLiteral("/dev/ttyACM0 is in use by ModemManager (pid 812); it "
                                "probes new adapters for a few seconds: wait and start again, or "
                                "run: sudo systemctl disable --now ModemManager"));
    }

    // A jig names its adapter by a /dev/serial/by-id link: the description is of the device
    // behind it, with the Com number the window gives that device.
    void describeFollowsLinks() {
        PtyPair a, b;
        QVERIFY(a.ok() && b.ok());
        TComm::SetDeviceListProvider([&] { return QStringList{a.path, b.path}; });
        QTemporaryDir dir;
        const QString link = dir.path() + QStringLiteral("/usb-FTDI_FT232R_A50285BI-if00-port0");
        QVERIFY(QFile::link(b.path, link));
        const SerialDeviceInfo info = DescribeDevice(link);
        QCOMPARE(info.Path, b.path);
        QCOMPARE(info.ComNumber, SortDeviceNames({a.path, b.path}).indexOf(b.path) + 1);
        QVERIFY(!info.HasUsbIds); // a pty has no USB identity
        QCOMPARE(DeviceColumnText(info), b.path);
        QCOMPARE(DescribeDevice(QStringLiteral("Com3")).Path, QString());
    }

    void missingDeviceStaysClosed() {
        TComm comm;
        comm.SetDeviceName("/nonexistent/zub-tty");
        comm.Open();
        QVERIFY(!comm.Enabled());
        QCOMPARE(comm.Write("x", 1), 0);
        QCOMPARE(comm.InQueCount(), 0);
        char buf[4];
        QCOMPARE(comm.Read(buf, 4), 0);
        comm.Close(); // closing a closed port is harmless
        QVERIFY(!comm.Enabled());
    }

    void rateCodes() {
        PtyPair pty;
        QVERIFY(pty.ok());
        TComm comm;
        QCOMPARE(comm.BaudRateCode(), 11);
        comm.SetDeviceName(pty.path.toLocal8Bit());
        comm.Open();
        QVERIFY(comm.Enabled());
        QCOMPARE(comm.KernelBaudRate(), 57600);
        // Codes outside 0-14 change nothing, neither the code nor the open line.
        for (int bad : {-1, 15, 99}) {
            comm.SetBaudRate(bad);
            QCOMPARE(comm.BaudRateCode(), 11);
            QCOMPARE(comm.KernelBaudRate(), 57600);
        }
        // Assigned while open, the rate applies to the open line; odd rates are exact.
        const int expected[15] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                  19200, 38400, 56000, 57600, 115200, 128000, 256000};
        for (int code = 0; code < 15; ++code) {
            comm.SetBaudRate(code);
            QCOMPARE(comm.BaudRateCode(), code);
            QCOMPARE(comm.KernelBaudRate(), expected[code]);
        }
        // Set while closed, it takes effect at the next open.
        comm.Close();
        QCOMPARE(comm.KernelBaudRate(), 0);
        comm.SetBaudRate(6);
        comm.Open();
        QCOMPARE(comm.KernelBaudRate(), 9600);
    }

    void inQueCountSeesKernelBytes() {
        PtyPair pty;
        QVERIFY(pty.ok());
        TComm comm;
        comm.SetDeviceName(pty.path.toLocal8Bit());
        comm.Open();
        QVERIFY(comm.Enabled());
        QCOMPARE(comm.InQueCount(), 0);
        QVERIFY(pty.send("\x01\x02\xff>!"));
        ::usleep(20000);
        // No event loop has run: the bytes are still in the kernel, and they count.
        QCOMPARE(comm.InQueCount(), 5);
        char buf[8] = {};
        QCOMPARE(comm.Read(buf, 2), 2);
        QCOMPARE(QByteArray(buf, 2), QByteArray("\x01\x02", 2));
        QCOMPARE(comm.InQueCount(), 3);
        QCOMPARE(comm.Read(buf, 8), 3);
        QCOMPARE(QByteArray(buf, 3), QByteArray("\xff>!"));
        QCOMPARE(comm.InQueCount(), 0);
    }

    void eventCarriesTheCountAndLeftoversComeAgain() {
        PtyPair pty;
        QVERIFY(pty.ok());
        TComm comm;
        comm.SetDeviceName(pty.path.toLocal8Bit());
        comm.Open();
        QSignalSpy spy(&comm, &TComm::RxChar);
        QVERIFY(pty.send("abcdef"));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), 6);
        // A reader that takes only part gets another event for the rest, with no new byte.
        char buf[8];
        QCOMPARE(comm.Read(buf, 2), 2);
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(spy.at(1).at(0).toInt(), 4);
        QCOMPARE(comm.Read(buf, 8), 4);
        QCOMPARE(QByteArray(buf, 4), QByteArray("cdef"));
        QTest::qWait(50);
        QCOMPARE(spy.count(), 2);
    }

    void writeThenCloseDeliversEverything() {
        PtyPair pty;
        QVERIFY(pty.ok());
        QByteArray data(65536, '\0');
        for (auto& ch : data)
            ch = static_cast<char>(QRandomGenerator::global()->generate());
        QByteArray got;
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            QElapsedTimer clock;
            clock.start();
            while (got.size() < data.size() && !stop && clock.elapsed() < 20000)
                got += pty.receive(50, 50);
        });
        TComm comm;
        comm.SetBaudRate(12);
        comm.SetDeviceName(pty.path.toLocal8Bit());
        comm.Open();
        QVERIFY(comm.Enabled());
        QCOMPARE(comm.Write(data.constData(), data.size()), 65536);
        comm.Close();
        QVERIFY(!comm.Enabled());
        reader.join();
        QCOMPARE(got.size(), data.size());
        QVERIFY(got == data);
    }

    void stalledPeerDoesNotFreezeWrite() {
        PtyPair pty;
        QVERIFY(pty.ok());
        TComm comm;
        comm.SetBaudRate(14);
        comm.SetDeviceName(pty.path.toLocal8Bit());
        comm.Open();
        QVERIFY(comm.Enabled());
        // The board end never reads: sooner or later the kernel takes no more.
        const QByteArray block(65536, 'U');
        bool shortWrite = false;
        for (int i = 0; i < 8 && !shortWrite; ++i) {
            QElapsedTimer clock;
            clock.start();
            const int n = comm.Write(block.constData(), block.size());
            // 64 KiB at 256000 bit/s is 2.6 s on the wire; the deadline allows twice that + 1 s.
            QVERIFY2(clock.elapsed() < 9000, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(n >= 0 && n <= block.size());
            shortWrite = n < block.size();
        }
        QVERIFY(shortWrite);
        QVERIFY(comm.Enabled());
        QElapsedTimer clock;
        clock.start();
        comm.Close();
        QVERIFY(clock.elapsed() < 9000);
        QVERIFY(!comm.Enabled());
    }

    void vanishingPeerClosesThePort() {
        auto pty = std::make_unique<PtyPair>();
        QVERIFY(pty->ok());
        TComm comm;
        comm.SetDeviceName(pty->path.toLocal8Bit());
        comm.Open();
        QVERIFY(comm.Enabled());
        pty->closeMaster();
        QTRY_VERIFY_WITH_TIMEOUT(!comm.Enabled(), 3000);
        QCOMPARE(comm.Write("x", 1), 0);
        QCOMPARE(comm.InQueCount(), 0);
        comm.Close();
        QVERIFY(!comm.Enabled());
    }

    void peerVanishingDuringAStalledWrite() {
        PtyPair pty;
        QVERIFY(pty.ok());
        TComm comm;
        comm.SetBaudRate(14);
        comm.SetDeviceName(pty.path.toLocal8Bit());
        comm.Open();
        QVERIFY(comm.Enabled());
        // Fill the line until the kernel takes no more, then pull the plug mid-write.
        const QByteArray block(65536, 'U');
        std::thread unplug([&] {
            ::usleep(1500000);
            pty.closeMaster();
        });
        QElapsedTimer clock;
        clock.start();
        int n = block.size();
        while (n == block.size() && comm.Enabled() && clock.elapsed() < 30000)
            n = comm.Write(block.constData(), block.size());
        unplug.join();
        QTRY_VERIFY_WITH_TIMEOUT(!comm.Enabled(), 3000);
        QVERIFY(clock.elapsed() < 12000);
        comm.Close();
    }
};

QTEST_GUILESS_MAIN(TstComm)
#include "tst_comm.moc"
