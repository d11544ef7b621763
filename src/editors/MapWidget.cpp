#include "editors/MapWidget.h"

#include <QDebug>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QPointer>
#include <QResizeEvent>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <exception>
#include <vector>

#include "app/ControlWidget.h"
#include "editors/EventCompleter.h"
#include "editors/GlyphEditorWidget.h"
#include "editors/ModifierCompleter.h"
#include "editors/QueryWidget.h"
#include "editors/TextEdit.h"
#include "items/BinItem.h"
#include "items/EmptyItem.h"
#include "items/ScreenPlacement.h"
#include "items/TextItem.h"
#include "model/GlyphStore.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"

namespace {

// Width of "(", ")", "!", "*", "+" and of a group's small box; longer texts
// take this much per character.
const int charWidth = 10;

// A press that moves further than this with the left button starts a drag.
const float dragDistance = 20.0f;

bool isRepetitionKind(int type)
{
    return type == ParseNode::Star || type == ParseNode::Plus || type == ParseNode::Repeat
           || type == ParseNode::Group;
}

bool isOperatorKind(int type)
{
    return type == ParseNode::Star || type == ParseNode::Plus || type == ParseNode::Repeat;
}

bool isPlaceholder(const BinItem* item)
{
    return item->mode == EMPTY || item->mode == EMPTYSMALL;
}

// Detaches the child at `index` of `parent`; the caller owns it afterwards.
ParseNode* takeChild(ParseNode* parent, int index)
{
    ParseNode* child = parent->children.takeAt(index);
    child->parentNode = nullptr;
    return child;
}

// ParseNode::insertChild wants an index within 0 .. child count.
void insertClamped(ParseNode* parent, int index, ParseNode* child)
{
    parent->insertChild(std::max(0, std::min(index, int(parent->children.size()))), child);
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
    connect(dragTimer, &QTimer::timeout, this, &MapWidget::dragTimeOut);
    singleClickTimer = new QTimer(this);
    singleClickTimer->setInterval(300);
    connect(singleClickTimer, &QTimer::timeout, this, &MapWidget::singleClickTimeOut);
}

QSize MapWidget::sizeHint() const
{
    return QSize(200, 200);
}

MapWidget::~MapWidget()
{
    deleteItems();
    delete root;
    root = nullptr;
    qDeleteAll(history);
    history.clear();
    delete mutex;
}

// ---------------------------------------------------------------------------
// Tree and history

void MapWidget::reset()
{
    deleteItems();
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

void MapWidget::setRoot(ParseNode* tree)
{
    if (!tree) {
        reset();
        return;
    }
    deleteItems();
    if (tree != root)
        delete root;
    tree->parentNode = nullptr;
    if (tree->type != ParseNode::And) {
        // The editor's tree is always a sequence.
        root = new ParseNode(ParseNode::And);
        root->addChild(tree);
    } else {
        root = tree;
    }
    qDeleteAll(history);
    history.clear();
    history.append(new ParseNode(*root));
    historyIndex = 0;
    relayout();
    update();
}

void MapWidget::pushHistory()
{
    if (!root)
        return;
    historyIndex = std::max(0, historyIndex + 1);
    while (history.size() > historyIndex)
        delete history.takeLast();
    history.append(new ParseNode(*root));
}

void MapWidget::loadHistory(int index)
{
    if (index < 0 || index >= history.size())
        return;
    // The items and both hashes point into the tree that goes.
    deleteItems();
    delete root;
    root = new ParseNode(*history.at(index));
    root->parentNode = nullptr;
    relayout();
    update();
}

void MapWidget::undo()
{
    historyIndex = std::max(0, historyIndex - 1);
    loadHistory(historyIndex);
}

void MapWidget::redo()
{
    historyIndex = std::min(historyIndex + 1, int(history.size()) - 1);
    loadHistory(historyIndex);
}

bool MapWidget::inTree(const ParseNode* node) const
{
    if (!node || !root)
        return false;
    std::vector<const ParseNode*> pending{root};
    while (!pending.empty()) {
        const ParseNode* current = pending.back();
        pending.pop_back();
        if (current == node)
            return true;
        for (const ParseNode* child : current->children)
            pending.push_back(child);
    }
    return false;
}

ParseNode* MapWidget::removeEpsilons() const
{
    if (!root)
        return nullptr;
    ParseNode* copy = new ParseNode(*root);
    copy->parentNode = nullptr;
    std::vector<ParseNode*> pending{copy};
    while (!pending.empty()) {
        ParseNode* node = pending.back();
        pending.pop_back();
        if (node->type == ParseNode::Group) {
            // A stack becomes one level: the first glyph with every other
            // stacked glyph as its direct child.
            if (!node->glyph.children.isEmpty()) {
                const TList<BinItem> flat = node->glyph.flatten();
                BinItem glyph = flat.at(0);
                for (int i = 1; i < flat.size(); ++i)
                    glyph.children.append(flat.at(i));
                node->setGlyph(glyph);
            }
            continue;
        }
        if (node->type == ParseNode::Epsilon)
            qDebug() << "epsilon detected";
        if (isPlaceholder(&node->glyph))
            continue;
        for (int i = node->children.size() - 1; i >= 0; --i)
            pending.push_back(node->children.at(i));
    }
    return copy;
}

// ---------------------------------------------------------------------------
// Selection

bool MapWidget::clearSelection()
{
    bool any = false;
    for (BinItem* item : items) {
        if (item->selected) {
            item->selected = false;
            any = true;
        }
    }
    if (any)
        emit selectionChanged(TList<BinItem*>());
    return any;
}

TList<BinItem*> MapWidget::selectedItems() const
{
    TList<BinItem*> out;
    for (BinItem* item : items) {
        if (item->selected)
            out.append(item);
    }
    return out;
}

void MapWidget::selectNode(ParseNode* n)
{
    clearSelection();
    if (n) {
        std::vector<ParseNode*> pending{n};
        while (!pending.empty()) {
            ParseNode* node = pending.back();
            pending.pop_back();
            if (BinItem* item = nodeItem.value(node, nullptr))
                item->selected = true;
            for (int i = node->children.size() - 1; i >= 0; --i)
                pending.push_back(node->children.at(i));
        }
    }
    emit selectionChanged(selectedItems());
}

ParseNode* MapWidget::selectNext()
{
    const TList<BinItem*> selection = selectedItems();
    // The item after the last selected one (the first with nothing selected).
    const int from = selection.isEmpty() ? 0 : items.indexOf(selection.last()) + 1;
    ParseNode* found = nullptr;
    for (int i = from; i < items.size() && !found; ++i)
        found = itemNode.value(items.at(i), nullptr);
    selectNode(found);
    return found;
}

ParseNode* MapWidget::selectPrevious()
{
    const TList<BinItem*> selection = selectedItems();
    ParseNode* found = nullptr;
    if (selection.isEmpty()) {
        for (int i = 0; i < items.size() && !found; ++i)
            found = itemNode.value(items.at(i), nullptr);
    } else {
        for (int i = items.indexOf(selection.first()) - 1; i >= 0 && !found; --i)
            found = itemNode.value(items.at(i), nullptr);
    }
    selectNode(found);
    return found;
}

ParseNode* MapWidget::commonParent(const TList<BinItem*>& selection) const
{
    TList<ParseNode*> nodes;
    for (BinItem* item : selection) {
        if (ParseNode* node = itemNode.value(item, nullptr))
            nodes.append(node);
    }
    if (nodes.isEmpty())
        return nullptr;

    // Whichever of a and b a depth-first walk from the root meets first.
    auto firstMet = [this](ParseNode* a, ParseNode* b) -> ParseNode* {
        std::vector<ParseNode*> pending{root};
        while (!pending.empty()) {
            ParseNode* node = pending.back();
            pending.pop_back();
            if (node == a || node == b)
                return node;
            for (int i = node->children.size() - 1; i >= 0; --i)
                pending.push_back(node->children.at(i));
        }
        return a;
    };

    ParseNode* c = nodes.at(0)->parent();
    for (int i = 1; i < nodes.size(); ++i) {
        ParseNode* n = nodes.at(i);
        if (!root)
            c = nullptr;
        else if (c == root || n == root)
            c = root;
        else
            c = firstMet(c, n);
    }
    return c;
}

BinItem* MapWidget::itemAt(int px, int py) const
{
    for (BinItem* item : items) {
        if (item->contains(px, py))
            return item;
    }
    return nullptr;
}

bool MapWidget::clearHighlight()
{
    bool any = false;
    for (BinItem* item : items) {
        if (item->highlighted) {
            item->highlighted = false;
            any = true;
        }
    }
    return any;
}

// ---------------------------------------------------------------------------
// Edits

bool MapWidget::replaceNode(ParseNode* old, ParseNode* repl)
{
    return swapNode(old, repl, true);
}

bool MapWidget::swapNode(ParseNode* old, ParseNode* repl, bool moveChildren)
{
    if (!old || !repl || old == repl)
        return false;
    ParseNode* parent = old->parent();
    const int index = parent ? parent->children.indexOf(old) : -1;
    if (index < 0) {
        // Checked first: without a place for repl nothing may move.
        qDebug() << "Parent does not exist issue....";
        return false;
    }
    if (moveChildren) {
        for (ParseNode* child : old->children)
            repl->addChild(child);
        old->children.clear();
    }
    takeChild(parent, index);
    parent->insertChild(index, repl);
    delete old;
    pushHistory();
    emit actionPerformed();
    return true;
}

ParseNode* MapWidget::removeNode(ParseNode* node, bool record)
{
    if (!node)
        return nullptr;
    ParseNode* parent = node->parent();
    const int index = parent ? parent->children.indexOf(node) : -1;
    if (index < 0) {
        qDebug() << "Parent does not exist issue....";
        return nullptr;
    }

    // A branch of a two-branch choice stays as an empty branch, and an
    // operator goes while its content stays as a group.
    if ((parent->type == ParseNode::Or && node->type != ParseNode::Group
         && parent->children.size() == 2)
        || isOperatorKind(node->type)) {
        ParseNode* slot = new ParseNode(ParseNode::Group);
        if (!replaceNode(node, slot)) {
            delete slot;
            return nullptr;
        }
        return slot;
    }

    if (node->hasChildren()) {
        // The content takes the node's place.
        QList<ParseNode*> content = node->children;
        node->children.clear();
        takeChild(parent, index);
        for (int i = 0; i < content.size(); ++i)
            parent->insertChild(index + i, content.at(i));
        delete node;
    } else if (parent == root && root->children.size() == 1) {
        delete takeChild(root, 0);
        root->addChild(new ParseNode(ParseNode::Group));
    } else {
        delete takeChild(parent, index);
    }

    // A sequence or choice left with one child gives way to it.
    if (parent != root
        && (parent->type == ParseNode::And || parent->type == ParseNode::Or)
        && parent->children.size() == 1) {
        ParseNode* grand = parent->parent();
        const int at = grand ? grand->children.indexOf(parent) : -1;
        if (at >= 0) {
            ParseNode* only = takeChild(parent, 0);
            takeChild(grand, at);
            grand->insertChild(at, only);
            delete parent;
        }
    }

    if (record) {
        pushHistory();
        emit actionPerformed();
    }
    return nullptr;
}

void MapWidget::deleteSelection(const TList<BinItem*>& selection)
{
    if (selection.size() == 1 && !selection.at(0)->children.isEmpty()) {
        // A stack loses its container glyph: the first stacked glyph takes
        // over and carries the others.
        BinItem* item = selection.at(0);
        ParseNode* node = itemNode.value(item, nullptr);
        if (!node)
            return;
        BinItem glyph = item->children.at(0);
        glyph.children.clear();
        for (int i = 1; i < item->children.size(); ++i)
            glyph.children.append(item->children.at(i));
        node->setGlyph(glyph);
        relayout();
        update();
        pushHistory();
        emit actionPerformed();
        return;
    }

    QList<ParseNode*> pending;
    QSet<ParseNode*> collected;
    for (BinItem* item : selection) {
        ParseNode* node = itemNode.value(item, nullptr);
        if (node && !collected.contains(node)) {
            collected.insert(node);
            pending.append(node);
        }
        itemNode.remove(item);
    }
    ParseNode* replacement = nullptr;
    for (int i = 0; i < pending.size(); ++i) {
        ParseNode* node = pending.at(i);
        ParseNode* taken = removeNode(node, false);
        if (taken) {
            replacement = taken;
            if (selection.size() > 1)
                pending.append(taken);
        }
        nodeItem.remove(node);
    }
    relayout();
    if (selection.size() <= 1 && replacement) {
        if (BinItem* item = nodeItem.value(replacement, nullptr)) {
            item->selected = true;
            emit selectionChanged(TList<BinItem*>{item});
        }
    }
    update();
    pushHistory();
    emit actionPerformed();
}

void MapWidget::insertBefore(TList<ParseNode*> clauses)
{
    if (clauses.isEmpty())
        return;
    ParseNode* parent = clauses.first()->parent() ? clauses.first()->parent() : root;
    int index = parent->children.size();
    for (ParseNode* clause : clauses)
        index = std::min(index, int(parent->children.indexOf(clause)));
    ParseNode* slot = new ParseNode(ParseNode::Group);
    if (index >= 0) {
        ParseNode* inserted = slot;
        if (parent->type == ParseNode::Or && clauses.size() > 1) {
            inserted = new ParseNode(ParseNode::Or);
            inserted->addChild(slot);
        }
        parent->insertChild(index, inserted);
    } else {
        qDebug() << "invalid before index = -1";
        delete slot;
    }
    relayout();
    update();
    pushHistory();
    emit actionPerformed();
}

void MapWidget::insertAfter(TList<ParseNode*> clauses)
{
    if (clauses.isEmpty())
        return;
    ParseNode* parent = clauses.first()->parent() ? clauses.first()->parent() : root;
    int last = -1;
    for (ParseNode* clause : clauses)
        last = std::max(last, int(parent->children.indexOf(clause)));
    ParseNode* slot = new ParseNode(ParseNode::Group);
    if (last < 0) {
        qDebug() << "invalid after index = -1";
        delete slot;
    } else if (parent->type != ParseNode::Or || parent->children.size() < 2) {
        if (last == parent->children.size() - 1)
            parent->addChild(slot);
        else
            parent->insertChild(last + 1, slot);
    } else {
        // After clauses of a choice: they move into a new sequence that
        // ends with the slot. Each goes to the position it had in the
        // choice at its turn, which reverses adjacent clauses.
        ParseNode* sequence = new ParseNode(ParseNode::And);
        for (ParseNode* clause : clauses) {
            const int j = parent->children.indexOf(clause);
            if (j < 0)
                continue;
            insertClamped(sequence, j, takeChild(parent, j));
        }
        sequence->addChild(slot);
        if (last == parent->children.size() - 1)
            parent->addChild(sequence);
        else
            insertClamped(parent, last + 1, sequence);
    }
    relayout();
    update();
    pushHistory();
    emit actionPerformed();
}

void MapWidget::insertIterator(TList<ParseNode*> clauses)
{
    insertOperator(clauses, true);
    relayout();
    update();
}

void MapWidget::insertChoice(TList<ParseNode*> clauses)
{
    insertOperator(clauses, false);
    relayout();
    update();
}

void MapWidget::insertOperator(const TList<ParseNode*>& clauses, bool iterator)
{
    if (clauses.isEmpty())
        return;
    ParseNode* parent = clauses.first()->parent() ? clauses.first()->parent() : root;

    if (!iterator) {
        // A further branch for a choice.
        ParseNode* target = nullptr;
        if (parent->type == ParseNode::Or)
            target = parent;
        else if (clauses.size() == 1 && clauses.first()->type == ParseNode::Or)
            target = clauses.first();
        if (target) {
            target->addChild(new ParseNode(ParseNode::Group));
            pushHistory();
            emit actionPerformed();
            return;
        }
    }

    QList<int> indices;
    for (ParseNode* clause : clauses) {
        const int index = parent->children.indexOf(clause);
        if (index < 0)
            qDebug() << "clause is not a child of its parent";
        else if (!indices.contains(index))
            indices.append(index);
    }
    std::sort(indices.begin(), indices.end());
    if (!indices.isEmpty()) {
        ParseNode* wrapper = new ParseNode(iterator ? ParseNode::Group : ParseNode::Or);
        ParseNode* receiver = wrapper;
        if (iterator && indices.size() >= 2
            && (parent->type == ParseNode::And || parent->type == ParseNode::Or)) {
            receiver = new ParseNode(parent->type);
            wrapper->addChild(receiver);
        }
        QList<ParseNode*> taken;
        for (int i = indices.size() - 1; i >= 0; --i)
            taken.prepend(takeChild(parent, indices.at(i)));
        for (ParseNode* node : taken)
            receiver->addChild(node);
        parent->insertChild(indices.first(), wrapper);
        if (!iterator && wrapper->children.size() == 1)
            wrapper->addChild(new ParseNode(ParseNode::Group));
    }
    pushHistory();
    emit actionPerformed();
}

void MapWidget::insertStack(ParseNode* node)
{
    if (!node)
        return;
    const BinItem stacked(node->glyph);
    BinItem glyph = EmptyItem(false, nullptr);
    glyph.children = stacked.flatten();
    node->setGlyph(glyph);
    relayout();
    update();
    pushHistory();
    emit actionPerformed();
}

void MapWidget::insertNegation(ParseNode* node)
{
    if (!node)
        return;
    ParseNode* negation = new ParseNode(ParseNode::Not);
    ParseNode* copy = node->clone();
    negation->addChild(copy);
    // The copy already holds the node's children: they go with the node.
    if (!swapNode(node, negation, false))
        delete negation;
    relayout();
    update();
    pushHistory();
    emit actionPerformed();
}

void MapWidget::placeNode(ParseNode* leaf)
{
    if (!leaf || !root)
        return;
    ParseNode* target = nullptr;
    QList<ParseNode*> queue{root};
    for (int i = 0; i < queue.size() && !target; ++i) {
        ParseNode* node = queue.at(i);
        if (node->type == ParseNode::Group)
            target = node;
        else
            queue.append(node->children);
    }
    if (!target || !replaceNode(target, leaf))
        root->addChild(leaf);
    relayout();
    update();
    pushHistory();
    emit actionPerformed();
}

// ---------------------------------------------------------------------------
// Layout

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
            break;

        double x = margin;
        bool cut = false;
        for (ParseNode* child : root->children) {
            // Every item of a child lies right of where the child starts, so
            // a try whose next child starts beyond the fitting edge cannot
            // fit: the rest of it is not built (the last try is built whole).
            if (attempt < 9 && x >= width() - margin) {
                cut = true;
                break;
            }
            TList<BinItem*> list;
            layoutTree(child, list, x, centre, int(extent));
            if (!list.isEmpty())
                x = int(gap + list.last()->right());
            items.append(list);
        }
        if (!cut && (items.isEmpty() || (width() - margin) > items.last()->right()))
            break;
    }
    clearSelection();
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

// ---------------------------------------------------------------------------
// Painting

void MapWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillRect(rect(), background);
    QPen pen;
    QBrush brush;
    for (BinItem* item : items)
        item->paint(&painter, pen, brush);
    if (dragging && !(dragStartX == -1.0 && dragStartY == -1.0)
        && !(dragEndX == -1.0 && dragEndY == -1.0)) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(QColor(0, 0, 255, 150), 3, Qt::SolidLine));
        painter.drawRect(QRectF(QPointF(dragStartX, dragStartY), QPointF(dragEndX, dragEndY))
                             .normalized());
    }
}

// ---------------------------------------------------------------------------
// Mouse

void MapWidget::mousePressEvent(QMouseEvent* event)
{
    pressX = qRound(event->localPos().x());
    pressY = qRound(event->localPos().y());
    singleClickTimer->stop();
    rightButton = event->button() == Qt::RightButton;
    if (clickPending) {
        doubleClick();
        return;
    }
    singleClickTimer->start();
    clickPending = true;
}

void MapWidget::doubleClick()
{
    clickPending = false;
    qDebug() << "double click";
    BinItem* item = itemAt(pressX, pressY);
    if (!item || rewrite)
        return;
    ParseNode* node = itemNode.value(item, nullptr);
    if (node && isOperatorKind(node->type)) {
        // A bounded repetition's label selects nothing.
        if (node->type != ParseNode::Repeat)
            selectNode(node);
    } else if (item->mode == NORMAL && node) {
        QPointer<MapWidget> self(this);
        editCondition(node);
        if (!self)
            return;
    }
    emit selectionChanged(selectedItems());
}

void MapWidget::editCondition(ParseNode* node)
{
    const QString text = node->glyph.condition ? node->glyph.condition->toString()
                                               : QStringLiteral("true");
    QPointer<QueryWidget> dialog = new QueryWidget(owner, text, this);
    dialog->setMode(node->glyph.quantifier);
    QPointer<MapWidget> self(this);
    const int result = dialog->exec();
    if (!self || !dialog)
        return;
    const QString condition = dialog->textEdit->toPlainText().trimmed();
    const int mode = dialog->matchMode;
    delete dialog;
    if (result != QDialog::Accepted || !inTree(node))
        return;
    GlyphStore* store = owner ? owner->glyphStore : nullptr;
    ParseNode* tree = ConditionParser::parse(condition, store ? &store->attributeColumns : nullptr);
    // The leaf owns its condition.
    delete node->glyph.condition;
    node->glyph.condition = tree;
    node->glyph.quantifier = mode;
    pushHistory();
    relayout();
    update();
    emit actionPerformed();
}

void MapWidget::singleClickTimeOut()
{
    clickPending = false;
    singleClickTimer->stop();
    clearSelection();
    for (BinItem* item : items) {
        if (item->contains(pressX, pressY))
            item->selected = true;
    }
    const TList<BinItem*> selection = selectedItems();
    bool accepted = false;
    if (selection.size() == 1 && (isPlaceholder(selection.at(0)) || rightButton)) {
        QPointer<MapWidget> self(this);
        accepted = runPopup(selection.at(0));
        if (!self)
            return;
    }
    setFocus();
    if (!rewrite)
        emit selectionChanged(selectedItems());
    if (!accepted)
        update();
}

TList<BinItem> MapWidget::completerGlyphs(bool stacked) const
{
    TList<BinItem> out;
    GlyphStore* store = owner ? owner->glyphStore : nullptr;
    if (!store)
        return out;
    const TList<BinItem>& glyphs = store->glyphs;
    if (!rewrite) {
        for (int i = 0; i < glyphs.size(); ++i) {
            if (i != 1)
                out.append(glyphs.at(i));
        }
        // The first glyph of every rule whose precondition has one; a
        // precondition of one bare item is that item.
        for (const Rule& rule : store->rules) {
            if (!rule.pre)
                continue;
            if (rule.pre->hasChildren())
                out.append(rule.pre->children.first()->glyph);
            else if (rule.pre->type == ParseNode::Leaf)
                out.append(rule.pre->glyph);
        }
        if (stacked)
            out.append(store->noneGlyph);
    } else {
        for (int i = 0; i < glyphs.size(); ++i) {
            if (i != 0 && i != 2)
                out.append(glyphs.at(i));
        }
        out.append(store->colorGlyphs);
    }
    return out;
}

void MapWidget::placePopup(QDialog* dialog)
{
    dialog->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    dialog->adjustSize();
    const int dx = std::max(0, pressX + dialog->width() - width()) + 5;
    const int dy = std::max(0, pressY + dialog->height() - height()) + 5;
    const QPoint press = mapToGlobal(QPoint(pressX, pressY));
    ScreenPlacement::moveOnScreen(dialog, press - QPoint(dx, dy), press);
}

bool MapWidget::runPopup(BinItem* item)
{
    ParseNode* node = itemNode.value(item, nullptr);
    const bool modifier = item->mode == EMPTYSMALL || (node && isOperatorKind(node->type));
    // What the item shows is read now: a resize while the popup is open
    // lays the items out again.
    TList<BinItem> stacked;
    if (!item->children.isEmpty())
        stacked = item->flatten().mid(1);

    delete popup;
    popup = nullptr;
    if (modifier)
        popup = new ModifierCompleter(owner, this);
    else
        popup = new EventCompleter(completerGlyphs(!stacked.isEmpty()), owner, rewrite, this);
    placePopup(popup);
    QPointer<MapWidget> self(this);
    QPointer<QDialog> dialog(popup);
    const int result = popup->exec();
    if (!self)
        return false;
    setFocus();
    if (!dialog || result != QDialog::Accepted)
        return false;
    // A popup for an item that stands for no node changes nothing.
    if (!node || !inTree(node))
        return true;

    ParseNode* replacement = nullptr;
    if (modifier) {
        auto* completer = static_cast<ModifierCompleter*>(dialog.data());
        const int start = completer->min;
        const int end = completer->max;
        if (start == 0 && end == -1) {
            replacement = new ParseNode(ParseNode::Star);
        } else if (start == 1 && end == -1) {
            replacement = new ParseNode(ParseNode::Plus);
        } else {
            replacement = new ParseNode(ParseNode::Repeat);
            replacement->value = TVariant(double(start), double(end));
        }
    } else {
        auto* completer = static_cast<EventCompleter*>(dialog.data());
        const QString name = completer->result;
        // Accepted by a press outside the popup, nothing picked.
        if (name.isEmpty())
            return true;
        BinItem glyph(nullptr, nullptr);
        if (name == completer->addNewLabel) {
            QPointer<GlyphEditorWidget> editor = new GlyphEditorWidget(nullptr, owner, this);
            const int answer = editor->exec();
            if (!self)
                return false;
            if (!editor)
                return true;
            if (answer != QDialog::Accepted) {
                delete editor;
                return true;
            }
            glyph = *editor->glyph;
            delete editor;
            if (!inTree(node))
                return true;
        } else if (completer->picked >= 0 && completer->picked < completer->glyphs.size()) {
            // The entry itself: two entries may share a name (a rule's
            // first glyph with its condition beside the stored glyph).
            glyph = completer->glyphs[completer->picked];
        } else {
            glyph = findGlyph(name, completer->glyphs);
        }
        for (const BinItem& extra : stacked)
            glyph.children.append(extra);
        replacement = new ParseNode(ParseNode::Leaf);
        replacement->setGlyph(glyph);
    }

    if (!replaceNode(node, replacement)) {
        delete replacement;
        return true;
    }
    relayout();
    if (BinItem* shown = nodeItem.value(replacement, nullptr))
        shown->selected = true;
    emit selectionChanged(selectedItems());
    update();
    return true;
}

BinItem MapWidget::findGlyph(const QString& name, const TList<BinItem>& offered) const
{
    GlyphStore* store = owner ? owner->glyphStore : nullptr;
    if (store) {
        BinItem probe(nullptr, nullptr);
        probe.name = name;
        if (store->hasGlyph(probe) || name == store->noneGlyph.name)
            return store->findGlyph(name);
    }
    // A glyph the store does not list (the first glyph of a rule): the one
    // the completer showed.
    for (const BinItem& glyph : offered) {
        if (glyph.name == name)
            return glyph;
    }
    return store ? store->findGlyph(name) : BinItem(EmptyItem(false, nullptr));
}

void MapWidget::mouseMoveEvent(QMouseEvent* event)
{
    const int mx = qRound(event->localPos().x());
    const int my = qRound(event->localPos().y());
    if (dragging) {
        dragEndX = mx;
        dragEndY = my;
    }
    mouseX = mx;
    mouseY = my;
    bool changed = false;
    for (BinItem* item : items) {
        const bool over = item->contains(mx, my);
        if (over != item->highlighted) {
            item->highlighted = over;
            changed = true;
        }
    }

    // A text cursor over the row of items.
    bool overRow = false;
    if (!items.isEmpty()) {
        double top = items.first()->top();
        double bottom = items.first()->bottom();
        for (BinItem* item : items) {
            top = std::min(top, item->top());
            bottom = std::max(bottom, item->bottom());
        }
        overRow = mx >= items.first()->left() && mx <= items.last()->right() && my >= top
                  && my <= bottom;
    }
    setCursor(overRow ? Qt::IBeamCursor : Qt::ArrowCursor);

    if (dragging) {
        dragTimer->start();
        update();
        return;
    }
    const float dx = float(mx - pressX);
    const float dy = float(my - pressY);
    if ((event->buttons() & Qt::LeftButton) && std::sqrt(dx * dx + dy * dy) > dragDistance) {
        qDebug() << "dragging";
        dragging = true;
        // A drag is no click: the waiting press is dropped, so that it
        // cannot replace the rubber band's selection afterwards.
        singleClickTimer->stop();
        clickPending = false;
        dragTimer->start();
        dragStartX = pressX;
        dragStartY = pressY;
        dragEndX = mx;
        dragEndY = my;
        update();
        return;
    }
    if (changed)
        update();
}

void MapWidget::dragTimeOut()
{
    rubberBandSelect();
    dragTimer->stop();
    update();
}

void MapWidget::rubberBandSelect()
{
    dragEndX = mouseX;
    dragEndY = mouseY;
    const double x1 = std::min(dragStartX, dragEndX);
    const double x2 = std::max(dragStartX, dragEndX);
    const double y1 = std::min(dragStartY, dragEndY);
    const double y2 = std::max(dragStartY, dragEndY);
    for (BinItem* item : items) {
        if (item->left() >= x1 && item->right() <= x2 && item->top() >= y1 && item->bottom() <= y2)
            item->selected = true;
    }
    emit selectionChanged(selectedItems());
    update();
}

void MapWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (!dragging)
        return;
    dragTimer->stop();
    const QPointF p = event->localPos();
    if (p.x() >= 0 && p.x() <= width() && p.y() >= 0 && p.y() <= height())
        dragTimeOut();
    dragging = false;
    dragStartX = dragStartY = dragEndX = dragEndY = -1.0;
}

void MapWidget::enterEvent(QEvent*)
{
    pointerInside = true;
    dragging = false;
    dragStartX = dragStartY = dragEndX = dragEndY = -1.0;
    update();
}

void MapWidget::leaveEvent(QEvent*)
{
    pointerInside = false;
    rightButton = false;
    if (dragging) {
        rubberBandSelect();
        dragTimer->stop();
    }
    dragging = false;
    dragStartX = dragStartY = dragEndX = dragEndY = -1.0;
    mouseX = mouseY = -1.0;
    clearHighlight();
    update();
}

// ---------------------------------------------------------------------------
// Keys

void MapWidget::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key != Qt::Key_Left && key != Qt::Key_Right && key != Qt::Key_Delete) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    const int before = historyIndex;
    try {
        if (key == Qt::Key_Delete) {
            QMutexLocker locker(mutex);
            deleteSelection(selectedItems());
        } else {
            ParseNode* target = key == Qt::Key_Left ? selectPrevious() : selectNext();
            // The relayout makes new, unselected items: select again.
            relayout();
            if (target)
                selectNode(target);
            update();
        }
    } catch (const std::exception& e) {
        qDebug() << "key action failed:" << e.what();
        restoreHistory(before);
    } catch (...) {
        qDebug() << "key action failed";
        restoreHistory(before);
    }
}

void MapWidget::restoreHistory(int index)
{
    // Whatever a failed action recorded goes, and the tree is the one
    // recorded before it.
    if (index < 0 || index >= history.size()) {
        reset();
        return;
    }
    while (history.size() > index + 1)
        delete history.takeLast();
    historyIndex = index;
    loadHistory(index);
}
