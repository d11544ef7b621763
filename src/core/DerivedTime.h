#pragma once

#include "core/THash.h"
#include "core/TVariant.h"

#include <QString>
#include <QtGlobal>

#include <array>
#include <unordered_map>
#include <utility>

class QDate;
class QDateTime;
class QTime;

// The ten derived time attributes an import appends to every event
// ("frame.time_second" .. "frame.time_stryear"): second, minute, hour, day
// of month, the date as "dd-MM-yy", ISO week, month, year, English day name
// and English month name, in local time.
//
// A log holds hundreds of thousands of events a few per second apart, so
// the values are cached: the local-time offset of each hour and the date
// values of each day. One object serves one thread at a
// time.
class DerivedTime
{
public:
    static constexpr int Count = 10;

    // The values of an epoch second (0 .. 4294967295).
    void fromEpoch(quint32 seconds, THash<QString, TVariant>* pool, TVariant* out);
    // The second, minute and hour of an epoch second into out[0 .. 2], and
    // its local Julian day, whose values dayValues() then holds; -1 (and
    // nothing written) when the time has no local date.
    qint64 fromEpochClock(quint32 seconds, THash<QString, TVariant>* pool, TVariant* out);
    // Day of month, "dd-MM-yy", ISO week, month, year, day name and month
    // name of the day of the last call: values 3 .. 9 of fromEpoch().
    const TVariant* dayValues() const { return m_dayValues; }
    // The values of a date and time already in local time.
    void fromDateTime(const QDateTime& time, THash<QString, TVariant>* pool, TVariant* out);
    // The values of an invalid time: 0, 0, 0, 0, none, 0, 0, 0, "Monday", "January".
    static void invalid(THash<QString, TVariant>* pool, TVariant* out);

    // Forgets every cached value.
    void clear();

private:
    void fromLocal(qint64 julianDay, int secondOfDay, THash<QString, TVariant>* pool,
                   TVariant* out);
    void usePool(THash<QString, TVariant>* pool);
    // The local Julian day and second of the day of an epoch second; false
    // when it has no local date.
    bool localTime(quint32 seconds, qint64* julianDay, int* secondOfDay);
    // Makes the values of a day current in m_dayValues.
    void useDay(qint64 julianDay, THash<QString, TVariant>* pool);

    const void* m_pool = nullptr;         // the pool the cached texts came from
    qint64 m_hour = -1;                   // UTC hour (seconds) of m_offset
    int m_offset = 0;                     // local offset of that whole hour
    bool m_uniformHour = false;           // false: a zone transition inside it
    qint64 m_day = -1;                    // Julian day of m_dayValues
    TVariant m_dayValues[7];              // day .. stryear
    // Every hour's offset and every day's values met so far (bounded): the
    // times of trace records jump back and forth over the log.
    std::unordered_map<qint64, std::pair<int, bool>> m_hours;
    std::unordered_map<qint64, std::array<TVariant, 7>> m_days;
};
