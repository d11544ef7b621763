#include "TestRegistry.h"

#include "ConversionTools.h"
#include "DebugCapture.h"
#include "capture/MultiListWidget.h"
#include "capture/ParseWidget.h"
#include "core/Constants.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace conversiontest;

namespace {

// The offered fields of a PDML document, read apart from the dialog: the
// element tokens are listed first, then each packet is walked by position.
// The first layer of each protocol in a packet is read up to the next
// "proto" token, which is passed over; "geninfo" layers are left out,
// dot-less names prefixed; then sorted, the noise names' first
// occurrences removed.
QStringList independentFields(const QByteArray& pdml)
{
    struct Token { bool start; QString tag, name; };
    QList<Token> t;
    QXmlStreamReader reader(pdml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() || reader.isEndElement())
            t.append({reader.isStartElement(), reader.name().toString(),
                      reader.attributes().value("name").toString()});
    }
    QMap<QString, QSet<QString>> table;
    for (int i = 0; i < t.size(); ++i) {
        if (!t[i].start || t[i].tag != "packet")
            continue;
        int end = i + 1;
        while (end < t.size() && !(!t[end].start && t[end].tag == "packet"))
            ++end;
        QSet<QString> visited;
        for (int k = i + 1; k < end; ++k) {
            if (!t[k].start || t[k].tag != "proto" || visited.contains(t[k].name))
                continue;
            visited.insert(t[k].name);
            QSet<QString>& names = table[t[k].name];
            int j = k + 1;
            for (; j < end && t[j].tag != "proto"; ++j)
                if (t[j].start && t[j].tag == "field" && !t[j].name.isEmpty())
                    names.insert(t[j].name.contains('.') ? t[j].name : "geninfo." + t[j].name);
            k = j;
        }
        i = end;
    }
    QStringList fields;
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        if (!it.key().contains("geninfo"))
            fields += it.value().values();
    std::sort(fields.begin(), fields.end());
    for (const char* noise : {"geninfo.data", "media.type", "http.file_data", "tcp.segment_data",
                              "tcp.reassembled.data"})
        fields.removeOne(noise);
    return fields;
}

// A temporary folder of the test's own is the process's (TMPDIR) while it
// lives: the samples the dialog leaves there are its alone to count.
struct OwnTemp
{
    QTemporaryDir dir;
    const bool had = qEnvironmentVariableIsSet("TMPDIR");
    const QByteArray previous = qgetenv("TMPDIR");
    OwnTemp() { qputenv("TMPDIR", QFile::encodeName(dir.path())); }
    ~OwnTemp()
    {
        if (had)
            qputenv("TMPDIR", previous);
        else
            qunsetenv("TMPDIR");
    }
    QStringList samples() const
    {
        return QDir(dir.path()).entryList({"lumivane-*.pdml"}, QDir::Files | QDir::Hidden);
    }
};

const QStringList START{"frame.time_epoch", "ip.src", "ip.dst"};

} // namespace

class PdmlFieldsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init()
    {
        log = std::make_unique<DebugCapture>();
        log->setForward(false);
    }
    void cleanup()
    {
        log.reset();
        SRC_ATTRIBUTE = "ip.src";  // discovery may switch it for the process
    }
    void readPdml_data();
    void readPdml();
    void discovery_data();
    void discovery();
    void nothingBesideTheCapture();
    void badCaptures_data();
    void badCaptures();
    void slowTsharkKeepsWhatItPrinted();

private:
    TempWorkDir dir;
    std::unique_ptr<DebugCapture> log;  // made per test: QTest installs its own handler first
    QHash<QString, QString> captures;
    QHash<QString, QByteArray> pdml;  // tshark's own PDML of each capture
};

void PdmlFieldsTest::initTestCase()
{
    captures = {{"http", dir.filePath("http.pcapng")},
                {"ethernet", dir.filePath("ethernet.pcap")},
                {"icmp", dir.filePath("icmp.pcapng")}};
    QVERIFY(makeCapture("http.hex", captures["http"], "pcapng"));
    QVERIFY(makeCapture("ethernet-only.hex", captures["ethernet"], "pcap"));
    QVERIFY(makeCapture("icmp-error.hex", captures["icmp"], "pcapng"));
    for (const QString& path : captures)
        pdml[path] = run("tshark", {"-r", path, "-c", "1500", "-T", "pdml"});
}

void PdmlFieldsTest::readPdml_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QStringList>("fields");
    QTest::newRow("second ip layer") << "two-ip-layers.pdml"
                                     << QStringList{"frame.time_epoch", "ip.dst", "ip.src", "ip.ttl"};
    QTest::newRow("nested layers") << "nested-layer.pdml"
                                   << QStringList{"icmp.type", "quic.x", "udp.srcport"};
    QTest::newRow("names") << "field-names.pdml"
                           << QStringList{"data.data", "eth.src", "eth.src", "eth.src.lg",
                                          "geninfo.data", "tcp.port"};
    QTest::newRow("truncated") << "truncated.pdml" << QStringList{"frame.number", "ip.src"};
    QTest::newRow("mismatched tag") << "malformed.pdml" << QStringList{"frame.number", "ip.src"};
    QTest::newRow("empty") << "empty.pdml" << QStringList{};
    QTest::newRow("missing") << "no-such.pdml" << QStringList{};
}

void PdmlFieldsTest::readPdml()
{
    QFETCH(QString, fixture);
    QFETCH(QStringList, fields);
    const QString path = testDataPath("capture/pdml/" + fixture);
    QStringList read = ParseWidget::readPdmlFields(path).toQList();
    std::sort(read.begin(), read.end());
    QCOMPARE(read, fields);
    QCOMPARE(log->lines().filter("Could not open to PDML file " + path + ", error:").size(),
             QFile::exists(path) ? 0 : 1);
}

void PdmlFieldsTest::discovery_data()
{
    QTest::addColumn<QString>("capture");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QStringList>("defaults");
    QTest::newRow("http") << "http" << "ip.src"
                          << QStringList{"tcp.srcport", "tcp.dstport", "tcp.stream", "frame.len",
                                         "frame.protocols"};
    QTest::newRow("ethernet only") << "ethernet" << "eth.src" << QStringList{"frame.len", "frame.protocols"};
    QTest::newRow("icmp error") << "icmp" << "ip.src" << QStringList{"frame.len", "frame.protocols"};
}

void PdmlFieldsTest::discovery()
{
    QFETCH(QString, capture);
    QFETCH(QString, source);
    QFETCH(QStringList, defaults);
    const QString path = captures[capture];
    const OwnTemp temp;
    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(path);
    dialog.loadFields(1500);

    const QStringList fields = dialog.allFields.toQList();
    QVERIFY(fields.size() > 20);
    QCOMPARE(fields, independentFields(pdml[path]));
    static const QSet<QString> known = [] {  // every field and protocol name tshark knows
        QSet<QString> names;
        for (const QByteArray& line : run("tshark", {"-G", "fields"}).split('\n'))
            if (line.count('\t') > 1)
                names.insert(QString::fromUtf8(line.split('\t').at(2)));
        return names;
    }();
    for (const QString& field : fields)
        QVERIFY2(known.contains(field), qPrintable(field));
    QVERIFY(fields.filter("geninfo").isEmpty());
    QCOMPARE(SRC_ATTRIBUTE, source);
    QCOMPARE(dialog.selectedFields.toQList(), START + defaults);
    QVERIFY(!log->contains("this is not network traffic!"));
    QCOMPARE(temp.samples(), QStringList());
    if (capture == "ethernet") {
        QVERIFY(pdml[path].contains("<field name=\"data\""));  // read as geninfo.data, removed
        ParseWidget later(nullptr);
        QCOMPARE(later.selectedFields.toQList(), QStringList({"frame.time_epoch", "eth.src", "ip.dst"}));
    }
    if (capture == "icmp")  // the UDP layer quoted in the error, after the quoted IP layer
        QVERIFY(fields.contains("icmp.type") && fields.contains("udp.srcport"));
}

void PdmlFieldsTest::nothingBesideTheCapture()
{
    // The capture path cut at its first "." names a file of the user's.
    TempWorkDir local;
    QVERIFY(QDir(local.path()).mkdir("v1.2"));
    const QString folder = local.filePath("v1.2");
    QVERIFY(QFile::copy(captures["http"], folder + "/trace.pcap"));
    const QString mine = local.write("v1.pdml", "the user's notes");
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QStringList before = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden);
    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(folder + "/trace.pcap");
    dialog.loadFields(1500);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(dialog.allFields.contains("http.request.uri"));
    QCOMPARE(readAll(mine), QByteArray("the user's notes"));
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden), before);
}

void PdmlFieldsTest::badCaptures_data()
{
    QTest::addColumn<QString>("capture");
    QTest::addColumn<QString>("os");
    QTest::newRow("not a capture") << testDataPath("capture/not-a-capture.txt") << "linux";
    QTest::newRow("missing") << "missing.pcap" << "linux";
    QTest::newRow("empty") << "empty.pcap" << "linux";
    QTest::newRow("no tshark for the system") << captures.value("http") << "plan9";
}

void PdmlFieldsTest::badCaptures()
{
    QFETCH(QString, capture);
    QFETCH(QString, os);
    TempWorkDir local;
    local.write("empty.pcap", QByteArray());
    const OwnTemp temp;
    ParseWidget dialog(nullptr);
    dialog.os = os;
    if (os == "plan9")  // and no tshark set either
        dialog.tsharkLabel->clear();
    dialog.inputLabel->setText(QFileInfo(capture).isAbsolute() ? capture : local.filePath(capture));
    dialog.loadFields(1500);
    dialog.fillFieldList();
    QVERIFY(dialog.allFields.isEmpty());
    QVERIFY(!dialog.fieldsError.isEmpty());
    QCOMPARE(dialog.fieldList->count(), 0);
    QCOMPARE(dialog.selectedFields.toQList(), START);
    QVERIFY(log->contains("this is not network traffic!"));
    QCOMPARE(temp.samples(), QStringList());
}

void PdmlFieldsTest::slowTsharkKeepsWhatItPrinted()
{
    // A tshark that prints the start of a document, into its second packet, and hangs.
    TempWorkDir tools;
    const QByteArray& document = pdml[captures["http"]];
    const int cut = document.indexOf("<packet>", document.indexOf("<packet>") + 1) + 200;
    tools.write("start.pdml", document.left(cut));
    writeScript(tools, "tshark", "cd \"$(dirname \"$0\")\"; echo $$ > pid; cat start.pdml; exec sleep 30");
    ParseWidget dialog(nullptr);
    dialog.tsharkLabel->setText(tools.filePath("tshark"));
    dialog.toolTimeout = 1000;
    dialog.inputLabel->setText(captures["http"]);
    QElapsedTimer clock;
    clock.start();
    dialog.loadFields(1500);
    QVERIFY(clock.elapsed() < 10000);
    QVERIFY(dialog.allFields.contains("eth.src"));
    QCOMPARE(dialog.allFields.toQList(), independentFields(document.left(cut)));
    QVERIFY(!QFileInfo::exists("/proc/" + readAll(tools.filePath("pid")).trimmed()));  // stopped
}

LUMIVANE_TEST(PdmlFieldsTest)
#include "PdmlFieldsTest.moc"
