#pragma once

#include <QWidget>

class QPainter;
class QPen;

// The picture of a rule's match flag: two bars, the long upper one light
// and the short lower one dark when the flag is set, the other way round
// when it is clear; outlined while the mouse is over its holder.
class MatchIcon : public QWidget
{
    Q_OBJECT

public:
    MatchIcon(bool match, QWidget* parent = nullptr);

    // Paints the picture for the widget's current size.
    void draw(QPainter* painter, QPen& pen);

    bool hovered = false;
    bool match;

protected:
    void paintEvent(QPaintEvent* event) override;
};
