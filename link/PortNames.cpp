#include "link/PortNames.h"

#include <algorithm>

int32_t BaudRateForCode(int code) {
    if (code < 0 || code >= static_cast<int>(kBaudRates.size()))
        return 0;
    return kBaudRates[static_cast<size_t>(code)];
}

QString RateItemText(int code) {
    const int32_t rate = BaudRateForCode(code);
    return rate > 0 ? QStringLiteral("br") + QString::number(rate) : QString();
}

int RateCodeForItemText(const QString& text) {
    const QString t = text.trimmed();
    for (size_t i = 0; i < kBaudRates.size(); ++i) {
        if (t.compare(RateItemText(static_cast<int>(i)), Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int ProtocolRowForText(const QString& text) {
    const QString t = text.trimmed();
    for (size_t i = 0; i < kProtocolNames.size(); ++i) {
        if (QLatin1String(kProtocolNames[i]).compare(t, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int ComPortNumber(const QByteArray& typed) {
    const QByteArray name = typed.trimmed();
    if (name.size() != 4 || name.left(3).toLower() != "com")
        return 0;
    const char digit = name.at(3);
    return (digit >= '1' && digit <= '8') ? digit - '0' : 0;
}

namespace {

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

} // namespace

bool DeviceNameLess(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the two numbers by value: skip leading zeros, then longer is larger.
            qsizetype si = i;
            qsizetype sj = j;
            while (si < a.size() && a[si] == QLatin1Char('0'))
                ++si;
            while (sj < b.size() && b[sj] == QLatin1Char('0'))
                ++sj;
            qsizetype ei = si;
            qsizetype ej = sj;
            while (ei < a.size() && isDigit(a[ei]))
                ++ei;
            while (ej < b.size() && isDigit(b[ej]))
                ++ej;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            const int c = QStringView(a).mid(si, ei - si).compare(QStringView(b).mid(sj, ej - sj));
            if (c != 0)
                return c < 0;
            // Equal values: fewer leading zeros first keeps the order total.
            if (ei - i != ej - j)
                return ei - i < ej - j;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

QStringList SortDeviceNames(QStringList names) {
    std::stable_sort(names.begin(), names.end(), DeviceNameLess);
    names.removeDuplicates();
    return names;
}

QString DevicePathForName(const QByteArray& name, const QStringList& sortedDevices) {
    const int number = ComPortNumber(name);
    if (number > 0)
        return number <= sortedDevices.size() ? sortedDevices.at(number - 1) : QString();
    const QString text = QString::fromLocal8Bit(name).trimmed();
    if (text.isEmpty())
        return QString();
    if (text.startsWith(QLatin1Char('/')))
        return text;
    return QStringLiteral("/dev/") + text;
}
