#include "app/ZubApplication.h"
#include "app/ZubBootLoadMain.h"

#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

// Qt's own words while the application object connects to the display, shown only if that fails.
QStringList startupWarnings;
QtMessageHandler qtHandler = nullptr;

// Without a desktop session Qt ends the program with abort() and a hint to reinstall it; the
// operator gets one line that says what is missing and what works instead, and exit status 1.
void startupMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        startupWarnings << message.simplified();
        return;
    }
    const QString reason = startupWarnings.isEmpty() ? message.section(QLatin1Char('.'), 0, 0)
                                                     : startupWarnings.first();
    std::fprintf(stderr,
                 "zubloader: the window needs a desktop session (%s); zubload and zubloader-demo "
                 "work without one\n",
                 reason.toLocal8Bit().constData());
    std::fflush(stderr);
    (void)context;
    std::_Exit(1);
}

} // namespace

int main(int argc, char* argv[]) {
    qtHandler = qInstallMessageHandler(startupMessage);
    ZubApplication app(argc, argv);
    qInstallMessageHandler(qtHandler);
    // Warnings of a start that worked in the end still reach the operator.
    for (const QString& warning : startupWarnings)
        qWarning("%s", qPrintable(warning));
    return app.Run([] { return std::make_unique<TForm1>(); });
}
