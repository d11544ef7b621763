#include "items/ImgWidget.h"

#include "core/HandlerGuard.h"

#include <QMouseEvent>
#include <QMutex>
#include <QPainter>
#include <QResizeEvent>
#include <QTimer>

#include <algorithm>
#include <cmath>

ImgWidget::ImgWidget(ControlWidget* owner, QWidget* parent)
    : QWidget(parent), IWidget(owner)
{
    setMouseTracking(true);
    timer = new QTimer(this);
    hoverTimer = new QTimer(this);
    // A hover is reported once after the mouse comes to rest.
    hoverTimer->setSingleShot(true);
    image = QImage(size(), QImage::Format_ARGB32);
    overlay = QImage(size(), QImage::Format_ARGB32);
    background = Qt::white;
    image.fill(background);
    overlay.fill(Qt::transparent);
    imageMutex = new QMutex;
    parentWidget = parent;
}

ImgWidget::~ImgWidget()
{
    delete imageMutex;
}

void ImgWidget::reset()
{
    IWidget::reset();
}

void ImgWidget::clearImages()
{
    image.fill(background);
    overlay.fill(Qt::transparent);
}

void ImgWidget::resizeWidget(int w, int h)
{
    QWidget::resize(w, h);
    setSize(w, h);
}

void ImgWidget::setSize(int w, int h)
{
    const int iw = std::max(w == -1 ? width() : w, 1);
    const int ih = std::max(h == -1 ? height() : h, 1);
    // An image of the size wanted is cleared rather than made anew: a
    // large image made anew is memory the system hands out afresh.
    for (QImage* target : {&image, &overlay})
        if (target->width() != iw || target->height() != ih || target->format() != QImage::Format_ARGB32)
            *target = QImage(iw, ih, QImage::Format_ARGB32);
    clearImages();
}

QRectF ImgWidget::dataRect()
{
    return QRectF(0, 0, width(), height());
}

QSize ImgWidget::sizeHint() const
{
    return QWidget::sizeHint();
}

// The handlers below end their own running out of memory (HandlerGuard). A
// view that calls them from its override goes on after such a failure:
// they keep no data but the positions, which they take before anything
// that allocates.

void ImgWidget::keyPressEvent(QKeyEvent* e)
{
    HandlerGuard::run([&] { QWidget::keyPressEvent(e); });
}

void ImgWidget::paintEvent(QPaintEvent* e)
{
    HandlerGuard::paint(this, [&] {
        QWidget::paintEvent(e);
        drawImages();
    });
}

void ImgWidget::drawImages()
{
    QPainter painter(this);
    painter.drawImage(0, 0, image);
    painter.drawImage(0, 0, overlay);
}

void ImgWidget::mouseMoveEvent(QMouseEvent* e)
{
    // The position is taken first: it needs no memory, and a view that
    // goes on from here reads it.
    mouseX = std::round(e->localPos().x());
    mouseY = std::round(e->localPos().y());
    HandlerGuard::run([&] {
        QWidget::mouseMoveEvent(e);
        setFocus();
        hoverTimer->stop();
        hoverTimer->start(HOVER_INTERVAL);
    });
}

void ImgWidget::mousePressEvent(QMouseEvent* e)
{
    pressX = std::round(e->localPos().x());
    pressY = std::round(e->localPos().y());
    HandlerGuard::run([&] { QWidget::mousePressEvent(e); });
}

void ImgWidget::wheelEvent(QWheelEvent* e)
{
    HandlerGuard::run([&] { QWidget::wheelEvent(e); });
}

void ImgWidget::mouseReleaseEvent(QMouseEvent* e)
{
    HandlerGuard::run([&] { QWidget::mouseReleaseEvent(e); });
}

void ImgWidget::resizeEvent(QResizeEvent* e)
{
    HandlerGuard::run([&] {
        QWidget::resizeEvent(e);
        setSize(e->size().width(), e->size().height());
    });
}

void ImgWidget::enterEvent(QEvent* e)
{
    HandlerGuard::run([&] { QWidget::enterEvent(e); });
}

void ImgWidget::leaveEvent(QEvent* e)
{
    mouseX = -1.0;
    mouseY = -1.0;
    HandlerGuard::run([&] { QWidget::leaveEvent(e); });
}

bool ImgWidget::tryLockFor(QImage* img)
{
    if (!imageMutex->tryLock(1))
        return false;
    if (img && img->paintingActive()) {
        imageMutex->unlock();
        return false;
    }
    return true;
}

bool ImgWidget::beginRender(QImage* img, bool overlayToo, bool update)
{
    if (tryLockFor(img))
        return true;
    // Only a render into the view's own image can be repeated later: a
    // foreign target may be gone by then.
    if (!img || img == &image)
        scheduleRetry(true, overlayToo, update);
    return false;
}

bool ImgWidget::beginRenderOverlay()
{
    if (tryLockFor(&overlay))
        return true;
    scheduleRetry(false, true, true);
    return false;
}

void ImgWidget::endRender()
{
    imageMutex->unlock();
}

void ImgWidget::scheduleRetry(bool content, bool overlayToo, bool update)
{
    retryContent = retryContent || content;
    retryOverlay = retryOverlay || overlayToo;
    retryUpdate = retryUpdate || update;
    if (retryPending)
        return;
    // Marked once the timer is set: a timer that finds no memory leaves no
    // retry pending that none will run.
    QTimer::singleShot(RENDER_RETRY_INTERVAL, this, &ImgWidget::retryRender);
    retryPending = true;
}

void ImgWidget::retryRender()
{
    const bool content = retryContent;
    const bool overlayToo = retryOverlay;
    const bool update = retryUpdate;
    retryPending = retryContent = retryOverlay = retryUpdate = false;
    // A timer's call: a render that runs out of memory ends here, and the
    // view shows what the last render left until the next one.
    HandlerGuard::run([&] {
        if (content) {
            render(overlayToo, update, nullptr);
        } else if (overlayToo) {
            renderOverlay();
            QWidget::update();
        }
    });
}

ImgWidget::RenderGuard::RenderGuard(ImgWidget* widget, QImage* img, bool overlay, bool update)
    : widget(widget), locked(widget->beginRender(img, overlay, update))
{
}

ImgWidget::RenderGuard::RenderGuard(ImgWidget* widget)
    : widget(widget), locked(widget->beginRenderOverlay())
{
}

void ImgWidget::RenderGuard::release()
{
    if (locked) {
        locked = false;
        widget->endRender();
    }
}
