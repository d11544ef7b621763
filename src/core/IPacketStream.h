#pragma once

#include "core/THash.h"
#include "core/TVariant.h"

#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QTextStream>
#include <cstdint>

template <typename T> class TList;
class Packet;
class QIODevice;

// A text stream over an event log that owns the header, the line counter and
// the text pool; a concrete stream turns one line into one event. The
// stream reads its device as UTF-8 whatever the locale, and does not own it.
class IPacketStream : public QTextStream
{
public:
    // Opens the stream on the device. With an empty `header` the first line
    // is read as the header (dropping '"' characters; its separator is ','
    // when the line has one, else ';' when it has one, else ','); a given
    // header is taken as it is with the separator ','.
    IPacketStream(QIODevice* device, const TList<QString>& header);
    virtual ~IPacketStream();

    virtual QSharedPointer<Packet> readPacket(const QString& line) = 0;

    // Counts the line and reads it (no length limit, without its line
    // ending; a trailing '\r' of a CRLF file is dropped too).
    QString readLine();
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
    // limit counts. The stream is rewound afterwards.
    int countLines(int limit);
    QList<QString> header() const { return m_header; }
    char separator() const { return m_separator; }

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
    mutable QByteArray m_bytes;
    mutable int m_bytesAt = 0;        // start of the unread bytes
    mutable bool m_deviceDone = false;
    mutable bool m_started = false;   // the first bytes were looked at
    mutable bool m_byStream = false;  // QTextStream decodes (UTF-16/32)
    QString m_line;                   // reused for ASCII lines
};
