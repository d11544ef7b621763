#pragma once

#include "core/FlatSet.h"
#include "core/IList.h"
#include "core/TList.h"
#include "items/BinItem.h"
#include "items/ImgWidget.h"
#include "views/events/GNode.h"

#include <QColor>
#include <QHash>
#include <QList>
#include <QSet>
#include <QSharedPointer>
#include <QString>

#include <functional>
#include <type_traits>

class BinCell;
class BinItem;
class Context;
class GlyphPopup;
class IAxis;
class OptionsWidget;
class Packet;
class ParseNode;
class QAction;
class QMenu;
class QKeyEvent;
class QMouseEvent;
class QScrollBar;
class QTimer;
class RibbonEventWidget;
class RuleEditorWidget;

// The event matrix: the traces of the current context spread over a grid of
// cells (BinCell), one per pair of an X-axis bin and a Y-axis bin plus one
// "Unknown" cell, each drawing its traces as rows of glyphs. The view owns
// the cells, lays them out one above the other per column, composites their
// images into its own content image and routes the custom events that reach
// it.
//
// Rebuilds: reload() deletes every cell and makes new ones from the
// context; setStack, setItemSize and the rule reload rebuild the cells'
// rows. Before any of them the overview strip's running pass is cancelled
// and waited for, because it draws the cells on its own thread.
//
// Row orders (setCluster): by trace, by selection, by frequency of the row's
// pattern, alphabetically by labels, or by single-linkage clustering of the
// rows' glyph sequences (hierarchicalClustering, which the sequence view
// also uses for its guide tree).
//
// Selection: the selected events (selectedPacketSet) are what the view
// keeps; the cells mark their glyphs from them. A click selects the glyph
// under it 210 ms after the press unless a second press (a double click:
// the row, then the whole cell) comes first; Ctrl adds and removes; a drag
// of more than 20 px draws a rubber band. Every selection made here goes to
// the control as a PacketsEvent and a GlyphsEvent; selections from other
// views arrive as PacketsEvents and are not sent back. The selected glyphs
// and sequences are pointers into the cells: every rebuild drops them
// before the glyphs are deleted and gathers them again from the new ones.
//
// Hover: the glyph under the pointer is highlighted; when the pointer rests
// a GlyphPopup beside it lists the events of the highlighted glyphs ("Show
// popups" on, no menu, modal dialog or picker open). A press closes it.
class EventWidget : public ImgWidget
{
    Q_OBJECT

public:
    EventWidget(ControlWidget* control, OptionsWidget* options, int side, QWidget* parent);
    ~EventWidget() override;

    bool isActive() const;
    void setActive(bool active, bool reload);
    void setContext(Context* context);
    // Marks the view focused; with announce, tells the control in a FocusEvent.
    void setFocused(bool focused, bool announce);
    // The glyph picker of the pattern editor's ribbon: the next glyph
    // pressed (or Esc) ends it and is handed over by picked(). A second call
    // while it is on does nothing.
    void setPickerMode();
    // Ends the picker and emits picked(glyph); nothing while it is off.
    void exitPickerMode(BinItem glyph);
    // "Create rule..": a rule editor window holding the filter rule "filter "
    // + ruleCounter (which then grows by one), whose precondition is a
    // sequence of copies of the glyphs, in order, without their events,
    // counts and selection, and whose rewrite is one empty glyph. Returns
    // the editor (its window() is the window).
    RuleEditorWidget* createRule(const TList<BinItem*>& glyphs);
    // The number of the next rule "Create rule.." names; 0 at start.
    static int ruleCounter;

    // Rebuilds every cell from the context under the current axes.
    void reload();
    // Places the cells: per X bin one column, the cells of its Y bins one
    // below the other, the "Unknown" cell last in the first column.
    void repositionCells();
    // The cell of a Y bin (row) and an X bin (column), or null when the pair
    // lies outside the cell list.
    BinCell* cellAt(int row, int column) const;
    // Sets the axes to "none", refills the options' attribute boxes and reloads.
    void resetAxes();
    // The first visible line over all cells (the ribbon's scroll position).
    void setBinOffset(int offset);
    // The clustering order for every cell.
    void clusterCells();
    // The rows of every cell in the order of `mode` (setCluster's body).
    void orderRows(const QString& mode);

    // Single-linkage clustering of glyph sequences; the id at position p
    // belongs to the sequence at position p. The only metric is
    // "Eucledian" (another name leaves every distance 0). Returns a new tree
    // that the caller owns (deleting the root frees it), or null for no ids.
    //
    // From parallelClustering ids on, the distance table is made ready and
    // computed on helper threads (ThreadBudget::count() of them). With a
    // progress report the calling thread then only waits for them, in
    // slices of a few milliseconds, and calls progress(done, total) at once
    // and after every slice; below that number it computes the table itself
    // and calls progress every so often, as it does while it interns the
    // sequences and merges the clusters. The steps are the ids (the distance
    // table, counted by the share of it that is done) followed by the
    // merges: total = 2 n - 1. progress returning false stops the
    // clustering, which returns null once the helpers have ended and all it
    // built is freed; an exception thrown by progress is thrown on the same
    // way. The tree is the same with and without helpers and report.
    static GNode<int>* hierarchicalClustering(QString metric,
                                              const IList<TList<BinItem*>>& sequences,
                                              QList<int> ids,
                                              const std::function<bool(int done, int total)>& progress = {});
    // From this many ids on, hierarchicalClustering computes its distance
    // table on helper threads (tests lower it to reach that way with a few).
    static int parallelClustering;
    // Mismatches over the common length plus the difference of the lengths.
    // With multi-match on (showMulti) a position adds 1 - |A & B| / |B| for
    // the name sets of the two items (own name and children's names), so
    // the distance is not symmetric.
    static double sequenceDistance(const TList<BinItem*>& a, const TList<BinItem*>& b);
    // Sequence distances computed since the start of the process, by either
    // function above.
    static quint64 sequenceDistanceCount();
    // The most rows (or patterns) a cell clusters: the distance table holds
    // the square of their number in doubles. A larger cell keeps the
    // alphabetical order.
    static constexpr int MAX_CLUSTER_ROWS = 12000;

    // --- Selection (interaction) -------------------------------------------

    // The core selection: without Ctrl held the selection becomes the
    // glyphs of `select`; with Ctrl they are added and those of `deselect`
    // removed. Every cell is marked, and unless the glyph picker is on the
    // events ("select", plus "ctrl" with Ctrl held) and the selected
    // sequences go to the control.
    void selectItems(const QHash<BinItem*, bool>& select, const QHash<BinItem*, bool>& deselect);
    // Marks the glyphs selected (toggle: flips them); with send, hands them
    // to selectItems. The list is taken by value: a caller hands it over
    // (std::move) so that nothing is allocated before the guard.
    void applySelection(TList<BinItem*> items, bool send, bool toggle);
    // Selects the glyphs that lie wholly inside the rubber band.
    void rubberBandSelect(bool send);
    // Rebuilds the selected sequences: per row of every cell, its selected
    // glyphs in row order.
    void collectSelectedSequences();
    // The context's events that are selected, in context order.
    TList<QSharedPointer<Packet>> selectedPackets() const;
    // The selected glyphs of every cell, cell by cell, row by row.
    TList<BinItem*> selectedItems() const;
    // Deselects every glyph and empties the selection; true when a glyph
    // was selected.
    bool clearSelection();
    // Closes the glyph popup and clears every highlight; true when a glyph
    // was highlighted.
    bool clearHighlights();
    // Writes the selection's numbers to the control's status label.
    void updateStatistics();
    // The status line: selected traces and events with their shares.
    QString statisticsText() const;
    // Highlights the events another view hovers.
    void hoverPackets(const TList<QSharedPointer<Packet>>& packets);
    // Shows a selection made in another view (nothing is sent back).
    void selectPackets(const TList<QSharedPointer<Packet>>& packets);
    // Selects the matches of a drawn pattern in every row; optionally
    // numbers them in a new event attribute.
    void find(ParseNode* tree, bool findTraces, bool notLongest, bool createAttribute);
    // Rebuilds the cells with the current rules and shows the selection again.
    void reloadRules();

    // The number in the next proposed name of a find attribute ("Rule 0", ...).
    static int findCounter;
    // From this many chosen glyphs on, a selection's sets are filled on
    // helper threads (tests lower it to reach that way with a few glyphs).
    static int parallelSelection;
    // From this many glyphs in the rows on, find matches the rows on helper
    // threads as well (tests lower it).
    static int parallelFind;

    // --- ImgWidget ------------------------------------------------------------

    void reset() override;
    bool renderOverlay() override;
    bool render(bool overlay, bool update, QImage* target) override;
    void clearImages() override;
    void setSize(int w, int h) override;
    QRectF dataRect() override;
    QSize sizeHint() const override;

    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void enterEvent(QEvent* e) override;
    void leaveEvent(QEvent* e) override;

    // --- State ------------------------------------------------------------------
    // The fill colour of every render is the inherited `background` (white).

    bool focused = false;
    bool active = true;
    GlyphPopup* popup = nullptr;        // the open glyph popup, or null
    bool labelsShown = true;
    bool popupsShown = true;
    // Rubber band corners; -1 when no band is drawn.
    double x1 = -1.0;
    double y1 = -1.0;
    double x2 = -1.0;
    double y2 = -1.0;
    QTimer* wheelTimer;
    QTimer* doubleClickTimer;
    bool clickPending = false;
    bool pickerMode = false;            // also draws the red frame
    QWidget* pickerPopup = nullptr;     // the picker's hint window
    QColor pickerColor;                 // the highlight colour before the picker
    // The context menu's actions, in menu order.
    QAction* saveSelectionAction = nullptr;
    QAction* inspectSelectionAction = nullptr;
    QAction* createRuleAction = nullptr;
    QAction* inspectFrequenciesAction = nullptr;
    QAction* exportSelectionAction = nullptr;
    QAction* wiresharkAction = nullptr;
    QAction* selectConversationsAction = nullptr;
    QAction* invertSelectionAction = nullptr;
    QAction* excludeSelectionAction = nullptr;
    QString groupSort = QStringLiteral("Frequency");   // handed to every cell
    ControlWidget* control;
    QMouseEvent* lastPress = nullptr;   // owned copy of the last press
    TList<BinCell*> cells;              // owned, in creation order
    bool rubberBandActive = false;
    PacketSet selectedPacketSet;
    FlatSet<BinItem*> selectedItemSet;
    TList<TList<BinItem*>> selectedSequences;
    // Axes built by the options' factory, owned; null until set.
    IAxis* xAxis = nullptr;
    IAxis* yAxis = nullptr;
    IAxis* zAxis = nullptr;
    bool xNone = true;
    bool yNone = true;
    bool zNone = true;
    int side;                           // 0 left, 1 right
    int binOffset = 0;
    QScrollBar* scrollBar = nullptr;    // the ribbon's, once read
    QMenu* contextMenu = nullptr;
    Context* context = nullptr;         // not owned
    bool stack = false;
    // 0 a row per trace, 1 the traces one after another, 2 one trace of all events.
    int conversationMode = 0;
    int rowGap = 10;
    int glyphSize = 40;
    QString clusterMode = QStringLiteral("Default");
    OptionsWidget* options;
    double timeFrom = 0.0;
    double timeTo;
    // Display options the chart options dialog sets before it calls
    // reload(); the matrix's rebuild has no use for them yet.
    bool timeMode = false;
    bool timeWarp = false;
    bool alternateMode = false;
    bool timeCluster = false;
    bool glyphWarp = false;
    bool triangulate = false;
    QString glyphMode = QStringLiteral("Frequency");   // or "Ordering"

signals:
    void picked(BinItem glyph);

public slots:
    void changeXAxis(const QString& name);
    void changeXAxis(const QString& name, bool update);
    void changeZAxis(const QString& name);
    void changeZAxis(const QString& name, bool update);
    void iChangeYAxis(const QString& name);
    void iChangeYAxis(const QString& name, bool update);
    void iChangeYAxis(const QString& name, bool update, bool traceSide);
    // The Y axis over a trace attribute (the options' sequential box).
    void changeYAxis(const QString& name);
    void changeYAxis(const QString& name, bool update);
    // The Y axis over an event attribute (the options' event box).
    void changeYAxis2(const QString& name);
    void changeYAxis2(const QString& name, bool update);

    void showLabels(bool on);
    void showPopups(bool on);
    void setStack(bool on);
    void setConv(bool traces);
    void setConv1();
    void setConv2();
    void setConv3();
    void setItemSize(int size);
    // Rebuilds the Y axis in the options' current value order (the argument
    // is not read).
    void setSort(const QString& order);
    void setGroupSort(const QString& direction);
    void setClusterSort(const QString& direction);
    // Orders the rows of every cell: "Default", "Selected", "Frequency",
    // "Alphabetical" or "HC Eucledian"; records the mode.
    void setCluster(const QString& mode);
    void refresh();
    void setTimeWindow(double from, double to);

    void wheelTimeOut();
    // The single click: the press was not followed by a second one.
    void doubleClickTimeOut();
    // The rubber band rested: its glyphs are shown selected (not announced).
    void dragTimeOut();
    // The pointer rested: the glyph popup of the highlighted glyphs.
    void moveTimeOut();

    // Context-menu commands; each announces the new selection.
    void selectConversations();
    void invertSelection();
    void excludeSelection();
    // The Gantt chart of the selected events' traces in a modal dialog.
    void inspectTime();
    // The context menu's "Create rule.." over the selected glyphs.
    void createRule();

    void copyTo();
    void copyFrom();

protected:
    bool event(QEvent* event) override;

private:
    // The axis of a role from the options' factory (an empty axis without options).
    IAxis* makeAxis(const QString& name, int role, bool traceSide);
    // Cancels and waits for a pass of the overview strip over the cells.
    void cancelOverview();
    void deleteCells();
    // The ribbon that carries the view (an ancestor), or null outside one.
    RibbonEventWidget* ribbon() const;
    // The ribbon's bin-offset scroll bar, or null outside a ribbon.
    QScrollBar* ribbonScrollBar() const;
    void sendOverviewRender();
    // Puts the Y box of the other side back to "none" without a signal.
    void resetOtherYBox(bool traceSide);
    // The events of every highlighted glyph of every cell.
    QSet<QSharedPointer<Packet>> highlightedPackets() const;
    void renderVisibleCells();
    void renderAllCells();
    void createContextMenu();
    // Forgets every pointer to a glyph (selected glyphs, sequences, hovered
    // glyphs) before the cells delete their glyphs.
    void forgetItems();
    // After a rebuild: every cell marks the selected events again, and the
    // selected glyphs and sequences are gathered from the new glyphs.
    void restoreSelection();
    // Selected glyphs and sequences from the cells' selected flags.
    void gatherSelectedItems();
    // selectItems over lists of the cells' glyphs (a glyph may come twice).
    void selectGlyphs(const TList<BinItem*>& select, const TList<BinItem*>& deselect);
    // Step shared by the menu commands and selections from other views.
    void showSelection(const TList<QSharedPointer<Packet>>& packets);
    void showSelection(const PacketSet& packets);
    // A menu command's new selection: shown, then sent to the other views.
    void showAndSend(TList<QSharedPointer<Packet>> packets);
    // The debug line of the selected sequences (glyphs, sequences).
    void logSelectedSequences() const;
    // Sends the events with the set of them (without null events), which
    // the receivers then share.
    void sendSelection(TList<QSharedPointer<Packet>> packets, const PacketSet& set);
    // The first visible glyph, cells last to first, whose rectangle holds
    // the point (matrix coordinates); null when none.
    BinItem* glyphAt(const QPointF& point) const;
    // Whether a cell that is shown holds the point (its edges included).
    bool cellHolds(const BinCell* cell, const QPointF& point) const;
    void deleteSelection();
    // The bodies of the handlers of the same purpose.
    void press(QMouseEvent* e);
    void turnWheel(QWheelEvent* e);
    void openPopup();
    void invertSelected();
    void selectTracesOfSelection();
    void keepWholeRows();
    void closePopup();
    // Whether a glyph popup may open now: popups shown, no picker, and no
    // menu or modal dialog open.
    bool popupAllowed() const;
    // Clears the highlights without closing the popup.
    bool clearMarks();
    // The name under which find stores its attribute: the name itself, or
    // "name(1)", "name(2)", ... when an attribute of that name exists.
    QString uniqueAttributeName(const QString& name) const;

    // Glyphs highlighted by the pointer (not through marked events).
    QSet<BinItem*> hoveredItems;
    // Set by a pass that left every glyph unselected (count 0), cleared by
    // every selection made here. Glyphs take their marks only from the
    // cells' selected events when they are made and from the selections
    // made here, so while it is set, no event is selected and no cell holds
    // selected events, no glyph is marked: the passes that would find or
    // clear marks are skipped.
    bool selectionMarksClear = false;
    bool nothingMarked() const;
    // The selection whose traces the status line counted last (a copy, so
    // that a change of the selection separates them) and their number.
    mutable PacketSet countedSet;
    mutable qint64 countedTraces = 0;
    // Position of the press before the last one (double-click distance).
    QPointF previousPress{-1.0, -1.0};

    // What a rebuild that ran out of memory (or could not start a thread)
    // leaves: the cells dropped, or, for a selection, the matrix without one.
    enum class Recovery { Cells, Selection };
    // Runs `work`, a rebuild of the cells or the selection. When it runs out
    // of memory the matrix is brought to a consistent state and the user is
    // told, under `title`; false then. A rebuild inside another leaves that
    // to the outer one. Nothing is allocated before the guard is up: the
    // work is reached through a plain pointer.
    template <typename Work>
    bool guardRebuild(const QString& title, const QString& action, Recovery recovery, Work&& work)
    {
        using Callable = std::remove_reference_t<Work>;
        return guardRebuild(title, action, recovery, [](void* w) { (*static_cast<Callable*>(w))(); },
                            const_cast<void*>(static_cast<const void*>(&work)));
    }
    bool guardRebuild(const QString& title, const QString& action, Recovery recovery, void (*run)(void*),
                      void* work);
    // After a rebuild that failed: the matrix brought to `recovery`'s state
    // and the message shown.
    void recoverRebuild(const QString& title, const QString& action, Recovery recovery, const QString& failure);
    // The matrix without cells, as the views fed by it see it.
    void dropCells();
    // The matrix without a selection, and the other views told so.
    void dropSelection();
    // The selection cleared before a rebuild of the cells; the views that
    // show it are told.
    void dropSelectionForRebuild();
    // The bodies of the rebuilds that guardRebuild runs.
    void reloadCells();
    void stackCells(bool on);
    void resizeItems(int size);
    void findInCells(ParseNode* tree, bool findTraces, bool notLongest, bool createAttribute);
    void reloadCellsWithRules();
    void selectGlyphsInCells(const TList<BinItem*>& select, const TList<BinItem*>& deselect);
    void applySelectionToCells(const TList<BinItem*>& items, bool send, bool toggle);
    int rebuildDepth = 0;
    // Set when a rebuild dropped the cells: the next rebuild of the cells
    // in place makes them anew.
    bool cellsDropped = false;

    // The side (trace or event) of the attribute on the Y axis.
    bool yTraceSide = true;
    // Wheel angle not yet turned into whole lines.
    int wheelRemainder = 0;
};
