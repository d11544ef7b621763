#include "CaptureTools.h"
#include "DebugCapture.h"
#include "FileSizeLimit.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"
#include "Timing.h"

#include "capture/PdmlConverter.h"

#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>
#include <QtTest>

using namespace capturetools;

namespace {

const char* const FIELDS_HEADER =
    "pid,geninfo.num,geninfo.len,ip.src,ip.addr,ip.addr1,ip.flags,ip.flags.flags_df,ip.group0,"
    "ip.group1,ip.group1.opt_x,ip.group1.deep,ip.upper,ip.empty_show,ip.only_size,ip.comma,"
    "ip.late,udp.length,udp.srcport,tcp.srcport,http.request";

QString fixture(const QString& name)
{
    return testDataPath(QStringLiteral("pdml/") + name);
}

QStringList lines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList result = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

// The records of a comma-separated text as a reader of RFC 4180 reads
// them: a field in double quotes may hold separators, line breaks and
// doubled quotes; records end with LF or CR LF.
QList<QStringList> readRfc4180(const QString& text)
{
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"') && field.isEmpty()) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            record << field;
            field.clear();
        } else if (c == QLatin1Char('\n')) {
            if (field.endsWith(QLatin1Char('\r')))
                field.chop(1);
            records << (record << field);
            record.clear();
            field.clear();
        } else {
            field += c;
        }
    }
    if (!field.isEmpty() || !record.isEmpty())
        records << (record << field);
    return records;
}

// A PDML text of `count` packets, each of one protocol with one field whose
// value is the packet's number from 0.
QByteArray generated(int count)
{
    QByteArray text = "<?xml version=\"1.0\"?>\n<pdml>\n";
    text.reserve(count * 64 + 64);
    for (int i = 0; i < count; ++i)
        text += "<packet><proto name=\"p\"><field name=\"p.x\" show=\"" + QByteArray::number(i)
            + "\"/></proto></packet>\n";
    return text + "</pdml>\n";
}

} // namespace

class PdmlConverterTest : public QObject
{
    Q_OBJECT

private slots:
    void csvTable();
    void csvReadsBack();
    void arffTable();
    void batchesOfFifty();
    void packetLimit();
    void truncatedInput();
    void entitiesAndNesting_data();
    void entitiesAndNesting();
    void unopenableInput();
    void unwritableOutput();
    void fullDisk_data();
    void fullDisk();
    void realCaptureLoadsInWeka();
};

// Naming rules, column order, protocol order, a protocol twice in a packet,
// protocols skipped in the second pass and absent ones.
void PdmlConverterTest::csvTable()
{
    TempWorkDir dir;
    PdmlConverter converter;
    QVERIFY(converter.convert(QString(), dir.path(), fixture(QStringLiteral("fields.pdml")),
                              QStringLiteral("table"), false));
    QCOMPARE(converter.protocols,
             (QStringList{"geninfo", "ip", "udp", "tcp", "http"}));
    const QStringList out = lines(dir.filePath(QStringLiteral("table.csv")));
    QCOMPARE(out.size(), 3);
    QCOMPARE(out[0], QString::fromLatin1(FIELDS_HEADER));
    QCOMPARE(out[1], QStringLiteral(
        "0,1,60,10.0.0.1,10.0.0.1,10.0.0.2,0x02,1,Header text,More text,7,9,U,ff,3,a;b,,,,445,"));
    QCOMPARE(out[2], QStringLiteral("1,2,60,10.0.0.9,,,,,,,,,,,,,late value,8,53,,"));
}

// Quotes and line breaks in values and names, and a protocol name with a
// comma: every record reads back whole, with the exact values.
void PdmlConverterTest::csvReadsBack()
{
    TempWorkDir dir;
    PdmlConverter converter;
    QVERIFY(converter.convert(QString(), dir.path(), fixture(QStringLiteral("quotes_and_breaks.pdml")),
                              QStringLiteral("table"), false));
    QFile file(dir.filePath(QStringLiteral("table.csv")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QStringList> records = readRfc4180(QString::fromUtf8(file.readAll()));
    QCOMPARE(records.size(), 3);
    QCOMPARE(records[0], (QStringList{"pid", "a;b.q\"name", "a;b.lf", "a;b.crlf", "a;b.plain",
                                      "udp.srcport"}));
    QCOMPARE(records[1], (QStringList{"0", "say \"hi\"", "one\ntwo", "one\r\ntwo", "x;y", "53"}));
    QCOMPARE(records[2], (QStringList{"1", "\"", "\n", "cr\r", "plain", ""}));
}

void PdmlConverterTest::arffTable()
{
    TempWorkDir dir;
    PdmlConverter converter;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("out")));
    const QString folder = dir.filePath(QStringLiteral("out"));
    QVERIFY(converter.convert(QString(), folder, fixture(QStringLiteral("fields.pdml")),
                              QStringLiteral("table"), true));
    // The output goes into the folder, the second part of the path.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
    const QStringList out = lines(dir.filePath(QStringLiteral("out/table.arff")));
    QCOMPARE(out.value(0), QStringLiteral("@relation packet"));
    QCOMPARE(out.value(1), QStringLiteral("@attribute pid numeric"));
    QCOMPARE(out.value(2), QStringLiteral("@attribute geninfo.num string"));
    QCOMPARE(out.value(22), QStringLiteral("@data"));
    QCOMPARE(out.size(), 25);
    QCOMPARE(out[23], QStringLiteral(
        "0,'1','60','10.0.0.1','10.0.0.1','10.0.0.2','0x02','1','Header text','More text','7','9',"
        "'U','ff','3','a,b',?,?,?,'445',?"));
    QVERIFY(out[24].startsWith(QStringLiteral("1,'2','60','10.0.0.9',?,")));
    QVERIFY(out[24].endsWith(QStringLiteral("'late value','8','53',?,?")));
}

// 120 packets go out as 50, 50 and 20 rows under one header.
void PdmlConverterTest::batchesOfFifty()
{
    TempWorkDir dir;
    dir.write(QStringLiteral("p.pdml"), generated(120));
    DebugCapture debug;
    debug.setForward(false);
    PdmlConverter converter;
    QVERIFY(converter.convert(dir.path(), QString(), QStringLiteral("p.pdml"),
                              QStringLiteral("rows"), false));
    QCOMPARE(debug.count(QStringLiteral("Writing Packet  50")), 50);
    QCOMPARE(debug.count(QStringLiteral("Writing Packet  100")), 50);
    QCOMPARE(debug.count(QStringLiteral("Writing Packet  120")), 20);
    QVERIFY(debug.contains(QStringLiteral("table prepared")));
    const QStringList out = lines(dir.filePath(QStringLiteral("rows.csv")));
    QCOMPARE(out.size(), 121);
    QCOMPARE(out[0], QStringLiteral("pid,p.x"));
    for (int i = 0; i < 120; ++i)
        QCOMPARE(out[i + 1], QStringLiteral("%1,%1").arg(i));
}

// Packet 100001 is not read.
void PdmlConverterTest::packetLimit()
{
    TempWorkDir dir;
    dir.write(QStringLiteral("big.pdml"), generated(PdmlConverter::PACKET_LIMIT + 1));
    DebugCapture debug;
    debug.setForward(false);
    PdmlConverter converter;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(converter.convert(dir.path(), QString(), QStringLiteral("big.pdml"),
                              QStringLiteral("big"), false));
    LUMIVANE_VERIFY_TIME(clock.elapsed(), 10000);
    QCOMPARE(converter.packetCount, PdmlConverter::PACKET_LIMIT);
    QVERIFY(debug.contains(QStringLiteral("Packet100000")));
    QVERIFY(debug.contains(QStringLiteral("parsed packet  100000")));
    const QStringList out = lines(dir.filePath(QStringLiteral("big.csv")));
    QCOMPARE(out.size(), PdmlConverter::PACKET_LIMIT + 1);
    QCOMPARE(out.last(), QStringLiteral("99999,99999"));
}

void PdmlConverterTest::truncatedInput()
{
    TempWorkDir dir;
    QFile source(fixture(QStringLiteral("fields.pdml")));
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray whole = source.readAll();
    const QByteArray cut = whole.left(whole.indexOf("<field name=\"ip.late\""));
    dir.write(QStringLiteral("cut.pdml"), cut);
    DebugCapture debug;
    debug.setForward(false);
    PdmlConverter converter;
    QVERIFY(!converter.convert(dir.path(), QString(), QStringLiteral("cut.pdml"),
                               QStringLiteral("cut"), false));
    const QStringList out = lines(dir.filePath(QStringLiteral("cut.csv")));
    QCOMPARE(out.size(), 3);
    const int fields = out[0].count(QLatin1Char(','));
    for (const QString& line : out)
        QCOMPARE(line.count(QLatin1Char(',')), fields);
    QVERIFY(out[1].startsWith(QStringLiteral("0,1,60,10.0.0.1,")));
}

void PdmlConverterTest::entitiesAndNesting_data()
{
    QTest::addColumn<QByteArray>("pdml");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("row");
    QTest::newRow("entities") << QByteArray("<?xml version=\"1.0\"?><!-- c --><pdml><packet>"
                                            "<proto name='p'><field name=\"p.x\" show=\"a &amp; "
                                            "&lt;b&gt; &#233;&#x41;, 'q'\"/></proto></packet></pdml>")
                              << true << QString::fromUtf8("0,a & <b> \xc3\xa9" "A; 'q'");
    QTest::newRow("value and size") << QByteArray("<pdml><packet><proto name=\"p\"><field name="
                                                  "\"p.x\" show=\"\" value=\"\" size=\"4\"/>"
                                                  "<field name=\"p.y\" size=\"4\"/></proto>"
                                                  "</packet></pdml>")
                                    << true << "0,,4";
    QTest::newRow("crossed tags") << QByteArray("<pdml><packet><proto name=\"p\"><field name="
                                                "\"p.x\" show=\"1\"></proto></field></packet>"
                                                "</pdml>")
                                  << false << "0,1";
}

void PdmlConverterTest::entitiesAndNesting()
{
    QFETCH(QByteArray, pdml);
    QFETCH(bool, ok);
    QFETCH(QString, row);
    TempWorkDir dir;
    dir.write(QStringLiteral("in.pdml"), pdml);
    DebugCapture debug;
    debug.setForward(false);
    PdmlConverter converter;
    QCOMPARE(converter.convert(dir.path(), QString(), QStringLiteral("in.pdml"),
                               QStringLiteral("out"), false),
             ok);
    QCOMPARE(lines(dir.filePath(QStringLiteral("out.csv"))).value(1), row);
}

void PdmlConverterTest::unopenableInput()
{
    TempWorkDir dir;
    DebugCapture debug;
    debug.setForward(false);
    PdmlConverter converter;
    QVERIFY(!converter.convert(dir.path(), QString(), QStringLiteral("missing.pdml"),
                               QStringLiteral("none"), false));
    bool logged = false;
    for (const QString& line : debug.lines())
        logged = logged || line.startsWith(QStringLiteral("Could not open to PDML file "));
    QVERIFY(logged);
    QCOMPARE(lines(dir.filePath(QStringLiteral("none.csv"))), QStringList{"pid"});
}

void PdmlConverterTest::unwritableOutput()
{
    TempWorkDir dir;
    dir.write(QStringLiteral("p.pdml"), generated(120));
    DebugCapture debug;
    debug.setForward(false);
    PdmlConverter converter;
    const QString folder = dir.filePath(QStringLiteral("no/such/folder"));
    QVERIFY(!converter.convert(dir.path(), folder, QStringLiteral("../../../p.pdml"),
                               QStringLiteral("out"), false));
    // The first failed write stops the conversion.
    QCOMPARE(converter.packetCount, 50);
    int logged = 0;
    for (const QString& line : debug.lines())
        if (line.startsWith(QStringLiteral("Could not write to PDML file ")))
            ++logged;
    QCOMPARE(logged, 1);
}

void PdmlConverterTest::fullDisk_data()
{
    QTest::addColumn<int>("packets");
    QTest::addColumn<bool>("old");
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("stopsEarly");   // before the last packet is read
    // The whole table sits in the buffer until the last flush.
    QTest::newRow("the last flush") << 120 << true << 100 << false;
    // Batches went out before one did not fit.
    QTest::newRow("a later batch") << 5000 << true << 20000 << true;
    QTest::newRow("a later batch, new file") << 5000 << false << 20000 << true;
}

// On a full disk the table it was to replace stays byte for byte, and a new
// one is not left behind; the conversion stops at the batch that failed.
void PdmlConverterTest::fullDisk()
{
    QFETCH(int, packets);
    QFETCH(bool, old);
    QFETCH(int, limit);
    QFETCH(bool, stopsEarly);
    TempWorkDir dir;
    dir.write(QStringLiteral("p.pdml"), generated(packets));
    if (old)
        dir.write(QStringLiteral("rows.csv"), "pid,p.x\n0,earlier\n");
    const QMap<QString, QByteArray> before = filesIn(dir.path());
    DebugCapture debug;
    debug.setForward(false);
    PdmlConverter converter;
    {
        FileSizeLimit full{rlim_t(limit)};
        QVERIFY(full.active());
        QVERIFY(!converter.convert(dir.path(), QString(), QStringLiteral("p.pdml"), QStringLiteral("rows"), false));
    }
    if (stopsEarly)
        QVERIFY2(converter.packetCount > PdmlConverter::BATCH && converter.packetCount < packets,
                 qPrintable(QString::number(converter.packetCount)));
    else
        QCOMPARE(converter.packetCount, packets);
    QCOMPARE(debug.lines().filter(QRegularExpression(QStringLiteral("^Could not write to PDML file "))).size(), 1);
    QCOMPARE(filesIn(dir.path()), before);
}

// The ARFF of a real dissection loads in Weka; the CSV has as many fields on
// every line.
void PdmlConverterTest::realCaptureLoadsInWeka()
{
    if (!haveTool(QStringLiteral("text2pcap")) || !haveTool(QStringLiteral("tshark")))
        QSKIP("text2pcap and tshark are needed (Debian packages wireshark-common, tshark)");
    TempWorkDir dir;
    const QString pcap = rebuildCapture(dir);
    QVERIFY(!pcap.isEmpty());
    QCOMPARE(runTool(QStringLiteral("tshark"),
                     {QStringLiteral("-r"), pcap, QStringLiteral("-T"), QStringLiteral("pdml")},
                     dir.filePath(QStringLiteral("session.pdml"))),
             0);
    DebugCapture debug;
    debug.setForward(false);
    PdmlConverter converter;
    QVERIFY(converter.convert(dir.path(), dir.path(), QStringLiteral("session.pdml"),
                              QStringLiteral("session"), false));
    QCOMPARE(converter.packetCount, 86);
    const QStringList csv = lines(dir.filePath(QStringLiteral("session.csv")));
    QCOMPARE(csv.size(), 87);
    const int fields = csv[0].count(QLatin1Char(','));
    QVERIFY(fields > 50);
    for (const QString& line : csv)
        QCOMPARE(line.count(QLatin1Char(',')), fields);

    QVERIFY(converter.convert(dir.path(), dir.path(), QStringLiteral("session.pdml"),
                              QStringLiteral("session"), true));
    const QString jar = QStringLiteral("/usr/share/java/weka.jar");
    if (!QFileInfo::exists(jar))
        QSKIP("weka.jar not found: the ARFF check needs the Debian package weka");
    QProcess java;
    java.start(QStringLiteral("java"), {QStringLiteral("-cp"), jar,
                                        QStringLiteral("weka.core.Instances"),
                                        dir.filePath(QStringLiteral("session.arff"))});
    QVERIFY(java.waitForStarted(10000));
    QVERIFY(java.waitForFinished(120000));
    const QString report = QString::fromUtf8(java.readAllStandardOutput());
    const QString errors = QString::fromUtf8(java.readAllStandardError());
    QVERIFY2(java.exitCode() == 0, qPrintable(errors));
    QVERIFY2(report.contains(QStringLiteral("Num Instances:  86")) ||
                 report.contains(QStringLiteral("Num Instances: 86")),
             qPrintable(report.left(400)));
}

LUMIVANE_TEST(PdmlConverterTest)
#include "PdmlConverterTest.moc"
