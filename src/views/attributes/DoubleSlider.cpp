#include "views/attributes/DoubleSlider.h"

#include "core/HandlerGuard.h"
#include "items/GraphicsItem.h"
#include "views/attributes/GuiThreadCheck.h"
#include "views/attributes/Indicator.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// A pointer coordinate on the nearest whole pixel, halves upward.
int roundedPixel(double v)
{
    return int(std::floor(v + 0.5));
}

} // namespace

DoubleSlider::DoubleSlider(QWidget* parent)
    : QWidget(parent)
    , fromHandle(nullptr)
    , toHandle(nullptr)
    , bar(nullptr)
    , moveTimer(new QTimer(this))
{
    // Owned here until the slider is complete: a constructor that runs out
    // of memory leaves nothing behind.
    std::unique_ptr<Indicator> from(new Indicator);
    std::unique_ptr<Indicator> to(new Indicator);
    std::unique_ptr<GraphicsItem> line(new GraphicsItem(QPointF(0, 0), 5, 5));
    fromHandle = from.get();
    toHandle = to.get();
    bar = line.get();
    moveTimer->setInterval(500);
    moveTimer->setSingleShot(false);
    connect(moveTimer, &QTimer::timeout, this, &DoubleSlider::moveTimeOut);
    setMouseTracking(true);
    setMinimumHeight(10);
    from.release();
    to.release();
    line.release();
}

DoubleSlider::~DoubleSlider()
{
    delete fromHandle;
    delete toHandle;
    delete bar;
}

QSize DoubleSlider::sizeHint() const
{
    return QSize(80, 8);
}

void DoubleSlider::setFromValue(double v, bool relayout)
{
    LUMIVANE_GUI_THREAD_ONLY();
    from = std::max(0.0, std::min(v, to - step));
    if (relayout)
        updateLayout();
}

void DoubleSlider::setToValue(double v, bool relayout)
{
    LUMIVANE_GUI_THREAD_ONLY();
    to = std::min(1.0, std::max(v, from + step));
    if (relayout)
        updateLayout();
}

void DoubleSlider::changeFromToValue(double f, double t)
{
    LUMIVANE_GUI_THREAD_ONLY();
    // Also the end of a call queued by a histogram's job: nothing gets out
    // into the event loop. The range is set before anything that allocates.
    HandlerGuard::run([&] {
        from = std::max(0.0, std::min(f, to - step));
        to = std::min(1.0, std::max(from + step, t));
        updateLayout();
        update();
    });
}

void DoubleSlider::updateLayout()
{
    LUMIVANE_GUI_THREAD_ONLY();
    const int w = width();
    const int h = height();
    double s;
    double e;
    if (h < 20) {
        s = h;
        e = 0.3 * h;
    } else {
        s = 20;
        e = 6;
    }
    const double track = (w - 1) - 2 * margin - 4;
    const double x0 = margin + 5;
    const double span = maximum - minimum;
    const double xf = x0 + track * (span != 0.0 ? (from - minimum) / span : 0.0);
    const double xt = x0 + track * (span != 0.0 ? (to - minimum) / span : 0.0);

    fromHandle->setPos(QPointF(xf, e));
    fromHandle->setWidth(s);
    fromHandle->setHeight(s);
    toHandle->setPos(QPointF(xt, e));
    toHandle->setWidth(s);
    toHandle->setHeight(s);
    bar->setPos(QPointF(xf, 0));
    bar->setWidth((to - from) * track);
    bar->setHeight(e);
}

bool DoubleSlider::hitsFrom(int px, int py) const
{
    return fromHandle->left() - 5 <= px && px <= fromHandle->right() + 5
           && fromHandle->top() - 5 <= py && py <= fromHandle->bottom() + 5;
}

bool DoubleSlider::hitsTo(int px, int py) const
{
    return toHandle->contains(px, py);
}

void DoubleSlider::dragTo(QMouseEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    const int w = width();
    double v = w > 0 ? double(roundedPixel(event->localPos().x())) / w : 0.0;
    v = std::max(0.0, std::min(v, 1.0));
    if (fromHandle->selected)
        setFromValue(v, false);
    if (toHandle->selected)
        setToValue(v, false);
    updateLayout();
    repaint();
}

void DoubleSlider::moveTimeOut()
{
    if (!dragging)
        return;
    HandlerGuard::run([&] {
        // Stopped first: the histogram's answer to the range may take long,
        // and a failure in it leaves no timer to report the range again.
        moveTimer->stop();
        emit dragMove(from, to);
    });
}

void DoubleSlider::mousePressEvent(QMouseEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::run([&] {
        QWidget::mousePressEvent(event);
        const int px = roundedPixel(event->localPos().x());
        const int py = roundedPixel(event->localPos().y());
        const bool fromHit = hitsFrom(px, py);
        const bool toHit = hitsTo(px, py);
        const bool changed = fromHit != fromHandle->selected || toHit != toHandle->selected;
        fromHandle->selected = fromHit;
        toHandle->selected = toHit;
        if (changed)
            update();
    });
}

void DoubleSlider::mouseMoveEvent(QMouseEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::run([&] {
        QWidget::mouseMoveEvent(event);
        if (moveTimer->isActive())
            moveTimer->stop();
        const int px = roundedPixel(event->localPos().x());
        const int py = roundedPixel(event->localPos().y());
        const bool fromHover = hitsFrom(px, py);
        const bool toHover = hitsTo(px, py);
        const bool changed = fromHover != fromHandle->highlighted || toHover != toHandle->highlighted;
        fromHandle->highlighted = fromHover;
        toHandle->highlighted = toHover;
        if (!dragging && (event->buttons() & Qt::LeftButton))
            dragging = true;
        if (dragging) {
            moveTimer->start(500);
            dragTo(event);
        }
        if (changed)
            update();
    });
}

void DoubleSlider::mouseReleaseEvent(QMouseEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::run([&] {
        // The drag ends whatever its report meets.
        const bool dragged = dragging;
        dragging = false;
        QWidget::mouseReleaseEvent(event);
        if (dragged) {
            fromHandle->selected = false;
            toHandle->selected = false;
            bar->selected = false;
            emit dragMove(from, to);
            emit dragTimeOut(from, to);
        }
    });
}

void DoubleSlider::leaveEvent(QEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::run([&] {
        QWidget::leaveEvent(event);
        fromHandle->highlighted = false;
        toHandle->highlighted = false;
        bar->highlighted = false;
        update();
    });
}

void DoubleSlider::paintEvent(QPaintEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::paint(this, [&] {
        QWidget::paintEvent(event);
        QPainter painter(this);
        painter.fillRect(QRectF(bar->x, bar->y, bar->width(), bar->height()), QColor(177, 189, 197));
        for (Indicator* handle : {fromHandle, toHandle}) {
            painter.save();
            painter.translate(handle->x, handle->y);
            painter.scale(handle->width(), handle->height());
            QPen pen;
            QBrush brush;
            handle->paint(&painter, pen, brush);
            painter.restore();
        }
    });
}

void DoubleSlider::resizeEvent(QResizeEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::run([&] {
        QWidget::resizeEvent(event);
        updateLayout();
    });
}
