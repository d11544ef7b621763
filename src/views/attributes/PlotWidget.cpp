#include "views/attributes/PlotWidget.h"

#include "core/DisplayText.h"
#include "core/HandlerGuard.h"
#include "core/Packet.h"
#include "core/TVariant.h"
#include "items/Axis.h"
#include "items/BinAxis.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/attributes/OutOfMemory.h"

#include <QDebug>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

PlotWidget::PlotWidget(const QString& attribute, ControlWidget* control, QWidget* parent)
    : IPlotWidget(control, parent)
    , attribute(attribute)
{
    maxBins = 15;
    connect(hoverTimer, &QTimer::timeout, this, &PlotWidget::moveTimeOut);
}

QSize PlotWidget::sizeHint() const
{
    return QSize(200, 200);
}

TVariant PlotWidget::barValue(const BinItem* bar) const
{
    // The label is made of the value of the last event counted into the bar.
    if (!bar || bar->packets.isEmpty() || !bar->packets.last())
        return TVariant();
    return bar->packets.last()->get(column());
}

int PlotWidget::binCount() const
{
    if (!xAxis)
        return maxBins;
    if (auto* bins = dynamic_cast<const BinAxis*>(xAxis))
        return bins->count();
    return 20;
}

int PlotWidget::column() const
{
    if (!glyphStore)
        return -1;
    auto it = glyphStore->attributeColumns.constFind(attribute);
    if (it == glyphStore->attributeColumns.constEnd()) {
        qDebug().noquote() << "no column for" << attribute;
        return -1;
    }
    return it.value();
}

bool PlotWidget::dropHovered()
{
    bool changed = false;
    const int mx = IAxis::clampToInt(mouseX);
    const int my = IAxis::clampToInt(mouseY);
    for (int i = hoveredBins.size() - 1; i >= 0; --i) {
        BinItem* bin = hoveredBins.items[std::size_t(i)];
        if (!bin->contains(mx, my)) {
            bin->highlighted = false;
            hoveredBins.items.erase(hoveredBins.items.begin() + i);
            changed = true;
        }
    }
    return changed;
}

// ---------------------------------------------------------------------------
// Data

void PlotWidget::refreshData(Context* c, bool clearSets, bool relayout)
{
    // The axes and the bars are made aside and take the place of the old
    // ones together: out of memory, the plot shows what it showed.
    std::unique_ptr<Axis> y(c ? makeYAxis() : nullptr);
    std::unique_ptr<IAxis> x((c && glyphStore) ? makeXAxis(c) : nullptr);
    IAxis* xShown = x ? x.get() : xAxis;
    Axis* yShown = y ? y.get() : yAxis;
    std::unique_ptr<BinSerie> bars;
    TList<BinItem*> hovered;
    TList<BinItem*> picked;
    double largest = 0.0;
    if (xShown && yShown) {
        const QSet<QSharedPointer<Packet>> none;
        bars = makeBars(c, xShown, clearSets ? none : pickedPackets, clearSets ? none : highlightedPackets);
        for (BinItem* bar : bars->items.items) {
            bar->auxDouble = bar->packets.size();
            largest = std::max(largest, bar->auxDouble);
            if (bar->highlighted && !hovered.contains(bar))
                hovered.append(bar);
            if (bar->selected && !picked.contains(bar))
                picked.append(bar);
        }
        series.items.reserve(1);
    }

    if (!c)
        qDebug("no selection ;(");
    context = c;
    mouseX = -1.0;
    mouseY = -1.0;
    if (clearSets) {
        pickedPackets.clear();
        highlightedPackets.clear();
    }
    dropHovered();
    if (y) {
        delete yAxis;
        yAxis = y.release();
    }
    if (x) {
        delete xAxis;
        xAxis = x.release();
    }
    const bool built = bars != nullptr;
    if (built) {
        clearSeries();
        series.append(bars.release());
        std::swap(hoveredBins.items, hovered.items);
        std::swap(pickedBins.items, picked.items);
        series.first()->second = largest;
    }
    try {
        if (built) {
            yAxis->setRange(0.0, largest);
            layoutPlot();
            render(true, true, nullptr);
        }
        if (relayout)
            setSize(-1, -1);
    } catch (...) {
        // The new bars could not be drawn: the plot shows none rather than
        // bars out of place.
        hoveredBins.clear();
        pickedBins.clear();
        clearSeries();
        throw;
    }
}

std::unique_ptr<Axis> PlotWidget::makeYAxis() const
{
    return std::unique_ptr<Axis>(
        new Axis(pos(), width(), axisSpace, QStringLiteral("#Count"), -1, 0.0, 1.0, true));
}

std::unique_ptr<IAxis> PlotWidget::makeXAxis(Context* c) const
{
    if (glyphStore->isRangeAttribute(attribute)) {
        std::unique_ptr<Axis> axis(new Axis(pos(), width(), axisSpace, attribute, column(),
                                            glyphStore->minValue(attribute, c),
                                            glyphStore->maxValue(attribute, c), false));
        axis->logScale = false;
        return axis;
    }
    const int n = binCount();
    const TList<TVariant> values = glyphStore->firstValues(attribute, n, c);
    return std::unique_ptr<IAxis>(new BinAxis(pos(), width(), axisSpace, attribute, values,
                                              glyphStore->attributeMap(false), false, values.size() > n, false));
}

std::unique_ptr<BinSerie> PlotWidget::makeBars(Context* c, const IAxis* x, const QSet<QSharedPointer<Packet>>& picked,
                                               const QSet<QSharedPointer<Packet>>& highlighted) const
{
    const int col = column();
    std::unique_ptr<BinSerie> serie(new BinSerie(nullptr));
    const auto* bins = dynamic_cast<const BinAxis*>(x);
    const int n = std::max(0, bins ? bins->count() : 20);
    serie->items.items.reserve(std::size_t(n));
    for (int i = 0; i < n; ++i) {
        std::unique_ptr<BinItem> bar(new BinItem(serie.get(), nullptr));
        serie->items.append(bar.get());
        bar.release();
    }

    if (c && n > 0) {
        auto* range = dynamic_cast<const Axis*>(x);
        const double length = x->width;
        const bool anyPicked = !picked.isEmpty();
        const bool anyHighlighted = !highlighted.isEmpty();
        // The label of a bar is the text of the last value counted into it.
        std::vector<const TVariant*> lastValue(std::size_t(n), nullptr);
        for (const QSharedPointer<Packet>& event : c->packets.items) {
            const TVariant& value = event->get(col);
            if (!value.isValid())
                continue;
            int index;
            if (range) {
                index = 0;
                if (length > 0)
                    index = IAxis::clampToInt(
                        std::trunc(range->binIndex(value) / length * double(n - 1)));
            } else {
                index = x->binIndex(value);
            }
            if (index < 0 || index >= n)
                continue;
            BinItem* bar = serie->items.items[std::size_t(index)];
            lastValue[std::size_t(index)] = &value;
            bar->packets.append(event);
            ++bar->totalCount;
            if (anyPicked && picked.contains(event)) {
                ++bar->selectedCount;
                bar->selected = true;
            } else if (anyHighlighted && highlighted.contains(event)) {
                ++bar->auxValue;
                bar->highlighted = true;
            }
        }
        for (int i = 0; i < n; ++i) {
            if (lastValue[std::size_t(i)])
                serie->items.items[std::size_t(i)]->label = DisplayText::of(*lastValue[std::size_t(i)]);
        }
    }
    return serie;
}

// ---------------------------------------------------------------------------
// Layout and drawing

void PlotWidget::layoutPlot()
{
    if (!xAxis || !yAxis)
        return;
    const int n = binCount();
    // No bins, no bars: nothing to divide the axis by.
    if (n <= 0)
        return;
    const int L = IAxis::clampToInt(std::trunc(xAxis->width));
    const double q = double(L) / n;
    const int slot = q <= 5.0 ? 5 : IAxis::clampToInt(std::ceil(q));
    int gap = std::max(8, IAxis::clampToInt(std::trunc(double(L - std::min(slot, 100) * n) / n)));
    // A bar keeps at least one pixel of its slot.
    gap = std::min(gap, slot - 1);
    const int barWidth = slot - gap;

    // The bars' heights are the count axis's offsets on the chosen scale:
    // the axis itself measures them, so that a layout allocates nothing.
    struct Scale
    {
        Axis& axis;
        const bool was;
        ~Scale() { axis.logScale = was; }
    } scale{*yAxis, yAxis->logScale};
    yAxis->logScale = logarithmic;
    const Axis& heights = *yAxis;

    for (BinSerie* serie : series.items) {
        const int count = serie->items.size();
        for (int i = 0; i < count; ++i) {
            BinItem* bar = serie->items.items[std::size_t(i)];
            const int events = bar->packets.size();
            const int height =
                events > 0 ? std::max(3, heights.binIndex(TVariant(events))) : 1;
            bar->setWidth(barWidth);
            bar->setHeight(height);
            bar->setX(IAxis::clampToInt(std::trunc(double(i) * slot + xAxis->x)) + gap / 2);
            bar->setY(IAxis::clampToInt(std::trunc(yAxis->y - height - 1)));
        }
    }
}

void PlotWidget::drawSerie(BinSerie* serie, QPainter* painter, QPen pen, QBrush brush)
{
    if (!serie)
        return;
    brush = QBrush(BAR_COLOR, Qt::SolidPattern);
    for (const BinItem* bar : serie->items.items) {
        if (!bar->visible)
            continue;
        if (bar->highlighted || bar->selected) {
            pen = QPen(bar->highlighted ? HIGHLIGHT_COLOR : PICK_COLOR, 2, Qt::SolidLine);
            painter->setPen(pen);
        } else {
            painter->setPen(Qt::NoPen);
        }
        painter->setBrush(brush);
        painter->drawRect(QRectF(bar->left(), bar->top(), bar->width(), bar->height()));
    }
}

// ---------------------------------------------------------------------------
// Slots and handlers

void PlotWidget::setLogarithm(bool on)
{
    logarithmic = on;
    layoutPlot();
    render(true, true, nullptr);
}

void PlotWidget::moveTimeOut()
{
    HandlerGuard::run([&] {
        hoverTimer->stop();
        emit hoveredItem(hoveredBins.isEmpty() ? nullptr : hoveredBins.first());
    });
}

void PlotWidget::mouseMoveEvent(QMouseEvent* event)
{
    // The hover has its own message; the rest ends here too.
    HandlerGuard::run([&] {
        try {
            hover(event);
        } catch (const std::bad_alloc&) {
            // Out of memory: no bar is hovered (which needs none).
            for (BinItem* bar : hoveredBins.items)
                bar->highlighted = false;
            hoveredBins.clear();
            highlightedPackets.clear();
            tellOutOfMemory(this, QStringLiteral("Failed to highlight events"), "The histogram",
                            QStringLiteral("highlighting the events of a bar"),
                            QStringLiteral("shows none highlighted."));
            update();
        }
    });
}

void PlotWidget::hover(QMouseEvent* event)
{
    ImgWidget::mouseMoveEvent(event);
    const bool dropped = dropHovered();
    // Resting on the hovered bar changes nothing.
    if (!dropped && !hoveredBins.isEmpty())
        return;
    if (dropped)
        QToolTip::hideText();
    const int mx = IAxis::clampToInt(mouseX);
    const int my = IAxis::clampToInt(mouseY);
    bool entered = false;
    for (BinSerie* serie : series.items) {
        for (BinItem* bar : serie->items.items) {
            if (!bar->visible || !bar->contains(mx, my))
                continue;
            bar->highlighted = true;
            hoveredBins.append(bar);
            const int count = bar->packets.size();
            const int total = (glyphStore && context) ? glyphStore->valueTotal(context, attribute) : 0;
            const double percent = total > 0 ? roundTo(double(count) / total * 100.0, 2) : 0.0;
            QToolTip::showText(event->globalPos(),
                               QStringLiteral("value: ") + bar->label
                                   + QStringLiteral("\n Frequency: ") + QString::number(count)
                                   + QStringLiteral("/") + QString::number(total)
                                   + QStringLiteral(" (") + QString::number(percent, 'g', 6)
                                   + QStringLiteral("%)"),
                               this);
            entered = true;
            break;
        }
        if (entered)
            break;
    }
    if (!dropped && !entered)
        return;
    hoverTimer->start(HOVER_INTERVAL);
    highlightedPackets.clear();
    for (const BinItem* bar : hoveredBins.items) {
        for (const QSharedPointer<Packet>& p : bar->packets.items)
            highlightedPackets.insert(p);
    }
    render(true, true, nullptr);
}

void PlotWidget::mousePressEvent(QMouseEvent* event)
{
    HandlerGuard::run([&] {
        try {
            pick(event);
        } catch (const std::bad_alloc&) {
            // Out of memory: no bar is picked (which needs none).
            for (BinItem* bar : pickedBins.items)
                bar->selected = false;
            pickedBins.clear();
            pickedPackets.clear();
            tellOutOfMemory(this, QStringLiteral("Failed to select events"), "The histogram",
                            QStringLiteral("picking the events of a bar"), QStringLiteral("shows none picked."));
            update();
        }
    });
}

void PlotWidget::pick(QMouseEvent* event)
{
    ImgWidget::mousePressEvent(event);
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const bool right = event->button() == Qt::RightButton;
    const int px = IAxis::clampToInt(pressX);
    const int py = IAxis::clampToInt(pressY);
    if (!ctrl) {
        for (int i = pickedBins.size() - 1; i >= 0; --i) {
            BinItem* bar = pickedBins.items[std::size_t(i)];
            if (!bar->contains(px, py)) {
                bar->selected = false;
                pickedBins.items.erase(pickedBins.items.begin() + i);
            }
        }
    }
    BinItem* added = nullptr;
    BinItem* removed = nullptr;
    if (!right) {
        for (BinSerie* serie : series.items) {
            for (BinItem* bar : serie->items.items) {
                if (!bar->visible || !bar->contains(px, py))
                    continue;
                bar->selected = !bar->selected;
                if (bar->selected) {
                    if (!pickedBins.contains(bar))
                        pickedBins.append(bar);
                    added = bar;
                } else {
                    pickedBins.removeOne(bar);
                    removed = bar;
                }
                break;
            }
            if (added || removed)
                break;
        }
    }
    if (!ctrl) {
        pickedPackets.clear();
        for (BinSerie* serie : series.items) {
            for (const BinItem* bar : serie->items.items) {
                if (!bar->selected)
                    continue;
                for (const QSharedPointer<Packet>& p : bar->packets.items)
                    pickedPackets.insert(p);
            }
        }
    } else {
        if (added) {
            for (const QSharedPointer<Packet>& p : added->packets.items)
                pickedPackets.insert(p);
        }
        if (removed) {
            for (const QSharedPointer<Packet>& p : removed->packets.items)
                pickedPackets.remove(p);
        }
    }
    highlightedPackets.clear();
    // The outlines of picked bars belong to the content.
    render(true, true, nullptr);
}

void PlotWidget::resizeEvent(QResizeEvent* event)
{
    HandlerGuard::run([&] { ImgWidget::resizeEvent(event); });
}

void PlotWidget::paintEvent(QPaintEvent* event)
{
    ImgWidget::paintEvent(event);
}

void PlotWidget::mouseReleaseEvent(QMouseEvent* event)
{
    HandlerGuard::run([&] { ImgWidget::mouseReleaseEvent(event); });
}

void PlotWidget::wheelEvent(QWheelEvent* event)
{
    HandlerGuard::run([&] { ImgWidget::wheelEvent(event); });
}

void PlotWidget::enterEvent(QEvent* event)
{
    HandlerGuard::run([&] { ImgWidget::enterEvent(event); });
}

void PlotWidget::leaveEvent(QEvent* event)
{
    HandlerGuard::run([&] {
        ImgWidget::leaveEvent(event);
        // A bar left through the widget's edge is no longer hovered: the
        // hover timer then reports that nothing is.
        if (dropHovered()) {
            QToolTip::hideText();
            highlightedPackets.clear();
            hoverTimer->start(HOVER_INTERVAL);
            render(true, true, nullptr);
        }
    });
}
