#include "TempWorkDir.h"

#include <QDir>
#include <QFile>

TempWorkDir::TempWorkDir()
    : m_previous(QDir::currentPath())
{
    if (m_dir.isValid())
        QDir::setCurrent(m_dir.path());
}

TempWorkDir::~TempWorkDir()
{
    QDir::setCurrent(m_previous);
}

QString TempWorkDir::write(const QString& name, const QByteArray& bytes) const
{
    const QString p = m_dir.filePath(name);
    QFile f(p);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
    return p;
}

QString testDataPath(const QString& relative)
{
    return QStringLiteral(LUMIVANE_TEST_DATA_DIR) + QLatin1Char('/') + relative;
}
