// The application object: a QApplication that shows any exception escaping an event handler or
// start-up in the standard error box and then ends the program with exit code 1, so that a
// script starting it never reads a crash as success.
#pragma once

#include <QApplication>
#include <QString>

#include <functional>
#include <memory>

class ZubApplication : public QApplication {
    Q_OBJECT
public:
    ZubApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Creates the main window, shows it and runs the message loop. Returns 0 after a normal
    // close, 1 once an exception has escaped (during creation or from any event).
    int Run(const std::function<std::unique_ptr<QWidget>()>& createWindow);

    // The standard error box: a critical message box titled "ZubLoad" with the exception's text.
    // Tests replace it through ErrorBoxHook (a box would wait for a click).
    void ShowException(const QString& message);
    std::function<void(const QString&)> ErrorBoxHook;

    bool ExceptionEscaped() const { return escaped_; }

private:
    void handleEscaped(const QString& message);
    bool escaped_ = false;
};
