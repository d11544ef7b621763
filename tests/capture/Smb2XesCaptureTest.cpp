#include "CaptureTools.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"
#include "XesTestUtil.h"
#include "../app/MessageRecorder.h"

#include "capture/Smb2XesExporter.h"
#include "capture/WiresharkTerminalStream.h"

#include <QFileInfo>
#include <QSet>
#include <QtTest>

#include <memory>

using namespace capturetools;

namespace {

// The names smbclient used in the recorded session (put, get, a rename to a
// name with "," and "&", two deletes, a folder made and removed).
const QStringList SMBCLIENT_NAMES{QStringLiteral("report.txt"),
                                  QString::fromUtf8("Q1, costs & fees \xc3\xa9.txt"),
                                  QStringLiteral("folder")};

// The XES schema of the standard, kept beside the repository.
QString schemaPath()
{
    const QString shared = qEnvironmentVariable("LUMIVANE_SHARED_DIR");
    const QString base = shared.isEmpty()
        ? testDataPath(QStringLiteral("../../../shared"))
        : shared;
    return QFileInfo(base + QStringLiteral("/testdata/xes/xes-ieee-1849-2016.xsd")).absoluteFilePath();
}

QStringList splitQuoted(const QString& line)
{
    QStringList parts;
    QString part;
    bool quoted = false;
    for (const QChar c : line) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        if (c == QLatin1Char(',') && !quoted) {
            parts << part;
            part.clear();
        } else {
            part += c;
        }
    }
    return parts << part;
}

qint64 number(QString field)
{
    field.remove(QLatin1Char('"'));
    bool ok = false;
    const qint64 v = field.startsWith(QLatin1String("0x")) ? field.mid(2).toLongLong(&ok, 16)
                                                            : field.toLongLong(&ok);
    return ok ? v : -1;
}

// The number of events the log should give, counted apart from the
// exporter: session ids, exchange keys of successful create and close
// responses, exchange keys of requests.
int expectedEvents(const QString& csvPath)
{
    QFile file(csvPath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    const QStringList header = lines.first().split(QLatin1Char(','));
    const auto col = [&](const char* name) { return header.indexOf(QLatin1String(name)); };
    QSet<QString> sessions, responses, requests;
    QHash<QString, QString> lastFid;
    for (int i = 1; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const QStringList f = splitQuoted(lines[i]);
        const QString session = f[col("smb2.sesid")];
        QString fid = f[col("smb2.fid")];
        if (!fid.isEmpty())
            lastFid[session] = fid;
        else if (!f[col("smb2.filename")].isEmpty() && f[col("smb2.filename")] != "\"\"")
            fid = lastFid.value(session);
        QString a = f[col("ip.src")], b = f[col("ip.dst")];
        if (b < a)
            std::swap(a, b);
        const QString key = f[col("smb2.msg_id")] + a + b + fid;
        const qint64 cmd = number(f[col("smb2.cmd")]);
        const qint64 response = number(f[col("smb2.flags.response")]);
        sessions.insert(session);
        if ((cmd == 5 || cmd == 6) && response == 1 && number(f[col("smb2.nt_status")]) == 0)
            responses.insert(key);
        else if (response == 0)
            requests.insert(key);
    }
    return sessions.size() + responses.size() + requests.size();
}

} // namespace

// The exporter on a real SMB2 session recorded against a samba server.
class Smb2XesCaptureTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyGroupIsAnEvent();
    void fileNamesAreTheClientsNames();
    void twoRunsAreIdentical();
    void wellFormedAndValid();
    void convertedCaptureGivesTheSameEvents();
    void captureWithoutSmb2();

private:
    QString exportOnce(const QString& name);

    std::unique_ptr<TempWorkDir> dir;
    QString pcap;
    QString csv;
};

void Smb2XesCaptureTest::initTestCase()
{
    if (!haveTool(QStringLiteral("text2pcap")) || !haveTool(QStringLiteral("tshark")))
        QSKIP("text2pcap and tshark are needed (Debian packages wireshark-common, tshark)");
    dir.reset(new TempWorkDir);
    pcap = rebuildCapture(*dir);
    QVERIFY2(!pcap.isEmpty(), "text2pcap could not rebuild the recorded session");
    csv = smb2Csv(*dir, pcap);
    QVERIFY2(!csv.isEmpty(), "tshark could not convert the recorded session");
}

void Smb2XesCaptureTest::cleanupTestCase()
{
    dir.reset();
}

QString Smb2XesCaptureTest::exportOnce(const QString& name)
{
    MessageRecorder boxes;
    const QString out = dir->filePath(name);
    Smb2XesExporter exporter;
    if (!exporter.exportFile(csv, out) || boxes.titles() != QStringList{"Save Selection"})
        return QString();
    return out;
}

void Smb2XesCaptureTest::everyGroupIsAnEvent()
{
    MessageRecorder boxes;
    Smb2XesExporter exporter;
    const QString out = dir->filePath(QStringLiteral("count.xes"));
    QVERIFY(exporter.exportFile(csv, out));
    const int expected = expectedEvents(csv);
    QVERIFY(expected > 10);
    QCOMPARE(exporter.eventsWritten, expected);
    QVERIFY(!exporter.responseGroups.isEmpty());
    QVERIFY(!exporter.requestGroups.isEmpty());
    QString error;
    QCOMPARE(xestest::readEvents(out, &error).size(), expected);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void Smb2XesCaptureTest::fileNamesAreTheClientsNames()
{
    const QString out = exportOnce(QStringLiteral("names.xes"));
    QVERIFY(!out.isEmpty());
    QString error;
    const auto events = xestest::readEvents(out, &error);
    QVERIFY(error.isEmpty());
    QSet<QString> expected;
    for (QString name : SMBCLIENT_NAMES)
        expected.insert(name.replace(QLatin1Char('&'), QLatin1String("and")));
    QSet<QString> seen;
    for (const auto& e : events) {
        QString name = e.value(QStringLiteral("smb2.filename"));
        if (name == QLatin1String("none"))
            continue;
        // A query answer names the file from the share's root.
        if (name.startsWith(QLatin1Char('\\')))
            name.remove(0, 1);
        QVERIFY2(expected.contains(name), qPrintable(name));
        seen.insert(name);
    }
    QVERIFY2(seen == expected, qPrintable(QStringList(seen.values()).join(QLatin1String(" | "))));
}

void Smb2XesCaptureTest::twoRunsAreIdentical()
{
    const QString a = exportOnce(QStringLiteral("a.xes"));
    const QString b = exportOnce(QStringLiteral("b.xes"));
    QVERIFY(!a.isEmpty() && !b.isEmpty());
    const QByteArray first = xestest::readAll(a);
    QVERIFY(first.size() > 1000);
    QCOMPARE(xestest::readAll(b), first);
}

// Well formed, and valid against the standard's schema but for two known
// details of the fixed prologue: the "openxes.version" attribute and a
// classifier name with blanks.
void Smb2XesCaptureTest::wellFormedAndValid()
{
    if (!haveTool(QStringLiteral("xmllint")))
        QSKIP("xmllint is needed (Debian package libxml2-utils)");
    const QString out = exportOnce(QStringLiteral("valid.xes"));
    QVERIFY(!out.isEmpty());
    QString errors;
    QCOMPARE(runTool(QStringLiteral("xmllint"), {QStringLiteral("--noout"), out}, QString(), &errors),
             0);
    QVERIFY2(errors.isEmpty(), qPrintable(errors));

    const QString schema = schemaPath();
    if (!QFileInfo::exists(schema))
        QSKIP(qPrintable(QStringLiteral("XES schema not found at ") + schema));

    const QStringList args{QStringLiteral("--noout"), QStringLiteral("--schema"), schema};
    QCOMPARE(runTool(QStringLiteral("xmllint"), args + QStringList{out}, QString(), &errors), 3);
    QStringList complaints;
    for (const QString& line : errors.split(QLatin1Char('\n')))
        if (line.contains(QLatin1String("error")))
            complaints << line;
    QCOMPARE(complaints.size(), 2);
    QVERIFY2(complaints[0].contains(QLatin1String("openxes.version")), qPrintable(complaints[0]));
    QVERIFY2(complaints[1].contains(QLatin1String("Method Call Identifier")),
             qPrintable(complaints[1]));

    QByteArray text = xestest::readAll(out);
    text.replace(" openxes.version=\"1.0RC7\"", "");
    text.replace("name=\"Method Call Identifier\"", "name=\"MethodCallIdentifier\"");
    const QString normalised = dir->write(QStringLiteral("normalised.xes"), text);
    QCOMPARE(runTool(QStringLiteral("xmllint"), args + QStringList{normalised}, QString(), &errors),
             0);
    QVERIFY2(errors.trimmed().endsWith(QLatin1String("validates")), qPrintable(errors));
}

// The capture converted as "Convert PCAP" does it (bare values, its own
// column order, other columns beside) gives the events of tshark's quoted
// fields; only a "," in a value is a ";" there, as the conversion writes it.
void Smb2XesCaptureTest::convertedCaptureGivesTheSameEvents()
{
    MessageRecorder boxes;
    const QString converted = dir->filePath(QStringLiteral("converted.csv"));
    {
        TList<QString> fields;
        fields.append(QStringLiteral("tcp.stream"));
        QStringList smb2 = smb2Fields();
        std::reverse(smb2.begin(), smb2.end());
        for (const QString& f : smb2)
            fields.append(f);
        fields.append(QStringLiteral("frame.len"));
        WiresharkTerminalStream stream(converted, fields);
        stream.countPackets(pcap, QStringLiteral("capinfos"));
        QVERIFY2(stream.start(pcap, QStringLiteral("tshark"), QString(), -1),
                 qPrintable(stream.errorText));
    }
    QVERIFY(!xestest::readAll(converted).contains('"'));

    Smb2XesExporter fromConverted;
    const QString a = dir->filePath(QStringLiteral("converted.xes"));
    QVERIFY(fromConverted.exportFile(converted, a));
    Smb2XesExporter fromQuoted;
    const QString b = dir->filePath(QStringLiteral("quoted.xes"));
    QVERIFY(fromQuoted.exportFile(csv, b));
    QCOMPARE(boxes.titles(), (QStringList{"Save Selection", "Save Selection"}));

    QString error;
    const auto convertedEvents = xestest::readEvents(a, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    auto quotedEvents = xestest::readEvents(b, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(convertedEvents.size(), expectedEvents(csv));
    bool commaSeen = false;  // the name with "," is in the session
    for (auto& event : quotedEvents) {
        for (QString& value : event) {
            commaSeen = commaSeen || value.contains(QLatin1Char(','));
            value.replace(QLatin1Char(','), QLatin1Char(';'));
        }
    }
    QVERIFY(commaSeen);
    QCOMPARE(convertedEvents, quotedEvents);
}

// A capture without SMB2: the export says so and writes nothing.
void Smb2XesCaptureTest::captureWithoutSmb2()
{
    TempWorkDir local;
    const QString http = local.filePath(QStringLiteral("http.pcap"));
    QCOMPARE(runTool(QStringLiteral("text2pcap"),
                     {QStringLiteral("-q"), testDataPath(QStringLiteral("capture/http.hex")), http}),
             0);
    const QString fields = smb2Csv(local, http);
    QVERIFY(!fields.isEmpty());
    MessageRecorder boxes;
    Smb2XesExporter exporter;
    const QString out = local.filePath(QStringLiteral("http.xes"));
    QVERIFY(!exporter.exportFile(fields, out));
    QCOMPARE(boxes.requests.size(), 1);
    QVERIFY(boxes.requests[0].text.contains(QStringLiteral("no SMB2 packets")));
    QVERIFY(!QFileInfo::exists(out));
}

LUMIVANE_TEST(Smb2XesCaptureTest)
#include "Smb2XesCaptureTest.moc"
