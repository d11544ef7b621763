#pragma once

#include <QString>

#include "items/GraphicsItem.h"

class QMouseEvent;
class QObject;
class QWidget;

// The title bar of a cell of the event matrix, with a plus/minus toggle
// button on the right; pressing the toggle flips it and asks the receiver
// (the event view) to lay itself out again.
class BinHeader : public GraphicsItem
{
public:
    BinHeader(QWidget* widget, void* context, QObject* receiver, const QString& title);

    void paint(QPainter* painter, QPen& pen, QBrush& brush) override;
    // The event's position is in the coordinates of the widget's parent.
    void mousePress(QMouseEvent* event);

    // Side of the toggle button for the current size, never negative.
    int buttonSize() const;

    QString title;
    bool toggled = false;
    qint32 margin = 10;       // vertical margin of the button; also sets the text height
    qint32 textIndent = 20;
    double maxButtonSize = 50.0;
    QObject* receiver = nullptr;
    void* context = nullptr;  // the cell's own pointer; kept, not read here
    QWidget* widget = nullptr;
};
