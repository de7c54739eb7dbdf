// Runs the application object the way main() does, with a window that fails in the way the
// first argument names, and prints what the error box would show. Used by tst_app_exit.
#include "app/ZubApplication.h"

#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <stdexcept>

int main(int argc, char* argv[]) {
    ZubApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode != QLatin1String("realbox")) {
        app.ErrorBoxHook = [](const QString& message) {
            std::printf("BOX:%s\n", message.toUtf8().constData());
            std::fflush(stdout);
        };
    } else {
        // Report the real box's caption, icon and text, then close it.
        auto* poll = new QTimer(&app);
        QObject::connect(poll, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                std::printf("TITLE:%s\nICON:%d\nTEXT:%s\n", box->windowTitle().toUtf8().constData(),
                            int(box->icon()), box->text().toUtf8().constData());
                std::fflush(stdout);
                box->accept();
            }
        });
        poll->start(20);
    }
    return app.Run([&]() -> std::unique_ptr<QWidget> {
        if (mode == QLatin1String("startup"))
            throw std::runtime_error("start-up failed");
        if (mode == QLatin1String("startup-other"))
            throw 7;
        auto window = std::make_unique<QWidget>();
        QWidget* w = window.get();
        QTimer::singleShot(50, w, [w, mode] {
            if (mode == QLatin1String("std") || mode == QLatin1String("realbox"))
                throw std::runtime_error("Access violation in 시작");
            if (mode == QLatin1String("other"))
                throw 42;
            w->close(); // "normal": the operator closes the window
        });
        return window;
    });
}
