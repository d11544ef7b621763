#include "views/events/EventWidget.h"

#include "events/ContextEvent.h"
#include "app/ControlWidget.h"
#include "events/EventType.h"
#include "events/FocusEvent.h"
#include "core/Packet.h"

#include <QCoreApplication>
#include <QPainter>

EventWidget::EventWidget(ControlWidget* control, OptionsWidget* options, int side, QWidget* parent)
    : ImgWidget(control, parent)
    , control(control)
    , side(side)
    , options(options)
{
    background = QColor(255, 255, 255, 255);
}

EventWidget::~EventWidget() = default;

bool EventWidget::isActive() const
{
    return active;
}

void EventWidget::setActive(bool on, bool reload)
{
    active = on;
    setVisible(on);
    if (on && reload)
        setSize(-1, -1);
}

void EventWidget::setContext(Context* c)
{
    context = c;
    render(false, true, nullptr);
}

void EventWidget::setFocused(bool focus, bool announce)
{
    focused = focus;
    if (focus && announce && control) {
        FocusEvent e(this, {});
        QCoreApplication::sendEvent(control, &e);
    }
    update();
}

TList<QSharedPointer<Packet>> EventWidget::selectedPackets() const
{
    return {};
}

void EventWidget::reset()
{
    ImgWidget::reset();
}

bool EventWidget::renderOverlay()
{
    RenderGuard guard(this);
    if (!guard)
        return false;
    overlay.fill(Qt::transparent);
    guard.release();
    update();
    return true;
}

bool EventWidget::render(bool overlayToo, bool updateToo, QImage* target)
{
    QImage* img = target ? target : &image;
    RenderGuard guard(this, img, overlayToo, updateToo);
    if (!guard)
        return false;
    img->fill(background);
    {
        QPainter painter(img);
        painter.drawText(img->rect(), Qt::AlignCenter, QStringLiteral("EventWidget"));
    }
    guard.release();
    if (overlayToo)
        renderOverlay();
    if (updateToo)
        update();
    return true;
}

void EventWidget::setSize(int w, int h)
{
    ImgWidget::setSize(w, h);
    render(false, true, nullptr);
}

QSize EventWidget::sizeHint() const
{
    return QSize(1500, 800);
}

void EventWidget::copyTo()
{
}

void EventWidget::copyFrom()
{
}

bool EventWidget::event(QEvent* e)
{
    if (!active || !e)
        return ImgWidget::event(e);
    switch (int(e->type())) {
    case CONTEXTEVENT: {
        auto* ce = static_cast<ContextEvent*>(e);
        if (!ce->contexts.isEmpty())
            setContext(ce->contexts.last());
        e->accept();
        return true;
    }
    case FOCUSEVENT:
        setFocused(false, false);
        e->accept();
        return ImgWidget::event(e);
    default:
        return ImgWidget::event(e);
    }
}
