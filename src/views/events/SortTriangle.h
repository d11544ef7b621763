#pragma once

#include "items/GraphicsItem.h"

class ControlWidget;
class QMouseEvent;
class SequenceWidget;

// The sort mark of a column header of the sequence view: a filled
// downward triangle (state 0), a filled upward one (state 1), or both as
// outlines (any other state, 2 by default). Drawn blue-grey, orange while
// highlighted.
class SortTriangle : public GraphicsItem
{
public:
    SortTriangle(ControlWidget* owner, SequenceWidget* view);

    void setState(int value) { state = value; }
    // A click on the triangle; the sequence view does the sorting itself.
    void mousePress(QMouseEvent* event);
    void paint(QPainter* painter, QPen& pen, QBrush& brush) override;

    int reserved1 = 10;
    int reserved2 = 20;
    int reserved3 = 50;
    SequenceWidget* view;   // the view that made it, not owned
    int state = 2;
    ControlWidget* owner;   // not owned
};
