#include "DebugCapture.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "core/DerivedTime.h"
#include "import/OpenWidget.h"

#include <QtTest>

#include <cstring>
#include <memory>

// The time of a record: plain epoch seconds are read straight from their
// digits, everything else through the number parse; both must give the
// epoch the number parse gives (fractions dropped, [0, 4294967295] valid,
// anything else the invalid marker 4294967295 with invalid derived values),
// and repeating the previous record's second must not change a thing.

namespace {

const QStringList kDerivedNames = {"frame.time_second", "frame.time_minute", "frame.time_hour",
                                   "frame.time_day",    "frame.time_date",   "frame.time_week",
                                   "frame.time_month",  "frame.time_year",   "frame.time_strday",
                                   "frame.time_stryear"};

bool identical(const TVariant& a, const TVariant& b)
{
    return a.type == b.type && std::memcmp(&a.value, &b.value, sizeof a.value) == 0 && a.text == b.text;
}

QString describe(const TVariant& v)
{
    return QStringLiteral("%1 (type %2)").arg(v.toString()).arg(v.type);
}

// A dialog with basic.csv chosen and set up for parsing.
struct Dialog
{
    Dialog()
    {
        control.reset(new ControlWidget(nullptr));
        dialog.reset(new OpenWidget(control.get()));
        chooseLog(*dialog, testDataPath("import/basic.csv"));
    }
    ~Dialog()
    {
        dialog.reset();
        control.reset();
    }
    QSharedPointer<Packet> parse(const QString& time)
    {
        return dialog->parsePacket(time + QStringLiteral(",a,b,1,x"), ',', dialog->grouping, nullptr);
    }

    BoxRecorder boxes;
    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<OpenWidget> dialog;
};

// The time and the derived values of an event, compared with the expected
// ones; false (with a failure recorded) on a difference.
bool sameTime(const OpenWidget& dialog, const QSharedPointer<Packet>& packet, const TVariant& time,
              const TVariant* derived, const QString& what)
{
    const TVariant& got = packet->get(dialog.attributeNames.indexOf(QStringLiteral("frame.time_epoch")));
    if (!identical(got, time)) {
        QTest::qFail(qPrintable(QStringLiteral("%1: time %2 instead of %3").arg(what, describe(got), describe(time))),
                     __FILE__, __LINE__);
        return false;
    }
    for (int i = 0; i < kDerivedNames.size(); ++i) {
        const TVariant& v = packet->get(dialog.attributeNames.indexOf(kDerivedNames.at(i)));
        if (!identical(v, derived[i])) {
            QTest::qFail(qPrintable(QStringLiteral("%1: %2 %3 instead of %4")
                                        .arg(what, kDerivedNames.at(i), describe(v), describe(derived[i]))),
                         __FILE__, __LINE__);
            return false;
        }
    }
    return true;
}

} // namespace

class ImportTimeTest : public QObject
{
    Q_OBJECT

private slots:
    void epochAsNumberParse_data();
    void epochAsNumberParse();
    void repeatedSecondsAsFresh();
    void tracesByTime_data();
    void tracesByTime();
};

void ImportTimeTest::epochAsNumberParse_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<qlonglong>("epoch");   // -1: invalid

    QTest::newRow("six decimals, all nines") << "1600000000.999999" << 1600000000LL;
    QTest::newRow("seven decimals") << "1600000000.1234567" << 1600000000LL;
    QTest::newRow("many decimals round up") << "1600000000.9999999999999" << 1600000001LL;
    QTest::newRow("trailing point") << "1600000000." << 1600000000LL;
    QTest::newRow("one digit, trailing point") << "7." << 7LL;
    QTest::newRow("leading zeros") << "0012" << 12LL;
    QTest::newRow("eleven digits") << "00000000001" << 1LL;
    QTest::newRow("ten zeros and a fraction") << "0000000000.5" << 0LL;
    QTest::newRow("zero") << "0" << 0LL;
    QTest::newRow("leading point") << ".5" << 0LL;
    QTest::newRow("plus sign") << "+5" << 5LL;
    QTest::newRow("exponent") << "1e9" << 1000000000LL;
    QTest::newRow("int max") << "2147483647" << 2147483647LL;
    QTest::newRow("past int max") << "2147483648" << 2147483648LL;
    QTest::newRow("largest fast") << "4294967294" << 4294967294LL;
    QTest::newRow("largest fast, six nines") << "4294967294.999999" << 4294967294LL;
    QTest::newRow("seven nines round up") << "4294967294.9999999" << 4294967295LL;
    QTest::newRow("largest") << "4294967295" << 4294967295LL;
    QTest::newRow("largest with a fraction") << "4294967295.5" << -1LL;
    QTest::newRow("past 32 bits") << "4294967296" << -1LL;
    QTest::newRow("minus one") << "-1" << -1LL;
    QTest::newRow("minus zero") << "-0" << 0LL;
    QTest::newRow("eleven digits, large") << "12345678901" << -1LL;
    QTest::newRow("letters after the fraction") << "1600000000.12a" << -1LL;
    QTest::newRow("two points") << "1600000000.1.2" << -1LL;
    QTest::newRow("blank after") << "1600000000 " << 1600000000LL;
}

void ImportTimeTest::epochAsNumberParse()
{
    QFETCH(QString, field);
    QFETCH(qlonglong, epoch);
    {
        // The table above is what the number parse makes of the field.
        const TVariant number(field, true, nullptr);
        const double v = number.toDouble();
        const bool valid = number.isNumber() && v >= 0.0 && v <= 4294967295.0;
        QCOMPARE(valid ? qlonglong(quint32(v)) : -1LL, epoch);
    }

    const TVariant time = TVariant::fromText(QString::number(epoch < 0 ? 4294967295LL : epoch), nullptr);
    TVariant derived[DerivedTime::Count];
    DerivedTime times;
    if (epoch < 0)
        DerivedTime::invalid(nullptr, derived);
    else
        times.fromEpoch(quint32(epoch), nullptr, derived);

    DebugCapture cap;
    cap.setForward(false);
    Dialog d;
    d.dialog->openInit();
    const QSharedPointer<Packet> packet = d.parse(field);
    QVERIFY(packet);
    if (!sameTime(*d.dialog, packet, time, derived, field))
        return;
    // Again: the repeated second comes from what the record before left.
    sameTime(*d.dialog, d.parse(field), time, derived, field + QStringLiteral(" again"));
}

void ImportTimeTest::repeatedSecondsAsFresh()
{
    // Records in a row that share their second (or the invalid marker) in
    // every way: each must read as it reads first in a fresh dialog.
    const QStringList times = {"1600000000.5", "1600000000", "1600000000.999999", "1600000000.1234567",
                               "garbage",      "1600000000", "4294967295",        "4294967296",
                               "4294967295",   "-1",         "-1",                "4294967295.5",
                               "4294967295",   "1600000001", "2021-03-05 7:08:09", "1614928089",
                               "1614928089.5", "2021-03-05 7:08:09", "1614928089", "0",
                               "",             "0",          "0.5",               "00",
                               // Neighbouring seconds, minutes, hours and days.
                               "1600000001",   "1600000002", "1600000060",        "1600003600",
                               "1600086400",   "1600003600", "1600000001",        "garbage",
                               "1600086400",   "1600086401"};
    DebugCapture cap;
    cap.setForward(false);
    QHash<QString, QSharedPointer<Packet>> fresh;
    std::vector<std::unique_ptr<Dialog>> keep;
    for (const QString& time : times) {
        if (fresh.contains(time))
            continue;
        keep.emplace_back(new Dialog);
        keep.back()->dialog->openInit();
        fresh.insert(time, keep.back()->parse(time));
        QVERIFY(fresh.value(time));
    }

    Dialog d;
    d.dialog->openInit();
    for (int i = 0; i < times.size(); ++i) {
        const QSharedPointer<Packet> packet = d.parse(times.at(i));
        QVERIFY(packet);
        const QSharedPointer<Packet>& first = fresh.value(times.at(i));
        TVariant derived[DerivedTime::Count];
        for (int k = 0; k < DerivedTime::Count; ++k)
            derived[k] = first->get(d.dialog->attributeNames.indexOf(kDerivedNames.at(k)));
        const TVariant time = first->get(d.dialog->attributeNames.indexOf(QStringLiteral("frame.time_epoch")));
        if (!sameTime(*d.dialog, packet, time, derived, QStringLiteral("record %1 (%2)").arg(i).arg(times.at(i))))
            return;
        // The other fields are untouched by the time.
        QCOMPARE(valueOf(*d.dialog, packet, "ip.src"), QStringLiteral("a"));
        QCOMPARE(valueOf(*d.dialog, packet, "frame.len"), QStringLiteral("1"));
    }
}

void ImportTimeTest::tracesByTime_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QStringList>("times");
    QTest::addColumn<QList<int>>("ids");

    // Records of one second are one trace, and every invalid time, however
    // written, is the trace of the marker.
    QTest::newRow("by the time") << "frame.time_epoch"
                                 << QStringList{"1600000000.5", "1600000000", "garbage", "4294967296",
                                                "1600000001", "4294967295", "-1", "1600000000.25",
                                                "1600000001.75", "0012", "12"}
                                 << QList<int>{0, 0, 1, 1, 2, 1, 1, 0, 2, 3, 3};
    // 1600000000 is 12:26:40 on a Sunday; an invalid time reads as hour 0.
    QTest::newRow("by the hour") << "frame.time_hour"
                                 << QStringList{"1600000000", "1600000001", "1600003600", "garbage",
                                                "1600000002", "1600086400", "0", "1600003601"}
                                 << QList<int>{0, 0, 1, 2, 0, 0, 2, 1};
    QTest::newRow("by the day name") << "frame.time_strday"
                                     << QStringList{"1600000000", "1600086400", "1600000001", "garbage",
                                                    "1600086401", "1600172800"}
                                     << QList<int>{0, 1, 0, 1, 1, 2};
}

void ImportTimeTest::tracesByTime()
{
    QFETCH(QString, attribute);
    QFETCH(QStringList, times);
    QFETCH(QList<int>, ids);
    DebugCapture cap;
    cap.setForward(false);
    Dialog d;
    d.dialog->groupingCombo->setCurrentText(attribute);
    QCOMPARE(d.dialog->groupingCombo->currentText(), attribute);
    d.dialog->attributeRadio->setChecked(true);
    d.dialog->openInit();
    QList<int> got;
    for (const QString& time : times) {
        const QSharedPointer<Packet> packet = d.parse(time);
        QVERIFY(packet);
        got << packet->conversationId;
    }
    QCOMPARE(got, ids);
}

LUMIVANE_TEST(ImportTimeTest)
#include "ImportTimeTest.moc"
