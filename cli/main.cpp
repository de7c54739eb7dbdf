// zubload: the command-line loader. It drives the download engine the window uses, with Qt Core
// alone, so a jig script gets exactly the downloads, log lines and records of the window.
#include "ZubVersion.h"
#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "cli/LoaderRun.h"
#include "cli/StopSignals.h"
#include "link/PortInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>

#include <unistd.h>

namespace {

void printOut(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

int listPorts(bool json) {
    const QList<SerialDeviceInfo> devices = ListSerialDevices();
    for (const SerialDeviceInfo& info : devices) {
        if (json) {
            const QByteArray line = PortJson(info);
            std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
        } else {
            printOut(PortLineText(info) + QLatin1Char('\n'));
        }
    }
    std::fflush(stdout);
    // Standard output stays one device a line; what keeps the user from the ports goes beside.
    QStringList notes = PortAccessHint();
    if (devices.isEmpty() && !json)
        notes.prepend(QStringLiteral("No serial devices."));
    for (const QString& note : notes)
        std::fprintf(stderr, "%s\n", note.toLocal8Bit().constData());
    return ExitOk;
}

// Warnings of the program's own categories ("zub.", the update client's TLS reason) reach
// standard error. Qt's own remarks (its serial port's and event loop's) and
// every debug or info message mean nothing to a jig script and stay out; errors always pass.
void qtMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    const bool ours = context.category && std::strncmp(context.category, "zub.", 4) == 0;
    if (type == QtWarningMsg && !ours)
        return;
    std::fprintf(stderr, "zubload: %s\n", text.toLocal8Bit().constData());
}

// An exception escaping an event handler ends the run with status 1 and its text, never a crash
// read as success; only the first is told.
class CliApplication : public QCoreApplication {
    Q_OBJECT
public:
    CliApplication(int& argc, char** argv, CliOutput& out)
        : QCoreApplication(argc, argv), out_(out) {
        setApplicationName(QStringLiteral("ZubLoad"));
    }

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QCoreApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            escaped(QString::fromLocal8Bit(e.what()));
        } catch (...) {
            escaped(QString());
        }
        return false;
    }

private:
    void escaped(const QString& message) {
        if (escaped_)
            return;
        escaped_ = true;
        out_.Note(QStringLiteral("zubload: ") + message);
        exit(ExitFailed);
    }

    CliOutput& out_;
    bool escaped_ = false;
};

// TERM=dumb and NO_COLOR (any value but empty) ask for text without escape sequences.
bool noEscapes() {
    const QByteArray term = qgetenv("TERM");
    return term == "dumb" || !qgetenv("NO_COLOR").isEmpty();
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    CliOptions options;
    QString error;
    if (!ParseCommandLine(args, &options, &error)) {
        std::fprintf(stderr, "zubload: %s\nTry 'zubload --help' for more information.\n",
                     error.toLocal8Bit().constData());
        return ExitUsage;
    }
    // Qt reads options of its own (-platform, -style ...) from the arguments it is given: it
    // gets none of the caller's.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    switch (options.Action) {
    case CliOptions::Mode::Help:
        printOut(UsageText());
        return ExitOk;
    case CliOptions::Mode::Version:
        printOut(QStringLiteral("zubload (ZubLoader) %1\n").arg(QStringLiteral(ZUB_VERSION)));
        return ExitOk;
    case CliOptions::Mode::ListPorts: {
        QCoreApplication app(qtArgc, qtArgv);
        return listPorts(options.Json);
    }
    case CliOptions::Mode::Download:
        break;
    }

    // FILE is the caller's, relative to where zubload was started, not to the start directory.
    if (!options.File.isEmpty())
        options.File = QFileInfo(options.File).absoluteFilePath();
    if (!options.Dir.isEmpty() && !QDir::setCurrent(options.Dir)) {
        std::fprintf(stderr, "zubload: cannot enter the start directory %s\n",
                     options.Dir.toLocal8Bit().constData());
        return ExitUsage;
    }

    const int stopFd = InstallStopSignals();
    qInstallMessageHandler(qtMessages);
    CliOutput out(options.Json, options.Quiet, isatty(STDERR_FILENO) != 0, noEscapes());
    CliApplication app(qtArgc, qtArgv, out);
    int status = ExitOk;
    {
        LoaderRun run(options, out);
        std::optional<int> early;
        try {
            early = run.Prepare();
        } catch (const std::exception& e) {
            out.Note(QStringLiteral("zubload: ") + QString::fromLocal8Bit(e.what()));
            early = ExitFailed;
        }
        if (!early && StopSignalSeen())
            early = StopSignalStatus();
        if (early) {
            status = *early;
        } else {
            std::unique_ptr<QSocketNotifier> stops;
            if (stopFd >= 0) {
                stops = std::make_unique<QSocketNotifier>(stopFd, QSocketNotifier::Read);
                QObject::connect(stops.get(), &QSocketNotifier::activated, &run, [&run, stopFd] {
                    DrainStopSignals(stopFd);
                    run.Interrupt();
                });
            }
            run.Start();
            status = app.exec();
        }
        run.Release();
    }
    out.ClearProgress();
    return status;
}

#include "main.moc"
