#include "TestRegistry.h"
#include "TempWorkDir.h"
#include "PacketRows.h"

#include "core/CSVPacketStream.h"
#include "core/Packet.h"
#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QBuffer>
#include <QFile>
#include <QtTest>

namespace {

// Reads every event of a fixture file; the texts of each event's columns.
QList<QStringList> readAll(const QString& path, QStringList* header = nullptr, char* separator = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    CSVPacketStream stream(&file, TList<QString>());
    if (header)
        *header = stream.header();
    if (separator)
        *separator = stream.separator();
    QList<QStringList> events;
    while (!stream.atEnd())
        events.append(PacketRows::texts(stream.readPacket(stream.readLine())));
    return events;
}

} // namespace

class CSVPacketStreamTest : public QObject
{
    Q_OBJECT
private slots:
    void header_data();
    void header();
    void givenHeader();
    void events_data();
    void events();
    void presentValues();
    void oddNumbers();
    void fieldsParseAsValues_data();
    void fieldsParseAsValues();
    void undecodableBytes();
    void runningNumbers();
    void lineNumberAndRewind();
    void poolSharesEqualTexts();
    void hugeLine();
    void noDevice();
};

void CSVPacketStreamTest::header_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("separator");

    QTest::newRow("quoted names, semicolons") << "quoted_semicolon_header.csv" << QStringList{"a", "b", "c"} << ";";
    QTest::newRow("comma wins over semicolon") << "mixed_separator_header.csv" << QStringList{"a", "b;c"} << ",";
    QTest::newRow("semicolon log") << "semicolon_header.csv"
                                   << QStringList{"frame.time_epoch", "ip.src", "ip.dst"} << ";";
    QTest::newRow("CRLF: clean last name") << "crlf.csv" << QStringList{"time", "src", "info"} << ",";
    QTest::newRow("byte order mark dropped") << "utf8_bom.csv" << QStringList{"time", "src"} << ",";
    QTest::newRow("empty file") << "empty.csv" << QStringList{} << ",";
    QTest::newRow("header only") << "header_only.csv" << QStringList{"time", "src", "dst"} << ",";
}

void CSVPacketStreamTest::header()
{
    QFETCH(QString, file);
    QFETCH(QStringList, names);
    QFETCH(QString, separator);

    QFile f(testDataPath("csv/" + file));
    QVERIFY(f.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&f, TList<QString>());
    QCOMPARE(stream.header(), names);
    QCOMPARE(QString(QLatin1Char(stream.separator())), separator);
    QCOMPARE(stream.lineNumber(), 1);
    QCOMPARE(stream.packetCount, 0);
}

void CSVPacketStreamTest::givenHeader()
{
    // With a header given, the first line is an event and ',' separates.
    QFile f(testDataPath("csv/semicolon_header.csv"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&f, TList<QString>(QList<QString>{"t", "x"}));
    QCOMPARE(stream.header(), (QStringList{"t", "x"}));
    QCOMPARE(stream.separator(), ',');
    QCOMPARE(stream.lineNumber(), 0);
    const QString first = stream.readLine();
    QCOMPARE(first, QStringLiteral("frame.time_epoch;ip.src;ip.dst"));
    QCOMPARE(PacketRows::texts(stream.readPacket(first)), (QStringList{"0", ""}));
}

void CSVPacketStreamTest::events_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QList<QStringList>>("expected");

    // Data lines split at the header's separator, not always at ','.
    QTest::newRow("semicolon data") << "quoted_semicolon_header.csv"
                                    << QList<QStringList>{{"0", "", ""}, {"1", "y", "2"}};
    QTest::newRow("semicolon log, quoted field") << "semicolon_header.csv"
                                                 << QList<QStringList>{{"0", "10.0.0.1", "10.0.0.2"},
                                                                       {"1", "10.0.0.3", "10.0.0.4"}};
    QTest::newRow("CRLF") << "crlf.csv" << QList<QStringList>{{"0", "a", "x"}, {"1", "b", "y"}};
    QTest::newRow("quoted separator kept") << "quoted_separator.csv"
                                           << QList<QStringList>{{"0", "a", "Seq=1, Ack=1"},
                                                                 {"1", "b", "plain"},
                                                                 {"2", "c", "open"}};
    QTest::newRow("short rows padded") << "short_rows.csv"
                                       << QList<QStringList>{{"0", "a", "b", "60"},
                                                             {"1", "a", "", ""},
                                                             {"2", "", "", ""},
                                                             {"3", "a", "b", ""}};
    QTest::newRow("long rows cut") << "long_rows.csv" << QList<QStringList>{{"0", "a"}, {"1", "b"}};
    QTest::newRow("absent fields") << "absent_fields.csv" << QList<QStringList>{{"0", "", "5"}, {"1", "", ""}};
    QTest::newRow("no final newline") << "no_final_newline.csv" << QList<QStringList>{{"0", "a"}, {"1", "b"}};
    QTest::newRow("NUL bytes") << "nul_bytes.csv"
                               << QList<QStringList>{{"0", QString("a") + QChar(0) + "b", "5"},
                                                     {"1", QString(QChar(0)), "6"}};
    QTest::newRow("header only") << "header_only.csv" << QList<QStringList>{};
    QTest::newRow("empty file") << "empty.csv" << QList<QStringList>{};
}

void CSVPacketStreamTest::events()
{
    QFETCH(QString, file);
    QFETCH(QList<QStringList>, expected);
    QCOMPARE(readAll(testDataPath("csv/" + file)), expected);
}

void CSVPacketStreamTest::presentValues()
{
    // x,,5 after three names: three columns, two of them present.
    QByteArray bytes("a,b,c\nx,,5\nnoseparator\n");
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&buffer, TList<QString>());
    const QSharedPointer<Packet> p = stream.readPacket(stream.readLine());
    QCOMPARE(p->baseCount, 3);
    QCOMPARE(p->presentCount, 2);
    QCOMPARE(p->get(0), TVariant(0));
    QVERIFY(!p->get(1).isValid());
    QCOMPARE(p->get(2), TVariant(5));
    QCOMPARE(p->conversationId, -1);
    const QSharedPointer<Packet> q = stream.readPacket(stream.readLine());
    QCOMPARE(q->baseCount, 3);
    QCOMPARE(q->presentCount, 1);
    QCOMPARE(q->get(0), TVariant(1));
}

void CSVPacketStreamTest::oddNumbers()
{
    QFile f(testDataPath("csv/odd_numbers.csv"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&f, TList<QString>());
    QList<TVariant> values;
    while (!stream.atEnd())
        values.append(stream.readPacket(stream.readLine())->get(1));
    QCOMPARE(values.size(), 7);
    // Out of the double range, not a number, infinities: kept as text.
    QCOMPARE(int(values[0].type), int(TVariant::String));
    QCOMPARE(values[0].toString(), QStringLiteral("1e400"));
    QCOMPARE(int(values[1].type), int(TVariant::Double));
    QCOMPARE(values[1].toDouble(), 1234567890123456789012345.0);
    QCOMPARE(int(values[2].type), int(TVariant::String));
    QCOMPARE(values[2].toString(), QStringLiteral("nan"));
    QCOMPARE(int(values[3].type), int(TVariant::String));
    QCOMPARE(int(values[4].type), int(TVariant::String));
    QCOMPARE(values[5], TVariant(7.0));
    QCOMPARE(int(values[6].type), int(TVariant::Double));
    QCOMPARE(values[6].toDouble(), 2147483648.0);
}

void CSVPacketStreamTest::fieldsParseAsValues_data()
{
    QTest::addColumn<QString>("field");
    const char* texts[] = {"7", "-3", "+7", "007", "-0", "7.", ".5", "1e5", "1E5", "1e+5", "1e-400",
                           "2147483648", "-2147483649", "1e", "e5", "e", "-", "+", ".", "--1",
                           "1.2.3", "10.0.0.1", "1-2", "true", "false", "FALSE", "nan", "inf",
                           "-inf", " 5", "x"};
    for (const char* t : texts)
        QTest::newRow(t) << QString::fromLatin1(t);
}

void CSVPacketStreamTest::fieldsParseAsValues()
{
    // Every field becomes exactly the value the text constructor makes
    // with the stream's pool, and only strings enter the pool.
    QFETCH(QString, field);
    QByteArray bytes = "h,v\n0," + field.toUtf8() + "\n";
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&buffer, TList<QString>());
    const TVariant got = stream.readPacket(stream.readLine())->get(1);

    THash<QString, TVariant> pool;
    pool.insert(QString(), TVariant());
    const TVariant expected(field, true, &pool);
    QCOMPARE(int(got.type), int(expected.type));
    QCOMPARE(got.toString(), expected.toString());
    if (expected.type == TVariant::String) {
        QVERIFY(stream.pool.contains(field));
        QCOMPARE(stream.pool.value(field).text.constData(), got.text.constData());
    } else {
        QVERIFY(!stream.pool.contains(field));
    }
}

void CSVPacketStreamTest::undecodableBytes()
{
    // Bytes that are not UTF-8 become replacement characters; the rest of
    // the field, the line and the following lines survive.
    const QList<QStringList> events = readAll(testDataPath("csv/invalid_utf8.csv"));
    QCOMPARE(events.size(), 3);
    QCOMPARE(events[0], (QStringList{"0", QString::fromUtf8("caf\xc3\xa9")}));
    QVERIFY(events[1][1].startsWith(QStringLiteral("bad")));
    QVERIFY(events[1][1].endsWith(QStringLiteral("bytes")));
    QVERIFY(events[1][1].contains(QChar(QChar::ReplacementCharacter)));
    QCOMPARE(events[2].size(), 2);
    QCOMPARE(events[2][1], QString(QChar(QChar::ReplacementCharacter)));
}

void CSVPacketStreamTest::runningNumbers()
{
    // The first field's text is never used; each stream counts from 0.
    QByteArray one("h,v\n100,a\n200,b\n");
    QByteArray two("h,v\n300,c\n");
    QBuffer b1(&one), b2(&two);
    QVERIFY(b1.open(QIODevice::ReadOnly));
    QVERIFY(b2.open(QIODevice::ReadOnly));
    CSVPacketStream s1(&b1, TList<QString>());
    CSVPacketStream s2(&b2, TList<QString>());
    QCOMPARE(s1.readPacket(s1.readLine())->get(0), TVariant(0));
    QCOMPARE(s2.readPacket(s2.readLine())->get(0), TVariant(0));
    QCOMPARE(s1.readPacket(s1.readLine())->get(0), TVariant(1));
    QCOMPARE(s1.packetCount, 2);
    QCOMPARE(s2.packetCount, 1);
}

void CSVPacketStreamTest::lineNumberAndRewind()
{
    QByteArray bytes("h,v\n0,a\n1,b\n");
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&buffer, TList<QString>());
    QCOMPARE(stream.lineNumber(), 1);
    stream.readPacket(stream.readLine());
    stream.readPacket(stream.readLine());
    QCOMPARE(stream.lineNumber(), 3);
    QVERIFY(stream.atEnd());

    stream.rewind();
    QCOMPARE(stream.lineNumber(), 0);
    QVERIFY(!stream.atEnd());
    QCOMPARE(stream.readLine(), QStringLiteral("h,v"));
    QCOMPARE(stream.lineNumber(), 1);
    // Numbering goes on: a rewind does not reset the event count.
    QCOMPARE(stream.readPacket(stream.readLine())->get(0), TVariant(2));
}

void CSVPacketStreamTest::poolSharesEqualTexts()
{
    QByteArray bytes("h,src,n\n0,10.0.0.1,5\n1,10.0.0.1,5\n2,10.0.0.2,\n");
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&buffer, TList<QString>());
    QCOMPARE(stream.pool.value(QString()), TVariant());
    const auto a = stream.readPacket(stream.readLine());
    const auto b = stream.readPacket(stream.readLine());
    const auto c = stream.readPacket(stream.readLine());
    QCOMPARE(a->get(1).text.constData(), b->get(1).text.constData());
    QVERIFY(a->get(1).text.constData() != c->get(1).text.constData());
    QVERIFY(stream.pool.contains(QStringLiteral("10.0.0.1")));
    QVERIFY(!stream.pool.contains(QStringLiteral("5")));
    QVERIFY(!c->get(2).isValid());
}

void CSVPacketStreamTest::hugeLine()
{
    TempWorkDir dir;
    QByteArray bytes("a,b,c\n0,");
    bytes += QByteArray(10 * 1024 * 1024, 'x');
    bytes += ",\"q,q\"\n1,y,z\n";
    const QString path = dir.write(QStringLiteral("huge.csv"), bytes);
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&f, TList<QString>());
    const auto big = stream.readPacket(stream.readLine());
    QCOMPARE(big->get(1).toString().size(), 10 * 1024 * 1024);
    QCOMPARE(big->get(2).toString(), QStringLiteral("q,q"));
    QCOMPARE(PacketRows::texts(stream.readPacket(stream.readLine())), (QStringList{"1", "y", "z"}));
    QVERIFY(stream.atEnd());
}

void CSVPacketStreamTest::noDevice()
{
    CSVPacketStream stream(nullptr, TList<QString>());
    QVERIFY(stream.header().isEmpty());
    QVERIFY(stream.atEnd());
    QCOMPARE(stream.readLine(), QString());
    // A line handed in still makes an event of its own fields.
    QCOMPARE(PacketRows::texts(stream.readPacket(QStringLiteral("9,a"))), (QStringList{"0", "a"}));
}

LUMIVANE_TEST(CSVPacketStreamTest)
#include "CSVPacketStreamTest.moc"
