#include "editors/MapWidget.h"

#include <QDebug>
#include <QMutex>
#include <QResizeEvent>
#include <QTimer>

#include <algorithm>
#include <vector>

#include "items/BinItem.h"
#include "items/EmptyItem.h"
#include "items/TextItem.h"
#include "patterns/ParseNode.h"

namespace {

// Width of "(", ")", "!", "*", "+" and of a group's small box; longer texts
// take this much per character.
const int charWidth = 10;

bool isRepetitionKind(int type)
{
    return type == ParseNode::Star || type == ParseNode::Plus || type == ParseNode::Repeat
           || type == ParseNode::Group;
}

} // namespace

MapWidget::MapWidget(bool rewrite, ControlWidget* owner, QWidget* parent)
    : QWidget(parent), owner(owner), rewrite(rewrite)
{
    setMouseTracking(true);
    mutex = new QMutex();
    reset();
    gap = 5;
    margin = 3;
    itemSize = defaultGlyphSize;
    slotSize = int(itemSize * 0.5);
    labelHeight = int(itemSize * 0.5);
    relayout();
    pointerInside = false;
    dragging = false;
    dragStartX = dragStartY = dragEndX = dragEndY = -1.0;
    // A drag that rests for 500 ms selects what its rectangle holds; a press
    // waits 300 ms for a second one (a double click).
    dragTimer = new QTimer(this);
    dragTimer->setInterval(500);
    singleClickTimer = new QTimer(this);
    singleClickTimer->setInterval(300);
}

QSize MapWidget::sizeHint() const
{
    return QSize(200, 200);
}

MapWidget::~MapWidget()
{
    deleteItems();
    delete root;
    qDeleteAll(history);
    history.clear();
    delete mutex;
}

void MapWidget::reset()
{
    delete root;
    root = new ParseNode(ParseNode::And);
    root->addChild(new ParseNode(ParseNode::Group));
    qDeleteAll(history);
    history.clear();
    history.append(new ParseNode(*root));
    historyIndex = 0;
    relayout();
    update();
}

void MapWidget::deleteItems()
{
    itemNode.clear();
    nodeItem.clear();
    for (BinItem* item : items.items)
        delete item;
    items.clear();
}

void MapWidget::setItemScale(double scale)
{
    itemSize = defaultGlyphSize * scale;
    slotSize = int(itemSize * 0.5);
    labelHeight = int(itemSize * 0.5);
}

void MapWidget::relayout()
{
    itemNode.clear();
    nodeItem.clear();
    for (int attempt = 0; attempt < 10; ++attempt) {
        // The extent is measured with the size of the previous try.
        const double extent = root ? subtreeExtent(root) : 0.0;
        const int centre = int(height() * 0.5);
        setItemScale((10 - attempt) / 10.0);
        deleteItems();
        if (!root)
            return;

        double x = margin;
        for (ParseNode* child : root->children) {
            TList<BinItem*> list;
            layoutTree(child, list, x, centre, int(extent));
            if (!list.isEmpty())
                x = int(gap + list.last()->right());
            items.append(list);
        }
        if (items.isEmpty() || (width() - margin) > items.last()->right())
            return;
    }
}

void MapWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    relayout();
    update();
}

double MapWidget::subtreeExtent(ParseNode* node) const
{
    int branches = 0;
    std::vector<const ParseNode*> pending;
    if (node)
        pending.push_back(node);
    while (!pending.empty()) {
        const ParseNode* current = pending.back();
        pending.pop_back();
        if (current->type == ParseNode::Or)
            branches += current->children.size();
        for (const ParseNode* child : current->children)
            pending.push_back(child);
    }
    const int n = std::max(1, branches);
    return n * itemSize + (n - 1) * gap;
}

void MapWidget::registerItem(BinItem* item, ParseNode* node)
{
    itemNode.insert(item, node);
    nodeItem.insert(node, item);
}

// Children side by side from x; returns the x after the last child's items.
double MapWidget::layoutChildren(ParseNode* node, TList<BinItem*>& out, double x, double y,
                                 double extent)
{
    for (ParseNode* child : node->children) {
        const int before = out.size();
        layoutTree(child, out, x, y, extent);
        if (out.size() > before)
            x = gap + out.last()->right();
    }
    return x;
}

double MapWidget::layoutOperator(ParseNode* node, TList<BinItem*>& out, double x, double y)
{
    BinItem* label = nullptr;
    double labelWidth = charWidth;
    if (node->type == ParseNode::Group) {
        label = new EmptyItem(true, this);
    } else {
        QString text;
        if (node->type == ParseNode::Star) {
            text = QStringLiteral("*");
        } else if (node->type == ParseNode::Plus) {
            text = QStringLiteral("+");
        } else {
            const QPair<double, double> bounds = node->value.toPair();
            text = QString::number(int(bounds.first)) + QStringLiteral("..")
                   + QString::number(int(bounds.second));
            labelWidth = charWidth * text.length();
        }
        label = new TextItem(text, true, this);
    }
    label->setWidth(labelWidth);
    label->setHeight(labelHeight);
    // Raised to the top of the node's extent, like an exponent.
    label->setX(x);
    label->setY(y - subtreeExtent(node) / 2 - labelHeight / 2);
    out.append(label);
    registerItem(label, node);
    return label->right();
}

double MapWidget::layoutTree(ParseNode* node, TList<BinItem*>& out, double x, double y,
                             double extent)
{
    if (!node)
        return x;
    const int first = out.size();
    const int h = int(subtreeExtent(node));
    const ParseNode* parent = node->parent();

    auto makeText = [&](const QString& text, bool framed, double left, double height) {
        TextItem* item = new TextItem(text, framed, this);
        item->setWidth(charWidth * text.length());
        item->setHeight(height);
        item->setX(left);
        item->setY(y - int(height) / 2);
        out.append(item);
        return item;
    };

    switch (node->type) {
    case ParseNode::Epsilon:
        qDebug() << "epsilons are not allowed in mapwidget";
        break;

    case ParseNode::Leaf: {
        BinItem* item = new BinItem(node->glyph);
        item->owner = this;
        item->setWidth(itemSize);
        item->setHeight(itemSize);
        item->setX(x);
        item->setY(y - itemSize / 2);
        out.append(item);
        registerItem(item, node);
        // Children of a leaf (a leaf that took over a group's content).
        double next = x + itemSize + gap;
        for (int i = node->children.size() - 1; i >= 0; --i) {
            const int before = out.size();
            layoutTree(node->children.at(i), out, next, y, extent);
            if (out.size() > before)
                next = gap + out.last()->right();
        }
        break;
    }

    case ParseNode::Not: {
        TextItem* bang = makeText(QStringLiteral("!"), true, x, h);
        registerItem(bang, node);
        layoutChildren(node, out, x + charWidth + gap, y, extent);
        break;
    }

    case ParseNode::Or: {
        const bool bare = parent && isRepetitionKind(parent->type);
        if (!bare) {
            makeText(QStringLiteral("("), false, x, h);
            x += charWidth + gap;
        }
        const int xs = int(x);
        int top = int(y - extent / 2);
        double right = 0.0;
        bool anyBranch = false;
        for (ParseNode* branch : node->children) {
            const int e = int(subtreeExtent(branch) / 2);
            top += e;
            const int before = out.size();
            layoutTree(branch, out, xs, top, e);
            if (out.size() > before) {
                right = anyBranch ? std::max(right, out.last()->right()) : out.last()->right();
                anyBranch = true;
            }
            top += e + gap;
        }
        const double r = right + gap;
        if (!bare)
            makeText(QStringLiteral(")"), false, r, h);
        // Single-item branches are centred in the column.
        for (ParseNode* branch : node->children) {
            if (branch->hasChildren())
                continue;
            BinItem* item = nodeItem.value(branch, nullptr);
            if (item)
                item->setX(item->left() + (r - xs) / 2 - item->width() / 2 - 1);
        }
        break;
    }

    case ParseNode::Star:
    case ParseNode::Plus:
    case ParseNode::Repeat:
    case ParseNode::Group: {
        if (!node->hasChildren()) {
            if (node->type == ParseNode::Group) {
                // An empty slot.
                EmptyItem* slot = new EmptyItem(false, this);
                slot->setWidth(slotSize);
                slot->setHeight(slotSize);
                slot->setX(x);
                slot->setY(y - slotSize / 2);
                out.append(slot);
                registerItem(slot, node);
            } else {
                layoutOperator(node, out, x, y);
            }
            break;
        }
        const bool bare = parent && parent->type == ParseNode::Or;
        if (!bare) {
            makeText(QStringLiteral("("), false, x, h);
            x += charWidth + gap;
        }
        layoutChildren(node, out, x, y, extent);
        double right = 0.0;
        for (int i = first; i < out.size(); ++i)
            right = (i == first) ? out.at(i)->right() : std::max(right, out.at(i)->right());
        const double r = right + gap;
        if (!bare) {
            TextItem* close = makeText(QStringLiteral(")"), false, r, h);
            x = close->right() + gap;
        } else {
            x = r;
        }
        layoutOperator(node, out, x, y);
        break;
    }

    default:
        // Sequences (and anything else) lay their children out side by side.
        layoutChildren(node, out, x, y, extent);
        break;
    }

    return out.size() > first ? out.last()->right() : x;
}
