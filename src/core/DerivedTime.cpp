#include "core/DerivedTime.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <algorithm>

namespace {

// English whatever the locale: the invalid-time fallbacks "Monday" and
// "January" are English too, and the values must compare alike everywhere.
const char* const DAY_NAMES[7] = {"Monday", "Tuesday", "Wednesday", "Thursday",
                                  "Friday", "Saturday", "Sunday"};
const char* const MONTH_NAMES[12] = {"January", "February", "March", "April",
                                     "May", "June", "July", "August",
                                     "September", "October", "November", "December"};

const qint64 UNIX_EPOCH_JULIAN_DAY = 2440588;

qint64 floorDiv(qint64 a, qint64 b)
{
    qint64 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

TVariant text(const QString& s, THash<QString, TVariant>* pool)
{
    return TVariant(s, true, pool);
}

} // namespace

void DerivedTime::clear()
{
    m_pool = nullptr;
    m_hour = -1;
    m_uniformHour = false;
    m_day = -1;
    for (TVariant& v : m_dayValues)
        v = TVariant();
    m_hours.clear();
    m_days.clear();
}

void DerivedTime::usePool(THash<QString, TVariant>* pool)
{
    // Texts cached for another pool would not be shared through this one.
    if (pool != m_pool) {
        clear();
        m_pool = pool;
    }
}

void DerivedTime::invalid(THash<QString, TVariant>* pool, TVariant* out)
{
    const TVariant zero(0);
    for (int i = 0; i < 4; ++i)
        out[i] = zero;
    out[4] = TVariant();
    out[5] = zero;
    out[6] = zero;
    out[7] = zero;
    out[8] = text(QStringLiteral("Monday"), pool);
    out[9] = text(QStringLiteral("January"), pool);
}

bool DerivedTime::localTime(quint32 seconds, qint64* julianDay, int* secondOfDay)
{
    const qint64 s = qint64(seconds);
    const qint64 hour = s - s % 3600;
    if (hour != m_hour) {
        auto it = m_hours.find(hour);
        if (it == m_hours.end()) {
            // Zone transitions fall on whole minutes and never twice in an
            // hour: the same offset at both ends means the same offset
            // throughout.
            const int first = QDateTime::fromSecsSinceEpoch(hour, Qt::LocalTime).offsetFromUtc();
            const int last =
                QDateTime::fromSecsSinceEpoch(hour + 3599, Qt::LocalTime).offsetFromUtc();
            if (m_hours.size() >= 4096)
                m_hours.clear();
            it = m_hours.emplace(hour, std::make_pair(first, first == last)).first;
        }
        m_hour = hour;
        m_offset = it->second.first;
        m_uniformHour = it->second.second;
    }

    if (m_uniformHour) {
        const qint64 local = s + m_offset;
        const qint64 days = floorDiv(local, 86400);
        *julianDay = UNIX_EPOCH_JULIAN_DAY + days;
        *secondOfDay = int(local - days * 86400);
        return true;
    }
    const QDateTime time = QDateTime::fromSecsSinceEpoch(s, Qt::LocalTime);
    if (!time.isValid())
        return false;
    *julianDay = time.date().toJulianDay();
    *secondOfDay = time.time().msecsSinceStartOfDay() / 1000;
    return true;
}

void DerivedTime::fromEpoch(quint32 seconds, THash<QString, TVariant>* pool, TVariant* out)
{
    usePool(pool);
    qint64 julianDay = 0;
    int secondOfDay = 0;
    if (localTime(seconds, &julianDay, &secondOfDay))
        fromLocal(julianDay, secondOfDay, pool, out);
    else
        invalid(pool, out);
}

qint64 DerivedTime::fromEpochClock(quint32 seconds, THash<QString, TVariant>* pool, TVariant* out)
{
    usePool(pool);
    qint64 julianDay = 0;
    int secondOfDay = 0;
    if (!localTime(seconds, &julianDay, &secondOfDay))
        return -1;
    out[0] = TVariant(secondOfDay % 60);
    out[1] = TVariant(secondOfDay / 60 % 60);
    out[2] = TVariant(secondOfDay / 3600);
    useDay(julianDay, pool);
    return julianDay;
}

void DerivedTime::fromDateTime(const QDateTime& time, THash<QString, TVariant>* pool,
                               TVariant* out)
{
    usePool(pool);
    if (!time.isValid()) {
        invalid(pool, out);
        return;
    }
    const QTime t = time.time();
    fromLocal(time.date().toJulianDay(), t.msecsSinceStartOfDay() / 1000, pool, out);
}

void DerivedTime::useDay(qint64 julianDay, THash<QString, TVariant>* pool)
{
    if (julianDay != m_day) {
        auto it = m_days.find(julianDay);
        if (it == m_days.end()) {
            const QDate date = QDate::fromJulianDay(julianDay);
            const int year = date.year();
            std::array<TVariant, 7> values;
            values[0] = TVariant(date.day());
            values[1] = text(QString::asprintf("%02d-%02d-%02d", date.day(), date.month(),
                                               (year % 100 + 100) % 100),
                             pool);
            values[2] = TVariant(date.weekNumber());
            values[3] = TVariant(date.month());
            values[4] = TVariant(year);
            values[5] = text(QLatin1String(DAY_NAMES[date.dayOfWeek() - 1]), pool);
            values[6] = text(QLatin1String(MONTH_NAMES[date.month() - 1]), pool);
            if (m_days.size() >= 1024)
                m_days.clear();
            it = m_days.emplace(julianDay, values).first;
        }
        std::copy(it->second.begin(), it->second.end(), m_dayValues);
        m_day = julianDay;
    }
}

void DerivedTime::fromLocal(qint64 julianDay, int secondOfDay, THash<QString, TVariant>* pool,
                            TVariant* out)
{
    out[0] = TVariant(secondOfDay % 60);
    out[1] = TVariant(secondOfDay / 60 % 60);
    out[2] = TVariant(secondOfDay / 3600);

    useDay(julianDay, pool);
    out[3] = m_dayValues[0];
    for (int i = 1; i < 7; ++i)
        out[3 + i] = m_dayValues[i];
}
