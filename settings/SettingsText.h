// The text of "default.ini": the ten lines written at close and the lines read back at start-up.
// Pure text and file logic, no widgets, so tests and the fuzzer use it without a window.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

enum class SettingsError {
    None,
    CannotRead,  // missing, unreadable or not a regular file
    CannotWrite, // the file or its folder refuses the write; the old file is untouched
    ReadOnly,    // the operator made the file read-only: it is left alone
};

// The nine remembered controls. Indexes count from 0; -1 is a list with no selected row.
struct SettingsValues {
    QString CmbComPort = QStringLiteral("COM1");
    int CmbProtocol = 0;
    int CmbBaudRate = 11;
    QString EdFileName = QStringLiteral("default.bin");
    int CmbModel = 1;
    bool CbBlankSkip = false;
    bool CbAutoReset = true;
    bool CbAutoDevSearch = false;
    bool RbLocalFile = false;
};

// What a file says about each control; a key that is absent (or whose index value is unusable)
// stays empty, and the control keeps its state.
struct ParsedSettings {
    std::optional<QString> CmbComPort;
    std::optional<int> CmbProtocol;
    std::optional<int> CmbBaudRate;
    std::optional<QString> EdFileName;
    std::optional<int> CmbModel;
    std::optional<bool> CbBlankSkip;
    std::optional<bool> CbAutoReset;
    std::optional<bool> CbAutoDevSearch;
    std::optional<bool> RbLocalFile;
};

struct SettingsLine {
    QString key;
    QString value;
};

// The file's bytes: header and nine lines in fixed order, each ending in CR LF, narrow text.
QByteArray FormatSettings(const SettingsValues& values);

// Cuts the bytes into key/value lines. A line ends at LF; one CR before the LF (or at the very
// end) belongs to the line end. A line is taken whole, cut at a NUL byte as C text would be, and
// split at its first "=" (keys never hold one, so a path with "=" survives). A line without "="
// has an empty key.
std::vector<SettingsLine> SplitSettingsLines(const QByteArray& data);

// A row index as written by FormatSettings: optional sign and decimal digits that fit in 32 bits.
std::optional<int> ParseSettingsIndex(const QString& text);

// Applies the lines in file order: keys compare exactly, the later of two lines wins, an index
// that is not a decimal integer is skipped, only "true" ticks a box.
ParsedSettings ParseSettings(const QByteArray& data);

// Reads the file whole (capped, so a device or a huge file cannot exhaust memory).
SettingsError ReadSettingsFile(const QString& path, QByteArray& data);

// The settings file read and parsed: what the window applies to its controls and zubload to its
// choices. CannotRead leaves out empty.
SettingsError LoadSettingsFile(const QString& path, ParsedSettings& out);

// The read file laid over the choices as they stand: a key the file names replaces its value,
// every other value stays. The window and zubload restore their choices through this alone.
void ApplySettings(const ParsedSettings& parsed, SettingsValues* values);

// Replaces the file whole or not at all. A read-only file is left alone; a symlink stays a link
// and its target gets the new text; a folder that refuses new files is written in place.
SettingsError WriteSettingsFile(const QString& path, const QByteArray& data);
