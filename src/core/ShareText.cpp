#include "core/ShareText.h"

QString ShareText::percent(qint64 part, qint64 whole)
{
    if (part <= 0 || whole <= 0)
        return QStringLiteral("0");
    // Thousandths of the whole, rounded half up in integers: a double
    // product misses halves such as 1001 / 2000 (50.05 % would show 50).
    // Counts of events stay far below the range these products need.
    const qint64 thousandths = (2000 * part + whole) / (2 * whole);
    if (thousandths == 0)
        return QStringLiteral("<0.05");
    return QString::number(double(thousandths) / 10.0, 'g', 6);
}
