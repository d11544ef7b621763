#pragma once

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
class QMouseEvent;
class QScrollBar;
class QTimer;
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
    // The glyph picker of the pattern editor's ribbon. Incomplete: built
    // with the matrix interaction.
    void setPickerMode();
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

    // Single-linkage clustering of glyph sequences; the id at position p
    // belongs to the sequence at position p. The only metric is
    // "Eucledian" (another name leaves every distance 0). Returns a new tree
    // that the caller owns (deleting the root frees it), or null for no ids.
    static GNode<int>* hierarchicalClustering(QString metric,
                                              const IList<TList<BinItem*>>& sequences,
                                              QList<int> ids);
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

    // The context's events that are selected, in context order.
    TList<QSharedPointer<Packet>> selectedPackets() const;
    // Deselects every glyph and empties the selection; true when a glyph
    // was selected.
    bool clearSelection();
    // Closes the glyph popup and clears every highlight; true when a glyph
    // was highlighted.
    bool clearHighlights();
    // Incomplete: the status line of the selection.
    void updateStatistics();
    // Incomplete: highlights the events another view hovers.
    void hoverPackets(const TList<QSharedPointer<Packet>>& packets);
    // Incomplete: shows a selection made in another view.
    void selectPackets(const TList<QSharedPointer<Packet>>& packets);
    // Incomplete: selects the matches of a drawn pattern.
    void find(ParseNode* tree, bool findTraces, bool notLongest, bool createAttribute);
    // Incomplete: rebuilds the cells with the current rules.
    void reloadRules();

    // --- ImgWidget ------------------------------------------------------------

    void reset() override;
    bool renderOverlay() override;
    bool render(bool overlay, bool update, QImage* target) override;
    void clearImages() override;
    void setSize(int w, int h) override;
    QRectF dataRect() override;
    QSize sizeHint() const override;

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
    QWidget* pickerPopup = nullptr;
    QColor pickerColor;
    // The context menu's actions (incomplete: null until the selection handling makes them).
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
    QSet<QSharedPointer<Packet>> selectedPacketSet;
    QHash<BinItem*, bool> selectedItemSet;
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
    // Incomplete: the click, drag and hover handling only stops its timers.
    void doubleClickTimeOut();
    void dragTimeOut();
    void moveTimeOut();

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
    // The ribbon's bin-offset scroll bar, or null outside a ribbon.
    QScrollBar* ribbonScrollBar() const;
    void sendOverviewRender();
    // Puts the Y box of the other side back to "none" without a signal.
    void resetOtherYBox(bool traceSide);
    // The events of every highlighted glyph of every cell.
    QSet<QSharedPointer<Packet>> highlightedPackets() const;
    void renderVisibleCells();

    // The side (trace or event) of the attribute on the Y axis.
    bool yTraceSide = true;
    // Wheel angle not yet turned into whole lines.
    int wheelRemainder = 0;
};
