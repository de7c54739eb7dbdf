#include "app/ZubApplication.h"
#include "app/ZubBootLoadMain.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Qt's own messages while the application object connects to the display: held back, and
// passed on unchanged once it has connected.
struct HeldMessage {
    QtMsgType Type;
    QByteArray Category;
    QString Text;
};
std::vector<HeldMessage> heldMessages;

// Without a desktop session Qt ends the program with abort() and a hint to reinstall it; the
// operator gets one line that says what is missing and what works instead, and exit status 1.
void startupMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        heldMessages.push_back({type, QByteArray(context.category), message});
        return;
    }
    QString reason = message.section(QLatin1Char('.'), 0, 0);
    for (const HeldMessage& held : heldMessages) {
        if (held.Type == QtWarningMsg || held.Type == QtCriticalMsg) {
            reason = held.Text;
            break;
        }
    }
    std::fprintf(stderr,
                 "zubloader: the window needs a desktop session (%s); zubload and zubloader-demo "
                 "work without one\n",
                 reason.simplified().toLocal8Bit().constData());
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

int main(int argc, char* argv[]) {
    const QtMessageHandler qtHandler = qInstallMessageHandler(startupMessage);
    ZubApplication app(argc, argv);
    qInstallMessageHandler(qtHandler);
    for (const HeldMessage& held : heldMessages) {
        const QMessageLogContext context(
            nullptr, 0, nullptr, held.Category.isEmpty() ? nullptr : held.Category.constData());
        qt_message_output(held.Type, context, held.Text);
    }
    heldMessages.clear();
    return app.Run([] { return std::make_unique<TForm1>(); });
}
