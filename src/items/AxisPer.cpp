#include "items/AxisPer.h"
#include "core/Saturate.h"

#include "core/Constants.h"
#include "core/TVariant.h"

#include <QDateTime>
#include <QDebug>
#include <QLocale>
#include <QPainter>
#include <QTextOption>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double MONTH = 2592000;
constexpr double DAY = 86400;
constexpr double HOUR = 3600;
constexpr double MINUTE = 60;
constexpr double SECOND = 1;
// Tick units in the order they are tried.
constexpr double UNITS[] = {MONTH, DAY, HOUR, MINUTE, SECOND};

// Seconds truncated toward zero; NaN gives 0 and huge values the ends of the
// 64-bit range, so no conversion is undefined.
qint64 toSeconds(double v)
{
    return saturatedInt64(v);
}

QDateTime localTime(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs);
}

// Labels and captions use the C locale whatever the system's locale is.
QString format(const QDateTime& t, const QString& fmt)
{
    return QLocale::c().toString(t, fmt);
}

QString format(const QDate& d, const QString& fmt)
{
    return QLocale::c().toString(d, fmt);
}

} // namespace

AxisPer::AxisPer(const QString& name, int column, double viewMin, double viewMax, double min,
                 double max, double binWidth, bool vertical, bool calendar)
    : IAxis(QPointF(0, 0), 5.0, 5.0, name, vertical), column(column), min(min), max(max),
      binWidth(binWidth), calendar(calendar), viewMin(viewMin), viewMax(viewMax)
{
    binCount = 1;
    edgeLabels = true;
    setRange(viewMin, viewMax);
    this->min = min;
    this->max = max;
    minSpacing = 80.0;
    maxSpacing = 400.0;
}

void AxisPer::setRange(double a, double b)
{
    labelList.clear();
    viewMin = min = a;
    viewMax = max = b;
    // A bin width of 0 (or a range that is not a number) gives one bin.
    const double bins = std::ceil((b - a) / binWidth);
    binCount = std::max(std::isfinite(bins) ? clampToInt(bins) : 0, 1);
    if (calendar) {
        const QString fmt = QStringLiteral("ddd MMM d hh:mm:ss:zz");
        labelList.append(format(localTime(toSeconds(a)), fmt));
        labelList.append(format(localTime(toSeconds(b)), fmt));
    } else {
        labelList.append(QString::number(a, 'g', 6));
        labelList.append(QString::number(b, 'g', 6));
    }
}

int AxisPer::count() const
{
    return binCount;
}

TList<QString> AxisPer::labels() const
{
    return labelList;
}

double AxisPer::positionOf(double v) const
{
    const double r = (v - viewMin) / (viewMax - viewMin);
    if (std::isnan(r))
        return 0.0;
    if (r > 1)
        return width;
    return std::max(r, 0.0) * width;
}

double AxisPer::position(const TVariant& value) const
{
    return positionOf(value.toDouble());
}

int AxisPer::binIndex(const TVariant& value) const
{
    if (!value.isValid())
        return -1;
    double r = (value.toDouble() - min) / (max - min);
    if (std::isnan(r))
        r = 0.0;
    r = std::min(std::max(r, 0.0), 1.0);
    const int b = clampToInt(r * binCount);
    return b == binCount ? binCount - 1 : b;
}

double AxisPer::niceNumber(double x, bool nearest)
{
    if (!(x > 0) || !std::isfinite(x))
        return 0.0;
    const double e = std::floor(std::log10(x));
    const double p = std::pow(10.0, e);
    const double f = x / p;
    double nice;
    if (nearest) {
        if (f < 1.5)
            nice = 1;
        else if (f < 3)
            nice = 2;
        else if (f < 7)
            nice = 5;
        else
            nice = 10;
    } else {
        if (f < 1)
            nice = 1;
        else if (f < 3)
            nice = 2;
        else if (f < 5)
            nice = 5;
        else
            nice = 10;
    }
    return nice * p;
}

bool AxisPer::findTicks(double unit, double minSpace, double maxSpace, Ticks& out) const
{
    if (clampToInt((viewMax - viewMin) / unit) <= 0)
        return false;
    int n = clampToInt(width / minSpace);
    if (n <= 1)
        return false;
    double step = 0.0;
    double span = 0.0;
    double spacing = 0.0;
    qint64 first = 0;
    qint64 last = 0;
    for (;;) {
        const int m = n - 1;
        step = niceNumber(niceNumber((viewMax - viewMin) / unit, false) / m, true);
        if (step < 1)
            return false;
        const double s = unit * step;
        // The remainder keeps the sign of the start (C %), so ticks before
        // the epoch start after the visible start.
        const qint64 whole = std::max<qint64>(toSeconds(s), 1);
        first = toSeconds(viewMin - static_cast<double>(toSeconds(viewMin) % whole));
        last = toSeconds(static_cast<double>(toSeconds(viewMax / s)) * s);
        span = positionOf(static_cast<double>(last)) - positionOf(static_cast<double>(first));
        spacing = span / n;
        if (spacing >= minSpace)
            break;
        if (m == 1)
            return false;
        n = m;
    }
    if (!(spacing <= maxSpace))
        return false;
    out.step = step;
    out.unit = unit;
    out.first = first;
    out.last = last;
    out.span = span;
    return true;
}

qint64 AxisPer::visibleSeconds() const
{
    // What secsTo between the two whole-second times gives.
    const qint64 a = toSeconds(viewMin);
    const qint64 b = toSeconds(viewMax);
    if ((b >= 0 && a < 0 && b > std::numeric_limits<qint64>::max() + a)
        || (b < 0 && a > 0 && b < std::numeric_limits<qint64>::min() + a))
        return b >= 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return b - a;
}

AxisPer::Ticks AxisPer::chooseScale(qint64 secs, bool* found) const
{
    Ticks t;
    for (double unit : UNITS) {
        if (findTicks(unit, minSpacing, maxSpacing, t)) {
            *found = true;
            return t;
        }
    }
    *found = false;
    t.unit = SECOND;
    t.step = static_cast<double>(secs);
    t.first = toSeconds(viewMin);
    t.last = toSeconds(viewMax);
    t.span = positionOf(static_cast<double>(t.last)) - positionOf(static_cast<double>(t.first));
    return t;
}

void AxisPer::setSize(double w, double h)
{
    IAxis::setSize(w, h);
    if (!calendar || vertical || !(width > 0) || viewMin == viewMax)
        return;
    const qint64 secs = visibleSeconds();
    bool found = false;
    const Ticks t = chooseScale(secs, &found);
    min = static_cast<double>(t.first);
    max = static_cast<double>(t.last);
    // Halves go up. A range within one second (0 / 0) or a scale that rounds
    // to no bin keeps one bin, so the bin width stays finite.
    const double bins = std::floor(static_cast<double>(secs) / t.unit / t.step + 0.5);
    binCount = (std::isfinite(bins) && bins >= 1) ? clampToInt(bins) : 1;
    binWidth = (max - min) / binCount;
}

void AxisPer::paint(QPainter* painter, QBrush& brush, QPen& pen)
{
    if (!calendar || vertical) {
        IAxis::paint(painter, brush, pen);
        return;
    }
    painter->save();
    painter->setFont(font);
    painter->translate(x, y);
    const qint64 secs = visibleSeconds();
    labelList.clear();

    QString caption;
    QSet<int> bold;
    const double keptMin = viewMin;
    const double keptMax = viewMax;

    if (secs < 1) {
        const QString start = format(localTime(toSeconds(viewMin)), QStringLiteral("hh:mm:ss"));
        labelList.append(start);
        labelList.append(start);
        ticks.clear();
        ticks.append(0);
        ticks.append(clampToInt(width));
    } else {
        bool found = false;
        const Ticks scale = chooseScale(secs, &found);
        if (!found)
            qDebug("no proper scale found");
        viewMin = static_cast<double>(scale.first);
        viewMax = static_cast<double>(scale.last);
        ticks.clear();

        const qint64 stepSecs = toSeconds(scale.step * scale.unit);
        QDateTime t = localTime(scale.first);
        const int kmax = clampToInt(std::ceil(static_cast<double>(secs) / scale.unit / scale.step));
        TList<qint64> tickTimes;
        for (int k = 0; k <= kmax; ++k) {
            const QDate date = t.date();
            const QTime time = t.time();
            QString label;
            QDateTime tick;
            bool isBold = false;
            if (scale.unit == MONTH) {
                label = format(date, QStringLiteral("MMM"));
                tick = QDateTime(QDate(date.year(), date.month(), 1), QTime(0, 0));
                if (date.month() == 1) {
                    label = QString::number(date.year());
                    isBold = true;
                }
                t = t.addMonths(clampToInt(scale.step));
            } else if (scale.unit == DAY) {
                label = format(date, QStringLiteral("MMM dd"));
                tick = QDateTime(date, QTime(0, 0));
                if (date.day() == 1) {
                    label = format(date, QStringLiteral("MMM"));
                    isBold = true;
                }
                t = t.addSecs(stepSecs);
                if (k == 0)
                    caption = format(t, QStringLiteral("yyyy"));
            } else if (scale.unit == HOUR) {
                label = format(t, QStringLiteral("hh:mm"));
                tick = QDateTime(date, QTime(time.hour(), time.minute()));
                if (time.hour() == 0 && time.minute() == 0) {
                    label = format(t, QStringLiteral("MMM dd"));
                    isBold = true;
                }
                t = t.addSecs(stepSecs);
                if (k == 0)
                    caption = format(t, QStringLiteral("MMM dd yyyy"));
            } else if (scale.unit == MINUTE) {
                label = format(t, QStringLiteral("hh:mm"));
                tick = QDateTime(date, QTime(time.hour(), time.minute()));
                // "hh:mm" shows "00" exactly when the hour or the minute is 0.
                if (time.hour() == 0 || time.minute() == 0)
                    isBold = true;
                t = t.addSecs(stepSecs);
                if (k == 0)
                    caption = format(t, QStringLiteral("MMM dd yyyy hh:00"));
            } else {
                label = format(t, QStringLiteral("mm:ss"));
                tick = QDateTime(date, QTime(time.hour(), time.minute(), time.second()));
                // "mm:ss" shows "00" exactly when the minute or the second is 0.
                if (time.minute() == 0 || time.second() == 0) {
                    label = format(t, QStringLiteral("hh:mm"));
                    isBold = true;
                }
                t = t.addSecs(stepSecs);
                if (k == 0)
                    caption = format(t, QStringLiteral("MMM dd yyyy hh:mm"));
            }
            if (isBold)
                bold.insert(k);
            labelList.append(label);
            tickTimes.append(tick.toSecsSinceEpoch());
        }
        for (qint64 tt : tickTimes)
            ticks.append(clampToInt(positionOf(static_cast<double>(tt))));

        // The last tick goes when it would crowd the one before it.
        const int n = ticks.size();
        if (n >= 2) {
            const int a = ticks.at(n - 2);
            const int b = ticks.at(n - 1);
            if (a == b || std::abs(b - a) < fontMetrics.horizontalAdvance(labelList.at(0))) {
                ticks.items.pop_back();
                labelList.items.pop_back();
            }
        }
    }

    drawTicks(painter, brush, pen, labelList, ticks, caption, bold);

    viewMin = keptMin;
    viewMax = keptMax;
    painter->restore();
}

void AxisPer::drawTicks(QPainter* painter, QBrush&, QPen& pen, const TList<QString>& tickLabels,
                        const TList<int>& tickPositions, const QString& caption,
                        const QSet<int>& boldTicks)
{
    pen.setColor(TEXT_COLOR);
    pen.setWidth(1);
    painter->setPen(pen);
    const int n = tickLabels.size();
    const int boxWidth = n > 0 ? clampToInt(clampToInt(width / n) * 0.95) : 0;
    const int fh = std::max(fontMetrics.height(), 1);

    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAnywhere);
    QPen light(pen);
    light.setColor(LINE_COLOR);
    light.setWidth(1);
    for (int i = 0; i < n; ++i) {
        const int p = tickPositions[i];
        QFont f(font);
        f.setWeight(boldTicks.contains(i) ? 75 : 50);
        painter->setFont(f);
        painter->drawText(QRectF(p, 5, boxWidth, fh), tickLabels.at(i), option);
        painter->setPen(light);
        painter->drawLine(QPoint(p, 0), QPoint(p, 6));
        painter->setPen(pen);
    }

    painter->setPen(light);
    painter->drawLine(QPoint(0, 0), QPoint(clampToInt(width), 0));

    font.setWeight(75);
    painter->setFont(font);
    QPen black(pen);
    black.setColor(Qt::black);
    painter->setPen(black);
    painter->drawText(QRectF(0, font.pixelSize() + 11, width, height * 0.5),
                      Qt::AlignLeft | Qt::AlignBottom, caption);
    font.setWeight(50);
}
