#include "cli/CliOutput.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 kJsonProgressMs = 100;
constexpr int kQuietLinesKept = 256;

// One JSON object on one line, its members in the order they are added ("event" first), so a
// person reading the stream sees at once what each line is.
class JsonLine {
public:
    JsonLine& text(const char* name, const QString& value) {
        key(name);
        quote(value);
        return *this;
    }
    JsonLine& textOrNull(const char* name, const QString& value) {
        return value.isEmpty() ? raw(name, "null") : text(name, value);
    }
    JsonLine& number(const char* name, qint64 value) {
        return raw(name, QByteArray::number(value));
    }
    JsonLine& seconds(const char* name, qint64 ms) {
        return raw(name, QByteArray::number(static_cast<double>(ms) / 1000.0, 'f', 3));
    }
    JsonLine& raw(const char* name, const QByteArray& value) {
        key(name);
        bytes_ += value;
        return *this;
    }
    QByteArray line() const { return bytes_ + "}\n"; }

private:
    void key(const char* name) {
        bytes_ += bytes_.size() > 1 ? ",\"" : "\"";
        bytes_ += name;
        bytes_ += "\":";
    }
    void quote(const QString& value) {
        bytes_ += '"';
        for (const char c : value.toUtf8()) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                bytes_ += '\\';
                bytes_ += c;
            } else if (c == '\n') {
                bytes_ += "\\n";
            } else if (c == '\r') {
                bytes_ += "\\r";
            } else if (c == '\t') {
                bytes_ += "\\t";
            } else if (u < 0x20 || u == 0x7F) {
                bytes_ += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0')).toLatin1();
            } else {
                bytes_ += c; // UTF-8 as it is
            }
        }
        bytes_ += '"';
    }
    QByteArray bytes_ = "{";
};

QString clockText(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString hex4(uint16_t value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

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

void CliOutput::aside(const QByteArray& bytes, FILE* stream) {
    // The progress line steps aside for a line of text and comes back under it, unless every
    // page is done.
    const QByteArray progress = progressComplete_ ? QByteArray() : progressText_;
    ClearProgress();
    if (stream == stdout)
        writeOut(bytes);
    else
        writeErr(bytes);
    progressText_ = progress;
    drawProgress();
}

void CliOutput::Log(const QString& line) {
    if (quiet_) {
        if (!json_) {
            if (boardLines_.size() >= kQuietLinesKept)
                boardLines_.removeFirst();
            boardLines_ << line;
        }
        return;
    }
    if (json_)
        writeOut(JsonLine().text("event", QStringLiteral("log")).text("text", line).line());
    else
        aside(line.toUtf8() + '\n', stdout);
}

void CliOutput::Message(const QString& text) {
    aside(text.toUtf8() + '\n', stderr);
}

void CliOutput::Note(const QString& text) {
    ClearProgress();
    writeErr(text.toUtf8() + '\n');
}

void CliOutput::LastLineFailed() {
    if (quiet_ && !json_ && !boardLines_.isEmpty())
        writeOut(boardLines_.last().toUtf8() + '\n');
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
        writeOut(JsonLine()
                     .text("event", QStringLiteral("progress"))
                     .number("page", done)
                     .number("pages", pages)
                     .line());
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
    progressComplete_ = done >= pages;
    drawProgress();
}

void CliOutput::Result(const DownloadRecord& r, int board) {
    ClearProgress();
    firstDone_ = -1;
    progressComplete_ = false;
    jsonClock_.invalidate();
    if (!json_) {
        const QStringList lines = boardLines_;
        boardLines_.clear();
        if (quiet_ && r.Result == RecordResult::Failed) {
            const int at = lines.lastIndexOf(r.Detail);
            for (const QString& line : at >= 0 ? lines.mid(at) : QStringList{r.Detail})
                writeOut(line.toUtf8() + '\n');
        }
        return;
    }
    const qint64 ms = r.Started.isValid() && r.Ended.isValid()
                          ? std::max<qint64>(r.Started.msecsTo(r.Ended), 0)
                          : 0;
    writeOut(JsonLine()
                 .text("event", QStringLiteral("result"))
                 .number("board", board)
                 .text("result", RecordResultText(r.Result))
                 .textOrNull("detail", r.Detail)
                 .text("started", RecordTimeText(r.Started))
                 .text("ended", RecordTimeText(r.Ended))
                 .seconds("seconds", ms)
                 .text("station", r.Station)
                 .text("program", r.Program)
                 .text("port", r.Port)
                 .textOrNull("device", r.Device)
                 .text("source", r.Source)
                 .textOrNull("model", r.Model)
                 .textOrNull("image", r.Image)
                 .number("image_bytes", r.ImageBytes)
                 .textOrNull("image_sha256", r.ImageSha256)
                 .textOrNull("protocol", r.Protocol)
                 .number("baud", r.Baud)
                 .textOrNull("chip", r.Chip)
                 .number("pages_sent", r.PagesSent)
                 .number("pages_skipped", r.PagesSkipped)
                 .number("resends", r.Resends)
                 .line());
}

void CliOutput::Summary(int written, int failed, qint64 elapsedMs) {
    if (json_) {
        writeOut(JsonLine()
                     .text("event", QStringLiteral("summary"))
                     .number("written", written)
                     .number("failed", failed)
                     .seconds("seconds", elapsedMs)
                     .line());
        return;
    }
    if (quiet_)
        return;
    ClearProgress();
    writeOut(QStringLiteral("Boards written: %1, failed: %2, total time %3\n")
                 .arg(written)
                 .arg(failed)
                 .arg(clockText(elapsedMs / 1000))
                 .toUtf8());
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
    JsonLine line;
    if (info.ComNumber > 0)
        line.number("com", info.ComNumber);
    else
        line.raw("com", "null");
    return line.text("path", info.Path)
        .textOrNull("by_id", info.ById)
        .textOrNull("vendor_id", info.HasUsbIds ? hex4(info.VendorId) : QString())
        .textOrNull("product_id", info.HasUsbIds ? hex4(info.ProductId) : QString())
        .textOrNull("serial", info.SerialNumber)
        .textOrNull("manufacturer", info.Manufacturer)
        .textOrNull("description", info.Description)
        .line();
}
