#pragma once

#include <QString>
#include <QTemporaryDir>

// A fresh temporary directory made the current directory while the fixture
// lives; the previous current directory is restored afterwards.
class TempWorkDir
{
public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    // Writes bytes to a file in the directory; returns its path.
    QString write(const QString& name, const QByteArray& bytes) const;

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// Path of a fixture file below tests/data.
QString testDataPath(const QString& relative);
