#pragma once

#include "core/TList.h"
#include "patterns/Node.h"

#include <QColor>
#include <QHash>
#include <QString>
#include <QWidget>

#include <vector>

class Automaton;
class BinItem;
class ControlWidget;
class EventWidget;
class QTimer;

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
    // Recounts now, or, when the source's cells hold at least laterFrom
    // glyphs, once the event loop has come round and 50 ms have passed
    // (once, however often it is asked meanwhile): a large matrix's
    // rebuild does not wait for the count, and the overview shows the last
    // one until then. A count made then that runs out of memory leaves the
    // overview empty and says so. The rules and the multi-match option are
    // read now: the count is of the matrix as this call finds it.
    void rebuildSoon();
    static int laterFrom;
    // Makes the count that rebuildSoon put off, if one waits, now. The
    // matrix calls it before it changes its cells, so that the count is of
    // the cells it was asked for, whenever the next change comes.
    void settle();
    // Whether a count put off by rebuildSoon waits.
    bool countPending() const;
    // Lays the drawn nodes out at the current width; the settings pane
    // calls it when it is resized. Out of memory, the nodes drawn stay
    // (and the user is told).
    void relayout();
    // The prefix tree of the last rebuild as an automaton: a state per node,
    // the root first, and an unlabelled edge into every other node from the
    // node it was first reached from, in the order the nodes were made.
    // Built on the first call after a rebuild (the overview walks its own
    // tables); owned by the overview, replaced by the next rebuild. Null
    // before the first rebuild.
    Automaton* prefixAutomaton();
    QSize sizeHint() const override;

    ControlWidget* owner;
    int margin = 2;
    double levelHeight = 10.0;
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
    void rebuildLater();
    // The names that may appear below the root: the first glyph of every
    // visible rule, then the empty name.
    TList<QString> ruleHeads() const;
    // The rebuild with the given order list and multi-match option. Out
    // of memory the overview is left empty, as before its first rebuild,
    // and the failure goes on to the caller.
    void count(TList<QString> heads, bool multi);
    void countPaths(TList<QString>& heads, bool multi);
    // The drawn nodes made anew at the current width; out of memory, those
    // drawn before stay.
    void layOutItems();
    // The drawn nodes at the current width, appended to laid.
    void layOut(TList<BinItem*>& laid) const;
    // Empties the tables, as before the first rebuild; allocates nothing.
    void forgetCounts() noexcept;
    // Empties the path tree's lists.
    void clearPaths() noexcept;
    // A new node under parent (-1 for the root) with its key, the last
    // "."-part of that key and its colour; returns its id. The caller
    // enters the key in keys.
    int addNode(int parent, const QString& key, const QString& lastName, const QColor& colour);

    Automaton* automaton = nullptr;       // owned; made by prefixAutomaton()
    QTimer* laterTimer = nullptr;         // a count asked for by rebuildSoon
    // What that count reads besides the cells, as rebuildSoon found it.
    TList<QString> laterHeads;
    bool laterMulti = true;
    bool built = false;                   // a rebuild has run
    // The nodes by id (the root 0) as the last rebuild made them: parent,
    // children in the order they were made, key, last name and count.
    std::vector<int> parents;
    std::vector<int> firstChild;
    std::vector<int> lastChild;
    std::vector<int> nextSibling;
    std::vector<QString> nodeKeyList;
    std::vector<QString> lastNames;
    std::vector<int> nodeCounts;
    std::vector<char> counted;   // whether an item has counted in the node
    // The node that a name leads to from a node, by (node id, name id):
    // open addressing, at most half full.
    struct Step
    {
        quint64 key;
        int node;   // -1 for a free slot
    };
    std::vector<Step> steps;
    int stepCount = 0;
    Step& findStep(quint64 key);
    void addStep(quint64 key, int node);
    QHash<QString, int> nameIds;
    // counts, colours and nodeKeys hold the ids 0 .. keyedNodes - 1: a
    // rebuild overwrites them in place.
    int keyedNodes = 0;
};
