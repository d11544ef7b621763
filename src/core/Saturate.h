#pragma once

#include <QtGlobal>
#include <cmath>
#include <limits>

// Double to integer conversions that are defined for every input: truncated
// toward zero, saturated at the ends of the range, NaN giving 0. Values in
// this system come from files (millisecond epochs, "1e20", "nan"), so a
// plain cast is never safe.

inline int saturatedInt(double d)
{
    if (std::isnan(d))
        return 0;
    if (d >= 2147483647.0)
        return std::numeric_limits<int>::max();
    if (d <= -2147483648.0)
        return std::numeric_limits<int>::min();
    return static_cast<int>(d);
}

inline qint64 saturatedInt64(double d)
{
    if (std::isnan(d))
        return 0;
    // 2^63 is the first double beyond the range; -2^63 is exactly representable.
    if (d >= 9223372036854775808.0)
        return std::numeric_limits<qint64>::max();
    if (d <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(d);
}
