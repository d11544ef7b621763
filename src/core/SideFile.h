#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QFileDevice;
class QIODevice;

// A file written in place of another one. Its bytes go to a new file beside
// the target (QSaveFile), which takes the target's name only when commit()
// finds every byte written, flushed and synced. Until then, and after any
// failure (the open, a write, the flush, the sync, the rename, running out
// of memory), the target keeps its bytes, and a target that did not exist
// is not made. A side file that is not committed is removed when this goes.
//
// A target that exists and is no regular file (a device, a pipe) has no
// content to keep and is written directly. A folder in which no new file
// can be made fails the open: the target is never truncated in place.
class SideFile
{
public:
    explicit SideFile(const QString& path);
    ~SideFile();

    SideFile(const SideFile&) = delete;
    SideFile& operator=(const SideFile&) = delete;

    // Opens for writing; `text` gives the platform's line ends, as a file
    // opened in text mode does. False when it cannot be opened.
    bool open(bool text);
    // Writes all of `bytes`; false when they were not all written, and
    // from then on every write and the commit fail.
    bool write(const QByteArray& bytes);
    // The open file, for writers that take a device; their failed writes
    // fail the commit too.
    QIODevice* device() const;
    // Puts the file in place; true when every byte written reached it.
    // Whatever fails, the target stays as it was.
    bool commit();
    // Drops what was written: the target stays as it was.
    void cancel() noexcept;

    // Why the last step failed.
    QString errorString() const;

private:
    QString m_path;
    std::unique_ptr<QFileDevice> m_file;
    bool m_direct = false;
    bool m_failed = false;
    QString m_error;
};
