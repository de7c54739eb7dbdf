// Serial device naming and rate codes: pure text logic, no port is touched here.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

// Bit rates by rate code; the code is the row of the rate box ("br110" .. "br256000").
constexpr std::array<int32_t, 15> kBaudRates = {110,   300,   600,    1200,   2400,
                                                4800,  9600,  14400,  19200,  38400,
                                                56000, 57600, 115200, 128000, 256000};

// The protocol box's rows; the row is the protocol: 0 plain, 1 and 2 switch the board's mode.
constexpr std::array<const char*, 3> kProtocolNames = {"NORMAL", "ZUB16T1", "ZUB16T2"};

// The bit rate of a rate code, or 0 for a code outside 0-14.
int32_t BaudRateForCode(int code);

// The rate code whose row text is `text` ("br115200", any case, surrounding blanks ignored),
// or -1 when no row matches.
int RateCodeForItemText(const QString& text);

// The rate box's row text of a rate code ("br115200"), empty for a code outside 0-14. The box,
// zubload's settings and its usage all come from kBaudRates through this.
QString RateItemText(int code);

// The protocol row whose text is `text` (any case, surrounding blanks ignored), or -1 when no
// row matches.
int ProtocolRowForText(const QString& text);

// 1..8 for "Com1".."Com8" in any case, else 0 (then the name is a device name or path).
int ComPortNumber(const QByteArray& name);

// Orders device paths by name with every run of digits compared as a number, so that
// ttyS2 < ttyS10 < ttyUSB0.
bool DeviceNameLess(const QString& a, const QString& b);
QStringList SortDeviceNames(QStringList names);

// The device path an open of `name` uses: "ComN" is the N-th of `sortedDevices` (empty when
// there are fewer), an absolute path stays as it is, a bare name is looked up under /dev.
QString DevicePathForName(const QByteArray& name, const QStringList& sortedDevices);
