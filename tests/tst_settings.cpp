// default.ini as the operator meets it: the bytes on disk, what a file restores, and the files
// that must survive a close untouched.
#include "app/ZubBootLoadMain.h"
#include "settings/SettingsText.h"
#include "tst_fifo.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <unistd.h>

namespace {

const QByteArray kDefaultFile = "ZUB COM Watch Ver=1.0\r\n"
                                "CmbComPort=COM1\r\n"
                                "CmbProtocol=0\r\n"
                                "CmbBaudRate=11\r\n"
                                "EdFileName=default.bin\r\n"
                                "CmbModel=1\r\n"
                                "CbBlankSkip=flase\r\n"
                                "CbAutoReset=true\r\n"
                                "CbAutoDevSearch=flase\r\n"
                                "RbLocalFile=flase\r\n";

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// The nine controls as one comparable record.
struct Snapshot {
    QString port;
    int protocol, baud;
    QString file;
    int model;
    bool blankSkip, autoReset, autoDevSearch, local, web;
    bool operator==(const Snapshot& o) const {
        return port == o.port && protocol == o.protocol && baud == o.baud && file == o.file &&
               model == o.model && blankSkip == o.blankSkip && autoReset == o.autoReset &&
               autoDevSearch == o.autoDevSearch && local == o.local && web == o.web;
    }
};

Snapshot snap(const TForm1& f) {
    return {f.CmbComPort->currentText(),   f.CmbProtocol->currentIndex(),
            f.CmbBaudRate->currentIndex(), f.EdFileName->text(),
            f.CmbModel->currentIndex(),    f.CbBlankSkip->isChecked(),
            f.CbAutoReset->isChecked(),    f.CbAutoDevSearch->isChecked(),
            f.RbLocalFile->isChecked(),    f.RbWebFile->isChecked()};
}

const Snapshot kDefaults{QStringLiteral("COM1"),
                         0,
                         11,
                         QStringLiteral("default.bin"),
                         1,
                         false,
                         true,
                         false,
                         false,
                         true};

} // namespace

class TstSettings : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;
    QString oldCwd_;
    QStringList messages_;

    // A window created in the test folder, with its start-up timer held so nothing else runs.
    std::unique_ptr<TForm1> newForm() {
        auto form = std::make_unique<TForm1>();
        form->Timer1->stop();
        form->MessageBoxHook = [this](const QString& text) { messages_ << text; };
        return form;
    }
    QString ini() const { return tmp_.filePath(QStringLiteral("default.ini")); }

    // Loads the given bytes as default.ini into a fresh window.
    std::unique_ptr<TForm1> loaded(const QByteArray& bytes) {
        writeAll(ini(), bytes);
        auto form = newForm();
        form->LoadSettings(ini());
        return form;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        oldCwd_ = QDir::currentPath();
        QVERIFY(QDir::setCurrent(tmp_.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(oldCwd_); }
    void init() {
        messages_.clear();
        QFile::setPermissions(ini(), QFile::ReadOwner | QFile::WriteOwner);
        QFile::remove(ini());
    }

    void defaultFileBytes() {
        auto form = newForm();
        form->SaveSettings(ini());
        QCOMPARE(readAll(ini()), kDefaultFile);
        QCOMPARE(FormatSettings(SettingsValues{}), kDefaultFile);
    }

    void writeThenReadRestoresEveryControl() {
        auto a = newForm();
        a->CmbComPort->setEditText(
            QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0"));
        a->CmbProtocol->setCurrentIndex(2);
        a->CmbBaudRate->setCurrentIndex(14);
        a->EdFileName->setText(QStringLiteral("/home/op/펌웨어/board v2.hex"));
        a->CmbModel->setCurrentIndex(15);
        a->CbBlankSkip->setChecked(true);
        a->CbAutoReset->setChecked(false);
        a->CbAutoDevSearch->setChecked(true);
        a->RbLocalFile->setChecked(true);
        a->SaveSettings(ini());
        const Snapshot written = snap(*a);
        QVERIFY(readAll(ini()).contains("CbAutoReset=flase\r\nCbAutoDevSearch=true\r\n"));

        auto b = newForm();
        QVERIFY(snap(*b) == kDefaults);
        b->LoadSettings(ini());
        QVERIFY(snap(*b) == written);
        QVERIFY(messages_.isEmpty());

        // The default file turns every one of them back.
        writeAll(ini(), kDefaultFile);
        b->LoadSettings(ini());
        QVERIFY(snap(*b) == kDefaults);
    }

    void singleLineChangesOnlyItsControl() {
        auto form = loaded("CbAutoReset=flase");
        Snapshot expected = kDefaults;
        expected.autoReset = false;
        QVERIFY(snap(*form) == expected);
        QVERIFY(messages_.isEmpty());
    }

    void lineEndsAndLastLine() {
        // LF only, CR LF, and a last line without any line end all give full values.
        for (const QByteArray& eol : {QByteArray("\n"), QByteArray("\r\n")}) {
            QByteArray text = "ZUB COM Watch Ver=1.0" + eol + "CmbProtocol=2" + eol +
                              "CbBlankSkip=true" + eol + "EdFileName=last.hex";
            auto form = loaded(text);
            QCOMPARE(form->CmbProtocol->currentIndex(), 2);
            QVERIFY(form->CbBlankSkip->isChecked());
            QCOMPARE(form->EdFileName->text(), QStringLiteral("last.hex"));
        }
        // A file that ends in a lone CR (cut short after the CR of its CR LF).
        auto form = loaded("CbAutoReset=true\r\nRbLocalFile=true\r");
        QVERIFY(form->RbLocalFile->isChecked());
    }

    void pathsWithEqualsAndLongPaths() {
        const QString withEq = QStringLiteral("/srv/fw/rev=3/main=final.hex");
        const QString longPath = QStringLiteral("/data/") + QString(600, QLatin1Char('x')) +
                                 QStringLiteral("/image.hex");
        auto a = newForm();
        a->EdFileName->setText(withEq);
        a->SaveSettings(ini());
        auto b = newForm();
        b->LoadSettings(ini());
        QCOMPARE(b->EdFileName->text(), withEq);

        auto c = loaded("EdFileName=" + longPath.toUtf8() + "\r\nCbBlankSkip=true\r\n");
        QCOMPARE(c->EdFileName->text(), longPath);
        QVERIFY(c->CbBlankSkip->isChecked());
    }

    void keysAndValues() {
        // Later duplicates win; keys compare exactly; only "true" ticks.
        auto form = loaded("CmbProtocol=1\r\nCmbProtocol=2\r\n"
                           "cmbbaudrate=3\r\n CmbBaudRate=4\r\nCmbBaudRate =5\r\n"
                           "CbBlankSkip=TRUE\r\nCbAutoReset=false\r\nCbAutoDevSearch=true \r\n"
                           "RbLocalFile=true\r\nRbLocalFile=yes\r\n"
                           "ZUB COM Watch Ver=9.9\r\nno equals sign here\r\n=\r\n");
        QCOMPARE(form->CmbProtocol->currentIndex(), 2);
        QCOMPARE(form->CmbBaudRate->currentIndex(), 11);
        QVERIFY(!form->CbBlankSkip->isChecked());
        QVERIFY(!form->CbAutoReset->isChecked());
        QVERIFY(!form->CbAutoDevSearch->isChecked());
        QVERIFY(form->RbWebFile->isChecked());
        QVERIFY(!form->RbLocalFile->isChecked());
    }

    void indexValues() {
        // Outside the list (or -1 as written for no selection): no row selected.
        auto a = loaded("CmbProtocol=3\r\nCmbBaudRate=-1\r\nCmbModel=16\r\n");
        QCOMPARE(a->CmbProtocol->currentIndex(), -1);
        QCOMPARE(a->CmbBaudRate->currentIndex(), -1);
        QCOMPARE(a->CmbModel->currentIndex(), -1);
        auto b = loaded("CmbModel=15\r\nCmbBaudRate=+14\r\n");
        QCOMPARE(b->CmbModel->currentIndex(), 15);
        QCOMPARE(b->CmbBaudRate->currentIndex(), 14);
        // Not a decimal integer (or beyond 32 bits): the line is skipped, the control keeps
        // its state and the lines after it still apply.
        auto c = loaded("CmbProtocol=2\r\nCmbProtocol=1x\r\nCmbBaudRate=\r\n"
                        "CmbModel=99999999999\r\nCmbBaudRate=0x0C\r\nCmbBaudRate= 3\r\n"
                        "CbBlankSkip=true\r\n");
        QCOMPARE(c->CmbProtocol->currentIndex(), 2);
        QCOMPARE(c->CmbBaudRate->currentIndex(), 11);
        QCOMPARE(c->CmbModel->currentIndex(), 1);
        QVERIFY(c->CbBlankSkip->isChecked());
        QVERIFY(messages_.isEmpty());

        QCOMPARE(ParseSettingsIndex(QStringLiteral("2147483647")), std::optional<int>(2147483647));
        QCOMPARE(ParseSettingsIndex(QStringLiteral("-2147483648")),
                 std::optional<int>(-2147483647 - 1));
        QCOMPARE(ParseSettingsIndex(QStringLiteral("2147483648")), std::nullopt);
        QCOMPARE(ParseSettingsIndex(QStringLiteral("٣")), std::nullopt); // not ASCII digits
    }

    void portText() {
        auto a = loaded("CmbComPort=COM3\r\n");
        QCOMPARE(a->CmbComPort->currentIndex(), 2);
        QCOMPARE(a->CmbComPort->currentText(), QStringLiteral("COM3"));
        auto b = loaded("CmbComPort=/dev/ttyUSB0\r\n");
        QCOMPARE(b->CmbComPort->currentText(), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(b->CmbComPort->count(), 8); // shown as text, never added as a row
    }

    void garbageChangesNothingElse() {
        QByteArray junk;
        for (int i = 0; i < 256; ++i)
            junk += char(i);
        // Binary bytes, a huge line, a line of "=" only, empty lines, NUL bytes inside values.
        QByteArray text = junk + "\r\n" + QByteArray(200000, 'A') + "=" + QByteArray(5000, 'B') +
                          "\r\n" + QByteArray(100000, '=') + "\n\n\r\r\n";
        text += QByteArray("EdFileName=ab\0cd\r\n", 18);
        text += QByteArray("CbBlankSkip=true\0junk\r\n", 23);
        text += QByteArray("\xff\xfe\x00\x01=\x80\x81\r\n", 9);
        auto form = loaded(text);
        Snapshot expected = kDefaults;
        expected.file = QStringLiteral("ab"); // text stops at a NUL byte
        expected.blankSkip = true;
        QVERIFY(snap(*form) == expected);
        QVERIFY(messages_.isEmpty());
    }

    void missingFile() {
        auto form = newForm();
        QVERIFY(!form->SettingsLoaded);
        form->LoadSettings(tmp_.filePath(QStringLiteral("nothing-here.ini")));
        QCOMPARE(messages_, QStringList{QStringLiteral("[Warnning]Cannot Read a Initial File!!!")});
        QVERIFY(form->SettingsLoaded);
        QVERIFY(snap(*form) == kDefaults);
        // A folder of that name cannot be read as settings either.
        messages_.clear();
        QVERIFY(QDir(tmp_.path()).mkpath(QStringLiteral("dir.ini")));
        form->LoadSettings(tmp_.filePath(QStringLiteral("dir.ini")));
        QCOMPARE(messages_.size(), 1);
        // Nor a FIFO: opening it would wait for a writer and hold start-up for good.
        messages_.clear();
        {
            FifoWithWriter fifo(tmp_.filePath(QStringLiteral("fifo.ini")), "CbBlankSkip=true\r\n");
            QVERIFY(fifo.Ok());
            form->LoadSettings(tmp_.filePath(QStringLiteral("fifo.ini")));
            QVERIFY(!fifo.ReaderCame());
        }
        QCOMPARE(messages_.size(), 1);
        QVERIFY(snap(*form) == kDefaults);
    }

    void readOnlyFileIsLeftAlone() {
        const QByteArray old = "CbBlankSkip=true\r\n";
        writeAll(ini(), old);
        QVERIFY(
            QFile::setPermissions(ini(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        auto form = newForm();
        form->SaveSettings(ini());
        QCOMPARE(readAll(ini()), old);
        QVERIFY(messages_.isEmpty());
        QCOMPARE(WriteSettingsFile(ini(), kDefaultFile), SettingsError::ReadOnly);
    }

    void symlinkIsNeverWrittenThrough() {
        // In a shared folder a link may point at another user's file: it is refused and kept,
        // and neither its target nor a missing target's name is written.
        QDir(tmp_.path()).mkpath(QStringLiteral("real"));
        const QString target = tmp_.filePath(QStringLiteral("real/zub.ini"));
        writeAll(target, "old");
        QVERIFY(QFile::link(target, ini()));
        auto form = newForm();
        form->SaveSettings(ini());
        QVERIFY(QFileInfo(ini()).isSymLink());
        QCOMPARE(readAll(target), QByteArray("old"));
        QVERIFY(messages_.isEmpty());
        QFile::remove(target);
        QCOMPARE(WriteSettingsFile(ini(), kDefaultFile), SettingsError::CannotWrite);
        QVERIFY(!QFileInfo::exists(target));
        QFile::remove(ini());
    }

    void failedWriteIsSilent() {
        auto form = newForm();
        const QString nowhere = tmp_.filePath(QStringLiteral("no/such/dir/default.ini"));
        form->SaveSettings(nowhere);
        QVERIFY(!QFileInfo::exists(nowhere));
        QVERIFY(messages_.isEmpty());
        QCOMPARE(WriteSettingsFile(nowhere, kDefaultFile), SettingsError::CannotWrite);
        // A whole-file replace leaves no temporary files behind.
        form->SaveSettings(ini());
        QCOMPARE(QDir(tmp_.path())
                     .entryList({QStringLiteral("*default.ini*")}, QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("default.ini")});
    }

    void readOnlyFolderWritesInPlace() {
        if (geteuid() == 0)
            QSKIP("root writes into any folder");
        QTemporaryDir locked;
        const QString path = locked.filePath(QStringLiteral("default.ini"));
        writeAll(path, "old");
        QVERIFY(QFile::setPermissions(locked.path(), QFile::ReadOwner | QFile::ExeOwner));
        QCOMPARE(WriteSettingsFile(path, kDefaultFile), SettingsError::None);
        QFile::setPermissions(locked.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(readAll(path), kDefaultFile);
    }

    void closeWritesOnlyAfterLoad() {
        // Before the start-up sequence loaded the settings, closing keeps the operator's file.
        const QByteArray saved = "ZUB COM Watch Ver=1.0\r\nCmbComPort=COM4\r\nCbBlankSkip=true\r\n";
        writeAll(ini(), saved);
        {
            auto form = newForm();
            QCOMPARE(form->Engine.StartDirectory(), tmp_.path());
            form->close();
        }
        QCOMPARE(readAll(ini()), saved);
        QFile::remove(ini());
        {
            auto form = newForm();
            form->close();
        }
        QVERIFY(!QFileInfo::exists(ini()));

        // Once loaded (file found or not), close writes beside StartDir, even after the
        // working directory moved.
        auto form = newForm();
        form->LoadSettings(ini());
        QCOMPARE(messages_.size(), 1);
        QTemporaryDir elsewhere;
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        form->close();
        QVERIFY(QDir::setCurrent(tmp_.path()));
        QCOMPARE(readAll(ini()), kDefaultFile);
        QVERIFY(!QFileInfo::exists(elsewhere.filePath(QStringLiteral("default.ini"))));
    }
};

QTEST_MAIN(TstSettings)
#include "tst_settings.moc"
