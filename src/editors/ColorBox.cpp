#include "editors/ColorBox.h"

#include <QColorDialog>
#include <QMouseEvent>
#include <QPainter>

#include "core/HandlerGuard.h"

namespace {

const QColor FRAME_COLOR(240, 240, 240);

const int CUSTOM_COLORS[ColorBox::customColorCount][3] = {
    {147, 137, 83},  {238, 236, 225}, {84, 141, 212},  {31, 73, 125},
    {149, 179, 215}, {79, 129, 189},  {217, 150, 148}, {192, 80, 77},
    {195, 214, 155}, {155, 187, 89},  {178, 162, 199}, {128, 100, 162},
    {146, 205, 220}, {75, 172, 198},  {250, 192, 143}, {247, 150, 70},
};

} // namespace

ColorBox::ColorBox(const QColor& color, bool readOnly, QWidget* parent)
    : QWidget(parent), readOnly(readOnly), currentColor(color)
{
    setMouseTracking(true);
}

ColorBox::ColorBox(const QColor& color, QWidget* parent)
    : ColorBox(color, false, parent)
{
}

QColor ColorBox::customColor(int index)
{
    if (index < 0 || index >= customColorCount)
        return QColor();
    const int* c = CUSTOM_COLORS[index];
    return QColor(c[0], c[1], c[2]);
}

void ColorBox::setColor(const QColor& color)
{
    const bool changed = color != currentColor;
    currentColor = color;
    if (changed)
        emit colorChanged(currentColor);
    update();
}

QSize ColorBox::sizeHint() const
{
    return QSize(25, 25);
}

void ColorBox::mousePressEvent(QMouseEvent* event)
{
    if (readOnly)
        return;
    event->accept();
    HandlerGuard::run([&] {
        pressed = true;
        update();
        for (int i = 0; i < customColorCount; ++i)
            QColorDialog::setCustomColor(i, customColor(i));
        // The colour chosen counts only when nothing ran out of memory while
        // the dialog was open: that failure may have been the dialog's own.
        const unsigned long failures = HandlerGuard::failures();
        const QColor chosen = QColorDialog::getColor(currentColor, this, QStringLiteral("Select Color"));
        // The box may have seen its release while the dialog was open.
        pressed = false;
        // A cancelled dialog gives an invalid colour: the box keeps its own.
        if (chosen.isValid() && HandlerGuard::failures() == failures)
            setColor(chosen);
        update();
    });
}

void ColorBox::mouseMoveEvent(QMouseEvent* event)
{
    if (readOnly)
        return;
    hovered = rect().contains(event->pos());
    HandlerGuard::run([this] { update(); });
}

void ColorBox::mouseReleaseEvent(QMouseEvent*)
{
    if (readOnly)
        return;
    pressed = false;
    HandlerGuard::run([this] { update(); });
}

void ColorBox::leaveEvent(QEvent*)
{
    if (readOnly)
        return;
    hovered = false;
    HandlerGuard::run([this] { update(); });
}

void ColorBox::paintEvent(QPaintEvent*)
{
    HandlerGuard::paint(this, [this] {
        QPainter painter(this);
        painter.fillRect(rect(), FRAME_COLOR);
        // darker(100) and lighter(100) give the colour itself: the outline and
        // a hovered fill look like the plain fill.
        const QColor fill = hovered && !pressed ? currentColor.lighter(100) : currentColor;
        painter.setPen(QPen(currentColor.darker(100), 1, Qt::SolidLine));
        painter.setBrush(QBrush(fill, Qt::SolidPattern));
        painter.drawRect(QRect(QPoint(1, 1), QPoint(width() - 2, height() - 2)));
    });
}
