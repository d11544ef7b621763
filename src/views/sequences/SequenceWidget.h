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

#include <array>
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
// Ownership: the view keeps copies of the sequences it is given (the event
// matrix deletes its items at every rebuild) and owns them, together with
// the gap items of its rows, the cells it has made as items, the sort
// triangles, the automaton and the current query.
//
// The states and cells are held in arrays (a few numbers a state): the
// cells are made as items only where one is needed (a hover, a click, a
// caller), and painting and hit tests look only at the columns and cells
// concerned, so that millions of states stay lean.
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
    // penalty afterwards rebuilds from these. Many sequences are copied in
    // parts (see sequencesGone).
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
    // What the next part of a build in parts does (NoPart: none is under way).
    enum PartPhase { NoPart, Copying, Stacking, Merging, LayingOut };
    PartPhase buildPart() const { return partPhase; }
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

    TList<TList<BinItem*>> rows;
    ControlWidget* owner;
    int sortColumn = 0;
    QHash<BinItem*, TList<BinItem*>> twins;
    TList<BinItem*> gapItems;                        // owned
    bool drawLines = false;
    StateId startState;
    bool mergeMode = true;
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
    // States of at least this many (outside an alignment, which reports its
    // progress meanwhile) are laid out in parts too, the cells shown once
    // all are.
    int layoutPartsFrom = 200000;
    // How long an alignment runs before its progress dialog shows (ms):
    // well within the half second in which switching it on is answered.
    int progressDelay = 200;
    // How often the progress dialog lets events through meanwhile (ms).
    int progressInterval = 50;

signals:
    // Sequences given to showSequences were let go by their owner before
    // the view had copied them all: the view is empty and has none stored.
    void sequencesGone();
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
    static QString alignmentNotStarted(int count);
    // The message about an alignment that could not complete, if one waits.
    void showAlignmentProblem();
    // Runs a step of a build (copying, stacking, merging, laying out, from
    // a call or from the timer's parts): one that runs out of memory leaves
    // the view empty, holding nothing, and says so. Only the outermost step
    // catches; the steps it calls leave a failure to it.
    template <class Step> void guarded(Step&& step);
    void outOfMemory();
    int guardDepth = 0;
    // A step run from the event loop while an alignment let events through
    // ran out of memory: the alignment stops at its next report, as out of
    // memory, which empties nothing it still reads.
    bool failedWhileAligning = false;
    // The copy that the alignment switch finishes at once ran out of memory
    // (of this many sequences): the message is the alignment's.
    int alignmentCopyFailed = -1;
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
    // Runs what waited for a build or an alignment to end.
    void runDeferred();
    PartPhase partPhase = NoPart;
    const TList<TList<BinItem*>>* partSource = nullptr;   // lastSequences or builtSequences
    bool resumingParts = false;   // buildRows runs as the first part
    bool partsSetWidth = false;   // the minimum width follows the rows at the end
    int mergeAt = 0;              // the next row to merge
    QTimer* partTimer = nullptr;
    int labelledColumns = 0;      // columns left of the sort column
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
    // A layout at once lets events through (its progress dialog): a resize
    // meanwhile asks for another layout, made once this one has ended.
    bool layingOutAtOnce = false;
    bool relayoutWanted = false;
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
    // Moves the items of spares' rows into `into` and empties spares; true
    // when they hold the first item of sequences (copies given again), when
    // all of them are moved, else only as many as sequences has items, the
    // others let go of (deleteSequences).
    static bool takeSpares(const TList<TList<BinItem*>>& sequences, TList<TList<BinItem*>>& spares,
                           std::vector<BinItem*>& into);
    // The copy of one sequence, made in spares from `used` on, then in new
    // items.
    static TList<BinItem*> copySequence(const TList<BinItem*>& sequence, const std::vector<BinItem*>& spares,
                                        std::size_t& used);
    // Many sequences given to showSequences are copied a few rows a part
    // (the sender's items are read only while no cell has let its items
    // go since they were given); the view is empty meanwhile and builds
    // from them once they are all copied.
    void startCopy(const TList<TList<BinItem*>>& sequences);
    bool continueCopy(const QElapsedTimer* clock, qint64 budgetMs);
    void finishCopy();
    void abandonCopy();
    // A copy under way is finished at once (or dropped, its sequences
    // gone): for what rebuilds from the stored sequences.
    void completeCopy();
    TList<TList<BinItem*>> copySource;    // the given lists (not owned items)
    TList<TList<BinItem*>> copied;        // owned
    std::vector<BinItem*> copySpares;     // owned; reused in turn
    std::vector<BinItem*> copyGiven;      // owned; the stored copies, given again
    std::size_t copySparesUsed = 0;
    int copyRow = 0;
    quint64 copyReleases = 0;
    // Lets go of copies and empties the list: many items are freed on the
    // background thread that frees large structures, not on the calling
    // one (the same for the spares left over by a copy).
    static void deleteSequences(TList<TList<BinItem*>>& sequences);
    void buildOverlay();
    void updateMinimumWidth();

    Automaton* automaton = nullptr;   // owned; made by prefixAutomaton()
    BinCell* stacker = nullptr;   // owned; groups equal sequences

    // The states of the last merge by id (ids 0 .. n - 1, the start state
    // 0), in arrays: nothing holds a prefix key or a display path, which
    // are made from the chain of parents when asked for. A state's label
    // (its merge label) and name (the glyph name it adds to its path, "*"
    // for an empty one) are ids of texts.
    std::vector<qint32> parents;       // -1 for the start state
    std::vector<qint32> labelOf;       // text id of the merge label
    std::vector<qint32> nameOf;        // text id of the name
    std::vector<qint32> colourIds;     // index in palette
    std::vector<qint32> counts;
    std::vector<qint32> firstChild;    // -1 for none
    std::vector<qint32> nextSibling;   // -1 for the last child
    // While a merge runs: the last child and the number of children.
    std::vector<qint32> lastChild;
    std::vector<qint32> childCount;
    // The row positions that pass a state, in row order: the first, then
    // each one's next (-1 ends); a position is rowStart[row] + column.
    // The events of a state are those of the row items at these positions
    // and of their twins.
    std::vector<qint32> firstPass;
    std::vector<qint32> lastPass;      // while a merge runs
    std::vector<qint32> nextPass;      // by position
    std::vector<qint32> rowStates;     // by position: the state of the row item
    std::vector<qint64> rowStart;      // rows + 1 entries
    // Whether the row positions are those of `rows` (not while an
    // alignment holds the rows).
    bool passesCurrent = false;
    // States per column (a state's column is its depth).
    std::vector<qint64> columnSizes;

    // Texts of labels and names by id, with their cell labels ("" for
    // "*") and whether they stand for gaps.
    QHash<QString, qint32> textIds;
    std::vector<QString> texts;
    std::vector<char> textIsGap;
    qint32 textId(const QString& text);
    // The text id of an item's name ("*" for an empty one), through a few
    // recently seen items.
    struct ItemText
    {
        const BinItem* item = nullptr;
        qint32 id = -1;
    };
    std::array<ItemText, 64> itemTexts;
    qint32 itemText(const BinItem* item);
    std::vector<QColor> palette;
    QHash<QRgb, qint32> paletteIds;   // the first colour of each value
    qint32 colourId(const QColor& colour);

    // A state's child of a label is found along its children, or for a
    // state with more than WIDE_STATE children in successorOf, which grows
    // with its entries.
    struct Successor
    {
        quint64 key;   // parent id and label id
        qint32 state;  // -1 for a free slot
    };
    static constexpr int WIDE_STATE = 16;
    std::vector<Successor> successorOf;   // open addressing, at most half full
    qint64 successorEntries = 0;
    int findChild(int state, int label);
    void addChild(int state, int child, int label);
    Successor& findSuccessor(quint64 key);
    void putSuccessor(quint64 key, int state);
    int addState(int parent, int label, int name, int colour, int column);

    // The geometry of the last layout: per state its top and its height
    // before clamping (a cell is at least 1 high); the states of every
    // column in layout order (top to bottom along the tree); in merge mode
    // the runs of every column: first cell (index in columnCells), number
    // of cells and summed height.
    std::vector<double> tops;
    std::vector<double> spans;
    std::vector<qint64> columnStart;   // columns + 1 entries
    std::vector<qint32> columnCells;
    std::vector<qint64> runStart;      // columns + 1 entries (merge mode)
    std::vector<qint32> runFirst;
    std::vector<qint32> runLength;
    std::vector<double> runHeight;
    bool laidOut = false;         // the arrays above hold a whole layout
    bool runsLaidOut = false;     // and its runs
    // The sizes the layout used (the overlay reads the last layout).
    double laidLeft = 0;
    double laidStep = 0;
    double laidWidth = 0;
    // The layout as a stack walk, in parts where it is large.
    struct Pending
    {
        qint32 state;
        qint32 parent;
        qint32 column;
        double y;
        double h;
    };
    std::vector<Pending> layoutStack;
    std::vector<qint64> columnFill;
    qint32 nextTopChild = -1;
    double nextTopY = 0;
    double layoutHeight = 0;
    qint32 runColumn = 0;
    void beginLayout();
    void stopLayout();
    // Lays out until done (true) or until the clock passes budgetMs.
    bool continueLayout(const QElapsedTimer* clock, qint64 budgetMs);
    void finishLayout();
    // Lays out the states at once, reporting to mergeProgress when set.
    void layoutAtOnce();

    // Cells made as items when something needs one (a hover, a click, a
    // test), kept until the next layout: shown cells by cell (a state, or
    // in merge mode a run), laid-out cells by state.
    QHash<qint32, BinItem*> shownCache;
    QHash<qint32, BinItem*> stateCache;
    QHash<const BinItem*, qint32> cachedShown;   // item -> cell
    QHash<const BinItem*, qint32> cachedStates;  // item -> state
    // The shown cells in layout order, made when asked for by index.
    std::vector<qint32> shownOrder;
    bool shownOrderMade = false;
    void dropCells();
    // The cells under the mouse at its last move, in layout order.
    std::vector<qint32> hoveredCells;
    // Fills item as the laid-out cell of state s in its column or as the
    // shown run r (without its name, which only the items made need).
    void fillStateCell(BinItem& item, int s, int column, bool named = true) const;
    void fillRunCell(BinItem& item, int r, int column, bool named = true) const;
    int columnOfState(int s) const;
    int columnOfRun(int r) const;
    BinItem* cellItem(int cell);
    // The shown cells of column k whose rectangles meet the rows y0 to y1,
    // in layout order; the first column whose cells x may be in.
    void cellsIn(int k, double y0, double y1, std::vector<qint32>& out) const;
    std::vector<qint32> cellsAt(int x, int y) const;
    int cellColumns() const;
    double cellTop(int cell) const;
    double cellHeight(int cell) const;
    int countOfCell(int cell) const;
    QString keyOrPath(int state, bool path) const;
    // The events of the states of a cell, appended.
    void appendEvents(int state, TList<QSharedPointer<Packet>>& out) const;

    // The gap item that lengthens short rows, reused at the next build;
    // gapItems holds it unless the rows were aligned, when it holds the
    // alignment's own gap.
    BinItem* paddingGap = nullptr;       // owned
    bool alignedGaps = false;            // gapItems are the alignment's (owned)
    // Empties gapItems, deleting the gaps when they are the alignment's.
    void dropGaps();
    // Puts the sort triangles over their columns.
    void placeSortTriangles();
    std::vector<std::vector<qint32>> mergeLabelIds;
    // Sized for this many states at the next merge (the alignment knows).
    qint64 stateHint = 0;
};
