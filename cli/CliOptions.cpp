#include "cli/CliOptions.h"

#include "cli/ExitStatus.h"
#include "link/PortNames.h"

#include <QCommandLineParser>

#include <array>

namespace {

bool allDigits(const QString& text) {
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

QString rateList() {
    QStringList rates;
    for (const int32_t rate : kBaudRates)
        rates << QString::number(rate);
    return rates.join(QStringLiteral(", "));
}

} // namespace

bool ParseCommandLine(const QStringList& args, CliOptions* o, QString* error) {
    // --repeat's count is optional, which the parser cannot express: "--repeat N" and
    // "--repeat=N" become "--repeat" and a hidden count option before it parses.
    QStringList argv{QStringLiteral("zubload")};
    bool onlyFiles = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        const QLatin1String repeatEq("--repeat=");
        if (!onlyFiles && arg == QLatin1String("--repeat") && i + 1 < args.size() &&
            allDigits(args.at(i + 1))) {
            argv << arg << QStringLiteral("--repeat-count=") + args.at(++i);
        } else if (!onlyFiles && arg.startsWith(repeatEq)) {
            argv << QStringLiteral("--repeat")
                 << QStringLiteral("--repeat-count=") + arg.mid(repeatEq.size());
        } else {
            onlyFiles = onlyFiles || arg == QLatin1String("--");
            argv << arg;
        }
    }

    QCommandLineParser p;
    // Short options combine as getopt users write them: -qb 115200, -qb115200, -qpCom1.
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version(QStringLiteral("version"), QString());
    const QCommandLineOption listPorts(QStringLiteral("list-ports"), QString());
    const QCommandLineOption json(QStringLiteral("json"), QString());
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")}, QString());
    const QCommandLineOption port({QStringLiteral("p"), QStringLiteral("port")}, QString(),
                                  QStringLiteral("NAME"));
    const QCommandLineOption baud({QStringLiteral("b"), QStringLiteral("baud")}, QString(),
                                  QStringLiteral("RATE"));
    const QCommandLineOption protocol(QStringLiteral("protocol"), QString(),
                                      QStringLiteral("NAME"));
    const QCommandLineOption autoReset(QStringLiteral("auto-reset"), QString());
    const QCommandLineOption noAutoReset(QStringLiteral("no-auto-reset"), QString());
    const QCommandLineOption skipBlank(QStringLiteral("skip-blank"), QString());
    const QCommandLineOption noSkipBlank(QStringLiteral("no-skip-blank"), QString());
    const QCommandLineOption verify(QStringLiteral("verify"), QString());
    const QCommandLineOption dir({QStringLiteral("C"), QStringLiteral("dir")}, QString(),
                                 QStringLiteral("DIR"));
    const QCommandLineOption model(QStringLiteral("model"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption modelRow(QStringLiteral("model-row"), QString(), QStringLiteral("N"));
    const QCommandLineOption repeat(QStringLiteral("repeat"), QString());
    const QCommandLineOption repeatCount(QStringLiteral("repeat-count"), QString(),
                                         QStringLiteral("N"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(),
                                     QStringLiteral("SECONDS"));
    p.addOptions({help, version, listPorts, json, quiet, port, baud, protocol, autoReset,
                  noAutoReset, skipBlank, noSkipBlank, verify, dir, model, modelRow, repeat,
                  repeatCount, timeout});
    const bool parsed = p.parse(argv);
    // Help and version win over anything else on the line, a usage error included.
    if (p.isSet(help)) {
        o->Action = CliOptions::Mode::Help;
        return true;
    }
    if (p.isSet(version)) {
        o->Action = CliOptions::Mode::Version;
        return true;
    }
    if (!parsed) {
        *error = p.errorText();
        if (error->endsWith(QLatin1Char('.')))
            error->chop(1);
        return false;
    }
    const QStringList files = p.positionalArguments();
    o->Json = p.isSet(json);
    if (p.isSet(listPorts)) {
        o->Action = CliOptions::Mode::ListPorts;
        for (const QString& name : p.optionNames()) {
            if (name != QLatin1String("list-ports") && name != QLatin1String("json")) {
                *error = QStringLiteral("--list-ports takes no other option than --json");
                return false;
            }
        }
        if (!files.isEmpty()) {
            *error = QStringLiteral("--list-ports takes no other option than --json");
            return false;
        }
        return true;
    }
    o->Quiet = p.isSet(quiet);

    // The last of a pair such as --auto-reset / --no-auto-reset counts.
    auto lastOf = [&p](const QString& yes, const QString& no) -> std::optional<bool> {
        const QStringList names = p.optionNames();
        const int y = static_cast<int>(names.lastIndexOf(yes));
        const int n = static_cast<int>(names.lastIndexOf(no));
        if (y < 0 && n < 0)
            return std::nullopt;
        return y > n;
    };
    o->AutoReset = lastOf(QStringLiteral("auto-reset"), QStringLiteral("no-auto-reset"));
    o->SkipBlank = lastOf(QStringLiteral("skip-blank"), QStringLiteral("no-skip-blank"));
    o->Verify = p.isSet(verify);

    if (p.isSet(port)) {
        const QString v = p.value(port);
        if (v.trimmed().isEmpty()) {
            *error = QStringLiteral("option --port needs a port name");
            return false;
        }
        o->Port = v;
    }
    if (p.isSet(baud)) {
        const QString v = p.value(baud);
        int code = -1;
        if (allDigits(v)) {
            for (size_t r = 0; r < kBaudRates.size(); ++r) {
                if (QString::number(kBaudRates[r]) == v)
                    code = static_cast<int>(r);
            }
        }
        if (code < 0) {
            *error = QStringLiteral("%1 is not a rate of the loader (%2)").arg(v, rateList());
            return false;
        }
        o->RateCode = code;
    }
    if (p.isSet(protocol)) {
        const QString v = p.value(protocol);
        int index = -1;
        for (size_t i = 0; i < kProtocolNames.size(); ++i) {
            if (v.compare(QLatin1String(kProtocolNames[i]), Qt::CaseInsensitive) == 0)
                index = static_cast<int>(i);
        }
        if (index < 0) {
            *error = QStringLiteral("%1 is not a protocol of the loader (NORMAL, ZUB16T1, ZUB16T2)")
                         .arg(v);
            return false;
        }
        o->Protocol = index;
    }
    if (p.isSet(dir)) {
        o->Dir = p.value(dir);
        if (o->Dir.isEmpty()) {
            *error = QStringLiteral("option --dir needs a directory");
            return false;
        }
    }
    if (p.isSet(model))
        o->ModelName = p.value(model);
    if (p.isSet(modelRow)) {
        const QString v = p.value(modelRow);
        bool ok = false;
        const int row = v.toInt(&ok);
        if (!allDigits(v) || !ok) {
            *error = QStringLiteral("--model-row needs a row number from 0: %1").arg(v);
            return false;
        }
        o->ModelRow = row;
    }
    o->Repeat = p.isSet(repeat) || p.isSet(repeatCount);
    if (p.isSet(repeatCount)) {
        const QString v = p.value(repeatCount);
        bool ok = false;
        o->RepeatCount = v.toInt(&ok);
        if (!allDigits(v) || !ok || o->RepeatCount < 1) {
            *error = QStringLiteral("--repeat needs a board count from 1: %1").arg(v);
            return false;
        }
    }
    if (p.isSet(timeout)) {
        // Whole or decimal seconds, down to the engine's 10 ms step, up to a day.
        const QString v = p.value(timeout);
        bool ok = false;
        const double seconds = v.toDouble(&ok);
        if (!ok || !(seconds >= 0.01 && seconds <= 86400.0)) {
            *error = QStringLiteral("--timeout needs seconds from 0.01 to 86400: %1").arg(v);
            return false;
        }
        o->TimeoutMs = static_cast<int>(seconds * 1000.0 + 0.5);
    }

    if (files.size() > 1) {
        *error = QStringLiteral("one firmware file at a time, not %1").arg(files.join(' '));
        return false;
    }
    if (!files.isEmpty())
        o->File = files.first();
    if (o->ModelName && o->ModelRow) {
        *error = QStringLiteral("--model and --model-row name the model twice");
        return false;
    }
    if (!o->File.isEmpty() && (o->ModelName || o->ModelRow)) {
        *error = QStringLiteral("a FILE and a model exclude each other");
        return false;
    }
    return true;
}

QString UsageText() {
    QString text = QStringLiteral(
        "Usage: zubload [OPTIONS] FILE             write a local Intel HEX or .lod file\n"
        "       zubload [OPTIONS] --model NAME     write the image of the model NAME\n"
        "       zubload [OPTIONS] --model-row N    ... of row N of the model list (from 0)\n"
        "       zubload [OPTIONS]                  write what default.ini chooses\n"
        "       zubload --list-ports [--json]\n"
        "       zubload --help | --version\n"
        "\n"
        "Writes firmware into a board through its serial boot loader, with the engine of the\n"
        "ZubLoader window. Options left out take their values from default.ini in the start\n"
        "directory, and without that file from the window's defaults.\n"
        "\n"
        "  -p, --port NAME          device path, /dev/serial/by-id path, or Com1..Com8\n"
        "  -b, --baud RATE          110 300 600 1200 2400 4800 9600 14400 19200 38400 56000\n"
        "                           57600 115200 128000 256000\n"
        "      --protocol NAME      NORMAL, ZUB16T1 or ZUB16T2\n"
        "      --auto-reset         reset the board through the jig first (--no-auto-reset)\n"
        "      --skip-blank         pass over blank pages (--no-skip-blank)\n"
        "      --verify             have the board's loader check what it wrote before the\n"
        "                           end frame; a board that holds other data fails\n"
        "  -C, --dir DIR            start directory: default.ini, hexlist.txt, model images,\n"
        "                           production record (default: the current directory)\n"
        "      --repeat [N]         write board after board, N of them or until interrupted\n"
        "      --timeout SECONDS    give up when the board has not answered after that long\n"
        "      --json               one JSON object per line on standard output\n"
        "  -q, --quiet              print failure lines (and a record warning) only\n"
        "      --list-ports         list the serial devices (Com1..Com8 first)\n"
        "  -h, --help               this text\n"
        "      --version            program name and version\n"
        "\n"
        "Exit status:\n");
    for (const ExitStatusText& status : kExitStatuses)
        text += QStringLiteral("  %1  %2\n")
                    .arg(static_cast<int>(status.Status), 3)
                    .arg(QLatin1String(status.Meaning));
    return text;
}
