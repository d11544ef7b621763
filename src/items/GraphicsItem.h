#pragma once

#include <QPointF>
#include <QRectF>

class QPainter;
class QPen;
class QBrush;

// A plain rectangle in the coordinates of the widget that owns it, drawn by
// the view into its image. Not a widget and not a scene node.
//
// The stored size lives in storedWidth/storedHeight: width() and height() are
// virtual and derived items scale them, so the fields cannot share the names.
class GraphicsItem
{
public:
    GraphicsItem(const QPointF& pos, int width, int height);
    GraphicsItem(const GraphicsItem& other) = default;
    GraphicsItem& operator=(const GraphicsItem& other) = default;
    // Items are kept and deleted through base pointers by the views.
    virtual ~GraphicsItem();

    virtual double left() const;
    virtual double right() const;
    virtual double top() const;
    virtual double bottom() const;
    virtual double centerY() const;
    virtual double centerX() const;
    virtual double width() const;
    virtual double height() const;
    // The caller owns and lends the painter, pen and brush; an item may change
    // the pen and brush freely and saves/restores the painter around its own
    // translation.
    virtual void paint(QPainter* painter, QPen& pen, QBrush& brush);

    void setWidth(double w) { storedWidth = w; }
    void setHeight(double h) { storedHeight = h; }
    void setX(double px) { x = px; }
    void setY(double py) { y = py; }
    void setPos(const QPointF& p) { x = p.x(); y = p.y(); }
    QPointF pos() const { return QPointF(x, y); }
    // The item's own box, in the coordinates paint() uses after translating.
    QRectF rect() const { return QRectF(0, 0, storedWidth, storedHeight); }
    // Both ends included; goes through the virtual edges so that a derived
    // item's own geometry decides.
    bool contains(int px, int py) const;

    double x = 0.0;
    double y = 0.0;
    bool selected = false;
    bool highlighted = false;
    double storedWidth = 0.0;
    double storedHeight = 0.0;
};
