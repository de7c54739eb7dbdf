#include "settings/SettingsText.h"

#include "image/ImageFile.h"
#include "image/SaveFile.h"

#include <QFile>
#include <QFileInfo>

#include <limits>

namespace {

// Far above any real settings file; stops a default.ini that is a device or a runaway file.
constexpr qint64 kMaxSettingsBytes = 16 * 1024 * 1024;

QString boolText(bool on) {
    // "flase" is what every existing default.ini holds; readers only ever compare "true".
    return on ? QStringLiteral("true") : QStringLiteral("flase");
}

} // namespace

QByteArray FormatSettings(const SettingsValues& v) {
    const QString lines[] = {
        QStringLiteral("ZUB COM Watch Ver=1.0"),
        QStringLiteral("CmbComPort=") + v.CmbComPort,
        QStringLiteral("CmbProtocol=") + QString::number(v.CmbProtocol),
        QStringLiteral("CmbBaudRate=") + QString::number(v.CmbBaudRate),
        QStringLiteral("EdFileName=") + v.EdFileName,
        QStringLiteral("CmbModel=") + QString::number(v.CmbModel),
        QStringLiteral("CbBlankSkip=") + boolText(v.CbBlankSkip),
        QStringLiteral("CbAutoReset=") + boolText(v.CbAutoReset),
        QStringLiteral("CbAutoDevSearch=") + boolText(v.CbAutoDevSearch),
        QStringLiteral("RbLocalFile=") + boolText(v.RbLocalFile),
    };
    QByteArray out;
    for (const QString& line : lines) {
        out += line.toLocal8Bit();
        out += "\r\n";
    }
    return out;
}

std::vector<SettingsLine> SplitSettingsLines(const QByteArray& data) {
    std::vector<SettingsLine> lines;
    qsizetype start = 0;
    const qsizetype size = data.size();
    while (start < size) {
        qsizetype end = data.indexOf('\n', start);
        const qsizetype next = end < 0 ? size : end + 1;
        if (end < 0)
            end = size;
        qsizetype stop = end;
        if (stop > start && data.at(stop - 1) == '\r')
            --stop;
        QByteArray line = data.mid(start, stop - start);
        const qsizetype nul = line.indexOf('\0');
        if (nul >= 0)
            line.truncate(nul);
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            lines.push_back({QString(), QString::fromLocal8Bit(line)});
        else
            lines.push_back(
                {QString::fromLocal8Bit(line.left(eq)), QString::fromLocal8Bit(line.mid(eq + 1))});
        start = next;
    }
    return lines;
}

std::optional<int> ParseSettingsIndex(const QString& text) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
        if (value > static_cast<long long>(std::numeric_limits<int>::max()) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min())
        return std::nullopt;
    return static_cast<int>(value);
}

ParsedSettings ParseSettings(const QByteArray& data) {
    ParsedSettings p;
    const QString trueText = QStringLiteral("true");
    for (const SettingsLine& line : SplitSettingsLines(data)) {
        const QString& k = line.key;
        const QString& v = line.value;
        if (k == QLatin1String("CmbComPort")) {
            p.CmbComPort = v;
        } else if (k == QLatin1String("CmbProtocol")) {
            if (auto index = ParseSettingsIndex(v))
                p.CmbProtocol = index;
        } else if (k == QLatin1String("CmbBaudRate")) {
            if (auto index = ParseSettingsIndex(v))
                p.CmbBaudRate = index;
        } else if (k == QLatin1String("EdFileName")) {
            p.EdFileName = v;
        } else if (k == QLatin1String("CmbModel")) {
            if (auto index = ParseSettingsIndex(v))
                p.CmbModel = index;
        } else if (k == QLatin1String("CbBlankSkip")) {
            p.CbBlankSkip = v == trueText;
        } else if (k == QLatin1String("CbAutoReset")) {
            p.CbAutoReset = v == trueText;
        } else if (k == QLatin1String("CbAutoDevSearch")) {
            p.CbAutoDevSearch = v == trueText;
        } else if (k == QLatin1String("RbLocalFile")) {
            p.RbLocalFile = v == trueText;
        }
    }
    return p;
}

SettingsError ReadSettingsFile(const QString& path, QByteArray& data) {
    data.clear();
    QFile file(path);
    // A FIFO or device in the file's place would hold start-up for good.
    if (!OpenRegularFile(file))
        return SettingsError::CannotRead;
    data = file.read(kMaxSettingsBytes);
    if (data.isEmpty() && file.error() != QFileDevice::NoError)
        return SettingsError::CannotRead;
    return SettingsError::None;
}

SettingsError WriteSettingsFile(const QString& path, const QByteArray& data) {
    const QFileInfo info(path);
    // Root may write any file, so the operator's "read-only" is the owner's write bit as well.
    if (info.exists() && (!info.isWritable() || !(info.permissions() & QFileDevice::WriteOwner)))
        return SettingsError::ReadOnly;
    // A link in the file's place is refused, never written through (a shared station folder).
    // A read-only folder with a writable file still takes the settings, written in place.
    return SaveFileNoFollow(path, data, true).Saved ? SettingsError::None
                                                    : SettingsError::CannotWrite;
}

SettingsError LoadSettingsFile(const QString& path, ParsedSettings& out) {
    out = ParsedSettings{};
    QByteArray bytes;
    const SettingsError error = ReadSettingsFile(path, bytes);
    if (error == SettingsError::None)
        out = ParseSettings(bytes);
    return error;
}

void ApplySettings(const ParsedSettings& p, SettingsValues* v) {
    v->CmbComPort = p.CmbComPort.value_or(v->CmbComPort);
    v->CmbProtocol = p.CmbProtocol.value_or(v->CmbProtocol);
    v->CmbBaudRate = p.CmbBaudRate.value_or(v->CmbBaudRate);
    v->EdFileName = p.EdFileName.value_or(v->EdFileName);
    v->CmbModel = p.CmbModel.value_or(v->CmbModel);
    v->CbBlankSkip = p.CbBlankSkip.value_or(v->CbBlankSkip);
    v->CbAutoReset = p.CbAutoReset.value_or(v->CbAutoReset);
    v->CbAutoDevSearch = p.CbAutoDevSearch.value_or(v->CbAutoDevSearch);
    v->RbLocalFile = p.RbLocalFile.value_or(v->RbLocalFile);
}
