// Files the program writes in its start directory ("default.ini", "hexlist.txt", fetched model
// images): written whole beside the target and renamed over it, never through a symbolic link.
#pragma once

#include <QByteArray>
#include <QString>

struct FileSave {
    bool Saved = false;
    bool Link = false;   // a symbolic link stands in the file's place: refused, left as it is
    int SystemError = 0; // errno of the failed call
};

// Saves data as path. A link in path's place is refused rather than written through or replaced:
// in a shared folder it is someone else's doing, and the operator should see it, not lose it. An
// existing file keeps its permissions; a new one gets 0666 less the umask. With directFallback, a
// folder that refuses the new file lets an existing file be overwritten in place instead.
FileSave SaveFileNoFollow(const QString& path, const QByteArray& data, bool directFallback = false);

// Why a save failed, in words that follow "could not be saved as PATH: ".
QString FileSaveErrorText(const FileSave& save);
