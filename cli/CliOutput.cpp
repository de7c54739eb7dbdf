#include "cli/CliOutput.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

constexpr qint64 kJsonProgressMs = 100;

QByteArray jsonLine(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QString clockText(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString stampText(const QDateTime& time) {
    return time.isValid() ? time.toString(Qt::ISODateWithMs) : QString();
}

QJsonValue textOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString hex4(uint16_t value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

QString ResultWord(RecordResult result) {
    switch (result) {
    case RecordResult::Ok:
        return QStringLiteral("ok");
    case RecordResult::Failed:
        return QStringLiteral("failed");
    case RecordResult::Stopped:
        return QStringLiteral("stopped");
    }
    return QString();
}

CliOutput::CliOutput(bool json, bool quiet, bool progressTerminal)
    : json_(json), quiet_(quiet), terminal_(progressTerminal && !json && !quiet) {}

void CliOutput::writeOut(const QByteArray& bytes) {
    // Each line leaves at once: a sequencer reads the log while the board is written.
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

void CliOutput::writeErr(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

void CliOutput::ClearProgress() {
    if (progressText_.isEmpty())
        return;
    writeErr(QByteArrayLiteral("\r\x1b[K"));
    progressText_.clear();
}

void CliOutput::drawProgress() {
    if (!progressText_.isEmpty())
        writeErr("\r" + progressText_ + "\x1b[K");
}

void CliOutput::Log(const QString& line) {
    if (quiet_)
        return;
    if (json_) {
        writeOut(jsonLine(
            {{QStringLiteral("event"), QStringLiteral("log")}, {QStringLiteral("text"), line}}));
        return;
    }
    // The progress line steps aside for the log line and comes back under it.
    const QByteArray progress = progressText_;
    ClearProgress();
    writeOut(line.toUtf8() + '\n');
    progressText_ = progress;
    drawProgress();
}

void CliOutput::Message(const QString& text) {
    const QByteArray progress = progressText_;
    ClearProgress();
    writeErr(text.toUtf8() + '\n');
    progressText_ = progress;
    drawProgress();
}

void CliOutput::Note(const QString& text) {
    ClearProgress();
    writeErr(text.toUtf8() + '\n');
}

void CliOutput::Failure(const QString& line) {
    if (quiet_ && !json_)
        writeOut(line.toUtf8() + '\n');
}

void CliOutput::Progress(int32_t done, int32_t pages, int32_t pageSize) {
    if (firstDone_ < 0) {
        firstDone_ = done;
        boardClock_.start();
    }
    if (json_) {
        if (quiet_ || (jsonClock_.isValid() && jsonClock_.elapsed() < kJsonProgressMs))
            return;
        jsonClock_.start();
        writeOut(jsonLine({{QStringLiteral("event"), QStringLiteral("progress")},
                           {QStringLiteral("page"), done},
                           {QStringLiteral("pages"), pages}}));
        return;
    }
    if (!terminal_ || pages <= 0)
        return;
    QString text = QStringLiteral("%1/%2 pages %3%")
                       .arg(done)
                       .arg(pages)
                       .arg(static_cast<int>(100LL * done / pages));
    const qint64 ms = boardClock_.elapsed();
    const int32_t sent = done - firstDone_;
    if (sent > 0 && ms > 0) {
        const qint64 rate = static_cast<qint64>(sent) * pageSize * 1000 / ms;
        const qint64 left = static_cast<qint64>(pages - done) * ms / sent;
        text += QStringLiteral("  %1 B/s  %2 left").arg(rate).arg(clockText((left + 999) / 1000));
    }
    progressText_ = text.toUtf8();
    drawProgress();
}

void CliOutput::Result(const DownloadRecord& r, int board) {
    ClearProgress();
    firstDone_ = -1;
    jsonClock_.invalidate();
    if (json_) {
        QJsonObject o{
            {QStringLiteral("event"), QStringLiteral("result")},
            {QStringLiteral("board"), board},
            {QStringLiteral("started"), stampText(r.Started)},
            {QStringLiteral("ended"), stampText(r.Ended)},
            {QStringLiteral("seconds"),
             r.Started.isValid() && r.Ended.isValid() ? r.Started.msecsTo(r.Ended) / 1000.0 : 0.0},
            {QStringLiteral("station"), r.Station},
            {QStringLiteral("program"), r.Program},
            {QStringLiteral("port"), r.Port},
            {QStringLiteral("device"), r.Device},
            {QStringLiteral("source"), r.Source},
            {QStringLiteral("model"), r.Model},
            {QStringLiteral("image"), r.Image},
            {QStringLiteral("image_bytes"), static_cast<qint64>(r.ImageBytes)},
            {QStringLiteral("image_sha256"), r.ImageSha256},
            {QStringLiteral("protocol"), r.Protocol},
            {QStringLiteral("baud"), r.Baud},
            {QStringLiteral("chip"), r.Chip},
            {QStringLiteral("pages_sent"), r.PagesSent},
            {QStringLiteral("pages_skipped"), r.PagesSkipped},
            {QStringLiteral("resends"), r.Resends},
            {QStringLiteral("result"), ResultWord(r.Result)},
            {QStringLiteral("detail"), r.Detail},
        };
        writeOut(jsonLine(o));
        return;
    }
    if (quiet_ && r.Result == RecordResult::Failed)
        writeOut(r.Detail.toUtf8() + '\n');
}

void CliOutput::Summary(int written, int failed, qint64 elapsedMs) {
    if (json_) {
        writeOut(jsonLine({{QStringLiteral("event"), QStringLiteral("summary")},
                           {QStringLiteral("written"), written},
                           {QStringLiteral("failed"), failed},
                           {QStringLiteral("seconds"), elapsedMs / 1000.0}}));
        return;
    }
    if (quiet_)
        return;
    ClearProgress();
    writeOut(QStringLiteral("Boards written: %1, failed: %2, total time %3")
                 .arg(written)
                 .arg(failed)
                 .arg(clockText(elapsedMs / 1000))
                 .toUtf8() +
             '\n');
}

QString PortLineText(const SerialDeviceInfo& info) {
    QStringList columns;
    columns << (info.ComNumber > 0 ? QStringLiteral("Com%1").arg(info.ComNumber)
                                   : QStringLiteral("-   "));
    columns << info.Path;
    if (!info.ById.isEmpty())
        columns << info.ById;
    if (info.HasUsbIds)
        columns << hex4(info.VendorId) + QLatin1Char(':') + hex4(info.ProductId);
    if (!info.SerialNumber.isEmpty())
        columns << QStringLiteral("serial ") + info.SerialNumber;
    if (!info.Manufacturer.isEmpty())
        columns << info.Manufacturer;
    if (!info.Description.isEmpty())
        columns << info.Description;
    return columns.join(QStringLiteral("  "));
}

QByteArray PortJson(const SerialDeviceInfo& info) {
    const QJsonObject o{
        {QStringLiteral("com"),
         info.ComNumber > 0 ? QJsonValue(info.ComNumber) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("path"), info.Path},
        {QStringLiteral("by_id"), textOrNull(info.ById)},
        {QStringLiteral("vendor_id"),
         info.HasUsbIds ? QJsonValue(hex4(info.VendorId)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("product_id"),
         info.HasUsbIds ? QJsonValue(hex4(info.ProductId)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("serial"), textOrNull(info.SerialNumber)},
        {QStringLiteral("manufacturer"), textOrNull(info.Manufacturer)},
        {QStringLiteral("description"), textOrNull(info.Description)},
    };
    return jsonLine(o);
}
