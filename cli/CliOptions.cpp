#include "cli/CliOptions.h"

#include "link/PortNames.h"

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
    bool onlyFiles = false;
    bool listOnly = true; // --list-ports takes --json and nothing else
    QStringList files;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (onlyFiles || arg == QLatin1String("-") || !arg.startsWith(QLatin1Char('-'))) {
            files << arg;
            listOnly = false;
            continue;
        }
        if (arg == QLatin1String("--")) {
            onlyFiles = true;
            continue;
        }
        // "--name=value", "--name value", "-p value" and "-pvalue" all give a value.
        QString name = arg;
        std::optional<QString> inlineValue;
        if (arg.startsWith(QLatin1String("--"))) {
            const int eq = arg.indexOf(QLatin1Char('='));
            if (eq > 0) {
                name = arg.left(eq);
                inlineValue = arg.mid(eq + 1);
            }
        } else if (arg.size() > 2) {
            name = arg.left(2);
            inlineValue = arg.mid(2);
        }
        auto value = [&](QString* out) {
            if (inlineValue) {
                *out = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                *error = QStringLiteral("option %1 needs a value").arg(name);
                return false;
            }
            *out = args.at(++i);
            return true;
        };
        auto noValue = [&] {
            if (!inlineValue)
                return true;
            *error = QStringLiteral("option %1 takes no value").arg(name);
            return false;
        };
        QString v;
        if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
            if (!noValue())
                return false;
            o->Action = CliOptions::Mode::Help;
            return true; // help wins over anything else on the line
        }
        if (name == QLatin1String("--version")) {
            if (!noValue())
                return false;
            o->Action = CliOptions::Mode::Version;
            return true;
        }
        if (name == QLatin1String("--list-ports")) {
            if (!noValue())
                return false;
            o->Action = CliOptions::Mode::ListPorts;
            continue;
        }
        if (name == QLatin1String("--json")) {
            if (!noValue())
                return false;
            o->Json = true;
            continue;
        }
        listOnly = false;
        if (name == QLatin1String("-q") || name == QLatin1String("--quiet")) {
            if (!noValue())
                return false;
            o->Quiet = true;
        } else if (name == QLatin1String("-p") || name == QLatin1String("--port")) {
            if (!value(&v))
                return false;
            if (v.trimmed().isEmpty()) {
                *error = QStringLiteral("option %1 needs a port name").arg(name);
                return false;
            }
            o->Port = v;
        } else if (name == QLatin1String("-b") || name == QLatin1String("--baud")) {
            if (!value(&v))
                return false;
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
        } else if (name == QLatin1String("--protocol")) {
            if (!value(&v))
                return false;
            int index = -1;
            for (size_t p = 0; p < kProtocolNames.size(); ++p) {
                if (v.compare(QLatin1String(kProtocolNames[p]), Qt::CaseInsensitive) == 0)
                    index = static_cast<int>(p);
            }
            if (index < 0) {
                *error = QStringLiteral("%1 is not a protocol of the loader (NORMAL, ZUB16T1, "
                                        "ZUB16T2)")
                             .arg(v);
                return false;
            }
            o->Protocol = index;
        } else if (name == QLatin1String("--auto-reset") ||
                   name == QLatin1String("--no-auto-reset")) {
            if (!noValue())
                return false;
            o->AutoReset = name == QLatin1String("--auto-reset");
        } else if (name == QLatin1String("--skip-blank") ||
                   name == QLatin1String("--no-skip-blank")) {
            if (!noValue())
                return false;
            o->SkipBlank = name == QLatin1String("--skip-blank");
        } else if (name == QLatin1String("-C") || name == QLatin1String("--dir")) {
            if (!value(&v))
                return false;
            if (v.isEmpty()) {
                *error = QStringLiteral("option %1 needs a directory").arg(name);
                return false;
            }
            o->Dir = v;
        } else if (name == QLatin1String("--model")) {
            if (!value(&v))
                return false;
            o->ModelName = v;
        } else if (name == QLatin1String("--model-row")) {
            if (!value(&v))
                return false;
            bool ok = false;
            const int row = v.toInt(&ok);
            if (!allDigits(v) || !ok) {
                *error = QStringLiteral("--model-row needs a row number from 0: %1").arg(v);
                return false;
            }
            o->ModelRow = row;
        } else if (name == QLatin1String("--repeat")) {
            o->Repeat = true;
            // The count is optional: a number right after the option is taken as the count.
            QString count;
            if (inlineValue)
                count = *inlineValue;
            else if (i + 1 < args.size() && allDigits(args.at(i + 1)))
                count = args.at(++i);
            if (!count.isNull()) {
                bool ok = false;
                o->RepeatCount = count.toInt(&ok);
                if (!allDigits(count) || !ok || o->RepeatCount < 1) {
                    *error = QStringLiteral("--repeat needs a board count from 1: %1").arg(count);
                    return false;
                }
            }
        } else {
            *error = QStringLiteral("unknown option %1").arg(name);
            return false;
        }
    }

    if (o->Action == CliOptions::Mode::ListPorts) {
        if (!listOnly) {
            *error = QStringLiteral("--list-ports takes no other option than --json");
            return false;
        }
        return true;
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
    return QStringLiteral(
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
        "  -C, --dir DIR            start directory: default.ini, hexlist.txt, model images,\n"
        "                           production record (default: the current directory)\n"
        "      --repeat [N]         write board after board, N of them or until interrupted\n"
        "      --json               one JSON object per line on standard output\n"
        "  -q, --quiet              print failure lines only\n"
        "      --list-ports         list the serial devices (Com1..Com8 first)\n"
        "  -h, --help               this text\n"
        "      --version            program name and version\n"
        "\n"
        "Exit status: 0 every board written, 1 a download failed, 2 usage error,\n"
        "3 the port could not be opened, 4 the image could not be loaded or fetched,\n"
        "130 interrupted.\n");
}
