#include "views/events/EventWidget.h"

#include "app/AppGlobals.h"
#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/NavigationWidget.h"
#include "app/SettingsWidget.h"
#include "app/TextInputWidget.h"
#include "core/Constants.h"
#include "core/DeferredRelease.h"
#include "core/HandlerGuard.h"
#include "core/Packet.h"
#include "core/ShareText.h"
#include "core/ThreadBudget.h"
#include "core/ThreadStarter.h"
#include "editors/RuleListWidget.h"
#include "events/AttributeEvent.h"
#include "events/ContextEvent.h"
#include "events/EventType.h"
#include "events/FindEvent.h"
#include "events/FocusEvent.h"
#include "events/GlyphsEvent.h"
#include "events/PacketsEvent.h"
#include "events/RenderEvent.h"
#include "events/ScrollEvent.h"
#include "items/BinItem.h"
#include "items/EmptyAxis.h"
#include "items/IAxis.h"
#include "items/ScreenPlacement.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/Automaton.h"
#include "patterns/RuleMatcher.h"
#include "views/charts/GanttWidget.h"
#include "views/events/BinCell.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/GlyphPopup.h"
#include "views/events/ItemStock.h"
#include "views/events/LinkageMatrix.h"
#include "views/events/OptionsWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"
#include "views/sequences/RuleOverviewWidget.h"
#include "views/sequences/SequenceWidget.h"
#include "editors/RuleEditorWidget.h"
#include "items/EmptyItem.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDebug>
#include <QDialog>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLineF>
#include <QMap>
#include <QMenu>
#include <QMouseEvent>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QScrollBar>
#include <QSet>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

#if defined(Q_OS_LINUX)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Held by a rebuild of the cells: shows the busy cursor while a rebuild of
// many events holds the window, so that a click meanwhile is not taken for
// one the window ignored, and frees what the rebuild drops once it is over.
class RebuildScope
{
public:
    explicit RebuildScope(const Context* context)
        : busy(context && context->packets.size() >= BUSY_EVENTS && qobject_cast<QApplication*>(qApp))
    {
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
    }
    ~RebuildScope()
    {
        if (busy)
            QApplication::restoreOverrideCursor();
    }
    RebuildScope(const RebuildScope&) = delete;
    RebuildScope& operator=(const RebuildScope&) = delete;

private:
    static constexpr int BUSY_EVENTS = 200000;
    const bool busy;
    const deferredrelease::Pause pause;
};

// Holds the rows mutex of every cell while the events are filed into
// them, and lets go of them however the filing is left.
class CellsLocked
{
public:
    explicit CellsLocked(const TList<BinCell*>& cells)
        : cells(cells)
    {
        for (BinCell* cell : cells)
            cell->rowsMutex->lock();
    }
    ~CellsLocked()
    {
        for (BinCell* cell : cells)
            cell->rowsMutex->unlock();
    }
    CellsLocked(const CellsLocked&) = delete;
    CellsLocked& operator=(const CellsLocked&) = delete;

private:
    const TList<BinCell*>& cells;
};

using PacketPtr = QSharedPointer<Packet>;
using Rows = TList<TList<BinItem*>>;

const QString NONE_NAME = QStringLiteral("none");
const QString DEFAULT_MODE = QStringLiteral("Default");
const QString ALPHABETICAL_MODE = QStringLiteral("Alphabetical");
const QString FREQUENCY_MODE = QStringLiteral("Frequency");
const QString CLUSTER_METRIC = QStringLiteral("Eucledian");

constexpr int DRAG_INTERVAL = 500;
constexpr int WHEEL_INTERVAL = 300;
constexpr int DOUBLE_CLICK_INTERVAL = 210;
// A second press farther than this from the first is no double click.
constexpr double DOUBLE_CLICK_DISTANCE = 5.0;
// A pointer this far from the press with the left button held draws a rubber band.
constexpr double DRAG_DISTANCE = 20.0;
// After construction the hover timer waits this long; every mouse move
// restarts it with the short hover interval.
constexpr int IDLE_HOVER_INTERVAL = 10000;
// One notch of a mouse wheel.
constexpr int WHEEL_NOTCH = 120;
// The plotting area starts this far from the left and top edges.
constexpr int AXIS_OFFSET = 10;
constexpr int AXIS_MARGIN = 15;
constexpr int AXIS_THICKNESS = 5;

bool isNoneName(const QString& name)
{
    return name == NONE_NAME || name.isEmpty();
}

bool holdsEvents(const BinCell* cell)
{
    return !cell->conversations.isEmpty();
}

// The trace of a row: that of the first event of its first item; false for
// a row without items or events.
bool rowTrace(const TList<BinItem*>& row, int* id)
{
    if (row.isEmpty())
        return false;
    const BinItem* first = row.first();
    if (!first || first->packets.isEmpty() || !first->packets.first())
        return false;
    *id = first->packets.first()->conversationId;
    return true;
}

bool rowSelected(const TList<BinItem*>& row)
{
    for (const BinItem* item : row)
        if (item && item->selected)
            return true;
    return false;
}

// Rows that get a position: those with items, with their traces. A row
// without items gets none.
std::vector<std::pair<int, int>> placeableRows(const Rows& rows)
{
    std::vector<std::pair<int, int>> result;   // (row index, trace)
    result.reserve(std::size_t(rows.size()));
    for (int r = 0; r < rows.size(); ++r) {
        int id = 0;
        if (!rowTrace(rows[r], &id)) {
            qDebug().noquote() << "empty list not allowed";
            continue;
        }
        result.emplace_back(r, id);
    }
    return result;
}

// Rows by ascending trace.
QHash<int, int> defaultOrder(const Rows& rows)
{
    std::vector<int> ids;
    for (const auto& row : placeableRows(rows))
        ids.push_back(row.second);
    std::sort(ids.begin(), ids.end());
    QHash<int, int> order;
    for (std::size_t k = 0; k < ids.size(); ++k)
        order.insert(ids[k], int(k));
    return order;
}

// The selected rows first, then the others, each part by ascending trace;
// descending is the exact reverse.
QHash<int, int> selectedOrder(const Rows& rows, bool ascending)
{
    std::vector<int> selected;
    std::vector<int> others;
    for (const auto& row : placeableRows(rows))
        (rowSelected(rows[row.first]) ? selected : others).push_back(row.second);
    std::sort(selected.begin(), selected.end());
    std::sort(others.begin(), others.end());
    selected.insert(selected.end(), others.begin(), others.end());
    if (!ascending)
        std::reverse(selected.begin(), selected.end());
    QHash<int, int> order;
    for (std::size_t k = 0; k < selected.size(); ++k)
        order.insert(selected[k], int(k));
    return order;
}

// Rows grouped by how many rows of the cell share their pattern, the
// counts compared as zero-padded texts; groups by ascending count, each
// group in row order. Descending hands the positions out from the end.
QHash<int, int> frequencyOrder(const BinCell* cell, bool stacked, bool ascending)
{
    const Rows& rows = cell->rows;
    const THash<QString, int> counts = stacked ? cell->stackCounts : cell->countRowKeys(rows);
    for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
        qDebug().noquote() << it.key() << it.value();

    const std::vector<std::pair<int, int>> placeable = placeableRows(rows);
    std::vector<int> rowCounts;
    rowCounts.reserve(placeable.size());
    int largest = 0;
    bool missing = false;
    for (const auto& row : placeable) {
        // The stacking counts are keyed under the multi-match flag of the
        // last build; a key made under the other flag counts as 0.
        auto found = counts.constFind(cell->rowKey(rows[row.first]));
        const int count = found == counts.constEnd() ? 0 : found.value();
        missing = missing || found == counts.constEnd();
        rowCounts.push_back(count);
        largest = std::max(largest, count);
    }
    if (missing)
        qDebug().noquote() << "row patterns missing from the stack counts are counted as 0;"
                              " the rows are stacked under the other multi-match setting";

    const int width = QString::number(largest).size();
    QMap<QString, std::vector<int>> groups;   // padded count -> trace ids in row order
    for (std::size_t k = 0; k < placeable.size(); ++k)
        groups[QString::number(rowCounts[k]).rightJustified(width, QLatin1Char('0'))].push_back(
            placeable[k].second);

    QHash<int, int> order;
    const int n = int(placeable.size());
    int position = ascending ? 0 : n - 1;
    for (auto group = groups.constBegin(); group != groups.constEnd(); ++group) {
        for (int id : group.value()) {
            order.insert(id, position);
            position += ascending ? 1 : -1;
        }
    }
    return order;
}

// Rows by the labels of their items joined by "." ("*" for an empty label),
// followed by "-" and the row's index.
QHash<int, int> alphabeticalOrder(const Rows& rows, bool ascending)
{
    const std::vector<std::pair<int, int>> placeable = placeableRows(rows);
    std::vector<std::pair<QString, int>> texts;   // (text, trace)
    texts.reserve(placeable.size());
    for (const auto& row : placeable) {
        QString text;
        bool first = true;
        for (const BinItem* item : rows[row.first]) {
            if (!first)
                text += QLatin1Char('.');
            first = false;
            const QString label = item ? item->label : QString();
            text += label.isEmpty() ? QStringLiteral("*") : label;
        }
        text += QLatin1Char('-') + QString::number(row.first);
        texts.emplace_back(std::move(text), row.second);
    }
    std::sort(texts.begin(), texts.end(),
              [](const std::pair<QString, int>& a, const std::pair<QString, int>& b) { return a.first < b.first; });
    QHash<int, int> order;
    const int n = int(texts.size());
    for (int k = 0; k < n; ++k)
        order.insert(texts[std::size_t(k)].second, ascending ? k : n - 1 - k);
    return order;
}

} // namespace

// ---------------------------------------------------------------------------
// Construction

EventWidget::EventWidget(ControlWidget* control, OptionsWidget* options, int side, QWidget* parent)
    : ImgWidget(control, parent)
    , control(control)
    , side(side)
    , options(options)
    , timeTo(std::numeric_limits<double>::max())
{
    background = QColor(255, 255, 255, 255);
    pickerColor = QColor();

    timer->setInterval(DRAG_INTERVAL);
    connect(timer, &QTimer::timeout, this, &EventWidget::dragTimeOut);
    // A constructor that throws runs no destructor: the menu, which has no
    // parent, goes here (the timers go with the widget).
    try {
        createContextMenu();

        hoverTimer->setInterval(HOVER_INTERVAL);
        wheelTimer = new QTimer(this);
        wheelTimer->setInterval(WHEEL_INTERVAL);
        connect(wheelTimer, &QTimer::timeout, this, &EventWidget::wheelTimeOut);
        doubleClickTimer = new QTimer(this);
        doubleClickTimer->setInterval(DOUBLE_CLICK_INTERVAL);
        connect(doubleClickTimer, &QTimer::timeout, this, &EventWidget::doubleClickTimeOut);
        groupSort = FREQUENCY_MODE;
        hoverTimer->setInterval(IDLE_HOVER_INTERVAL);
        connect(hoverTimer, &QTimer::timeout, this, &EventWidget::moveTimeOut);
    } catch (...) {
        delete contextMenu;
        contextMenu = nullptr;
        throw;
    }
}

EventWidget::~EventWidget()
{
    // An overview pass may be drawing the cells, also at program exit when
    // the matrix goes before the strip.
    EventOverviewWidget::cancelPassesOver(this, true);
    clearImages();
    closePopup();
    if (pickerMode) {
        HOVER_COLOR = pickerColor;
        QGuiApplication::restoreOverrideCursor();
    }
    delete pickerPopup;
    deleteCells();
    delete xAxis;
    delete yAxis;
    delete zAxis;
    delete lastPress;
    delete contextMenu;
}

bool EventWidget::isActive() const
{
    return active;
}

void EventWidget::setActive(bool on, bool reloadNow)
{
    active = on;
    setVisible(on);
    if (on && reloadNow) {
        reload();
        setSize(-1, -1);
    }
}

void EventWidget::setContext(Context* c)
{
    // The context is the matrix's at once: the caller may let the old one go
    // whatever happens here. Should the way to the new cells run out of
    // memory, the matrix drops the old cells (which hold the old context's
    // events) and says so.
    context = c;
    guardRebuild(QStringLiteral("Failed to group events"), QStringLiteral("grouping the events"), Recovery::Cells,
                 [this] {
                     cancelOverview();
                     // Waits for a pass of the overview strip that is drawing a cell.
                     for (BinCell* cell : cells) {
                         cell->rowsMutex->lock();
                         cell->rowsMutex->unlock();
                     }
                     qDebug().noquote() << "deselect";
                     clearSelection();
                     clearHighlights();
                     qDebug().noquote() << "reload";
                     reload();
                 });
}

void EventWidget::setFocused(bool focus, bool announce)
{
    focused = focus;
    if (focus && announce && control) {
        FocusEvent e(this, {});
        QCoreApplication::sendEvent(control, &e);
    }
    update();
}

// ---------------------------------------------------------------------------
// Helpers

IAxis* EventWidget::makeAxis(const QString& name, int role, bool traceSide)
{
    if (options)
        return options->createAxis(name, role, traceSide);
    return new EmptyAxis;
}

void EventWidget::cancelOverview()
{
    // Every strip drawing this view, found without the ribbons: at exit the
    // ribbon and the overview ribbon may already be gone.
    EventOverviewWidget::cancelPassesOver(this);
}

RibbonEventWidget* EventWidget::ribbon() const
{
    // The ribbon's layout puts the view into a holder below it.
    for (QWidget* w = QWidget::parentWidget(); w; w = w->parentWidget())
        if (auto* found = qobject_cast<RibbonEventWidget*>(w))
            return found;
    return nullptr;
}

void EventWidget::deleteCells()
{
    // The glyphs go with their cells; the selected events stay and mark the
    // glyphs of the next cells.
    forgetItems();
    for (BinCell* cell : cells)
        delete cell;
    cells.clear();
}

QScrollBar* EventWidget::ribbonScrollBar() const
{
    RibbonEventWidget* carrier = ribbon();
    return carrier ? carrier->binScrollBar : nullptr;
}

void EventWidget::sendOverviewRender()
{
    if (!control)
        return;
    RenderEvent e(this, {QStringLiteral("OverviewWidget"), side});
    QCoreApplication::sendEvent(control, &e);
}

void EventWidget::resetOtherYBox(bool traceSide)
{
    if (!options)
        return;
    // Only this view listens to the boxes; blocking their signals needs no
    // memory, unlike taking the connection down and making it again.
    QComboBox* box = traceSide ? options->eventAxisBox : options->sequentialAxisBox;
    const QSignalBlocker quiet(box);
    box->setCurrentIndex(0);
}

QSet<QSharedPointer<Packet>> EventWidget::highlightedPackets() const
{
    QSet<PacketPtr> packets;
    // Highlighted glyphs are the hovered ones and glyphs of cells that mark
    // events: the other cells need not be looked at.
    for (const BinItem* item : hoveredItems)
        if (item && item->highlighted)
            for (const PacketPtr& p : item->packets)
                packets.insert(p);
    for (const BinCell* cell : cells) {
        if (cell->markedPackets.isEmpty())
            continue;
        // The glyphs of a large tile are looked at in parts, on several
        // threads; the events are gathered in row order.
        const std::vector<TList<BinItem*>>& rows = cell->rows.items;
        const int parts = cell->markingParts();
        std::vector<std::vector<const BinItem*>> marked(std::size_t(std::max(parts, 1)));
        ThreadBudget::runInParts(rows.size(), parts, [&](int k, std::size_t from, std::size_t to) {
            for (std::size_t r = from; r < to; ++r)
                for (const BinItem* item : rows[r].items)
                    if (item && item->highlighted)
                        marked[std::size_t(k)].push_back(item);
        });
        for (const std::vector<const BinItem*>& part : marked)
            for (const BinItem* item : part)
                for (const PacketPtr& p : item->packets)
                    packets.insert(p);
    }
    return packets;
}

void EventWidget::renderVisibleCells()
{
    for (BinCell* cell : cells)
        if (cell->firstLine >= 0)
            cell->render(true, true, nullptr);
}

void EventWidget::renderAllCells()
{
    for (BinCell* cell : cells)
        cell->render(true, true, nullptr);
}

// ---------------------------------------------------------------------------
// Axes

void EventWidget::changeXAxis(const QString& name)
{
    changeXAxis(name, true);
}

void EventWidget::changeXAxis(const QString& name, bool update)
{
    guardRebuild(QStringLiteral("Failed to group events"), QStringLiteral("grouping the events"), Recovery::Cells, [&] {
        if (!context)
            return;
        // What the cleared selection lets go of (the sequence pane's copies) is
        // freed once the rebuild is over, not while it allocates.
        const deferredrelease::Pause pause;
        clearHighlights();
        dropSelectionForRebuild();
        // The new axis is made before the old one goes.
        IAxis* axis = makeAxis(name, 0, false);
        delete xAxis;
        xAxis = axis;
        xNone = isNoneName(name);
        if (update) {
            reload();
            setSize(-1, -1);
        }
    });
}

void EventWidget::changeZAxis(const QString& name)
{
    changeZAxis(name, true);
}

void EventWidget::changeZAxis(const QString& name, bool update)
{
    guardRebuild(QStringLiteral("Failed to resize glyphs"), QStringLiteral("resizing the glyphs"), Recovery::Cells,
                 [&] {
                     if (!context)
                         return;
                     // Null when the attribute is not an event attribute:
                     // no glyph sizes. Made before the old one goes.
                     IAxis* axis = makeAxis(name, 2, false);
                     // The cells draw with this axis, also on the
                     // overview's thread: none may reach it once it is
                     // gone, whether or not a reload follows.
                     cancelOverview();
                     // What the cleared selection lets go of (the sequence
                     // pane's copies) is freed once the rebuild is over,
                     // not while it allocates.
                     const deferredrelease::Pause pause;
                     clearHighlights();
                     dropSelectionForRebuild();
                     for (BinCell* cell : cells) {
                         QMutexLocker locker(cell->rowsMutex);
                         if (cell->sizeAxis == zAxis)
                             cell->sizeAxis = nullptr;
                     }
                     delete zAxis;
                     zAxis = axis;
                     zNone = isNoneName(name) || !zAxis;
                     if (update) {
                         reload();
                         setSize(-1, -1);
                     }
                 });
}

void EventWidget::iChangeYAxis(const QString& name)
{
    iChangeYAxis(name, true, true);
}

void EventWidget::iChangeYAxis(const QString& name, bool update)
{
    iChangeYAxis(name, update, true);
}

void EventWidget::iChangeYAxis(const QString& name, bool update, bool traceSide)
{
    guardRebuild(QStringLiteral("Failed to group events"), QStringLiteral("grouping the events"), Recovery::Cells, [&] {
        if (!context)
            return;
        // What the cleared selection lets go of (the sequence pane's copies) is
        // freed once the rebuild is over, not while it allocates.
        const deferredrelease::Pause pause;
        clearHighlights();
        dropSelectionForRebuild();
        // An empty name is the axis "none" too (not an axis without values).
        // The new axis is made before the old one goes.
        IAxis* axis = makeAxis(name.isEmpty() ? NONE_NAME : name, 1, traceSide);
        delete yAxis;
        yAxis = axis;
        yNone = isNoneName(name);
        yTraceSide = traceSide;
        if (options) {
            options->groupOrderBox->setEnabled(!yNone);
            options->groupDirectionBox->setEnabled(!yNone);
        }
        if (update) {
            reload();
            setSize(-1, -1);
        }
    });
}

void EventWidget::changeYAxis(const QString& name)
{
    changeYAxis(name, true);
}

void EventWidget::changeYAxis(const QString& name, bool update)
{
    guardRebuild(QStringLiteral("Failed to group events"), QStringLiteral("grouping the events"), Recovery::Cells,
                 [&] {
                     resetOtherYBox(true);
                     iChangeYAxis(name, update, true);
                 });
}

void EventWidget::changeYAxis2(const QString& name)
{
    changeYAxis2(name, true);
}

void EventWidget::changeYAxis2(const QString& name, bool update)
{
    guardRebuild(QStringLiteral("Failed to group events"), QStringLiteral("grouping the events"), Recovery::Cells,
                 [&] {
                     resetOtherYBox(false);
                     iChangeYAxis(name, update, false);
                 });
}

void EventWidget::resetAxes()
{
    changeXAxis(NONE_NAME, false);
    iChangeYAxis(NONE_NAME, false, true);
    changeZAxis(NONE_NAME, false);
    clearSelection();
    clearHighlights();
    conversationMode = options && options->orientationBox->currentIndex() != 0 ? 1 : 0;
    if (options)
        options->setupAxisCombos();
    reload();
    setSize(-1, -1);
}

int EventWidget::ruleCounter = 0;

namespace {

// A glyph of the matrix as a pattern takes it: its look and condition,
// none of the events it stands for or of its selection.
BinItem patternGlyph(const BinItem& item)
{
    BinItem copy(item);
    copy.packets.clear();
    copy.owner = nullptr;
    copy.selected = false;
    copy.highlighted = false;
    copy.selectedCount = 0;
    copy.totalCount = 0;
    copy.auxValue = 0;
    for (BinItem& child : copy.children) {
        child.packets.clear();
        child.owner = nullptr;
        child.selected = false;
        child.highlighted = false;
        child.selectedCount = 0;
        child.totalCount = 0;
        child.auxValue = 0;
        child.detail.clear();
    }
    return copy;
}

// The selected glyphs of every cell, in cell order and row order.
TList<BinItem*> selectedGlyphs(const TList<BinCell*>& cells, const FlatSet<BinItem*>& selected)
{
    TList<BinItem*> glyphs;
    if (selected.isEmpty())
        return glyphs;
    for (BinCell* cell : cells) {
        QMutexLocker locker(cell->rowsMutex);
        for (const TList<BinItem*>& row : cell->rows)
            for (BinItem* item : row)
                if (selected.contains(item))
                    glyphs.append(item);
    }
    return glyphs;
}

} // namespace

void EventWidget::createRule()
{
    HandlerGuard::run([this] { createRule(selectedGlyphs(cells, selectedItemSet)); });
}

RuleEditorWidget* EventWidget::createRule(const TList<BinItem*>& glyphs)
{
    // The trees are the rule's once it is made: out of memory before, they go.
    std::unique_ptr<ParseNode> pre(new ParseNode(ParseNode::And));
    for (const BinItem* glyph : glyphs) {
        if (!glyph)
            continue;
        std::unique_ptr<ParseNode> leaf(new ParseNode(ParseNode::Leaf));
        // The leaf owns a clone of the glyph's condition.
        leaf->setGlyph(patternGlyph(*glyph));
        pre->addChild(leaf.get());
        leaf.release();
    }
    std::unique_ptr<ParseNode> post(new ParseNode(ParseNode::And));
    std::unique_ptr<ParseNode> empty(new ParseNode(ParseNode::Leaf));
    empty->setGlyph(EmptyItem(false, nullptr));
    post->addChild(empty.get());
    empty.release();
    const Rule rule(QStringLiteral("filter ") + QString::number(ruleCounter), pre.get(), post.get(), true, true);
    pre.release();
    post.release();

    RuleEditorWidget* editor = RuleEditorWidget::openWindow(control);
    editor->setRule(Rule(rule));
    // The number is used once the rule shows.
    ++ruleCounter;
    return editor;
}

void EventWidget::reset()
{
    changeXAxis(NONE_NAME, false);
    iChangeYAxis(NONE_NAME, false, true);
    changeZAxis(NONE_NAME, false);
    ImgWidget::reset();
}

// ---------------------------------------------------------------------------
// Reload and layout

BinCell* EventWidget::cellAt(int row, int column) const
{
    qint64 index;
    if (xNone && yNone)
        index = 0;
    else if (xNone)
        index = row;
    else if (yNone)
        index = column;
    else
        index = qint64(row) * (xAxis ? xAxis->count() : 1) + column;
    if (row < 0 || column < 0 || index < 0 || index >= cells.size())
        return nullptr;
    return cells[int(index)];
}

void EventWidget::reloadCells()
{
    const RebuildScope rebuild(context);
    cellsDropped = false;
    qDebug().noquote() << "reload";
    setUpdatesEnabled(false);
    cancelOverview();

    // Highlights survive the rebuild: the new cells mark the same events.
    const QSet<PacketPtr> highlighted = highlightedPackets();
    clearImages();
    // The glyphs of the old cells become those of the new ones.
    ItemStock stock;
    for (BinCell* cell : cells)
        cell->handOverItems(stock);
    deleteCells();

    GlyphStore* store = control ? control->glyphStore : glyphStore;
    if (xAxis && yAxis && store) {
        const int nY = yAxis->count();
        const int nX = xAxis->count();
        const TList<QString> labels = yAxis->labels();

        IAxis* sizeAxis = nullptr;
        int sizeColumn = -1;
        if (!zNone && zAxis) {
            auto found = store->attributeColumns.constFind(zAxis->name);
            if (found != store->attributeColumns.constEnd()) {
                sizeAxis = zAxis;
                sizeColumn = found.value();
            } else {
                qDebug().noquote() << "glyph size attribute" << zAxis->name
                                   << "is not an event attribute: glyphs keep their size";
            }
        }
        // A cell is the matrix's once it is in the list; until then it goes
        // should its setting up run out of memory.
        const auto makeCell = [&](const QString& title, int column, int row) {
            std::unique_ptr<BinCell> made(new BinCell(control, this, title, this));
            BinCell* cell = made.get();
            cell->setSelectedPackets(selectedPacketSet);
            cell->setMarkedPackets(highlighted);
            cell->stacked = stack;
            cell->column = column;
            cell->row = row;
            cell->showLabels = labelsShown;
            cell->showPopups = popupsShown;
            cell->timeFrom = timeFrom;
            cell->timeTo = timeTo;
            cell->groupSort = groupSort;
            cell->rowGap = rowGap;
            cell->glyphSize = glyphSize;
            cell->conversationMode = conversationMode;
            cell->sizeAxis = sizeAxis;
            cell->sizeAttribute = sizeColumn;
            cells.append(cell);
            made.release();
        };
        for (int y = 0; y < nY; ++y) {
            const QString title = yNone ? QStringLiteral("All") : (y < labels.size() ? labels[y] : QString());
            for (int x = 0; x < nX; ++x)
                makeCell(title, x, y);
        }
        makeCell(QStringLiteral("Unknown"), 0, nY);

        qDebug().noquote() << "dividing data";
        if (context) {
            const CellsLocked locked(cells);
            const THash<QString, int>& eventColumns = store->attributeColumns;
            const THash<QString, int>& traceColumns = store->conversationAttributeColumns;
            const bool eventSide = !yNone && eventColumns.contains(yAxis->name);
            const TList<PacketPtr>& records = eventSide ? context->packets : context->conversationPackets;
            const int yColumn = yNone ? 0 : (eventSide ? eventColumns : traceColumns).value(yAxis->name, -1);
            const int xColumn = xNone ? 0 : traceColumns.value(xAxis->name, -1);
            const int idColumn = traceColumns.value(CONV_CONVID, -1);
            if (!eventSide && idColumn < 0)
                qDebug().noquote() << "no" << CONV_CONVID << "among the trace attributes: no trace is placed";
            BinCell* unknown = cells.last();
            bool reported = false;
            if (eventSide) {
                // Each event's tile is found in parts, on several threads
                // when there are many; then each tile takes its events in
                // their order, the tiles in parts as well.
                const std::size_t n = records.items.size();
                std::vector<BinCell*> target(n, nullptr);
                std::vector<int> traceIds(n, 0);
                const int parts = BinCell::partsFor(n, n);
                std::vector<char> outside(std::size_t(parts), 0);
                // An axis of no attribute puts every value into its one bin:
                // its value need not be read.
                const bool xConstant = dynamic_cast<const EmptyAxis*>(xAxis) != nullptr;
                const bool yConstant = dynamic_cast<const EmptyAxis*>(yAxis) != nullptr;
                const int xFixed = xConstant ? xAxis->binIndex(TVariant()) : 0;
                const int yFixed = yConstant ? yAxis->binIndex(TVariant()) : 0;
                ThreadBudget::runInParts(n, parts, [&](int k, std::size_t from, std::size_t to) {
                    for (std::size_t i = from; i < to; ++i) {
                        const PacketPtr& record = records.items[i];
                        if (!record)
                            continue;
                        const int xBin = xConstant ? xFixed : xAxis->binIndex(record->get(xColumn));
                        const int yBin = yConstant ? yFixed : yAxis->binIndex(record->get(yColumn));
                        BinCell* cell = xBin < 0 || yBin < 0 || yBin >= nY || xBin >= nX ? nullptr
                                                                                         : cellAt(yBin, xBin);
                        if (!cell) {
                            outside[std::size_t(k)] = 1;
                            cell = unknown;
                        }
                        target[i] = cell;
                        traceIds[i] = record->conversationId;
                    }
                });
                if (std::find(outside.begin(), outside.end(), 1) != outside.end())
                    qDebug().noquote() << "interesting bin -1";
                const int cellParts = BinCell::partsFor(n, std::size_t(cells.size()));
                ThreadBudget::runInParts(std::size_t(cells.size()), cellParts,
                                         [&](int, std::size_t from, std::size_t to) {
                                             for (std::size_t c = from; c < to; ++c)
                                                 cells.items[c]->addRecords(records, target, &traceIds);
                                         });
            }
            // Traces go whole into the tile of their trace attributes.
            QSet<int> placed;
            std::map<BinCell*, std::vector<const TList<PacketPtr>*>> tracesOf;
            const TList<PacketPtr> noRecords;
            for (const PacketPtr& record : eventSide ? noRecords : records) {
                if (!record)
                    continue;
                const int xBin = xAxis->binIndex(record->get(xColumn));
                const int yBin = yAxis->binIndex(record->get(yColumn));
                BinCell* cell = xBin < 0 || yBin < 0 || yBin >= nY || xBin >= nX ? nullptr : cellAt(yBin, xBin);
                if (!cell) {
                    if (!reported) {
                        qDebug().noquote() << "interesting bin -1";
                        reported = true;
                    }
                    continue;
                }
                if (idColumn < 0)
                    continue;
                const int id = record->get(idColumn).toInt();
                if (placed.contains(id))
                    continue;
                placed.insert(id);
                auto trace = context->conversations.constFind(id);
                if (trace != context->conversations.constEnd())
                    tracesOf[cell].push_back(&trace.value());
            }
            for (auto& entry : tracesOf)
                entry.first->addTraces(entry.second);
        }

        if (!cells.isEmpty() && !holdsEvents(cells.last())) {
            delete cells.last();
            cells.items.pop_back();
        }
        for (BinCell* cell : cells)
            cell->buildData(false, &stock);

        MainWindow* window = control ? control->mainWindow : nullptr;
        SettingsWidget* panel = window ? window->settingsWidget : nullptr;
        RuleOverviewWidget* rules = panel ? (side == 0 ? panel->ruleOverview : panel->rightRuleOverview) : nullptr;
        if (rules)
            rules->rebuildSoon();
    }

    qDebug().noquote() << "setcluster";
    setCluster(clusterMode);
    // The new glyphs that hold selected events are the selected glyphs now.
    gatherSelectedItems();
    qDebug().noquote() << "done";

    setUpdatesEnabled(true);
    sendOverviewRender();
    update();
}

// ---------------------------------------------------------------------------
// Rebuilds that run out of memory

void EventWidget::reload()
{
    guardRebuild(QStringLiteral("Failed to group events"), QStringLiteral("grouping the events"), Recovery::Cells,
                 [this] { reloadCells(); });
}

void EventWidget::setStack(bool on)
{
    guardRebuild(QStringLiteral("Failed to stack rows"), QStringLiteral("stacking the rows"), Recovery::Cells,
                 [this, on] {
                     if (!cellsDropped) {
                         stackCells(on);
                         return;
                     }
                     stack = on;
                     reloadCells();
                     setSize(-1, -1);
                 });
}

void EventWidget::setItemSize(int size)
{
    guardRebuild(QStringLiteral("Failed to resize glyphs"), QStringLiteral("resizing the glyphs"), Recovery::Cells,
                 [this, size] {
                     if (cellsDropped)
                         reloadCells();
                     resizeItems(size);
                 });
}

void EventWidget::reloadRules()
{
    guardRebuild(QStringLiteral("Failed to apply rules"), QStringLiteral("applying the rules"), Recovery::Cells,
                 [this] {
                     if (cellsDropped)
                         reloadCells();
                     reloadCellsWithRules();
                 });
}

void EventWidget::find(ParseNode* tree, bool findTraces, bool notLongest, bool createAttribute)
{
    guardRebuild(QStringLiteral("Failed to find events"), QStringLiteral("finding the events"), Recovery::Selection,
                 [&] { findInCells(tree, findTraces, notLongest, createAttribute); });
}

void EventWidget::selectGlyphs(const TList<BinItem*>& select, const TList<BinItem*>& deselect)
{
    guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                 Recovery::Selection, [&] { selectGlyphsInCells(select, deselect); });
}

bool EventWidget::guardRebuild(const QString& title, const QString& action, Recovery recovery, void (*run)(void*),
                               void* work)
{
    if (rebuildDepth > 0) {
        run(work);
        return true;
    }
    // A count of the rule overview that the last rebuild put off is of the
    // cells as that rebuild left them: it is made before they change.
    MainWindow* window = control ? control->mainWindow : nullptr;
    SettingsWidget* panel = window ? window->settingsWidget : nullptr;
    if (RuleOverviewWidget* rules = panel ? (side == 0 ? panel->ruleOverview : panel->rightRuleOverview) : nullptr)
        rules->settle();
    const char* failure = nullptr;
    try {
        struct Depth
        {
            int& depth;
            explicit Depth(int& depth) : depth(depth) { ++depth; }
            ~Depth() { --depth; }
        } inside(rebuildDepth);
        run(work);
        return true;
    } catch (const std::bad_alloc&) {
        failure = "ran out of memory";
    } catch (const std::system_error&) {
        failure = "could not start a thread";
    }
    try {
        recoverRebuild(title, action, recovery, QString::fromLatin1(failure));
    } catch (const std::exception&) {
        // Not even the way back found the memory it needed: the matrix goes
        // without cells and without a word, which freeing them needs none.
        deleteCells();
        cellsDropped = true;
        // A repaint asked for allocates too: without memory for it, the
        // next one shows the empty matrix.
        try {
            setUpdatesEnabled(true);
            update();
        } catch (const std::bad_alloc&) {
        }
    }
    return false;
}

void EventWidget::recoverRebuild(const QString& title, const QString& action, Recovery recovery,
                                 const QString& failure)
{
    qWarning().noquote() << "the event matrix" << failure << "while" << action;
    QString shows;
    try {
        if (recovery == Recovery::Selection) {
            dropSelection();
            shows = QStringLiteral("now shows no selection.");
        }
    } catch (const std::exception&) {
        recovery = Recovery::Cells;
    }
    if (recovery == Recovery::Cells) {
        dropCells();
        shows = QStringLiteral("now shows no events. A change of the grouping, the stacking or the context "
                               "builds it again.");
    }
    MessageAsker::ask(QMessageBox::Warning, title,
                      QStringLiteral("The event matrix ") + failure + QStringLiteral(" while ") + action
                          + QStringLiteral(" and ") + shows,
                      QMessageBox::Ok, this);
}

void EventWidget::dropCells()
{
    cancelOverview();
    closePopup();
    deleteCells();
    cellsDropped = true;
    MainWindow* window = control ? control->mainWindow : nullptr;
    SettingsWidget* panel = window ? window->settingsWidget : nullptr;
    RuleOverviewWidget* rules = panel ? (side == 0 ? panel->ruleOverview : panel->rightRuleOverview) : nullptr;
    if (rules)
        rules->rebuild();
    // The selected events stay: the next cells mark their glyphs.
    setUpdatesEnabled(true);
    clearImages();
    repositionCells();
    render(true, true, nullptr);
    sendOverviewRender();
    updateStatistics();
}

void EventWidget::dropSelectionForRebuild()
{
    const bool shown = !selectedPacketSet.isEmpty() || !selectedItemSet.isEmpty() || !selectedSequences.isEmpty();
    clearSelection();
    // The views that show the selection are told, as by a click on empty
    // space.
    if (shown)
        sendSelection(TList<PacketPtr>(), selectedPacketSet);
}

void EventWidget::dropSelection()
{
    // The rebuild may have marked glyphs before it set the flag that says so.
    selectionMarksClear = false;
    clearSelection();
    sendSelection(TList<PacketPtr>(), selectedPacketSet);
    setUpdatesEnabled(true);
    renderAllCells();
    render(true, true, nullptr);
    updateStatistics();
}

void EventWidget::repositionCells()
{
    if (!xAxis)
        return;
    QElapsedTimer elapsed;
    elapsed.start();
    const int nX = xAxis->count();
    const int nY = yAxis ? yAxis->count() : 0;
    const double columnWidth = std::max(nX > 0 ? xAxis->width / nX : xAxis->width, 1.0);
    const double bottom = height();
    // The "Unknown" cell follows the grid, when it is there.
    BinCell* unknown = cells.size() > qint64(nX) * nY ? cells.last() : nullptr;

    for (int i = 0; i < nX; ++i) {
        const double x = i * columnWidth + xAxis->x;
        double y = yAxis ? yAxis->y - yAxis->width : 0.0;
        TList<BinCell*> column;
        for (int r = 0; r < nY; ++r) {
            BinCell* cell = cellAt(r, i);
            if (cell && cell != unknown && !column.contains(cell))
                column.append(cell);
        }
        if (i == 0 && unknown)
            column.append(unknown);
        for (BinCell* cell : column) {
            double h = holdsEvents(cell) ? std::min(bottom, cell->contentHeight()) : 0.0;
            if (y + h > bottom)
                h = std::max(0.0, bottom - y);
            cell->move(IAxis::clampToInt(x), IAxis::clampToInt(y));
            if (cell->firstLine >= 0)
                y += h;
            cell->resizeWidget(IAxis::clampToInt(columnWidth), IAxis::clampToInt(h));
        }
    }

    qint64 lines = 0;
    for (const BinCell* cell : cells)
        lines += qint64(cell->lineCount()) + 1;
    if (RibbonEventWidget* carrier = ribbon()) {
        carrier->setPageStep(1);
        carrier->setMaximum(int(std::min<qint64>(lines + 1, std::numeric_limits<int>::max())));
    }
    updateStatistics();
    qDebug().noquote().nospace() << elapsed.elapsed() << " mseconds reposition cells";
}

void EventWidget::setSize(int w, int h)
{
    QElapsedTimer elapsed;
    elapsed.start();
    ImgWidget::setSize(w, h);
    const int width = image.width();
    const int height = image.height();
    for (IAxis* axis : {xAxis, yAxis}) {
        if (!axis)
            continue;
        axis->x = AXIS_OFFSET;
        axis->y = height - AXIS_OFFSET;
    }
    if (xAxis)
        xAxis->setSize(width - AXIS_MARGIN, AXIS_THICKNESS);
    if (yAxis)
        yAxis->setSize(height - AXIS_MARGIN, AXIS_THICKNESS);
    if (!cells.isEmpty())
        repositionCells();
    qDebug().noquote().nospace() << elapsed.elapsed() << " msecond refresh";
    render(false, true, nullptr);
}

void EventWidget::setBinOffset(int offset)
{
    binOffset = offset;
    scrollBar = ribbonScrollBar();
    qDebug().noquote() << "offset" << offset;
    qint64 r = offset;
    for (BinCell* cell : cells) {
        const int lines = cell->lineCount();
        cell->firstLine = lines >= r ? int(std::max<qint64>(r, 0)) : -1;
        r -= qint64(lines) + 1;
    }
    repositionCells();
    render(true, true, nullptr);
    if (control) {
        ScrollEvent e(this, std::max(offset - 1, 0), {side});
        QCoreApplication::sendEvent(control, &e);
    }
}

// ---------------------------------------------------------------------------
// Display settings

void EventWidget::showLabels(bool on)
{
    labelsShown = on;
    for (BinCell* cell : cells) {
        cell->showLabels = on;
        cell->render(true, true, nullptr);
    }
    render(true, true, nullptr);
}

void EventWidget::showPopups(bool on)
{
    popupsShown = on;
    if (!on) {
        hoverTimer->stop();
        closePopup();
    }
    for (BinCell* cell : cells) {
        cell->showPopups = on;
        cell->render(true, true, nullptr);
    }
    render(true, true, nullptr);
}

void EventWidget::stackCells(bool on)
{
    const RebuildScope rebuild(context);
    cancelOverview();
    stack = on;
    forgetItems();
    for (BinCell* cell : cells) {
        cell->stacked = on;
        cell->selectedPackets = selectedPacketSet;
        cell->buildData(true);
    }
    setCluster(clusterMode);
    restoreSelection();
    if (QScrollBar* bar = ribbonScrollBar()) {
        scrollBar = bar;
        bar->setValue(0);
    } else {
        renderVisibleCells();
        render(true, true, nullptr);
    }
    sendOverviewRender();
}

void EventWidget::setConv(bool traces)
{
    if (traces)
        setConv1();
    else
        setConv2();
}

void EventWidget::setConv1()
{
    conversationMode = 0;
    reload();
    repositionCells();
    setSize(-1, -1);
}

void EventWidget::setConv2()
{
    conversationMode = 1;
    reload();
    repositionCells();
    setSize(-1, -1);
}

void EventWidget::setConv3()
{
    conversationMode = 2;
    reload();
    repositionCells();
    setSize(-1, -1);
}

void EventWidget::resizeItems(int size)
{
    if (size < 1) {
        qDebug().noquote() << "glyph size" << size << "is below 1 pixel: 1 is used";
        size = 1;
    }
    cancelOverview();
    matrixItemSize = size;
    glyphSize = size;
    const QSet<PacketPtr> highlighted = highlightedPackets();
    forgetItems();
    for (BinCell* cell : cells) {
        cell->markedPackets = highlighted;
        cell->selectedPackets = selectedPacketSet;
        rowGap = int(std::max(std::min(0.2 * size, 10.0), double(cell->itemGap + 5)));
        cell->rowGap = rowGap;
        cell->glyphSize = size;
        cell->buildData(true);
    }
    setCluster(clusterMode);
    restoreSelection();
    repositionCells();
    render(true, true, nullptr);
}

void EventWidget::setSort(const QString&)
{
    guardRebuild(QStringLiteral("Failed to group events"), QStringLiteral("grouping the events"), Recovery::Cells,
                 [this] {
                     // The Y axis is built again through the box that chose
                     // it, so that an event attribute keeps the event side's
                     // values and column.
                     const QString name = yNone || !yAxis ? NONE_NAME : yAxis->name;
                     if (yTraceSide)
                         changeYAxis(name, true);
                     else
                         changeYAxis2(name, true);
                     reload();
                     setSize(-1, -1);
                     sendOverviewRender();
                 });
}

void EventWidget::setGroupSort(const QString&)
{
    HandlerGuard::run([this] { setSort(options ? options->groupOrderBox->currentText() : QString()); });
}

void EventWidget::setClusterSort(const QString&)
{
    HandlerGuard::run([this] { setCluster(options ? options->sortBox->currentText() : clusterMode); });
}

void EventWidget::refresh()
{
    HandlerGuard::run([this] {
        if (!yNone)
            setSort(QString());
        if (!xNone) {
            setCluster(clusterMode);
            renderVisibleCells();
            render(true, true, nullptr);
        }
    });
}

void EventWidget::setTimeWindow(double from, double to)
{
    timeFrom = from;
    timeTo = to;
    for (BinCell* cell : cells) {
        cell->timeFrom = from;
        cell->timeTo = to;
    }
    repositionCells();
    render(true, true, nullptr);
}

// ---------------------------------------------------------------------------
// Row orders

void EventWidget::setCluster(const QString& mode)
{
    // The clustering's distance table grows with the square of the rows:
    // out of memory, the matrix drops its cells and says so.
    guardRebuild(QStringLiteral("Failed to sort rows"), QStringLiteral("sorting the rows"), Recovery::Cells,
                 [&] { orderRows(mode); });
}

void EventWidget::orderRows(const QString& mode)
{
    if (options)
        options->sortDirectionBox->setEnabled(mode != DEFAULT_MODE);
    const bool ascending = !options || options->sortDirectionBox->currentText() == QLatin1String("ASC");
    clusterMode = mode;

    if (mode == DEFAULT_MODE) {
        // The cells' orders are made in parts, on several threads when the
        // rows are many; each cell then takes its own.
        std::size_t rowCount = 0;
        for (const BinCell* cell : cells)
            rowCount += cell->rows.items.size();
        std::vector<QHash<int, int>> orders(std::size_t(cells.size()));
        ThreadBudget::runInParts(orders.size(), BinCell::partsFor(rowCount, orders.size()),
                                 [&](int, std::size_t from, std::size_t to) {
                                     for (std::size_t c = from; c < to; ++c)
                                         orders[c] = defaultOrder(cells.items[c]->rows);
                                 });
        for (std::size_t c = 0; c < orders.size(); ++c)
            cells.items[c]->reorderRows(orders[c]);
    } else if (mode.contains(QLatin1String("Selected"))) {
        for (BinCell* cell : cells)
            cell->reorderRows(selectedOrder(cell->rows, ascending));
    } else if (mode.contains(CLUSTER_METRIC)) {
        // The clustering starts from the alphabetical order, which stays the
        // recorded mode.
        orderRows(ALPHABETICAL_MODE);
        clusterCells();
    } else if (mode == FREQUENCY_MODE) {
        for (BinCell* cell : cells)
            cell->reorderRows(frequencyOrder(cell, stack, ascending));
    } else if (mode == ALPHABETICAL_MODE) {
        for (BinCell* cell : cells)
            cell->reorderRows(alphabeticalOrder(cell->rows, ascending));
    }

    sendOverviewRender();
    setSize(-1, -1);
}

void EventWidget::clusterCells()
{
    for (BinCell* cell : cells) {
        const Rows& rows = cell->rows;
        if (rows.isEmpty())
            continue;
        QHash<int, int> order;
        if (!stack) {
            // Equal rows are clustered once, as one pattern.
            const TList<TList<TList<BinItem*>>> groups = cell->buildStacked(rows);
            const int count = groups.size();
            if (count > MAX_CLUSTER_ROWS) {
                qDebug().noquote() << "cell" << cell->header.title << "has" << count
                                   << "distinct rows, more than the" << MAX_CLUSTER_ROWS
                                   << "that can be clustered: the rows keep the alphabetical order";
                continue;
            }
            Rows firsts;
            firsts.items.reserve(std::size_t(count));
            QList<int> ids;
            ids.reserve(count);
            for (int k = 0; k < count; ++k) {
                firsts.append(groups[k].first());
                ids.append(k);
            }
            std::unique_ptr<GNode<int>> root(hierarchicalClustering(CLUSTER_METRIC, firsts, ids));
            if (!root)
                continue;
            int position = 0;
            for (int k : root->items) {
                if (k < 0 || k >= count)
                    continue;
                for (const TList<BinItem*>& row : groups[k]) {
                    int id = 0;
                    if (rowTrace(row, &id))
                        order.insert(id, position++);
                }
            }
        } else {
            const int count = rows.size();
            if (count > MAX_CLUSTER_ROWS) {
                qDebug().noquote() << "cell" << cell->header.title << "has" << count
                                   << "rows, more than the" << MAX_CLUSTER_ROWS
                                   << "that can be clustered: the rows keep the alphabetical order";
                continue;
            }
            QList<int> ids;
            ids.reserve(count);
            for (int k = 0; k < count; ++k)
                ids.append(k);
            std::unique_ptr<GNode<int>> root(hierarchicalClustering(CLUSTER_METRIC, rows, ids));
            if (!root)
                continue;
            int position = 0;
            for (int k : root->items) {
                int id = 0;
                if (k >= 0 && k < count && rowTrace(rows[k], &id))
                    order.insert(id, position);
                ++position;
            }
        }
        cell->reorderRows(order);
    }
}

// ---------------------------------------------------------------------------
// Selection

namespace {

bool ctrlHeld()
{
    return QGuiApplication::keyboardModifiers().testFlag(Qt::ControlModifier);
}

QPointF rounded(const QPointF& p)
{
    return QPointF(std::round(p.x()), std::round(p.y()));
}

// Whether a drawn glyph's rectangle (edges included) holds the point, in
// the matrix's coordinates.
bool itemHolds(const BinItem* item, const QPointF& p)
{
    return item && item->visible && p.x() >= item->parentLeft() && p.x() <= item->parentRight()
           && p.y() >= item->parentTop() && p.y() <= item->parentBottom();
}

const QList<QVariant> SELECT_ARGS{QStringLiteral("select")};

// The number of distinct trace numbers. They are mostly 0 .. traces - 1: a
// table of seen numbers counts them in one pass; scattered numbers are
// sorted instead.
qint64 distinctIds(std::vector<int>& ids)
{
    if (ids.empty())
        return 0;
    const auto range = std::minmax_element(ids.begin(), ids.end());
    const qint64 low = *range.first;
    const qint64 span = qint64(*range.second) - low + 1;
    if (span <= 4 * qint64(ids.size()) + 1024) {
        std::vector<char> seen(std::size_t(span), 0);
        qint64 count = 0;
        for (int id : ids) {
            char& mark = seen[std::size_t(id - low)];
            count += mark ? 0 : 1;
            mark = 1;
        }
        return count;
    }
    std::sort(ids.begin(), ids.end());
    return qint64(std::unique(ids.begin(), ids.end()) - ids.begin());
}

// The number of distinct traces the events belong to.
qint64 distinctTraces(const PacketSet& events)
{
    std::vector<int> ids;
    ids.reserve(std::size_t(events.size()));
    for (const PacketPtr& p : events)
        if (p)
            ids.push_back(p->conversationId);
    return distinctIds(ids);
}

// The sets of a selection made of chosen glyphs: their events and the
// glyphs themselves, added to copies of the current sets. For many glyphs,
// the helpers of the thread budget fill them while the caller goes on: it
// may write the glyphs' flags and counts meanwhile, but not their event
// lists. The take functions wait for the helpers (or do what none took);
// each is called once.
class ChosenSets
{
public:
    ChosenSets(const TList<BinItem*>& select, PacketSet events, FlatSet<BinItem*> glyphs)
        : select(select), events(std::move(events)), glyphs(std::move(glyphs)),
          parallel(select.size() >= EventWidget::parallelSelection)
    {
        if (!parallel)
            return;
        // Copies of the events, part by part; then the set indexes them on
        // as many threads.
        parts = ThreadBudget::count();
        copies.resize(std::size_t(parts));
        ids.resize(std::size_t(parts));
        counting = this->events.isEmpty();
        copying = std::make_unique<ThreadBudget::Background>(
            select.items.size(), parts, [this](int k, std::size_t from, std::size_t to) { copyPart(k, from, to); });
        adding = std::make_unique<ThreadBudget::Background>(1, 1, [this](int, std::size_t, std::size_t) { addGlyphs(); });
    }

    ChosenSets(const ChosenSets&) = delete;
    ChosenSets& operator=(const ChosenSets&) = delete;

    PacketSet takeEvents()
    {
        if (!parallel) {
            for (const BinItem* item : select)
                if (item)
                    for (const PacketPtr& p : item->packets)
                        events.insert(p);
            return std::move(events);
        }
        copying->finish();
        events.adoptAll(copies, parts);
        if (counting) {
            std::vector<int> all;
            for (const std::vector<int>& part : ids)
                all.insert(all.end(), part.begin(), part.end());
            traceCount = distinctIds(all);
        }
        return std::move(events);
    }

    FlatSet<BinItem*> takeGlyphs()
    {
        if (parallel)
            adding->finish();
        else
            addGlyphs();
        return std::move(glyphs);
    }

    // After takeEvents: the number of distinct traces of the chosen events
    // when the helpers counted them (they start from no events), else -1.
    qint64 traces() const { return traceCount; }

private:
    void copyPart(int k, std::size_t from, std::size_t to)
    {
        std::vector<PacketPtr>& copy = copies[std::size_t(k)];
        std::vector<int>& traceIds = ids[std::size_t(k)];
        for (std::size_t i = from; i < to; ++i) {
            const BinItem* item = select.items[i];
            if (!item)
                continue;
            for (const PacketPtr& p : item->packets) {
                copy.push_back(p);
                if (counting && p)
                    traceIds.push_back(p->conversationId);
            }
        }
    }

    void addGlyphs()
    {
        glyphs.reserve(glyphs.size() + select.size());
        for (BinItem* item : select)
            if (item)
                glyphs.insert(item);
    }

    const TList<BinItem*>& select;
    PacketSet events;
    FlatSet<BinItem*> glyphs;
    const bool parallel;
    int parts = 1;
    bool counting = false;
    qint64 traceCount = -1;
    std::vector<std::vector<PacketPtr>> copies;
    std::vector<std::vector<int>> ids;
    // Last: they end the helpers' parts before the sets above go.
    std::unique_ptr<ThreadBudget::Background> copying;
    std::unique_ptr<ThreadBudget::Background> adding;
};

} // namespace

int EventWidget::findCounter = 0;
int EventWidget::parallelSelection = 20000;
int EventWidget::parallelFind = 20000;

bool EventWidget::cellHolds(const BinCell* cell, const QPointF& p) const
{
    return cell->firstLine >= 0 && p.x() >= cell->x() && p.x() <= cell->x() + cell->width() && p.y() >= cell->y()
           && p.y() <= cell->y() + cell->height();
}

BinItem* EventWidget::glyphAt(const QPointF& point) const
{
    for (int k = cells.size() - 1; k >= 0; --k) {
        BinCell* cell = cells[k];
        if (cell->firstLine < 0)
            continue;
        // The overview strip lays the glyphs out on its own thread.
        QMutexLocker locker(cell->rowsMutex);
        for (const TList<BinItem*>& slice : cell->visibleRows)
            for (BinItem* item : slice)
                if (itemHolds(item, point))
                    return item;
    }
    return nullptr;
}

void EventWidget::selectItems(const QHash<BinItem*, bool>& select, const QHash<BinItem*, bool>& deselect)
{
    TList<BinItem*> chosen;
    chosen.items.reserve(std::size_t(select.size()));
    for (auto it = select.constBegin(); it != select.constEnd(); ++it)
        chosen.append(it.key());
    TList<BinItem*> dropped;
    dropped.items.reserve(std::size_t(deselect.size()));
    for (auto it = deselect.constBegin(); it != deselect.constEnd(); ++it)
        dropped.append(it.key());
    selectGlyphs(chosen, dropped);
}

void EventWidget::selectGlyphsInCells(const TList<BinItem*>& select, const TList<BinItem*>& deselect)
{
    QElapsedTimer elapsed;
    elapsed.start();
    selectionMarksClear = false;
    const bool ctrl = ctrlHeld();
    ChosenSets chosen(select, ctrl ? selectedPacketSet : PacketSet(),
                      ctrl ? selectedItemSet : FlatSet<BinItem*>());
    if (!ctrl) {
        // The old selection goes; the cells' pass below gives every glyph
        // its marks anew.
        selectedPacketSet.clear();
        selectedItemSet.clear();
        selectedSequences.clear();
        countedSet.clear();
    }
    clearHighlights();
    bool anyChosen = false;
    for (BinItem* item : select) {
        if (!item)
            continue;
        anyChosen = true;
        item->selected = true;
        if (!ctrl)
            item->selectedCount = BinCell::CHOSEN;
    }
    QList<QVariant> args = SELECT_ARGS;
    if (ctrl) {
        args.append(QStringLiteral("ctrl"));
        selectedPacketSet = chosen.takeEvents();
        selectedItemSet = chosen.takeGlyphs();
        for (BinItem* item : deselect) {
            if (!item)
                continue;
            if (!selectedPacketSet.isEmpty())
                for (const PacketPtr& p : item->packets)
                    selectedPacketSet.remove(p);
            selectedItemSet.remove(item);
            item->selected = false;
        }
        // The cells count the selected events of every glyph (partial
        // glyphs); the sequences are then taken from those marks.
        for (BinCell* cell : cells)
            cell->setSelectedPackets(selectedPacketSet);
        qDebug().noquote() << selectedItemSet.size() << "number of glyphs";
        collectSelectedSequences();
    } else {
        // The chosen glyphs hold only events of the selection: the cells
        // mark them, unmark every other glyph and gather the sequences
        // while the helpers may still fill the sets. Then the events of
        // the other glyphs are looked up; one that holds some of the chosen
        // events is partly selected.
        selectedSequences.clear();
        TList<BinItem*> others;
        for (BinCell* cell : cells) {
            if (anyChosen)
                cell->markChosen(selectedSequences, others);
            else
                cell->setSelectedPackets(PacketSet());
        }
        selectedPacketSet = chosen.takeEvents();
        if (chosen.traces() >= 0) {
            countedSet = selectedPacketSet;
            countedTraces = chosen.traces();
        }
        for (BinCell* cell : cells)
            cell->selectedPackets = selectedPacketSet;
        std::atomic<bool> partly{false};
        if (!selectedPacketSet.isEmpty()) {
            const int parts = others.size() >= BinCell::parallelMarks ? ThreadBudget::count() : 1;
            ThreadBudget::runInParts(others.items.size(), parts, [&](int, std::size_t from, std::size_t to) {
                for (std::size_t i = from; i < to; ++i) {
                    BinItem* item = others.items[i];
                    int count = 0;
                    for (const PacketPtr& p : item->packets)
                        count += selectedPacketSet.contains(p) ? 1 : 0;
                    if (count > 0) {
                        item->selectedCount = count;
                        item->selected = true;
                        partly.store(true, std::memory_order_relaxed);
                    }
                }
            });
        }
        selectedItemSet = chosen.takeGlyphs();
        qDebug().noquote() << selectedItemSet.size() << "number of glyphs";
        if (partly.load(std::memory_order_relaxed))
            collectSelectedSequences();
        else
            logSelectedSequences();
    }
    qDebug().noquote() << elapsed.elapsed() << "updated ";

    qDebug().noquote() << "toList " << elapsed.elapsed();
    if (!pickerMode && control) {
        // The events go as their list, as every packets event carries
        // them, and as the set itself, which the receivers that need a set
        // share instead of building their own.
        PacketsEvent packets(this, TList<PacketPtr>(), args);
        packets.packets.items = selectedPacketSet.values();
        packets.packetSet = selectedPacketSet;
        QCoreApplication::sendEvent(control, &packets);
        if (packets.packets.items.size() >= (std::size_t(1) << 15)) {
            // Dropping hundreds of thousands of references is left to the
            // background thread that frees the large sets.
            auto* list = new std::vector<PacketPtr>(std::move(packets.packets.items));
            deferredrelease::post([list]() { delete list; });
        }
        GlyphsEvent glyphs(this, selectedSequences, args);
        QCoreApplication::sendEvent(control, &glyphs);
    }
    qDebug().noquote() << "selection done " << elapsed.elapsed();
}

void EventWidget::applySelection(TList<BinItem*> items, bool send, bool toggle)
{
    guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                 Recovery::Selection, [&] { applySelectionToCells(items, send, toggle); });
}

void EventWidget::applySelectionToCells(const TList<BinItem*>& items, bool send, bool toggle)
{
    selectionMarksClear = selectionMarksClear && items.isEmpty();
    QHash<BinItem*, bool> select;
    QHash<BinItem*, bool> deselect;
    for (BinItem* item : items) {
        if (!item)
            continue;
        if (!toggle) {
            item->selected = true;
            if (!item->packets.isEmpty()) {
                item->selectedCount = item->totalCount;
                select.insert(item, true);
            }
            continue;
        }
        item->selected = !item->selected;
        if (!item->selected) {
            item->selectedCount = 0;
            deselect.insert(item, true);
        } else if (!item->packets.isEmpty()) {
            item->selectedCount = item->totalCount;
            select.insert(item, true);
        }
    }
    if (send) {
        qDebug().noquote() << "toselect" << select.size();
        selectItems(select, deselect);
    }
}

void EventWidget::rubberBandSelect(bool send)
{
    x2 = mouseX;
    y2 = mouseY;
    const QRectF band = QRectF(QPointF(x1, y1), QPointF(x2, y2)).normalized();
    TList<BinItem*> collected;
    for (int k = cells.size() - 1; k >= 0; --k) {
        BinCell* cell = cells[k];
        if (cell->firstLine < 0)
            continue;
        QMutexLocker locker(cell->rowsMutex);
        for (const TList<BinItem*>& slice : cell->visibleRows) {
            for (BinItem* item : slice) {
                if (!item || !item->visible || item->packets.isEmpty())
                    continue;
                if (item->parentLeft() >= band.left() && item->parentRight() <= band.right()
                    && item->parentTop() >= band.top() && item->parentBottom() <= band.bottom())
                    collected.append(item);
            }
        }
    }
    // The old selection goes and the new one comes as one step: out of
    // memory between them the matrix shows none, and the other views are
    // told so.
    guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                 Recovery::Selection, [&] {
                     if (!ctrlHeld())
                         clearSelection();
                     applySelection(std::move(collected), send, false);
                 });
    renderVisibleCells();
    render(true, true, nullptr);
    updateStatistics();
}

void EventWidget::collectSelectedSequences()
{
    selectedSequences.clear();
    for (const BinCell* cell : cells) {
        for (const TList<BinItem*>& row : cell->rows) {
            TList<BinItem*> sequence;
            for (BinItem* item : row)
                if (item && item->selected)
                    sequence.append(item);
            if (!sequence.isEmpty())
                selectedSequences.append(std::move(sequence));
        }
    }
    logSelectedSequences();
}

void EventWidget::logSelectedSequences() const
{
    qint64 glyphs = 0;
    for (const TList<BinItem*>& sequence : selectedSequences)
        glyphs += sequence.size();
    qDebug().noquote() << glyphs << " selected" << selectedSequences.size();
}

TList<QSharedPointer<Packet>> EventWidget::selectedPackets() const
{
    TList<PacketPtr> result;
    if (!context || selectedPacketSet.isEmpty())
        return result;
    for (const PacketPtr& p : context->packets)
        if (selectedPacketSet.contains(p))
            result.append(p);
    return result;
}

TList<BinItem*> EventWidget::selectedItems() const
{
    TList<BinItem*> result;
    for (const BinCell* cell : cells)
        for (const TList<BinItem*>& row : cell->rows)
            for (BinItem* item : row)
                if (item && item->selected)
                    result.append(item);
    return result;
}

bool EventWidget::nothingMarked() const
{
    if (!selectionMarksClear || !selectedPacketSet.isEmpty() || !selectedItemSet.isEmpty())
        return false;
    for (const BinCell* cell : cells)
        if (!cell->selectedPackets.isEmpty())
            return false;
    return true;
}

bool EventWidget::clearSelection()
{
    bool any = !selectedItemSet.isEmpty();
    const bool unmarked = nothingMarked();
    selectedPacketSet.clear();
    countedSet.clear();
    selectedItemSet.clear();
    selectedSequences.clear();
    if (unmarked)
        return any;
    // One pass over the glyphs both finds the selected ones and unmarks them.
    for (BinCell* cell : cells)
        any = cell->setSelectedPackets(selectedPacketSet) || any;
    selectionMarksClear = true;
    return any;
}

void EventWidget::closePopup()
{
    if (!popup)
        return;
    GlyphPopup* old = popup;
    popup = nullptr;
    old->disconnect(this);
    old->hide();
    delete old;
}

bool EventWidget::clearHighlights()
{
    closePopup();
    return clearMarks();
}

bool EventWidget::clearMarks()
{
    bool any = false;
    for (BinItem* item : hoveredItems) {
        any = any || item->highlighted;
        item->highlighted = false;
        item->auxValue = 0;
    }
    hoveredItems.clear();
    // Only cells that mark events hold highlighted glyphs besides the hovered one.
    for (BinCell* cell : cells) {
        if (cell->markedPackets.isEmpty())
            continue;
        for (const TList<BinItem*>& row : cell->rows)
            for (const BinItem* item : row)
                any = any || (item && item->highlighted);
        cell->setMarkedPackets(QSet<PacketPtr>());
    }
    return any;
}

QString EventWidget::statisticsText() const
{
    qint64 glyphs = 0;
    for (const BinCell* cell : cells)
        glyphs += cell->itemCount();
    const qint64 selected = selectedPacketSet.size();
    const qint64 events = context ? context->packets.size() : 0;
    if (selectedPacketSet.isEmpty()) {
        countedSet.clear();
        countedTraces = 0;
    } else if (!selectedPacketSet.isSharedWith(countedSet)) {
        countedSet = selectedPacketSet;
        countedTraces = distinctTraces(selectedPacketSet);
    }
    const qint64 selectedTraces = countedTraces;
    const qint64 traces = context ? context->conversations.size() : 0;

    const QString traceText = QStringLiteral("Selected traces: ") + QString::number(selectedTraces) + QStringLiteral("(")
                              + ShareText::percent(selectedTraces, traces) + QStringLiteral("%)")
                              + QStringLiteral(" Total: ") + QString::number(traces);
    const QString eventText = QStringLiteral("Selected messages: ") + QString::number(selected) + QStringLiteral("(")
                              + ShareText::percent(selected, events) + QStringLiteral("%)") + QStringLiteral(" Total: ")
                              + QString::number(glyphs);
    if (!stack)
        return traceText + QStringLiteral(" | ") + eventText;
    qint64 unique = 0;
    for (const BinCell* cell : cells)
        unique += cell->stackCounts.size();
    return traceText + QStringLiteral("|") + eventText + QStringLiteral("|") + QStringLiteral("Unique patterns: ")
           + QString::number(unique);
}

void EventWidget::updateStatistics()
{
    if (control && control->statusLabel)
        control->statusLabel->setText(statisticsText());
    update();
}

void EventWidget::hoverPackets(const TList<QSharedPointer<Packet>>& packets)
{
    clearHighlights();
    QSet<PacketPtr> marked;
    marked.reserve(packets.size());
    for (const PacketPtr& p : packets)
        if (p)
            marked.insert(p);
    for (BinCell* cell : cells)
        cell->setMarkedPackets(marked);
    // The cells draw the marks into their own images first.
    renderVisibleCells();
    render(true, true, nullptr);
}

void EventWidget::showSelection(const TList<QSharedPointer<Packet>>& packets)
{
    guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                 Recovery::Selection, [&] {
                     PacketSet set;
                     set.reserve(packets.size());
                     for (const PacketPtr& p : packets)
                         if (p)
                             set.insert(p);
                     showSelection(set);
                 });
}

void EventWidget::showSelection(const PacketSet& packets)
{
    guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                 Recovery::Selection, [&] {
                     // The selection is put back should the new one not be
                     // made (a rebuild that shows its own selection again
                     // keeps it then).
                     struct Kept
                     {
                         PacketSet& selection;
                         PacketSet old;
                         bool done = false;
                         explicit Kept(PacketSet& selection) : selection(selection) { old.swap(selection); }
                         ~Kept()
                         {
                             if (!done)
                                 selection.swap(old);
                         }
                     } kept(selectedPacketSet);
                     clearSelection();
                     if (!packets.isEmpty()) {
                         selectedPacketSet = packets;
                         selectionMarksClear = false;
                         for (BinCell* cell : cells)
                             cell->setSelectedPackets(selectedPacketSet);
                     }
                     kept.done = true;
                     gatherSelectedItems();
                     renderVisibleCells();
                     render(true, true, nullptr);
                     updateStatistics();
                 });
}

void EventWidget::sendSelection(TList<QSharedPointer<Packet>> packets, const PacketSet& set)
{
    if (!control)
        return;
    PacketsEvent e(this, TList<PacketPtr>(), SELECT_ARGS);
    e.packets.items = std::move(packets.items);
    e.packetSet = set;
    QCoreApplication::sendEvent(control, &e);
    if (e.packets.items.size() >= (std::size_t(1) << 15)) {
        // Dropping hundreds of thousands of references is left to the
        // background thread that frees the large sets.
        auto* list = new std::vector<PacketPtr>(std::move(e.packets.items));
        deferredrelease::post([list]() { delete list; });
    }
    // The sequence view shows the new selection's sequences, as after a
    // click.
    GlyphsEvent glyphs(this, selectedSequences, SELECT_ARGS);
    QCoreApplication::sendEvent(control, &glyphs);
}

void EventWidget::showAndSend(TList<QSharedPointer<Packet>> packets)
{
    // Shown here and told to the other views as one step: should either run
    // out of memory, the matrix shows no selection and tells them so.
    guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                 Recovery::Selection, [&] {
                     showSelection(packets);
                     sendSelection(std::move(packets), selectedPacketSet);
                 });
}

void EventWidget::selectPackets(const TList<QSharedPointer<Packet>>& packets)
{
    showSelection(packets);
}

void EventWidget::gatherSelectedItems()
{
    selectedItemSet.clear();
    selectedSequences.clear();
    if (!nothingMarked()) {
        // The glyphs and the sequences in one pass over parts of every
        // cell's rows; many glyphs are entered into the set on several
        // threads, in the same order.
        std::vector<std::vector<BinItem*>> glyphs;
        for (const BinCell* cell : cells)
            cell->gatherSelected(selectedSequences, glyphs);
        selectedItemSet.adoptAll(glyphs, ThreadBudget::count());
    }
    logSelectedSequences();
}

void EventWidget::forgetItems()
{
    selectedItemSet.clear();
    selectedSequences.clear();
    hoveredItems.clear();
}

void EventWidget::restoreSelection()
{
    // Glyphs made from no selected events carry no marks to clear.
    if (!nothingMarked()) {
        for (BinCell* cell : cells)
            cell->setSelectedPackets(selectedPacketSet);
        selectionMarksClear = selectedPacketSet.isEmpty();
    }
    gatherSelectedItems();
}

void EventWidget::invertSelection()
{
    HandlerGuard::run([this] { invertSelected(); });
}

void EventWidget::invertSelected()
{
    TList<PacketPtr> inverted;
    if (context) {
        inverted.items.reserve(std::size_t(std::max(0, context->packets.size() - int(selectedPacketSet.size()))));
        for (const PacketPtr& p : context->packets)
            if (!selectedPacketSet.contains(p))
                inverted.append(p);
    }
    showAndSend(std::move(inverted));
}

void EventWidget::selectConversations()
{
    HandlerGuard::run([this] { selectTracesOfSelection(); });
}

void EventWidget::selectTracesOfSelection()
{
    QSet<int> ids;
    for (const PacketPtr& p : selectedPacketSet)
        if (p)
            ids.insert(p->conversationId);
    QList<int> sorted = ids.values();
    std::sort(sorted.begin(), sorted.end());
    TList<PacketPtr> events;
    for (int id : sorted) {
        if (!context)
            break;
        auto trace = context->conversations.constFind(id);
        if (trace == context->conversations.constEnd()) {
            qDebug().noquote() << "trace" << id << "of a selected event is not among the traces of"
                               << context->name << ": its events are left out";
            continue;
        }
        for (const PacketPtr& p : trace.value())
            events.append(p);
    }
    showAndSend(std::move(events));
}

void EventWidget::excludeSelection()
{
    HandlerGuard::run([this] { keepWholeRows(); });
}

void EventWidget::keepWholeRows()
{
    TList<PacketPtr> events;
    for (const BinCell* cell : cells) {
        for (const TList<BinItem*>& row : cell->rows) {
            bool whole = true;
            for (const BinItem* item : row)
                whole = whole && item && item->selected;
            if (!whole)
                continue;
            for (const BinItem* item : row)
                for (const PacketPtr& p : item->packets)
                    events.append(p);
        }
    }
    showAndSend(std::move(events));
}

QString EventWidget::uniqueAttributeName(const QString& name) const
{
    const GlyphStore* store = control ? control->glyphStore : glyphStore;
    if (!store)
        return name;
    const auto taken = [store](const QString& candidate) {
        return store->attributeColumns.contains(candidate) || store->hasAttribute(candidate);
    };
    QString candidate = name;
    for (int i = 1; taken(candidate); ++i)
        candidate = name + QLatin1Char('(') + QString::number(i) + QLatin1Char(')');
    return candidate;
}

void EventWidget::findInCells(ParseNode* tree, bool findTraces, bool notLongest, bool createAttribute)
{
    clearSelection();
    if (!tree)
        qDebug().noquote() << "find without a pattern: nothing matches";

    // Every row of every tile, in tile order and row order, with the
    // automaton of its tile (one a tile).
    std::vector<std::unique_ptr<Automaton>> automata;
    std::vector<const TList<BinItem*>*> rows;
    std::vector<int> tileOf;
    std::size_t glyphs = 0;
    for (const BinCell* cell : cells) {
        if (!tree)
            break;
        std::unique_ptr<Automaton> automaton(Automaton::build(tree));
        automata.push_back(std::move(automaton));
        for (const TList<BinItem*>& row : cell->rows) {
            rows.push_back(&row);
            tileOf.push_back(int(automata.size()) - 1);
            glyphs += row.items.size();
        }
    }

    // What the matches of one row select: their glyphs in row order (the
    // row's selected sequence, as nothing was selected before), their
    // events in that order, once for the list that is sent and once for the
    // set, and with an attribute to make, the number of the match of each
    // event within the row.
    struct RowMatches
    {
        TList<BinItem*> glyphs;
        std::vector<PacketPtr> events;
        std::vector<PacketPtr> forSet;
        std::vector<int> matchOf;
        int matches = 0;
    };
    std::vector<RowMatches> found(rows.size());

    // The rows are matched on helper threads too, each with its own matcher,
    // taking a few rows at a time; the automata, the events and the glyph
    // store are only read meanwhile, and each glyph is marked by the thread
    // that matched its row. The results are kept by row and taken in row
    // order below, so that what is selected, and in what order, does not
    // depend on the threads.
    const int parts = glyphs >= std::size_t(parallelFind) ? ThreadBudget::count() : 1;
    std::atomic<std::size_t> nextRow{0};
    // Rows are of any length: the threads take a few at a time, fewer when
    // there are few, so that they end together.
    const std::size_t rowsAtOnce =
        std::max<std::size_t>(1, std::min<std::size_t>(16, rows.size() / (8 * std::size_t(parts))));
    ThreadBudget::runInParts(std::size_t(parts), parts, [&](int, std::size_t, std::size_t) {
        RuleMatcher matcher(control);
        for (;;) {
            const std::size_t from = nextRow.fetch_add(rowsAtOnce, std::memory_order_relaxed);
            if (from >= rows.size())
                break;
            const std::size_t to = std::min(rows.size(), from + rowsAtOnce);
            for (std::size_t r = from; r < to; ++r) {
                const TList<TList<BinItem*>> matches =
                    matcher.findMatches(automata[std::size_t(tileOf[r])].get(), *rows[r], notLongest, findTraces);
                if (matches.isEmpty())
                    continue;
                RowMatches& result = found[r];
                for (const TList<BinItem*>& match : matches) {
                    for (BinItem* glyph : match) {
                        if (!glyph)
                            continue;
                        glyph->selected = true;
                        glyph->selectedCount = glyph->totalCount;
                        result.glyphs.append(glyph);
                        for (const PacketPtr& p : glyph->packets) {
                            result.events.push_back(p);
                            result.forSet.push_back(p);
                            if (createAttribute)
                                result.matchOf.push_back(result.matches);
                        }
                    }
                    ++result.matches;
                }
            }
        }
    });

    std::size_t events = 0;
    std::size_t matchedGlyphs = 0;
    for (const RowMatches& result : found) {
        events += result.events.size();
        matchedGlyphs += result.glyphs.items.size();
    }
    if (matchedGlyphs > 0)
        selectionMarksClear = false;
    // Sized once: the sets grow by whole rows below.
    selectedPacketSet.reserve(int(std::min<std::size_t>(events, std::numeric_limits<int>::max() / 2)));
    selectedItemSet.reserve(int(std::min<std::size_t>(matchedGlyphs, std::numeric_limits<int>::max() / 2)));
    TList<PacketPtr> outgoing;
    outgoing.items.reserve(events);
    QHash<const Packet*, int> ordinals;
    int ordinal = 0;
    for (RowMatches& result : found) {
        if (result.matches == 0)
            continue;
        for (BinItem* glyph : result.glyphs)
            selectedItemSet.insert(glyph);
        if (createAttribute)
            for (std::size_t k = 0; k < result.events.size(); ++k)
                ordinals.insert(result.events[k].data(), ordinal + result.matchOf[k]);
        ordinal += result.matches;
        // The set takes the copies of events it does not hold yet, in order.
        selectedPacketSet.adopt(result.forSet);
        for (PacketPtr& p : result.events)
            outgoing.items.push_back(std::move(p));
        if (!result.glyphs.isEmpty())
            selectedSequences.append(std::move(result.glyphs));
    }
    automata.clear();
    logSelectedSequences();
    {
        // The rest of the rows' results (the copies of events that the set
        // already held) go with the rows' lists, in the background when many.
        auto* rest = new std::vector<RowMatches>(std::move(found));
        if (events >= (std::size_t(1) << 15))
            deferredrelease::post([rest]() { delete rest; });
        else
            delete rest;
    }

    GlyphStore* store = control ? control->glyphStore : glyphStore;
    if (!createAttribute) {
        qDebug().noquote() << " cancel rule conversion to attribute";
    } else {
        const QString proposed = QStringLiteral("Rule ") + QString::number(findCounter);
        TextInputWidget dialog(control, this);
        dialog.nameEdit->setText(proposed);
        // Whatever runs out of memory while the dialog waits fails the find
        // as a whole (that handler has told of it): no attribute, and the
        // matrix shows no selection.
        const unsigned long failures = HandlerGuard::failures();
        const int answer = dialog.exec();
        if (HandlerGuard::failures() != failures) {
            qWarning().noquote() << "the find stopped: its name dialog ran out of memory";
            dropSelection();
            return;
        }
        if (answer != QDialog::Accepted || !store) {
            qDebug().noquote() << " cancel rule conversion to attribute";
        } else {
            const QString name = dialog.nameEdit->text();
            if (name == proposed)
                ++findCounter;
            // An attribute of that name keeps its column; the new one is numbered.
            const QString attribute = uniqueAttributeName(name);
            TList<TVariant> values;
            if (Context* root = store->rootContext) {
                values.items.reserve(root->packets.items.size());
                for (const PacketPtr& p : root->packets)
                    values.append(TVariant(ordinals.value(p.data(), ordinal + 1)));
            }
            // Overview passes read the events and the attribute tables.
            EventOverviewWidget::cancelAllPasses();
            store->addAttribute(values, attribute, true, false);
            if (control) {
                AttributeEvent changed(this);
                QCoreApplication::sendEvent(control, &changed);
            }
        }
    }

    // The receivers share the selected set instead of each making its own.
    sendSelection(std::move(outgoing), selectedPacketSet);
    renderVisibleCells();
    render(true, true, nullptr);
    updateStatistics();
}

void EventWidget::reloadCellsWithRules()
{
    const RebuildScope rebuild(context);
    cancelOverview();
    GlyphStore* store = control ? control->glyphStore : glyphStore;
    MainWindow* window = control ? control->mainWindow : nullptr;
    SettingsWidget* panel = window ? window->settingsWidget : nullptr;
    // The match counts start again with this rebuild.
    if (store)
        store->ruleCounts.clear();
    if (panel && panel->ruleList)
        panel->ruleList->refreshRules();

    forgetItems();
    for (BinCell* cell : cells) {
        cell->selectedPackets = selectedPacketSet;
        cell->buildData(true);
    }
    setCluster(clusterMode);
    for (BinCell* cell : cells)
        cell->layoutItems(false, false);
    RuleOverviewWidget* rules = panel ? (side == 0 ? panel->ruleOverview : panel->rightRuleOverview) : nullptr;
    if (rules)
        rules->rebuildSoon();

    TList<PacketPtr> selection;
    selection.items.assign(selectedPacketSet.constBegin(), selectedPacketSet.constEnd());
    showSelection(selection);
    // An open sequence pane shows the rebuilt glyphs; a closed one takes
    // the selection when it opens.
    SequenceWidget* sequences = window && window->sequenceRibbon && window->sequenceRibbon->active
                                    ? window->sequenceRibbon->sequenceView
                                    : nullptr;
    if (sequences) {
        GlyphsEvent e(this, selectedSequences, SELECT_ARGS);
        QCoreApplication::sendEvent(sequences, &e);
    }

    repositionCells();
    render(true, true, nullptr);
    sendOverviewRender();
}

// ---------------------------------------------------------------------------
// Glyph picker and time inspection

void EventWidget::setPickerMode()
{
    if (pickerMode) {
        qDebug().noquote() << "the glyph picker is on already";
        return;
    }
    clearHighlights();
    // The hint is made before the picker starts: out of memory on the way
    // the matrix stays as it was, without a picker.
    std::unique_ptr<QWidget> hint(
        new QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint));
    auto* layout = new QVBoxLayout(hint.get());
    layout->addWidget(new QLabel(QStringLiteral("Select a binItem to copy of press <b>Esc</b> to cancel"), hint.get()));
    hint->setFocusPolicy(Qt::NoFocus);
    hint->setAttribute(Qt::WA_ShowWithoutActivating);
    hint->adjustSize();
    ScreenPlacement::moveOnScreen(hint.get(), mapToGlobal(QPoint((width() - hint->width()) / 2, 0)));

    pickerMode = true;
    QGuiApplication::setOverrideCursor(Qt::PointingHandCursor);
    pickerColor = HOVER_COLOR;
    HOVER_COLOR = QColor(Qt::red);
    pickerPopup = hint.release();
    pickerPopup->show();
    // The red frame is part of the content image.
    render(true, true, nullptr);
}

void EventWidget::exitPickerMode(BinItem glyph)
{
    if (!pickerMode) {
        qDebug().noquote() << "the glyph picker is off";
        return;
    }
    pickerMode = false;
    delete pickerPopup;
    pickerPopup = nullptr;
    // Restored before the glyph is handed on, so that a receiver that starts
    // the picker again saves the real colour.
    HOVER_COLOR = pickerColor;
    QGuiApplication::restoreOverrideCursor();
    emit picked(glyph);
    clearHighlights();
    renderVisibleCells();
    render(true, true, nullptr);
}

void EventWidget::inspectTime()
{
    // The chart owns the selection's context and says itself when it finds
    // no memory for it; what is made here goes however this ends.
    try {
        GlyphStore* store = control ? control->glyphStore : glyphStore;
        std::unique_ptr<QDialog> dialog(new QDialog(this));
        auto* layout = new QVBoxLayout(dialog.get());
        auto* chart = new GanttWidget(control, dialog.get());
        if (!chart->showSelection(selectedPackets(), store))
            return;
        layout->addWidget(chart);
        dialog->resize(400, 300);
        dialog->exec();
    } catch (const std::bad_alloc&) {
        MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Failed to draw the Gantt chart"),
                             QStringLiteral("The Gantt chart ran out of memory while taking the selection."), this);
    }
}

// ---------------------------------------------------------------------------
// Mouse, keys and timers

void EventWidget::doubleClickTimeOut()
{
    clickPending = false;
    doubleClickTimer->stop();
    HandlerGuard::run([this] {
        if (!lastPress) {
            updateStatistics();
            return;
        }
        const QPointF p = rounded(lastPress->localPos());
        const int before = selectedPacketSet.size();
        const bool ctrl = ctrlHeld();
        bool cleared = false;
        BinItem* hit = nullptr;
        // The old selection goes and the clicked glyph's comes as one step:
        // out of memory between them the matrix shows none, and the other
        // views are told so.
        guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                     Recovery::Selection, [&] {
                         cleared = !ctrl && clearSelection();
                         for (int k = cells.size() - 1; k >= 0 && !hit; --k) {
                             BinCell* cell = cells[k];
                             if (!cellHolds(cell, p))
                                 continue;
                             // The cell's header and sort controls take clicks of their own.
                             cell->mousePressEvent(lastPress);
                             QMutexLocker locker(cell->rowsMutex);
                             for (const TList<BinItem*>& slice : cell->visibleRows) {
                                 for (BinItem* item : slice) {
                                     if (itemHolds(item, p)) {
                                         hit = item;
                                         break;
                                     }
                                 }
                                 if (hit)
                                     break;
                             }
                         }
                         if (hit) {
                             qDebug().noquote() << "clicked glyph at" << hit->parentLeft() << hit->parentTop()
                                                << "press at" << p.x() << p.y();
                             applySelection(TList<BinItem*>{hit}, true, ctrl && hit->selected);
                         } else if (before > 0) {
                             // A click on empty space announces the empty selection.
                             applySelection(TList<BinItem*>(), true, false);
                         }
                     });
        if (cleared || hit) {
            renderAllCells();
            render(true, true, nullptr);
        }
        updateStatistics();
    });
}

void EventWidget::dragTimeOut()
{
    timer->stop();
    HandlerGuard::run([this] {
        rubberBandSelect(false);
        update();
    });
}

bool EventWidget::popupAllowed() const
{
    // Nothing opens over the context menu, another menu or completer, or a
    // modal dialog, nor while the picker waits for a glyph.
    return popupsShown && !pickerMode && !(contextMenu && contextMenu->isVisible())
           && !QApplication::activePopupWidget() && !QApplication::activeModalWidget();
}

void EventWidget::moveTimeOut()
{
    hoverTimer->stop();
    HandlerGuard::run([this] { openPopup(); });
}

void EventWidget::openPopup()
{
    if (popup || !popupAllowed())
        return;
    TList<PacketPtr> events;
    for (BinCell* cell : cells) {
        if (cell->firstLine < 0)
            continue;
        QMutexLocker locker(cell->rowsMutex);
        for (const TList<BinItem*>& slice : cell->visibleRows)
            for (const BinItem* item : slice)
                if (item && item->highlighted)
                    for (const PacketPtr& p : item->packets)
                        events.append(p);
    }
    if (events.isEmpty())
        return;
    // The popup is the view's once it is wired and shown: out of memory on
    // the way it goes again.
    std::unique_ptr<GlyphPopup> made(new GlyphPopup(control, events, nullptr));
    made->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    made->setAttribute(Qt::WA_ShowWithoutActivating);
    made->setFocusPolicy(Qt::NoFocus);
    made->adjustSize();
    // The popup closes when the pointer leaves it; when that is not back
    // over the view, the hovered glyph is let go as well.
    connect(made.get(), &QDialog::finished, this, [this]() {
        HandlerGuard::run([this] {
            if (rect().contains(mapFromGlobal(QCursor::pos())))
                return;
            if (clearMarks()) {
                renderAllCells();
                render(true, true, nullptr);
            }
        });
    });
    // Beside the pointer, never under it: presses (the context menu above
    // all) reach the view, and the popup stays on the screen.
    const QPoint pointer(IAxis::clampToInt(mouseX), IAxis::clampToInt(mouseY));
    ScreenPlacement::placeBesidePointer(made.get(), mapToGlobal(pointer));
    made->show();
    popup = made.release();
}

void EventWidget::mousePressEvent(QMouseEvent* e)
{
    // A press ends the hover: the popup goes and none opens until the
    // pointer moves and rests again.
    hoverTimer->stop();
    closePopup();
    if (NO_DATA)
        return;
    HandlerGuard::run([&] { press(e); });
}

void EventWidget::press(QMouseEvent* e)
{
    const QPointF point = rounded(e->localPos());
    if (pickerMode) {
        if (BinItem* glyph = glyphAt(point)) {
            BinItem copy(*glyph);
            copy.owner = nullptr;   // the cell may go before the copy
            exitPickerMode(copy);
        }
        return;
    }
    const QPointF previous = lastPress ? rounded(lastPress->localPos()) : QPointF(-1.0, -1.0);
    ImgWidget::mousePressEvent(e);
    // The copy is made before the last one goes: out of memory the last
    // press stays.
    auto* copied = new QMouseEvent(e->type(), e->localPos(), e->windowPos(), e->screenPos(), e->button(),
                                   e->buttons(), e->modifiers());
    delete lastPress;
    lastPress = copied;
    previousPress = previous;
    const bool ctrl = ctrlHeld();

    if (e->button() == Qt::RightButton) {
        BinItem* glyph = glyphAt(point);
        if (glyph && !glyph->selected) {
            guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                         Recovery::Selection, [&] {
                             clearSelection();
                             applySelection(TList<BinItem*>{glyph}, true, false);
                         });
            renderVisibleCells();
            render(true, true, nullptr);
        }
        const bool any = !selectedPacketSet.isEmpty();
        for (QAction* action : {saveSelectionAction, exportSelectionAction, inspectSelectionAction, wiresharkAction,
                                inspectFrequenciesAction})
            action->setEnabled(any);
        contextMenu->popup(mapToGlobal(e->pos()));
        updateStatistics();
        return;
    }
    if (e->button() != Qt::LeftButton)
        return;

    if (!ctrl)
        doubleClickTimer->stop();
    if (!clickPending) {
        // The single click runs when the timer fires without a second press.
        doubleClickTimer->start();
        clickPending = !ctrl;
        updateStatistics();
        return;
    }

    doubleClickTimer->stop();
    // No click is pending from here on, however this press ends.
    clickPending = false;
    if (QLineF(previousPress, point).length() > DOUBLE_CLICK_DISTANCE) {
        // Too far for a double click: this is a new first press.
        qDebug().noquote() << "not gonna happen";
        doubleClickTimer->start();
        clickPending = !ctrl;
        updateStatistics();
        return;
    }
    qDebug().noquote() << "double click";
    // Without Ctrl selectGlyphs clears the selection first.
    TList<BinItem*> select;
    bool rowFound = false;
    for (int k = cells.size() - 1; k >= 0 && !rowFound; --k) {
        BinCell* cell = cells[k];
        if (cell->firstLine < 0)
            continue;
        QMutexLocker locker(cell->rowsMutex);
        for (const TList<BinItem*>& slice : cell->visibleRows) {
            if (std::none_of(slice.begin(), slice.end(), [&](const BinItem* item) { return itemHolds(item, point); }))
                continue;
            for (BinItem* item : slice)
                if (item)
                    select.append(item);
            rowFound = true;
            break;
        }
    }
    bool cellHit = false;
    for (BinCell* cell : cells) {
        if (!cellHolds(cell, point))
            continue;
        cellHit = true;
        // selectGlyphs flags them.
        select.items.reserve(select.items.size() + std::size_t(cell->itemCount()));
        for (const TList<BinItem*>& row : cell->rows)
            for (BinItem* item : row)
                if (item)
                    select.append(item);
    }
    selectGlyphs(select, TList<BinItem*>());
    if (cellHit) {
        renderAllCells();
        render(true, true, nullptr);
    }
    updateStatistics();
}

void EventWidget::mouseMoveEvent(QMouseEvent* e)
{
    ImgWidget::mouseMoveEvent(e);
    HandlerGuard::run([&] {
        if (e->buttons().testFlag(Qt::LeftButton)
            && (rubberBandActive || std::hypot(mouseX - pressX, mouseY - pressY) > DRAG_DISTANCE)) {
            qDebug().noquote() << "dragging";
            timer->start(DRAG_INTERVAL);
            if (!rubberBandActive) {
                x1 = pressX;
                y1 = pressY;
                rubberBandActive = true;
            }
            x2 = mouseX;
            y2 = mouseY;
            renderOverlay();
            return;
        }

        if (popup && popup->result() == QDialog::Accepted)
            closePopup();
        BinItem* hit = glyphAt(QPointF(mouseX, mouseY));
        // Still over the one glyph that is highlighted: nothing to redraw, and
        // its popup (beside the pointer) stays open.
        const bool unchanged = hit && hoveredItems.size() == 1 && hoveredItems.contains(hit) && hit->highlighted
                               && std::none_of(cells.begin(), cells.end(),
                                               [](const BinCell* cell) { return !cell->markedPackets.isEmpty(); });
        if (!unchanged) {
            bool changed = clearHighlights();
            if (hit) {
                // Listed before it is marked: a mark that clearMarks does not
                // find would stay.
                hoveredItems.insert(hit);
                hit->highlighted = true;
                hit->auxValue = hit->totalCount;
                changed = true;
            }
            if (changed) {
                renderAllCells();
                render(true, true, nullptr);
            }
        }
        hoverTimer->start(HOVER_INTERVAL);
    });
}

void EventWidget::mouseReleaseEvent(QMouseEvent* e)
{
    ImgWidget::mouseReleaseEvent(e);
    HandlerGuard::run([&] {
        for (BinCell* cell : cells)
            cell->mouseReleaseEvent(e);
        if (rubberBandActive) {
            timer->stop();
            const QPointF point = rounded(e->localPos());
            x2 = mouseX = point.x();
            y2 = mouseY = point.y();
            if (x2 >= 0 && x2 <= width() && y2 >= 0 && y2 <= height()) {
                rubberBandSelect(true);
            } else {
                // Released outside: the glyphs shown selected while dragging go
                // back to what the selection holds.
                guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                             Recovery::Selection, [this] { restoreSelection(); });
                renderVisibleCells();
                render(false, true, nullptr);
                updateStatistics();
            }
        }
    });
    // The band ends however its selection ended.
    rubberBandActive = false;
    x1 = y1 = x2 = y2 = -1.0;
    HandlerGuard::run([this] { renderOverlay(); });
}

void EventWidget::keyPressEvent(QKeyEvent* e)
{
    if (e->key() == Qt::Key_Escape && pickerMode) {
        HandlerGuard::run([this] { exitPickerMode(BinItem(nullptr, nullptr)); });
        e->accept();
        return;
    }
    if (e->key() == Qt::Key_Delete) {
        HandlerGuard::run([this] { deleteSelection(); });
        e->accept();
        return;
    }
    ImgWidget::keyPressEvent(e);
}

void EventWidget::deleteSelection()
{
    const TList<BinItem*> items = selectedItems();
    if (items.isEmpty())
        return;
    const bool partial = std::any_of(items.begin(), items.end(),
                                     [](const BinItem* item) { return item->selectedCount != item->totalCount; });
    if (partial) {
        // Whatever runs out of memory while the box waits stops the deletion
        // (that handler has told of it): nothing is deleted.
        const unsigned long failures = HandlerGuard::failures();
        const QMessageBox::StandardButton answer =
            MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Kolm"),
                              QStringLiteral("All partially selected blocks are also deleted, Continue?"),
                              QMessageBox::Yes | QMessageBox::No, this);
        if (HandlerGuard::failures() != failures) {
            qWarning().noquote() << "the deletion stopped: its question ran out of memory";
            return;
        }
        if (answer != QMessageBox::Yes) {
            qDebug().noquote() << "Yes was *not* clicked";
            return;
        }
        qDebug().noquote() << "Yes was clicked";
    }
    if (!context)
        return;
    GlyphStore* store = control ? control->glyphStore : glyphStore;
    const TList<PacketPtr> doomed = selectedPackets();
    if (store)
        store->filterContext(context, doomed);
    else
        context->removePackets(doomed);
    setContext(context);
    // The deleted events were the selection: the other views drop it too.
    // "ctrl" keeps the histograms' range sliders, which the deletion does
    // not concern.
    if (control) {
        PacketsEvent e(this, TList<PacketPtr>(), {QStringLiteral("select"), QStringLiteral("ctrl")});
        QCoreApplication::sendEvent(control, &e);
    }
    MainWindow* window = control ? control->mainWindow : nullptr;
    if (window && window->navigationWidget)
        window->navigationWidget->rebuildTree();
}

void EventWidget::wheelTimeOut()
{
    wheelTimer->stop();
}

void EventWidget::copyTo()
{
}

void EventWidget::copyFrom()
{
}

// ---------------------------------------------------------------------------
// Context menu

void EventWidget::createContextMenu()
{
    contextMenu = new QMenu;
    saveSelectionAction = contextMenu->addAction(QStringLiteral("Save as selection.."));
    inspectSelectionAction = contextMenu->addAction(QStringLiteral("Inspect selection.."));
    createRuleAction = contextMenu->addAction(QStringLiteral("Create rule.."));
    inspectFrequenciesAction = contextMenu->addAction(QStringLiteral("Inspect frequencies.."));
    inspectFrequenciesAction->setEnabled(false);
    exportSelectionAction = contextMenu->addAction(QStringLiteral("Export selection.."));
    wiresharkAction = contextMenu->addAction(QStringLiteral("Inspect with Wireshark.."));
    selectConversationsAction = contextMenu->addAction(QStringLiteral("Select conversations.."));
    invertSelectionAction = contextMenu->addAction(QStringLiteral("Invert selection.."));
    excludeSelectionAction = contextMenu->addAction(QStringLiteral("Deselect partial selections.."));

    // The navigation tree is looked up when the entry is chosen: a view
    // made without the main window has none.
    const auto navigation = [this]() -> NavigationWidget* {
        MainWindow* window = control ? control->mainWindow : nullptr;
        if (!window || !window->navigationWidget)
            qDebug().noquote() << "no navigation tree";
        return window ? window->navigationWidget : nullptr;
    };
    connect(saveSelectionAction, &QAction::triggered, this, [navigation]() {
        HandlerGuard::run([&] {
            if (NavigationWidget* tree = navigation())
                tree->saveNewSel();
        });
    });
    if (options) {
        connect(inspectSelectionAction, &QAction::triggered, options, &OptionsWidget::inspect);
        connect(inspectFrequenciesAction, &QAction::triggered, options, &OptionsWidget::inspectFreq);
    }
    connect(createRuleAction, &QAction::triggered, this, QOverload<>::of(&EventWidget::createRule));
    connect(exportSelectionAction, &QAction::triggered, this, [navigation]() {
        HandlerGuard::run([&] {
            if (NavigationWidget* tree = navigation())
                tree->exportCSV();
        });
    });
    if (control)
        connect(wiresharkAction, &QAction::triggered, control, &ControlWidget::inspectWireShark);
    connect(selectConversationsAction, &QAction::triggered, this, &EventWidget::selectConversations);
    connect(invertSelectionAction, &QAction::triggered, this, &EventWidget::invertSelection);
    connect(excludeSelectionAction, &QAction::triggered, this, &EventWidget::excludeSelection);
}

// ---------------------------------------------------------------------------
// Drawing

bool EventWidget::render(bool overlayToo, bool updateToo, QImage* target)
{
    QImage* img = target ? target : &image;
    // Let go of however the drawing ends.
    std::unique_lock<QMutex> lock(*imageMutex, std::defer_lock);
    const bool locked = lock.try_lock_for(std::chrono::milliseconds(1));
    if (!locked && !target) {
        scheduleRetry(true, overlayToo, updateToo);
        return false;
    }
    if (img->paintingActive())
        return false;
    img->fill(background);
    {
        QPainter painter(img);
        for (const BinCell* cell : cells)
            if (cell->firstLine >= 0 && holdsEvents(cell))
                painter.drawImage(cell->pos(), cell->image);
        if (pickerMode) {
            const QRectF area = dataRect();
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(Qt::red, 2, Qt::SolidLine));
            painter.drawRect(QRectF(1, 1, area.width() - 2, area.height() - 2));
        }
    }
    if (locked)
        lock.unlock();
    if (overlayToo)
        renderOverlay();
    if (updateToo)
        update();
    return true;
}

bool EventWidget::renderOverlay()
{
    RenderGuard guard(this);
    if (!guard)
        return false;
    overlay.fill(Qt::transparent);
    const auto unset = [](double a, double b) { return qFuzzyCompare(a, -1.0) && qFuzzyCompare(b, -1.0); };
    if (rubberBandActive && !unset(x1, y1) && !unset(x2, y2)) {
        QPainter painter(&overlay);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(SELECTION_COLOR, 3, Qt::SolidLine));
        painter.drawRect(QRectF(x1, y1, x2 - x1, y2 - y1));
    }
    guard.release();
    update();
    return true;
}

void EventWidget::clearImages()
{
    ImgWidget::clearImages();
}

QRectF EventWidget::dataRect()
{
    return QRectF(0, 0, width(), height());
}

QSize EventWidget::sizeHint() const
{
    return QSize(1500, 800);
}

// ---------------------------------------------------------------------------
// Qt handlers

void EventWidget::wheelEvent(QWheelEvent* e)
{
    hoverTimer->stop();
    wheelTimer->stop();
    e->accept();
    HandlerGuard::run([&] { turnWheel(e); });
}

void EventWidget::turnWheel(QWheelEvent* e)
{
    if (!NO_DATA) {
        // High-resolution wheels and touchpads send parts of a notch: they
        // add up, and every whole notch moves one line.
        const int delta = e->angleDelta().y();
        if ((delta > 0 && wheelRemainder < 0) || (delta < 0 && wheelRemainder > 0))
            wheelRemainder = 0;
        wheelRemainder += delta;
        const int lines = wheelRemainder / WHEEL_NOTCH;
        wheelRemainder -= lines * WHEEL_NOTCH;
        if (lines != 0) {
            if (QScrollBar* bar = ribbonScrollBar()) {
                scrollBar = bar;
                bar->setValue(binOffset - lines);
            } else {
                setBinOffset(std::max(binOffset - lines, 0));
            }
        }
        if (control) {
            ScrollEvent scroll(this, std::max(binOffset - 1, 0), {side});
            QCoreApplication::sendEvent(control, &scroll);
        }
    }
    wheelTimer->start();
}

void EventWidget::enterEvent(QEvent* e)
{
    ImgWidget::enterEvent(e);
    rubberBandActive = false;
    x1 = y1 = x2 = y2 = -1.0;
}

void EventWidget::leaveEvent(QEvent* e)
{
    ImgWidget::leaveEvent(e);
    rubberBandActive = false;
    HandlerGuard::run([this] {
        // Moving from the glyph into its popup keeps the popup and the glyph;
        // the popup closes itself when the pointer leaves it.
        if (popup && popup->isVisible() && popup->frameGeometry().contains(QCursor::pos()))
            return;
        if (clearHighlights()) {
            renderAllCells();
            render(true, true, nullptr);
        }
    });
}

bool EventWidget::event(QEvent* e)
{
    if (!active || !e)
        return ImgWidget::event(e);
    // The custom events end their own running out of memory: the selection,
    // find, reload and context have a rollback and a message of their own,
    // the others stop where they are.
    switch (int(e->type())) {
    case PACKETSEVENT: {
        auto* pe = static_cast<PacketsEvent*>(e);
        HandlerGuard::run([pe, this] {
            const bool hover = !pe->args.isEmpty() && pe->args.last().toString() == QLatin1String("hover");
            if (hover)
                hoverPackets(pe->eventList());
            else
                guardRebuild(QStringLiteral("Failed to select events"), QStringLiteral("selecting the events"),
                             Recovery::Selection, [pe, this] { showSelection(pe->eventSet()); });
        });
        e->accept();
        return true;
    }
    case CONTEXTEVENT: {
        auto* ce = static_cast<ContextEvent*>(e);
        HandlerGuard::run([ce, this] {
            if (!ce->contexts.isEmpty())
                setContext(ce->contexts.last());
            updateStatistics();
        });
        e->accept();
        return true;
    }
    case FOCUSEVENT:
        HandlerGuard::run([this] { setFocused(false, false); });
        e->accept();
        return ImgWidget::event(e);
    case RESIZEEVENT:
        HandlerGuard::run([this] { setSize(-1, -1); });
        e->accept();
        return true;
    case RELOADEVENT:
        reloadRules();
        e->accept();
        return true;
    case FINDEVENT: {
        auto* fe = static_cast<FindEvent*>(e);
        find(fe->tree, fe->findTraces, fe->shortestMatch, fe->createAttribute);
        e->accept();
        return true;
    }
    default:
        return ImgWidget::event(e);
    }
}

// ---------------------------------------------------------------------------
// Clustering of glyph sequences

namespace {

std::atomic<quint64> distancesComputed{0};

const QString& itemName(const BinItem* item)
{
    static const QString none;
    return item ? item->name : none;
}

QSet<QString> nameSet(const BinItem* item)
{
    QSet<QString> names;
    names.insert(itemName(item));
    if (item)
        for (const BinItem& child : item->children)
            names.insert(child.name);
    return names;
}

// The glyph sequences of one clustering, each item reduced once to the id
// of its name set: its own name and, while multi-match is on, its
// children's names. Equal sets get equal ids.
class InternedSequences
{
public:
    explicit InternedSequences(bool multi) : multi(multi) {}

    std::vector<int> intern(const TList<BinItem*>& sequence)
    {
        std::vector<int> ids;
        ids.reserve(std::size_t(sequence.size()));
        for (const BinItem* item : sequence)
            ids.push_back(setOf(item));
        return ids;
    }

    bool allSingletons() const { return singletonsOnly; }

    // Once every sequence is interned: the mismatch of every pair of sets
    // worked out ahead, when there are few sets.
    void tabulate()
    {
        const std::size_t count = sets.size();
        if (singletonsOnly || count > MAX_TABULATED_SETS)
            return;
        table.resize(count * count);
        for (std::size_t a = 0; a < count; ++a)
            for (std::size_t b = 0; b < count; ++b)
                table[a * count + b] = setMismatch(int(a), int(b));
    }

    // 1 - |A & B| / |B|, the mismatch of an item with set a against one
    // with set b; computed as sequenceDistance does.
    double mismatch(int a, int b) const
    {
        if (!table.empty())
            return table[std::size_t(a) * sets.size() + std::size_t(b)];
        return setMismatch(a, b);
    }

private:
    static constexpr std::size_t MAX_TABULATED_SETS = 1024;

    double setMismatch(int a, int b) const
    {
        if (a == b)
            return 0.0;
        const std::vector<int>& sa = sets[std::size_t(a)];
        const std::vector<int>& sb = sets[std::size_t(b)];
        if (sa.size() == 1 && sb.size() == 1)
            return 1.0;
        int common = 0;
        auto ia = sa.begin();
        auto ib = sb.begin();
        while (ia != sa.end() && ib != sb.end()) {
            if (*ia < *ib) {
                ++ia;
            } else if (*ib < *ia) {
                ++ib;
            } else {
                ++common;
                ++ia;
                ++ib;
            }
        }
        return 1.0 - double(common) / double(sb.size());
    }

    int nameId(const QString& name)
    {
        auto it = names.constFind(name);
        if (it != names.constEnd())
            return it.value();
        const int id = names.size();
        names.insert(name, id);
        return id;
    }

    int setOf(const BinItem* item)
    {
        const int own = nameId(itemName(item));
        if (!multi || !item || item->children.isEmpty())
            return singletonSet(own);
        std::vector<int> set{own};
        for (const BinItem& child : item->children)
            set.push_back(nameId(child.name));
        std::sort(set.begin(), set.end());
        set.erase(std::unique(set.begin(), set.end()), set.end());
        if (set.size() == 1)
            return singletonSet(own);
        auto it = setIds.find(set);
        if (it != setIds.end())
            return it->second;
        const int id = int(sets.size());
        setIds.emplace(set, id);
        sets.push_back(std::move(set));
        singletonsOnly = false;
        return id;
    }

    int singletonSet(int name)
    {
        if (std::size_t(name) >= singletonOfName.size())
            singletonOfName.resize(std::size_t(name) + 1, -1);
        int& id = singletonOfName[std::size_t(name)];
        if (id < 0) {
            id = int(sets.size());
            sets.push_back({name});
        }
        return id;
    }

    bool multi;
    bool singletonsOnly = true;
    QHash<QString, int> names;
    std::vector<int> singletonOfName;
    std::map<std::vector<int>, int> setIds;
    std::vector<std::vector<int>> sets;
    std::vector<double> table;   // sets x sets, or empty
};

// Same arithmetic as EventWidget::sequenceDistance: the mismatches added in
// position order (zero terms change nothing), then the length difference.
double internedDistance(const std::vector<int>& a, const std::vector<int>& b,
                        const InternedSequences& interned)
{
    const std::size_t common = std::min(a.size(), b.size());
    const double lengths = double(a.size() > b.size() ? a.size() - b.size() : b.size() - a.size());
    if (interned.allSingletons()) {
        // Every term is 0 or 1: the sum is the count of differing sets.
        std::size_t differing = 0;
        for (std::size_t k = 0; k < common; ++k)
            differing += a[k] != b[k];
        return double(differing) + lengths;
    }
    double sum = 0.0;
    for (std::size_t k = 0; k < common; ++k)
        if (a[k] != b[k])
            sum += interned.mismatch(a[k], b[k]);
    return sum + lengths;
}

// Work between two progress reports of a clustering, on the thread that
// does it: glyphs interned, element comparisons of the distance table,
// table entries searched for the nearest clusters, clusters scanned by the
// merges.
constexpr qint64 INTERN_REPORT_WORK = 1 << 16;
constexpr qint64 TABLE_REPORT_WORK = 1 << 18;
constexpr qint64 MERGE_REPORT_WORK = 1 << 14;
// The distance table is computed in square tiles of this many pairs a side,
// and its nearest clusters found for this many rows at a time.
constexpr std::size_t TILE = 64;
constexpr std::size_t NEAREST_ROWS = 16;
// How long the calling thread waits for the helpers between two reports.
constexpr int WAIT_SLICE_MS = 15;

// The passes over the distance table of one clustering, each a number of
// independent jobs. Without helpers the calling thread runs the jobs in
// order and, with a report, reports after a job once TABLE_REPORT_WORK
// has been done since the last report. With helpers, each takes the next
// job as it ends one; the calling thread takes jobs too when there is no
// report, else it reports at once and then after every slice of waiting.
// A report returning false stops the pass: the helpers end the job they
// are in and run() returns false once they have all ended. An exception of
// a report or of a job also stops the pass and is thrown on from run(),
// once the helpers have ended.
class ClusteringPasses
{
public:
    struct Pass
    {
        std::size_t jobs;
        std::function<void(std::size_t job)> run;
        // The work of a job (reports without helpers); null: none.
        std::function<qint64(std::size_t job)> work;
        // The steps of the clustering done once `done` jobs have ended; null: 0.
        std::function<int(std::size_t done)> steps;
    };

    ClusteringPasses(int helpers, const std::function<bool(int, int)>& progress, int total)
        : helpers(std::max(0, helpers)), progress(progress), total(total)
    {
    }

    bool run(const Pass& pass)
    {
        if (pass.jobs == 0)
            return true;
        if (helpers == 0)
            return runHere(pass);
        return runOnHelpers(pass);
    }

private:
    int stepsOf(const Pass& pass, std::size_t done) const { return pass.steps ? pass.steps(done) : 0; }

    bool runHere(const Pass& pass)
    {
        qint64 work = 0;
        for (std::size_t k = 0; k < pass.jobs; ++k) {
            pass.run(k);
            if (!progress || !pass.work)
                continue;
            work += pass.work(k);
            if (work >= TABLE_REPORT_WORK) {
                work = 0;
                if (!progress(stepsOf(pass, k + 1), total))
                    return false;
            }
        }
        stepsOf(pass, pass.jobs);
        return true;
    }

    bool runOnHelpers(const Pass& pass)
    {
        std::atomic<std::size_t> next{0};
        std::atomic<std::size_t> finished{0};
        std::atomic<bool> halt{false};
        std::mutex lock;
        std::condition_variable ended;
        int running = 0;
        std::exception_ptr failure;

        auto work = [&]() {
            while (!halt.load(std::memory_order_relaxed)) {
                const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
                if (k >= pass.jobs)
                    break;
                try {
                    pass.run(k);
                } catch (...) {
                    std::lock_guard<std::mutex> guard(lock);
                    if (!failure)
                        failure = std::current_exception();
                    halt.store(true, std::memory_order_relaxed);
                    break;
                }
                finished.fetch_add(1, std::memory_order_release);
            }
        };
        // Joins the helpers however this pass is left.
        struct Helpers
        {
            std::atomic<bool>& halt;
            std::vector<std::thread> threads;
            void join()
            {
                for (std::thread& thread : threads)
                    if (thread.joinable())
                        thread.join();
            }
            ~Helpers()
            {
                halt.store(true, std::memory_order_relaxed);
                join();
            }
        } started{halt, {}};
        // Without a report the calling thread takes the first job itself.
        const int count = int(std::min<std::size_t>(std::size_t(helpers), pass.jobs - (progress ? 0 : 1)));
        started.threads.reserve(std::size_t(count));
        for (int h = 0; h < count; ++h) {
            {
                std::lock_guard<std::mutex> guard(lock);
                ++running;
            }
            try {
                started.threads.push_back(ThreadStarter::start([&]() {
                    work();
                    std::lock_guard<std::mutex> guard(lock);
                    --running;
                    ended.notify_all();
                }));
            } catch (const std::system_error&) {
                // The system refuses another thread: the pass goes on with
                // the threads it has.
                std::lock_guard<std::mutex> guard(lock);
                --running;
                break;
            } catch (...) {
                std::lock_guard<std::mutex> guard(lock);
                --running;
                throw;
            }
        }
        if (started.threads.empty())
            return runHere(pass);

        bool going = true;
        if (!progress) {
            work();
        } else {
            going = progress(stepsOf(pass, finished.load(std::memory_order_acquire)), total);
            while (going) {
                std::unique_lock<std::mutex> held(lock);
                if (ended.wait_for(held, std::chrono::milliseconds(WAIT_SLICE_MS), [&]() { return running == 0; }))
                    break;
                held.unlock();
                going = progress(stepsOf(pass, finished.load(std::memory_order_acquire)), total);
            }
        }
        if (!going)
            halt.store(true, std::memory_order_relaxed);
        started.join();
        if (failure)
            std::rethrow_exception(failure);
        if (going)
            stepsOf(pass, pass.jobs);
        return going;
    }

    const int helpers;
    const std::function<bool(int, int)>& progress;
    const int total;
};

// Reserves room for a table of `cells` doubles and, where the system can
// be asked to, has its pages made ready by the helpers, a few megabytes a
// job: for a large table that is most of what it costs before it is
// filled, and done this way it goes faster and can be stopped on the way.
bool reserveTable(TList<double>& table, std::size_t cells, ClusteringPasses& passes)
{
    table.items.reserve(cells);
#if defined(Q_OS_LINUX) && defined(MADV_POPULATE_WRITE)
    const long pageSize = sysconf(_SC_PAGESIZE);
    const std::uintptr_t page = pageSize > 0 ? std::uintptr_t(pageSize) : 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(table.items.data());
    const std::uintptr_t from = (begin + page - 1) / page * page;
    const std::uintptr_t to = (begin + cells * sizeof(double)) / page * page;
    if (to <= from)
        return true;
    constexpr std::uintptr_t CHUNK = std::uintptr_t(8) << 20;
    std::atomic<bool> unsupported{false};
    return passes.run({std::size_t((to - from + CHUNK - 1) / CHUNK),
                       [&](std::size_t k) {
                           if (unsupported.load(std::memory_order_relaxed))
                               return;
                           const std::uintptr_t a = from + k * CHUNK;
                           const std::uintptr_t b = std::min(to, a + CHUNK);
                           // Refused (an older system): the filling makes them ready.
                           if (madvise(reinterpret_cast<void*>(a), b - a, MADV_POPULATE_WRITE) != 0)
                               unsupported.store(true, std::memory_order_relaxed);
                       },
                       nullptr, nullptr});
#else
    Q_UNUSED(passes);
    return true;
#endif
}

} // namespace

double EventWidget::sequenceDistance(const TList<BinItem*>& a, const TList<BinItem*>& b)
{
    distancesComputed.fetch_add(1, std::memory_order_relaxed);
    const int common = std::min(a.size(), b.size());
    double sum = 0.0;
    for (int k = 0; k < common; ++k) {
        const BinItem* x = a.at(k);
        const BinItem* y = b.at(k);
        if (!showMulti) {
            if (itemName(x) != itemName(y))
                sum += 1.0;
            continue;
        }
        const QSet<QString> setA = nameSet(x);
        const QSet<QString> setB = nameSet(y);
        int shared = 0;
        for (const QString& name : setB)
            shared += setA.contains(name);
        const double term = 1.0 - double(shared) / double(setB.size());
        if (term != 0.0)
            sum += term;
    }
    return sum + double(std::abs(a.size() - b.size()));
}

quint64 EventWidget::sequenceDistanceCount()
{
    return distancesComputed.load(std::memory_order_relaxed);
}

int EventWidget::parallelClustering = 1000;

GNode<int>* EventWidget::hierarchicalClustering(QString metric,
                                                const IList<TList<BinItem*>>& sequences,
                                                QList<int> ids,
                                                const std::function<bool(int done, int total)>& progress)
{
    const int n = ids.size();
    if (n == 0)
        return nullptr;
    const int total = 2 * n - 1;

    // The leaves are the ids in ascending order; a repeated id stands for
    // the last sequence that carries it.
    QHash<int, int> positionOf;
    for (int p = 0; p < n; ++p)
        positionOf.insert(ids.at(p), p);
    QList<int> sorted = ids;
    std::sort(sorted.begin(), sorted.end());

    // Every sequence is interned here, before any helper starts: from then
    // on the helpers only read the interned sequences and their sets.
    const bool measured = metric == QLatin1String("Eucledian");
    InternedSequences interned(showMulti);
    std::vector<std::vector<int>> leaves;
    qint64 glyphs = 0;
    if (measured) {
        leaves.reserve(std::size_t(n));
        static const TList<BinItem*> empty;
        qint64 work = 0;
        for (int id : sorted) {
            const int p = positionOf.value(id);
            leaves.push_back(interned.intern(p < sequences.size() ? sequences.at(p) : empty));
            glyphs += qint64(leaves.back().size());
            work += qint64(leaves.back().size()) + 1;
            if (progress && work >= INTERN_REPORT_WORK) {
                work = 0;
                if (!progress(0, total))
                    return nullptr;
            }
        }
        interned.tabulate();
    }

    const bool parallel = n >= parallelClustering;
    // The helpers take slots of the thread budget; with a report the
    // calling thread only reports and waits, and one more takes its place.
    ThreadBudget::Slots budget(parallel ? ThreadBudget::count() - 1 : 0);
    const int helpers = parallel ? budget.count() + (progress ? 1 : 0) : 0;
    ClusteringPasses passes(helpers, progress, total);
    const std::size_t w = std::size_t(n);

    // A large table takes a while to be made ready and to be freed: the
    // helpers make it ready, the background thread of deferredrelease
    // frees it, however this function is left. Its holder is made without
    // throwing: with no memory for it the table is freed here, by its own
    // destructor.
    TList<double> table;
    struct TableRelease
    {
        TList<double>& table;
        ~TableRelease()
        {
            const std::size_t count = table.items.size();
            if (count < deferredrelease::FEW)
                return;
            std::unique_ptr<std::vector<double>> held(new (std::nothrow)
                                                           std::vector<double>(std::move(table.items)));
            deferredrelease::release(std::move(held), count);
        }
    } release{table};
    if (helpers > 0 && !reserveTable(table, w * w, passes))
        return nullptr;
    if (!passes.run({1, [&](std::size_t) { table.items.assign(w * w, 0.0); }, nullptr, nullptr}))
        return nullptr;

    if (measured) {
        // Square tiles of pairs on and above the diagonal, each pair
        // measured once from the lower leaf and stored on both sides; the
        // tiles below the diagonal are written only by their mirror.
        const std::size_t side = (w + TILE - 1) / TILE;
        std::vector<std::pair<std::size_t, std::size_t>> tiles;
        tiles.reserve(side * (side + 1) / 2);
        for (std::size_t i = 0; i < side; ++i)
            for (std::size_t j = i; j < side; ++j)
                tiles.emplace_back(i, j);
        double* d = table.items.data();
        // Tile k: the pairs (i, j), first <= i < last, max(i, from) <= j < to.
        auto pairsOf = [&](std::size_t k, auto&& pair) {
            const std::size_t first = tiles[k].first * TILE, last = std::min(w, first + TILE);
            const std::size_t from = tiles[k].second * TILE, to = std::min(w, from + TILE);
            qint64 pairs = 0;
            for (std::size_t i = first; i < last; ++i) {
                for (std::size_t j = std::max(i, from); j < to; ++j)
                    pair(i, j);
                pairs += qint64(to - std::max(i, from));
            }
            return pairs;
        };
        const double perPair = 1.0 + double(glyphs) / double(n);
        int nextLine = 0;
        ClusteringPasses::Pass distances{
            tiles.size(),
            [&](std::size_t k) {
                const qint64 pairs = pairsOf(k, [&](std::size_t i, std::size_t j) {
                    const double v = internedDistance(leaves[i], leaves[j], interned);
                    d[i * w + j] = v;
                    d[j * w + i] = v;
                });
                distancesComputed.fetch_add(quint64(pairs), std::memory_order_relaxed);
            },
            [&](std::size_t k) { return qint64(double(pairsOf(k, [](std::size_t, std::size_t) {})) * perPair); },
            [&](std::size_t done) {
                const int steps = int(qint64(done) * n / qint64(tiles.size()));
                for (; nextLine < n && nextLine < steps; nextLine += 500)
                    qDebug() << nextLine << "distance " << n;
                return steps;
            }};
        if (!passes.run(distances))
            return nullptr;
    }

    // Each cluster's nearest one, row by row.
    TList<double> nearestDistance;
    TList<int> nearestIndex;
    nearestDistance.items.resize(w);
    nearestIndex.items.resize(w);
    const double* d = table.items.data();
    const ClusteringPasses::Pass nearest{
        (w + NEAREST_ROWS - 1) / NEAREST_ROWS,
        [&](std::size_t k) {
            for (std::size_t r = k * NEAREST_ROWS; r < std::min(w, (k + 1) * NEAREST_ROWS); ++r)
                nearestIndex.items[r] =
                    LinkageMatrix::nearestInRow(d + r * w, int(r), n, nearestDistance.items[r]);
        },
        [&](std::size_t) { return qint64(NEAREST_ROWS) * n; },
        [&](std::size_t) { return n; }};
    if (!passes.run(nearest))
        return nullptr;

    LinkageMatrix matrix(sorted, std::move(table), std::move(nearestDistance), std::move(nearestIndex));
    // Every pair was stored on both sides.
    matrix.symmetric = true;
    bool stopped = false;
    // From here the nodes are this function's: whatever throws frees them.
    try {
        qDebug() << "merging";
        qint64 work = 0;
        int merges = 0;
        while (matrix.size() > 1) {
            const int m = matrix.size();
            int a = 0;
            for (int k = 1; k < m; ++k)
                if (matrix.nearestDistance[k] < matrix.nearestDistance[a])
                    a = k;
            int b = matrix.nearestIndex[a];
            if (b < 0 || b == a)
                b = a == 0 ? 1 : 0;  // no finite distance known: take the first other
            matrix.merge(a, b);
            ++merges;
            work += m;
            if (progress && work >= MERGE_REPORT_WORK) {
                work = 0;
                if (!progress(n + merges, total)) {
                    stopped = true;
                    break;
                }
            }
        }
    } catch (...) {
        table = std::move(matrix.distances);
        for (GNode<int>* node : matrix.nodes.items)
            delete node;
        throw;
    }
    table = std::move(matrix.distances);
    if (stopped) {
        for (GNode<int>* node : matrix.nodes.items)
            delete node;
        return nullptr;
    }
    return matrix.nodes[0];
}
