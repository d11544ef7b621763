#include "DebugCapture.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "import/OpenWidget.h"

#include <QtTest>

#include <memory>

namespace {

const QStringList TIME_NAMES = {"frame.time_second", "frame.time_minute", "frame.time_hour",
                                "frame.time_day",    "frame.time_date",   "frame.time_week",
                                "frame.time_month",  "frame.time_year",   "frame.time_strday",
                                "frame.time_stryear"};

QString derivedOf(const OpenWidget& dialog, const QSharedPointer<Packet>& packet)
{
    QStringList values;
    for (const QString& name : TIME_NAMES)
        values << valueOf(dialog, packet, name);
    return values.join(QLatin1Char('|'));
}

} // namespace

class RecordParsingTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void splitRecord_data();
    void splitRecord();
    void time_data();
    void time();
    void fieldCounts();
    void frameLengthLogHasNoDerivedTimes();
    void traceNumbers_data();
    void traceNumbers();
    void combinedKeyIsSymmetric();
    void smb2CallSequence();
    void smb2MissingColumns_data();
    void smb2MissingColumns();
    void smb2TextsTakenAhead_data();
    void smb2TextsTakenAhead();
    void headerOnlyPreviewWarns();

private:
    std::unique_ptr<DialogFixture> fixture;
    ControlWidget* control = nullptr;
    OpenWidget* dialog = nullptr;
    BoxRecorder* boxes = nullptr;
};

void RecordParsingTest::init()
{
    fixture = std::make_unique<DialogFixture>();
    boxes = &fixture->boxes;
    control = &fixture->control;
    dialog = &fixture->dialog;
}

void RecordParsingTest::cleanup()
{
    fixture.reset();
}

void RecordParsingTest::splitRecord_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QStringList>("fields");
    QTest::newRow("quoted separator stays") << "a,\"b,c\",d" << "," << QStringList{"a", "b,c", "d"};
    QTest::newRow("quoted value with blank") << "1,\"Seq=1, Ack=1\"" << ","
                                             << QStringList{"1", "Seq=1, Ack=1"};
    QTest::newRow("empty line") << "" << "," << QStringList{""};
    QTest::newRow("empty fields stay") << ",a,," << "," << QStringList{"", "a", "", ""};
    QTest::newRow("unterminated quote") << "a,\"b,c" << "," << QStringList{"a", "b,c"};
    QTest::newRow("semicolon") << "a;\"b;c\";d" << ";" << QStringList{"a", "b;c", "d"};
    QTest::newRow("quotes inside field dropped") << "x\"y\"z,w" << "," << QStringList{"xyz", "w"};
}

void RecordParsingTest::splitRecord()
{
    QFETCH(QString, line);
    QFETCH(QString, separator);
    QFETCH(QStringList, fields);
    QCOMPARE(QStringList(OpenWidget::splitRecord(line, separator.at(0).toLatin1())), fields);
}

void RecordParsingTest::time_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("epoch");
    QTest::addColumn<QString>("derived");
    const QString invalid = "0|0|0|0||0|0|0|Monday|January";
    QTest::newRow("fraction dropped") << "1600000000.75" << "1600000000"
                                      << "40|26|12|13|13-09-20|37|9|2020|Sunday|September";
    QTest::newRow("epoch zero") << "0" << "0" << "0|0|0|1|01-01-70|1|1|1970|Thursday|January";
    QTest::newRow("largest") << "4294967295" << "4294967295"
                             << "15|28|6|7|07-02-06|5|2|2106|Sunday|February";
    const QString march = "9|8|7|5|05-03-21|9|3|2021|Friday|March";
    QTest::newRow("yyyy-MM-dd h:mm:ss") << "2021-03-05 7:08:09" << "1614928089" << march;
    QTest::newRow("d-M-yyyy h:mm:ss") << "5-3-2021 7:08:09" << "1614928089" << march;
    QTest::newRow("d-MM-yyyy hh:mm:ss") << "5-03-2021 07:08:09" << "1614928089" << march;
    QTest::newRow("yyyy/MM/dd hh:mm:ss") << "2021/03/05 07:08:09" << "1614928089" << march;
    QTest::newRow("garbage") << "garbage" << "4294967295" << invalid;
    QTest::newRow("empty") << "" << "4294967295" << invalid;
    QTest::newRow("negative") << "-5" << "4294967295" << invalid;
    QTest::newRow("milliseconds") << "1600000000000" << "4294967295" << invalid;
    QTest::newRow("past 32 bits") << "4294967296" << "4294967295" << invalid;
    QTest::newRow("1e20") << "1e20" << "4294967295" << invalid;
    QTest::newRow("nan") << "nan" << "4294967295" << invalid;
}

void RecordParsingTest::time()
{
    QFETCH(QString, field);
    QFETCH(QString, epoch);
    QFETCH(QString, derived);
    chooseLog(*dialog, testDataPath("import/basic.csv"));
    dialog->openInit();
    const QSharedPointer<Packet> packet =
        dialog->parsePacket("\"" + field + "\",a,b,1,x", ',', -2, nullptr);
    QVERIFY(packet);
    // The marker does not fit an int and reads as a double.
    const TVariant time = packet->get(0);
    QVERIFY(time.isNumber());
    QCOMPARE(QString::number(time.toDouble(), 'f', 0), epoch);
    QCOMPARE(derivedOf(*dialog, packet), derived);
    // The same second again comes from the cache and must not differ.
    QCOMPARE(derivedOf(*dialog, dialog->parsePacket(field + ",a,b,1,x", ',', -2, nullptr)),
             derived);
}

void RecordParsingTest::fieldCounts()
{
    chooseLog(*dialog, testDataPath("import/basic.csv"));
    dialog->openInit();
    DebugCapture cap;
    cap.setForward(false);
    QVERIFY(!dialog->parsePacket("1600000000,a,b", ',', -2, nullptr));
    QVERIFY(cap.contains("bad packet 1600000000,a,b"));
    QVERIFY(!dialog->parsePacket("", ',', -2, nullptr));
    QVERIFY(cap.contains("bad packet "));
    cap.clear();
    QVERIFY(!dialog->parsePacket("1600000000,a,b,1,x,extra", ',', -2, nullptr));
    QVERIFY(cap.lines().isEmpty());
    const QSharedPointer<Packet> packet = dialog->parsePacket("1600000000,a,,1,", ',', -2, nullptr);
    QVERIFY(packet);
    QVERIFY(!packet->get(dialog->attributeNames.indexOf("ip.dst")).isValid());
    QCOMPARE(packet->conversationId, 0);
}

void RecordParsingTest::frameLengthLogHasNoDerivedTimes()
{
    chooseLog(*dialog, testDataPath("import/frame_length.csv"));
    QCOMPARE(QStringList(dialog->attributeNames.toQList()),
             QStringList({"frame.time_epoch", "ip.src", "frame.length"}));
    QVERIFY(!dialog->attributeTypes.contains("frame.time_day"));
    dialog->openInit();
    const QSharedPointer<Packet> packet = dialog->parsePacket("1600000000,a,60", ',', -2, nullptr);
    QVERIFY(packet);
    QCOMPARE(packet->columnCount(), 3);
}

void RecordParsingTest::traceNumbers_data()
{
    QTest::addColumn<QString>("grouping");
    QTest::addColumn<QList<int>>("ids");
    QTest::newRow("by attribute") << "Attribute" << QList<int>{0, 1, 0, 2, 1};
    QTest::newRow("none") << "None" << QList<int>{0, 0, 0, 0, 0};
}

void RecordParsingTest::traceNumbers()
{
    QFETCH(QString, grouping);
    QFETCH(QList<int>, ids);
    chooseLog(*dialog, testDataPath("import/basic.csv"));
    dialog->groupingCombo->setCurrentText("ip.src");
    (grouping == "None" ? dialog->noneRadio : dialog->attributeRadio)->setChecked(true);
    dialog->openInit();
    QList<int> got;
    for (const char* source : {"k", "l", "k", "m", "l"}) {
        const auto packet = dialog->parsePacket(QStringLiteral("1600000000,%1,b,1,x").arg(source),
                                                ',', dialog->grouping, nullptr);
        QVERIFY(packet);
        got << packet->conversationId;
    }
    QCOMPARE(got, ids);
    // Every openInit starts the numbering again.
    dialog->openInit();
    QCOMPARE(dialog->nextConversationId, 0);
}

void RecordParsingTest::combinedKeyIsSymmetric()
{
    chooseLog(*dialog, testDataPath("import/basic.csv"));
    dialog->combinedRadio->setChecked(true);
    dialog->combinedSourceCombo->setCurrentText("ip.src");
    dialog->combinedDestinationCombo->setCurrentText("ip.dst");
    dialog->combinedSessionCombo->setCurrentText("frame.len");
    dialog->openInit();
    const auto ba = dialog->parsePacket("1600000000,B,A,7,x", ',', dialog->grouping, nullptr);
    const auto ab = dialog->parsePacket("1600000001,A,B,7,y", ',', dialog->grouping, nullptr);
    const auto other = dialog->parsePacket("1600000001,A,B,8,y", ',', dialog->grouping, nullptr);
    QVERIFY(ba && ab && other);
    QCOMPARE(valueOf(*dialog, ba, "frame.convid"), QStringLiteral("A;B-7"));
    QCOMPARE(valueOf(*dialog, ab, "frame.convid"), QStringLiteral("A;B-7"));
    QCOMPARE(ba->conversationId, 0);
    QCOMPARE(ab->conversationId, 0);
    QCOMPARE(other->conversationId, 1);
}

void RecordParsingTest::smb2CallSequence()
{
    chooseLog(*dialog, testDataPath("import/smb2_sequence.csv"));
    dialog->openInit();
    dialog->callSequences.clear();
    dialog->fileByFid.clear();
    const QStringList expected = {
        "0 a.txt|a.txt|a.txt",   // request: nothing pushed yet
        "1 a.txt|a.txt|a.txt",   // CREATE response pushes
        "1 a.txt|a.txt|a.txt",   // a read in between
        "1 a.txt|a.txt|a.txt",   // CLOSE response shows, then pops
        "0 []|root|unknown",     // zero file id never enters the map
        "0 []|root|",            // no id, no name
    };
    dialog->stream->rewind();
    dialog->stream->readLine();
    QStringList got;
    while (!dialog->stream->atEnd()) {
        const auto packet = dialog->parsePacket(dialog->stream->readLine(), ',', -2, nullptr);
        QVERIFY(packet);
        got << valueOf(*dialog, packet, "smb2.cSeq.filename") + "|"
                   + valueOf(*dialog, packet, "smb2.cSeq.session") + "|"
                   + valueOf(*dialog, packet, "smb2.file");
    }
    QCOMPARE(got, expected);
    QVERIFY(dialog->callSequences.contains("10.0.0.1"));
    QVERIFY(!dialog->fileByFid.contains("00000000-0000-0000-0000-000000000000"));
    QCOMPARE(dialog->fileByFid.value("fid-1"), QStringLiteral("a.txt"));
}

void RecordParsingTest::smb2MissingColumns_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QString>("session");
    QTest::newRow("no command") << "import/smb2_no_command.csv"
                                << QStringList{"unknown|[?]", "unknown|[?]"} << "";
    QTest::newRow("no address columns") << "import/smb2_no_session.csv"
                                        << QStringList{"1 x.txt|x.txt", "1 x.txt|x.txt"} << "def";
}

void RecordParsingTest::smb2MissingColumns()
{
    QFETCH(QString, log);
    QFETCH(QStringList, values);
    QFETCH(QString, session);
    chooseLog(*dialog, testDataPath(log));
    QVERIFY(!dialog->attributeNames.contains("smb2.file"));
    dialog->openInit();
    dialog->callSequences.clear();
    dialog->stream->rewind();
    dialog->stream->readLine();
    QStringList got;
    while (!dialog->stream->atEnd()) {
        const auto packet = dialog->parsePacket(dialog->stream->readLine(), ',', -2, nullptr);
        QVERIFY(packet);
        got << valueOf(*dialog, packet, "smb2.cSeq.filename") + "|"
                   + valueOf(*dialog, packet, "smb2.cSeq.session");
    }
    QCOMPARE(got, values);
    if (!session.isEmpty())
        QVERIFY(dialog->callSequences.contains(session));
}

void RecordParsingTest::smb2TextsTakenAhead_data()
{
    QTest::addColumn<QString>("log");
    QTest::newRow("sequence") << "import/smb2_sequence.csv";
    QTest::newRow("no command") << "import/smb2_no_command.csv";
    QTest::newRow("no address columns") << "import/smb2_no_session.csv";
    QTest::newRow("quotes, short and long rows") << "import/smb2_awkward.csv";
}

// The call tables' texts worked out from fields taken ahead (as the threads
// of a load do) are the texts worked out from the whole lines.
void RecordParsingTest::smb2TextsTakenAhead()
{
    QFETCH(QString, log);
    chooseLog(*dialog, testDataPath(log));
    dialog->openInit();
    dialog->stream->rewind();
    dialog->stream->readLine();
    QStringList lines;
    while (!dialog->stream->atEnd())
        lines << dialog->stream->readLine();
    QVERIFY(lines.size() >= 2);
    auto reset = [this] {
        dialog->callSequences.clear();
        dialog->fileByFid.clear();
        dialog->fileByMessage.clear();
    };

    reset();
    QString wholeTexts;
    std::vector<RecordParser::Span> wholeSpans;
    for (const QString& line : lines)
        dialog->sequenceSmb2(line, wholeTexts, wholeSpans);

    reset();
    const std::vector<int> columns = dialog->smb2InputColumns();
    RecordParser::Smb2Input input;
    std::vector<QStringView> views;
    QList<QString> owned;
    for (const QString& line : lines)
        dialog->takeSmb2Input(line, columns, input, views, owned);
    QString texts;
    std::vector<RecordParser::Span> spans;
    RecordParser::Smb2Cursor at;
    for (int n = 0; n < lines.size(); ++n)
        dialog->sequenceSmb2(input, columns, at, texts, spans);
    QCOMPARE(at.length, input.lengths.size());
    QCOMPARE(texts, wholeTexts);
    QVERIFY(spans == wholeSpans);
    QVERIFY(!spans.empty());
}

void RecordParsingTest::headerOnlyPreviewWarns()
{
    DebugCapture cap;
    cap.setForward(false);
    chooseLog(*dialog, testDataPath("import/header_only.csv"));
    // No record is read: the file is refused with the reason.
    QVERIFY(!cap.contains("invalid Wireshark packet 0"));
    QCOMPARE(boxes->requests.size(), 1);
    QCOMPARE(boxes->requests.first().title, QStringLiteral("LumiVane"));
    QCOMPARE(boxes->requests.first().text,
             QStringLiteral("header_only.csv cannot be loaded: it has a header line but no data "
                            "rows.\n\nThe loaded log stays as it is."));
    QVERIFY(!dialog->stream);
    QVERIFY(dialog->checkPackets(dialog->stream, 0).isEmpty());

    // Records that give no event beside some that do keep the warning
    // about them.
    boxes->requests.clear();
    chooseLog(*dialog, testDataPath("import/field_counts.csv"));
    QCOMPARE(boxes->requests.size(), 1);
    QVERIFY(boxes->requests.first().text.startsWith(
        QStringLiteral("Tshark was not able to convert all wireshark packets properly.\n\n Packets {")));
    QVERIFY(dialog->stream);
}

LUMIVANE_TEST(RecordParsingTest)
#include "RecordParsingTest.moc"
