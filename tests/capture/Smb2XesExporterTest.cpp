#include "DebugCapture.h"
#include "FileAnswers.h"
#include "FileSizeLimit.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"
#include "XesTestUtil.h"
#include "../app/MessageRecorder.h"

#include "capture/Smb2XesExporter.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

using xestest::readAll;
using xestest::readEvents;

namespace {

const QString HEADER = QStringLiteral(
    "frame.time_epoch,frame.number,ip.src,ip.dst,smb2.cmd,smb2.filename,smb2.fid,smb2.nt_status,"
    "smb2.create.action,smb2.disposition.delete_on_close,smb2.file_info.infolevel,smb2.sesid,"
    "smb2.msg_id,smb2.tid,smb2.flags.response");

QString fixture(const QString& name)
{
    return testDataPath(QStringLiteral("xes/") + name);
}

// Exports `input` into the temporary folder; returns the output path.
QString exportTo(const TempWorkDir& dir, const QString& input, Smb2XesExporter* exporter = nullptr)
{
    const QString out = dir.filePath(QStringLiteral("out.xes"));
    Smb2XesExporter local;
    (exporter ? exporter : &local)->exportFile(input, out);
    return out;
}

} // namespace

class Smb2XesExporterTest : public QObject
{
    Q_OBJECT

private slots:
    void prologueAndEpilogue();
    void createExchangeGivesThreeEvents();
    void quotedAndBareAlike();
    void refusedInputs_data();
    void refusedInputs();
    void routing_data();
    void routing();
    void specialValuesStayValidXml();
    void fixtures_data();
    void fixtures();
    void duplicateResponses();
    void splitLine_data();
    void splitLine();
    void lineLimit();
    void failures_data();
    void failures();
    void fullDisk_data();
    void fullDisk();
    void dialogs();
};

void Smb2XesExporterTest::prologueAndEpilogue()
{
    TempWorkDir dir;
    MessageRecorder boxes;
    const QString out = exportTo(dir, fixture(QStringLiteral("create_exchange.csv")));
    QByteArray expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
        "<log xes.version=\"1.0\" xes.features=\"nested-attributes\" openxes.version=\"1.0RC7\">\n"
        "    <extension name=\"Time\" prefix=\"time\" uri=\"http://www.xes-standard.org/time.xesext\"/>\n"
        "    <extension name=\"Software\" prefix=\"software\" uri=\"http://www.xes-standard.org/software.xesext\"/>\n"
        "    <extension name=\"Lifecycle\" prefix=\"lifecycle\" uri=\"http://www.xes-standard.org/lifecycle.xesext\"/>\n"
        "    <extension name=\"Concept\" prefix=\"concept\" uri=\"http://www.xes-standard.org/concept.xesext\"/>\n"
        "    <global scope=\"trace\">\n"
        "        <string key=\"concept:name\" value=\"DEFAULT\"/>\n"
        "    </global>\n"
        "    <global scope=\"event\">\n";
    for (const char* key :
         {"frame.time_epoch", "frame.number", "ip.src", "ip.dst", "smb2.cmd", "smb2.filename",
          "smb2.fid", "smb2.nt_status", "smb2.create.action", "smb2.disposition.delete_on_close",
          "smb2.file_info.infolevel", "smb2.sesid", "smb2.msg_id", "smb2.tid", "smb2.incomplete"})
        expected += QByteArray("        <string key=\"") + key + "\" value=\"__INVALID__\"/>\n";
    expected +=
        "    </global>    <classifier name=\"Method Call Identifier\" keys=\"concept:name "
        "software:class software:package\"/>\n"
        "    <string key=\"concept:name\" value=\"A Software Event Log\"/>\n"
        "    <trace>\n"
        "        <event>\n";
    const QByteArray text = readAll(out);
    QCOMPARE(text.left(expected.size()), expected);
    QVERIFY(text.endsWith("        </event>\n    </trace>\n</log>\n"));
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests[0].icon, QMessageBox::Information);
    QCOMPARE(boxes.requests[0].title, QStringLiteral("Save Selection"));
    QCOMPARE(boxes.requests[0].text, QStringLiteral("Export successful"));
}

// A create request and its successful response: the response event, the
// session event of both rows and the request event, in that order.
void Smb2XesExporterTest::createExchangeGivesThreeEvents()
{
    TempWorkDir dir;
    MessageRecorder boxes;
    QString error;
    const auto events =
        readEvents(exportTo(dir, fixture(QStringLiteral("create_exchange.csv"))), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(events.size(), 3);

    const auto& response = events[0];
    QCOMPARE(response.value("frame.number"), QStringLiteral("2"));
    QCOMPARE(response.value("smb2.nt_status"), QStringLiteral("0x00000000"));
    // The double product, not the input's digits.
    QCOMPARE(response.value("frame.start_time"), QStringLiteral("1700000000750000128"));
    QCOMPARE(response.value("frame.end_time"), QStringLiteral("1700000000750000128"));
    QCOMPARE(response.value("smb2.incomplete"), QStringLiteral("1"));
    QCOMPARE(response.value("smb2.fid"), QStringLiteral("F1"));
    QCOMPARE(response.value("smb2.filename"), QStringLiteral("none"));

    const auto& session = events[1];
    QCOMPARE(session.value("frame.number"), QStringLiteral("1"));
    QCOMPARE(session.value("frame.start_time"), QStringLiteral("1700000000500000000"));
    QCOMPARE(session.value("frame.end_time"), QStringLiteral("1700000000750000128"));
    QCOMPARE(session.value("smb2.incomplete"), QStringLiteral("0"));

    // The request takes its name through the empty file id it was seen with.
    const auto& request = events[2];
    QCOMPARE(request.value("frame.number"), QStringLiteral("1"));
    QCOMPARE(request.value("smb2.filename"), QStringLiteral("a.txt"));
    QCOMPARE(request.value("smb2.nt_status"), QStringLiteral("none"));
    QCOMPARE(request.value("smb2.sesid"), QStringLiteral("0x0000000000000011"));
    QCOMPARE(request.value("smb2.fid"), QStringLiteral("F1"));
    QCOMPARE(request.size(), 15);
}

// tshark's quoted fields and the capture conversion's bare ones (another
// column order, other columns, CR LF row ends) give the same document.
void Smb2XesExporterTest::quotedAndBareAlike()
{
    TempWorkDir dir;
    MessageRecorder boxes;
    Smb2XesExporter quotedExporter;
    const QString quoted = dir.filePath(QStringLiteral("quoted.xes"));
    QVERIFY(quotedExporter.exportFile(fixture(QStringLiteral("alike_quoted.csv")), quoted));
    Smb2XesExporter bareExporter;
    const QString bare = dir.filePath(QStringLiteral("bare.xes"));
    QVERIFY(bareExporter.exportFile(fixture(QStringLiteral("alike_bare.csv")), bare));
    QCOMPARE(readAll(bare), readAll(quoted));
    // Two responses, the session, two requests.
    QCOMPARE(bareExporter.eventsWritten, 5);
    QString error;
    const auto events = readEvents(bare, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // The doubled quotes are one quote of the name (of the first request).
    QCOMPARE(events[3].value("smb2.filename"), QStringLiteral("say \"hi\" and go.txt"));
    QCOMPARE(boxes.titles(), (QStringList{"Save Selection", "Save Selection"}));
}

void Smb2XesExporterTest::refusedInputs_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("text");
    QTest::newRow("fields missing")
        << "missing_columns.csv"
        << "Export failed: the input lacks the fields smb2.sesid, smb2.fid, smb2.flags.response, "
           "which the export needs. Convert the capture with these fields selected.";
    QTest::newRow("one field missing")
        << "no_session.csv"
        << "Export failed: the input lacks the field smb2.sesid, which the export needs. Convert "
           "the capture with this field selected.";
    QTest::newRow("header only")
        << "header_only.csv"
        << "Export failed: the input holds no SMB2 packets (no row has a value in smb2.cmd).";
    QTest::newRow("no SMB2 rows")
        << "no_smb2.csv"
        << "Export failed: the input holds no SMB2 packets (no row has a value in smb2.cmd).";
    // Every group is left out: no event, no success.
    const QString noEvent = "Export failed: no event is left to write, so no file was written.\n";
    QTest::newRow("only a time switch")
        << "backward_only.csv"
        << noEvent + "1 group runs backward in time: its first packet is more than 1 s later "
                     "than its last.";
    QTest::newRow("only a spool file")
        << "spool_only.csv"
        << noEvent + "2 groups belong to a file whose name contains \"spool\", which the export "
                     "leaves out.";
    // The file id is named "\spoolss" only after the session's first row.
    QTest::newRow("spoolss named later")
        << "spoolss_later.csv"
        << noEvent + "1 packet belongs to a file whose name contains \"spoolss\" (print "
                     "spooling), which the export leaves out.\n1 group belongs to a file whose "
                     "name contains \"spool\", which the export leaves out.";
}

// Refused before the output is touched: an older file there stays.
void Smb2XesExporterTest::refusedInputs()
{
    QFETCH(QString, file);
    QFETCH(QString, text);
    TempWorkDir dir;
    MessageRecorder boxes;
    const QString out = dir.write(QStringLiteral("out.xes"), "older export");
    Smb2XesExporter exporter;
    QVERIFY(!exporter.exportFile(fixture(file), out));
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests[0].icon, QMessageBox::Warning);
    QCOMPARE(boxes.requests[0].title, QStringLiteral("Failed to save selection"));
    QCOMPARE(boxes.requests[0].text, text);
    QCOMPARE(readAll(out), QByteArray("older export"));
}

void Smb2XesExporterTest::routing_data()
{
    QTest::addColumn<QString>("fields");   // cmd, status, response flag
    QTest::addColumn<bool>("response");
    QTest::addColumn<bool>("request");
    QTest::newRow("create ok") << "\"5\",\"0\",\"1\"" << true << false;
    QTest::newRow("close ok, hex status") << "\"6\",\"0x00000000\",\"1\"" << true << false;
    QTest::newRow("create failed") << "\"5\",\"0xc0000034\",\"1\"" << false << false;
    QTest::newRow("read response") << "\"8\",\"0\",\"1\"" << false << false;
    QTest::newRow("request") << "\"5\",,\"0\"" << false << true;
    QTest::newRow("unquoted create") << "5,0,1" << true << false;
    QTest::newRow("unquoted request") << "5,,0" << false << true;
    QTest::newRow("unquoted hex status") << "6,0x00000000,1" << true << false;
    QTest::newRow("other flag") << "\"5\",\"0\",\"2\"" << false << false;
}

void Smb2XesExporterTest::routing()
{
    QFETCH(QString, fields);
    QFETCH(bool, response);
    QFETCH(bool, request);
    TempWorkDir dir;
    MessageRecorder boxes;
    const QStringList f = fields.split(QLatin1Char(','));
    const QString line = QStringLiteral("\"1700000000\",\"1\",\"10.0.0.1\",\"10.0.0.2\",%1,\"x\","
                                        "\"F\",%2,,,,\"0x5\",\"3\",\"0x1\",%3\n")
                             .arg(f[0], f[1], f[2]);
    const QString input = dir.write(QStringLiteral("in.csv"), (HEADER + "\n" + line).toUtf8());
    Smb2XesExporter exporter;
    exportTo(dir, input, &exporter);
    QCOMPARE(exporter.responseGroups.size(), response ? 1 : 0);
    QCOMPARE(exporter.requestGroups.size(), request ? 1 : 0);
    QCOMPARE(exporter.sessionGroups.size(), 1);
    QCOMPARE(exporter.eventsWritten, 1 + int(response) + int(request));
}

void Smb2XesExporterTest::specialValuesStayValidXml()
{
    TempWorkDir dir;
    MessageRecorder boxes;
    QString error;
    const auto events =
        readEvents(exportTo(dir, fixture(QStringLiteral("special_values.csv"))), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // Two requests of one session: two request events and the session event.
    QCOMPARE(events.size(), 3);
    const auto& session = events[0];
    // The comma inside the quoted name shifted no column.
    QCOMPARE(session.value("smb2.sesid"), QStringLiteral("0x0000000000000022"));
    QCOMPARE(session.value("smb2.tid"), QStringLiteral("0x00000001"));
    // The later name of the file id wins; invalid UTF-8 became replacement
    // characters.
    QCOMPARE(session.value("smb2.filename"),
             QString::fromUtf8("caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd.txt"));
    const QString first = events[1].value("smb2.filename");
    QCOMPARE(first, QString::fromUtf8("caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd.txt"));

    // The raw bytes of the first name as the log had it, escaped.
    Smb2XesExporter exporter;
    QCOMPARE(exporter.xmlValue(Smb2XesExporter::unquote(
                 QStringLiteral("\"R&D <draft>, \\\"v2\\\"\x01.txt\""))),
             QStringLiteral("\"RandD &lt;draft&gt;, \\&quot;v2\\&quot;.txt\""));
}

void Smb2XesExporterTest::fixtures_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("events");
    // "event index:key=value" as an XML parser reads the output.
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QString>("debugLine");   // logged once, when given
    // Bare values are read like quoted ones: the response, the session and
    // the request.
    QTest::newRow("unquoted") << "unquoted.csv" << 3
                              << QStringList{"0:smb2.filename=aandb<c>.txt", "0:ip.src=10.0.0.1",
                                             "1:ip.src=10.0.0.2", "2:smb2.nt_status=none"}
                              << QString();
    QTest::newRow("short rows") << "short_rows.csv" << 2 << QStringList{"0:frame.number=2"}
                                << "Invalid packet ";
    // Only the fields the export needs: the fields it merely copies are
    // "none", and rows narrower than fifteen fields are read.
    QTest::newRow("narrow, bare, CR LF") << "narrow_bare.csv" << 2
                                         << QStringList{"0:smb2.filename=x.txt", "0:smb2.tid=none",
                                                        "1:smb2.sesid=0x11"}
                                         << QString();
    // Session 0x44 runs 2 s backward; 0x55 spans 0.4 s and keeps its end.
    QTest::newRow("time switch")
        << "time_switch.csv" << 1
        << QStringList{"0:smb2.sesid=0x55", "0:frame.start_time=1700000000000000000",
                       "0:frame.end_time=1700000000400000000"}
        << "timeswitch detected  -2";
    // tshark prints an empty name as "": it does not replace the name of
    // the session's last file id; the request's own empty file id has none.
    QTest::newRow("quoted empty name") << "empty_name.csv" << 2
                                       << QStringList{"0:smb2.filename=x.txt",
                                                      "1:smb2.filename=none"}
                                       << QString();
    // Rows of a spoolss file are dropped; a group of a "spool" file is not
    // written.
    QTest::newRow("spool") << "spool.csv" << 1 << QStringList{"0:smb2.sesid=0x99"}
                           << "minTime: 1.79769e+308 maxTime: 0";
    // The same message and file id with the addresses swapped: one exchange.
    QTest::newRow("swapped addresses") << "swapped_addresses.csv" << 2
                                       << QStringList{"1:smb2.incomplete=0"} << QString();
}

void Smb2XesExporterTest::fixtures()
{
    QFETCH(QString, file);
    QFETCH(int, events);
    QFETCH(QStringList, values);
    QFETCH(QString, debugLine);
    TempWorkDir dir;
    MessageRecorder boxes;
    DebugCapture debug;
    debug.setForward(false);
    QString error;
    const auto got = readEvents(exportTo(dir, fixture(file)), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(got.size(), events);
    for (const QString& v : values) {
        const int colon = v.indexOf(QLatin1Char(':'));
        const int equals = v.indexOf(QLatin1Char('='));
        const int index = v.left(colon).toInt();
        QCOMPARE(got[index].value(v.mid(colon + 1, equals - colon - 1)), v.mid(equals + 1));
    }
    if (!debugLine.isEmpty())
        QVERIFY(debug.count(debugLine) >= 1);
    QCOMPARE(boxes.titles(), QStringList{"Save Selection"});
}

// A response group of more than two rows is logged and still one event.
void Smb2XesExporterTest::duplicateResponses()
{
    TempWorkDir dir;
    MessageRecorder boxes;
    DebugCapture debug;
    debug.setForward(false);
    QString text = HEADER + "\n";
    for (int i = 0; i < 3; ++i)
        text += QStringLiteral("\"1700000000\",\"%1\",\"10.0.0.1\",\"10.0.0.2\",\"6\",,\"F\","
                               "\"0x00000000\",,,,\"0x5\",\"3\",\"0x1\",\"1\"\n")
                    .arg(i);
    const QString input = dir.write(QStringLiteral("dup.csv"), text.toUtf8());
    Smb2XesExporter exporter;
    QString error;
    const auto events = readEvents(exportTo(dir, input, &exporter), &error);
    QVERIFY(error.isEmpty());
    QCOMPARE(debug.count(QStringLiteral("duplicates")), 1);
    QCOMPARE(debug.count(QStringLiteral("1700000000,2,10.0.0.1,10.0.0.2,6,,F,0x00000000,,,,0x5,3,"
                                        "0x1,1,")),
             1);
    // The response group and the session group.
    QCOMPARE(events.size(), 2);
    QCOMPARE(events[0].value("smb2.incomplete"), QStringLiteral("0"));
}

void Smb2XesExporterTest::splitLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("parts");
    QTest::newRow("empty parts") << ",a,," << QStringList{"", "a", "", ""};
    QTest::newRow("empty line") << "" << QStringList{""};
    QTest::newRow("comma in quotes") << "\"a,b\",c" << QStringList{"\"a,b\"", "c"};
    QTest::newRow("open quote to the end") << "\"a,b" << QStringList{"\"a,b"};
}

void Smb2XesExporterTest::splitLine()
{
    QFETCH(QString, line);
    QFETCH(QStringList, parts);
    QCOMPARE(Smb2XesExporter::splitLine(line, QLatin1Char(',')), parts);
}

// 100001 data lines are read; the box says how many were left.
void Smb2XesExporterTest::lineLimit()
{
    TempWorkDir dir;
    MessageRecorder boxes;
    DebugCapture debug;
    debug.setForward(false);
    QByteArray text = HEADER.toUtf8() + "\n";
    const int lines = Smb2XesExporter::LINE_LIMIT + 9;
    for (int i = 0; i < lines; ++i)
        text += "\"1700000000\",\"" + QByteArray::number(i)
            + "\",\"10.0.0.1\",\"10.0.0.2\",\"8\",,\"F\",\"0\",,,,\"0x5\",\"3\",\"0x1\",\"1\"\n";
    const QString input = dir.write(QStringLiteral("long.csv"), text);
    Smb2XesExporter exporter;
    QString error;
    const auto events = readEvents(exportTo(dir, input, &exporter), &error);
    QVERIFY(error.isEmpty());
    QCOMPARE(exporter.linesRead, Smb2XesExporter::LINE_LIMIT);
    QCOMPARE(exporter.linesNotRead, qint64(9));
    QCOMPARE(exporter.sessionGroups.value(QStringLiteral("0x5")).size(),
             Smb2XesExporter::LINE_LIMIT);
    QCOMPARE(debug.count(QStringLiteral("Read  100000  Packets")), 1);
    QCOMPARE(events.size(), 1);
    QCOMPARE(events[0].value("frame.number"), QStringLiteral("0"));
    QCOMPARE(boxes.requests.size(), 1);
    QVERIFY(boxes.requests[0].text.startsWith(QStringLiteral("Export successful\n")));
    QVERIFY(boxes.requests[0].text.contains(QStringLiteral("100001")));
    QVERIFY(boxes.requests[0].text.contains(QStringLiteral(" 9 lines")));
}

void Smb2XesExporterTest::failures_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::newRow("no input") << "missing.csv" << "out.xes";
    QTest::newRow("no output folder") << fixture("create_exchange.csv") << "nowhere/out.xes";
    QTest::newRow("full disk") << fixture("create_exchange.csv") << "/dev/full";
}

void Smb2XesExporterTest::failures()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    if (output == QLatin1String("/dev/full") && !QFileInfo::exists(output))
        QSKIP("/dev/full is not there");
    TempWorkDir dir;
    MessageRecorder boxes;
    Smb2XesExporter exporter;
    const QString in = QFileInfo(input).isAbsolute() ? input : dir.filePath(input);
    const QString out = QFileInfo(output).isAbsolute() ? output : dir.filePath(output);
    QVERIFY(!exporter.exportFile(in, out));
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests[0].icon, QMessageBox::Warning);
    QCOMPARE(boxes.requests[0].title, QStringLiteral("Failed to save selection"));
    QCOMPARE(boxes.requests[0].text,
             QStringLiteral("Save failed: file could not be opened or writte to"));
    if (output == QLatin1String("out.xes"))
        QVERIFY(!QFileInfo::exists(out));
}

void Smb2XesExporterTest::fullDisk_data()
{
    QTest::addColumn<bool>("old");
    QTest::newRow("over an earlier export") << true;
    QTest::newRow("new file") << false;
}

// On a full disk the document it was to replace stays byte for byte, and a
// new one is not left behind.
void Smb2XesExporterTest::fullDisk()
{
    QFETCH(bool, old);
    TempWorkDir dir;
    const QString out = dir.filePath(QStringLiteral("out.xes"));
    if (old)
        dir.write(QStringLiteral("out.xes"), "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<log/>\n");
    const QString input = dir.write(QStringLiteral("in.csv"), readAll(fixture("create_exchange.csv")));
    const QMap<QString, QByteArray> before = filesIn(dir.path());
    MessageRecorder boxes;
    Smb2XesExporter exporter;
    {
        // The prologue alone does not fit.
        FileSizeLimit full(256);
        QVERIFY(full.active());
        QVERIFY(!exporter.exportFile(input, out));
    }
    QCOMPARE(boxes.titles(), QStringList{QStringLiteral("Failed to save selection")});
    QCOMPARE(boxes.requests[0].text, QStringLiteral("Save failed: file could not be opened or writte to"));
    QCOMPARE(filesIn(dir.path()), before);
}

// The save dialog shows even after the open dialog was cancelled; only both
// answers export.
void Smb2XesExporterTest::dialogs()
{
    TempWorkDir dir;
    const QString out = dir.filePath(QStringLiteral("chosen.xes"));
    {
        MessageRecorder boxes;
        FileAnswers files({QString(), out});
        Smb2XesExporter().run();
        QCOMPARE(files.requests.size(), 2);
        QCOMPARE(files.requests[0].kind, FileAsker::OpenFile);
        QCOMPARE(files.requests[0].caption, QStringLiteral("Open CSV"));
        QCOMPARE(files.requests[0].directory, QDir::homePath());
        QCOMPARE(files.requests[0].filter, QStringLiteral("*.csv"));
        QCOMPARE(files.requests[1].kind, FileAsker::SaveFile);
        QCOMPARE(files.requests[1].caption, QStringLiteral("Export Selection:"));
        QCOMPARE(files.requests[1].directory, QString());
        QCOMPARE(files.requests[1].filter, QStringLiteral("Xes files (*.xes)"));
        QVERIFY(!QFileInfo::exists(out));
        QVERIFY(boxes.requests.isEmpty());
    }
    {
        MessageRecorder boxes;
        FileAnswers files({fixture(QStringLiteral("create_exchange.csv")), QString()});
        Smb2XesExporter().run();
        QCOMPARE(files.requests.size(), 2);
        QVERIFY(boxes.requests.isEmpty());
    }
    {
        MessageRecorder boxes;
        FileAnswers files({fixture(QStringLiteral("create_exchange.csv")), out});
        Smb2XesExporter().run();
        QVERIFY(QFileInfo::exists(out));
        QCOMPARE(boxes.titles(), QStringList{QStringLiteral("Save Selection")});
    }
}

LUMIVANE_TEST(Smb2XesExporterTest)
#include "Smb2XesExporterTest.moc"
