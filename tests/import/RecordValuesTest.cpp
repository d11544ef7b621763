#include "DebugCapture.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "core/CSVPacketStream.h"
#include "core/Packet.h"
#include "core/RecordSplitter.h"
#include "core/TList.h"
#include "core/DerivedTime.h"
#include "import/OpenWidget.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <memory>

// Records read from a log one line after the other, as a load reads them:
// every field of every event must be the value its text parses to through
// the load's pool, whatever the records before it were (repeated texts,
// rejected records, quoted fields, the same line length again and again).

namespace {

bool identical(const TVariant& a, const TVariant& b)
{
    return a.type == b.type && std::memcmp(&a.value, &b.value, sizeof a.value) == 0 && a.text == b.text;
}

QString describe(const TVariant& v)
{
    return QStringLiteral("%1 (type %2)").arg(v.toString()).arg(v.type);
}

// The epoch the number parse makes of a time field; -1 when invalid (the
// log below has no text times).
qint64 epochOf(const QString& field)
{
    const TVariant number(field, true, nullptr);
    const double v = number.toDouble();
    return number.isNumber() && v >= 0.0 && v <= 4294967295.0 ? qint64(quint32(v)) : -1;
}

} // namespace

class RecordValuesTest : public QObject
{
    Q_OBJECT

private slots:
    void fieldsAsTheirTexts();
};

void RecordValuesTest::fieldsAsTheirTexts()
{
    BoxRecorder boxes;
    ControlWidget control(nullptr);
    OpenWidget dialog(&control);
    chooseLog(dialog, testDataPath("import/basic.csv"));
    dialog.openInit();
    const int columns = dialog.headerNames.size();
    QCOMPARE(columns, 5);
    const int timeColumn = dialog.attributeNames.indexOf(QStringLiteral("frame.time_epoch"));
    QCOMPARE(timeColumn, 0);

    // Texts of one length, so that lines often fill the same buffer.
    const QStringList times = {"1600000000", "1600000001", "1600000000.5", "4294967296", "0000000007",
                               "garbage", "-1", "1600003600", "16000000.5", "1e9"};
    const QStringList texts = {"10.0.0.1", "10.0.0.2", "60", "0060", "65535", "65536", "x",
                               "abcdefghij", "abcdefghik", "", "nan", "true", "7.", "-5"};
    QRandomGenerator rng(3);
    QStringList lines;
    for (int r = 0; r < 4000; ++r) {
        QStringList fields;
        fields << times.at(int(rng.bounded(times.size())));
        const int count = r % 37 == 5 ? columns + 1 : r % 41 == 6 ? columns - 1 : columns;
        for (int c = 1; c < count; ++c)
            fields << texts.at(int(rng.bounded(texts.size())));
        // Now and then a quoted field holding the separator.
        if (r % 13 == 0)
            fields.last() = QStringLiteral("\"p,%1\"").arg(fields.last());
        lines << fields.join(QLatin1Char(','));
    }
    QByteArray log = "frame.time_epoch,ip.src,ip.dst,frame.len,info\n";
    log += lines.join(QLatin1Char('\n')).toUtf8();
    QBuffer device(&log);
    QVERIFY(device.open(QIODevice::ReadOnly));
    CSVPacketStream stream(&device, TList<QString>());

    THash<QString, TVariant> pool;
    pool.insert(QString(), TVariant());
    THash<QString, TVariant> reference;
    reference.insert(QString(), TVariant());
    DerivedTime derivedTime;

    DebugCapture cap;
    cap.setForward(false);
    int accepted = 0;
    for (int r = 0; r < lines.size(); ++r) {
        QVERIFY(!stream.atEnd());
        const QSharedPointer<Packet> packet = dialog.parsePacket(stream.readLine(), ',', -2, &pool);
        const QList<QString> fields = RecordSplitter::split(lines.at(r), ',');
        QCOMPARE(bool(packet), fields.size() == columns);
        if (!packet)
            continue;
        ++accepted;
        const qint64 epoch = epochOf(fields.at(timeColumn));
        TVariant derived[DerivedTime::Count];
        if (epoch < 0)
            DerivedTime::invalid(&reference, derived);
        else
            derivedTime.fromEpoch(quint32(epoch), &reference, derived);
        for (int c = 0; c < columns; ++c) {
            const QString text = c == timeColumn ? QString::number(epoch < 0 ? 4294967295LL : epoch)
                                                 : fields.at(c);
            const TVariant expected = TVariant::fromText(text, &reference);
            if (!identical(packet->get(c), expected))
                QFAIL(qPrintable(QStringLiteral("record %1 '%2' column %3: %4 instead of %5")
                                     .arg(r)
                                     .arg(lines.at(r))
                                     .arg(c)
                                     .arg(describe(packet->get(c)), describe(expected))));
        }
        for (int k = 0; k < DerivedTime::Count; ++k) {
            if (!identical(packet->get(columns + k), derived[k]))
                QFAIL(qPrintable(QStringLiteral("record %1 '%2' derived %3: %4 instead of %5")
                                     .arg(r)
                                     .arg(lines.at(r))
                                     .arg(k)
                                     .arg(describe(packet->get(columns + k)), describe(derived[k]))));
        }
    }
    QVERIFY(stream.atEnd());
    QVERIFY(accepted > 3500);
    // The pool holds what parsing every text would have put there.
    QStringList keys = QStringList(pool.keys().toQList());
    QStringList expectedKeys = QStringList(reference.keys().toQList());
    std::sort(keys.begin(), keys.end());
    std::sort(expectedKeys.begin(), expectedKeys.end());
    QCOMPARE(keys, expectedKeys);
}

LUMIVANE_TEST(RecordValuesTest)
#include "RecordValuesTest.moc"
