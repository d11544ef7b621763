#pragma once

#include <QColor>
#include <QIcon>
#include <QPair>
#include <QPainterPath>
#include <QSharedPointer>
#include <QString>

#include "core/TList.h"
#include "items/GraphicsItem.h"

class Packet;
class ParseNode;
class QWidget;

// Item modes.
inline constexpr int NORMAL = 0;
inline constexpr int EMPTY = 1;       // the 50 x 50 placeholder
inline constexpr int EMPTYSMALL = 2;  // the 20 x 20 placeholder
inline constexpr int ARROW = 3;
inline constexpr int DELETE = 4;      // the "DeleteItem" glyph
inline constexpr int NONE = 5;        // the "None" glyph: an exact combination of its children
inline constexpr int GROUP = 6;

// Shapes; the rules-file glyph text stores these numbers.
inline constexpr int SQUARE = 0;
inline constexpr int CIRCLE = 1;
inline constexpr int TRIANGLE = 2;
inline constexpr int PENTAGON = 3;
inline constexpr int DIAMOND = 4;

inline constexpr double defaultGlyphSize = 40.0;

// Whether stacked children of glyphs are drawn; flipped by the event matrix
// ribbon's multi button, which then asks the views to render again.
extern bool showMulti;
// The event matrix's glyph size; a Rule reads it when it is constructed.
extern double matrixItemSize;

// The glyph: the named visual encoding of the events that satisfy a
// condition, and the drawable object that stands for one or more events in a
// view. Items are values: copies are deep for the lists (children, colour
// stops) and share the events.
//
// Ownership of the condition: a BinItem never owns `condition`. Copies share
// the pointer and destroying an item leaves the tree alone; the tree belongs
// to the glyph store's entry or to the ParseNode leaf that embeds the glyph.
// Whoever puts a store glyph into a leaf must therefore give the leaf a clone
// of the condition (the leaf frees its own), never the store's tree itself.
class BinItem : public GraphicsItem
{
public:
    BinItem(void* data, QWidget* owner);
    BinItem(const BinItem& other) = default;
    BinItem& operator=(const BinItem& other) = default;
    ~BinItem() override;

    double left() const override;
    double right() const override;
    double top() const override;
    double bottom() const override;
    double centerY() const override;
    double centerX() const override;
    double width() const override;
    double height() const override;
    void paint(QPainter* painter, QPen& pen, QBrush& brush) override;
    // The item drawn into a w x h white picture; position and stored size are
    // the same afterwards as before.
    virtual QIcon icon(double w, double h);

    static QString shapeName(int shape);
    // Case-sensitive; -1 for a name that is not a shape.
    static int shapeFromName(const QString& name);

    // This item and everything below it through `children`, breadth first,
    // each as a copy without children.
    TList<BinItem> flatten() const;

    // Edges in the coordinates of the owner's parent, for hit tests by a view
    // that holds several owners.
    double parentLeft() const;
    double parentRight() const;
    double parentTop() const;
    double parentBottom() const;

    // Draws this item's own shape (not its children) at (px, py) with size
    // w x h. Leaves the item's fields untouched.
    void paintGlyph(int px, int py, double w, double h, QPainter* painter, QPen& pen,
                    QBrush& brush, bool outline, bool faded);
    static QPainterPath polygonPath(double rx, double ry, int n);

    TList<QSharedPointer<Packet>> packets;
    QWidget* owner = nullptr;
    void* data = nullptr;
    bool centred = false;
    bool showLabel = true;
    bool showDetail = true;
    qint32 selectedCount = 0;
    qint32 totalCount = 0;
    qint32 auxValue = 0;
    qint32 quantifier = 0;  // 0 all, 1 any, 2 first, 3 last
    bool visible = true;
    bool auxFlag = false;
    QString label;
    QString name;
    ParseNode* condition = nullptr;  // null means "true"; not owned (see above)
    QColor edgeColor;
    QColor fillColor;
    QColor thirdColor;
    qint32 edgeWidth = 0;
    qint32 shape = SQUARE;
    qint32 edgeStyle = 0;  // 1 dashed, anything else solid
    double sizeFactor = 1.0;
    QString detail;
    qint32 id = 0;
    TList<QPair<QColor, double>> colorStops;
    double auxDouble = 0.0;
    TList<BinItem> children;  // items stacked behind this one
    qint32 mode = NORMAL;

private:
    int centringOffset() const;
    void paintLabel(QPainter* painter, double w, double h);
    void paintBadge(QPainter* painter, double w, double h, bool faded);
};
