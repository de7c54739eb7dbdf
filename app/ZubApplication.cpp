#include "app/ZubApplication.h"

#include <QMessageBox>
#include <QWidget>

#include <exception>

ZubApplication::ZubApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("ZubLoad"));
}

bool ZubApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        handleEscaped(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        handleEscaped(QString());
    }
    return false;
}

void ZubApplication::handleEscaped(const QString& message) {
    // Only the first one is shown: events delivered while its box is open may fail the same way.
    if (escaped_)
        return;
    escaped_ = true;
    ShowException(message);
    exit(1);
}

void ZubApplication::ShowException(const QString& message) {
    if (ErrorBoxHook) {
        ErrorBoxHook(message);
        return;
    }
    QMessageBox::critical(nullptr, QStringLiteral("ZubLoad"), message);
}

int ZubApplication::Run(const std::function<std::unique_ptr<QWidget>()>& createWindow) {
    std::unique_ptr<QWidget> window;
    try {
        window = createWindow();
        window->show();
    } catch (const std::exception& e) {
        handleEscaped(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        handleEscaped(QString());
    }
    if (escaped_)
        return 1;
    const int rc = exec();
    return escaped_ ? 1 : rc;
}
