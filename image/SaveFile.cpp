#include "image/SaveFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Fd {
    int Value = -1;
    ~Fd() {
        if (Value >= 0)
            ::close(Value);
    }
};

int writeAll(int fd, const QByteArray& data) {
    const char* at = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, at, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        at += n;
        left -= n;
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

// Overwrites a regular file in place; O_NOFOLLOW refuses a link planted meanwhile.
FileSave overwrite(const QByteArray& name, const QByteArray& data) {
    Fd fd;
    fd.Value = ::open(name.constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (fd.Value < 0)
        return {false, errno == ELOOP, errno};
    struct stat st {};
    if (::fstat(fd.Value, &st) != 0)
        return {false, false, errno};
    if (!S_ISREG(st.st_mode))
        return {false, false, EINVAL};
    if (::ftruncate(fd.Value, 0) != 0)
        return {false, false, errno};
    const int error = writeAll(fd.Value, data);
    return {error == 0, false, error};
}

} // namespace

FileSave SaveFileNoFollow(const QString& path, const QByteArray& data, bool directFallback) {
    const QByteArray name = QFile::encodeName(path);
    struct stat old {};
    const bool exists = ::lstat(name.constData(), &old) == 0;
    if (!exists && errno != ENOENT)
        return {false, false, errno};
    if (exists && S_ISLNK(old.st_mode))
        return {false, true, ELOOP};
    if (exists && S_ISDIR(old.st_mode))
        return {false, false, EISDIR};

    // A hidden name beside the target: no image list row can name it (rows never start with ".").
    const QFileInfo info(path);
    // A name near the 255-byte limit leaves no room for the dot and the suffix.
    QString stem = info.fileName();
    if (QFile::encodeName(stem).size() > 200)
        stem = QStringLiteral("zubsave");
    QByteArray temp;
    Fd fd;
    for (int attempt = 0; attempt < 100 && fd.Value < 0; ++attempt) {
        temp = QFile::encodeName(info.path() + QStringLiteral("/.") + stem +
                                 QStringLiteral(".%1").arg(QRandomGenerator::global()->generate(),
                                                           8, 16, QLatin1Char('0')));
        fd.Value = ::open(temp.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666);
        if (fd.Value < 0 && errno != EEXIST)
            break;
    }
    if (fd.Value < 0) {
        const int error = errno;
        if (directFallback && exists && (error == EACCES || error == EPERM))
            return overwrite(name, data);
        return {false, false, error};
    }
    int error = 0;
    if (exists && S_ISREG(old.st_mode) && ::fchmod(fd.Value, old.st_mode & 07777) != 0)
        error = errno;
    if (error == 0)
        error = writeAll(fd.Value, data);
    const int closed = ::close(fd.Value);
    fd.Value = -1;
    if (error == 0 && closed != 0)
        error = errno;
    // rename() replaces whatever stands at the name, a link planted since the check included,
    // and never writes through one.
    if (error == 0 && ::rename(temp.constData(), name.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.constData());
        return {false, false, error};
    }
    return {true, false, 0};
}

QString FileSaveErrorText(const FileSave& save) {
    if (save.Saved)
        return QString();
    if (save.Link)
        return QStringLiteral("a symbolic link stands in its place and is never written through");
    return qt_error_string(save.SystemError);
}
