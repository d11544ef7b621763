#include "views/charts/LineChart.h"

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/Constants.h"
#include "core/DeferredRelease.h"
#include "core/HandlerGuard.h"
#include "core/Packet.h"
#include "core/Saturate.h"
#include "events/EventType.h"
#include "events/PacketsEvent.h"
#include "events/RenderEvent.h"
#include "items/Axis.h"
#include "items/AxisPer.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "items/ColorBinAxis.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/charts/LineChartMiniView.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QLineF>
#include <QLocale>
#include <QMouseEvent>
#include <QMutex>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

namespace {

// Guarded runs under way, of any chart, and context hand-overs under way;
// everything here runs on the GUI thread.
int openRuns = 0;
int handOvers = 0;
// The action and the chart of a run that ran out of memory while another
// run or a OneMessage was open, told once the last of them ends.
const char* failedAction = nullptr;
LineChart* failedChart = nullptr;

const QString EVENTS_ATTRIBUTE = QStringLiteral("#Events");
const QString RULES_ATTRIBUTE = QStringLiteral("Rules");
const QColor RUN_COLOR(0, 0, 255, 80);
const QColor ARC_COLOR(50, 50, 50, 50);
// The drag timer and the distance a held button travels before a drag starts.
constexpr int DRAG_INTERVAL = 500;
constexpr double DRAG_DISTANCE = 20.0;
// Room around an item within which the pointer hovers it.
constexpr double HOVER_MARGIN = 7.0;
// An item this close to an edge of the plot draws its line on to the edge.
constexpr double EDGE_DISTANCE = 10.0;

QColor withAlpha(QColor c, int alpha)
{
    c.setAlpha(alpha);
    return c;
}

// The corners of the drag rectangle count as unset when all four are -1.
bool isUnset(double v)
{
    return std::abs(v + 1.0) <= 1e-12;
}

double timeOf(const QSharedPointer<Packet>& packet, int column)
{
    return packet->get(column).toDouble();
}

int ceilToInt(double v)
{
    return saturatedInt(std::ceil(v));
}

// Blends `fill` over the pixels of a 32-bit image whose centres lie between
// the line `outline` (its x never falls) and the baseline y = base, as the
// painter fills such a polygon. The painter blends a column of one or two
// pixels span by span, which for hundreds of bins and a dozen series is
// most of a render; this fills the rows one after another. False for other
// image formats.
bool blendUnder(QImage* img, const QPolygonF& outline, double base, const QColor& fill)
{
    const QImage::Format format = img->format();
    if (format != QImage::Format_ARGB32 && format != QImage::Format_ARGB32_Premultiplied
        && format != QImage::Format_RGB32)
        return false;
    const int n = outline.size();
    const int firstColumn = std::max(0, ceilToInt(outline.first().x() - 0.5));
    const int endColumn = std::min(img->width(), ceilToInt(outline.last().x() - 0.5));
    const int bottom = std::min(img->height(), ceilToInt(base - 0.5));
    if (firstColumn >= endColumn || bottom <= 0)
        return true;
    std::vector<int> tops(std::size_t(endColumn - firstColumn));
    int highest = bottom;
    int k = 1;
    for (int px = firstColumn; px < endColumn; ++px) {
        const double cx = px + 0.5;
        while (k < n - 1 && outline.at(k).x() <= cx)
            ++k;
        const QPointF& a = outline.at(k - 1);
        const QPointF& b = outline.at(k);
        const double y = b.x() > a.x() ? a.y() + (b.y() - a.y()) * (cx - a.x()) / (b.x() - a.x())
                                       : std::min(a.y(), b.y());
        const int top = std::max(0, std::min(bottom, ceilToInt(y - 0.5)));
        tops[std::size_t(px - firstColumn)] = top;
        highest = std::min(highest, top);
    }
    const int alpha = fill.alpha();
    const int keep = 255 - alpha;
    const int red = fill.red() * alpha;
    const int green = fill.green() * alpha;
    const int blue = fill.blue() * alpha;
    const QRgb premultiplied = qPremultiply(fill.rgba());
    const auto over = [&](QRgb d) -> QRgb {
        if (format == QImage::Format_ARGB32_Premultiplied) {
            return qRgba(qRed(premultiplied) + (qRed(d) * keep + 127) / 255,
                         qGreen(premultiplied) + (qGreen(d) * keep + 127) / 255,
                         qBlue(premultiplied) + (qBlue(d) * keep + 127) / 255,
                         qAlpha(premultiplied) + (qAlpha(d) * keep + 127) / 255);
        }
        if (format == QImage::Format_RGB32 || qAlpha(d) == 255) {
            return qRgba((red + qRed(d) * keep + 127) / 255, (green + qGreen(d) * keep + 127) / 255,
                         (blue + qBlue(d) * keep + 127) / 255, 255);
        }
        const QRgb p = qPremultiply(d);
        return qUnpremultiply(qRgba(qRed(premultiplied) + (qRed(p) * keep + 127) / 255,
                                    qGreen(premultiplied) + (qGreen(p) * keep + 127) / 255,
                                    qBlue(premultiplied) + (qBlue(p) * keep + 127) / 255,
                                    qAlpha(premultiplied) + (qAlpha(p) * keep + 127) / 255));
    };
    // The caller made sure that the image shares its pixels with no copy.
    for (int py = highest; py < bottom; ++py) {
        auto* line = reinterpret_cast<QRgb*>(const_cast<uchar*>(img->constScanLine(py)));
        for (int px = firstColumn; px < endColumn; ++px)
            if (tops[std::size_t(px - firstColumn)] <= py)
                line[px] = over(line[px]);
    }
    return true;
}

} // namespace

void LineChart::fillUnder(QPainter* painter, const QPolygonF& outline, double base,
                          const QColor& fill, const QPen* pen)
{
    if (outline.size() < 2)
        return;
    // The area between a line whose x never falls and the baseline, as one
    // trapezoid per segment: the rasterizer fills a dense zigzag as a single
    // polygon many times slower.
    bool monotone = true;
    for (int k = 1; k < outline.size() && monotone; ++k)
        monotone = outline.at(k).x() >= outline.at(k - 1).x();
    painter->setPen(Qt::NoPen);
    painter->setBrush(fill);
    QPaintDevice* device = painter->device();
    const bool plainImage = device && device->devType() == QInternal::Image && !painter->hasClipping()
                            && painter->transform().isIdentity();
    if (monotone && plainImage && blendUnder(static_cast<QImage*>(device), outline, base, fill)) {
        // Filled.
    } else if (monotone) {
        QPointF quad[4];
        for (int k = 1; k < outline.size(); ++k) {
            const QPointF& a = outline.at(k - 1);
            const QPointF& b = outline.at(k);
            if (b.x() <= a.x())
                continue;
            quad[0] = QPointF(a.x(), base);
            quad[1] = a;
            quad[2] = b;
            quad[3] = QPointF(b.x(), base);
            painter->drawPolygon(quad, 4);
        }
    } else {
        painter->drawPolygon(outline);
    }
    if (!pen)
        return;
    // The closed outline, segment by segment for the same reason.
    QVector<QLineF> segments;
    segments.reserve(outline.size());
    for (int k = 1; k < outline.size(); ++k)
        segments.append(QLineF(outline.at(k - 1), outline.at(k)));
    segments.append(QLineF(outline.last(), outline.first()));
    painter->setPen(*pen);
    painter->setBrush(Qt::NoBrush);
    painter->drawLines(segments);
}

LineChart::ChartLock::ChartLock(LineChart* chart)
    : chart(chart), took(!chart->chartLocked)
{
    if (took) {
        chart->chartMutex->lock();
        chart->chartLocked = true;
    }
}

LineChart::ChartLock::~ChartLock()
{
    if (took) {
        chart->chartLocked = false;
        chart->chartMutex->unlock();
    }
}

LineChart::LineChart(ControlWidget* owner, EventWidget* eventView, QWidget* parent)
    : ImgWidget(owner, parent)
    , eventView(eventView)
    , chartMutex(new QMutex)
{
    timer->setInterval(DRAG_INTERVAL);
    // Made twice in the original wiring; the second connection is the same
    // as the first.
    connect(timer, &QTimer::timeout, this, &LineChart::dragTimeOut, Qt::UniqueConnection);
    connect(timer, &QTimer::timeout, this, &LineChart::dragTimeOut, Qt::UniqueConnection);
    connect(hoverTimer, &QTimer::timeout, this, &LineChart::moveTimeOut);
    setSizePolicy(QSizePolicy::Expanding, sizePolicy().verticalPolicy());
}

LineChart::~LineChart()
{
    clearSeries();
    delete timeAxis;
    delete valueAxis;
    delete colorAxis;
    delete chartMutex;
}

GlyphStore* LineChart::store() const
{
    if (context && context->store)
        return context->store;
    return glyphStore;
}

bool LineChart::isActive() const
{
    return active;
}

void LineChart::setActive(bool on, bool rebuild)
{
    guarded("showing its events", [this, on, rebuild] {
        active = on;
        // A chart that no layout has taken yet would show as a window of its own.
        if (!on || QWidget::parentWidget())
            setVisible(on);
        if (on && rebuild) {
            ChartLock lock(this);
            buildSeries();
            setSize(-1, -1);
        }
    });
}

bool LineChart::runGuarded(const char* action, void (*run)(void*), void* work)
{
    if (ownRuns > 0 || handOvers > 0) {
        run(work);
        return true;
    }
    bool ranOut = false;
    {
        struct Open
        {
            int& own;
            explicit Open(int& own) : own(own)
            {
                ++own;
                ++openRuns;
            }
            ~Open()
            {
                --own;
                --openRuns;
            }
        } open(ownRuns);
        try {
            run(work);
        } catch (const std::bad_alloc&) {
            ranOut = true;
        }
    }
    if (ranOut) {
        dropSeries();
        if (!failedAction) {
            failedAction = action;
            failedChart = this;
        }
    }
    if (openRuns == 0)
        tellPending();
    return !ranOut;
}

LineChart::OneMessage::OneMessage()
{
    ++openRuns;
}

LineChart::OneMessage::~OneMessage()
{
    if (--openRuns == 0)
        tellPending();
}

bool LineChart::failurePending()
{
    return failedAction != nullptr;
}

void LineChart::tellPending() noexcept
{
    if (!failedAction)
        return;
    const char* action = failedAction;
    LineChart* chart = failedChart;
    failedAction = nullptr;
    failedChart = nullptr;
    chart->tellOutOfMemory(action);
}

void LineChart::dropSeries() noexcept
{
    ChartLock lock(this);
    clearSeries();
    deferredrelease::releaseContents(selectedPackets, std::size_t(selectedPackets.size()));
    selectedSlotCache.clear();
    selectedSlotsValid = false;
    buildTimeColumn = -1;
    dragging = false;
    resetDrag();
    seriesDropped = true;
    try {
        clearImages();
        update();
    } catch (const std::bad_alloc&) {
        // An image shared with a copy finds no room to be cleared: it shows
        // what it showed until the next render.
    }
}

void LineChart::tellOutOfMemory(const char* action) noexcept
{
    try {
        MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Failed to draw the line chart"),
                             QStringLiteral("The line chart ran out of memory while ") + QLatin1String(action)
                                 + QStringLiteral(". It shows no events until a selection, a change of its options "
                                                  "or of its size draws it again."),
                             window());
    } catch (const std::exception&) {
        // Not even the message found room; the chart is empty all the same.
    }
}

void LineChart::restoreSeries()
{
    if (!seriesDropped)
        return;
    ChartLock lock(this);
    buildSeries();
    setSize(-1, -1);
}

void LineChart::setContext(Context* c, bool clearSelectionToo, bool renderToo)
{
    // The caller of a hand-over (a load) deals with running out of memory
    // itself: the failure goes on to it, the chart left without series.
    struct HandOver
    {
        HandOver() { ++handOvers; }
        ~HandOver() { --handOvers; }
    } handOver;
    try {
        takeContext(c, clearSelectionToo, renderToo);
    } catch (const std::bad_alloc&) {
        dropSeries();
        throw;
    }
}

void LineChart::takeContext(Context* c, bool clearSelectionToo, bool renderToo)
{
    double min = 0.0;
    double max = 0.0;
    {
        ChartLock lock(this);
        context = c;
        mouseX = -1.0;
        mouseY = -1.0;
        if (clearSelectionToo) {
            clearSelection();
            selectionChanged();
        }
        for (BinItem* item : hoveredItems)
            item->highlighted = false;
        hoveredItems.clear();
        if (!context)
            qDebug() << "no selection ;(";
        // A new context may sit where an old one lay: the span is read anew.
        spanContext = nullptr;
        fullSpan(&min, &max);
    }
    setRange(min, max, false);
    setValueAttribute(EVENTS_ATTRIBUTE, -1, -1, false, false);
    setColorAttribute(QStringLiteral("none"), TList<TVariant>(), TList<QColor>(), false);
    if (active) {
        ChartLock lock(this);
        buildSeries();
        if (renderToo)
            setSize(-1, -1);
    }
    if (miniView)
        miniView->setContext(c, clearSelectionToo, renderToo);
}

void LineChart::fullSpan(double* min, double* max)
{
    GlyphStore* s = store();
    if (!context || !s) {
        *min = 0.0;
        *max = 0.0;
        return;
    }
    // The span is read at every wheel step; the store sorts the histogram's
    // keys for it, so it is kept until the context or the attribute changes.
    if (spanContext != context || spanAttribute != timeAttribute
        || spanEvents != context->packets.size()) {
        spanContext = context;
        spanAttribute = timeAttribute;
        spanEvents = context->packets.size();
        spanMin = s->minValue(timeAttribute, context);
        spanMax = s->maxValue(timeAttribute, context);
        if (!std::isfinite(spanMin) || !std::isfinite(spanMax)) {
            spanMin = 0.0;
            spanMax = 0.0;
        }
    }
    *min = spanMin;
    *max = spanMax;
}

void LineChart::setValueAttribute(const QString& name, int min, int max, bool logScale,
                                  bool rebuild)
{
    guarded("changing its value axis", [&] {
        ChartLock lock(this);
        delete valueAxis;
        valueAxis = nullptr;
        valueAttribute = name;
        valueMinimum = min;
        valueMaximum = max;
        logarithm = logScale;
        if (rebuild) {
            buildSeries();
            setSize(-1, -1);
            if (miniView)
                miniView->setValueAttribute(name, min, max, logScale, true);
        }
    });
}

void LineChart::setColorAttribute(const QString& name, const TList<TVariant>& values,
                                  const TList<QColor>& colors, bool rebuild)
{
    guarded("changing its colour axis", [&] {
        ChartLock lock(this);
        qDebug() << "locked z";
        colorAttribute = name;
        GlyphStore* s = store();
        const THash<QString, int> columns = s ? s->attributeMap(false) : THash<QString, int>();
        // The new axis first: out of memory, the chart keeps the old one.
        auto* axis = new ColorBinAxis(name, values, columns, colors, values.size() > 19);
        delete colorAxis;
        colorAxis = axis;
        if (rebuild) {
            buildSeries();
            setSize(-1, -1);
            if (miniView)
                miniView->setColorAttribute(name, values, colors, true);
        }
    });
}

void LineChart::setDrawArc(bool on)
{
    guarded("drawing its arcs", [this, on] {
        ChartLock lock(this);
        drawArcs = on;
        buildSeries();
        setSize(-1, -1);
    });
}

void LineChart::setConnect(bool on)
{
    guarded("interpolating its bins", [this, on] {
        ChartLock lock(this);
        connectBins = on;
        buildSeries();
        setSize(-1, -1);
        if (miniView)
            miniView->setConnect(on);
    });
}

void LineChart::setStack(bool on)
{
    guarded("stacking its series", [this, on] {
        ChartLock lock(this);
        stack = on;
        buildSeries();
        setSize(-1, -1);
        if (miniView)
            miniView->setStack(on);
    });
}

double LineChart::tickStep(double span)
{
    const double d = span * 1000.0 / 40.0;
    if (!(d > 1.0) || !std::isfinite(d))
        return 1.0;
    const double p = std::pow(10.0, std::ceil(std::log10(d) - 1.0));
    const double s = std::ceil(d / p) * p / 1000.0;
    return s <= 1.0 ? 1.0 : std::ceil(s);
}

int LineChart::binOf(double v, double lo, double hi, int n)
{
    const int b = saturatedInt((v - lo) / (hi - lo) * (n - 1));
    return std::max(0, std::min(b, n - 1));
}

int LineChart::binCount(double length)
{
    return std::max(1, std::min(MAX_BINS, saturatedInt(length)));
}

void LineChart::setRange(double lo, double hi, bool rebuild)
{
    guarded("changing its time window", [this, lo, hi, rebuild] {
        ChartLock lock(this);
        // The new axis first: out of memory, the chart keeps the old one.
        std::unique_ptr<AxisPer> axis(
            new AxisPer(timeAttribute, -1, lo, hi, lo, hi, tickStep(hi - lo), false, true));
        if (timeAxis) {
            // The new axis starts where the old one lay, so that a build before
            // the next layout has the bins of the shown length.
            axis->x = timeAxis->x;
            axis->y = timeAxis->y;
            axis->setSize(timeAxis->width, timeAxis->height);
        }
        from = lo;
        to = hi;
        delete timeAxis;
        timeAxis = axis.release();
        makeValueAxis();
        if (rebuild) {
            buildSeries();
            setSize(-1, -1);
        }
    });
}

void LineChart::makeValueAxis()
{
    std::unique_ptr<Axis> axis(new Axis(QPointF(timeAxis ? timeAxis->x : 0.0, timeAxis ? timeAxis->y : 0.0),
                                        axisWidth, height() - axisWidth, valueAttribute, -1, countMinimum,
                                        countMaximum, true));
    if (valueAxis) {
        axis->x = valueAxis->x;
        axis->y = valueAxis->y;
        axis->setSize(valueAxis->width, valueAxis->height);
    }
    axis->logScale = logarithm;
    delete valueAxis;
    valueAxis = axis.release();
}

void LineChart::clearSeries()
{
    for (BinItem* arc : arcs)
        delete arc;
    arcs.clear();
    for (BinSerie* serie : series)
        delete serie;
    series.clear();
    hoveredItems.clear();
    selectedItems.clear();
    selectedSlotsValid = false;
}

void LineChart::addToSlot(BinSerie* serie, int slot, const QSharedPointer<Packet>& packet, Counts& counts)
{
    BinItem*& item = serie->items[slot];
    if (!item)
        item = new BinItem(nullptr, this);
    item->visible = true;
    item->auxDouble = slot;
    item->packets.append(packet);
    const int n = item->packets.size();
    counts.minimum = std::min(counts.minimum, n);
    counts.maximum = std::max(counts.maximum, n);
}

void LineChart::buildSeries()
{
    ++buildCount;
    // 2.
    GlyphStore* s = store();
    if (!context || !s || !active) {
        // 1.
        clearSeries();
        buildTimeColumn = -1;
        seriesDropped = false;
        return;
    }

    // The new series and arcs are made aside: out of memory, the chart
    // keeps those it had and the new ones go. Once taken, the old ones go
    // with this holder.
    struct Built
    {
        TList<BinSerie*> series;
        TList<BinItem*> arcs;
        ~Built()
        {
            for (BinItem* arc : arcs)
                delete arc;
            for (BinSerie* serie : series)
                delete serie;
        }
    } built;

    // 3.
    const bool traceSide = s->hasAttribute(valueAttribute);
    const TList<QSharedPointer<Packet>>& events =
        traceSide ? context->conversationPackets : context->packets;
    const THash<QString, int> columns = s->attributeMap(traceSide);

    // 4.
    const int n = timeAxis ? binCount(timeAxis->width) : 1;

    // 5. Room for every series first, so that no series made is lost to
    // an append that finds none.
    int colorColumn = -1;
    QHash<TVariant, int> colorIndex;
    int otherIndex = -1;
    TList<QString> labels;
    TList<QColor> palette;
    if (colorAxis) {
        labels = colorAxis->labels();
        palette = colorAxis->colors();
    }
    built.series.items.reserve(std::size_t(labels.size()) + 1);
    built.series.append(new BinSerie(nullptr));
    if (colorAxis) {
        colorColumn = columns.value(colorAttribute, -1);
        for (int i = 0; i < labels.size(); ++i) {
            auto* serie = new BinSerie(nullptr);
            built.series.append(serie);
            if (i < palette.size())
                serie->color = palette.at(i);
        }
        // The colour axis's own index, as a table: a value it does not list
        // goes to its "Misc" entry when it has one, else nowhere.
        const TList<TVariant> values = colorAxis->values();
        for (int i = 0; i < values.size(); ++i)
            if (!colorIndex.contains(values.at(i)))
                colorIndex.insert(values.at(i), i);
        if (auto* bins = dynamic_cast<ColorBinAxis*>(colorAxis); bins && bins->miscBin)
            otherIndex = bins->index(*ColorBinAxis::miscValue);
    }
    const auto seriesOf = [&](const TVariant& value) {
        auto found = colorIndex.constFind(value);
        return found != colorIndex.constEnd() ? found.value() : otherIndex;
    };

    // 6.
    for (BinSerie* serie : built.series) {
        serie->items.items.assign(std::size_t(n), nullptr);
        if (connectBins)
            continue;
        for (int b = 0; b < n; ++b) {
            auto* item = new BinItem(nullptr, this);
            item->visible = true;
            item->auxDouble = b;
            serie->items[b] = item;
        }
    }

    // 7.
    Counts counts{std::numeric_limits<int>::max(), 0};
    const bool windowOpen = from < to;
    int timeColumn = 0;

    if (colorAttribute != RULES_ATTRIBUTE) {
        // 8.
        timeColumn = columns.value(timeAttribute, 0);
        if (windowOpen) {
            BinSerie* all = built.series.first();
            for (const QSharedPointer<Packet>& packet : events) {
                const double v = timeOf(packet, timeColumn);
                if (!(from <= v && v <= to))
                    continue;
                const int b = binOf(v, from, to, n);
                if (colorColumn != -1) {
                    const int c = seriesOf(packet->get(colorColumn));
                    if (c != -1)
                        addToSlot(built.series[c + 1], b, packet, counts);
                }
                addToSlot(all, b, packet, counts);
            }
        }
    } else {
        // 9. Rule mode reads times through the global time attribute.
        timeColumn = s->attributeMap(false).value(TIME_ATTRIBUTE, 0);
        if (windowOpen && eventView) {
            BinSerie* all = built.series.first();
            QHash<QString, int> labelIndex;
            for (BinCell* cell : eventView->cells) {
                if (!cell)
                    continue;
                for (const TList<BinItem*>& row : cell->rows) {
                    for (const BinItem* rowItem : row) {
                        if (!rowItem || rowItem->packets.isEmpty())
                            continue;
                        auto known = labelIndex.constFind(rowItem->label);
                        if (known == labelIndex.constEnd())
                            known = labelIndex.insert(rowItem->label,
                                                      seriesOf(TVariant(rowItem->label, true)));
                        const int c = known.value();
                        for (const QSharedPointer<Packet>& packet : rowItem->packets) {
                            const double v = timeOf(packet, timeColumn);
                            if (!(from <= v && v <= to))
                                continue;
                            const int b = binOf(v, from, to, n);
                            if (c != -1) {
                                addToSlot(built.series[c + 1], b, packet, counts);
                                built.series[c + 1]->items[b]->label = rowItem->label;
                            }
                            addToSlot(all, b, packet, counts);
                            all->items[b]->label = rowItem->label;
                        }
                    }
                }
            }
        }
    }

    // 10.
    if (connectBins)
        compactSeries(built.series, n, this);

    // 11.
    if (drawArcs)
        buildArcs(s->attributeMap(false).value(TIME_ATTRIBUTE, 0), built.arcs);

    // 1. The chart takes the new series; the old ones go with `built`.
    series.items.swap(built.series.items);
    arcs.items.swap(built.arcs.items);
    hoveredItems.clear();
    selectedItems.clear();
    selectedSlotsValid = false;
    buildTimeColumn = timeColumn;
    seriesDropped = false;
    countMinimum = counts.minimum;
    countMaximum = counts.maximum;

    // Nothing counted: the value range is 0..1 rather than an empty one.
    if (countMinimum == std::numeric_limits<int>::max()) {
        countMinimum = 0;
        countMaximum = 1;
    }

    // 12.
    if (timeAxis && valueAttribute == EVENTS_ATTRIBUTE) {
        countMinimum = saturatedInt(std::max(double(countMinimum), valueMinimum));
        if (valueMaximum != -1.0)
            countMaximum = std::min(countMaximum, saturatedInt(std::ceil(valueMaximum)));
        // A logarithmic axis starts at 1.
        if (logarithm)
            countMinimum = std::max(countMinimum, 1);
        makeValueAxis();
    }

    // 13.
    layoutItems();
}

void LineChart::compactSeries(TList<BinSerie*>& built, int n, LineChart* owner)
{
    std::vector<bool> occupied(std::size_t(n), false);
    std::size_t kept = 0;
    for (BinSerie* serie : built)
        for (int b = 0; b < serie->items.size() && b < n; ++b)
            if (serie->items[b])
                occupied[std::size_t(b)] = true;
    for (int b = 0; b < n; ++b)
        kept += occupied[std::size_t(b)] ? 1 : 0;
    for (BinSerie* serie : built) {
        // Every occupied slot gets its item in its place first, so that the
        // series owns each item made whatever happens next.
        for (int b = 0; b < n && b < serie->items.size(); ++b) {
            if (!occupied[std::size_t(b)] || serie->items[b])
                continue;
            auto* item = new BinItem(nullptr, owner);
            item->visible = true;
            item->auxDouble = b;
            serie->items[b] = item;
        }
        std::vector<BinItem*> compact;
        compact.reserve(kept);
        for (int b = 0; b < n && b < serie->items.size(); ++b)
            if (occupied[std::size_t(b)])
                compact.push_back(serie->items[b]);
        // An unoccupied slot holds no item: nothing is left behind.
        serie->items.items.swap(compact);
    }
}

void LineChart::buildArcs(int timeColumn, TList<BinItem*>& into)
{
    if (!eventView)
        return;
    for (BinCell* cell : eventView->cells) {
        if (!cell)
            continue;
        for (const TList<BinItem*>& row : cell->rows) {
            if (row.isEmpty() || !row.first() || !row.last() || row.first()->packets.isEmpty()
                || row.last()->packets.isEmpty())
                continue;
            const QSharedPointer<Packet>& first = row.first()->packets.first();
            const QSharedPointer<Packet>& last = row.last()->packets.last();
            const double t1 = timeOf(first, timeColumn);
            const double t2 = timeOf(last, timeColumn);
            if (std::min(to, t2) >= std::max(from, t1)) {
                std::unique_ptr<BinItem> arc(new BinItem(nullptr, this));
                arc->packets.append(first);
                arc->packets.append(last);
                into.append(arc.get());
                arc.release();
            }
        }
    }
}

void LineChart::layoutItems()
{
    selectedSlotsValid = false;
    if (!timeAxis)
        return;
    const double length = timeAxis->width;
    const int n = binCount(length);
    const double w = length / n;
    const bool counts = valueAttribute == EVENTS_ATTRIBUTE;
    std::vector<int> running(std::size_t(n), 0);
    for (int s = 0; s < series.size(); ++s) {
        BinSerie* serie = series[s];
        for (int i = 0; i < serie->items.size(); ++i) {
            BinItem* item = serie->items[i];
            if (!item)
                continue;
            const int events = item->packets.size();
            const int bin = (events > 0 || connectBins) ? saturatedInt(item->auxDouble) : i;
            const std::size_t slot = std::size_t(std::max(0, std::min(bin, n - 1)));
            if (s > 0)
                running[slot] += events;
            double value = events;
            if (!counts)
                value = item->auxDouble;
            else if (stack && s > 0)
                value = running[slot];
            double y = timeAxis->y;
            if (valueAxis)
                y = valueAxis->y - std::min(valueAxis->width, valueAxis->position(TVariant(value)));
            item->setX(timeAxis->x + bin * w);
            item->setY(y);
            item->setWidth(1);
            item->setHeight(1);
        }
    }
    const int arcColumn = store() ? store()->attributeMap(false).value(TIME_ATTRIBUTE, 0) : 0;
    for (BinItem* arc : arcs) {
        const double t1 = timeOf(arc->packets.first(), arcColumn);
        const double t2 = timeOf(arc->packets.last(), arcColumn);
        const int x1 = saturatedInt((t1 - from) / (to - from) * length + timeAxis->x);
        const int x2 = saturatedInt((t2 - from) / (to - from) * length + timeAxis->x);
        arc->setX(x1);
        arc->setWidth(double(x2) - x1);
        arc->setHeight(1);
    }
}

void LineChart::reset()
{
    ImgWidget::reset();
    timeAttribute = TIME_ATTRIBUTE;
}

bool LineChart::renderOverlay()
{
    RenderGuard guard(this);
    if (!guard)
        return false;
    overlay.fill(Qt::transparent);
    return true;
}

void LineChart::updateTicks()
{
    if (!timeAxis || (tickAxis == timeAxis && tickWidth == timeAxis->width))
        return;
    // The axis works its calendar ticks out while it paints; a paint into a
    // scratch picture gives the grid the ticks of the current window.
    QImage scratch(1, 1, QImage::Format_ARGB32);
    QPainter painter(&scratch);
    QPen pen;
    QBrush brush;
    timeAxis->paint(&painter, brush, pen);
    tickAxis = timeAxis;
    tickWidth = timeAxis->width;
}

bool LineChart::render(bool overlayToo, bool updateToo, QImage* target)
{
    bool drawn = false;
    guarded("drawing its series", [&] { drawn = draw(overlayToo, updateToo, target); });
    return drawn;
}

bool LineChart::draw(bool overlayToo, bool updateToo, QImage* target)
{
    QImage* img = target ? target : &image;
    // Let go of however the drawing ends.
    std::unique_lock<QMutex> imageLock(*imageMutex, std::defer_lock);
    const bool locked = imageLock.try_lock_for(std::chrono::milliseconds(1));
    if (!locked && !target) {
        scheduleRetry(true, overlayToo, updateToo);
        return false;
    }
    if (img->paintingActive()) {
        if (locked)
            imageLock.unlock();
        return false;
    }

    img->fill(background);
    if (!context || !timeAxis) {
        if (locked)
            imageLock.unlock();
        if (updateToo)
            update();
        return true;
    }
    updateTicks();

    // The series fill writes into the pixels: no copy may share them.
    img->bits();
    QPainter painter(img);
    const double left = timeAxis->x;
    const double right = timeAxis->x + timeAxis->width;
    const double bottom = timeAxis->y;
    const double top = valueAxis ? valueAxis->y - valueAxis->width : 0.0;

    // 3. Grid and frame.
    QPen grid(withAlpha(LINE_COLOR, 80));
    grid.setWidth(1);
    painter.setPen(grid);
    painter.setBrush(Qt::NoBrush);
    const TList<int>& ticks = timeAxis->ticks;
    for (int t : ticks)
        painter.drawLine(QPointF(left + t, bottom), QPointF(left + t, top));
    if (ticks.size() >= 3) {
        const double spacing = ticks.at(1) - ticks.at(0);
        if (spacing > 90) {
            const int extra = saturatedInt(spacing / 40);
            for (int i = 0; i + 1 < ticks.size(); ++i) {
                const double step = double(ticks.at(i + 1) - ticks.at(i)) / (extra + 1);
                for (int k = 1; k <= extra; ++k) {
                    const double x = left + ticks.at(i) + k * step;
                    painter.drawLine(QPointF(x, bottom), QPointF(x, top));
                }
            }
        }
    }
    if (valueAxis) {
        for (int i = 0; i < 10; ++i) {
            const double v = valueAxis->min + i * (valueAxis->max - valueAxis->min) / 10.0;
            const double y = valueAxis->y - valueAxis->position(TVariant(v));
            painter.drawLine(QPointF(left, y), QPointF(right, y));
        }
    }
    painter.drawRect(QRectF(left, top, right - left, bottom - top));

    // 4.
    if (updateToo)
        update();

    // 5. Series 0 first, then the others from the last down to series 1.
    const auto drawSerie = [&](const BinSerie* serie) {
        const TList<BinItem*>& items = serie->items;
        if (items.isEmpty())
            return;
        QPolygonF outline;
        outline.reserve(items.size() + 4);
        outline.append(QPointF(left, bottom));
        const BinItem* first = items.first();
        if (first && first->visible && first->left() - left < EDGE_DISTANCE)
            outline.append(QPointF(left, first->top()));
        for (const BinItem* item : items)
            if (item && item->visible)
                outline.append(QPointF(item->left(), item->top()));
        const BinItem* last = items.last();
        if (last && last->visible && right - last->left() < EDGE_DISTANCE)
            outline.append(QPointF(right, last->top()));
        outline.append(QPointF(right, bottom));
        QPen line(withAlpha(serie->color, 255));
        line.setWidth(2);
        line.setStyle(Qt::SolidLine);
        fillUnder(&painter, outline, bottom, withAlpha(serie->color, 100), &line);
    };
    if (!series.isEmpty())
        drawSerie(series.first());
    for (int s = series.size() - 1; s >= 1; --s)
        drawSerie(series[s]);

    // 6., 7.
    drawMarkers(&painter);
    drawSelectedRuns(&painter);

    // 8.
    QPen hover(HOVER_COLOR);
    hover.setWidth(2);
    painter.setPen(hover);
    painter.setBrush(withAlpha(HOVER_COLOR, 100));
    for (const BinItem* item : hoveredItems)
        painter.drawEllipse(QPointF(item->centerX(), item->centerY()), 3.0, 3.0);

    // 9.
    QPen axisPen;
    QBrush axisBrush;
    timeAxis->paint(&painter, axisBrush, axisPen);
    if (valueAxis)
        valueAxis->paint(&painter, axisBrush, axisPen);

    // 10.
    if (drawArcs && !arcs.isEmpty()) {
        QPen arcPen(ARC_COLOR);
        arcPen.setWidth(2);
        painter.setPen(arcPen);
        painter.setBrush(Qt::NoBrush);
        const double logLength = std::log10(timeAxis->width);
        const double end = timeAxis->x + timeAxis->width;
        const double y0 = timeAxis->y;
        for (const BinItem* arc : arcs) {
            const int x1 = saturatedInt(arc->x);
            const int x2 = saturatedInt(arc->x + arc->storedWidth);
            const int d = x2 - x1;
            double h = 0.0;
            if (d > 0 && logLength != 0.0)
                h = std::log10(double(d)) / logLength * arcHeight;
            if (!std::isfinite(h))
                h = 0.0;
            const double xe = std::min(double(x1) + d, end);
            QPainterPath path;
            path.moveTo(x1, y0);
            path.quadTo(x1, y0 + h, x1 + d / 2, y0 + h);
            path.quadTo(xe, y0 + h, xe, y0);
            painter.drawPath(path);
        }
    }

    // 11.
    if (dragging && !(isUnset(dragX1) && isUnset(dragY1) && isUnset(dragX2) && isUnset(dragY2))) {
        QPen band(SELECTION_COLOR);
        band.setWidth(3);
        painter.setPen(band);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(QPointF(dragX1, dragY1), QPointF(dragX2, dragY2)).normalized());
    }

    // 12.
    painter.end();
    if (locked)
        imageLock.unlock();
    if (overlayToo)
        renderOverlay();
    return true;
}

const std::vector<bool>& LineChart::selectedSlots()
{
    if (selectedSlotsValid)
        return selectedSlotCache;
    selectedSlotCache.clear();
    if (!series.isEmpty()) {
        const TList<BinItem*>& items = series.first()->items;
        selectedSlotCache.assign(std::size_t(items.size()), false);
        if (!selectedPackets.isEmpty()) {
            for (int i = 0; i < items.size(); ++i) {
                const BinItem* item = items[i];
                if (!item)
                    continue;
                for (const QSharedPointer<Packet>& p : item->packets) {
                    if (selectedPackets.contains(p)) {
                        selectedSlotCache[std::size_t(i)] = true;
                        break;
                    }
                }
            }
        }
    }
    selectedSlotsValid = true;
    return selectedSlotCache;
}

void LineChart::selectionChanged()
{
    selectedSlotsValid = false;
}

void LineChart::drawMarkers(QPainter* painter)
{
    if (series.isEmpty() || selectedPackets.isEmpty() || !timeAxis)
        return;
    const std::vector<bool>& marked = selectedSlots();
    const TList<BinItem*>& items = series.first()->items;
    const int count = items.size();
    if (count == 0)
        return;
    const double length = timeAxis->width;
    const double h = std::max(std::min(10.0, length / count), length / binCount(length));
    const int hh = saturatedInt(1.1 * h) / 2;
    QPen pen(SELECTION_COLOR);
    pen.setWidth(3);
    for (int i = 0; i < count; ++i) {
        if (!marked[std::size_t(i)] || !items[i])
            continue;
        const double x = items[i]->left();
        painter->setPen(pen);
        painter->drawLine(QPointF(x, 0), QPointF(x, 7));
        QPolygonF shape;
        if (i == 0)
            shape << QPointF(-4, 0) << QPointF(4, 0) << QPointF(-4, -hh);
        else if (i == count - 1)
            shape << QPointF(-4, 0) << QPointF(4, 0) << QPointF(-4, hh);
        else
            shape << QPointF(-4, 0) << QPointF(-4, -hh) << QPointF(4, 0) << QPointF(-4, hh);
        painter->save();
        painter->translate(x, 7);
        painter->rotate(90);
        painter->setPen(Qt::NoPen);
        painter->setBrush(SELECTION_COLOR);
        painter->drawPolygon(shape);
        painter->restore();
    }
}

void LineChart::drawSelectedRuns(QPainter* painter)
{
    if (series.isEmpty() || selectedPackets.isEmpty() || !timeAxis)
        return;
    const std::vector<bool>& marked = selectedSlots();
    const TList<BinItem*>& items = series.first()->items;
    const int count = items.size();
    const double bottom = timeAxis->y;
    int i = 0;
    while (i < count) {
        if (!marked[std::size_t(i)]) {
            ++i;
            continue;
        }
        int end = i;
        while (end + 1 < count && marked[std::size_t(end + 1)])
            ++end;
        const int a = std::max(0, i - 1);
        const int b = std::min(count - 1, end + 1);
        // A run that reaches the last slot is closed at that slot.
        const int lastTop = end == count - 1 ? b : b - 1;
        if (items[a] && items[b]) {
            QPolygonF area;
            area.append(QPointF(items[a]->left(), bottom));
            for (int k = a; k <= lastTop; ++k)
                if (items[k])
                    area.append(QPointF(items[k]->left(), items[k]->top()));
            area.append(QPointF(items[b]->left(), bottom));
            fillUnder(painter, area, bottom, RUN_COLOR, nullptr);
        }
        i = end + 1;
    }
}

void LineChart::setSize(int w, int h)
{
    guarded("laying out its series", [this, w, h] {
        ImgWidget::setSize(w, h);
        if (!timeAxis)
            return;
        const int H = h == -1 ? height() : h;
        const int arcRoom = drawArcs ? arcHeight : 0;
        const double originX = axisWidth + 10;
        const double originY = H - axisWidth - arcRoom / 2 + 5;
        timeAxis->x = originX;
        timeAxis->y = originY;
        if (valueAxis) {
            valueAxis->x = originX;
            valueAxis->y = originY;
        }
        const double length = width() - (axisWidth + 10) - axisWidth;
        if (length > 0) {
            const double previous = timeAxis->width;
            timeAxis->setSize(length, axisWidth);
            // Series that a failure dropped are built again too.
            if (previous != length || seriesDropped) {
                ChartLock lock(this);
                buildSeries();
            }
        }
        if (valueAxis) {
            const double valueLength = drawArcs ? H - 5 - arcRoom - axisWidth / 2 : H - 5 - axisWidth;
            if (valueLength > 0)
                valueAxis->setSize(valueLength, axisWidth + 10);
        }
        if (length > 0) {
            layoutItems();
            render(false, true, nullptr);
        }
    });
}

QRectF LineChart::dataRect()
{
    return QRectF(0, 0, width(), height());
}

QSize LineChart::sizeHint() const
{
    return QSize(1000, 400);
}

QString LineChart::tooltipText(const BinItem* item) const
{
    QString times;
    if (!item->packets.isEmpty() && buildTimeColumn >= 0) {
        const auto format = [this](const QSharedPointer<Packet>& p) {
            const double v = timeOf(p, buildTimeColumn);
            if (!std::isfinite(v))
                return QString();
            const QDateTime t = QDateTime::fromMSecsSinceEpoch(saturatedInt64(v * 1000.0));
            return QLocale::c().toString(t, QStringLiteral("dd-MM-yyyy hh:mm"));
        };
        times = format(item->packets.first()) + QLatin1Char('-') + format(item->packets.last());
    }
    return QStringLiteral("value: ") + item->label + QStringLiteral("\n TimeStamp: ") + times
           + QStringLiteral("\n #Events: ") + QString::number(item->packets.size());
}

void LineChart::mouseMoveEvent(QMouseEvent* e)
{
    guarded("showing the bin under the pointer", [this, e] { hover(e); });
}

void LineChart::hover(QMouseEvent* e)
{
    ImgWidget::mouseMoveEvent(e);
    if (dragging) {
        dragX2 = mouseX;
        dragY2 = mouseY;
        timer->start();
    } else if (dragSelect && (e->buttons() & Qt::LeftButton) && pressX >= 0
               && QLineF(pressX, pressY, mouseX, mouseY).length() > DRAG_DISTANCE) {
        qDebug() << "dragging";
        dragging = true;
        timer->start();
        dragX1 = pressX;
        dragY1 = pressY;
        dragX2 = mouseX;
        dragY2 = mouseY;
    }
    for (BinItem* item : hoveredItems)
        item->highlighted = false;
    hoveredItems.clear();
    QToolTip::hideText();
    bool found = false;
    for (BinSerie* serie : series) {
        for (BinItem* item : serie->items) {
            if (!item || !item->visible)
                continue;
            if (item->left() - HOVER_MARGIN <= mouseX && mouseX <= item->right() + HOVER_MARGIN
                && item->top() - HOVER_MARGIN <= mouseY && mouseY <= item->bottom() + HOVER_MARGIN) {
                item->highlighted = true;
                hoveredItems.append(item);
                QToolTip::showText(e->globalPos(), tooltipText(item), this);
                found = true;
                break;
            }
        }
        if (found)
            break;
    }
    hoverTimer->start(HOVER_INTERVAL);
    render(false, true, nullptr);
}

void LineChart::clearSelection()
{
    deferredrelease::releaseContents(selectedPackets, std::size_t(selectedPackets.size()));
    for (BinItem* item : selectedItems)
        item->selected = false;
    selectedItems.clear();
    selectionChanged();
}

void LineChart::mousePressEvent(QMouseEvent* e)
{
    guarded("selecting bins", [this, e] { press(e); });
}

void LineChart::press(QMouseEvent* e)
{
    ImgWidget::mousePressEvent(e);
    const bool ctrl = e->modifiers() & Qt::ControlModifier;
    const bool modifier = e->modifiers() != Qt::NoModifier;
    if (!ctrl)
        clearSelection();
    TList<BinItem*> added;
    TList<BinItem*> removed;
    if (!series.isEmpty()) {
        const int px = saturatedInt(pressX);
        const int py = saturatedInt(pressY);
        int slot = -1;
        const TList<BinItem*>& all = series.first()->items;
        for (int i = 0; i < all.size(); ++i) {
            const BinItem* item = all[i];
            if (item && item->visible && item->left() <= px && px <= item->right()) {
                slot = i;
                break;
            }
        }
        if (slot >= 0 && e->button() != Qt::RightButton) {
            for (BinSerie* serie : series) {
                BinItem* item = slot < serie->items.size() ? serie->items[slot] : nullptr;
                if (!item || !item->visible || !(item->top() <= py && py <= item->bottom()))
                    continue;
                item->selected = !item->selected;
                if (item->selected) {
                    selectedItems.append(item);
                    added.append(item);
                } else {
                    selectedItems.removeOne(item);
                    removed.append(item);
                }
                break;
            }
        }
    }
    selectPackets(added, removed, modifier);
    renderOverlay();
    render(false, true, nullptr);
}

void LineChart::selectPackets(const TList<BinItem*>& added, const TList<BinItem*>& removed,
                              bool modifier)
{
    if (!modifier) {
        clearSelection();
        for (BinItem* item : hoveredItems)
            item->highlighted = false;
        hoveredItems.clear();
        for (BinItem* item : added) {
            item->selected = true;
            selectedItems.append(item);
            for (const QSharedPointer<Packet>& p : item->packets)
                selectedPackets.insert(p);
        }
    } else {
        for (BinItem* item : added)
            for (const QSharedPointer<Packet>& p : item->packets)
                selectedPackets.insert(p);
        for (BinItem* item : removed)
            for (const QSharedPointer<Packet>& p : item->packets)
                selectedPackets.remove(p);
    }
    selectionChanged();
    TList<QSharedPointer<Packet>> all;
    all.items.reserve(std::size_t(selectedPackets.size()));
    for (const QSharedPointer<Packet>& p : selectedPackets)
        all.append(p);
    sendSelection(all, modifier);
}

void LineChart::sendSelection(const TList<QSharedPointer<Packet>>& packets, bool ctrl)
{
    if (!owner)
        return;
    QList<QVariant> args{QStringLiteral("select")};
    if (ctrl)
        args.append(QStringLiteral("ctrl"));
    PacketsEvent event(this, packets, args);
    QCoreApplication::sendEvent(owner, &event);
}

void LineChart::selectRange(bool send)
{
    dragX2 = mouseX;
    dragY2 = mouseY;
    clearSelection();
    TList<QSharedPointer<Packet>> added;
    if (!series.isEmpty()) {
        const QRectF band = QRectF(QPointF(dragX1, dragY1), QPointF(dragX2, dragY2)).normalized();
        for (BinItem* item : series.first()->items) {
            if (!item || item->packets.isEmpty())
                continue;
            if (item->left() >= band.left() && item->right() <= band.right()
                && item->top() >= band.top() && item->bottom() <= band.bottom()) {
                item->selected = true;
                selectedItems.append(item);
                for (const QSharedPointer<Packet>& p : item->packets) {
                    if (!selectedPackets.contains(p)) {
                        selectedPackets.insert(p);
                        added.append(p);
                    }
                }
            }
        }
    }
    selectionChanged();
    if (send)
        sendSelection(added, false);
}

void LineChart::resetDrag()
{
    dragX1 = dragY1 = dragX2 = dragY2 = -1.0;
}

void LineChart::mouseReleaseEvent(QMouseEvent* e)
{
    guarded("selecting bins", [this, e] {
        ImgWidget::mouseReleaseEvent(e);
        if (dragging) {
            timer->stop();
            mouseX = std::round(e->localPos().x());
            mouseY = std::round(e->localPos().y());
            if (rect().contains(e->pos()))
                selectRange(true);
        }
        dragging = false;
        resetDrag();
        render(false, true, nullptr);
    });
}

void LineChart::dragTimeOut()
{
    // The selection has its own message; the timer's stop ends here too.
    HandlerGuard::run([&] {
        timer->stop();
        guarded("selecting bins", [this] {
            selectRange(false);
            render(false, true, nullptr);
        });
    });
}

void LineChart::moveTimeOut()
{
    // The hover shows at once; nothing waits for the pointer to rest.
}

void LineChart::wheelEvent(QWheelEvent* e)
{
    e->accept();
    guarded("zooming its time window", [this, e] {
        const int steps = e->angleDelta().y() / 120;
        const double before = zoom;
        zoom = std::max(0.0, std::min(zoom + steps, MAX_ZOOM));
        if (zoom != before && context) {
            double min = 0.0;
            double max = 0.0;
            fullSpan(&min, &max);
            const double t = zoom / 100.0 * (max - min);
            setRange(min + t, max - t, true);
            if (miniView) {
                RenderEvent event(this, {min + t, max - t});
                QCoreApplication::sendEvent(miniView.data(), &event);
            }
        }
        render(false, true, nullptr);
    });
}

void LineChart::enterEvent(QEvent* e)
{
    dragging = false;
    resetDrag();
    HandlerGuard::run([&] { ImgWidget::enterEvent(e); });
}

void LineChart::leaveEvent(QEvent* e)
{
    const bool dragged = dragging;
    dragging = false;
    resetDrag();
    HandlerGuard::run([&] {
        ImgWidget::leaveEvent(e);
        if (dragged)
            timer->stop();
        hoverTimer->stop();
    });
}

bool LineChart::event(QEvent* e)
{
    if (e->type() == toEventType(RENDEREVENT)) {
        auto* re = static_cast<RenderEvent*>(e);
        if (miniView && re->sender == miniView.data() && re->args.size() >= 2) {
            bool okFrom = false;
            bool okTo = false;
            const double f = re->args.at(0).toDouble(&okFrom);
            const double g = re->args.at(1).toDouble(&okTo);
            if (okFrom && okTo && std::isfinite(f) && std::isfinite(g)) {
                guarded("moving its time window", [this, f, g] {
                    double min = 0.0;
                    double max = 0.0;
                    fullSpan(&min, &max);
                    setRange(min + f * (max - min), min + g * (max - min), true);
                    render(false, true, nullptr);
                });
            }
            e->accept();
            return true;
        }
    } else if (e->type() == toEventType(PACKETSEVENT)) {
        auto* pe = static_cast<PacketsEvent*>(e);
        guarded("showing the selection", [this, pe] {
            restoreSeries();
            // The new set is made before the old one goes.
            QSet<QSharedPointer<Packet>> chosen;
            chosen.reserve(int(pe->events().size()));
            for (const QSharedPointer<Packet>& p : pe->events())
                chosen.insert(p);
            selectedPackets.swap(chosen);
            // A selection of many events is let go of in the background.
            deferredrelease::releaseContents(chosen, std::size_t(chosen.size()));
            for (BinItem* item : selectedItems)
                item->selected = false;
            selectedItems.clear();
            selectionChanged();
            render(false, true, nullptr);
        });
        e->accept();
        return true;
    }
    return ImgWidget::event(e);
}
