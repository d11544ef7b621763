#include "views/charts/LineChart.h"

#include <QPainter>

LineChart::LineChart(ControlWidget* owner, EventWidget* eventView, QWidget* parent)
    : ImgWidget(owner, parent)
    , eventView(eventView)
{
    setSizePolicy(QSizePolicy::Expanding, sizePolicy().verticalPolicy());
}

bool LineChart::isActive() const
{
    return active;
}

void LineChart::setActive(bool on, bool rebuild)
{
    active = on;
    setVisible(on);
    if (on && rebuild)
        setSize(-1, -1);
}

void LineChart::setContext(Context* c, bool, bool)
{
    context = c;
}

void LineChart::reset()
{
    ImgWidget::reset();
}

bool LineChart::renderOverlay()
{
    RenderGuard guard(this);
    if (!guard)
        return false;
    overlay.fill(Qt::transparent);
    return true;
}

bool LineChart::render(bool overlayToo, bool updateToo, QImage* target)
{
    QImage* img = target ? target : &image;
    RenderGuard guard(this, img, overlayToo, updateToo);
    if (!guard)
        return false;
    img->fill(background);
    {
        QPainter painter(img);
        painter.drawText(img->rect(), Qt::AlignCenter, placeholderName());
    }
    guard.release();
    if (overlayToo)
        renderOverlay();
    if (updateToo)
        update();
    return true;
}

void LineChart::setSize(int w, int h)
{
    ImgWidget::setSize(w, h);
    render(false, true, nullptr);
}

QSize LineChart::sizeHint() const
{
    return QSize(1000, 400);
}

QString LineChart::placeholderName() const
{
    return QStringLiteral("LineChart");
}
