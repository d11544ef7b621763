#include "core/IPacketStream.h"

#include "core/RecordSplitter.h"
#include "core/TList.h"

#include <cstring>

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

int IPacketStream::countLines(int limit)
{
    rewind();
    QIODevice* d = device();
    if (!d || limit <= 0)
        return 0;
    // Line ends are '\n' bytes in UTF-8 (a lone '\r' ends no line), so they
    // are counted in the raw bytes without decoding the text. A device that
    // cannot be read again, or a text the stream decodes as UTF-16 or
    // UTF-32 (its byte-order mark), is counted line by line instead.
    bool raw = !d->isSequential();
    if (raw) {
        const QByteArray start = d->peek(4);
        raw = !start.startsWith("\xFF\xFE") && !start.startsWith("\xFE\xFF")
              && !start.startsWith(QByteArray("\x00\x00\xFE\xFF", 4));
    }
    int count = 0;
    if (!raw) {
        readLine();
        while (count < limit && !atEnd()) {
            readLine();
            ++count;
        }
        rewind();
        return count;
    }

    bool header = true;
    bool pending = false;   // bytes after the last line end
    QByteArray block;
    while (count < limit) {
        block = d->read(1 << 20);
        if (block.isEmpty())
            break;
        const char* p = block.constData();
        const char* end = p + block.size();
        if (header) {
            const void* nl = std::memchr(p, '\n', std::size_t(end - p));
            if (!nl)
                continue;
            header = false;
            p = static_cast<const char*>(nl) + 1;
        }
        while (p < end && count < limit) {
            const void* nl = std::memchr(p, '\n', std::size_t(end - p));
            if (!nl)
                break;
            ++count;
            pending = false;
            p = static_cast<const char*>(nl) + 1;
        }
        if (p < end)
            pending = true;
    }
    if (!header && pending && count < limit)
        ++count;
    rewind();
    return count;
}
