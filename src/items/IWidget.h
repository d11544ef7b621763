#pragma once

#include <QColor>
#include <QRectF>
#include <QSize>

class ControlWidget;
class GlyphStore;
class QKeyEvent;
class QMouseEvent;
class QMutex;
class QPaintEvent;
class QResizeEvent;
class QWheelEvent;

// The interface of a view that renders off screen: the router that owns it,
// the glyph store it reads, the last mouse positions and the event and
// sizing operations every such view answers. ImgWidget joins it to QWidget;
// in an ImgWidget the event operations are the Qt handlers of the same names.
class IWidget
{
public:
    explicit IWidget(ControlWidget* owner);
    IWidget(const IWidget&) = delete;
    IWidget& operator=(const IWidget&) = delete;
    virtual ~IWidget();

    // Reads the glyph store again: the owner replaces it at every load.
    virtual void reset();
    virtual void keyPressEvent(QKeyEvent* e) = 0;
    virtual void paintEvent(QPaintEvent* e) = 0;
    virtual void mouseMoveEvent(QMouseEvent* e) = 0;
    virtual void mousePressEvent(QMouseEvent* e) = 0;
    virtual void wheelEvent(QWheelEvent* e) = 0;
    virtual void mouseReleaseEvent(QMouseEvent* e) = 0;
    virtual QRectF dataRect() = 0;
    virtual void resizeEvent(QResizeEvent* e) = 0;
    virtual void setSize(int w, int h) = 0;
    virtual QSize sizeHint() const = 0;

    ControlWidget* owner;
    GlyphStore* glyphStore;
    // Positions rounded to whole pixels; the mouse ones are -1 when the
    // mouse has left the view.
    double pressX = -1.0;
    double pressY = -1.0;
    double mouseX = -1.0;
    double mouseY = -1.0;
    QColor background;
    // For the view's own data (not the images); non-recursive.
    QMutex* mutex;
};
