// zubload: the command-line loader. It drives the window's own engine on Qt's offscreen
// platform, so a jig script gets exactly the downloads, log lines and records of the window.
#include "app/ZubApplication.h"
#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "cli/LoaderRun.h"
#include "cli/StopSignals.h"
#include "link/PortInfo.h"
#include "ZubVersion.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

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
// standard error. Qt's own remarks (no XDG_RUNTIME_DIR, the offscreen platform's limits) and
// every debug or info message mean nothing to a jig script and stay out; errors always pass.
void qtMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    const bool ours = context.category && std::strncmp(context.category, "zub.", 4) == 0;
    if (type == QtWarningMsg && !ours)
        return;
    std::fprintf(stderr, "zubload: %s\n", text.toLocal8Bit().constData());
}

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
    // The window object is created but never shown: no display is needed or touched.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ZubApplication app(qtArgc, qtArgv);
    CliOutput out(options.Json, options.Quiet, isatty(STDERR_FILENO) != 0, noEscapes());
    app.ErrorBoxHook = [&out](const QString& message) {
        out.Note(QStringLiteral("zubload: ") + message);
    };
    int status = ExitOk;
    {
        LoaderRun run(options, out);
        try {
            status = run.Prepare();
        } catch (const std::exception& e) {
            out.Note(QStringLiteral("zubload: ") + QString::fromLocal8Bit(e.what()));
            status = ExitFailed;
        }
        if (status < 0 && StopSignalSeen())
            status = StopSignalStatus();
        if (status < 0) {
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
