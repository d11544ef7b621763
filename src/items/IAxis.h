#pragma once

#include "core/TList.h"

#include <QFont>
#include <QFontMetrics>
#include <QPointF>
#include <QString>

class QBrush;
class QPainter;
class QPen;
class TVariant;

// An axis maps the values of one attribute onto one dimension of a view: to
// a bin, to a pixel offset along its length and to a row of tick labels that
// it draws together with its name. Users delete axes through this interface.
class IAxis
{
public:
    IAxis(const QPointF& pos, double width, double height, const QString& name, bool vertical);
    IAxis(const IAxis&) = delete;
    IAxis& operator=(const IAxis&) = delete;
    virtual ~IAxis();

    virtual int count() const = 0;
    virtual void setSize(double width, double height);
    // Draws inside the painter's current transformation; the brush is unused.
    virtual void paint(QPainter* painter, QBrush& brush, QPen& pen);
    virtual double position(const TVariant& value) const = 0;
    // -1 for a value of type none.
    virtual int binIndex(const TVariant& value) const = 0;
    virtual TList<QString> labels() const = 0;

    // v truncated toward zero into the int range: NaN gives 0, values beyond
    // the range give its ends. Every pixel and bin conversion goes through it
    // so that degenerate ranges never turn into undefined conversions.
    static int clampToInt(double v);

    // The tick labels in order along the axis (read through labels()).
    TList<QString> labelList;
    // Drawn turned by -90 degrees: the length runs up the screen.
    bool vertical;
    // Length along the axis and thickness of the label band, in pixels.
    double width;
    double height;
    // Labels spread from one end to the other instead of centred on bins.
    bool edgeLabels = false;
    QString name;
    double x;
    double y;
    QFont font;
    QFontMetrics fontMetrics;
};
