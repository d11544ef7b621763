#include "app/NavigationWidget.h"

#include "app/Bar.h"
#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/TextInputWidget.h"
#include "core/HandlerGuard.h"
#include "core/Constants.h"
#include "core/Packet.h"
#include "core/SideFile.h"
#include "core/TVariant.h"
#include "events/AttributeEvent.h"
#include "events/ContextEvent.h"
#include "events/EventType.h"
#include "events/PacketsEvent.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSet>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

int selectionCounter = 0;

namespace {

using Packets = TList<QSharedPointer<Packet>>;

// The most event lines a selection file holds.
constexpr int MAX_EXPORTED_LINES = 10000000;

// Written lines collect up to this size before they go to the device.
constexpr int WRITE_CHUNK = 1 << 16;

// The derived attributes, which the import or the trace computation adds
// again: never exported.
QSet<QString> derivedNames()
{
    return {FRAME_TIME_SECOND, FRAME_TIME_MINUTE, FRAME_TIME_HOUR,   FRAME_TIME_DAY,
            FRAME_TIME_DATE,   FRAME_TIME_WEEK,   FRAME_TIME_MONTH,  FRAME_TIME_YEAR,
            FRAME_TIME_STRDAY, FRAME_TIME_STRYEAR, FRAME_LENGTH,     CONV_CONVID,
            CONV_LENGTH,       CONV_FROM_EPOCH,   CONV_TO_EPOCH,     CONV_DURATION,
            CONV_SRC_COUNTRY,  CONV_DST_COUNTRY,  CONV_SRC,          CONV_DST,
            CONV_FROM_SECOND,  CONV_FROM_MINUTE,  CONV_FROM_HOUR,    CONV_FROM_DAY,
            CONV_FROM_WEEK,    CONV_FROM_MONTH,   CONV_FROM_YEAR,    CONV_FROM_STRDAY,
            CONV_FROM_STRMONTH, CONV_TO_SECOND,   CONV_TO_MINUTE,    CONV_TO_HOUR,
            CONV_TO_DAY,       CONV_TO_WEEK,      CONV_TO_MONTH,     CONV_TO_YEAR,
            CONV_TO_STRDAY,    CONV_TO_STRMONTH};
}

// A field of a selection file. A text holding the separator or a quote is
// enclosed in quotes with its quotes doubled, so that its line keeps the
// header's number of fields when the file is read back; every other text
// is written as it is.
void appendField(QString& line, const QString& text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"'))) {
        line += text;
        return;
    }
    line += QLatin1Char('"');
    for (const QChar c : text) {
        if (c == QLatin1Char('"'))
            line += QLatin1Char('"');
        line += c;
    }
    line += QLatin1Char('"');
}

// Whether `context` is `root` or one of its descendants.
bool inTree(const Context* root, const Context* context)
{
    for (const Context* c = context; c; c = c->parent) {
        if (c == root)
            return true;
    }
    return false;
}

} // namespace

NavigationWidget::NavigationWidget(ControlWidget* control, QWidget* parent)
    : QTreeWidget(parent)
    , control(control)
{
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
    QPalette p = palette();
    p.setBrush(QPalette::All, QPalette::Base, QBrush(Qt::white, Qt::SolidPattern));
    setPalette(p);
    // Rows keep the order of the contexts until the analyst sorts them by a
    // header column.
    header()->setSortIndicator(-1, Qt::AscendingOrder);
}

QSize NavigationWidget::sizeHint() const
{
    return QSize(100, 100);
}

Context* NavigationWidget::rootContext() const
{
    return (control && control->glyphStore) ? control->glyphStore->rootContext : nullptr;
}

void NavigationWidget::refresh()
{
    activeContext = rootContext();
    rebuildTree();
}

// The rows of the tree built apart from the view: the header row, the row
// of the root with every other row below it, and the coverage bars of each
// row. What is not handed to the view goes with it.
struct NavigationWidget::Rows
{
    std::unique_ptr<QTreeWidgetItem> header;
    std::unique_ptr<QTreeWidgetItem> root;
    THash<QTreeWidgetItem*, Context*> items;
    QTreeWidgetItem* activeItem = nullptr;
    struct Bars
    {
        QTreeWidgetItem* row;
        std::unique_ptr<Bar> events;
        std::unique_ptr<Bar> traces;
    };
    std::vector<Bars> bars;
};

NavigationWidget::Rows NavigationWidget::buildRows() const
{
    Rows rows;
    rows.header.reset(new QTreeWidgetItem);
    rows.header->setText(contextColumn, QStringLiteral("Context"));
    rows.header->setText(eventsColumn, QStringLiteral("#Events"));
    rows.header->setText(tracesColumn, QStringLiteral("#Traces"));
    rows.header->setText(coverageColumn, QStringLiteral("Coverage"));
    rows.header->setText(traceColumn, QStringLiteral("Trace"));

    Context* root = rootContext();
    if (!root)
        return rows;
    const int rootEvents = root->packets.size();
    // The live trace count: a filtered context drops its emptied traces
    // from `conversations` (its trace records stay as they were).
    const int rootTraces = root->conversations.size();
    QFont normal = font();
    normal.setWeight(50);
    QFont bold = font();
    bold.setWeight(75);

    // Depth first, parents before their children, children in their stored
    // order. The rows enter the view at once: every row inserted into a
    // view that already holds item widgets makes it lay out all of them
    // again. Each context waits on the stack with the row of its parent.
    QList<QPair<Context*, QTreeWidgetItem*>> stack{{root, nullptr}};
    while (!stack.isEmpty()) {
        const QPair<Context*, QTreeWidgetItem*> next = stack.takeLast();
        Context* c = next.first;
        // A row is its parent's (the root's row the rows') as it is made.
        QTreeWidgetItem* row = nullptr;
        if (next.second) {
            row = new QTreeWidgetItem(next.second);
        } else {
            rows.root.reset(new QTreeWidgetItem);
            row = rows.root.get();
        }
        rows.items.insert(row, c);
        row->setFlags(Qt::ItemIsEnabled);

        const int events = c->packets.size();
        const int traces = c->conversations.size();
        const double eventCoverage = rootEvents > 0 ? double(events) / rootEvents : 0.0;
        const double traceCoverage = rootTraces > 0 ? double(traces) / rootTraces : 0.0;

        row->setText(contextColumn, c->modified ? c->name + QLatin1Char('*') : c->name);
        const bool active = c == activeContext;
        row->setFont(contextColumn, active ? bold : normal);
        if (active)
            rows.activeItem = row;
        row->setText(eventsColumn, QString::number(events));
        row->setText(tracesColumn, QString::number(traces));
        rows.bars.push_back({row, nullptr, nullptr});
        rows.bars.back().events.reset(new Bar(eventCoverage, 2));
        rows.bars.back().traces.reset(new Bar(traceCoverage, 2));

        for (int i = c->children.size() - 1; i >= 0; --i)
            stack.append({c->children.at(i), row});
    }
    return rows;
}

void NavigationWidget::showRows(Rows rows)
{
    try {
        putRows(rows);
    } catch (const std::bad_alloc&) {
        // Rows half taken: none stays, and no row names a context.
        items.clear();
        activeItem = nullptr;
        clear();
        setUpdatesEnabled(true);
        throw;
    }
}

void NavigationWidget::putRows(Rows& rows)
{
    setUpdatesEnabled(false);
    setSortingEnabled(false);
    clear();
    std::swap(items, rows.items);
    activeItem = rows.activeItem;
    setHeaderItem(rows.header.release());
    header()->resizeSection(contextColumn, 150);
    header()->resizeSection(eventsColumn, 50);
    header()->resizeSection(tracesColumn, 50);
    header()->resizeSection(coverageColumn, 80);
    header()->resizeSection(traceColumn, 80);
    header()->setStretchLastSection(false);
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::NoFocus);
    if (rows.root) {
        addTopLevelItem(rows.root.release());
        expandAll();
        for (Rows::Bars& bar : rows.bars) {
            setItemWidget(bar.row, coverageColumn, bar.events.release());
            setItemWidget(bar.row, traceColumn, bar.traces.release());
        }
    }
    resizeColumnToContents(contextColumn);
    resizeColumnToContents(eventsColumn);
    resizeColumnToContents(tracesColumn);
    setUpdatesEnabled(true);
    setSortingEnabled(true);
    repaint();
}

void NavigationWidget::rebuildTree()
{
    Rows rows;
    try {
        rows = buildRows();
    } catch (const std::bad_alloc&) {
        // The rows shown may be of contexts that are gone: none stays.
        items.clear();
        activeItem = nullptr;
        clear();
        throw;
    }
    showRows(std::move(rows));
}

bool NavigationWidget::event(QEvent* e)
{
    if (e && int(e->type()) == CONTEXTEVENT) {
        // Another view changed the context: the counts may have changed.
        HandlerGuard::run([this] { rebuildTree(); });
        e->accept();
        return true;
    }
    return QTreeWidget::event(e);
}

// ---------------------------------------------------------------------------
// Mouse

namespace {

// Turns the view's updates off while it lives, and on again (with a
// repaint) however the handler ends.
struct UpdatesOff
{
    explicit UpdatesOff(QWidget* w) : widget(w) { widget->setUpdatesEnabled(false); }
    ~UpdatesOff()
    {
        widget->setUpdatesEnabled(true);
        HandlerGuard::run([this] { widget->repaint(); });
    }
    QWidget* widget;
};

} // namespace

void NavigationWidget::mousePressEvent(QMouseEvent* e)
{
    QTreeWidget::mousePressEvent(e);
    HandlerGuard::run([this, e] { press(e); });
}

void NavigationWidget::press(QMouseEvent* e)
{
    const UpdatesOff updates(this);
    const QPoint pos = e->pos();
    QTreeWidgetItem* row = itemAt(pos);
    const bool inContextColumn = indexAt(pos).column() == contextColumn;
    Context* root = rootContext();

    if (e->button() == Qt::RightButton) {
        // Broadcast the row's events as a selection; nothing else changes.
        Context* context = row && inContextColumn ? items.value(row, nullptr) : nullptr;
        if (context && control) {
            PacketsEvent selection(this, context->packets, {QStringLiteral("select")});
            QCoreApplication::sendEvent(control, &selection);
        }
        return;
    }

    // Out of memory before the other views are told, the active context is
    // the one they show.
    Context* const before = activeContext;
    std::unique_ptr<ContextEvent> change;
    try {
        if (activeItem)
            activeItem->setFont(contextColumn, font());
        activeItem = nullptr;
        Context* clicked = inContextColumn && row ? items.value(row, nullptr) : nullptr;
        if (clicked) {
            QFont normal = font();
            normal.setWeight(50);
            for (auto it = items.begin(); it != items.end(); ++it)
                it.key()->setFont(contextColumn, normal);
            QFont bold = font();
            bold.setWeight(75);
            row->setFont(contextColumn, bold);
            activeItem = row;
            activeContext = clicked;
        } else {
            activeContext = root;
        }
        // The question may rebuild the tree: no row pointer is used after it.
        row = nullptr;
        settleModifiedContext();
        if (control && activeContext)
            change.reset(new ContextEvent(this, QList<Context*>{activeContext}));
    } catch (const std::bad_alloc&) {
        activeContext = before;
        try {
            rebuildTree();
        } catch (const std::bad_alloc&) {
            // Emptied: no row names a context.
        }
        throw;
    }
    if (change)
        QCoreApplication::sendEvent(control, change.get());
}

void NavigationWidget::settleModifiedContext()
{
    if (!control || !control->mainWindow || !control->mainWindow->leftEventRibbon)
        return;
    EventWidget* view = control->focusedEventWidget();
    if (!view || view != control->mainWindow->leftEventRibbon->view)
        return;
    Context* shown = view->context;
    if (!shown || !shown->modified)
        return;
    const unsigned long failures = HandlerGuard::failures();
    const QMessageBox::StandardButton answer = MessageAsker::ask(
        QMessageBox::Question, QStringLiteral("Kolm"),
        QStringLiteral("The selected context has been modified, do you want to make these "
                       "changes permanent?"),
        QMessageBox::Yes | QMessageBox::No, this);
    // What ran out of memory while the question was up may have been the
    // question's own: the context stays as it is, and asks again next time.
    if (HandlerGuard::failures() != failures)
        return;
    if (answer == QMessageBox::Yes) {
        shown->clearHistory();
    } else {
        qDebug("Yes was *not* clicked");
        shown->revert();
    }
    rebuildTree();
}

void NavigationWidget::mouseReleaseEvent(QMouseEvent* e)
{
    QTreeWidget::mouseReleaseEvent(e);
    HandlerGuard::run([this, e] {
        if (QTreeWidgetItem* row = itemAt(e->pos()))
            row->setForeground(contextColumn, QBrush(Qt::black));
    });
}

void NavigationWidget::mouseMoveEvent(QMouseEvent* e)
{
    QTreeWidget::mouseMoveEvent(e);
    HandlerGuard::run([this, e] {
        QTreeWidgetItem* current = currentItem();
        if (!current) {
            if (itemAt(e->pos()) && indexAt(e->pos()).column() == contextColumn)
                repaint();
            return;
        }
        if (items.value(current, nullptr) != activeContext)
            current->setFont(contextColumn, font());
        repaint();
    });
}

void NavigationWidget::leaveEvent(QEvent* e)
{
    QTreeWidget::leaveEvent(e);
    HandlerGuard::run([this] {
        QTreeWidgetItem* current = currentItem();
        if (current && current != activeItem) {
            QFont normal = current->font(contextColumn);
            normal.setWeight(50);
            current->setFont(contextColumn, normal);
        }
    });
}

// ---------------------------------------------------------------------------
// Saving a selection

void NavigationWidget::saveNewSel()
{
    if (!control || !control->focusedEventWidget())
        return;
    // The selection as the matrix holds it: out of memory nothing is saved
    // and the selection's own copy says so.
    TList<QSharedPointer<Packet>> selection;
    if (!HandlerGuard::run([this, &selection] { selection = control->selectedPackets(); }))
        return;
    if (selection.isEmpty())
        return;
    saveSelection(control->currentContext(), selection);
}

Context* NavigationWidget::saveSelection(Context* parent, const Packets& selection)
{
    if (!control || !control->glyphStore || !parent || selection.isEmpty())
        return nullptr;

    QString name;
    const int counter = selectionCounter;
    Context* saved = nullptr;
    try {
        const QString proposal = QStringLiteral("Selection ") + QString::number(selectionCounter);
        TextInputWidget dialog(control, this);
        dialog.nameEdit->setText(proposal);
        // Whatever runs out of memory while the dialog is up (its own OK
        // among it) fails the saving: that was told already.
        const unsigned long failures = HandlerGuard::failures();
        const int result = dialog.exec();
        if (HandlerGuard::failures() != failures || result != QDialog::Accepted)
            return nullptr;
        name = dialog.nameEdit->text();
        const bool asAttribute = dialog.attributeBox->isChecked();
        // An accepted proposal moves the counter on (back again should the
        // saving run out of memory).
        if (name == proposal)
            ++selectionCounter;

        // The dialog ran its own event loop: the parent must still belong to
        // the loaded log.
        GlyphStore* store = control->glyphStore;
        Context* root = store ? store->rootContext : nullptr;
        if (!root || !inTree(root, parent)) {
            qDebug("the context of the selection is gone");
            return nullptr;
        }
        saved = saveContext(parent, name, selection, asAttribute);
        if (!asAttribute)
            return saved;
    } catch (const std::bad_alloc&) {
        selectionCounter = counter;
        tellNotSaved(name);
        return nullptr;
    }
    // Saved: the views' failures to take the new attribute are theirs.
    AttributeEvent added(this);
    QCoreApplication::sendEvent(control, &added);
    return saved;
}

void NavigationWidget::tellNotSaved(const QString& name) noexcept
{
    try {
        const QString which =
            name.isEmpty() ? QString() : QStringLiteral(" \"") + name + QLatin1Char('"');
        MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Save as selection"),
                          QStringLiteral("Saving the selection") + which
                              + QStringLiteral(" ran out of memory: nothing was saved, and the contexts "
                                               "are as they were."),
                          QMessageBox::Ok, this);
    } catch (const std::bad_alloc&) {
        HandlerGuard::failed();
    }
}

Context* NavigationWidget::saveContext(Context* parent, const QString& name, const Packets& selection,
                                       bool asAttribute)
{
    GlyphStore* store = control->glyphStore;
    Context* root = store->rootContext;
    // The new context joins its parent once computed; out of memory after
    // that, it goes and leaves the parent's children.
    std::unique_ptr<Context> context(new Context(parent, name, selection, store, true));

    TList<TVariant> values;
    QString attribute;
    if (asAttribute) {
        // An event attribute or a trace attribute of that name keeps its
        // column: the new one is numbered.
        const auto taken = [store](const QString& candidate) {
            return store->attributeColumns.contains(candidate) || store->hasAttribute(candidate);
        };
        attribute = name;
        for (int i = 1; taken(attribute); ++i)
            attribute = name + QLatin1Char('(') + QString::number(i) + QLatin1Char(')');

        // Membership, not position: the selection may come in any order
        // (clustered rows) and still marks each of its events.
        // A sorted list searched by halves: fewer cache misses than a hash
        // set over the events of a large root.
        std::vector<const Packet*> selected;
        selected.reserve(selection.items.size());
        for (const QSharedPointer<Packet>& p : selection.items)
            selected.push_back(p.data());
        std::sort(selected.begin(), selected.end());
        const TVariant yes(QStringLiteral("true"), true, nullptr);
        const TVariant no(QStringLiteral("false"), true, nullptr);
        values.items.reserve(root->packets.items.size());
        for (const QSharedPointer<Packet>& p : root->packets.items) {
            const bool marked = std::binary_search(selected.begin(), selected.end(), p.data());
            values.items.push_back(marked ? yes : no);
        }
    }

    // The tree's new rows are made before the attribute goes in, which is
    // the last step that can run out of memory (and then adds nothing).
    Rows rows = buildRows();
    if (asAttribute) {
        // Overview passes read the events and the attribute tables.
        EventOverviewWidget::cancelAllPasses();
        store->addAttribute(values, attribute, false, false);
    }
    Context* saved = context.release();
    // Saved. A tree that cannot show its rows shows none (and says so).
    HandlerGuard::run([this, &rows] { showRows(std::move(rows)); });
    return saved;
}

// ---------------------------------------------------------------------------
// Exporting a selection

void NavigationWidget::exportCSV()
{
    try {
        const QString path = FileAsker::saveFileName(nullptr, QStringLiteral("Export Selection:"),
                                                     QString(), QStringLiteral("CSV files (*.csv)"));
        if (path.isEmpty())
            return;
        exportSelection(path, control ? control->selectedPackets() : Packets());
    } catch (const std::bad_alloc&) {
        // Before the export began: nothing was written.
        MessageAsker::tell(QMessageBox::Warning, "Failed to save selection",
                            "Save failed: file could not be written to");
    }
}

bool NavigationWidget::exportSelection(const QString& path, const Packets& selection)
{
    // Written beside the old file, which it replaces only once complete:
    // whatever fails (a full disk, running out of memory), a file that was
    // there stays as it was.
    try {
        SideFile file(path);
        if (!file.open(true)) {
            MessageAsker::tell(QMessageBox::Warning, "Failed to save selection",
                                "Save failed: file could not be opened");
            return false;
        }
        const TList<QString> names =
            control && control->glyphStore ? control->glyphStore->packetAttributeNames : TList<QString>();
        if (!writeSelection(file.device(), names, selection) || !file.commit()) {
            qDebug().noquote() << QStringLiteral("selection not saved to %1: %2").arg(path, file.errorString());
            MessageAsker::tell(QMessageBox::Warning, "Failed to save selection",
                                "Save failed: file could not be written to");
            return false;
        }
    } catch (const std::bad_alloc&) {
        MessageAsker::tell(QMessageBox::Warning, "Failed to save selection",
                            "Save failed: file could not be written to");
        return false;
    }
    MessageAsker::tell(QMessageBox::Information, "Save Selection", "Export successful");
    return true;
}

TList<int> NavigationWidget::exportedColumns(const TList<QString>& names, const Packets& selection)
{
    TList<int> columns;
    if (selection.isEmpty())
        return columns;
    const QSet<QString> derived = derivedNames();
    for (int i = 0; i < names.size(); ++i) {
        if (derived.contains(names.at(i)))
            continue;
        for (const QSharedPointer<Packet>& p : selection.items) {
            if (p && p->get(i).isValid()) {
                columns.append(i);
                break;
            }
        }
    }
    return columns;
}

bool NavigationWidget::writeSelection(QIODevice* device, const TList<QString>& names,
                                      const Packets& selection)
{
    const TList<int> columns = exportedColumns(names, selection);

    QByteArray chunk;
    chunk.reserve(WRITE_CHUNK + 4096);
    const auto put = [device, &chunk](bool last) {
        if (chunk.isEmpty() || (!last && chunk.size() < WRITE_CHUNK))
            return true;
        const bool ok = device->write(chunk) == qint64(chunk.size());
        chunk.clear();
        return ok;
    };

    QString line;
    for (int k = 0; k < columns.size(); ++k) {
        if (k > 0)
            line += QLatin1Char(',');
        appendField(line, names.at(columns.at(k)));
    }
    chunk += line.toLatin1();
    chunk += '\n';

    const int lines = qMin(selection.size(), MAX_EXPORTED_LINES);
    for (int n = 0; n < lines; ++n) {
        const QSharedPointer<Packet>& p = selection.items[std::size_t(n)];
        line.clear();
        for (int k = 0; k < columns.size(); ++k) {
            if (k > 0)
                line += QLatin1Char(',');
            if (p)
                appendField(line, p->get(columns.at(k)).toString());
        }
        // An empty line after the first is left out, with its line break.
        if (n > 0 && !line.isEmpty())
            chunk += '\n';
        chunk += line.toLatin1();
        if (!put(false))
            return false;
    }
    return put(true);
}
