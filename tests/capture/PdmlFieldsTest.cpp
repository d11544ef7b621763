#include "TestRegistry.h"

#include "ConversionTools.h"
#include "DebugCapture.h"
#include "TempWorkDir.h"
#include "capture/MultiListWidget.h"
#include "capture/ParseWidget.h"
#include "core/Constants.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSet>
#include <QXmlStreamReader>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

using namespace capturetest;

namespace {

const QStringList NOISE{"geninfo.data", "media.type", "http.file_data", "tcp.segment_data",
                        "tcp.reassembled.data"};

// One XML token of a PDML document, as far as the field rules look at it.
struct Token
{
    enum Kind { Start, End } kind;
    QString tag;
    QString name;  // the "name" attribute of a start element
};

// The PDML fields of a document, read independently of the dialog: the
// document is first cut into its element tokens, then every packet is
// walked by position. Per packet the first layer of a protocol is read up
// to the next "proto" token (its end or a nested layer), which is passed
// over; fields of "geninfo" layers are left out, dot-less names prefixed.
// The result is sorted with the noise names' first occurrences removed, as
// the dialog offers them.
QStringList independentFields(const QByteArray& pdml)
{
    std::vector<Token> tokens;
    QXmlStreamReader reader(pdml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement())
            tokens.push_back({Token::Start, reader.name().toString(),
                              reader.attributes().value(QStringLiteral("name")).toString()});
        else if (reader.isEndElement())
            tokens.push_back({Token::End, reader.name().toString(), QString()});
    }

    QMap<QString, QSet<QString>> table;
    const int n = int(tokens.size());
    for (int i = 0; i < n; ++i) {
        if (!(tokens[i].kind == Token::Start && tokens[i].tag == "packet"))
            continue;
        int end = i + 1;
        while (end < n && !(tokens[end].kind == Token::End && tokens[end].tag == "packet"))
            ++end;
        QSet<QString> visited;
        for (int k = i + 1; k < end; ++k) {
            if (tokens[k].kind != Token::Start || tokens[k].tag != "proto" || visited.contains(tokens[k].name))
                continue;
            const QString protocol = tokens[k].name;
            visited.insert(protocol);
            QSet<QString>& names = table[protocol];
            int j = k + 1;
            for (; j < end && tokens[j].tag != "proto"; ++j) {
                if (tokens[j].kind == Token::Start && tokens[j].tag == "field" && !tokens[j].name.isEmpty())
                    names.insert(tokens[j].name.contains('.') ? tokens[j].name
                                                              : "geninfo." + tokens[j].name);
            }
            k = j;  // the token that ended the layer is passed over
        }
        i = end;
    }

    QStringList fields;
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        if (!it.key().contains("geninfo"))
            fields += it.value().values();
    std::sort(fields.begin(), fields.end());
    for (const QString& noise : NOISE)
        fields.removeOne(noise);
    return fields;
}

// Every field name that tshark knows.
QSet<QString> knownFields()
{
    QSet<QString> names;
    const QList<QByteArray> lines = run("tshark", {"-G", "fields"}).split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> parts = line.split('\t');
        if (parts.size() > 2 && (parts[0] == "F" || parts[0] == "P"))
            names.insert(QString::fromUtf8(parts[2]));
    }
    return names;
}

// The private PDML files that discovery leaves in the temporary folder.
QStringList leftoverSamples()
{
    return QDir(QDir::tempPath()).entryList({"lumivane-*.pdml"}, QDir::Files | QDir::Hidden);
}

QStringList sorted(QStringList list)
{
    std::sort(list.begin(), list.end());
    return list;
}

} // namespace

class PdmlFieldsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void readPdml_data();
    void readPdml();
    void discovery_data();
    void discovery();
    void nothingBesideTheCapture();
    void badCaptures_data();
    void badCaptures();
    void slowTsharkKeepsWhatItPrinted();

private:
    std::unique_ptr<TempWorkDir> classDir;
    std::unique_ptr<DebugCapture> log;
    QString http;      // pcapng
    QString ethernet;  // pcap, Ethernet frames only
    QString icmp;      // pcapng, ICMP errors quoting IP and UDP
    QHash<QString, QByteArray> pdml;  // tshark's PDML of the first 1500 packets, by capture
};

void PdmlFieldsTest::initTestCase()
{
    classDir = std::make_unique<TempWorkDir>();
    http = classDir->filePath("http.pcapng");
    ethernet = classDir->filePath("ethernet.pcap");
    icmp = classDir->filePath("icmp.pcapng");
    QVERIFY(makeCapture("http.hex", http, "pcapng"));
    QVERIFY(makeCapture("ethernet-only.hex", ethernet, "pcap"));
    QVERIFY(makeCapture("icmp-error.hex", icmp, "pcapng"));
    for (const QString& capture : {http, ethernet, icmp})
        pdml[capture] = run("tshark", {"-r", capture, "-c", "1500", "-T", "pdml"});
}

void PdmlFieldsTest::init()
{
    log = std::make_unique<DebugCapture>();
    log->setForward(false);
}

void PdmlFieldsTest::cleanup()
{
    log.reset();
    // Discovery switches the source attribute for the rest of the process.
    SRC_ATTRIBUTE = QStringLiteral("ip.src");
}

void PdmlFieldsTest::readPdml_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QStringList>("fields");  // sorted
    QTest::newRow("second ip layer of a packet not read")
        << "two-ip-layers.pdml" << QStringList{"frame.time_epoch", "ip.dst", "ip.src", "ip.ttl"};
    QTest::newRow("nested layer and the rest of its parent not read")
        << "nested-layer.pdml" << QStringList{"icmp.type", "quic.x", "udp.srcport"};
    QTest::newRow("names: geninfo, dot-less, unnamed, nested, twice")
        << "field-names.pdml"
        << QStringList{"data.data", "eth.src", "eth.src", "eth.src.lg", "geninfo.data", "tcp.port"};
    QTest::newRow("document breaks off in a packet")
        << "truncated.pdml" << QStringList{"frame.number", "ip.src"};
    QTest::newRow("mismatched tag") << "malformed.pdml" << QStringList{"frame.number", "ip.src"};
    QTest::newRow("empty file") << "empty.pdml" << QStringList{};
    QTest::newRow("missing file") << "no-such.pdml" << QStringList{};
}

void PdmlFieldsTest::readPdml()
{
    QFETCH(QString, fixture);
    QFETCH(QStringList, fields);
    const QString path = testDataPath("capture/pdml/" + fixture);
    QCOMPARE(sorted(toStringList(ParseWidget::readPdmlFields(path))), fields);
    if (!QFile::exists(path))
        QVERIFY(log->lines().filter("Could not open to PDML file " + path + ", error:").size() == 1);
}

void PdmlFieldsTest::discovery_data()
{
    QTest::addColumn<QString>("capture");
    QTest::addColumn<QString>("source");  // the source attribute afterwards
    QTest::addColumn<QStringList>("defaults");
    const QStringList tcpDefaults{"tcp.srcport", "tcp.dstport", "tcp.stream", "frame.len",
                                  "frame.protocols"};
    QTest::newRow("http over IPv4") << "http" << "ip.src" << tcpDefaults;
    QTest::newRow("ethernet only") << "ethernet" << "eth.src"
                                   << QStringList{"frame.len", "frame.protocols"};
    QTest::newRow("icmp error") << "icmp" << "ip.src" << QStringList{"frame.len", "frame.protocols"};
}

void PdmlFieldsTest::discovery()
{
    QFETCH(QString, capture);
    QFETCH(QString, source);
    QFETCH(QStringList, defaults);
    const QString path = capture == "http" ? http : capture == "ethernet" ? ethernet : icmp;
    const QStringList leftBefore = leftoverSamples();

    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(path);
    dialog.loadFields(1500);

    const QStringList fields = toStringList(dialog.allFields);
    QCOMPARE(fields, independentFields(pdml.value(path)));
    QVERIFY(fields.size() > 20);
    static const QSet<QString> known = knownFields();
    for (const QString& field : fields)
        QVERIFY2(known.contains(field), qPrintable(field));
    QVERIFY(!fields.contains("geninfo.data"));
    QVERIFY(fields.filter("geninfo").isEmpty());

    QCOMPARE(SRC_ATTRIBUTE, source);
    QCOMPARE(toStringList(dialog.selectedFields), QStringList({"frame.time_epoch", "ip.src", "ip.dst"}) + defaults);
    QVERIFY(!log->contains("this is not network traffic!"));
    QCOMPARE(leftoverSamples(), leftBefore);

    if (capture == "ethernet") {
        // The payload's dot-less "data" field was there before its removal.
        QVERIFY(pdml.value(path).contains("<field name=\"data\""));
        QVERIFY(!fields.contains("ip.src"));
        // Later dialogs start from the Ethernet source.
        ParseWidget later(nullptr);
        QCOMPARE(toStringList(later.selectedFields), QStringList({"frame.time_epoch", "eth.src", "ip.dst"}));
    }
    if (capture == "icmp") {
        // The UDP layer quoted in the error after its IP layer is read, the
        // quoted IP layer is not (the packet's own came first).
        QVERIFY(fields.contains("icmp.type"));
        QVERIFY(fields.contains("udp.srcport"));
    }
}

void PdmlFieldsTest::nothingBesideTheCapture()
{
    // A read-only folder with a dot in its name; the file that the capture
    // path cut at its first "." would name stays as it is.
    TempWorkDir dir;
    QVERIFY(QDir(dir.path()).mkdir("v1.2"));
    const QString capture = dir.filePath("v1.2/trace.pcap");
    QVERIFY(QFile::copy(http, capture));
    const QString mine = dir.write("v1.pdml", "the user's own notes");
    QFile::setPermissions(dir.filePath("v1.2"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QStringList before = QDir(dir.filePath("v1.2")).entryList(QDir::AllEntries | QDir::Hidden);

    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(capture);
    dialog.loadFields(1500);
    QVERIFY(dialog.allFields.contains("http.request.uri"));

    QFile::setPermissions(dir.filePath("v1.2"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                   | QFileDevice::ExeOwner);
    QCOMPARE(readAll(mine), QByteArray("the user's own notes"));
    QCOMPARE(QDir(dir.filePath("v1.2")).entryList(QDir::AllEntries | QDir::Hidden), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"v1.pdml"});
}

void PdmlFieldsTest::badCaptures_data()
{
    QTest::addColumn<QString>("capture");  // below tests/data, or a name in a fresh folder
    QTest::addColumn<QString>("os");
    QTest::newRow("not a capture") << "capture/not-a-capture.txt" << "linux";
    QTest::newRow("missing file") << "missing.pcap" << "linux";
    QTest::newRow("empty file") << "empty.pcap" << "linux";
    QTest::newRow("no tshark for the system") << "capture/not-a-capture.txt" << "plan9";
}

void PdmlFieldsTest::badCaptures()
{
    QFETCH(QString, capture);
    QFETCH(QString, os);
    TempWorkDir dir;
    QString path = capture.contains('/') ? testDataPath(capture) : dir.filePath(capture);
    if (capture == "empty.pcap")
        dir.write(capture, QByteArray());
    const QStringList leftBefore = leftoverSamples();

    ParseWidget dialog(nullptr);
    dialog.os = os;
    dialog.inputLabel->setText(path);
    dialog.loadFields(1500);
    QVERIFY(dialog.allFields.isEmpty());
    QCOMPARE(toStringList(dialog.selectedFields), QStringList({"frame.time_epoch", "ip.src", "ip.dst"}));
    QVERIFY(log->contains("this is not network traffic!"));
    QCOMPARE(SRC_ATTRIBUTE, QStringLiteral("ip.src"));
    QCOMPARE(leftoverSamples(), leftBefore);
    dialog.fillFieldList();
    QCOMPARE(dialog.fieldList->count(), 0);
}

void PdmlFieldsTest::slowTsharkKeepsWhatItPrinted()
{
    // A tshark that prints the start of a real document and then hangs.
    TempWorkDir tools;
    const QByteArray document = pdml.value(http);
    const int cut = document.indexOf("<packet>", document.indexOf("<packet>") + 1) + 200;
    QVERIFY(cut > 200);
    tools.write("start.pdml", document.left(cut));
    writeScript(tools, "tshark",
                "echo $$ > \"$(dirname \"$0\")/pid\"\ncat \"$(dirname \"$0\")/start.pdml\"\nexec sleep 30");
    SearchPath path(tools.path());

    ParseWidget dialog(nullptr);
    dialog.toolTimeout = 1000;
    dialog.inputLabel->setText(http);
    QElapsedTimer clock;
    clock.start();
    dialog.loadFields(1500);
    QVERIFY(clock.elapsed() < 10000);

    // The fields of the first packet and of the start of the second.
    QVERIFY(dialog.allFields.contains("frame.time_epoch"));
    QVERIFY(dialog.allFields.contains("eth.src"));
    QVERIFY(!dialog.allFields.isEmpty());
    QCOMPARE(toStringList(dialog.allFields), independentFields(document.left(cut)));
    // The hanging tool was stopped.
    const QString pid = QString::fromLatin1(readAll(tools.filePath("pid"))).trimmed();
    QVERIFY(!pid.isEmpty());
    QVERIFY(!QFileInfo::exists("/proc/" + pid));
}

LUMIVANE_TEST(PdmlFieldsTest)
#include "PdmlFieldsTest.moc"
