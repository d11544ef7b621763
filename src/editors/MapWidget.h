#pragma once

#include <QColor>
#include <QHash>
#include <QList>
#include <QWidget>

#include "core/TList.h"

class BinItem;
class ControlWidget;
class ParseNode;
class QDialog;
class QMutex;
class QResizeEvent;
class QTimer;

// Graphical editor of one pattern tree (a ParseNode tree whose root is a
// sequence). This part holds the tree and turns it into a row of drawable
// items; a window-less instance (no owner, no parent) also lays out the trees
// of a Rule, through layoutTree and subtreeExtent only: the rule's trees are
// never handed to the widget as its root, and such an instance never touches
// a glyph store.
class MapWidget : public QWidget
{
    Q_OBJECT

public:
    MapWidget(bool rewrite, ControlWidget* owner, QWidget* parent);
    ~MapWidget() override;

    // Deletes the tree; the root becomes a sequence holding one empty slot
    // and the history holds a copy of it.
    void reset();
    // Rebuilds the items of the whole tree, shrinking the item size in steps
    // of a tenth until the row fits the width (at most ten tries).
    void relayout();

    // Appends the items of the subtree of `node` to `out` (the caller owns
    // them): x is the left edge, y the vertical centre line and extent the
    // height reserved by the caller. Uses the current itemSize, slotSize,
    // labelHeight and gap. Returns the right edge of the last item appended
    // (x when none was).
    double layoutTree(ParseNode* node, TList<BinItem*>& out, double x, double y,
                      double extent);
    // n x itemSize + (n - 1) x gap, n = the total number of branches of all
    // choice nodes of the subtree, at least 1.
    double subtreeExtent(ParseNode* node) const;

    QSize sizeHint() const override;

    ParseNode* root = nullptr;        // owned; always a sequence
    TList<BinItem*> items;            // owned; the items of the current layout
    QDialog* popup = nullptr;         // the completer popup that is or was last open
    ControlWidget* owner = nullptr;   // gives the glyph store; null when window-less
    double itemSize = 40.0;
    int slotSize = 20;                // side of an empty slot
    int labelHeight = 20;             // height of an operator label
    int margin = 3;                   // left margin of the first item
    int gap = 5;                      // between items and between choice branches
    bool rewrite = false;
    QColor background = Qt::white;
    QTimer* singleClickTimer = nullptr;
    bool clickPending = false;
    int pressX = 0;
    int pressY = 0;
    bool pointerInside = false;
    double dragStartX = -1.0;
    double dragStartY = -1.0;
    double dragEndX = -1.0;
    double dragEndY = -1.0;
    double mouseX = -1.0;
    double mouseY = -1.0;
    bool dragging = false;
    QTimer* dragTimer = nullptr;
    QHash<BinItem*, ParseNode*> itemNode;  // registered items -> the node they stand for
    QHash<ParseNode*, BinItem*> nodeItem;
    bool rightButton = false;
    QMutex* mutex = nullptr;          // owned
    QList<ParseNode*> history;        // owned; deep copies of the tree, oldest first
    int historyIndex = -1;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void deleteItems();
    void setItemScale(double scale);
    void registerItem(BinItem* item, ParseNode* node);
    double layoutChildren(ParseNode* node, TList<BinItem*>& out, double x, double y,
                          double extent);
    double layoutOperator(ParseNode* node, TList<BinItem*>& out, double x, double y);
};
