#include "TestRegistry.h"

#include "core/DerivedTime.h"

#include <QDateTime>
#include <QLocale>
#include <QRandomGenerator>
#include <QtTest>

#include <ctime>
#include <vector>

// The derived time values of an epoch second against the local time
// QDateTime gives for it, in zones with summer time, half-hour and
// three-quarter-hour offsets, for seconds visited out of order (as the
// first and last times of trace records are) so that every cached hour and
// day is met again from elsewhere.

namespace {

QStringList expectedParts(quint32 seconds)
{
    const QDateTime dt = QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::LocalTime);
    const QDate d = dt.date();
    const QTime t = dt.time();
    const QLocale c = QLocale::c();
    return {QString::number(t.second()),
            QString::number(t.minute()),
            QString::number(t.hour()),
            QString::number(d.day()),
            QString::asprintf("%02d-%02d-%02d", d.day(), d.month(), (d.year() % 100 + 100) % 100),
            QString::number(d.weekNumber()),
            QString::number(d.month()),
            QString::number(d.year()),
            c.toString(d, QStringLiteral("dddd")),
            c.toString(d, QStringLiteral("MMMM"))};
}

QStringList derivedParts(DerivedTime& derived, quint32 seconds)
{
    TVariant out[DerivedTime::Count];
    derived.fromEpoch(seconds, nullptr, out);
    QStringList parts;
    for (const TVariant& v : out)
        parts << v.toString();
    return parts;
}

void useZone(const QByteArray& zone)
{
    qputenv("TZ", zone);
    tzset();
}

} // namespace

class DerivedTimeTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { useZone("UTC"); }
    void asLocalTime_data();
    void asLocalTime();
};

void DerivedTimeTest::asLocalTime_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::newRow("UTC") << QByteArray("UTC");
    QTest::newRow("summer time") << QByteArray("Europe/Berlin");
    QTest::newRow("half-hour offset with summer time") << QByteArray("America/St_Johns");
    QTest::newRow("half-hour summer shift") << QByteArray("Australia/Lord_Howe");
    QTest::newRow("three-quarter-hour offset") << QByteArray("Asia/Kathmandu");
}

void DerivedTimeTest::asLocalTime()
{
    QFETCH(QByteArray, zone);
    useZone(zone);

    // Around the 2021 changes of summer time in both hemispheres, a spread
    // of days, and the ends of the unsigned 32-bit range.
    std::vector<quint32> seconds;
    for (quint32 centre : {1616893200u, 1635642000u, 1617487200u, 1633188600u}) {
        for (int k = -7200; k <= 7200; k += 599)
            seconds.push_back(quint32(qint64(centre) + k));
    }
    QRandomGenerator rng(7);
    for (int i = 0; i < 1500; ++i)
        seconds.push_back(1600000000u + rng.bounded(40u * 86400u));
    for (int i = 0; i < 300; ++i)
        seconds.push_back(rng.generate());
    seconds.push_back(0u);
    seconds.push_back(4294967295u);
    std::vector<quint32> shuffled = seconds;
    for (std::size_t i = shuffled.size(); i > 1; --i)
        std::swap(shuffled[i - 1], shuffled[rng.bounded(quint32(i))]);

    DerivedTime derived;
    for (const std::vector<quint32>* order : {&seconds, &shuffled, &seconds}) {
        for (quint32 s : *order) {
            const QStringList got = derivedParts(derived, s);
            const QStringList want = expectedParts(s);
            if (got != want)
                QFAIL(qPrintable(QStringLiteral("%1 in %2: %3 instead of %4")
                                     .arg(s)
                                     .arg(QString::fromLatin1(zone), got.join(QLatin1Char(' ')),
                                          want.join(QLatin1Char(' ')))));
        }
    }
}

LUMIVANE_TEST(DerivedTimeTest)
#include "DerivedTimeTest.moc"
