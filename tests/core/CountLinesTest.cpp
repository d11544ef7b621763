#include "TestRegistry.h"
#include "TempWorkDir.h"

#include "core/CSVPacketStream.h"
#include "core/TList.h"

#include <QBuffer>
#include <QFile>
#include <QTextStream>
#include <QTextCodec>
#include <QtTest>

#include <cstring>
#include <functional>
#include <memory>

// The record count of an import: the lines after the header, at most a
// limit, exactly as reading them one by one through the stream counts them,
// and the stream back at the header afterwards.

namespace {

const int kBlock = 1 << 20;   // the size the count reads at a time

// Drops the warnings of a device that cannot seek while it lives.
class SeekWarningsDropped
{
public:
    SeekWarningsDropped() { previous = qInstallMessageHandler(&SeekWarningsDropped::handle); }
    ~SeekWarningsDropped() { qInstallMessageHandler(previous); }
    SeekWarningsDropped(const SeekWarningsDropped&) = delete;
    SeekWarningsDropped& operator=(const SeekWarningsDropped&) = delete;

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (type == QtWarningMsg && message.contains(QLatin1String("seek")))
            return;
        if (previous)
            previous(type, context, message);
    }
    static QtMessageHandler previous;
};

QtMessageHandler SeekWarningsDropped::previous = nullptr;

// A device that can only be read forward (a pipe, a socket).
class ForwardOnlyDevice : public QIODevice
{
public:
    explicit ForwardOnlyDevice(const QByteArray& bytes) : bytes(bytes) { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return bytes.size() - offset + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = qMin(maxSize, qint64(bytes.size()) - offset);
        if (n <= 0)
            return -1;
        std::memcpy(data, bytes.constData() + offset, std::size_t(n));
        offset += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray bytes;
    qint64 offset = 0;
};

QByteArray utf16(const QString& text, bool littleEndian)
{
    QByteArray bytes = littleEndian ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
    for (const QChar c : text) {
        const char lo = char(c.unicode() & 0xFF);
        const char hi = char(c.unicode() >> 8);
        bytes += littleEndian ? QByteArray(1, lo) + hi : QByteArray(1, hi) + lo;
    }
    return bytes;
}

// A header of `headerLength` bytes (its line end included) and then
// `lines` lines of `lineLength` bytes ending in `end`.
QByteArray lines(int headerLength, int lines, int lineLength, const QByteArray& end = "\n")
{
    QByteArray bytes(headerLength - 1, 'h');
    bytes += '\n';
    for (int i = 0; i < lines; ++i) {
        QByteArray line = QByteArray::number(i);
        line += QByteArray(lineLength - line.size() - end.size(), 'x');
        bytes += line + end;
    }
    return bytes;
}

// How reading the lines one by one counts them.
int countedOneByOne(IPacketStream& stream, int limit)
{
    stream.rewind();
    stream.readLine();
    int count = 0;
    while (count < limit && !stream.atEnd()) {
        stream.readLine();
        ++count;
    }
    stream.rewind();
    return count;
}

// Every line from the current place to the end.
QStringList linesOf(IPacketStream& stream)
{
    QStringList lines;
    while (!stream.atEnd())
        lines << stream.readLine();
    return lines;
}

// The UTF-16 (little-endian) bytes of a text, without a byte-order mark.
QByteArray utf16(const QString& text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

} // namespace

class CountLinesTest : public QObject
{
    Q_OBJECT

private slots:
    void asReadLineByLine_data();
    void asReadLineByLine();
    void cutCharacterAtTheEndIsKept();
    void linesAsDecodedText_data();
    void linesAsDecodedText();
    void lineLimit_data();
    void lineLimit();
    void headerBeyondItsLimit_data();
    void headerBeyondItsLimit();
    void cancelledCount();
};

void CountLinesTest::asReadLineByLine_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("expected");   // as read line by line; -1: not given

    const int all = 1000000;
    QTest::newRow("lone CR ends no line") << QByteArray("h\na\rb\nc") << all << 2;
    QTest::newRow("CRLF") << QByteArray("h\r\na\r\nb\r\n") << all << 2;
    QTest::newRow("CR at the very end") << QByteArray("h\na\r") << all << 1;
    QTest::newRow("blank lines") << QByteArray("h\n\na\n\nb\n") << all << 4;
    QTest::newRow("trailing blank lines") << QByteArray("h\na\n\n\n") << all << 3;
    QTest::newRow("trailing blank CRLF lines") << QByteArray("h\r\na\r\n\r\n") << all << 2;
    QTest::newRow("header only") << QByteArray("h\n") << all << 0;
    QTest::newRow("header only, no newline") << QByteArray("h") << all << 0;
    QTest::newRow("empty file") << QByteArray() << all << 0;
    QTest::newRow("one newline") << QByteArray("\n") << all << 0;
    QTest::newRow("two newlines") << QByteArray("\n\n") << all << 1;
    QTest::newRow("no trailing newline") << QByteArray("h\na\nb") << all << 2;
    QTest::newRow("limit below the count") << QByteArray("h\na\nb\nc\n") << 2 << 2;
    QTest::newRow("limit equal to the count") << QByteArray("h\na\nb\nc\n") << 3 << 3;
    QTest::newRow("limit stops before an unended line") << QByteArray("h\na\nb") << 1 << 1;
    QTest::newRow("limit 1 on an unended line") << QByteArray("h\na") << 1 << 1;
    QTest::newRow("limit 0") << QByteArray("h\na\nb\n") << 0 << 0;
    QTest::newRow("negative limit") << QByteArray("h\na\nb\n") << -3 << 0;
    QTest::newRow("NUL bytes") << QByteArray("h\na\0b\nc", 7) << all << 2;
    QTest::newRow("invalid UTF-8") << QByteArray("h\n\xff\n\xc3\nz\xe6\x97y\n\xed\xa0\x80\n") << all << 4;
    QTest::newRow("unended line, a cut character last") << QByteArray("h\nz\xe6\x97") << all << 1;
    QTest::newRow("byte-order mark starting a line") << QByteArray("h\n\xEF\xBB\xBF" "a\nb\n") << all << 2;
    // Whether a cut character alone makes a last line is the reader's
    // business; the count must agree with it.
    QTest::newRow("unended last line, a cut character") << QByteArray("h\na\n\xe6\x97") << all << -1;
    QTest::newRow("unended last line, a cut character, limit 2") << QByteArray("h\n\xc3") << 2 << -1;
    QTest::newRow("unended last line, a byte-order mark") << QByteArray("h\na\n\xEF\xBB\xBF") << all << -1;
    QTest::newRow("UTF-8 byte-order mark") << QByteArray("\xEF\xBB\xBFh\na\nb\n") << all << 2;
    // U+0A0A holds two '\n' bytes in UTF-16.
    const QString wide = QStringLiteral("h\n") + QChar(0x0A0A) + QStringLiteral("\nb\r\nc") + QChar(0x0D0A);
    QTest::newRow("UTF-16 LE with byte-order mark") << utf16(wide, true) << all << 3;
    QTest::newRow("UTF-16 BE with byte-order mark") << utf16(wide, false) << all << 3;
    QTest::newRow("UTF-16 LE, limit 1") << utf16(wide, true) << 1 << 1;

    // Lines across the blocks the count reads.
    const QByteArray across = lines(2, 15000, 100);
    QTest::newRow("line across the block end") << across << all << 15000;
    QTest::newRow("limit in the second block") << across << 14990 << 14990;
    QTest::newRow("limit in the first block") << across << 10 << 10;
    // 76 + 10485 * 100 bytes: the 10485th line ends on the block's last byte.
    QTest::newRow("newline on the block's last byte") << lines(76, 12000, 100) << all << 12000;
    QTest::newRow("exactly one block") << lines(76, 10485, 100) << all << 10485;
    QTest::newRow("unended line starting a block") << lines(76, 10485, 100) + "tail" << all << 10486;
    QTest::newRow("CR ends a block, LF starts the next") << lines(77, 11000, 100, "\r\n") << all << 11000;
    QTest::newRow("lone CR ends a block") << lines(77, 10485, 100, "\r\n").replace(kBlock, 1, "y") + "z\n"
                                          << all << 10485;
    QByteArray longHeader(kBlock + kBlock / 2, 'h');
    QTest::newRow("header longer than a block") << longHeader + "\na\nb\nc" << all << 3;
    QTest::newRow("header longer than a block, alone") << longHeader << all << 0;
}

void CountLinesTest::asReadLineByLine()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, limit);
    QFETCH(int, expected);

    TempWorkDir dir;
    QFile file(QStringLiteral("log.csv"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
    file.close();

    using Device = std::function<std::unique_ptr<QIODevice>()>;
    const Device fromFile = [] {
        auto f = std::make_unique<QFile>(QStringLiteral("log.csv"));
        f->open(QIODevice::ReadOnly);
        return std::unique_ptr<QIODevice>(std::move(f));
    };
    const Device fromMemory = [&bytes] {
        auto b = std::make_unique<QBuffer>();
        b->setData(bytes);
        b->open(QIODevice::ReadOnly);
        return std::unique_ptr<QIODevice>(std::move(b));
    };

    for (const Device& open : {fromFile, fromMemory}) {
        const auto referenceDevice = open();
        CSVPacketStream reference(referenceDevice.get(), TList<QString>());
        const int byLines = countedOneByOne(reference, limit);
        if (expected >= 0)
            QCOMPARE(byLines, expected);
        const QStringList everyLine = linesOf(reference);

        const auto device = open();
        CSVPacketStream stream(device.get(), TList<QString>());
        // Somewhere in the log, as after a preview.
        stream.readLine();
        QCOMPARE(stream.countLines(limit), byLines);
        // Back at the header, and every line there as before.
        QCOMPARE(stream.lineNumber(), 0);
        QCOMPARE(linesOf(stream), everyLine);
        // Counting again, after reading to the end, gives the same.
        QCOMPARE(stream.countLines(limit), byLines);
        QCOMPARE(stream.readLine(), everyLine.value(0));
    }

    // A device read only forward cannot be counted ahead: the count reads
    // it through the stream, as the line by line count does.
    {
        ForwardOnlyDevice referenceDevice(bytes);
        ForwardOnlyDevice device(bytes);
        SeekWarningsDropped quiet;
        CSVPacketStream reference(&referenceDevice, TList<QString>());
        CSVPacketStream stream(&device, TList<QString>());
        const int byLines = countedOneByOne(reference, limit);
        QCOMPARE(stream.countLines(limit), byLines);
    }
}

void CountLinesTest::linesAsDecodedText_data()
{
    asReadLineByLine_data();
}

void CountLinesTest::linesAsDecodedText()
{
    // The lines themselves: those a UTF-8 text stream reads (a byte-order
    // mark picks the encoding), each without one trailing '\r'.
    QFETCH(QByteArray, bytes);
    if (QByteArray(QTest::currentDataTag()).contains("cut character"))
        QSKIP("the text stream drops a cut last character; see cutCharacterAtTheEndIsKept");
    QBuffer plainDevice(&bytes);
    QVERIFY(plainDevice.open(QIODevice::ReadOnly));
    QTextStream plain(&plainDevice);
    plain.setCodec("UTF-8");
    QStringList expected;
    while (!plain.atEnd()) {
        QString line = plain.readLine();
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        expected << line;
    }

    QBuffer device(&bytes);
    QVERIFY(device.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&device, TList<QString>());
    stream.rewind();
    const QStringList got = linesOf(stream);
    QCOMPARE(got, expected);
}

void CountLinesTest::cutCharacterAtTheEndIsKept()
{
    // A text stream decodes the bytes of a character cut off by the end of
    // the file to nothing; the log's last line keeps them as replacement
    // characters instead, and the count agrees.
    QByteArray bytes("h\na\n\xE6\x97");
    QBuffer device(&bytes);
    QVERIFY(device.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&device, TList<QString>());
    QCOMPARE(stream.countLines(100), 2);
    stream.rewind();
    const QStringList expected = {QStringLiteral("h"), QStringLiteral("a"), QString(2, QChar(0xFFFD))};
    QCOMPARE(linesOf(stream), expected);
}

void CountLinesTest::lineLimit_data()
{
    QTest::addColumn<QByteArray>("bytes");     // after the header line "h"
    QTest::addColumn<int>("limit");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QList<bool>>("cut");

    const QString e = QString::fromUtf8("\xC3\xA9");
    QTest::newRow("at the limit") << QByteArray("abcd\nxy\n") << 4 << QStringList{"abcd", "xy"}
                                  << QList<bool>{false, false};
    QTest::newRow("one beyond") << QByteArray("abcde\nxy\n") << 4 << QStringList{"abcd", "xy"}
                                << QList<bool>{true, false};
    QTest::newRow("crlf at the limit") << QByteArray("abcd\r\nxy") << 5 << QStringList{"abcd", "xy"}
                                       << QList<bool>{false, false};
    QTest::newRow("last line beyond") << QByteArray("xy\nabcdefgh") << 3 << QStringList{"xy", "abc"}
                                      << QList<bool>{false, true};
    // A character that does not fit whole is left out.
    QTest::newRow("character across the limit") << QByteArray("ab\xC3\xA9" "cd\nz\n") << 3
                                                << QStringList{"ab", "z"} << QList<bool>{true, false};
    QTest::newRow("character at the limit") << QByteArray("a\xC3\xA9" "cd\nz\n") << 3
                                            << QStringList{"a" + e, "z"} << QList<bool>{true, false};
    // Far beyond the stream's chunks: the rest is passed over, not kept.
    QTest::newRow("megabytes") << (QByteArray(3 << 20, 'x') + "\nz") << 10
                               << QStringList{QString(10, 'x'), "z"} << QList<bool>{true, false};
    // A text the text stream decodes counts characters.
    QTest::newRow("utf-16") << utf16(QString(200000, 'y') + "\nz\n") << 5
                            << QStringList{"yyyyy", "z"} << QList<bool>{true, false};
}

void CountLinesTest::lineLimit()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, limit);
    QFETCH(QStringList, lines);
    QFETCH(QList<bool>, cut);

    QByteArray all = QTest::currentDataTag() == QByteArray("utf-16")
                         ? QByteArray("\xFF\xFE") + utf16(QStringLiteral("h\n")) + bytes
                         : "h\n" + bytes;
    QBuffer device(&all);
    QVERIFY(device.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&device, TList<QString>());
    QCOMPARE(stream.header(), QList<QString>{"h"});
    stream.setLineLimit(limit);
    QStringList got;
    QList<bool> gotCut;
    while (!stream.atEnd()) {
        got << stream.readLine();
        gotCut << stream.lineCut();
    }
    QCOMPARE(got, lines);
    QCOMPARE(gotCut, cut);
    // Counting keeps no line, whatever the limit.
    QCOMPARE(stream.countLines(100), lines.size());
    QCOMPARE(stream.lineLimit(), limit);
}

void CountLinesTest::headerBeyondItsLimit_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<bool>("cut");
    QTest::newRow("at the limit") << QByteArray(IPacketStream::HEADER_LIMIT, 'a') << false;
    QTest::newRow("beyond") << QByteArray(IPacketStream::HEADER_LIMIT + 1, 'a') << true;
    QTest::newRow("carriage returns") << QByteArray("a,b\r1,2\r").repeated(IPacketStream::HEADER_LIMIT / 4)
                                      << true;
}

void CountLinesTest::headerBeyondItsLimit()
{
    QFETCH(QByteArray, first);
    QFETCH(bool, cut);
    QByteArray bytes = first + "\n1\n";
    QBuffer device(&bytes);
    QVERIFY(device.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&device, TList<QString>());
    QCOMPARE(stream.headerCut(), cut);
    QCOMPARE(stream.header().isEmpty(), cut);
    // The first bytes read, less the line end's carriage returns.
    QVERIFY(stream.headerPrefix().size() <= (cut ? IPacketStream::HEADER_LIMIT : 0));
    QVERIFY(stream.headerPrefix().size() >= (cut ? IPacketStream::HEADER_LIMIT - 2 : 0));
    // Reading goes on after the header line, however long it was, and
    // lines are read whole again.
    QCOMPARE(stream.lineLimit(), 0);
    QCOMPARE(stream.readLine(), QStringLiteral("1"));
    QVERIFY(stream.atEnd());
}

void CountLinesTest::cancelledCount()
{
    QByteArray bytes = "h\n" + QByteArray("1\n").repeated(1000);
    QBuffer device(&bytes);
    QVERIFY(device.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&device, TList<QString>());
    std::atomic<bool> cancelled{false};
    QCOMPARE(stream.countLines(100000, &cancelled), 1000);
    cancelled = true;
    QCOMPARE(stream.countLines(100000, &cancelled), 0);
}

LUMIVANE_TEST(CountLinesTest)
#include "CountLinesTest.moc"
