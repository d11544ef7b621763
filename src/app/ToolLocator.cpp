#include "app/ToolLocator.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

bool ToolLocator::isExecutableFile(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QString ToolLocator::program(const QString& configured, const QString& name, const QString& os)
{
    if (isExecutableFile(configured))
        return configured;
    if (os == QLatin1String("linux") || os == QLatin1String("macos"))
        return name;
    if (os == QLatin1String("windows"))
        return configured;
    return QString();
}

QString ToolLocator::beside(const QString& path, const QString& name)
{
    if (path.isEmpty())
        return QString();
    const QString candidate = QFileInfo(path).dir().filePath(name);
    return isExecutableFile(candidate) ? candidate : QString();
}

bool ToolLocator::canStart(const QString& program)
{
    if (program.isEmpty())
        return false;
    // A name without a folder is looked up on the search path, as the
    // process start does.
    if (!program.contains(QLatin1Char('/')) && !program.contains(QLatin1Char('\\')))
        return !QStandardPaths::findExecutable(program).isEmpty();
    return isExecutableFile(program);
}
