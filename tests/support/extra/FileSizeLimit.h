#pragma once

#include <QDir>
#include <QFile>
#include <QMap>
#include <QString>

#include <csignal>
#include <sys/resource.h>

// A disk that is full, for this process while it lives: no file it writes
// grows past `bytes`, a write beyond fails with EFBIG (SIGXFSZ, which would
// end the process, is ignored meanwhile). The limit and the signal's
// handler come back after.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        handler = std::signal(SIGXFSZ, SIG_IGN);
        if (getrlimit(RLIMIT_FSIZE, &saved) != 0)
            return;
        rlimit small = saved;
        small.rlim_cur = bytes;
        armed = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit()
    {
        if (armed)
            setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool active() const { return armed; }

private:
    rlimit saved {};
    void (*handler)(int) = SIG_DFL;
    bool armed = false;
};

// The files of a folder with their bytes: a save that fails leaves them as
// they were, with no file of its own beside them.
inline QMap<QString, QByteArray> filesIn(const QString& dir)
{
    QMap<QString, QByteArray> out;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        QFile f(info.filePath());
        out.insert(info.fileName(), f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>"));
    }
    return out;
}
