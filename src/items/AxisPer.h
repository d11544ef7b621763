#pragma once

#include "items/IAxis.h"

#include <QSet>

// The horizontal time axis of the Gantt and line charts. Values are seconds
// since the epoch. It picks a calendar tick scale (months, days, hours,
// minutes or seconds with a nice step) for the visible range, draws labels
// in that scale's format with the starts of larger units in bold and a
// caption naming the larger unit, and, once sized, divides the bin range into
// bins aligned on the same ticks.
class AxisPer : public IAxis
{
public:
    AxisPer(const QString& name, int column, double viewMin, double viewMax, double min,
            double max, double binWidth, bool vertical, bool calendar);

    // Sets both the visible and the bin range to [a, b].
    void setRange(double a, double b);

    int count() const override;
    void setSize(double width, double height) override;
    void paint(QPainter* painter, QBrush& brush, QPen& pen) override;
    double position(const TVariant& value) const override;
    int binIndex(const TVariant& value) const override;
    TList<QString> labels() const override;

    // 1, 2, 5 or 10 times the power of ten of x: the nearest such figure, or
    // (nearest clear) the next one up. 0 for x that is not a positive number.
    static double niceNumber(double x, bool nearest);

    // One tick layout for a unit, in seconds.
    struct Ticks
    {
        double step = 0.0;   // in units
        double unit = 0.0;   // seconds
        qint64 first = 0;    // first tick time
        qint64 last = 0;     // last tick time
        double span = 0.0;   // pixels from the first to the last tick
    };
    // Tries the unit for the visible range; true (with ticks filled) when it
    // gives ticks at least minSpacing and at most maxSpacing pixels apart.
    bool findTicks(double unit, double minSpacing, double maxSpacing, Ticks& ticks) const;
    // Draws the labels at the tick positions (bold where boldTicks holds the
    // index), the ticks, the axis line and the caption. The positions must be
    // at least as many as the labels. Virtual so that a chart can restyle it.
    virtual void drawTicks(QPainter* painter, QBrush& brush, QPen& pen, const TList<QString>& tickLabels,
                   const TList<int>& tickPositions, const QString& caption,
                   const QSet<int>& boldTicks);

    int column;
    double min;
    double max;
    double binWidth;
    bool calendar;
    double viewMin = 0.0;
    double viewMax = 0.0;
    int binCount = 1;
    // Pixel positions of the ticks of the last paint.
    TList<int> ticks;
    double minSpacing = 80.0;
    double maxSpacing = 400.0;

private:
    // The scale for the visible range: the first unit whose ticks fit, else
    // one interval of seconds over the whole range (found is then false).
    Ticks chooseScale(qint64 secs, bool* found) const;
    qint64 visibleSeconds() const;
    double positionOf(double v) const;
};
