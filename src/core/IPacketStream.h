#pragma once

#include "core/THash.h"
#include "core/TVariant.h"

#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QTextStream>
#include <atomic>
#include <cstdint>

template <typename T> class TList;
class Packet;
class QIODevice;

// A text stream over an event log that owns the header, the line counter and
// the text pool; a concrete stream turns one line into one event. The
// stream reads its device as UTF-8 whatever the locale, and does not own it.
//
// A header line longer than HEADER_LIMIT bytes is not read whole: the stream
// then has no header and headerCut() says so. Data lines are read whole
// unless setLineLimit() sets a limit for readLine(). A line beyond a limit
// gives its first bytes only (cut before a character that would not fit);
// the rest of it is passed over without being kept.
class IPacketStream : public QTextStream
{
public:
    // Opens the stream on the device. With an empty `header` the first line
    // is read as the header (dropping '"' characters; its separator is ','
    // when the line has one, else ';' when it has one, else ','); a given
    // header is taken as it is with the separator ','.
    IPacketStream(QIODevice* device, const TList<QString>& header);
    virtual ~IPacketStream();

    // The separator of a log whose header line is `header`: ',' when the
    // line, its '"' characters dropped, has one, else ';' when it has one,
    // else ','.
    static char separatorOf(const QString& header);

    // The bytes of the header line read at most.
    static constexpr int HEADER_LIMIT = 4 << 20;

    virtual QSharedPointer<Packet> readPacket(const QString& line) = 0;

    // Counts the line and reads it (up to the line limit, without its line
    // ending; a trailing '\r' of a CRLF file is dropped too).
    QString readLine();
    // The most bytes readLine() gives of a line (0, the default: no limit).
    // In a text the stream decodes itself (UTF-16, UTF-32) the limit counts
    // characters.
    void setLineLimit(int bytes) { m_lineLimit = qMax(bytes, 0); }
    int lineLimit() const { return m_lineLimit; }
    // Whether the last line readLine() gave was cut at the limit.
    bool lineCut() const { return m_lineCut; }
    // Whether the header line was longer than HEADER_LIMIT (the stream then
    // has no header); the first bytes of it that were read are in
    // headerPrefix().
    bool headerCut() const { return m_headerCut; }
    QString headerPrefix() const { return m_headerPrefix; }
    // Whether every line has been read.
    bool atEnd() const;
    // Whether the stream cuts the lines from the device's bytes itself (a
    // UTF-8 text on a device that can be read again), so that
    // readLineBlock() may be used.
    bool readsBytes() const;
    // Appends the raw bytes of up to `maxLines` further lines to `block`,
    // each with its line end (the last line of the text may have none), and
    // counts them as read; returns their number (0 at the end). The lines
    // are the ones readLine() would give, once decoded with decodeLine().
    int readLineBlock(int maxLines, QByteArray& block);
    // The text of one UTF-8 line of such a block, given without its '\n',
    // as readLine() gives it. ASCII is widened into `buffer`, which the
    // result shares: let go of it before the next call to reuse its room.
    static QString decodeLine(const char* bytes, int size, QString& buffer);
    int lineNumber() const { return m_lineNumber; }
    // Back to the start of the device; the next readLine() returns the
    // header line again.
    void rewind();
    // The number of lines after the first one, at most `limit`: what
    // rewinding, reading a line and then reading lines until the end or the
    // limit counts. The stream is rewound afterwards. When `cancelled` is
    // set meanwhile, the count stops early.
    int countLines(int limit, const std::atomic<bool>* cancelled = nullptr);
    QList<QString> header() const { return m_header; }
    char separator() const { return m_separator; }
    // Reads the lines at `separator` from now on (a stream given its header).
    void setSeparator(char separator) { m_separator = separator; }

    // Text pool shared by every value read through this stream: equal texts
    // share one stored string. Starts with the empty text mapped to none.
    THash<QString, TVariant> pool;

protected:
    QList<QString> m_header;
    int32_t m_lineNumber = 0;
    char m_separator = ',';

private:
    // UTF-8 lines are cut from the device's bytes here and decoded one by
    // one (a log is read a line at a time, and most lines are ASCII); a
    // text with a UTF-16 or UTF-32 byte-order mark, or a device that can
    // only be read forward, is read by the text stream itself.
    bool fill() const;
    void start() const;
    // The next line of a text the text stream decodes.
    QString readDecodedLine();
    // Passes over the rest of a line of `m_bytes` beyond the limit: its
    // first `keep` bytes from `m_bytesAt` on are returned.
    QByteArray skipLongLine(int keep);
    mutable QByteArray m_bytes;
    mutable int m_bytesAt = 0;        // start of the unread bytes
    mutable bool m_deviceDone = false;
    mutable bool m_started = false;   // the first bytes were looked at
    mutable bool m_byStream = false;  // QTextStream decodes (UTF-16/32)
    QString m_line;                   // reused for ASCII lines
    QString m_decoded;                // decoded text not yet cut into lines
    int m_decodedAt = 0;              // start of its unread part
    int m_lineLimit = 0;
    bool m_lineCut = false;
    bool m_headerCut = false;
    QString m_headerPrefix;
};
