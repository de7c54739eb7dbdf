// A FIFO in a file's place. Opening it for reading waits for a writer, and reading it waits for
// data: a program that does either would hang its test for good. A writer thread stands by, and
// should a reader ever hold the FIFO open it gets `text` and an end, so that such a program
// fails on what it read instead of hanging.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class FifoWithWriter {
public:
    FifoWithWriter(const QString& path, const QByteArray& text)
        : path_(QFile::encodeName(path)), text_(text) {
        ok_ = mkfifo(path_.constData(), 0600) == 0;
        if (ok_)
            thread_ = std::thread([this] { Run(); });
    }
    ~FifoWithWriter() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    bool Ok() const { return ok_; }
    bool ReaderCame() const { return readerCame_; }

private:
    void Run() {
        while (!stop_) {
            // Succeeds only while someone has the FIFO open for reading (or waits in open).
            const int fd = ::open(path_.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                readerCame_ = true;
                (void)!::write(fd, text_.constData(), static_cast<size_t>(text_.size()));
                ::close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    QByteArray path_;
    QByteArray text_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> readerCame_{false};
    std::thread thread_;
};
