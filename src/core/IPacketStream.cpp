#include "core/IPacketStream.h"

#include "core/RecordSplitter.h"
#include "core/TList.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
    m_lineLimit = HEADER_LIMIT;
    const QString line = readLine();
    m_lineLimit = 0;
    if (m_lineCut) {
        m_headerCut = true;
        m_headerPrefix = line;
        return;
    }
    m_separator = separatorOf(line);
    // Split like the data lines, so that a quoted name holding the separator
    // stays one column in both.
    if (line.size() > line.count(QLatin1Char('"')))
        m_header = RecordSplitter::split(line, m_separator);
}

IPacketStream::~IPacketStream() = default;

char IPacketStream::separatorOf(const QString& header)
{
    QString unquoted = header;
    unquoted.remove(QLatin1Char('"'));
    if (unquoted.contains(QLatin1Char(',')))
        return ',';
    if (unquoted.contains(QLatin1Char(';')))
        return ';';
    return ',';
}

QString IPacketStream::readLine()
{
    ++m_lineNumber;
    m_lineCut = false;
    if (!device())
        return QString();
    start();
    if (m_byStream) {
        QString line = readDecodedLine();
        // The '\r' of a "\r\n", and one more, as decodeLine() drops them.
        for (int k = 0; k < 2 && line.endsWith(QLatin1Char('\r')); ++k)
            line.chop(1);
        return line;
    }
    int scanned = 0;   // bytes after m_bytesAt known to hold no line end
    for (;;) {
        const char* begin = m_bytes.constData() + m_bytesAt;
        const int size = m_bytes.size() - m_bytesAt;
        if (const void* nl = std::memchr(begin + scanned, '\n', std::size_t(size - scanned))) {
            const int length = int(static_cast<const char*>(nl) - begin);
            if (m_lineLimit > 0 && length > m_lineLimit) {
                const QByteArray kept = skipLongLine(m_lineLimit);
                return decodeLine(kept.constData(), kept.size(), m_line);
            }
            m_bytesAt += length + 1;
            return decodeLine(begin, length, m_line);
        }
        if (m_lineLimit > 0 && size > m_lineLimit) {
            const QByteArray kept = skipLongLine(m_lineLimit);
            return decodeLine(kept.constData(), kept.size(), m_line);
        }
        scanned = size;
        if (!fill()) {
            // The last line, without a line end.
            m_bytesAt = m_bytes.size();
            return decodeLine(m_bytes.constData() + (m_bytes.size() - size), size, m_line);
        }
    }
}

QByteArray IPacketStream::skipLongLine(int keep)
{
    m_lineCut = true;
    const uchar* begin = reinterpret_cast<const uchar*>(m_bytes.constData()) + m_bytesAt;
    // Cut before a character that would not fit whole.
    int cut = keep;
    for (int back = 0; back < 3 && cut > 0 && (begin[cut] & 0xC0) == 0x80; ++back)
        --cut;
    QByteArray kept(reinterpret_cast<const char*>(begin), cut);
    m_bytesAt += keep;
    for (;;) {
        const char* from = m_bytes.constData() + m_bytesAt;
        const int size = m_bytes.size() - m_bytesAt;
        if (const void* nl = std::memchr(from, '\n', std::size_t(size))) {
            m_bytesAt += int(static_cast<const char*>(nl) - from) + 1;
            return kept;
        }
        m_bytesAt = m_bytes.size();
        if (!fill())
            return kept;
    }
}

QString IPacketStream::readDecodedLine()
{
    // The decoded text is cut at '\n' here (as the text stream would), so
    // that a line beyond the limit is passed over without being kept.
    const int chunk = 1 << 16;
    int scanned = m_decodedAt;   // known to hold no line end before this
    QString kept;                // the first characters of a line beyond the limit
    bool cut = false;
    auto cutHere = [&]() {
        cut = true;
        m_lineCut = true;
        kept = m_decoded.mid(m_decodedAt, m_lineLimit);
        if (kept.at(kept.size() - 1).isHighSurrogate())
            kept.chop(1);
    };
    for (;;) {
        const int nl = m_decoded.indexOf(QLatin1Char('\n'), scanned);
        if (nl >= 0) {
            if (!cut && m_lineLimit > 0 && nl - m_decodedAt > m_lineLimit)
                cutHere();
            QString line = cut ? kept : m_decoded.mid(m_decodedAt, nl - m_decodedAt);
            m_decodedAt = nl + 1;
            return line;
        }
        if (!cut && m_lineLimit > 0 && m_decoded.size() - m_decodedAt > m_lineLimit)
            cutHere();
        if (cut)
            m_decodedAt = m_decoded.size();
        // Keep the unread part and decode the next chunk behind it.
        m_decoded.remove(0, m_decodedAt);
        m_decodedAt = 0;
        scanned = m_decoded.size();
        const QString more = QTextStream::read(chunk);
        if (more.isEmpty()) {
            // The last line, without a line end.
            QString line = cut ? kept : m_decoded;
            m_decoded.clear();
            return line;
        }
        m_decoded += more;
    }
}

bool IPacketStream::atEnd() const
{
    if (!device())
        return true;
    start();
    if (m_byStream)
        return m_decodedAt >= m_decoded.size() && QTextStream::atEnd();
    return m_bytesAt >= m_bytes.size() && !fill();
}

bool IPacketStream::readsBytes() const
{
    if (!device())
        return false;
    start();
    return !m_byStream;
}

int IPacketStream::readLineBlock(int maxLines, QByteArray& block)
{
    if (maxLines <= 0 || !readsBytes())
        return 0;
    int lines = 0;
    int scanned = 0;   // bytes after m_bytesAt known to hold no line end
    while (lines < maxLines) {
        const char* begin = m_bytes.constData() + m_bytesAt;
        const char* end = m_bytes.constData() + m_bytes.size();
        const char* p = begin;
        const char* from = begin + scanned;
        while (lines < maxLines) {
            const void* nl = std::memchr(from, '\n', std::size_t(end - from));
            if (!nl)
                break;
            p = static_cast<const char*>(nl) + 1;
            from = p;
            ++lines;
        }
        block.append(begin, int(p - begin));
        m_bytesAt += int(p - begin);
        scanned = int(end - p);
        if (lines >= maxLines)
            break;
        if (!fill()) {
            // The last line, without a line end.
            if (m_bytesAt < m_bytes.size()) {
                block.append(m_bytes.constData() + m_bytesAt, m_bytes.size() - m_bytesAt);
                m_bytesAt = m_bytes.size();
                ++lines;
            }
            break;
        }
    }
    m_lineNumber += lines;
    return lines;
}

void IPacketStream::start() const
{
    if (m_started)
        return;
    m_started = true;
    QIODevice* d = device();
    if (d->isSequential()) {
        m_byStream = true;
        return;
    }
    const qint64 at = d->pos();
    fill();
    const QByteArray& b = m_bytes;
    if (b.startsWith("\xFF\xFE") || b.startsWith("\xFE\xFF")
        || b.startsWith(QByteArray("\x00\x00\xFE\xFF", 4))) {
        // The text stream recognises the mark and decodes the text itself.
        m_byStream = true;
        m_bytes.clear();
        m_bytesAt = 0;
        d->seek(at);
        return;
    }
    if (b.startsWith("\xEF\xBB\xBF"))
        m_bytesAt = 3;
}

bool IPacketStream::fill() const
{
    if (m_deviceDone)
        return false;
    if (m_bytesAt > 0) {
        m_bytes.remove(0, m_bytesAt);
        m_bytesAt = 0;
        // The room a long line took goes once the line is read.
        if (m_bytes.capacity() > (4 << 20) && m_bytes.size() < (1 << 20))
            m_bytes.squeeze();
    }
    const int chunk = 1 << 16;
    const int old = m_bytes.size();
    m_bytes.resize(old + chunk);
    const qint64 n = device()->read(m_bytes.data() + old, chunk);
    if (n <= 0) {
        m_bytes.resize(old);
        m_deviceDone = true;
        return false;
    }
    m_bytes.resize(old + int(n));
    return true;
}

namespace {

// The text of a line that is not plain ASCII, as the text stream decodes
// it: a byte-order mark is dropped only at the start of the whole text, so
// the ones a line starts with stay (QString::fromUtf8 would drop the first).
QString decodeUtf8(const char* bytes, int size)
{
    int marks = 0;
    while (size - 3 * marks >= 3 && std::memcmp(bytes + 3 * marks, "\xEF\xBB\xBF", 3) == 0)
        ++marks;
    if (marks == 0)
        return QString::fromUtf8(bytes, size);
    return QString(marks, QChar(0xFEFF)) + QString::fromUtf8(bytes + 3 * marks, size - 3 * marks);
}

} // namespace

QString IPacketStream::decodeLine(const char* bytes, int size, QString& buffer)
{
    // The text stream drops the '\r' of a "\r\n" (or of the very end);
    // a second one would stick to the last field.
    for (int k = 0; k < 2 && size > 0 && bytes[size - 1] == '\r'; ++k)
        --size;
    // ASCII is widened into the buffer of the previous line, which its
    // reader has normally let go of by now; anything else is decoded.
    buffer.resize(size);
    ushort* out = reinterpret_cast<ushort*>(buffer.data());
    int i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= size; i += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        if (_mm_movemask_epi8(chunk))
            return decodeUtf8(bytes, size);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(chunk, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(chunk, zero));
    }
#endif
    for (; i < size; ++i) {
        const uchar c = uchar(bytes[i]);
        if (c >= 0x80)
            return decodeUtf8(bytes, size);
        out[i] = c;
    }
    return buffer;
}

void IPacketStream::rewind()
{
    seek(0);
    m_lineNumber = 0;
    m_bytes.clear();
    m_bytesAt = 0;
    m_deviceDone = false;
    m_started = false;
    m_byStream = false;
    m_decoded.clear();
    m_decodedAt = 0;
}

int IPacketStream::countLines(int limit, const std::atomic<bool>* cancelled)
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
        // Only the line ends count: the lines themselves are not kept.
        const int kept = m_lineLimit;
        m_lineLimit = 1;
        readLine();
        while (count < limit && !atEnd()) {
            if (cancelled && (count & 1023) == 0 && cancelled->load(std::memory_order_relaxed))
                break;
            readLine();
            ++count;
        }
        m_lineLimit = kept;
        rewind();
        return count;
    }

    bool header = true;
    bool pending = false;   // bytes after the last line end
    QByteArray block;
    while (count < limit) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            break;
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
