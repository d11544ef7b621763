#pragma once

#include "items/IAxis.h"

// The numeric axis over [min, max], linear or base-10 logarithmic. Labels
// are the two range ends.
class Axis : public IAxis
{
public:
    Axis(const QPointF& pos, double width, double height, const QString& name, int column,
         double min, double max, bool vertical);

    void setRange(double min, double max);

    int count() const override;
    // Pixel offset of the value: 0 below the range, beyond width above it,
    // -1 for a value of type none. An empty range maps every value to 0.
    int binIndex(const TVariant& value) const override;
    double position(const TVariant& value) const override;
    TList<QString> labels() const override;

    int column;
    double min = 0.0;
    double max = 0.0;
    bool logScale = false;
};
