#pragma once

#include <QColor>
#include <QHash>
#include <QList>
#include <QWidget>

#include "core/TList.h"

#include <memory>
#include <type_traits>

class BinItem;
class ControlWidget;
class ParseNode;
class QDialog;
class QEvent;
class QKeyEvent;
class QMouseEvent;
class QMutex;
class QPaintEvent;
class QResizeEvent;
class QTimer;

// Graphical editor of one pattern: a ParseNode tree whose root is a sequence
// and which reads as a regular expression over glyphs (sequence, choice,
// negation, star, plus, bounded repetition, groups and glyph stacks). The
// tree is edited by the slots below, every edit is recorded as a deep copy
// in the history (undo and redo move through it), and the tree is drawn as
// one row of items that the mouse and the keys act on.
//
// In the editor's tree an empty slot is a Group node without children, a
// group with children is content waiting for its repetition operator, and a
// glyph leaf carries its glyph (a stack: a glyph with child glyphs).
//
// A window-less instance (no owner, no parent) also lays out the trees of a
// Rule, through layoutTree and subtreeExtent only: the rule's trees are never
// handed to the widget as its root, and such an instance never touches a
// glyph store.
class MapWidget : public QWidget
{
    Q_OBJECT

public:
    MapWidget(bool rewrite, ControlWidget* owner, QWidget* parent);
    ~MapWidget() override;

    // Deletes the tree; the root becomes a sequence holding one empty slot
    // and the history holds a copy of it. No signal. The new tree, its
    // entry and its items are made before the old ones go: out of memory
    // (std::bad_alloc) the editor stays as it was.
    void reset();
    // Takes ownership of the tree (null: reset) and starts the history
    // again with a copy of it, so that undo never goes back to an earlier
    // pattern. No signal. Out of memory the editor stays as it was and the
    // tree handed in is freed.
    void setRoot(ParseNode* tree);

    // setRoot in two steps, for a change of several editors that happens
    // whole or not at all: prepareRoot takes the tree (null: one empty
    // slot) and makes its history entry and its items without changing the
    // editor (out of memory the tree is freed and std::bad_alloc thrown);
    // showRoot then shows it, allocating nothing of its own and throwing
    // nothing for memory (the selection's followers failing are told).
    struct Prepared
    {
        Prepared() = default;
        Prepared(Prepared&&) = default;
        Prepared& operator=(Prepared&&) = default;
        ~Prepared();

        std::unique_ptr<ParseNode> root;    // a sequence
        QList<ParseNode*> history;          // owned; its one entry
        TList<BinItem*> items;              // owned
        QHash<BinItem*, ParseNode*> itemNode;
        QHash<ParseNode*, BinItem*> nodeItem;
        double itemSize = 40.0;
        int slotSize = 20;
        int labelHeight = 20;
    };
    Prepared prepareRoot(ParseNode* tree);
    void showRoot(Prepared& prepared);
    // A deep copy of the tree prepared for matching (stacks made one level
    // deep); the caller owns it. Null only when there is no tree.
    ParseNode* removeEpsilons() const;

    // Selection. clearSelection returns whether anything was selected (and
    // then reports the empty selection).
    bool clearSelection();
    TList<BinItem*> selectedItems() const;
    // Selects the item of n and the items of every node below it; reports
    // the selection even when n is null (nothing selected).
    void selectNode(ParseNode* n);
    // The Right and Left keys: the next (previous) item that stands for a
    // node after (before) the selection; the first such item when nothing is
    // selected. Return the node selected (null: none).
    ParseNode* selectNext();
    ParseNode* selectPrevious();
    // The node the ribbon treats as the parent of the nodes of the items.
    ParseNode* commonParent(const TList<BinItem*>& items) const;
    // The first item whose box holds the point (edges included), or null.
    BinItem* itemAt(int x, int y) const;
    // Clears every item's highlight; returns whether one was set.
    bool clearHighlight();

    // A user's action (a key, a ribbon button, undo, redo, a popup's
    // choice, a pick): runs `work` so that nothing it throws gets out. When
    // it fails, the editor goes back to what it was before it: tree, items,
    // selection, history and its index (`edits` false: the action changes
    // the selection only, and only that is put back). Out of memory, one
    // message titled `title` says so. Returns whether the work ran
    // through. Nothing is allocated before the guard is up: the work is
    // reached through a plain pointer. Inside a guarded action the work
    // just runs, and a failure goes to the outer guard.
    template <typename Work>
    bool guardAction(const QString& title, bool edits, Work&& work)
    {
        using Callable = std::remove_reference_t<Work>;
        return guardAction(title, edits, [](void* w) { (*static_cast<Callable*>(w))(); },
                           const_cast<void*>(static_cast<const void*>(&work)));
    }
    bool guardAction(const QString& title, bool edits, void (*run)(void*), void* work);

    // Edits. Each leaves the tree whole when memory runs out on the way (a
    // node is in one place or freed), which the action's guard then puts
    // back as it was.
    // Records a deep copy of the tree after the current position; later
    // entries (the redo branch) are dropped. Out of memory the history
    // stays as it was.
    void pushHistory();
    // Puts repl in old's place, old's children moved into repl, and deletes
    // old; records. A node without parent is left alone (logged); false
    // then, and repl stays the caller's. Out of memory repl stays the
    // caller's until it is in old's place (it has a parent then).
    bool replaceNode(ParseNode* old, ParseNode* repl);
    // Removes a node by the editor's rules; returns the node that took its
    // place (then already recorded) or null.
    ParseNode* removeNode(ParseNode* node, bool record);
    // The Delete key on these items.
    void deleteSelection(const TList<BinItem*>& items);
    void insertOperator(const TList<ParseNode*>& clauses, bool iterator);
    // The glyph picker's leaf goes into the first slot or group (breadth
    // first), else at the end. Takes ownership of the leaf.
    void placeNode(ParseNode* leaf);

    // Layout.
    // Rebuilds the items of the whole tree, shrinking the item size in steps
    // of a tenth until the row fits the width (at most ten tries), and
    // clears the selection. The old items go once the new ones are all
    // made: out of memory while making them, the old layout stays.
    void relayout();
    // Appends the items of the subtree of `node` to `out` (the caller owns
    // them): x is the left edge, y the vertical centre line and extent the
    // height reserved by the caller. Uses the current itemSize, slotSize,
    // labelHeight and gap. Returns the right edge of the last item appended
    // (x when none was). Out of memory the items appended so far stay in
    // `out`.
    double layoutTree(ParseNode* node, TList<BinItem*>& out, double x, double y,
                      double extent);
    // n x itemSize + (n - 1) x gap, n = the total number of branches of all
    // choice nodes of the subtree, at least 1.
    double subtreeExtent(ParseNode* node) const;
    // Selects every item lying entirely inside the rubber band.
    void rubberBandSelect();

    QSize sizeHint() const override;
    // Public: the search window hands every key on to its editor.
    void keyPressEvent(QKeyEvent* event) override;

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
    QMutex* mutex = nullptr;          // owned; held by the Delete key while it deletes
    QList<ParseNode*> history;        // owned; deep copies of the tree, oldest first
    int historyIndex = -1;

signals:
    void selectionChanged(const TList<BinItem*>& selection);
    void actionPerformed();

public slots:
    void singleClickTimeOut();
    void dragTimeOut();
    void insertBefore(TList<ParseNode*> clauses);
    void insertAfter(TList<ParseNode*> clauses);
    void insertIterator(TList<ParseNode*> clauses);
    void insertChoice(TList<ParseNode*> clauses);
    void insertStack(ParseNode* node);
    void insertNegation(ParseNode* node);
    void undo();
    void redo();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Frees the items, the tree, the history and the mutex.
    void release();
    void deleteItems();
    // relayout() without clearing the selection (no signal).
    void layoutItems();
    // Builds the items of the tree into the empty items and hashes and sets
    // the sizes. Out of memory the items made so far stay (deleteItems).
    void buildItems();
    // Move the items, both hashes and the sizes out of the widget or into
    // it; allocate nothing.
    void takeLayout(Prepared& to);
    void putLayout(Prepared& from);
    void setItemScale(double scale);
    void registerItem(BinItem* item, ParseNode* node);
    double layoutChildren(ParseNode* node, TList<BinItem*>& out, double x, double y,
                          double extent);
    double layoutOperator(ParseNode* node, TList<BinItem*>& out, double x, double y);
    // replaceNode; without moveChildren old's children go with old. repl
    // is let go of once it is in old's place; false: it stays in `repl`.
    bool swapNode(ParseNode* old, std::unique_ptr<ParseNode>& repl, bool moveChildren);
    // The tree becomes a copy of history[index], which becomes the current
    // entry. The copy and its items are made before the tree goes: out of
    // memory nothing changes.
    void loadHistory(int index);
    // Frees a history entry, or, while a guarded action runs, leaves one it
    // started with to the guard (which puts it back if the action fails).
    void dropEntry(ParseNode* entry);
    // After a failed action: the history, the tree (when `tree` is set),
    // its items and the selection as they were before it.
    void rollBack(const QList<ParseNode*>& entries, int index, std::unique_ptr<ParseNode> tree,
                  const TList<int>& selected);
    // The one message of an action that ran out of memory.
    void reportMemory(const QString& title);
    // Whether the node is part of the current tree; allocates nothing.
    bool inTree(const ParseNode* node) const;
    void doubleClick();
    // mouseMoveEvent's work: the highlight, the cursor and the drag.
    void trackMouse(QMouseEvent* event);
    // The condition dialog for a glyph's node.
    void editCondition(ParseNode* node);
    // The completer or repetition popup for the clicked item; true when it
    // was accepted.
    bool runPopup(BinItem* item);
    void placePopup(QDialog* dialog);
    // The glyphs the event completer offers (stacked: for a stack).
    TList<BinItem> completerGlyphs(bool stacked) const;
    // Takes the glyph of that id out of the store's own list (a glyph made
    // for the pattern that did not reach it); out of memory it stays.
    void forgetGlyph(int id);
    // The glyph of a picked name: the store's, else the one offered.
    BinItem findGlyph(const QString& name, const TList<BinItem>& offered) const;

    int guardDepth = 0;               // guarded actions under way
    // The history's entries when the outer guarded action started (null
    // when none runs): they are freed only once it has run through.
    const QList<ParseNode*>* keptHistory = nullptr;
};
