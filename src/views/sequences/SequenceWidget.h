#pragma once

#include "core/TList.h"
#include "core/THash.h"
#include "patterns/Node.h"
#include "views/events/GNode.h"

#include <QColor>
#include <QElapsedTimer>
#include <QHash>
#include <QPainterPath>
#include <QPoint>
#include <QSharedPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class AlignmentBudget;
class Automaton;
class BinCell;
class BinItem;
class Context;
class ControlWidget;
class HistogramWidget;
class Packet;
class ParseNode;
class QAction;
class QMenu;
class QProgressDialog;
class QTimer;
class SortTriangle;

// A state of the prefix automaton of the sequence view.
using StateId = Node;

// The glyph sequences of the traces selected in the event matrix, drawn as
// one tree read from left to right: every column is a position in the
// sequences, identical sequences are stacked into one row, rows that share a
// beginning share their cells, and a cell's height is the share of the
// sequences that pass through it. With alignment on, the rows are first
// aligned by the multiple sequence alignment, gaps being items "<dummy>".
//
// Ownership: the view keeps deep copies of the sequences it is given (the
// event matrix deletes its items at every rebuild) and owns them, together
// with the gap items of its rows, the laid-out items and merged runs, the
// sort triangles, the automaton and the current query.
class SequenceWidget : public QWidget
{
    Q_OBJECT

public:
    SequenceWidget(ControlWidget* owner, QWidget* parent);
    ~SequenceWidget() override;

    // Rebuilds the rows from copies of the given sequences (the list itself
    // is not kept); an empty list empties the view.
    void buildSequences(const TList<TList<BinItem*>>& sequences);
    // Keeps copies of the given sequences as the view's own, as a glyphs
    // event does, and rebuilds from them: switching the alignment or a
    // penalty afterwards rebuilds from these.
    void showSequences(const TList<TList<BinItem*>>& sequences);
    // Switches the alignment and rebuilds from the stored sequences.
    void setMSA(bool on);
    // Rebuilds from the stored sequences and sets the minimum width.
    void recompute();
    // The view is fed by the event bus: a context changes nothing here.
    void setContext(Context* context);
    // The prefix automaton of the rows and the geometry.
    void mergeColumns();
    // Lays out the states as items, the runs of merge mode and the overlay.
    void computeGeometry();
    // The length of the rows (the number of columns).
    int columnCount() const;
    // Whether a build in parts is under way (the rows are not all shown yet).
    bool building() const { return partPhase != NoPart; }
    // The prefix automaton of the rows: the states of the last merge, each
    // with an unlabelled edge from its parent in the order the states were
    // made. Built on the first call after a merge (the view itself walks its
    // own tables); owned by the view, replaced by the next merge.
    Automaton* prefixAutomaton();

    // Multiple sequence alignment (defined in SequenceAlignment.cpp): the
    // rows aligned along the guide tree of the event matrix's clustering,
    // in the tree's leaf order; one gap glyph "<dummy>" stands at every gap
    // position and is owned by the caller.
    // With a budget, its checks and progress reports may stop the
    // alignment by throwing AlignmentBudget::Stopped; nothing is kept then.
    static TList<TList<BinItem*>> computeAlignment(const TList<TList<BinItem*>>& sequences,
                                                   AlignmentBudget* budget = nullptr);
    // The aligned profile of the subtree under node; profiles holds the
    // profile of every leaf under its id. A budget must have been started
    // (computeAlignment does).
    static TList<TList<BinItem*>> alignAlongTree(GNode<int>* node,
                                                 QHash<int, TList<TList<BinItem*>>>* profiles,
                                                 AlignmentBudget* budget = nullptr);

    // Whether an item stands for a gap.
    static bool isGap(const BinItem* item);
    // Whether an alignment (or the layout of its rows) is under way.
    bool isAligning() const { return aligning; }
    // The events of a shown item: of its state, or in merge mode of the
    // states of every item of its run.
    TList<QSharedPointer<Packet>> eventsOf(BinItem* shown) const;
    // The share of all input sequences that pass through a shown item.
    double shareOf(BinItem* shown) const;

    // The states of the last merge by id, 0 being the start state: their
    // counts, prefix keys (merge labels joined by "."), display paths
    // (names joined by ".", "*" for an empty one), fill colours, parents
    // and events.
    int stateCount() const;
    int countOf(int state) const;
    QString keyOf(int state) const;
    QString pathOf(int state) const;
    QColor colourOf(int state) const;
    int parentOf(int state) const;
    TList<QSharedPointer<Packet>> eventsOfState(int state) const;
    // The state whose prefix key is key; -1 for none.
    int stateOfKey(const QString& key) const;
    // The state that the item at (row, column) of the rows maps to; -1 for
    // none.
    int stateAt(int row, int column) const;
    // The laid-out cell of a state (null for the start state and before
    // the geometry pass), and the state of a laid-out or shown cell (-1
    // for a merged run and for items that are not the view's cells).
    BinItem* stateItem(int state);
    int stateOfItem(const BinItem* item) const;
    // The shown cells in the order they are laid out: one per state, or in
    // merge mode one per run; a run's laid-out cells, top to bottom (empty
    // for a cell that is not a run).
    int shownCount() const;
    BinItem* shownItem(int k);
    QList<BinItem*> shownList();
    QList<BinItem*> runItems(const BinItem* shown);

    QHash<StateId, int> stateCounts;
    QHash<QString, StateId> keyStates;
    QHash<StateId, QColor> stateColours;
    QHash<StateId, QString> stateKeys;
    QHash<StateId, QString> statePaths;
    TList<TList<BinItem*>> rows;
    TList<BinItem*> shownItems;                      // owned
    ControlWidget* owner;
    QHash<StateId, BinItem*> stateItems;
    QHash<BinItem*, StateId> rowItemStates;
    int sortColumn = 0;
    QHash<BinItem*, StateId> itemStates;
    QHash<StateId, TList<QSharedPointer<Packet>>> stateEvents;
    QHash<BinItem*, TList<BinItem*>> twins;
    TList<BinItem*> gapItems;                        // owned
    bool drawLines = false;
    StateId startState;
    bool mergeMode = true;
    THash<BinItem*, TList<BinItem*>> mergedRuns;     // run -> covered items, all owned
    double itemWidth = 30.0;
    int topOffset = 10;
    int leftMargin = 10;
    int headerHeight = 30;
    int columnGap = 1;
    QTimer* hoverTimer;
    QPoint lastMouse{-1, -1};                        // x is -1 after the mouse left
    TList<QPainterPath> overlayPaths;
    HistogramWidget* histogramDialog = nullptr;
    ParseNode* currentQuery = nullptr;               // owned
    TList<SortTriangle*> sortTriangles;              // owned
    bool msaOn = false;
    TList<TList<BinItem*>> lastSequences;            // owned copies
    TList<QSharedPointer<Packet>> clickedEvents;
    QMenu* contextMenu;
    QAction* selectSequencesAction;
    QAction* inspectSelectionAction;
    QAction* inspectFrequenciesAction;

    // Copies made for a build from a list that is not stored (the ribbon's
    // deactivation, a context event); owned, replaced at the next build.
    TList<TList<BinItem*>> builtSequences;
    // Unaligned rows of at least this many glyphs are stacked, merged and
    // laid out in parts between turns of the event loop: the view empties
    // at once and shows the rows when they are ready, the window answering
    // meanwhile.
    int partsFrom = 50000;
    // How long one such part runs at most before the event loop's turn (ms).
    int partMs = 40;
    // How long an alignment runs before its progress dialog shows (ms):
    // well within the half second in which switching it on is answered.
    int progressDelay = 200;
    // How often the progress dialog lets events through meanwhile (ms).
    int progressInterval = 50;

signals:
    // An alignment that could not be completed (too large for the memory
    // that can be spared, out of memory, cancelled) switched the alignment
    // off; the rows are shown unaligned.
    void alignmentDropped();

public:
    // Member checks of the last query overlay (one per sequence and column
    // looked at).
    quint64 overlayChecks = 0;

public slots:
    void inspectFreq();
    void inspect();
    void selectSequences();
    void setDrawLines(bool on);
    void setSort(int column);
    void hoverTimeOut();
    void hoverQuery(ParseNode* query);
    void setItemSize(int size);
    void setVItemSize(int percent);
    void setMergeMode(bool on);

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Builds the rows from sequences that the view owns already, aligned
    // while the alignment is on.
    void buildRows(const TList<TList<BinItem*>>& sequences);
    void buildRows(const TList<TList<BinItem*>>& sequences, bool align);
    // Shows the progress of an alignment of count rows (the phase of
    // AlignmentBudget) in the progress dialog, made once it takes long, and
    // lets events through now and then; false when it is to stop.
    bool reportProgress(int phase, int done, int total, int count);
    // Aligns the stacked rows in place, behind a progress dialog once it
    // takes long; false when the alignment could not be completed (then the
    // rows stay as given and, unless a rebuild asked for meanwhile comes
    // next, the alignment is switched off and the reason kept for a
    // message). The rows shown until then go to shownBefore, if given.
    bool alignRows(TList<TList<BinItem*>>& built, TList<TList<BinItem*>>* shownBefore = nullptr);
    static QString alignmentFailure(int count);
    // The message about an alignment that could not complete, if one waits.
    void showAlignmentProblem();
    // Empties every table of states and rows, after a merge that ran out
    // of memory.
    void forgetStates();
    // The prefix automaton in three steps: the tables emptied (and the
    // labels of the columns left of the sort column made), the rows from
    // `from` to `to` walked, the counts written and the geometry pass.
    void beginMerge();
    void mergeRows(int from, int to);
    void finishMerge();
    // A build in parts: the next part, and the end of a build under way
    // (a new build replaces it).
    void runPart();
    void stopParts();
    enum PartPhase { NoPart, Stacking, Merging };
    PartPhase partPhase = NoPart;
    const TList<TList<BinItem*>>* partSource = nullptr;   // lastSequences or builtSequences
    bool resumingParts = false;   // buildRows runs as the first part
    bool partsSetWidth = false;   // the minimum width follows the rows at the end
    int mergeAt = 0;              // the next row to merge
    QTimer* partTimer = nullptr;
    int previousStates = 0;       // the states of the merge before
    int labelledColumns = 0;      // columns left of the sort column
    std::vector<std::vector<QString>> mergeLabels;
    // Copies of sequences owned by the pointer (deleted with it).
    static std::shared_ptr<TList<TList<BinItem*>>> heldCopies(const TList<TList<BinItem*>>& sequences);
    // Keeps what was asked for while an alignment runs, to run once it has
    // ended; a rebuild stops it at its next progress report.
    void defer(std::function<void()> build, bool rebuild = true);
    // The guide tree of this many sequences takes long enough to show the
    // progress dialog before it is built.
    static constexpr int LONG_GUIDE_TREE = 3000;
    bool aligning = false;
    bool supersede = false;   // a rebuild waits: the running alignment stops
    bool merging = false;     // a merge is under way (its geometry pass follows)
    // Progress of the merge of aligned rows; false stops it.
    std::function<bool(int done, int total)> mergeProgress;
    QElapsedTimer progressClock;
    qint64 progressShownAt = 0;
    std::vector<std::function<void()>> deferredBuilds;
    std::unique_ptr<QProgressDialog> progressDialog;
    QString alignmentProblem;   // shown once the rows are built
    // Deep copies of the sequences (the sender's conditions left out), made
    // in the items of spares, which it empties.
    static TList<TList<BinItem*>> copySequences(const TList<TList<BinItem*>>& sequences,
                                                TList<TList<BinItem*>>& spares);
    static void deleteSequences(TList<TList<BinItem*>>& sequences);
    // Deletes the laid-out items and runs and empties the tables that
    // point at them.
    void clearShownItems();
    void buildOverlay();
    void updateMinimumWidth();
    // Lays out state s under parent p (ids), each item reset to blank first;
    // appends the items depth first.
    void layoutState(int s, int p, double x, double y, double h, const BinItem& blank,
                     TList<BinItem*>& out);
    // A new state under parent (-1 for the start state); name is the glyph
    // name it adds to its path ("*" for an empty one), its cell's label.
    int addState(int parent, const QString& key, const QString& path, const QString& name,
                 const QColor& colour);

    Automaton* automaton = nullptr;   // owned; made by prefixAutomaton()
    BinCell* stacker = nullptr;   // owned; groups equal sequences
    // The states by id as the last merge made them (ids 0 .. n - 1, the
    // start state 0): successor lookup while they are made (parent id and
    // label), children in edge order, counts, keys, display paths, colours,
    // the name the state adds to its path (its label) and the event list of
    // each.
    struct Successor
    {
        quint64 key;   // parent id and label id
        int state;     // -1 for a free slot
    };
    // A state's child of a label is found along its children, or for a
    // state with more than WIDE_STATE children in successorOf (made at the
    // first such state of a merge, for up to successorCapacity entries).
    static constexpr int WIDE_STATE = 16;
    std::vector<Successor> successorOf;   // open addressing, at most half full
    int successorCapacity = 0;
    std::vector<int> labelOf;      // label id of the edge into a state
    std::vector<int> childCount;
    // The child of state with the label id, -1 for none.
    int findChild(int state, int label);
    // Records child (made under state) as its child of the label id.
    void addChild(int state, int child, int label);
    QHash<QString, int> labelIds;
    static int tableSize(int entries);
    Successor& findSuccessor(quint64 key);
    std::vector<StateId> nodes;
    std::vector<int> parents;       // -1 for the start state
    std::vector<int> firstChild;    // -1 for none
    std::vector<int> lastChild;
    std::vector<int> nextSibling;   // -1 for the last child
    std::vector<int> counts;
    std::vector<QString> keys;
    std::vector<QString> paths;
    std::vector<QColor> colours;
    std::vector<QString> lastNames;
    std::vector<TList<QSharedPointer<Packet>>*> eventLists;   // the values of stateEvents

    // The tables keyed by state id hold ids 0 .. keyedStates - 1; a merge
    // overwrites them in place, since every merge numbers its states from 0.
    int keyedStates = 0;
    // The laid-out item of state s is layoutPool[s] (s >= 1) and the k-th
    // merged run runPool[k], overwritten at every geometry pass: the items
    // are made anew only when there are more states or runs than before, so
    // itemStates and stateItems keep their entries from pass to pass.
    std::vector<BinItem*> layoutPool;   // owned; [0] is null
    std::vector<BinItem*> runPool;      // owned
    int keyedRuns = 0;                  // runs of runPool with an entry in mergedRuns
    // The values of mergedRuns by run: a run's entry stays where it is
    // while the run keeps it.
    std::vector<TList<BinItem*>*> runLists;
    // Whether stateItems stand for the states of the last merge; until the
    // next geometry pass after a merge the overlay finds no laid-out items.
    bool layoutCurrent = false;
    // The row items that the last merge gave an entry in rowItemStates,
    // and those of the merge under way.
    std::vector<BinItem*> lastRowItems;
    std::vector<BinItem*> rowItems;
    // The state ids of those items, in the same order (rows in order).
    std::vector<int> lastRowStates;
    std::vector<int> rowStates;
    // The gap items that lengthened short rows, reused at the next build;
    // gapItems holds them unless the rows were aligned, when it holds the
    // alignment's own gaps.
    std::vector<BinItem*> paddingGaps;   // owned
    bool alignedGaps = false;            // gapItems are the alignment's (owned)
    void syncLayoutPool(int states);
    BinItem* runItem(int k);
};
