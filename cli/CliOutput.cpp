#include "cli/CliOutput.h"

#include <QDateTime>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 kJsonProgressMs = 100;
// The version of the JSON events' layout; raised whenever a member changes its meaning or goes.
constexpr int kJsonSchema = 2;

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
    JsonLine& boolean(const char* name, bool value) { return raw(name, value ? "true" : "false"); }
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

// Every event opens with its name, the layout's version and the moment it was written.
JsonLine event(const char* name) {
    return JsonLine()
        .text("event", QLatin1String(name))
        .number("schema", kJsonSchema)
        .text("time", RecordTimeText(QDateTime::currentDateTime()));
}

QString clockText(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString hex4(uint16_t value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

CliOutput::CliOutput(bool json, bool quiet, bool progressTerminal, bool noEscapes)
    : json_(json), quiet_(quiet), terminal_(progressTerminal && !json && !quiet),
      noEscapes_(noEscapes) {}

void CliOutput::writeOut(const QByteArray& bytes) {
    // Each line leaves at once: a sequencer reads the log while the board is written.
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

void CliOutput::writeErr(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

QByteArray CliOutput::eraseTail(int width) {
    // A dumb terminal (or NO_COLOR) gets blanks over the old text instead of an escape sequence.
    if (!noEscapes_)
        return QByteArrayLiteral("\x1b[K");
    const int over = std::max(drawnWidth_ - width, 0);
    return QByteArray(over, ' ') + QByteArray(over, '\b');
}

void CliOutput::ClearProgress() {
    if (progressText_.isEmpty())
        return;
    writeErr("\r" + eraseTail(0));
    drawnWidth_ = 0;
    progressText_.clear();
}

void CliOutput::drawProgress() {
    if (progressText_.isEmpty())
        return;
    const int width = static_cast<int>(progressText_.size());
    writeErr("\r" + progressText_ + eraseTail(width));
    drawnWidth_ = width;
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
    if (quiet_)
        return;
    if (json_)
        writeOut(event("log").text("text", line).line());
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

void CliOutput::Chip(const _CPU& chip) {
    if (!json_ || quiet_)
        return;
    writeOut(event("chip")
                 .text("name", chip.Name)
                 .text("code", QStringLiteral("0x%1").arg(chip.Signature, 2, 16, QLatin1Char('0')))
                 .number("flash", chip.FlashSize)
                 .number("boot", chip.BootSize)
                 .number("page", chip.PageSize)
                 .number("eeprom", chip.EepromSize)
                 .line());
}

void CliOutput::jsonProgress(int32_t done, int32_t pages) {
    jsonClock_.start();
    jsonShown_ = done;
    writeOut(event("progress").number("page", done).number("pages", pages).line());
}

void CliOutput::Progress(int32_t done, int32_t pages, int32_t pageSize) {
    if (firstDone_ < 0) {
        firstDone_ = done;
        boardClock_.start();
    }
    if (json_) {
        boardPages_ = pages;
        if (quiet_ || (jsonClock_.isValid() && jsonClock_.elapsed() < kJsonProgressMs))
            return;
        jsonProgress(done, pages);
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

void CliOutput::Result(const DownloadRecord& r, int board, const EngineFailure& failure) {
    ClearProgress();
    firstDone_ = -1;
    progressComplete_ = false;
    jsonClock_.invalidate();
    const int32_t pages = boardPages_;
    const int32_t shown = jsonShown_;
    boardPages_ = 0;
    jsonShown_ = -1;
    const QString rowWarning =
        QStringLiteral("[Warning] Production record not written: ") + r.RowError;
    // Standard output carries the window's lines; the reason stands beside them.
    const bool failed = r.Result == RecordResult::Failed;
    const auto noteReason = [&] {
        if (failed && !r.Reason.isEmpty())
            Note(QStringLiteral("zubload: ") + r.Reason);
    };
    if (!json_) {
        if (quiet_) {
            QStringList shownLines;
            if (failed) {
                shownLines = FailureLogLines(failure);
                if (shownLines.isEmpty())
                    shownLines << r.Detail; // a box, not a line: the record's words stand in
            }
            // A jig must see a board whose row is missing, even a board written well.
            if (!r.RowWritten)
                shownLines << rowWarning;
            for (const QString& line : shownLines)
                writeOut(line.toUtf8() + '\n');
        }
        noteReason();
        return;
    }
    // Throttling may have held back the last step: a board written well ends at its page count.
    if (r.Result == RecordResult::Ok && !quiet_ && pages > 0 && shown != pages)
        jsonProgress(pages, pages);
    JsonLine line = event("result");
    line.number("board", board);
    for (const RecordColumn& column : kRecordColumns) {
        const QString value = column.Value(r);
        switch (column.Type) {
        case RecordValueType::Text:
            line.textOrNull(column.Name, value);
            break;
        case RecordValueType::Amount:
            if (value == QLatin1String("0"))
                line.raw(column.Name, "null");
            else
                line.raw(column.Name, value.toLatin1());
            break;
        case RecordValueType::Count:
            line.raw(column.Name, value.toLatin1());
            break;
        case RecordValueType::Seconds:
        case RecordValueType::Flag:
            line.raw(column.Name, value.isEmpty() ? QByteArray("null") : value.toLatin1());
            break;
        }
    }
    writeOut(line.textOrNull("kind", FailureKindText(r.Kind))
                 .textOrNull("reason", r.Reason)
                 .boolean("row_written", r.RowWritten)
                 .textOrNull("row_error", r.RowWritten ? QString() : r.RowError)
                 .line());
    noteReason();
}

void CliOutput::Summary(int written, int failed, qint64 elapsedMs) {
    if (json_) {
        writeOut(event("summary")
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
