#pragma once

#include "core/TList.h"
#include "patterns/Node.h"

#include <QColor>
#include <QHash>
#include <QString>
#include <QWidget>

class Automaton;
class BinItem;
class ControlWidget;
class EventWidget;

// The glyph paths of the event matrix's cells drawn top down as a tree of
// shared beginnings: an item with the glyphs stacked on it is a path of
// names, a node's width is its parent's width times the share of the
// parent's items that pass through it, and below the root only nodes whose
// name heads a visible rule are drawn.
class RuleOverviewWidget : public QWidget
{
    Q_OBJECT

public:
    RuleOverviewWidget(ControlWidget* owner, EventWidget* source, QWidget* parent);
    ~RuleOverviewWidget() override;

    // Recounts the paths of the source's cells; the matrix calls it after
    // every reload.
    void rebuild();
    // Lays the drawn nodes out at the current width; the settings pane
    // calls it when it is resized.
    void relayout();
    QSize sizeHint() const override;

    ControlWidget* owner;
    int margin = 2;
    double levelHeight = 10.0;
    Automaton* automaton = nullptr;       // owned
    QHash<Node, int> counts;
    QHash<Node, QColor> colours;
    QHash<QString, Node> keys;
    QHash<Node, QString> nodeKeys;
    TList<QString> order;
    EventWidget* source;                  // not owned
    TList<BinItem*> items;                // owned
    Node root;

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void clearItems();
};
