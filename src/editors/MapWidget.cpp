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
#include <memory>
#include <new>
#include <vector>

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/HandlerGuard.h"
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

// Appends a new item to a list that owns it from then on; out of memory it
// is freed.
template <typename T>
T* adopt(TList<BinItem*>& out, T* item)
{
    std::unique_ptr<T> held(item);
    out.append(held.get());
    return held.release();
}

// ParseNode::insertChild wants an index within 0 .. child count.
void insertClamped(ParseNode* parent, int index, ParseNode* child)
{
    parent->insertChild(std::max(0, std::min(index, int(parent->children.size()))), child);
}

// Moves the child at `from` of one node to `to` (clamped) of another; out of
// memory it stays where it was.
void moveChild(ParseNode* source, int from, ParseNode* target, int to)
{
    // Both lists are made to hold the change before either changes.
    source->children.detach();
    ParseNode* child = source->children.at(from);
    insertClamped(target, to, child);
    source->children.removeAt(from);
    child->parentNode = target;
}

} // namespace

MapWidget::MapWidget(bool rewrite, ControlWidget* owner, QWidget* parent)
    : QWidget(parent), owner(owner), rewrite(rewrite)
{
    // A constructor that throws runs no destructor: what it made goes here.
    try {
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
        // A drag that rests for 500 ms selects what its rectangle holds; a
        // press waits 300 ms for a second one (a double click).
        dragTimer = new QTimer(this);
        dragTimer->setInterval(500);
        connect(dragTimer, &QTimer::timeout, this, &MapWidget::dragTimeOut);
        singleClickTimer = new QTimer(this);
        singleClickTimer->setInterval(300);
        connect(singleClickTimer, &QTimer::timeout, this, &MapWidget::singleClickTimeOut);
    } catch (...) {
        release();
        throw;
    }
}

QSize MapWidget::sizeHint() const
{
    return QSize(200, 200);
}

MapWidget::~MapWidget()
{
    release();
}

void MapWidget::release()
{
    deleteItems();
    delete root;
    root = nullptr;
    qDeleteAll(history);
    history.clear();
    delete mutex;
    mutex = nullptr;
}

// ---------------------------------------------------------------------------
// Tree and history

MapWidget::Prepared::~Prepared()
{
    for (BinItem* item : items.items)
        delete item;
    qDeleteAll(history);
}

void MapWidget::reset()
{
    Prepared next = prepareRoot(nullptr);
    showRoot(next);
}

void MapWidget::setRoot(ParseNode* tree)
{
    Prepared next = prepareRoot(tree);
    showRoot(next);
}

MapWidget::Prepared MapWidget::prepareRoot(ParseNode* tree)
{
    Prepared next;
    if (!tree) {
        std::unique_ptr<ParseNode> sequence(new ParseNode(ParseNode::And));
        std::unique_ptr<ParseNode> slot(new ParseNode(ParseNode::Group));
        sequence->addChild(slot.get());
        slot.release();
        next.root = std::move(sequence);
    } else {
        // Ours from here on, freed when memory runs out before it is shown.
        // The tree shown is never handed in again: it is copied then.
        std::unique_ptr<ParseNode> held(tree != root ? tree : new ParseNode(*tree));
        held->parentNode = nullptr;
        if (held->type != ParseNode::And) {
            // The editor's tree is always a sequence.
            std::unique_ptr<ParseNode> sequence(new ParseNode(ParseNode::And));
            sequence->addChild(held.get());
            held.release();
            held = std::move(sequence);
        }
        next.root = std::move(held);
    }
    std::unique_ptr<ParseNode> entry(new ParseNode(*next.root));
    next.history.append(entry.get());
    entry.release();

    // Laid out in this widget's place, which is put back as it was.
    Prepared shown;
    takeLayout(shown);
    ParseNode* old = root;
    root = next.root.get();
    try {
        buildItems();
    } catch (...) {
        deleteItems();
        putLayout(shown);
        root = old;
        throw;
    }
    takeLayout(next);
    putLayout(shown);
    root = old;
    return next;
}

void MapWidget::showRoot(Prepared& next)
{
    if (!next.root)
        return;
    Prepared old;
    takeLayout(old);
    putLayout(next);
    old.root.reset(root);
    root = next.root.release();
    history.swap(next.history);
    // The entries of the old history go, unless a guarded action keeps them.
    for (ParseNode* dropped : qAsConst(next.history))
        dropEntry(dropped);
    next.history.clear();
    historyIndex = 0;
    // The tree is shown whole; should those who follow the selection (the
    // ribbon's buttons) run out of memory, it stays shown and the user is
    // told, so that a change of several editors is never half made.
    try {
        clearSelection();
        update();
    } catch (const std::bad_alloc&) {
        HandlerGuard::failed();
    }
}

void MapWidget::takeLayout(Prepared& to)
{
    to.items.items.swap(items.items);
    to.itemNode.swap(itemNode);
    to.nodeItem.swap(nodeItem);
    to.itemSize = itemSize;
    to.slotSize = slotSize;
    to.labelHeight = labelHeight;
}

void MapWidget::putLayout(Prepared& from)
{
    items.items.swap(from.items.items);
    itemNode.swap(from.itemNode);
    nodeItem.swap(from.nodeItem);
    itemSize = from.itemSize;
    slotSize = from.slotSize;
    labelHeight = from.labelHeight;
}

void MapWidget::pushHistory()
{
    if (!root)
        return;
    std::unique_ptr<ParseNode> copy(new ParseNode(*root));
    copy->parentNode = nullptr;
    // The entry goes in before the redo branch goes: out of memory the
    // history stays as it was.
    const int index = std::max(0, historyIndex + 1);
    history.insert(std::min(index, int(history.size())), copy.get());
    copy.release();
    while (history.size() > index + 1)
        dropEntry(history.takeLast());
    historyIndex = index;
}

void MapWidget::dropEntry(ParseNode* entry)
{
    if (keptHistory && keptHistory->contains(entry))
        return;
    delete entry;
}

void MapWidget::loadHistory(int index)
{
    if (index < 0 || index >= history.size())
        return;
    // The copy and its items are made while the tree they replace stays:
    // out of memory the editor keeps its tree, its items and its index.
    std::unique_ptr<ParseNode> copy(new ParseNode(*history.at(index)));
    copy->parentNode = nullptr;
    ParseNode* old = root;
    root = copy.get();
    try {
        layoutItems();
    } catch (...) {
        root = old;
        throw;
    }
    copy.release();
    delete old;
    historyIndex = index;
    clearSelection();
    update();
}

void MapWidget::undo()
{
    loadHistory(std::max(0, historyIndex - 1));
}

void MapWidget::redo()
{
    loadHistory(std::min(historyIndex + 1, int(history.size()) - 1));
}

bool MapWidget::guardAction(const QString& title, bool edits, void (*run)(void*), void* work)
{
    if (guardDepth > 0) {
        run(work);
        return true;
    }
    // What the editor was before the action: the history's list (shared,
    // not copied), its index, a copy of the tree and the selected items.
    const QList<ParseNode*> entries = history;
    const int index = historyIndex;
    std::unique_ptr<ParseNode> tree;
    TList<int> selected;
    try {
        if (edits && root)
            tree.reset(new ParseNode(*root));
        for (int i = 0; i < items.size(); ++i) {
            if (items.at(i)->selected)
                selected.append(i);
        }
    } catch (const std::bad_alloc&) {
        // Nothing done yet.
        reportMemory(title);
        return false;
    }

    bool memory = false;
    keptHistory = &entries;
    ++guardDepth;
    try {
        run(work);
        --guardDepth;
        keptHistory = nullptr;
        // The entries the action dropped go now. It changes the list only
        // after its start: past the common beginning.
        if (!history.isSharedWith(entries)) {
            int same = 0;
            while (same < entries.size() && same < history.size() && entries.at(same) == history.at(same))
                ++same;
            for (int i = same; i < entries.size(); ++i) {
                if (history.indexOf(entries.at(i), same) < 0)
                    delete entries.at(i);
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        memory = true;
    } catch (const std::exception& e) {
        try {
            qWarning("the pattern editor's action failed: %s", e.what());
        } catch (...) {
        }
    } catch (...) {
    }
    --guardDepth;
    keptHistory = nullptr;
    rollBack(entries, index, std::move(tree), selected);
    if (memory)
        reportMemory(title);
    return false;
}

void MapWidget::rollBack(const QList<ParseNode*>& entries, int index, std::unique_ptr<ParseNode> tree,
                         const TList<int>& selected)
{
    // The entries the action added go; those it dropped were kept.
    for (ParseNode* entry : qAsConst(history)) {
        if (!entries.contains(entry))
            delete entry;
    }
    history = entries;
    historyIndex = index;
    if (tree) {
        // The items point into the tree that goes.
        deleteItems();
        delete root;
        root = tree.release();
        try {
            layoutItems();
        } catch (...) {
            // Not even the old layout found memory: the editor shows no
            // items until it is laid out again, its tree and history whole.
        }
    }
    for (BinItem* item : items)
        item->selected = false;
    for (int i : selected) {
        if (i < items.size())
            items[i]->selected = true;
    }
    update();
    // The ribbon's buttons follow the tree and the selection back.
    try {
        emit actionPerformed();
        emit selectionChanged(selectedItems());
    } catch (...) {
    }
}

void MapWidget::reportMemory(const QString& title)
{
    try {
        qWarning("the pattern editor ran out of memory");
    } catch (...) {
    }
    MessageAsker::ask(QMessageBox::Warning, title,
                      QStringLiteral("The pattern editor ran out of memory. The pattern and its history are as "
                                     "they were before."),
                      QMessageBox::Ok, window());
}

namespace {

// Walks the tree on the stack, allocating nothing: a pattern is shallow.
bool holds(const ParseNode* tree, const ParseNode* node)
{
    if (tree == node)
        return true;
    for (const ParseNode* child : tree->children) {
        if (holds(child, node))
            return true;
    }
    return false;
}

} // namespace

bool MapWidget::inTree(const ParseNode* node) const
{
    return node && root && holds(root, node);
}

ParseNode* MapWidget::removeEpsilons() const
{
    if (!root)
        return nullptr;
    // Freed should memory run out on the way.
    std::unique_ptr<ParseNode> copy(new ParseNode(*root));
    copy->parentNode = nullptr;
    std::vector<ParseNode*> pending{copy.get()};
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
    return copy.release();
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
    // Never freed here: the tree takes it, or the caller keeps it.
    std::unique_ptr<ParseNode> held(repl);
    struct LetGo
    {
        std::unique_ptr<ParseNode>& node;
        ~LetGo() { node.release(); }
    } letGo{held};
    return swapNode(old, held, true);
}

bool MapWidget::swapNode(ParseNode* old, std::unique_ptr<ParseNode>& repl, bool moveChildren)
{
    if (!old || !repl || old == repl.get())
        return false;
    ParseNode* parent = old->parent();
    const int index = parent ? parent->children.indexOf(old) : -1;
    if (index < 0) {
        // Checked first: without a place for repl nothing may move.
        qDebug() << "Parent does not exist issue....";
        return false;
    }
    // What may need memory comes first, and each such step happens whole or
    // not at all: the parent's list is made its own, the children move in
    // one piece, then repl takes old's place.
    parent->children.detach();
    if (moveChildren && !old->children.isEmpty()) {
        if (repl->children.isEmpty())
            repl->children.swap(old->children);
        else {
            repl->children.append(old->children);
            old->children.clear();
        }
        for (ParseNode* child : qAsConst(repl->children))
            child->parentNode = repl.get();
    }
    parent->children.replace(index, repl.get());
    repl.release()->parentNode = parent;
    old->parentNode = nullptr;
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
        std::unique_ptr<ParseNode> slot(new ParseNode(ParseNode::Group));
        ParseNode* placed = slot.get();
        if (!swapNode(node, slot, true))
            return nullptr;
        return placed;
    }

    // Each change below is made whole before anything is taken apart, so
    // that running out of memory leaves every node in one place.
    if (node->hasChildren()) {
        // The content takes the node's place.
        QList<ParseNode*> siblings;
        siblings.reserve(parent->children.size() + node->children.size() - 1);
        for (int i = 0; i < parent->children.size(); ++i) {
            if (i == index)
                siblings.append(node->children);
            else
                siblings.append(parent->children.at(i));
        }
        parent->children.swap(siblings);
        for (ParseNode* child : qAsConst(node->children))
            child->parentNode = parent;
        node->children.clear();
        node->parentNode = nullptr;
        delete node;
    } else if (parent == root && root->children.size() == 1) {
        std::unique_ptr<ParseNode> slot(new ParseNode(ParseNode::Group));
        ParseNode* only = root->children.at(0);
        root->children.replace(0, slot.get());
        slot.release()->parentNode = root;
        delete only;
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
            ParseNode* only = parent->children.at(0);
            grand->children.replace(at, only);
            only->parentNode = grand;
            parent->children.clear();
            parent->parentNode = nullptr;
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
    if (index >= 0) {
        std::unique_ptr<ParseNode> inserted(new ParseNode(ParseNode::Group));
        if (parent->type == ParseNode::Or && clauses.size() > 1) {
            std::unique_ptr<ParseNode> choice(new ParseNode(ParseNode::Or));
            choice->addChild(inserted.get());
            inserted.release();
            inserted = std::move(choice);
        }
        parent->insertChild(index, inserted.get());
        inserted.release();
    } else {
        qDebug() << "invalid before index = -1";
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
    if (last < 0) {
        qDebug() << "invalid after index = -1";
    } else if (parent->type != ParseNode::Or || parent->children.size() < 2) {
        std::unique_ptr<ParseNode> slot(new ParseNode(ParseNode::Group));
        if (last == parent->children.size() - 1)
            parent->addChild(slot.get());
        else
            parent->insertChild(last + 1, slot.get());
        slot.release();
    } else {
        // After clauses of a choice: they move into a new sequence that
        // ends with the slot. Each goes to the position it had in the
        // choice at its turn, which reverses adjacent clauses.
        std::unique_ptr<ParseNode> sequence(new ParseNode(ParseNode::And));
        for (ParseNode* clause : clauses) {
            const int j = parent->children.indexOf(clause);
            if (j < 0)
                continue;
            moveChild(parent, j, sequence.get(), j);
        }
        std::unique_ptr<ParseNode> slot(new ParseNode(ParseNode::Group));
        sequence->addChild(slot.get());
        slot.release();
        if (last == parent->children.size() - 1)
            parent->addChild(sequence.get());
        else
            insertClamped(parent, last + 1, sequence.get());
        sequence.release();
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
            std::unique_ptr<ParseNode> slot(new ParseNode(ParseNode::Group));
            target->addChild(slot.get());
            slot.release();
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
        std::unique_ptr<ParseNode> wrapper(new ParseNode(iterator ? ParseNode::Group : ParseNode::Or));
        ParseNode* receiver = wrapper.get();
        if (iterator && indices.size() >= 2
            && (parent->type == ParseNode::And || parent->type == ParseNode::Or)) {
            std::unique_ptr<ParseNode> inner(new ParseNode(parent->type));
            wrapper->addChild(inner.get());
            receiver = inner.release();
        }
        // From the last to the first, each to the front: they keep their
        // order.
        for (int i = indices.size() - 1; i >= 0; --i)
            moveChild(parent, indices.at(i), receiver, 0);
        if (!iterator && wrapper->children.size() == 1) {
            std::unique_ptr<ParseNode> slot(new ParseNode(ParseNode::Group));
            wrapper->addChild(slot.get());
            slot.release();
        }
        parent->insertChild(indices.first(), wrapper.get());
        wrapper.release();
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
    std::unique_ptr<ParseNode> negation(new ParseNode(ParseNode::Not));
    std::unique_ptr<ParseNode> copy(node->clone());
    negation->addChild(copy.get());
    copy.release();
    // The copy already holds the node's children: they go with the node.
    swapNode(node, negation, false);
    relayout();
    update();
    pushHistory();
    emit actionPerformed();
}

void MapWidget::placeNode(ParseNode* leaf)
{
    std::unique_ptr<ParseNode> held(leaf);
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
    if (!target || !swapNode(target, held, true)) {
        root->addChild(held.get());
        held.release();
    }
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
    layoutItems();
    clearSelection();
}

void MapWidget::layoutItems()
{
    // The new items are made while the old ones are set aside, and the old
    // ones go only once the new ones are all made: out of memory the old
    // layout (items, both hashes and sizes) is put back as it was.
    Prepared old;
    takeLayout(old);
    try {
        buildItems();
    } catch (...) {
        deleteItems();
        putLayout(old);
        throw;
    }
}

void MapWidget::buildItems()
{
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
            const int before = items.size();
            layoutTree(child, items, x, centre, int(extent));
            if (items.size() > before)
                x = int(gap + items.last()->right());
        }
        if (!cut && (items.isEmpty() || (width() - margin) > items.last()->right()))
            break;
    }
}

void MapWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // Out of memory the old layout stays, drawn at its size.
    guardAction(QStringLiteral("Failed to lay out the pattern"), false, [this] { relayout(); });
    HandlerGuard::run([this] { update(); });
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
        label = adopt(out, new EmptyItem(true, this));
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
        label = adopt(out, new TextItem(text, true, this));
    }
    label->setWidth(labelWidth);
    label->setHeight(labelHeight);
    // Raised to the top of the node's extent, like an exponent.
    label->setX(x);
    label->setY(y - subtreeExtent(node) / 2 - labelHeight / 2);
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
        TextItem* item = adopt(out, new TextItem(text, framed, this));
        item->setWidth(charWidth * text.length());
        item->setHeight(height);
        item->setX(left);
        item->setY(y - int(height) / 2);
        return item;
    };

    switch (node->type) {
    case ParseNode::Epsilon:
        qDebug() << "epsilons are not allowed in mapwidget";
        break;

    case ParseNode::Leaf: {
        BinItem* item = adopt(out, new BinItem(node->glyph));
        item->owner = this;
        item->setWidth(itemSize);
        item->setHeight(itemSize);
        item->setX(x);
        item->setY(y - itemSize / 2);
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
                EmptyItem* slot = adopt(out, new EmptyItem(false, this));
                slot->setWidth(slotSize);
                slot->setHeight(slotSize);
                slot->setX(x);
                slot->setY(y - slotSize / 2);
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
    HandlerGuard::paint(this, [this] {
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
    });
}

// ---------------------------------------------------------------------------
// Mouse

// The mouse's handlers and the timers' slots end their own running out of
// memory: the actions they start have their own guards and messages, the
// rest (the timers, the cursor, a repaint asked for) is the window's.

void MapWidget::mousePressEvent(QMouseEvent* event)
{
    pressX = qRound(event->localPos().x());
    pressY = qRound(event->localPos().y());
    rightButton = event->button() == Qt::RightButton;
    HandlerGuard::run([this] {
        singleClickTimer->stop();
        if (clickPending) {
            doubleClick();
            return;
        }
        singleClickTimer->start();
        clickPending = true;
    });
}

void MapWidget::doubleClick()
{
    clickPending = false;
    const QString title = QStringLiteral("Failed to select");
    ParseNode* glyphNode = nullptr;   // a glyph's node: its condition dialog opens
    guardAction(title, false, [&] {
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
            glyphNode = node;
            return;
        }
        emit selectionChanged(selectedItems());
    });
    if (!glyphNode)
        return;
    QPointer<MapWidget> self(this);
    editCondition(glyphNode);
    if (!self)
        return;
    guardAction(title, false, [this] { emit selectionChanged(selectedItems()); });
}

void MapWidget::editCondition(ParseNode* node)
{
    const QString title = QStringLiteral("Failed to edit the condition");
    // What the dialog gives counts only when nothing ran out of memory from
    // its making to its end (that failure was told where it happened).
    const unsigned long failures = HandlerGuard::failures();
    QPointer<QueryWidget> dialog;
    try {
        const QString text = node->glyph.condition ? node->glyph.condition->toString()
                                                   : QStringLiteral("true");
        dialog = new QueryWidget(owner, text, this);
        dialog->setMode(node->glyph.quantifier);
    } catch (const std::bad_alloc&) {
        delete dialog;
        reportMemory(title);
        return;
    }
    QPointer<MapWidget> self(this);
    const int result = dialog->exec();
    if (!self || !dialog)
        return;
    const bool whole = HandlerGuard::failures() == failures;
    QString condition;
    int mode = 0;
    const bool read = guardAction(title, false, [&] {
        condition = dialog->textEdit->toPlainText().trimmed();
        mode = dialog->matchMode;
    });
    delete dialog;
    if (!read || !whole || result != QDialog::Accepted || !inTree(node))
        return;
    guardAction(title, true, [&] {
        GlyphStore* store = owner ? owner->glyphStore : nullptr;
        std::unique_ptr<ParseNode> tree(
            ConditionParser::parse(condition, store ? &store->attributeColumns : nullptr));
        // The leaf owns its condition.
        delete node->glyph.condition;
        node->glyph.condition = tree.release();
        node->glyph.quantifier = mode;
        pushHistory();
        relayout();
        update();
        emit actionPerformed();
    });
}

void MapWidget::singleClickTimeOut()
{
    clickPending = false;
    HandlerGuard::run([this] {
        singleClickTimer->stop();
        BinItem* clicked = nullptr;
        const bool selected = guardAction(QStringLiteral("Failed to select"), false, [&] {
            clearSelection();
            for (BinItem* item : items) {
                if (item->contains(pressX, pressY))
                    item->selected = true;
            }
            const TList<BinItem*> selection = selectedItems();
            if (selection.size() == 1 && (isPlaceholder(selection.at(0)) || rightButton))
                clicked = selection.at(0);
        });
        if (!selected)
            return;
        bool accepted = false;
        if (clicked) {
            QPointer<MapWidget> self(this);
            accepted = runPopup(clicked);
            if (!self)
                return;
        }
        setFocus();
        if (!rewrite)
            guardAction(QStringLiteral("Failed to select"), false,
                        [this] { emit selectionChanged(selectedItems()); });
        if (!accepted)
            update();
    });
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
    const QString title = QStringLiteral("Failed to edit the pattern");
    ParseNode* node = itemNode.value(item, nullptr);
    const bool modifier = item->mode == EMPTYSMALL || (node && isOperatorKind(node->type));
    // What the item shows is read now: a resize while the popup is open
    // lays the items out again.
    TList<BinItem> stacked;
    // The popup's choice counts only when nothing ran out of memory from
    // its making to its end: a list half refilled may show another glyph on
    // the row clicked. That failure was told where it happened.
    unsigned long failures = HandlerGuard::failures();
    try {
        if (!item->children.isEmpty())
            stacked = item->flatten().mid(1);
        // The new popup is made before the last one goes.
        QDialog* made = nullptr;
        if (modifier)
            made = new ModifierCompleter(owner, this);
        else
            made = new EventCompleter(completerGlyphs(!stacked.isEmpty()), owner, rewrite, this);
        delete popup;
        popup = made;
        placePopup(popup);
    } catch (const std::bad_alloc&) {
        reportMemory(title);
        return false;
    }
    QPointer<MapWidget> self(this);
    QPointer<QDialog> dialog(popup);
    const int result = popup->exec();
    if (!self)
        return false;
    setFocus();
    if (!dialog || result != QDialog::Accepted || HandlerGuard::failures() != failures)
        return false;
    // A popup for an item that stands for no node changes nothing.
    if (!node || !inTree(node))
        return true;

    BinItem glyph(nullptr, nullptr);
    bool made = false;   // `glyph` holds the one made in the glyph editor
    int madeId = 0;      // its id in the store
    if (!modifier) {
        auto* completer = static_cast<EventCompleter*>(dialog.data());
        // Accepted by a press outside the popup, nothing picked.
        if (completer->result.isEmpty())
            return true;
        if (completer->result == completer->addNewLabel) {
            QPointer<GlyphEditorWidget> editor;
            failures = HandlerGuard::failures();
            try {
                editor = new GlyphEditorWidget(nullptr, owner, this);
            } catch (const std::bad_alloc&) {
                reportMemory(title);
                return true;
            }
            const int answer = editor->exec();
            if (!self)
                return false;
            if (!editor)
                return true;
            if (answer != QDialog::Accepted) {
                delete editor;
                return true;
            }
            // Accepted, the editor has stored its glyph. Should it not reach
            // the pattern because memory ran out (while the editor was open,
            // after its save, or on the way here), it is taken back: the
            // pattern and the store both stay as they were.
            const int stored = editor->glyph->id;
            if (HandlerGuard::failures() != failures) {
                delete editor;
                forgetGlyph(stored);
                return true;
            }
            made = guardAction(title, false, [&] { glyph = *editor->glyph; });
            delete editor;
            if (!made) {
                forgetGlyph(stored);
                return true;
            }
            if (!inTree(node))
                return true;
            madeId = stored;
        }
    }

    const bool placed = guardAction(title, true, [&] {
        std::unique_ptr<ParseNode> replacement;
        if (modifier) {
            auto* completer = static_cast<ModifierCompleter*>(dialog.data());
            const int start = completer->min;
            const int end = completer->max;
            if (start == 0 && end == -1) {
                replacement.reset(new ParseNode(ParseNode::Star));
            } else if (start == 1 && end == -1) {
                replacement.reset(new ParseNode(ParseNode::Plus));
            } else {
                replacement.reset(new ParseNode(ParseNode::Repeat));
                replacement->value = TVariant(double(start), double(end));
            }
        } else {
            auto* completer = static_cast<EventCompleter*>(dialog.data());
            if (!made) {
                if (completer->picked >= 0 && completer->picked < completer->glyphs.size()) {
                    // The entry itself: two entries may share a name (a rule's
                    // first glyph with its condition beside the stored glyph).
                    glyph = completer->glyphs[completer->picked];
                } else {
                    glyph = findGlyph(completer->result, completer->glyphs);
                }
            }
            for (const BinItem& extra : stacked)
                glyph.children.append(extra);
            replacement.reset(new ParseNode(ParseNode::Leaf));
            replacement->setGlyph(glyph);
        }
        ParseNode* placed = replacement.get();
        if (!swapNode(node, replacement, true))
            return;
        relayout();
        if (BinItem* shown = nodeItem.value(placed, nullptr))
            shown->selected = true;
        emit selectionChanged(selectedItems());
        update();
    });
    if (!placed && made)
        forgetGlyph(madeId);
    return true;
}

void MapWidget::forgetGlyph(int id)
{
    GlyphStore* store = owner ? owner->glyphStore : nullptr;
    if (!store)
        return;
    try {
        TList<BinItem> kept;
        kept.items.reserve(store->glyphs.items.size());
        for (const BinItem& g : store->glyphs.items) {
            if (g.id != id)
                kept.append(g);
        }
        store->glyphs.items.swap(kept.items);
        if (nextGlyphId == id + 1)
            nextGlyphId = id;
    } catch (const std::bad_alloc&) {
        // It stays stored, whole, only not placed; the failure was told.
    }
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
    HandlerGuard::run([&] { trackMouse(event); });
}

void MapWidget::trackMouse(QMouseEvent* event)
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
    HandlerGuard::run([this] {
        rubberBandSelect();
        dragTimer->stop();
        update();
    });
}

void MapWidget::rubberBandSelect()
{
    dragEndX = mouseX;
    dragEndY = mouseY;
    const double x1 = std::min(dragStartX, dragEndX);
    const double x2 = std::max(dragStartX, dragEndX);
    const double y1 = std::min(dragStartY, dragEndY);
    const double y2 = std::max(dragStartY, dragEndY);
    guardAction(QStringLiteral("Failed to select"), false, [&] {
        for (BinItem* item : items) {
            if (item->left() >= x1 && item->right() <= x2 && item->top() >= y1 && item->bottom() <= y2)
                item->selected = true;
        }
        emit selectionChanged(selectedItems());
    });
    update();
}

void MapWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (!dragging)
        return;
    HandlerGuard::run([&] {
        dragTimer->stop();
        const QPointF p = event->localPos();
        if (p.x() >= 0 && p.x() <= width() && p.y() >= 0 && p.y() <= height())
            dragTimeOut();
    });
    dragging = false;
    dragStartX = dragStartY = dragEndX = dragEndY = -1.0;
}

void MapWidget::enterEvent(QEvent*)
{
    pointerInside = true;
    dragging = false;
    dragStartX = dragStartY = dragEndX = dragEndY = -1.0;
    HandlerGuard::run([this] { update(); });
}

void MapWidget::leaveEvent(QEvent*)
{
    pointerInside = false;
    rightButton = false;
    if (dragging) {
        HandlerGuard::run([this] {
            rubberBandSelect();
            dragTimer->stop();
        });
    }
    dragging = false;
    dragStartX = dragStartY = dragEndX = dragEndY = -1.0;
    mouseX = mouseY = -1.0;
    clearHighlight();
    HandlerGuard::run([this] { update(); });
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
    if (key == Qt::Key_Delete) {
        guardAction(QStringLiteral("Failed to delete"), true, [this] {
            QMutexLocker locker(mutex);
            deleteSelection(selectedItems());
        });
        return;
    }
    guardAction(QStringLiteral("Failed to move the selection"), true, [this, key] {
        ParseNode* target = key == Qt::Key_Left ? selectPrevious() : selectNext();
        // The relayout makes new, unselected items: select again.
        relayout();
        if (target)
            selectNode(target);
        update();
    });
}
