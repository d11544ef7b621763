#include "DebugCapture.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"
#include "core/ThreadStarter.h"

#include "app/ControlWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "import/OpenWidget.h"
#include "import/OpenWidgetWorker.h"

#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {

// A network log of `rows` records: a frame number and an info text that
// hardly ever repeat, quoted fields holding the separator, non-ASCII
// texts, empty fields and a few records with too few fields.
QByteArray networkLog(int rows)
{
    QByteArray bytes = "frame.number,frame.time_epoch,ip.src,ip.dst,tcp.srcport,_ws.col.Info,proto\n";
    quint32 state = 12345;
    auto next = [&state](quint32 bound) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    };
    static const char* protocols[] = {"TCP", "TLSv1.2", "\"SMB2, read\"", "DNS", "", "Grüße"};
    double t = 1700000000.0;
    for (int i = 0; i < rows; ++i) {
        t += next(2000) / 1e6;
        if (i % 5000 == 4999) {
            bytes += "broken,line\n";
            continue;
        }
        bytes += QByteArray::number(i + 1) + ',' + QByteArray::number(t, 'f', 6);
        bytes += ",192.168.0." + QByteArray::number(next(300));
        bytes += next(50) == 0 ? QByteArray(",") : ",10.20.0." + QByteArray::number(next(20));
        bytes += ',' + QByteArray::number(1024 + next(64000));
        if (next(100) == 0)
            bytes += ",Application Data";
        else
            bytes += ",\"" + QByteArray::number(next(65535)) + " > 443 [PSH, ACK] Seq="
                     + QByteArray::number(next(100000000)) + '"';
        bytes += ',';
        bytes += protocols[next(6)];
        bytes += i % 7 == 0 ? "\r\n" : "\n";
    }
    return bytes;
}

// An SMB2 log of `rows` records whose files are opened, read and closed
// over many sessions, so that the call tables carry state across stretches.
QByteArray smb2Log(int rows)
{
    QByteArray bytes = "frame.time_epoch,ip.src,ip.dst,frame.number,smb2.cmd,smb2.flags.response,"
                       "smb2.nt_status,smb2.fid,smb2.filename,smb2.msg_id\n";
    quint32 state = 777;
    auto next = [&state](quint32 bound) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    };
    static const char* commands[] = {"5", "6", "8", "5+8", "1"};
    for (int i = 0; i < rows; ++i) {
        const QByteArray client = "10.0.0." + QByteArray::number(next(40));
        const bool response = next(2) == 1;
        const QByteArray file = next(3) == 0 ? QByteArray() : "f" + QByteArray::number(next(500)) + ".txt";
        bytes += QByteArray::number(1600000000 + i / 3) + ',' + (response ? "10.0.1.1," + client : client + ",10.0.1.1");
        bytes += ',' + QByteArray::number(i + 1) + ',' + commands[next(5)];
        bytes += response ? ",1" : ",";
        bytes += response ? (next(4) == 0 ? ",3221225524" : ",0") : ",";
        bytes += next(4) == 0 ? QByteArray(",") : ",fid-" + QByteArray::number(next(300));
        bytes += ',' + file + ',' + QByteArray::number(next(2000)) + '\n';
    }
    return bytes;
}

// Loads the log with the given number of threads and grouping ("" for the
// dialog's default, "-" for none).
void load(ControlWidget& control, const QString& path, int threads, const QString& grouping,
          const QString& limit = QString())
{
    qputenv("LUMIVANE_THREADS", QByteArray::number(threads));
    OpenWidget dialog(&control);
    chooseLog(dialog, path);
    if (grouping == QLatin1String("-")) {
        dialog.noneRadio->setChecked(true);
    } else if (!grouping.isEmpty()) {
        dialog.groupingCombo->setCurrentText(grouping);
    }
    if (!limit.isEmpty())
        dialog.limitEdit->setText(limit);
    dialog.import();
    qunsetenv("LUMIVANE_THREADS");
}

bool sameValue(const TVariant& a, const TVariant& b)
{
    return a.type == b.type && std::memcmp(&a.value, &b.value, sizeof a.value) == 0 && a.text == b.text;
}

// Compares two histogram lists key by key in their own order.
void compareHistograms(const TList<THash<TVariant, int>>& a, const TList<THash<TVariant, int>>& b)
{
    QCOMPARE(a.size(), b.size());
    for (int c = 0; c < a.size(); ++c) {
        const THash<TVariant, int>& x = a.at(c);
        const THash<TVariant, int>& y = b.at(c);
        QCOMPARE(x.size(), y.size());
        auto i = x.constBegin();
        auto j = y.constBegin();
        for (; i != x.constEnd(); ++i, ++j) {
            QVERIFY2(sameValue(i.key(), j.key()), qPrintable(QStringLiteral("column %1").arg(c)));
            QCOMPARE(i.value(), j.value());
        }
    }
}

// The loaded log of `one` (one thread) and of `many` are the same: events,
// values, trace numbers, the pool in its order and every histogram.
void compareLoads(const GlyphStore& one, const GlyphStore& many)
{
    const Context& a = *one.rootContext;
    const Context& b = *many.rootContext;
    QCOMPARE(a.packets.size(), b.packets.size());
    for (int i = 0; i < a.packets.size(); ++i) {
        const Packet& p = *a.packets.at(i);
        const Packet& q = *b.packets.at(i);
        QCOMPARE(p.conversationId, q.conversationId);
        QCOMPARE(p.columnCount(), q.columnCount());
        QCOMPARE(p.presentCount, q.presentCount);
        for (int c = 0; c < p.columnCount(); ++c)
            QVERIFY2(sameValue(p.get(c), q.get(c)), qPrintable(QStringLiteral("event %1 column %2").arg(i).arg(c)));
    }
    QCOMPARE(one.textPool.size(), many.textPool.size());
    auto i = one.textPool.constBegin();
    auto j = many.textPool.constBegin();
    for (; i != one.textPool.constEnd(); ++i, ++j) {
        QCOMPARE(i.key(), j.key());
        QVERIFY(sameValue(i.value(), j.value()));
    }
    compareHistograms(a.histograms, b.histograms);
    compareHistograms(a.conversationHistograms, b.conversationHistograms);
    QCOMPARE(a.size(), b.size());
}

} // namespace

class StretchReadTest : public QObject
{
    Q_OBJECT

private slots:
    void sameWithOneAndFourThreads_data();
    void sameWithOneAndFourThreads();
    void pooledTextsShared();
    void joinedAsOneReaderReads_data();
    void joinedAsOneReaderReads();
};

void StretchReadTest::sameWithOneAndFourThreads_data()
{
    QTest::addColumn<QString>("log");        // fixture, or "" for the generated log
    QTest::addColumn<QString>("grouping");
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("events");
    QTest::addColumn<bool>("refused");     // every helper thread refused
    // Two stretches, the second one short; a bad record every 5000.
    QTest::newRow("generated, by ip.src") << "" << "ip.src" << "" << 140000 - 28 << false;
    QTest::newRow("generated, default grouping") << "" << "" << "" << 140000 - 28 << false;
    QTest::newRow("generated, no grouping") << "" << "-" << "" << 140000 - 28 << false;
    // Trace numbers joined by the text of numbers, of times and of texts
    // with an empty and a non-ASCII one among them.
    QTest::newRow("generated, by tcp.srcport") << "" << "tcp.srcport" << "" << 140000 - 28 << false;
    QTest::newRow("generated, by frame.time_epoch") << "" << "frame.time_epoch" << "" << 140000 - 28 << false;
    QTest::newRow("generated, by proto") << "" << "proto" << "" << 140000 - 28 << false;
    QTest::newRow("generated, limit inside a stretch") << "" << "ip.dst" << "135000" << 135000 - 27 << false;
    QTest::newRow("basic") << "import/basic.csv" << "ip.src" << "" << 3 << false;
    QTest::newRow("crlf") << "import/crlf.csv" << "" << "" << 2 << false;
    QTest::newRow("invalid utf-8") << "import/invalid_utf8.csv" << "" << "" << 2 << false;
    QTest::newRow("garbage times") << "import/garbage_times.csv" << "" << "" << 6 << false;
    QTest::newRow("field counts") << "import/field_counts.csv" << "" << "" << 2 << false;
    QTest::newRow("smb2 sequence") << "import/smb2_sequence.csv" << "" << "" << -1 << false;
    QTest::newRow("generated smb2") << "smb2" << "smb2.cSeq.filename" << "" << 140000 << false;
    QTest::newRow("generated, helpers refused") << "" << "ip.src" << "" << 140000 - 28 << true;
    QTest::newRow("generated smb2, helpers refused") << "smb2" << "smb2.cSeq.filename" << "" << 140000 << true;
}

void StretchReadTest::sameWithOneAndFourThreads()
{
    QFETCH(QString, log);
    QFETCH(QString, grouping);
    QFETCH(QString, limit);
    QFETCH(int, events);
    QFETCH(bool, refused);
    TempWorkDir dir;
    BoxRecorder boxes;
    DebugCapture cap;
    cap.setForward(false);
    const QString path = log.isEmpty()          ? dir.write("network.csv", networkLog(140000))
                         : log == QLatin1String("smb2") ? dir.write("smb2.csv", smb2Log(140000))
                                                        : testDataPath(log);

    ControlWidget one(nullptr);
    load(one, path, 1, grouping, limit);
    ControlWidget many(nullptr);
    ThreadStarter::refuseNext(refused ? 1000 : 0);
    load(many, path, 4, grouping, limit);
    QVERIFY(ThreadStarter::refuseNext(0) < (refused ? 1000 : 1));
    QVERIFY(one.glyphStore->rootContext);
    QVERIFY(many.glyphStore->rootContext);
    if (events >= 0)
        QCOMPARE(one.glyphStore->rootContext->packets.size(), events);
    compareLoads(*one.glyphStore, *many.glyphStore);
}

void StretchReadTest::pooledTextsShared()
{
    // A text met again in a later stretch is the pool's own string, as it
    // is for a single reader; a text that hardly repeats is in no pool.
    TempWorkDir dir;
    BoxRecorder boxes;
    DebugCapture cap;
    cap.setForward(false);
    const QString path = dir.write("network.csv", networkLog(140000));
    ControlWidget control(nullptr);
    load(control, path, 4, "ip.src");
    const GlyphStore& store = *control.glyphStore;
    const int column = store.attributeColumns.value("proto", -1);
    const int info = store.attributeColumns.value("_ws.col.Info", -1);
    QVERIFY(column >= 0 && info >= 0);
    const auto& events = store.rootContext->packets;
    const TVariant& pooled = store.textPool.value("TLSv1.2");
    QCOMPARE(pooled.type, quint16(TVariant::String));
    int seen = 0;
    for (int i = events.size() - 1000; i < events.size(); ++i) {
        const TVariant& v = events.at(i)->get(column);
        if (v.toString() == QLatin1String("TLSv1.2")) {
            QCOMPARE(v.text.constData(), pooled.text.constData());
            ++seen;
        }
    }
    QVERIFY(seen > 0);
    QCOMPARE(store.textPool.value("SMB2, read").toString(), QStringLiteral("SMB2, read"));
    QVERIFY(!store.textPool.contains(events.last()->get(info).toString()));
    QCOMPARE(store.rootContext->size(), 300);
}

void StretchReadTest::joinedAsOneReaderReads_data()
{
    QTest::addColumn<bool>("smb2");
    QTest::addColumn<QString>("grouping");
    QTest::newRow("network") << false << "ip.dst";
    QTest::newRow("smb2 call tables") << true << "smb2.cSeq.filename";
}

void StretchReadTest::joinedAsOneReaderReads()
{
    // The stretches joined give what one parser reading record after
    // record gives: the same events, values, trace numbers and pool order.
    QFETCH(bool, smb2);
    QFETCH(QString, grouping);
    TempWorkDir dir;
    BoxRecorder boxes;
    DebugCapture cap;
    cap.setForward(false);
    const QString path = dir.write("log.csv", smb2 ? smb2Log(140000) : networkLog(140000));
    ControlWidget control(nullptr);

    OpenWidget joined(&control);
    chooseLog(joined, path);
    QVERIFY(joined.groupingCombo->findText(grouping) >= 0);
    joined.groupingCombo->setCurrentText(grouping);
    QCOMPARE(joined.readsInStretches(), true);
    joined.callSequences.clear();
    joined.fileByFid.clear();
    joined.fileByMessage.clear();
    joined.openInit();
    const int count = joined.stream->countLines(800000);
    joined.stream->readLine();
    qputenv("LUMIVANE_THREADS", "3");
    OpenWidgetWorker worker(&joined, joined.separator, count);
    worker.loadData();
    qunsetenv("LUMIVANE_THREADS");

    OpenWidget single(&control);
    chooseLog(single, path);
    single.groupingCombo->setCurrentText(grouping);
    single.callSequences.clear();
    single.fileByFid.clear();
    single.fileByMessage.clear();
    single.openInit();
    single.stream->countLines(800000);
    single.stream->readLine();
    single.textPool.clear();
    single.textPool.insert(QString(), TVariant());
    single.resetValues();
    while (!single.stream->atEnd()) {
        QSharedPointer<Packet> p = single.parsePacket(single.stream->readLine(), single.separator,
                                                      single.grouping, &single.textPool);
        if (p)
            single.packets.append(p);
    }

    QCOMPARE(joined.packets.size(), single.packets.size());
    for (int i = 0; i < single.packets.size(); ++i) {
        const Packet& p = *joined.packets.at(i);
        const Packet& q = *single.packets.at(i);
        QCOMPARE(p.conversationId, q.conversationId);
        QCOMPARE(p.columnCount(), q.columnCount());
        for (int c = 0; c < p.columnCount(); ++c)
            QVERIFY2(sameValue(p.get(c), q.get(c)), qPrintable(QStringLiteral("event %1 column %2").arg(i).arg(c)));
    }
    QCOMPARE(joined.nextConversationId, single.nextConversationId);
    QCOMPARE(QStringList(joined.textPool.keys().toQList()), QStringList(single.textPool.keys().toQList()));
}

LUMIVANE_TEST(StretchReadTest)
#include "StretchReadTest.moc"
