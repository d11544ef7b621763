#include "items/ScreenPlacement.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace {

// The frame of a window that is not shown yet is unknown: once it shows,
// the window is fitted onto its screen again, frame and all.
class FitWhenShown : public QObject
{
public:
    FitWhenShown(QWidget* window, const QPoint& pointer) : QObject(window), pointer(pointer) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && watched == parent()) {
            auto* window = static_cast<QWidget*>(watched);
            const QRect frame = window->frameGeometry();
            const QRect fitted = ScreenPlacement::fitInto(frame, ScreenPlacement::availableGeometryAt(pointer));
            if (fitted.topLeft() != frame.topLeft())
                window->move(fitted.topLeft());
            window->removeEventFilter(this);
            deleteLater();
        }
        return false;
    }

private:
    QPoint pointer;
};

} // namespace

QRect ScreenPlacement::availableGeometryAt(const QPoint& global)
{
    QScreen* screen = QGuiApplication::screenAt(global);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

QRect ScreenPlacement::fitInto(const QRect& rect, const QRect& area)
{
    if (area.isEmpty())
        return rect;
    QRect fitted = rect;
    if (fitted.right() > area.right())
        fitted.moveRight(area.right());
    if (fitted.bottom() > area.bottom())
        fitted.moveBottom(area.bottom());
    if (fitted.left() < area.left())
        fitted.moveLeft(area.left());
    if (fitted.top() < area.top())
        fitted.moveTop(area.top());
    return fitted;
}

QRect ScreenPlacement::besidePointer(const QPoint& pointer, const QSize& size, const QRect& area, int gap)
{
    const int w = std::max(size.width(), 1);
    const int h = std::max(size.height(), 1);
    const QRect preferred(pointer + QPoint(gap, gap), QSize(w, h));
    if (area.isEmpty())
        return preferred;
    // A pointer off the area (on a task bar, say) lies outside whatever the
    // area holds.
    if (!area.contains(pointer))
        return fitInto(QRect(preferred.topLeft(), size.boundedTo(area.size()).expandedTo(QSize(1, 1))), area);

    // The room on each side of the pointer once the gap is left free.
    const int right = std::max(0, area.right() - (pointer.x() + gap) + 1);
    const int left = std::max(0, pointer.x() - gap - area.left());
    const int below = std::max(0, area.bottom() - (pointer.y() + gap) + 1);
    const int above = std::max(0, pointer.y() - gap - area.top());
    const auto sideX = [&](int width) { return width <= right ? pointer.x() + gap : pointer.x() - gap - width; };
    const auto sideY = [&](int height) { return height <= below ? pointer.y() + gap : pointer.y() - gap - height; };
    const bool fitsAcross = w <= right || w <= left;
    const bool fitsUpDown = h <= below || h <= above;

    if (fitsAcross && fitsUpDown)
        return QRect(sideX(w), sideY(h), w, h);
    // Right or left of the pointer, the whole column of x values free of
    // it: the popup may slide up along the screen's bottom edge.
    if (fitsAcross)
        return fitInto(QRect(sideX(w), pointer.y() + gap, w, std::min(h, area.height())), area);
    if (fitsUpDown)
        return fitInto(QRect(pointer.x() + gap, sideY(h), std::min(w, area.width()), h), area);

    // Too large for every side: cut to the larger room.
    const int across = std::max(right, left);
    const int upDown = std::max(below, above);
    const qint64 acrossArea = qint64(across) * std::min(h, area.height());
    const qint64 upDownArea = qint64(upDown) * std::min(w, area.width());
    if (across > 0 && acrossArea >= upDownArea)
        return fitInto(QRect(sideX(across), pointer.y() + gap, across, std::min(h, area.height())), area);
    if (upDown > 0)
        return fitInto(QRect(pointer.x() + gap, sideY(upDown), std::min(w, area.width()), upDown), area);
    // An area hardly larger than the gap around the pointer.
    return fitInto(QRect(preferred.topLeft(), QSize(1, 1)), area);
}

void ScreenPlacement::moveOnScreen(QWidget* window, const QPoint& topLeft, const QPoint& pointer)
{
    if (!window)
        return;
    // A top-level window is moved by its frame, which is known once shown.
    const QSize outer = window->isVisible() ? window->frameGeometry().size() : window->size();
    window->move(fitInto(QRect(topLeft, outer), availableGeometryAt(pointer)).topLeft());
    if (!window->isVisible() && !window->windowFlags().testFlag(Qt::FramelessWindowHint))
        window->installEventFilter(new FitWhenShown(window, pointer));
}

void ScreenPlacement::moveOnScreen(QWidget* window, const QPoint& topLeft)
{
    moveOnScreen(window, topLeft, QCursor::pos());
}

void ScreenPlacement::placeBesidePointer(QWidget* window, const QPoint& pointer)
{
    if (!window)
        return;
    const QRect place = besidePointer(pointer, window->size(), availableGeometryAt(pointer));
    if (place.size() != window->size())
        window->resize(place.size());
    window->move(place.topLeft());
}

void ScreenPlacement::centreOver(QWidget* window, const QWidget* other)
{
    if (!window || !other || !other->window()->isVisible())
        return;
    const QRect over = other->window()->frameGeometry();
    const QSize size = window->isVisible() ? window->frameGeometry().size() : window->size();
    const QPoint topLeft(over.x() + (over.width() - size.width()) / 2,
                         over.y() + (over.height() - size.height()) / 2);
    moveOnScreen(window, topLeft, over.center());
}
