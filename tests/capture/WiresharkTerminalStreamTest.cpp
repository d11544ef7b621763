#include "TestRegistry.h"

#include "DebugCapture.h"
#include "TempWorkDir.h"
#include "app/MessageAsker.h"
#include "capture/WiresharkTerminalStream.h"
#include "core/HandlerGuard.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <climits>
#include <memory>
#include <new>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

// Output of a tool run to its end (standard output only).
QByteArray run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

// A shell script standing in for tshark or capinfos; it writes its
// arguments, one a line, to args.txt beside itself and then runs body.
QString writeTool(const TempWorkDir& dir, const QString& name, const QString& body)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.txt\"\n");
    file.write(body.toUtf8());
    file.write("\n");
    file.close();
    file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    return path;
}

QString catFixture(const QString& name)
{
    return QStringLiteral("cat '%1'").arg(testDataPath(QStringLiteral("capture/") + name));
}

TList<QString> fields(int n)
{
    TList<QString> list;
    for (int k = 0; k < n; ++k)
        list.append(QStringLiteral("f%1").arg(k + 1));
    return list;
}

// The rows of a converted file without its header, "\r\n" checked and cut.
QStringList rowsOf(const QByteArray& bytes, QByteArray* header = nullptr)
{
    const int end = bytes.indexOf('\n');
    if (header)
        *header = bytes.left(end + 1);
    QStringList rows;
    const QByteArray body = bytes.mid(end + 1);
    for (const QByteArray& line : body.split('\n')) {
        if (line.isEmpty())
            continue;
        rows << (line.endsWith('\r') ? QString::fromUtf8(line.chopped(1))
                                     : QStringLiteral("<no CR>") + QString::fromUtf8(line));
    }
    return rows;
}

// The values tshark prints without quotes, changed as the conversion
// changes them: "," becomes ";", '"' and "~" are dropped.
QStringList expectedRows(const QString& capture, const QStringList& fieldNames,
                         const QString& filter = QString())
{
    QStringList arguments{"-r", capture};
    if (!filter.isEmpty())
        arguments << "-Y" << filter;
    arguments << "-T" << "fields" << "-E" << "separator=/t" << "-E" << "quote=n";
    for (const QString& field : fieldNames)
        arguments << "-e" << field;
    arguments << "-E" << "occurrence=f";
    QStringList rows;
    const QString text = QString::fromUtf8(run(QStringLiteral("tshark"), arguments));
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QStringList values = line.split(QLatin1Char('\t'));
        for (QString& v : values)
            v = v.replace(QLatin1Char(','), QLatin1Char(';')).remove(QLatin1Char('"')).remove(QLatin1Char('~'));
        rows << values.join(QLatin1Char(','));
    }
    return rows;
}

const QStringList HTTP_FIELDS{"frame.number",     "frame.time_epoch", "ip.src",
                              "ip.dst",           "tcp.srcport",      "http.request.uri",
                              "http.user_agent",  "http.host",        "tcp.flags",
                              "frame.protocols"};

TList<QString> toTList(const QStringList& list)
{
    TList<QString> t;
    for (const QString& s : list)
        t.append(s);
    return t;
}

class Boxes
{
public:
    Boxes()
    {
        previous = MessageAsker::setHandler([this](const MessageAsker::Request& r) {
            requests << r;
            return QMessageBox::Ok;
        });
    }
    ~Boxes() { MessageAsker::setHandler(previous); }
    QList<MessageAsker::Request> requests;

private:
    MessageAsker::Handler previous;
};

// An output device that runs out of memory at every write, as a file whose
// buffer cannot grow does.
class FailingDevice : public QIODevice
{
public:
    FailingDevice() { open(QIODevice::WriteOnly); }
    bool isSequential() const override { return true; }
    int writes = 0;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64) override
    {
        ++writes;
        throw std::bad_alloc();
    }
};

} // namespace

class WiresharkTerminalStreamTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void tokenizer_data();
    void tokenizer();
    void arguments_data();
    void arguments();
    void longFieldListIsCut();
    void packetCount_data();
    void packetCount();
    void convertsLikeTshark();
    void repeatedFieldOnce();
    void displayFilter();
    void filterWithOptionsStaysOneFilter();
    void awkwardCapturePath();
    void failures_data();
    void failures();
    void failureKeepsOutput_data();
    void failureKeepsOutput();
    void noRecordFromPackets();
    void unwritableOutput();
    void abortKillsAndRemoves();
    void outOfMemoryFailsWhole_data();
    void outOfMemoryFailsWhole();
    void goesWithoutWriting_data();
    void goesWithoutWriting();

private:
    std::unique_ptr<TempWorkDir> classDir;
    std::unique_ptr<TempWorkDir> dir;
    std::unique_ptr<DebugCapture> log;
    QString capture;
};

void WiresharkTerminalStreamTest::initTestCase()
{
    classDir = std::make_unique<TempWorkDir>();
    capture = classDir->filePath(QStringLiteral("http.pcap"));
    QProcess text2pcap;
    text2pcap.start(QStringLiteral("text2pcap"),
                    {"-q", "-t", "%Y-%m-%d %H:%M:%S.",
                     testDataPath(QStringLiteral("capture/http.hex")), capture});
    QVERIFY(text2pcap.waitForFinished(30000));
    QCOMPARE(text2pcap.exitCode(), 0);
    QVERIFY(QFile::exists(capture));
}

void WiresharkTerminalStreamTest::init()
{
    dir = std::make_unique<TempWorkDir>();
    log = std::make_unique<DebugCapture>();
    log->setForward(false);
}

void WiresharkTerminalStreamTest::cleanup()
{
    log.reset();
    dir.reset();
}

void WiresharkTerminalStreamTest::tokenizer_data()
{
    QTest::addColumn<QStringList>("parts");  // fixtures printed with a pause between
    QTest::addColumn<int>("width");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("logged");
    using L = QStringList;
    QTest::newRow("empty middle value") << L{"empty-middle.txt"} << 3 << L{"a,,c"} << "";
    QTest::newRow("leading separator") << L{"leading-separator.txt"} << 3 << L{",b,c"} << "";
    QTest::newRow("missing last value") << L{"missing-last.txt"} << 3 << L{"a,b,"} << "";
    QTest::newRow("comma in value") << L{"comma.txt"} << 1 << L{"x;y"} << "";
    QTest::newRow("stray inner quote")
        << L{"inner-quote.txt"} << 2 << L{"abc,d"} << "fake quote detected 10";
    QTest::newRow("tilde in value") << L{"tilde-in-value.txt"} << 2 << L{"ab,c"} << "";
    QTest::newRow("one token too many")
        << L{"extra-token.txt"} << 2 << L{"d,e"} << "more tokens than attributes?";
    QTest::newRow("record over two lines") << L{"split-record.txt"} << 3 << L{"a,b c,d"} << "";
    QTest::newRow("break in the last field ends the row")
        << L{"split-last-field.txt"} << 3 << L{"a,b,"} << "";
    QTest::newRow("record over two batches")
        << L{"lines/batch-1.txt", "lines/batch-2.txt"} << 3 << L{"a,b c,d", "e,f,g"} << "";
    QTest::newRow("one field, empty value") << L{"one-field-empty.txt"} << 1 << L{"a", "", "c"} << "";
    QTest::newRow("unquoted text") << L{"unquoted-text.txt"} << 2 << L{"a,b"} << "";
    QTest::newRow("CR and no final line end")
        << L{"crlf-no-final-newline.txt"} << 2 << L{"a,b", "c,d"} << "";
}

void WiresharkTerminalStreamTest::tokenizer()
{
    QFETCH(QStringList, parts);
    QFETCH(int, width);
    QFETCH(QStringList, rows);
    QFETCH(QString, logged);
    QStringList commands;
    for (const QString& part : parts)
        commands << catFixture(part.startsWith(QLatin1String("lines/")) ? part
                                                                        : QStringLiteral("lines/") + part);
    const QString tshark =
        writeTool(*dir, QStringLiteral("tshark"), commands.join(QStringLiteral("\nsleep 0.3\n")));
    const QString output = dir->filePath(QStringLiteral("out.csv"));
    {
        WiresharkTerminalStream stream(output, fields(width));
        QVERIFY(stream.start(QStringLiteral("in.pcap"), tshark, QString(), -1));
        QCOMPARE(stream.rowsWritten, rows.size());
    }
    QByteArray header;
    QCOMPARE(rowsOf(readAll(output), &header), rows);
    QCOMPARE(header, fields(width).toQList().join(QLatin1Char(',')).toUtf8() + "\n");
    if (!logged.isEmpty())
        QVERIFY2(log->contains(logged), qPrintable(log->lines().join(QLatin1Char('|'))));
}

void WiresharkTerminalStreamTest::arguments_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QStringList>("middle");  // between the capture and "-T"
    QTest::newRow("no filter, no limit") << "" << -1 << QStringList{};
    QTest::newRow("limit") << "" << 25 << QStringList{"-c", "25"};
    QTest::newRow("filter of three words")
        << "ip.src == 1.2.3.4" << -1 << QStringList{"-Y", "ip.src == 1.2.3.4"};
    QTest::newRow("both") << "tcp" << 0 << QStringList{"-c", "0", "-Y", "tcp"};
}

void WiresharkTerminalStreamTest::arguments()
{
    QFETCH(QString, filter);
    QFETCH(int, limit);
    QFETCH(QStringList, middle);
    const QString tshark = writeTool(*dir, QStringLiteral("tshark"), QString());
    const QString path = dir->filePath(QStringLiteral("my \"cap\" ü.pcap"));
    WiresharkTerminalStream stream(dir->filePath(QStringLiteral("out.csv")),
                                   toTList({"ip.src", "ip.dst"}));
    stream.start(path, tshark, filter, limit);
    const QStringList expected = QStringList{"-r", path} + middle
                                 + QStringList{"-T", "fields", "-E", "separator=~", "-E",
                                               "quote=d", "-e", "ip.src", "-e", "ip.dst", "-E",
                                               "occurrence=f", "-l"};
    const QStringList got = QString::fromUtf8(readAll(dir->filePath(QStringLiteral("args.txt"))))
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(got, expected);
}

void WiresharkTerminalStreamTest::longFieldListIsCut()
{
    // Each field adds its length and 4 to an estimate that starts at the
    // two paths, the field count and 33; 8190 is the most it may reach.
    const QString tshark = writeTool(*dir, QStringLiteral("tshark"), QString());
    const QString path = QStringLiteral("c.pcap");
    TList<QString> names;
    for (int k = 0; k < 12; ++k)
        names.append(QStringLiteral("f%1.").arg(k) + QString(996, QLatin1Char('x')));
    const int start = tshark.size() + path.size() + 12 + 33;
    int fit = 0;
    for (int estimate = start; fit < 12 && names.at(fit).size() + estimate + 4 <= 8190; ++fit)
        estimate += names.at(fit).size() + 4;
    QVERIFY(fit > 2 && fit < 12);

    const QString output = dir->filePath(QStringLiteral("out.csv"));
    WiresharkTerminalStream stream(output, names);
    stream.start(path, tshark, QString(), -1);
    QCOMPARE(stream.attributes.size(), fit);
    const QStringList got = QString::fromUtf8(readAll(dir->filePath(QStringLiteral("args.txt"))))
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(got.count(QStringLiteral("-e")), fit);
    QByteArray header;
    rowsOf(readAll(output), &header);
    QCOMPARE(header, stream.attributes.toQList().join(QLatin1Char(',')).toUtf8() + "\n");
}

void WiresharkTerminalStreamTest::packetCount_data()
{
    QTest::addColumn<QString>("fixture");  // empty: the real capinfos on the capture
    QTest::addColumn<int>("count");
    QTest::newRow("real capinfos") << "" << 36;
    QTest::newRow("plain output") << "capinfos-plain.txt" << 36;
    QTest::newRow("count on a later line") << "capinfos-later-line.txt" << 1234;
    QTest::newRow("no count line") << "capinfos-no-count.txt" << 0;
    QTest::newRow("count not a number") << "capinfos-not-a-number.txt" << 0;
    QTest::newRow("no output") << "-" << 0;
    QTest::newRow("capinfos missing") << "missing" << 0;
    QTest::newRow("not a capture") << "not-a-capture" << 0;
}

void WiresharkTerminalStreamTest::packetCount()
{
    QFETCH(QString, fixture);
    QFETCH(int, count);
    QString capinfos = QStringLiteral("capinfos");
    QString path = capture;
    if (fixture == QLatin1String("-"))
        capinfos = writeTool(*dir, QStringLiteral("capinfos"), QStringLiteral("exit 1"));
    else if (fixture == QLatin1String("missing"))
        capinfos = dir->filePath(QStringLiteral("no-such-capinfos"));
    else if (fixture == QLatin1String("not-a-capture"))
        path = testDataPath(QStringLiteral("capture/not-a-capture.txt"));
    else if (!fixture.isEmpty())
        capinfos = writeTool(*dir, QStringLiteral("capinfos"), catFixture(fixture));
    WiresharkTerminalStream stream(dir->filePath(QStringLiteral("out.csv")), fields(1));
    stream.expectedPackets = -5;
    stream.countPackets(path, capinfos);
    QCOMPARE(stream.expectedPackets, count);
}

void WiresharkTerminalStreamTest::convertsLikeTshark()
{
    const QString output = dir->filePath(QStringLiteral("http.csv"));
    WiresharkTerminalStream stream(output, toTList(HTTP_FIELDS));
    QSignalSpy progress(&stream, &WiresharkTerminalStream::progress);
    stream.countPackets(capture, QStringLiteral("capinfos"));
    QCOMPARE(stream.expectedPackets, 36);
    QVERIFY2(stream.start(capture, QStringLiteral("tshark"), QString(), -1),
             qPrintable(stream.errorText));
    QVERIFY(!stream.killed);
    QCOMPARE(progress.count(), 2);
    QCOMPARE(progress.at(0).at(0).toInt(), 0);
    QCOMPARE(progress.at(1).at(0).toInt(), INT_MAX);
    QCOMPARE(stream.rowsWritten, 36);
    stream.stopping = true;

    QByteArray header;
    const QStringList rows = rowsOf(readAll(output), &header);
    QCOMPARE(header, HTTP_FIELDS.join(QLatin1Char(',')).toUtf8() + "\n");
    QCOMPARE(rows, expectedRows(capture, HTTP_FIELDS));
    // The awkward request made it through: "," as ";", no '"' or "~".
    QVERIFY(rows.filter(QStringLiteral("/x;yz?q=1,Agent (a;bc d e)")).size() == 1);
    QVERIFY(rows.filter(QStringLiteral("Running as user")).isEmpty());
    QVERIFY(!log->contains(QStringLiteral("i'm stuck ")));
}

// tshark leaves the first of two equal columns empty: a field named twice
// is asked for, and written, once.
void WiresharkTerminalStreamTest::repeatedFieldOnce()
{
    const QString output = dir->filePath(QStringLiteral("expert.csv"));
    const QStringList distinct{"frame.number", "_ws.expert.message", "ip.src"};
    WiresharkTerminalStream stream(
        output, toTList({"frame.number", "_ws.expert.message", "ip.src", "_ws.expert.message",
                         "frame.number"}));
    QVERIFY2(stream.start(capture, QStringLiteral("tshark"), QString(), -1),
             qPrintable(stream.errorText));
    QCOMPARE(stream.attributes.toQList(), distinct);
    QByteArray header;
    const QStringList rows = rowsOf(readAll(output), &header);
    QCOMPARE(header, QByteArray("frame.number,_ws.expert.message,ip.src\n"));
    QCOMPARE(rows, expectedRows(capture, distinct));
    QVERIFY(rows.at(0).contains(QStringLiteral("Connection establish request")));
}

void WiresharkTerminalStreamTest::displayFilter()
{
    const QString output = dir->filePath(QStringLiteral("requests.csv"));
    const QStringList names{"frame.number", "http.request.uri", "http.user_agent"};
    WiresharkTerminalStream stream(output, toTList(names));
    stream.countPackets(capture, QStringLiteral("capinfos"));
    QVERIFY2(stream.start(capture, QStringLiteral("tshark"), QStringLiteral("http.request"), -1),
             qPrintable(stream.errorText));
    const QStringList expected = expectedRows(capture, names, QStringLiteral("http.request"));
    QCOMPARE(expected.size(), 3);
    QCOMPARE(rowsOf(readAll(output)), expected);

    // A filter that matches nothing converts nothing: said, and no file is
    // left where there was none.
    const QString none = dir->filePath(QStringLiteral("none.csv"));
    WiresharkTerminalStream empty(none, toTList(names));
    empty.countPackets(capture, QStringLiteral("capinfos"));
    QVERIFY(!empty.start(capture, QStringLiteral("tshark"), QStringLiteral("udp"), -1));
    QCOMPARE(empty.errorText,
             QStringLiteral("No packet passed the filter \"udp\": nothing was converted."));
    QVERIFY(!QFile::exists(none));
}

void WiresharkTerminalStreamTest::filterWithOptionsStaysOneFilter()
{
    const QString output = dir->filePath(QStringLiteral("out.csv"));
    WiresharkTerminalStream stream(output, toTList({"frame.number"}));
    QVERIFY(!stream.start(capture, QStringLiteral("tshark"), QStringLiteral("x -w out.pcap"), -1));
    QVERIFY(!stream.errorText.isEmpty());
    QVERIFY(!stream.errorText.contains(QStringLiteral("Running as user")));
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("out.pcap"))));
    QVERIFY(!QFile::exists(QDir(classDir->path()).filePath(QStringLiteral("out.pcap"))));
}

void WiresharkTerminalStreamTest::awkwardCapturePath()
{
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("a dir ü")));
    const QString path = dir->filePath(QStringLiteral("a dir ü/cap \"1\" ß.pcap"));
    QVERIFY(QFile::copy(capture, path));
    const QString output = dir->filePath(QStringLiteral("a dir ü/out put.csv"));
    WiresharkTerminalStream stream(output, toTList({"frame.number", "ip.src"}));
    stream.countPackets(path, QStringLiteral("capinfos"));
    QCOMPARE(stream.expectedPackets, 36);
    QVERIFY2(stream.start(path, QStringLiteral("tshark"), QString(), -1), qPrintable(stream.errorText));
    QCOMPARE(rowsOf(readAll(output)).size(), 36);
}

void WiresharkTerminalStreamTest::failures_data()
{
    QTest::addColumn<QString>("tshark");
    QTest::addColumn<QString>("capture");  // empty: the test capture
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");     // part of the error text
    QTest::addColumn<bool>("startBox");
    QTest::newRow("tshark off the search path")
        << "lumivane-no-such-tshark" << "" << "frame.number" << "" << true;
    QTest::newRow("tshark path missing") << "/nonexistent/tshark" << "" << "frame.number" << "" << true;
    QTest::newRow("invalid field") << "tshark" << "" << "no.such.field" << "no.such.field" << false;
    QTest::newRow("not a capture")
        << "tshark" << "capture/not-a-capture.txt" << "frame.number" << "capture file" << false;
    QTest::newRow("capture missing")
        << "tshark" << "capture/no-such.pcap" << "frame.number" << "no-such.pcap" << false;
    QTest::newRow("tshark crashes") << "crash" << "" << "frame.number" << "" << false;
}

void WiresharkTerminalStreamTest::failures()
{
    QFETCH(QString, tshark);
    QFETCH(QString, capture);
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(bool, startBox);
    if (tshark == QLatin1String("crash"))
        tshark = writeTool(*dir, QStringLiteral("tshark"), QStringLiteral("kill -SEGV $$"));
    const QString path = capture.isEmpty() ? this->capture : testDataPath(capture);
    Boxes boxes;
    WiresharkTerminalStream stream(dir->filePath(QStringLiteral("out.csv")), toTList({field}));
    QSignalSpy progress(&stream, &WiresharkTerminalStream::progress);
    stream.countPackets(path, QStringLiteral("capinfos"));
    QVERIFY(!stream.start(path, tshark, QString(), -1));
    // The progress always ends, also when tshark never ran.
    QCOMPARE(progress.count(), 2);
    QCOMPARE(progress.last().at(0).toInt(), INT_MAX);
    QVERIFY(!stream.killed);
    QVERIFY(!stream.errorText.isEmpty());
    QVERIFY2(stream.errorText.contains(text), qPrintable(stream.errorText));
    QVERIFY(!stream.errorText.contains(QStringLiteral("Running as user")));
    // The caller learns whether a box told the user already.
    QCOMPARE(stream.reported, startBox);
    if (startBox) {
        QCOMPARE(boxes.requests.size(), 1);
        QCOMPARE(boxes.requests.at(0).title, QStringLiteral("LumiVane"));
        QCOMPARE(boxes.requests.at(0).text,
                 QStringLiteral("Error. Parse did not complete. Wireshark returned: \n \n ")
                     + stream.errorText);
    } else {
        QCOMPARE(boxes.requests.size(), 0);
    }
}

void WiresharkTerminalStreamTest::failureKeepsOutput_data()
{
    QTest::addColumn<bool>("older");  // an output file is there before
    QTest::addColumn<QString>("filter");
    QTest::newRow("refused field, older file") << true << "";
    QTest::newRow("refused field, no file") << false << "";
    QTest::newRow("no packet passes the filter, older file") << true << "dns";
    QTest::newRow("no packet passes the filter, no file") << false << "dns";
}

// A field that tshark refuses, or a filter that no packet passes, leaves
// the folder as it was: the older file byte for byte, no header-only file,
// no temporary file.
void WiresharkTerminalStreamTest::failureKeepsOutput()
{
    QFETCH(bool, older);
    QFETCH(QString, filter);
    const QString output = dir->filePath(QStringLiteral("out.csv"));
    if (older)
        dir->write(QStringLiteral("out.csv"), "older,file\r\n");
    const QStringList before = QDir(dir->path()).entryList(QDir::Files | QDir::Hidden);
    {
        const QString second = filter.isEmpty() ? QStringLiteral("none") : QStringLiteral("ip.src");
        WiresharkTerminalStream stream(output, toTList({QStringLiteral("frame.number"), second}));
        stream.countPackets(capture, QStringLiteral("capinfos"));
        QVERIFY(!stream.start(capture, QStringLiteral("tshark"), filter, -1));
        QCOMPARE(stream.errorText.startsWith(QStringLiteral("No packet passed the filter")),
                 !filter.isEmpty());
    }
    QCOMPARE(readAll(output), older ? QByteArray("older,file\r\n") : QByteArray("<missing>"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), before);
}

void WiresharkTerminalStreamTest::noRecordFromPackets()
{
    // tshark ends well but prints nothing for a capture with packets.
    const QString tshark = writeTool(*dir, QStringLiteral("tshark"), QStringLiteral("exit 0"));
    WiresharkTerminalStream stream(dir->filePath(QStringLiteral("out.csv")), fields(2));
    stream.expectedPackets = 5;
    QVERIFY(!stream.start(capture, tshark, QString(), -1));
    QVERIFY(stream.errorText.contains(QStringLiteral("no record")));
    // With a filter, no record means that no packet passed it.
    WiresharkTerminalStream filtered(dir->filePath(QStringLiteral("out2.csv")), fields(2));
    filtered.expectedPackets = 5;
    QVERIFY(!filtered.start(capture, tshark, QStringLiteral("udp"), -1));
    QVERIFY(filtered.errorText.startsWith(QStringLiteral("No packet passed the filter \"udp\"")));
}

void WiresharkTerminalStreamTest::unwritableOutput()
{
    // A folder where the file should be: it cannot be removed nor opened.
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("taken.csv")));
    const QString tshark = writeTool(*dir, QStringLiteral("tshark"), QStringLiteral("echo started > ran.txt"));
    Boxes boxes;
    WiresharkTerminalStream stream(dir->filePath(QStringLiteral("taken.csv")), fields(2));
    QVERIFY(!stream.out);
    QVERIFY(!stream.process);
    QVERIFY(stream.attributes.isEmpty());
    QVERIFY(!stream.start(capture, tshark, QString(), -1));
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests.at(0).title, QStringLiteral("LumiVane"));
    QCOMPARE(boxes.requests.at(0).text,
             QStringLiteral("The file could not be created. Is in use by another process"));
    QCOMPARE(stream.errorText, boxes.requests.at(0).text);
    QVERIFY(stream.reported);
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("ran.txt"))));
    QVERIFY(QFileInfo(dir->filePath(QStringLiteral("taken.csv"))).isDir());
}

void WiresharkTerminalStreamTest::abortKillsAndRemoves()
{
    // tshark reads a pipe that delivers a few packets and then stays open,
    // so it runs until it is stopped.
    const QString fifo = dir->filePath(QStringLiteral("live.pcap"));
    QVERIFY(QProcess::execute(QStringLiteral("mkfifo"), {fifo}) == 0);
    QProcess feeder;
    feeder.start(QStringLiteral("sh"),
                 {"-c", "exec > \"$1\"; head -c 2000 \"$0\"; exec sleep 60", capture, fifo});
    QVERIFY(feeder.waitForStarted());

    // The output of an earlier conversion stays as it was.
    const QString output = dir->write(QStringLiteral("partial.csv"), "earlier\r\n");
    WiresharkTerminalStream stream(output, toTList({"frame.number", "ip.src"}));
    // Cancel once the first rows are in (or after a while regardless).
    bool ranDuringStart = false;
    bool fileThere = false;
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, &stream, [&]() {
        if (stream.rowsWritten == 0 && waited.elapsed() < 15000)
            return;
        poll.stop();
        ranDuringStart = true;
        fileThere = readAll(output) == "earlier\r\n";
        stream.abort();
    });
    poll.start();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!stream.start(fifo, QStringLiteral("tshark"), QString(), -1));
    QVERIFY(ranDuringStart);
    QVERIFY(fileThere);
    QVERIFY(stream.killed);
    QVERIFY(stream.rowsWritten > 0);
    QCOMPARE(readAll(output), QByteArray("earlier\r\n"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
             QStringList({"live.pcap", "partial.csv"}));
    QVERIFY(log->contains(QStringLiteral("kill")));
    QVERIFY(clock.elapsed() < 20000);
    feeder.kill();
    feeder.waitForFinished();
}

void WiresharkTerminalStreamTest::outOfMemoryFailsWhole_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<bool>("older");  // an output file is there before
    // The rows fill the text stream's buffer, whose writing runs out of
    // memory half way through a batch; tshark would go on for long.
    QTest::newRow("output handler, older file") << "output" << true;
    QTest::newRow("output handler, no file") << "output" << false;
    // tshark has ended and every row is converted.
    QTest::newRow("finished handler") << "finished" << true;
    // Another object's handler in the conversion's loop, which tells of
    // its own failure; tshark would go on for long.
    QTest::newRow("another handler of its loop") << "other" << true;
}

// Running out of memory inside the conversion's loop fails it as a whole:
// tshark is stopped, no row is converted twice or put in place, the older
// output stays byte for byte and no temporary file is left.
void WiresharkTerminalStreamTest::outOfMemoryFailsWhole()
{
    QFETCH(QString, where);
    QFETCH(bool, older);
    const bool ends = where == QLatin1String("finished");
    TempWorkDir tools;
    const QString tshark = writeTool(
        tools, QStringLiteral("tshark"),
        QStringLiteral("i=0; while [ $i -lt 1500 ]; do echo '\"'$i'\"~\"10.0.0.'$((i % 7))'\"'; "
                       "i=$((i + 1)); done\n")
            + (ends ? QString() : QStringLiteral("exec sleep 30")));
    const QString output = dir->filePath(QStringLiteral("out.csv"));
    if (older)
        dir->write(QStringLiteral("out.csv"), "older,file\r\n");
    const QStringList before = QDir(dir->path()).entryList(QDir::Files | QDir::Hidden);
    FailingDevice device;
    Boxes boxes;
    bool ok = true;
    QElapsedTimer clock;
    clock.start();
    {
        WiresharkTerminalStream stream(output, fields(2));
        if (where == QLatin1String("output"))
            stream.out->setDevice(&device);
        if (where == QLatin1String("finished"))
            connect(&stream, &WiresharkTerminalStream::progress, this, [](int value) {
                if (value == INT_MAX)
                    throw std::bad_alloc();
            });
        if (where == QLatin1String("other"))
            QTimer::singleShot(300, this, []() { HandlerGuard::run([]() { throw std::bad_alloc(); }); });
        ok = stream.start(QStringLiteral("in.pcap"), tshark, QString(), -1);
        QVERIFY(stream.ranOutOfMemory);
        QCOMPARE(stream.errorText, WiresharkTerminalStream::outOfMemoryText());
        QVERIFY(!stream.killed);
        QVERIFY(!stream.out);
        QCOMPARE(stream.process->state(), QProcess::NotRunning);
        if (where == QLatin1String("output")) {
            QVERIFY(device.writes > 0);
            QVERIFY(stream.rowsWritten > 0);
        }
    }
    QVERIFY(!ok);
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(readAll(output), older ? QByteArray("older,file\r\n") : QByteArray("<missing>"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), before);
    // The stream tells nothing itself; another handler told of its own.
    QCoreApplication::processEvents();
    QCOMPARE(boxes.requests.size(), where == QLatin1String("other") ? 1 : 0);
}

void WiresharkTerminalStreamTest::goesWithoutWriting_data()
{
    QTest::addColumn<bool>("older");
    QTest::newRow("older file") << true;
    QTest::newRow("no file") << false;
}

// A stream that goes before its output was put in place (a failure
// unwinding the conversion) writes none of the text it still holds: writing
// allocates, and a failure thrown from its destructor would end the program.
void WiresharkTerminalStreamTest::goesWithoutWriting()
{
    QFETCH(bool, older);
    const QString output = dir->filePath(QStringLiteral("out.csv"));
    if (older)
        dir->write(QStringLiteral("out.csv"), "older,file\r\n");
    const QStringList before = QDir(dir->path()).entryList(QDir::Files | QDir::Hidden);
    FailingDevice device;
    bool unwound = false;
    try {
        WiresharkTerminalStream stream(output, fields(2));
        stream.out->setDevice(&device);
        *stream.out << "f1,f2\n1,2\r\n";
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
        unwound = true;
    }
    QVERIFY(unwound);
    QCOMPARE(device.writes, 0);
    QCOMPARE(readAll(output), older ? QByteArray("older,file\r\n") : QByteArray("<missing>"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), before);
}

LUMIVANE_TEST(WiresharkTerminalStreamTest)
#include "WiresharkTerminalStreamTest.moc"
