#include "items/Axis.h"

#include "core/TVariant.h"

#include <cmath>
#include <limits>

namespace {

// Logarithm for the log scale; 0 stays 0 instead of going to minus infinity.
double logOrZero(double v)
{
    return v == 0.0 ? 0.0 : std::log10(v);
}

} // namespace

Axis::Axis(const QPointF& pos, double width, double height, const QString& name, int column,
           double min, double max, bool vertical)
    : IAxis(pos, width, height, name, vertical), column(column)
{
    edgeLabels = true;
    logScale = false;
    setRange(min, max);
}

void Axis::setRange(double lo, double hi)
{
    labelList.clear();
    min = lo;
    max = hi;
    labelList.append(QString::number(lo, 'g', 6));
    labelList.append(QString::number(hi, 'g', 6));
}

int Axis::count() const
{
    return std::numeric_limits<int>::max();
}

int Axis::binIndex(const TVariant& value) const
{
    if (!value.isValid())
        return -1;
    const double v = value.toDouble();
    double r;
    if (!logScale) {
        const double range = max - min;
        r = range != 0.0 ? (v - min) / range : 0.0;
    } else if (v == max) {
        r = 1.0;
    } else {
        const double lmin = logOrZero(min);
        const double range = logOrZero(max) - lmin;
        r = range != 0.0 ? (logOrZero(v) - lmin) / range : 0.0;
    }
    // Logarithms of negative values and other undefined ratios count as 0.
    if (std::isnan(r) || r < 0.0)
        r = 0.0;
    return clampToInt(r * width);
}

double Axis::position(const TVariant& value) const
{
    return static_cast<double>(binIndex(value));
}

TList<QString> Axis::labels() const
{
    return labelList;
}
