#include "core/SideFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

SideFile::SideFile(const QString& path)
    : m_path(path)
{
}

SideFile::~SideFile()
{
    cancel();
}

bool SideFile::open(bool text)
{
    QIODevice::OpenMode mode = QIODevice::WriteOnly;
    if (text)
        mode |= QIODevice::Text;
    // A device or a pipe cannot be replaced by a file beside it: renaming
    // one over it would put a plain file where the device was.
    const QFileInfo target(m_path);
    m_direct = target.exists() && !target.isFile() && !target.isDir();
    if (m_direct)
        m_file.reset(new QFile(m_path));
    else
        m_file.reset(new QSaveFile(m_path));
    if (m_file->open(mode))
        return true;
    m_error = m_file->errorString();
    cancel();
    return false;
}

bool SideFile::write(const QByteArray& bytes)
{
    if (m_failed || !m_file)
        return false;
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    bool retried = false;
    while (left > 0) {
        const qint64 n = m_file->write(data, left);
        if (n > 0) {
            data += n;
            left -= n;
            retried = false;
            continue;
        }
        // A write that stopped part way (the disk filled up in the middle
        // of it) gives no cause; the next attempt meets it.
        if (retried) {
            m_failed = true;
            m_error = m_file->errorString();
            return false;
        }
        retried = true;
    }
    return true;
}

QIODevice* SideFile::device() const
{
    return m_file.get();
}

bool SideFile::commit()
{
    if (!m_file)
        return false;
    // QSaveFile's commit() does not see a flush that fails as it closes
    // (the last bytes that did not fit would go unnoticed): the flush is
    // made and looked at here first.
    bool ok = !m_failed && m_file->error() == QFileDevice::NoError;
    if (ok && !m_file->flush()) {
        // As with a write, a flush that stopped part way gives no cause.
        m_file->flush();
        ok = false;
    }
    if (ok && m_direct) {
        m_file->close();
        ok = m_file->error() == QFileDevice::NoError;
    } else if (ok) {
#ifdef Q_OS_UNIX
        // A disk that tells only now that the bytes do not fit (a network
        // file system) is heard here; commit() syncs without looking.
        if (::fsync(m_file->handle()) != 0 && errno != EINVAL) {
            m_error = qt_error_string(errno);
            ok = false;
        }
#endif
        ok = ok && static_cast<QSaveFile*>(m_file.get())->commit();
    }
    if (!ok) {
        if (m_error.isEmpty())
            m_error = m_file->errorString();
        cancel();
        return false;
    }
    m_file.reset();
    return true;
}

void SideFile::cancel() noexcept
{
    m_failed = true;
    if (!m_file)
        return;
    try {
        if (!m_direct)
            static_cast<QSaveFile*>(m_file.get())->cancelWriting();
    } catch (...) {
    }
    // An uncommitted QSaveFile removes its side file as it goes.
    m_file.reset();
}

QString SideFile::errorString() const
{
    return m_error;
}
