#include "views/charts/LineChartMiniView.h"

#include "core/Constants.h"
#include "core/HandlerGuard.h"
#include "core/Saturate.h"
#include "events/EventType.h"
#include "events/RenderEvent.h"
#include "items/Axis.h"
#include "items/AxisPer.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QMutex>
#include <QPainter>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>

namespace {

const QColor RUN_COLOR(0, 0, 255, 40);
const QColor WINDOW_COLOR(150, 150, 150, 40);
const QColor HANDLE_COLOR(190, 190, 190, 255);
constexpr int HANDLE_WIDTH = 5;

QColor withAlpha(QColor c, int alpha)
{
    c.setAlpha(alpha);
    return c;
}

// Two decimals, halves up. The small allowance keeps a value that lies a
// rounding error below a half (0.305 is 30.499999... hundredths) rounding
// up, so that the two ends of a moved window round the same way.
double roundToHundredths(double v)
{
    return std::floor(v * 100.0 + 0.5 + 1e-7) / 100.0;
}

} // namespace

LineChartMiniView::LineChartMiniView(ControlWidget* owner, EventWidget* eventView, LineChart* chart,
                                     QWidget* parent)
    : LineChart(owner, eventView, parent)
    , chart(chart)
{
    dragSelect = false;
    lineTimer = new QTimer(this);
    lineTimer->setInterval(TIMER_INTERVAL);
    connect(lineTimer, &QTimer::timeout, this, &LineChartMiniView::lineTimeOut);
}

void LineChartMiniView::setContext(Context* c, bool clearSelectionToo, bool renderToo)
{
    LineChart::setContext(c, clearSelectionToo, renderToo);
    // The chart shows the whole span after a new context.
    sentFrom = 0.0;
    sentTo = 1.0;
    if (from != sentFrom || to != sentTo)
        lineTimer->start();
}

void LineChartMiniView::lineTimeOut()
{
    // The window's move has its own message; the timer's restart ends here
    // too.
    HandlerGuard::run([&] {
        if (from != sentFrom || to != sentTo) {
            lineTimer->start();
            // The chart recovers from running out of memory itself; the
            // window counts as sent only once the event is made.
            guarded("moving its time window", [this] {
                if (chart) {
                    RenderEvent event(this, {from, to});
                    sentFrom = from;
                    sentTo = to;
                    QCoreApplication::sendEvent(chart, &event);
                } else {
                    sentFrom = from;
                    sentTo = to;
                }
            });
            return;
        }
        if (dragging)
            lineTimer->start();
        else
            lineTimer->stop();
    });
}

void LineChartMiniView::normaliseWindow()
{
    if (!std::isfinite(from))
        from = 0.0;
    if (!std::isfinite(to))
        to = 1.0;
    from = std::max(0.0, std::min(from, 1.0));
    to = std::max(from, std::min(to, 1.0));
    from = roundToHundredths(from);
    to = roundToHundredths(to);
    if (from < 0.01)
        from = 0.0;
    if (to > 0.99)
        to = 1.0;
    if (to - from < MIN_WIDTH - 1e-9) {
        const double centre = (from + to) / 2.0;
        from = roundToHundredths(std::max(0.0, std::min(centre - MIN_WIDTH / 2.0, 1.0 - MIN_WIDTH)));
        to = roundToHundredths(from + MIN_WIDTH);
    }
}

int LineChartMiniView::windowX() const
{
    if (!timeAxis)
        return 0;
    return saturatedInt(timeAxis->width * from + timeAxis->x);
}

int LineChartMiniView::windowWidth() const
{
    if (!timeAxis)
        return MIN_PIXELS;
    return std::max(saturatedInt((to - from) * timeAxis->width), MIN_PIXELS);
}

void LineChartMiniView::layoutItems()
{
    selectionChanged();
    if (!timeAxis)
        return;
    const double length = timeAxis->width;
    const int n = binCount(length);
    const double w = length / n;
    for (int s = 0; s < series.size(); ++s) {
        BinSerie* serie = series[s];
        const BinSerie* previous = s >= 2 ? series[s - 1] : nullptr;
        for (int i = 0; i < serie->items.size(); ++i) {
            BinItem* item = serie->items[i];
            if (!item)
                continue;
            double base = valueAxis ? valueAxis->y : timeAxis->y;
            if (stack && previous && i < previous->items.size() && previous->items[i])
                base = previous->items[i]->y;
            double y = base;
            if (valueAxis)
                y = saturatedInt(saturatedInt(base)
                                 - std::min(valueAxis->width,
                                            valueAxis->position(TVariant(double(item->packets.size())))));
            item->setX(timeAxis->x + saturatedInt(item->auxDouble) * w);
            item->setY(y);
            item->setWidth(1);
            item->setHeight(1);
        }
    }
}

void LineChartMiniView::setSize(int w, int h)
{
    guarded("laying out its series", [this, w, h] {
        ImgWidget::setSize(w, h);
        if (!timeAxis)
            return;
        const int H = h == -1 ? height() : h;
        timeAxis->x = axisWidth + 10;
        timeAxis->y = H;
        if (valueAxis) {
            valueAxis->x = axisWidth + 10;
            valueAxis->y = H;
        }
        const double length = width() - 2 * axisWidth - 10;
        if (length > 0) {
            const double previous = timeAxis->width;
            timeAxis->setSize(length, axisWidth);
            // Series that a failure dropped are built again too.
            if (previous != length || seriesDropped) {
                ChartLock lock(this);
                buildSeries();
            }
        }
        if (valueAxis)
            valueAxis->setSize(H, axisWidth);
        if (length > 0) {
            layoutItems();
            render(false, true, nullptr);
        }
    });
}

bool LineChartMiniView::renderOverlay()
{
    RenderGuard guard(this);
    if (!guard)
        return false;
    overlay.fill(Qt::transparent);
    return true;
}

bool LineChartMiniView::render(bool overlayToo, bool updateToo, QImage* target)
{
    bool drawn = false;
    guarded("drawing its series", [&] { drawn = drawStrip(overlayToo, updateToo, target); });
    return drawn;
}

bool LineChartMiniView::drawStrip(bool overlayToo, bool updateToo, QImage* target)
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
    const int H = img->height();
    if (context && timeAxis) {
        // The series fill writes into the pixels: no copy may share them.
        img->bits();
        QPainter painter(img);
        const double left = timeAxis->x;
        const double length = timeAxis->width;

        // 2.
        QPen frame(LINE_COLOR);
        frame.setWidth(1);
        painter.setPen(frame);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(left, 0, length, H - 1));
        if (updateToo)
            update();

        // 3.
        const double originX = valueAxis ? valueAxis->x : left;
        const double originY = valueAxis ? valueAxis->y : timeAxis->y;
        for (const BinSerie* serie : series) {
            if (serie->items.isEmpty())
                continue;
            QPolygonF outline;
            outline.reserve(serie->items.size() + 2);
            outline.append(QPointF(originX, originY));
            for (const BinItem* item : serie->items)
                if (item && item->visible)
                    outline.append(QPointF(item->left(), item->top()));
            outline.append(QPointF(left + length, timeAxis->y));
            QPen line(withAlpha(serie->color, 255));
            line.setWidth(2);
            fillUnder(&painter, outline, originY, withAlpha(serie->color, 100), &line);
        }

        // 4. Selected runs over the full height; a run that reaches the last
        // slot is filled too.
        if (!series.isEmpty() && !selectedPackets.isEmpty()) {
            const std::vector<bool>& marked = selectedSlots();
            const TList<BinItem*>& items = series.first()->items;
            const int count = items.size();
            const double binWidth = length / binCount(length);
            painter.setPen(Qt::NoPen);
            painter.setBrush(RUN_COLOR);
            int i = 0;
            while (i < count) {
                if (!marked[std::size_t(i)] || !items[i]) {
                    ++i;
                    continue;
                }
                int end = i;
                while (end + 1 < count && marked[std::size_t(end + 1)] && items[end + 1])
                    ++end;
                const double x = items[i]->left();
                const double width = std::max({items[end]->left() - x, binWidth, 2.0});
                painter.drawRect(QRectF(x, 0, width, H));
                i = end + 1;
            }
        }

        // 5. The window.
        normaliseWindow();
        const int x = windowX();
        const int width = windowWidth();
        painter.setPen(Qt::NoPen);
        painter.setBrush(WINDOW_COLOR);
        painter.drawRect(QRect(x, 0, width, H));
        painter.setBrush(HANDLE_COLOR);
        painter.drawRoundedRect(QRectF(x, 0, HANDLE_WIDTH, H), 2, 2);
        painter.drawRoundedRect(QRectF(x + width - HANDLE_WIDTH, 0, HANDLE_WIDTH, H), 2, 2);
        const QPolygonF arrow({QPointF(-2, 0), QPointF(-2, -5), QPointF(2, 0), QPointF(-2, 5)});
        painter.setBrush(Qt::black);
        painter.save();
        painter.translate(x + 2, H / 2);
        painter.rotate(180);
        painter.drawPolygon(arrow);
        painter.restore();
        painter.save();
        painter.translate(x + width - 2, H / 2);
        painter.drawPolygon(arrow);
        painter.restore();
    }
    // 6.
    if (locked)
        imageLock.unlock();
    if (updateToo)
        update();
    if (overlayToo)
        renderOverlay();
    return true;
}

QRectF LineChartMiniView::dataRect()
{
    return QRectF(0, 0, width(), height());
}

QSize LineChartMiniView::sizeHint() const
{
    return QSize(1000, 50);
}

void LineChartMiniView::mousePressEvent(QMouseEvent* e)
{
    guarded("moving its time window", [this, e] {
        ImgWidget::mousePressEvent(e);
        if (!timeAxis)
            return;
        const double left = from * timeAxis->width + timeAxis->x;
        const double right = to * timeAxis->width + timeAxis->x;
        if (left <= pressX && pressX <= right && 0 <= pressY && pressY <= height()) {
            dragging = true;
            lineTimer->start();
        }
    });
}

void LineChartMiniView::mouseMoveEvent(QMouseEvent* e)
{
    guarded("moving its time window", [this, e] {
        ImgWidget::mouseMoveEvent(e);
        if (dragging && timeAxis && timeAxis->width > 0) {
            lineTimer->start();
            const double before = from;
            const double width = to - from;
            from = std::max(0.0, std::min(from + (mouseX - pressX) / timeAxis->width, 1.0 - width));
            to = from + width;
            normaliseWindow();
            // The press point follows the part of the motion that moved the
            // window: motion lost to the rounding to two decimals or held back
            // by an edge counts towards the next move.
            pressX += (from - before) * timeAxis->width;
            pressY = mouseY;
        }
        hoverTimer->start(HOVER_INTERVAL);
        render(false, true, nullptr);
    });
}

void LineChartMiniView::mouseReleaseEvent(QMouseEvent* e)
{
    dragging = false;
    HandlerGuard::run([&] { ImgWidget::mouseReleaseEvent(e); });
}

void LineChartMiniView::wheelEvent(QWheelEvent* e)
{
    e->accept();
    guarded("moving its time window", [this, e] {
        const int steps = e->angleDelta().y() / 120;
        const double before = zoom;
        // At 100 the window would have no width.
        zoom = std::max(0.0, std::min(zoom + steps, 100.0 - MIN_WIDTH * 100.0));
        if (zoom != before) {
            const double z = std::max(minZoom, std::min(zoom / 100.0, maxZoom));
            const double centre = from + (to - from) / 2.0;
            // The window is 1 - z wide about its centre; at an edge it moves
            // inwards rather than losing width, so that zooming out all the way
            // gives the whole span again.
            const double width = std::max(MIN_WIDTH, 1.0 - z);
            from = std::max(0.0, std::min(centre - width / 2.0, 1.0 - width));
            to = from + width;
            lineTimer->start();
        }
        render(false, true, nullptr);
    });
}

void LineChartMiniView::enterEvent(QEvent* e)
{
    dragging = false;
    dragX1 = dragY1 = dragX2 = dragY2 = -1.0;
    HandlerGuard::run([&] { ImgWidget::enterEvent(e); });
}

void LineChartMiniView::leaveEvent(QEvent* e)
{
    dragging = false;
    dragX1 = dragY1 = dragX2 = dragY2 = -1.0;
    HandlerGuard::run([&] {
        ImgWidget::leaveEvent(e);
        hoverTimer->stop();
    });
}

bool LineChartMiniView::event(QEvent* e)
{
    if (e->type() == toEventType(RENDEREVENT)) {
        auto* re = static_cast<RenderEvent*>(e);
        if (re->sender && re->sender == chart.data() && re->args.size() >= 2) {
            bool okA = false;
            bool okB = false;
            const double a = re->args.at(0).toDouble(&okA);
            const double b = re->args.at(1).toDouble(&okB);
            guarded("moving its time window", [&] {
                double min = 0.0;
                double max = 0.0;
                fullSpan(&min, &max);
                // A span of one instant gives no fractions: the window stays.
                if (okA && okB && max > min && std::isfinite(a) && std::isfinite(b)) {
                    to = (b - min) / (max - min);
                    from = (a - min) / (max - min);
                    normaliseWindow();
                    // The wheel continues from the window's width.
                    zoom = (1.0 - (to - from)) * 100.0;
                    sentFrom = from;
                    sentTo = to;
                    render(false, true, nullptr);
                }
            });
        }
    }
    return LineChart::event(e);
}
