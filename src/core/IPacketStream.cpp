#include "core/IPacketStream.h"

#include "core/RecordSplitter.h"
#include "core/TList.h"

IPacketStream::IPacketStream(QIODevice* device, const TList<QString>& header)
    : QTextStream(device)
    , pool(false)
{
    // Logs are UTF-8 whatever the locale says; invalid bytes decode to
    // replacement characters instead of failing the read.
    setCodec("UTF-8");
    pool.insert(QString(), TVariant());

    if (!header.isEmpty()) {
        m_separator = ',';
        m_header.reserve(header.size());
        for (const QString& name : header.items)
            m_header.append(name);
        return;
    }

    if (!QTextStream::device())
        return;
    const QString line = readLine();
    QString unquoted = line;
    unquoted.remove(QLatin1Char('"'));
    if (unquoted.contains(QLatin1Char(',')))
        m_separator = ',';
    else if (unquoted.contains(QLatin1Char(';')))
        m_separator = ';';
    else
        m_separator = ',';
    // Split like the data lines, so that a quoted name holding the separator
    // stays one column in both.
    if (!unquoted.isEmpty())
        m_header = RecordSplitter::split(line, m_separator);
}

IPacketStream::~IPacketStream() = default;

QString IPacketStream::readLine()
{
    ++m_lineNumber;
    if (!device())
        return QString();
    QString line = QTextStream::readLine();
    // The stream drops "\r\n" itself; a lone '\r' before the end of the file
    // would otherwise stick to the last field.
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

void IPacketStream::rewind()
{
    seek(0);
    m_lineNumber = 0;
}
