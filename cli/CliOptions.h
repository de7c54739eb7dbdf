// The command line of zubload: what it asks for, read into one structure before any window
// object exists, so that a usage error costs nothing and touches no file.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

struct CliOptions {
    enum class Mode { Download, ListPorts, Help, Version };
    Mode Action = Mode::Download;

    // Firmware: a local file, a model by row text or by row; none of them: as default.ini says.
    QString File;
    std::optional<QString> ModelName;
    std::optional<int> ModelRow;

    // Link; every value left out comes from default.ini or the window's defaults.
    std::optional<QString> Port;
    std::optional<int> RateCode; // row of the rate box (0 = 110 .. 14 = 256000)
    std::optional<int> Protocol; // 0 NORMAL, 1 ZUB16T1, 2 ZUB16T2
    std::optional<bool> AutoReset;
    std::optional<bool> SkipBlank;
    // --verify: ask the board's loader for the CRC of what it wrote before the end frame.
    bool Verify = false;

    QString Dir; // the start directory; empty: the current one

    bool Repeat = false;
    int RepeatCount = 0; // 0: until interrupted
    // --timeout: how long a Start waits for the boot loader's answer; none: as long as it takes.
    std::optional<int> TimeoutMs;
    bool Json = false;
    bool Quiet = false;
};

// Reads the arguments after the program name. Returns false with the reason in *error on a
// usage error (unknown option, missing value, a rate or protocol that is none of the window's,
// FILE together with a model).
bool ParseCommandLine(const QStringList& args, CliOptions* options, QString* error);

// The text of --help.
QString UsageText();
