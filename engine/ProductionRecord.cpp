#include "engine/ProductionRecord.h"

#include <QCryptographicHash>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ZubVersion.h"

namespace {

QString secondsText(const DownloadRecord& r) {
    const qint64 ms =
        r.Started.isValid() && r.Ended.isValid() ? r.Started.msecsTo(r.Ended) : qint64(0);
    return QString::number(static_cast<double>(ms < 0 ? 0 : ms) / 1000.0, 'f', 3);
}

QString writeSecondsText(const DownloadRecord& r) {
    if (!r.ReadyAt.isValid() || !r.Ended.isValid())
        return QString();
    const qint64 ms = r.ReadyAt.msecsTo(r.Ended);
    return QString::number(static_cast<double>(ms < 0 ? 0 : ms) / 1000.0, 'f', 3);
}

QString verifiedText(const DownloadRecord& r) {
    switch (r.Verified) {
    case DownloadRecord::Verification::Matched:
        return QStringLiteral("true");
    case DownloadRecord::Verification::Differed:
        return QStringLiteral("false");
    case DownloadRecord::Verification::NotAsked:
        break;
    }
    return QString();
}

// Closes the descriptor on every way out of the append.
struct Fd {
    int Value = -1;
    ~Fd() {
        if (Value >= 0)
            ::close(Value);
    }
};

} // namespace

using V = RecordValueType;
constexpr std::array<RecordColumn, kRecordColumnCount> kRecordColumns = {{
    {"started", V::Text, [](const DownloadRecord& r) { return RecordTimeText(r.Started); }},
    {"ended", V::Text, [](const DownloadRecord& r) { return RecordTimeText(r.Ended); }},
    {"station", V::Text, [](const DownloadRecord& r) { return r.Station; }},
    {"program", V::Text, [](const DownloadRecord& r) { return r.Program; }},
    {"port", V::Text, [](const DownloadRecord& r) { return r.Port; }},
    {"device", V::Text, [](const DownloadRecord& r) { return r.Device; }},
    {"source", V::Text, [](const DownloadRecord& r) { return r.Source; }},
    {"model", V::Text, [](const DownloadRecord& r) { return r.Model; }},
    {"image", V::Text, [](const DownloadRecord& r) { return r.Image; }},
    {"image_bytes", V::Amount,
     [](const DownloadRecord& r) { return QString::number(std::max<int64_t>(r.ImageBytes, 0)); }},
    {"image_sha256", V::Text, [](const DownloadRecord& r) { return r.ImageSha256; }},
    {"protocol", V::Text, [](const DownloadRecord& r) { return r.Protocol; }},
    {"baud", V::Amount,
     [](const DownloadRecord& r) { return QString::number(std::max<int32_t>(r.Baud, 0)); }},
    {"chip", V::Text, [](const DownloadRecord& r) { return r.Chip; }},
    {"pages_sent", V::Count, [](const DownloadRecord& r) { return QString::number(r.PagesSent); }},
    {"pages_skipped", V::Count,
     [](const DownloadRecord& r) { return QString::number(r.PagesSkipped); }},
    {"resends", V::Count, [](const DownloadRecord& r) { return QString::number(r.Resends); }},
    {"seconds", V::Seconds, secondsText},
    {"result", V::Text, [](const DownloadRecord& r) { return RecordResultText(r.Result); }},
    {"detail", V::Text, RecordDetailText},
    {"id", V::Text, [](const DownloadRecord& r) { return r.Id; }},
    {"serial", V::Text, [](const DownloadRecord& r) { return r.Serial; }},
    {"order", V::Text, [](const DownloadRecord& r) { return r.Order; }},
    {"list_sha256", V::Text, [](const DownloadRecord& r) { return r.ListSha256; }},
    {"write_seconds", V::Seconds, writeSecondsText},
    {"verified", V::Flag, verifiedText},
}};

QString RecordProgramText() {
    return QStringLiteral("ZubLoader ") + QStringLiteral(ZUB_VERSION);
}

QString RecordFilePath(const QString& dir, const QDateTime& when) {
    const QDateTime local = when.toLocalTime();
    return dir + QStringLiteral("/downloads-") + local.toString(QStringLiteral("yyyy-MM")) +
           QStringLiteral(".csv");
}

QString CsvField(const QString& input) {
    // A spreadsheet runs a cell that begins like a formula; the apostrophe makes it text and is
    // not shown. Model and image names come from the server's list, so this is not hypothetical.
    static constexpr char16_t kFormulaStarts[] = u"=+-@\t\r";
    QString text = input;
    if (!text.isEmpty() && QStringView(kFormulaStarts).contains(text.front()))
        text.prepend(QLatin1Char('\''));
    if (!text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char(',')) &&
        !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QByteArray RecordHeaderRow() {
    QByteArray row;
    for (const RecordColumn& column : kRecordColumns) {
        if (!row.isEmpty())
            row += ',';
        row += column.Name;
    }
    return row + "\r\n";
}

QString RecordTimeText(const QDateTime& when) {
    if (!when.isValid())
        return QString();
    const QDateTime local = when.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           QLatin1Char(offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString FailureKindText(FailureKind kind) {
    switch (kind) {
    case FailureKind::Image:
        return QStringLiteral("image");
    case FailureKind::Network:
        return QStringLiteral("network");
    case FailureKind::Port:
        return QStringLiteral("port");
    case FailureKind::Board:
        return QStringLiteral("board");
    case FailureKind::Interrupted:
        return QStringLiteral("interrupted");
    case FailureKind::None:
        break;
    }
    return QString();
}

QString RecordDetailText(const DownloadRecord& record) {
    // A failure line that is its own reason ("[Error] <reason>") is not repeated.
    if (record.Reason.isEmpty() || record.Detail.isEmpty() ||
        record.Detail == QStringLiteral("[Error] ") + record.Reason)
        return record.Detail;
    return record.Detail + QStringLiteral(": ") + record.Reason;
}

QString RecordResultText(RecordResult result) {
    switch (result) {
    case RecordResult::Ok:
        return QStringLiteral("ok");
    case RecordResult::Failed:
        return QStringLiteral("failed");
    case RecordResult::Stopped:
        break;
    }
    return QStringLiteral("stopped");
}

QByteArray RecordRow(const DownloadRecord& r) {
    QStringList quoted;
    for (const RecordColumn& column : kRecordColumns) {
        const QString value = column.Value(r);
        // An amount of 0 means nothing was loaded: the cell stays empty.
        const bool none = column.Type == RecordValueType::Amount && value == QLatin1String("0");
        quoted << CsvField(none ? QString() : value);
    }
    return quoted.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

QString ImageSha256(const uint8_t* image, int64_t size) {
    if (image == nullptr || size <= 0)
        return QString();
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(image), static_cast<qsizetype>(size)),
        QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toHex());
}

RecordWrite AppendRecordRow(const QString& path, const QByteArray& row) {
    const QByteArray name = QFile::encodeName(path);
    Fd fd;
    // Non-blocking open: a FIFO in the file's place must not hang the caller. No link is
    // followed: in a shared folder another user could point one at a file of the operator's.
    // Created as every other file is (0666 less the umask), so a shared station's group can add
    // its rows.
    fd.Value = ::open(
        name.constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY, 0666);
    if (fd.Value < 0) {
        const int error = errno;
        struct stat link {};
        if (error == ELOOP && ::lstat(name.constData(), &link) == 0 && S_ISLNK(link.st_mode))
            return {RecordError::Link, 0};
        return {RecordError::Open, error};
    }
    struct stat st {};
    if (::fstat(fd.Value, &st) != 0)
        return {RecordError::Open, errno};
    if (!S_ISREG(st.st_mode))
        return {RecordError::NotAFile, 0};
    // The window and the command-line loader may share the start directory: the lock makes the
    // "is it empty" test and the write one step, so exactly one header is written.
    int locked;
    do {
        locked = ::flock(fd.Value, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0)
        return {RecordError::Lock, errno};
    if (::fstat(fd.Value, &st) != 0)
        return {RecordError::Open, errno};
    QByteArray text;
    if (st.st_size == 0)
        text = QByteArray("\xEF\xBB\xBF") + RecordHeaderRow();
    text += row;
    ssize_t written;
    do {
        written = ::write(fd.Value, text.constData(), static_cast<size_t>(text.size()));
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(text.size())) {
        const int error = written < 0 ? errno : ENOSPC;
        // A torn row would shift every later row: take it back (still under the lock).
        if (written > 0 && ::ftruncate(fd.Value, st.st_size) != 0) {
            // Nothing more can be done; the reason below stands.
        }
        return {RecordError::Write, error};
    }
    if (::fsync(fd.Value) != 0)
        return {RecordError::Sync, errno};
    return {};
}

QString RecordErrorText(const RecordWrite& write, const QString& path) {
    const QString system = qt_error_string(write.SystemError);
    switch (write.Error) {
    case RecordError::None:
        return QString();
    case RecordError::Open:
        return QStringLiteral("cannot open %1 (%2)").arg(path, system);
    case RecordError::NotAFile:
        return QStringLiteral("%1 is not a regular file").arg(path);
    case RecordError::Link:
        return QStringLiteral("%1 is a symbolic link, which is never written through").arg(path);
    case RecordError::Lock:
        return QStringLiteral("cannot lock %1 (%2)").arg(path, system);
    case RecordError::Write:
        return QStringLiteral("cannot write %1 (%2)").arg(path, system);
    case RecordError::Sync:
        return QStringLiteral("cannot flush %1 to disk (%2)").arg(path, system);
    }
    return QString();
}
