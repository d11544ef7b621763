#pragma once

#include <QColor>
#include <QHash>
#include <QImage>
#include <QList>
#include <QSet>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>
#include <utility>

#include "core/FlatSet.h"
#include "core/THash.h"
#include "core/TList.h"
#include "items/BinHeader.h"
#include "items/ImgWidget.h"
#include "items/TextItem.h"

class Automaton;
class Axis;
class BinItem;
class Edge;
class Rule;
class RuleMatcher;
class TVariant;
class IAxis;
class ItemStock;
class Packet;
class ParseNode;
class QFontMetricsF;
class QMutex;

// One tile of the event matrix: the traces that fall into one pair of X and
// Y bins, drawn as rows of glyphs under a title header.
//
// A cell files its events by trace (addPacket), turns every trace into a row
// of event items, applies the visible rules of the glyph store to the rows
// (matching, relabelling, deletion, nesting), optionally stacks equal rows
// into one (buildData), lays the rows out on lines inside its width, keeps
// the window of lines that the scroll position shows (visibleRows) and draws
// that window into its content image, or every row at a small scale for the
// overview strip (overviewImage).
//
// Items: every item of `rows` is owned by the cell; `visibleRows` holds
// slices of the same rows. A rebuild deletes every item, so pointers to
// items do not survive buildData. An item's marked ("highlighted") count is
// kept in its auxValue.
//
// Threads: everything runs on the GUI thread except the all-rows layout
// (layoutItems(true, ...)) and overviewImage, which the overview worker calls
// on its own thread. `rowsMutex` guards `rows`, `visibleRows`, the stacking
// counts and the stack labels; where both are taken the image mutex comes
// first. The overview drawing neither reads nor writes the items' selection
// and highlight flags, which the GUI thread changes without the lock.
class BinCell : public ImgWidget
{
    Q_OBJECT

public:
    // `view` is the matrix that owns the cell (no Qt parent is set);
    // `receiver` gets the header's resize event.
    BinCell(ControlWidget* owner, QObject* receiver, const QString& title, QWidget* view);
    ~BinCell() override;

    // --- Rows, rules and cache ---------------------------------------------

    void addPacket(const QSharedPointer<Packet>& packet);
    void addPackets(const TList<QSharedPointer<Packet>>& packets);
    // Adds the events of the traces, one trace after the other, as
    // addPackets trace by trace would; many events are copied in parts.
    void addTraces(const std::vector<const TList<QSharedPointer<Packet>>*>& traces);
    // Adds, in their order, the records whose entry of `target` (one per
    // record) is this cell, as addPacket one by one would. `traceIds`, when
    // given, holds the trace id of every record (read already).
    void addRecords(const TList<QSharedPointer<Packet>>& records, const std::vector<BinCell*>& target,
                    const std::vector<int>* traceIds = nullptr);
    // Rebuilds `rows` from `conversations` under the lock: one item per
    // event, the visible rules in order, then stacking; with updateVisible
    // also the visible window. The new glyphs are made of those of `stock`
    // (as far as it holds glyphs), or else of the glyphs they replace.
    void buildData(bool updateVisible, ItemStock* stock = nullptr);
    // Gives the glyphs of the rows to the stock, under the lock, and
    // empties the rows as clearData() does.
    void handOverItems(ItemStock& stock);
    // The item that replaces a matched run: a copy of the rewrite glyph
    // holding every event of the run (owned by the caller), or null when the
    // rewrite glyph deletes.
    BinItem* mergeMatch(const TList<BinItem*>& run, const BinItem& rewriteGlyph);
    // Deletes every item and empties rows, visible rows and the stacking
    // counts. Takes no lock: the caller holds it or owns the cell alone.
    void clearData();
    TList<BinItem*> items() const;
    TList<BinItem*> visibleItems() const;
    int itemCount() const;
    // Marks the items: selected count = how many of its events the set
    // holds, selected while that is not 0. Returns whether any item was
    // flagged selected before.
    bool setSelectedPackets(const PacketSet& packets);
    // The marks of a selection made of chosen items, before its set of
    // events is complete: the items the caller gave the selected count
    // CHOSEN count all their events (the selection holds them all); every
    // other item is unmarked, and those that hold events are appended to
    // `others`, whose events the caller looks up in the set once it is
    // complete. The chosen items of every row, in row order, are appended
    // to selectedRows as one list per row. The caller sets selectedPackets.
    void markChosen(TList<TList<BinItem*>>& selectedRows, TList<BinItem*>& others);
    static constexpr int CHOSEN = -1;
    // The selected items of the rows, in row order: each row's are appended
    // to `sequences` as one list, and all of them to `glyphs` as lists of
    // parts of the rows, gathered on several threads when there are many.
    void gatherSelected(TList<TList<BinItem*>>& sequences, std::vector<std::vector<BinItem*>>& glyphs) const;
    // From this many items on, setSelectedPackets marks them on several
    // threads (tests lower it to reach that way with a few items).
    static int parallelMarks;
    // Whether rules in a row of the list that each match single items are
    // applied together, item by item (tests turn it off to apply every rule
    // alone and compare).
    static bool rulesTogether;
    // How many parts (threads) `work` items, events or glyphs, split into
    // `pieces` that each stay on one thread, are handled in: one below
    // parallelMarks, else as many as the thread budget and the pieces allow.
    static int partsFor(std::size_t work, std::size_t pieces);
    // How many times the items of some cell's rows were let go (to be
    // deleted, perhaps on another thread): a reader that keeps pointers to
    // row items across turns of the event loop reads none once this has
    // changed. Rows are let go on the window's thread, or on helpers while
    // it waits for them.
    static quint64 itemReleases();
    // How many parts (threads) the items are marked in.
    int markingParts() const;
    void setMarkedPackets(const QSet<QSharedPointer<Packet>>& packets);
    // Hides the items of `visibleRows` whose events lie outside the time
    // window. Called by the layout, under the lock.
    void applyTimeWindow();
    // The pattern key of a row: per item its id, ";[", the ids of its
    // children each followed by "," (only while showMulti is set), "]".
    QString rowKey(const TList<BinItem*>& row) const;
    THash<QString, int> countRowKeys(const TList<TList<BinItem*>>& rows) const;
    // The rows grouped by key, groups in order of first appearance.
    TList<TList<TList<BinItem*>>> buildStacked(const TList<TList<BinItem*>>& rows) const;
    // Moves every row to the position that `order` gives for the trace id of
    // its first event; rows without a free position follow the placed ones in
    // their old order. Empty rows are dropped.
    void reorderRows(const QHash<int, int>& order);

    // --- Layout and rendering -------------------------------------------------

    int itemsPerLine() const;
    int lineCount() const;
    int visibleLineCount(int height) const;
    double contentHeight() const;
    int rowsHeight(const TList<TList<BinItem*>>& rows) const;
    void updateVisibleRows();
    void layoutItems(bool allRows, bool lockHeld);
    bool render(bool overlay, bool update, QImage* target) override;
    bool renderOverlay() override;
    // Every row of the cell at the scale itemSize / 40, without selection
    // or highlight marks. Lays out and draws copies of the items, so the
    // items keep the positions of the matrix's layout; safe to call on
    // another thread while the GUI thread works on the cell. A set `cancel`
    // flag ends the drawing early with a null image.
    QImage overviewImage(int width, int itemSize, const std::atomic<bool>* cancel = nullptr);

    void reset() override;
    void setSize(int w, int h) override;
    QRectF dataRect() override;
    QSize sizeHint() const override;

    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;

    // --- State ----------------------------------------------------------------
    // The cell's fill colour is the inherited `background`.

    QColor frameColor;
    double labelPixelSize = 12.0;   // pixel size of the stack-count labels
    int glyphSize = 40;
    int topMargin = 10;
    int rowGap = 8;
    int itemGap = 2;                // between items; also the header's inset
    bool showLabels = true;
    bool showPopups = true;
    int leftMargin = 10;
    bool stacked = false;
    // Row key -> number of rows merged into the stacked row.
    THash<QString, int> stackCounts{false};
    // 0 shows the header and starts at line 0; k >= 1 starts at line k - 1;
    // -1 hides the cell.
    int firstLine = 0;
    BinHeader header;
    int sizeAttribute = -1;         // event column of the size attribute
    IAxis* sizeAxis = nullptr;      // not owned; null = no size axis
    // 0 a row per trace, 1 the traces one after another, 2 one trace of all events.
    int conversationMode = 0;
    TList<TList<BinItem*>> visibleRows;
    TList<TList<BinItem*>> rows;
    TList<TList<QSharedPointer<Packet>>> conversations;
    THash<int, int> conversationSlots{false};  // trace id -> index in conversations
    int nextSlot = 0;
    PacketSet selectedPackets;
    QSet<QSharedPointer<Packet>> markedPackets;
    QObject* receiver;
    QMutex* rowsMutex;
    TList<TextItem> extraItems;     // stack-count labels of the last layout
    int firstVisibleRow = 0;
    int firstVisibleLine = 0;
    int endRow = 0;
    double timeFrom = 0.0;
    double timeTo;

    // Where the matrix placed the cell and the group order it handed over.
    int column = 0;
    int row = 0;
    QString groupSort;

private:
    QString rowKey(const TList<BinItem*>& row, bool multi) const;
    // The index in `conversations` of the trace with this id, a new one
    // after the last when the id is new.
    int slotOf(int id);
    // Makes the rows from..to - 1 of `rows` (the glyphs of their traces),
    // calling `made` (when given) with each row once it is made.
    using RowMaker =
        std::function<void(std::size_t from, std::size_t to, const std::function<void(std::size_t)>& made)>;
    // Makes the rows in `parts` parts and applies the visible rules to each.
    void applyRules(int parts, const RowMaker& makeRows);
    // Applies rule i of `rules` (its automaton given) to one row, counting
    // its matches in `matched`; false when the rewrite left the row empty.
    // Safe on several threads at once, each with its own matcher and rows.
    bool applyRule(RuleMatcher& matcher, const TList<Rule>& rules, int i, Automaton* automaton,
                   const THash<QString, int>* attributes, TList<BinItem*>& itemRow, int& matched);
    // Rules that each match single items, in their order, with the edges
    // from their automaton's start and their rewrite glyphs.
    struct ItemRules
    {
        std::vector<int> rules;
        std::vector<const QList<Edge*>*> edges;
        std::vector<const BinItem*> glyphs;
        // Per rule, the comparison that decides it for an item of one event
        // (RuleMatcher::plainCondition of its one edge) or null, and the
        // index in `columns` of the column it reads.
        std::vector<const ParseNode*> plain;
        std::vector<int> valueIndex;
        std::vector<int> columns;
    };
    // Applies such rules to one row item by item, each rule to the item the
    // rules before it left: the rows and counts that applying them one
    // after the other gives, reading each item once. Same contract as
    // applyRule(); `several` is scratch room.
    bool applyItemRules(RuleMatcher& matcher, const ItemRules& group, const THash<QString, int>* attributes,
                        TList<BinItem*>& itemRow, std::vector<int>& matched, std::vector<char>& several,
                        std::vector<const TVariant*>& values);
    // mergeMatch() of `length` items from `run` on.
    BinItem* merge(BinItem* const* run, std::size_t length, const BinItem& rewriteGlyph);
    // A merged item whose run began with an event item holds that item,
    // without its events, as its first stacked glyph.
    static void nestEventItem(BinItem* merged, const BinItem* head);
    // What rewriting the item alone gives (null for a deletion); the item
    // is deleted.
    BinItem* rewriteItem(BinItem* item, const BinItem& rewriteGlyph);
    // Gives the glyph (and its stacked glyphs) texts of their own.
    static void ownTexts(BinItem& glyph);
    void stackRows();
    // The stacked row of one key: the items of the first of its rows
    // (indices into `rows`), which that row gives up, collecting the events
    // of the others, which move out of their items (the rows stacked go
    // afterwards); the spans of the items that took events of another row
    // go to `merged`. Touches the rows of the key only, so keys can be
    // stacked on several threads at once.
    void stackGroup(const std::vector<std::size_t>& members,
                    const std::vector<std::vector<std::pair<double, double>>>& spans, int column,
                    TList<BinItem*>& target,
                    std::vector<std::pair<const BinItem*, std::pair<double, double>>>& merged);
    // Whether the item's time span meets the time window.
    bool inTimeWindow(const BinItem* item, int timeColumn);
    // Smallest and largest time of the item's events (lo > hi when none has one).
    static std::pair<double, double> timeSpan(const BinItem* item, int timeColumn);
    int timeColumn() const;
    // Places the items of rows on lines of glyph slots, one item or row
    // end at a time, so that a layout can stop after any item and go on.
    struct RowPlacer
    {
        explicit RowPlacer(const BinCell& cell);
        // The slot of the next item: its position and size.
        QRectF place(const BinItem& item);
        // After a row's last item: its stack label (when stacked) and, a
        // row per line, the next line.
        void endRow(bool emptyRow, int stackCount, TList<TextItem>* labels, QWidget* owner);

        double lineWidth;
        double glyph;
        double gap;
        double leftMargin;
        double rowGap;
        double lineStep = 0.0;
        int mode;
        bool stacked;
        const Axis* axis = nullptr;
        int sizeAttribute = -1;
        std::shared_ptr<QFontMetricsF> metrics;
        double x;
        double y;
    };
    void placeRows(const TList<TList<BinItem*>>& list, const QList<int>& fullRows);
    void paintItems(QPainter* painter, const TList<BinItem*>& list);
    void paintStackLabels(QPainter* painter, const TList<TextItem>& labels, double pixelSize);
    // Lines a row of n items takes.
    int linesOf(int n) const;
    // Full-row index of every slice of visibleRows.
    QList<int> visibleRowIndex;
    // The multi-match flag under which stackCounts was keyed.
    bool stackMulti = true;
    // Time spans of items of many events (stacked items), worked out once
    // per build; guarded by rowsMutex.
    std::unordered_map<const BinItem*, std::pair<double, double>> timeSpans;
    int timeSpanColumn = -1;
};
