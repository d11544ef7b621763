#include "views/attributes/AttributeWidget.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/SettingsWidget.h"
#include "core/Constants.h"
#include "core/DeferredRelease.h"
#include "core/HandlerGuard.h"
#include "core/Packet.h"
#include "core/TVariant.h"
#include "events/ContextEvent.h"
#include "events/EventType.h"
#include "events/PacketsEvent.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/attributes/AnnotatedLocker.h"
#include "views/attributes/ContainerWidget.h"
#include "views/attributes/DoubleSlider.h"
#include "views/attributes/GuiThreadCheck.h"
#include "views/attributes/JobPool.h"
#include "views/attributes/OutOfMemory.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/attributes/ScentedWidget.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHash>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr int MAX_ROWS = 15;
constexpr int MAX_BINS = 40;
constexpr int ROW_HEIGHT = 50;
constexpr int CELL_SLOTS = 9;

// The smallest normal double stands in for lg(0), so that h(0) = h(1) = 0.
constexpr double LG_ZERO = 2.2250738585072014e-308;

double lg(double q)
{
    return q != 0.0 ? std::log2(q) : LG_ZERO;
}

// Binary entropy of a share q.
double entropy(double q)
{
    return -q * lg(q) - (1.0 - q) * lg(1.0 - q);
}

QSet<QSharedPointer<Packet>> toSet(const TList<QSharedPointer<Packet>>& events)
{
    QSet<QSharedPointer<Packet>> set;
    set.reserve(events.size());
    for (const QSharedPointer<Packet>& p : events.items)
        set.insert(p);
    return set;
}

// The trace records, among `records` (ascending by the id in `column`), of
// the traces that hold the events.
template <typename Events>
QSet<QSharedPointer<Packet>> recordsOf(const Events& events, const TList<QSharedPointer<Packet>>& records,
                                       int column)
{
    std::vector<int> ids;
    ids.reserve(std::size_t(events.size()));
    for (const QSharedPointer<Packet>& event : events) {
        const int id = event->conversationId;
        if (id == -1) {
            qDebug("wtf id -1");
            continue;
        }
        ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

    // The trace records come in ascending id order: one walk matches them.
    QSet<QSharedPointer<Packet>> result;
    std::size_t next = 0;
    for (const QSharedPointer<Packet>& record : records.items) {
        if (next >= ids.size())
            break;
        if (record->get(column).toInt() == ids[next]) {
            result.insert(record);
            ++next;
        }
    }
    return result;
}

// One histogram's part of a selection job.
class MarkWork : public QRunnable
{
public:
    void run() override
    {
        // Pairs with the release before start() on the selection job's thread.
        ready.load(std::memory_order_acquire);
        try {
            target->applySelection(records, members);
        } catch (const std::bad_alloc&) {
            // Marking the bars allocates nothing: what found no memory is
            // their drawing, which the panel makes again once the job ends.
            unrendered->store(true, std::memory_order_relaxed);
        }
        deferredrelease::releaseContents(records, std::size_t(records.size()));
        members = PacketSet();
        // Last: the panel's wait reads the count, which orders all that this
        // job did with the histogram (its repaint requests too) before what
        // the panel does next, such as deleting it.
        finished->fetch_add(1, std::memory_order_acq_rel);
    }

    std::atomic<bool> ready{false};
    ScentedWidget* target = nullptr;
    QSet<QSharedPointer<Packet>> records;
    PacketSet members;
    std::atomic<int>* finished = nullptr;
    std::atomic<bool>* unrendered = nullptr;
};

// The event a selection job that ran out of memory posts to its panel.
QEvent::Type selectionFailedType()
{
    static const int type = QEvent::registerEventType();
    return QEvent::Type(type);
}

// What an attribute needs for its relevance score.
struct Scored {
    QString name;
    int column = -1;
    bool range = false;
    int bins = 0;
    double min = 0.0;
    double span = 1.0;
    double step = 0.0;
    THash<TVariant, int> full;
    THash<TVariant, int> positive;
};

} // namespace

// ---------------------------------------------------------------------------
// Jobs

AttributeWidget::Work::Work()
{
    setAutoDelete(false);
}

void AttributeWidget::Work::run()
{
    // Pairs with the release before start(): the job sees the GUI thread's
    // set-up of its histogram.
    done.exchange(false, std::memory_order_acq_rel);
    ranOut.store(false, std::memory_order_relaxed);
    try {
        if (target && owner)
            target->compute(owner->context, clearSets, relayout);
    } catch (const std::bad_alloc&) {
        ranOut.store(true, std::memory_order_relaxed);
    }
    done.store(true, std::memory_order_release);
}

AttributeWidget::SelectionWork::SelectionWork()
{
    setAutoDelete(false);
}

AttributeWidget::SelectionWork::~SelectionWork()
{
    delete failed;
}

void AttributeWidget::SelectionWork::run()
{
    done.exchange(false, std::memory_order_acq_rel);
    try {
        apply();
    } catch (const std::bad_alloc&) {
        // Out of memory before the panel's selection or any histogram's
        // marks changed (apply makes all it needs first). The panel waits
        // for its jobs before it does anything, and then sees the flag;
        // the event wakes it.
        ranOut.store(true, std::memory_order_relaxed);
        if (QEvent* event = failed; event && owner) {
            failed = nullptr;
            try {
                QCoreApplication::postEvent(owner, event);
            } catch (...) {
                // The flag stays for the panel's next wait.
            }
        }
    }
    // What the job was handed goes here, not with the job on the GUI thread.
    events = PacketSet();
    records = TList<QSharedPointer<Packet>>();
    done.store(true, std::memory_order_release);
}

void AttributeWidget::SelectionWork::apply()
{
    if (!owner)
        return;
    // Everything the selection needs is made first, one job a histogram
    // among it: out of memory on the way, the panel's selection and every
    // histogram's marks stay as they were.
    QSet<QSharedPointer<Packet>> set;
    set.reserve(events.size());
    for (const QSharedPointer<Packet>& p : events)
        set.insert(p);
    const QSet<QSharedPointer<Packet>> picked = traces ? recordsOf(events, records, idColumn) : set;
    // The histograms of the event side test membership in the flat set,
    // which holds the same events.
    const PacketSet members = traces ? PacketSet() : events;
    std::vector<std::unique_ptr<MarkWork>> marks;
    marks.reserve(std::size_t(targets.size()));
    for (ScentedWidget* target : targets.items) {
        std::unique_ptr<MarkWork> mark(new MarkWork);
        mark->records = picked;
        mark->members = members;
        mark->target = target;
        mark->finished = &marked;
        mark->unrendered = &unrendered;
        marks.push_back(std::move(mark));
    }

    // In place: nothing below allocates (a job that finds no room in the
    // pool's queue runs here). The selection and the hover replaced go in
    // the background (their many nodes cost a good part of a second to
    // free).
    deferredrelease::releaseContents(owner->selected, std::size_t(owner->selected.size()));
    owner->selected.swap(set);
    deferredrelease::releaseContents(owner->hovered, std::size_t(owner->hovered.size()));
    for (std::unique_ptr<MarkWork>& mark : marks) {
        mark->ready.store(true, std::memory_order_release);
        owner->pool->start(mark.release());
    }
}

// ---------------------------------------------------------------------------
// Construction

AttributeWidget::AttributeWidget(ControlWidget* controlWidget, bool kind, QWidget* parent)
    : QWidget(parent)
    , controlWidget(controlWidget)
    , kind(kind)
{
    setMouseTracking(true);
    QPalette p = palette();
    p.setColor(QPalette::All, QPalette::Window, Qt::white);
    setPalette(p);
    setUpdatesEnabled(false);

    frame = new QWidget(this);
    scrollArea = new QScrollArea;
    scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea->setFrameShape(QFrame::NoFrame);
    scrollArea->verticalScrollBar()->setMaximumWidth(20);
    scrollArea->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(scrollArea, 2);

    setUpdatesEnabled(true);
    pool = new JobPool(this);
}

AttributeWidget::~AttributeWidget()
{
    pool->waitForDone(-1);
    for (Work* work : works.items)
        delete work;
    works.clear();
    delete selectionWork;
    selectionWork = nullptr;
    // Cells without a name have no parent; the others leave their grid.
    for (QWidget* cell : cells.items)
        delete cell;
    cells.clear();
}

GlyphStore* AttributeWidget::store() const
{
    return controlWidget ? controlWidget->glyphStore : nullptr;
}

void AttributeWidget::waitForJobs()
{
    pool->waitForDone(-1);
    for (Work* work : works.items)
        work->done.load(std::memory_order_acquire);
    if (!selectionWork)
        return;
    selectionWork->done.load(std::memory_order_acquire);
    selectionWork->marked.load(std::memory_order_acquire);
    if (selectionWork->ranOut.exchange(false, std::memory_order_relaxed)) {
        // Nothing of the selection came. When the sliders were reset for
        // it, the panel goes empty rather than show half of the change;
        // else it shows what it showed.
        const bool keep = selectionWork->keep;
        if (!keep)
            dropCells();
        tellOutOfMemory(this, QStringLiteral("Failed to select events"), QStringLiteral("applying a selection"),
                        keep ? kept() : emptied());
        return;
    }
    if (selectionWork->unrendered.exchange(false, std::memory_order_relaxed)) {
        // Every histogram is marked, but some could not draw their marks:
        // they are drawn here (out of memory again, the user is told).
        HandlerGuard::run([&] {
            for (ScentedWidget* histogram : histograms().items)
                histogram->render(true, true, nullptr);
        });
    }
}

QString AttributeWidget::kept()
{
    return QStringLiteral("shows its histograms as before.");
}

QString AttributeWidget::emptied()
{
    return QStringLiteral("now shows no histograms. A new search, order or context lays them out again.");
}

void AttributeWidget::dropCells() noexcept
{
    pool->waitForDone(-1);
    delete selectionWork;
    selectionWork = nullptr;
    for (QWidget* cell : cells.items)
        delete cell;
    cells.clear();
    dropped = true;
    update();
}

void AttributeWidget::guardAction(const QString& title, const QString& action, Recovery recovery,
                                  void (*run)(void*), void* work)
{
    if (actionDepth > 0) {
        run(work);
        return;
    }
    dropped = false;
    try {
        struct Depth
        {
            int& depth;
            explicit Depth(int& depth) : depth(depth) { ++depth; }
            ~Depth() { --depth; }
        } inside(actionDepth);
        run(work);
        return;
    } catch (const std::bad_alloc&) {
    }
    const bool empty = recovery == Recovery::Empty || dropped;
    if (empty)
        dropCells();
    tellOutOfMemory(this, title, action, empty ? emptied() : kept());
}

bool AttributeWidget::ranOutOfMemory() const
{
    for (const Work* work : works.items) {
        if (work->ranOut.load(std::memory_order_relaxed))
            return true;
    }
    return false;
}

TList<ScentedWidget*> AttributeWidget::histograms() const
{
    TList<ScentedWidget*> result;
    for (QWidget* cell : cells.items) {
        auto* container = qobject_cast<ContainerWidget*>(cell);
        if (!container || container->widgets.isEmpty())
            continue;
        if (auto* histogram = qobject_cast<ScentedWidget*>(container->widgets.at(0)))
            result.append(histogram);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Context, order and filter

void AttributeWidget::setContext(Context* c, bool)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to show attributes"), QStringLiteral("showing the attributes of a context"),
                Recovery::Empty, [&] {
                    waitForJobs();
                    context = c;
                    recount = true;
                    prepareRefresh(QString());
                    layoutGrid(attributes);
                });
}

void AttributeWidget::takeContext(Context* c)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to show attributes"), QStringLiteral("showing the attributes of a context"),
                Recovery::Empty, [&] {
                    waitForJobs();
                    context = c;
                    recount = true;
                    prepareRefresh(QString());
                });
}

void AttributeWidget::prepareRefresh(const QString& order)
{
    if (!order.isEmpty())
        sort = order;
    QSet<QSharedPointer<Packet>> now = controlWidget ? toSet(controlWidget->selectedPackets())
                                                     : QSet<QSharedPointer<Packet>>();
    deferredrelease::releaseContents(selected, std::size_t(selected.size()));
    selected.swap(now);
    GlyphStore* s = store();
    attributes = s ? TList<QString>(computeAttributeOrder(sort, s->attributeNames(kind)))
                   : TList<QString>();
}

void AttributeWidget::refresh(QString order)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to order attributes"), QStringLiteral("ordering the attributes"),
                Recovery::Empty, [&] {
                    waitForJobs();
                    prepareRefresh(order);
                    layoutGrid(attributes);
                });
}

void AttributeWidget::filterAttributes(QString text)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to filter attributes"), QStringLiteral("filtering the attributes"),
                Recovery::Empty, [&] { filterBy(text); });
}

void AttributeWidget::filterBy(const QString& text)
{
    waitForJobs();
    filter = text;
    GlyphStore* s = store();
    TList<QString> candidates;
    if (s && context) {
        const TList<QString> names = s->attributeNames(kind);
        for (const QString& name : names.items) {
            if (!s->hasValues(name, context))
                continue;
            if (!text.isEmpty() && !name.contains(text, Qt::CaseSensitive))
                continue;
            candidates.append(name);
        }
    }
    attributes = computeAttributeOrder(sort, candidates);
    layoutGrid(attributes);
}

int AttributeWidget::distinctValues(const QString& name) const
{
    GlyphStore* s = store();
    if (!s || !context)
        return 0;
    // The histogram the store's queries read: the event side first.
    const int eventColumn = s->attributeColumns.value(name, -1);
    const int traceColumn = s->conversationAttributeColumns.value(name, -1);
    if (eventColumn != -1)
        return eventColumn < context->histograms.size()
                   ? context->histograms.at(eventColumn).size() : 0;
    if (traceColumn != -1)
        return traceColumn < context->conversationHistograms.size()
                   ? context->conversationHistograms.at(traceColumn).size() : 0;
    return 0;
}

int AttributeWidget::binCount(QString name)
{
    GlyphStore* s = store();
    if (!s)
        return 0;
    if (s->isRangeAttribute(name)) {
        const double d = s->maxValue(name, context) - s->minValue(name, context);
        if (d > MAX_BINS)
            return MAX_BINS;
        if (!(d > 1.0))
            return 1;
        return int(d);
    }
    return std::min(distinctValues(name), MAX_BINS);
}

QList<QString> AttributeWidget::computeAttributeOrder(QString sort, TList<QString> names)
{
    LUMIVANE_GUI_THREAD_ONLY();
    GlyphStore* s = store();
    if (!s)
        return {};

    TList<QString> order;
    if (sort == QLatin1String("Alphabetical")) {
        order = s->attributeNames(kind);
        std::sort(order.items.begin(), order.items.end());
    } else if (sort == QLatin1String("Default")) {
        order = s->attributeNames(kind);
    } else if (sort == QLatin1String("Frequency") || sort == QLatin1String("Rarity")) {
        THash<QString, double> totals;
        for (const QString& name : names.items) {
            // Binning keeps every count, so the binned histogram's total is
            // the attribute's total.
            totals[name] = s->valueTotal(context, name);
        }
        order = totals.keysSortedByValue();
        if (sort == QLatin1String("Frequency"))
            order.reverse();
    } else if (sort == QLatin1String("Relevance")) {
        const THash<QString, double> scores = relevanceScores(names);
        order = scores.keysSortedByValue();
        order.reverse();
        for (const QString& name : order.items)
            qDebug().noquote() << name << scores.value(name);
    }

    QList<QString> result;
    for (const QString& name : order.items) {
        if (!s->isNumericAttribute(name) && context && s->hasValues(name, context))
            result.append(name);
    }
    for (const QString& name : order.items) {
        if (s->isNumericAttribute(name))
            result.append(name);
    }
    return result;
}

THash<QString, double> AttributeWidget::relevanceScores(const TList<QString>& names)
{
    THash<QString, double> scores;
    GlyphStore* s = store();
    if (!s)
        return scores;
    const THash<QString, int> columns = s->attributeMap(kind);

    std::vector<Scored> scored;
    for (const QString& name : names.items) {
        if (s->isKeyAttribute(name))
            continue;
        qDebug().noquote() << name;
        Scored a;
        a.name = name;
        a.column = columns.value(name, -1);
        a.range = s->isRangeAttribute(name);
        a.bins = binCount(name);
        a.full = s->histogram(name, context, a.bins);
        if (a.range && a.bins >= 1) {
            // The bins of GlyphStore::histogram, so that a positive count
            // lands on the key its event is counted under there.
            a.min = s->minValue(name, context);
            a.span = std::max(s->maxValue(name, context) - a.min, 1.0);
            a.step = a.span / a.bins;
        }
        scored.push_back(std::move(a));
    }

    qDebug("count positives");
    const QSet<QSharedPointer<Packet>> records = mapToRecords(selected, kind);
    int k = 0;
    for (const QSharedPointer<Packet>& record : records) {
        for (Scored& a : scored) {
            const TVariant& v = record->get(a.column);
            if (!v.isValid())
                continue;
            if (!a.range || a.bins < 1) {
                ++a.positive[v];
                continue;
            }
            const double index = std::trunc((v.toDouble() - a.min) / a.span * (a.bins - 1));
            const int j = std::isfinite(index)
                              ? int(std::max(0.0, std::min(index, double(a.bins - 1)))) : 0;
            ++a.positive[TVariant(a.min + j * a.step)];
        }
        if (k % 100000 == 0)
            qDebug().noquote().nospace() << "binning " << k;
        ++k;
    }

    std::size_t j = 0;
    for (int i = 0; i < names.size(); ++i) {
        const QString& name = names.at(i);
        if (s->isKeyAttribute(name))
            continue;
        const Scored& a = scored[j++];
        qDebug().noquote() << name;
        double total = 0.0;
        for (auto it = a.full.constBegin(); it != a.full.constEnd(); ++it)
            total += it.value();
        double sumPos = 0.0;
        double sumFull = 0.0;
        double cond = 0.0;
        for (auto it = a.full.constBegin(); it != a.full.constEnd(); ++it) {
            const double pos = a.positive.value(it.key(), 0);
            const double full = it.value();
            sumPos += pos;
            sumFull += full;
            cond += entropy(pos / full) * (pos + full) / total;
        }
        const double score =
            (a.full.isEmpty() || sumFull == 0.0) ? 0.0 : entropy(sumPos / sumFull) - cond;
        scores[name] = score;
        if (i % 5 == 0)
            qDebug().noquote().nospace() << "attributes " << i;
    }
    return scores;
}

QSet<QSharedPointer<Packet>> AttributeWidget::mapToRecords(QSet<QSharedPointer<Packet>> events,
                                                          bool kind)
{
    if (!kind)
        return events;
    GlyphStore* s = store();
    if (!s || !context)
        return {};
    const int col = s->conversationAttributeColumns.value(CONV_CONVID, 0);
    return recordsOf(events, context->conversationPackets, col);
}

// ---------------------------------------------------------------------------
// Layout

void AttributeWidget::layoutAttributes(TList<QString> names)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to show attributes"), QStringLiteral("laying out the attributes"),
                Recovery::Empty, [&] { layoutGrid(names); });
}

void AttributeWidget::layoutGrid(const TList<QString>& names)
{
    waitForJobs();
    const int nextRows = std::min(names.size(), MAX_ROWS);
    for (Work* work : works.items)
        delete work;
    works.clear();
    // It points to the histograms about to go.
    delete selectionWork;
    selectionWork = nullptr;
    // Out of memory, the histograms without a job are computed here.
    try {
        works.items.reserve(std::size_t(nextRows * columns));
        for (int i = 0; i < nextRows * columns; ++i)
            works.append(new Work);
    } catch (const std::bad_alloc&) {
    }

    // The new grid is built beside the one shown, which it replaces once
    // complete. Out of memory on the way, what was made for it goes, and
    // so do the cells shown (some may have moved to the new grid already):
    // the panel is left without histograms.
    struct Quiet
    {
        AttributeWidget* panel;
        explicit Quiet(AttributeWidget* panel) : panel(panel)
        {
            panel->setUpdatesEnabled(false);
            panel->blockSignals(true);
        }
        // Turning updates on again asks for a repaint, which allocates: a
        // guard that finds no memory for it lets the panel wait for the
        // next one rather than throw.
        ~Quiet()
        {
            try {
                end();
            } catch (const std::bad_alloc&) {
            }
        }
        void end()
        {
            if (!panel)
                return;
            panel->blockSignals(false);
            panel->setUpdatesEnabled(true);
            panel = nullptr;
        }
    } quiet(this);
    setContentsMargins(0, 0, 0, 0);
    std::unique_ptr<QWidget> grid(new QWidget);
    // Declared after the grid, so that they go first: a cell that went
    // into the grid leaves it.
    std::vector<std::unique_ptr<ContainerWidget>> fresh;
    struct Drop
    {
        AttributeWidget* panel;
        ~Drop()
        {
            if (!panel)
                return;
            // The jobs still count the new histograms.
            panel->pool->waitForDone(-1);
            for (QWidget* cell : panel->cells.items)
                delete cell;
            panel->cells.clear();
            panel->dropped = true;
        }
    } drop{this};
    auto* gridLayout = new QGridLayout(grid.get());
    gridLayout->setSpacing(1);
    gridLayout->setContentsMargins(0, 0, 0, 0);

    GlyphStore* s = store();
    TList<QString> shown;
    if (s && context) {
        const QString lowered = filter.toLower();
        for (const QString& name : names.items) {
            if (!s->hasValues(name, context) || s->isKeyAttribute(name))
                continue;
            if (!filter.isEmpty() && !name.toLower().contains(lowered))
                continue;
            shown.append(name);
        }
    }

    const QSet<QSharedPointer<Packet>> selection = mapToRecords(selected, kind);
    // A histogram whose counts would come out the same keeps its cell; the
    // cells shown stay in `cells` until the new grid is complete.
    QHash<QString, int> kept;
    std::vector<char> used(std::size_t(cells.size()), 0);
    if (context && !recount) {
        for (int i = 0; i < cells.size(); ++i) {
            auto* container = qobject_cast<ContainerWidget*>(cells.at(i));
            auto* histogram = container && !container->widgets.isEmpty()
                                  ? qobject_cast<ScentedWidget*>(container->widgets.at(0)) : nullptr;
            if (!histogram || kept.contains(histogram->attribute) || !shown.contains(histogram->attribute)
                || !histogram->showsCountsOf(context, selection, binCount(histogram->attribute), binSort,
                                             logarithmic))
                continue;
            kept.insert(histogram->attribute, i);
        }
    }

    const std::size_t room = std::size_t(std::max(nextRows * columns, 0));
    TList<QWidget*> next;
    next.items.reserve(room);
    fresh.reserve(room);
    TList<ScentedWidget*> made;
    made.items.reserve(room);
    for (int r = 0; r < nextRows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const QString name = r < shown.size() ? shown.at(r) : QString();
            QList<QWidget*> parts;
            for (int i = 0; i < CELL_SLOTS; ++i)
                parts.append(nullptr);
            std::unique_ptr<ContainerWidget> cell;
            if (name.isEmpty()) {
                cell.reset(new ContainerWidget(parts, nullptr));
                cell->resize(1, 1);
            } else if (kept.contains(name)) {
                const int i = kept.take(name);
                used[std::size_t(i)] = 1;
                next.append(cells.at(i));
            } else {
                // The grid holds the parts until their cell takes them.
                auto* slider = new DoubleSlider(grid.get());
                auto* histogram = new ScentedWidget(controlWidget, grid.get(), name, slider, kind);
                histogram->logarithmic = logarithmic;
                histogram->binSort = binSort;
                auto* label = new QLabel(name + QLatin1Char(':'), grid.get());
                QFont labelFont = font();
                labelFont.setPixelSize(12);
                label->setFont(labelFont);
                histogram->maxBins = binCount(name);
                histogram->pickedPackets = selection;
                histogram->jobPool = pool;
                connect(slider, &DoubleSlider::dragTimeOut, histogram,
                        &ScentedWidget::sliderDragTimeOut);
                connect(slider, &DoubleSlider::dragMove, histogram,
                        qOverload<double, double>(&ScentedWidget::sliderDragMove));
                connect(histogram, &ScentedWidget::setFromToValue, slider,
                        &DoubleSlider::changeFromToValue);
                connect(slider, &DoubleSlider::fromValueChanged, histogram,
                        &ScentedWidget::setXBeginOffset);
                connect(slider, &DoubleSlider::toValueChanged, histogram,
                        &ScentedWidget::setXEndOffset);
                histogram->setMinimumHeight(5);
                parts[0] = histogram;
                parts[1] = label;
                parts[4] = slider;
                made.append(histogram);
                cell.reset(new ContainerWidget(parts, nullptr));
            }
            if (cell) {
                next.append(cell.get());
                fresh.push_back(std::move(cell));
            }
            gridLayout->setRowMinimumHeight(r, ROW_HEIGHT);
        }
    }

    if (context) {
        for (int i = 0; i < made.size(); ++i) {
            if (i >= works.size()) {
                made.at(i)->compute(context, false, false);
                continue;
            }
            Work* work = works.at(i);
            work->owner = this;
            work->target = made.at(i);
            work->clearSets = false;
            work->relayout = false;
            work->done.store(true, std::memory_order_release);
            pool->start(work);
        }
    }
    waitForJobs();
    // A histogram whose job ran out of memory shows part of its counts, or
    // none: the layout fails as a whole.
    if (ranOutOfMemory())
        throw std::bad_alloc();
    // The jobs queued their repaints and slider positions to this thread:
    // the grid is complete before the layout returns.
    for (ScentedWidget* histogram : made.items) {
        QCoreApplication::sendPostedEvents(histogram, QEvent::MetaCall);
        QCoreApplication::sendPostedEvents(histogram->slider, QEvent::MetaCall);
    }
    for (int r = 0; r < std::min(nextRows, shown.size()); ++r) {
        for (int c = 0; c < columns; ++c)
            gridLayout->addWidget(next.at(columns * r + c), r, c);
    }

    // Complete: the new cells in place of the old ones, which go (a kept
    // cell that found no row too, a name given twice). Nothing below
    // allocates but Qt's own.
    drop.panel = nullptr;
    for (std::unique_ptr<ContainerWidget>& cell : fresh)
        cell.release();
    for (int i = 0; i < cells.size(); ++i) {
        if (!used[std::size_t(i)])
            delete cells.at(i);
    }
    std::swap(cells.items, next.items);
    rows = nextRows;
    recount = false;
    quiet.end();
    scrollArea->setWidget(grid.release());
    scrollArea->setWidgetResizable(true);
}

// ---------------------------------------------------------------------------
// Selections, hovers and options

void AttributeWidget::setHoverPackets(TList<QSharedPointer<Packet>> events)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to highlight events"), QStringLiteral("highlighting events"), Recovery::Keep,
                [&] {
                    waitForJobs();
                    QSet<QSharedPointer<Packet>> set = toSet(events);
                    const QSet<QSharedPointer<Packet>> records = mapToRecords(set, kind);
                    showHover(histograms(), set, records);
                });
}

void AttributeWidget::showHover(const TList<ScentedWidget*>& shown, QSet<QSharedPointer<Packet>>& events,
                                const QSet<QSharedPointer<Packet>>& records)
{
    hovered.swap(events);
    // Marking allocates nothing; a histogram that finds no memory to draw
    // its marks leaves the panel without histograms.
    try {
        for (ScentedWidget* histogram : shown.items)
            histogram->highlightHovered(records);
    } catch (const std::bad_alloc&) {
        dropped = true;
        throw;
    }
}

void AttributeWidget::setSelectedPackets(TList<QSharedPointer<Packet>> events)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to select events"), QStringLiteral("applying a selection"), Recovery::Keep,
                [&] {
                    waitForJobs();
                    startSelection(makeSelection(PacketSet::fromList(events.items)), true);
                    waitForJobs();
                });
}

void AttributeWidget::selectPackets(const PacketSet& events)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to select events"), QStringLiteral("applying a selection"), Recovery::Keep,
                [&] {
                    waitForJobs();
                    startSelection(makeSelection(events), true);
                });
}

std::unique_ptr<AttributeWidget::SelectionWork> AttributeWidget::makeSelection(const PacketSet& events)
{
    std::unique_ptr<SelectionWork> work(new SelectionWork);
    work->failed = new QEvent(selectionFailedType());
    work->owner = this;
    work->events = events;
    GlyphStore* s = store();
    // Without a context the trace side has no records to pick.
    work->traces = kind;
    if (kind && s && context) {
        work->idColumn = s->conversationAttributeColumns.value(CONV_CONVID, 0);
        work->records = context->conversationPackets;
    }
    for (int i = 0; i < cells.size(); ++i) {
        qDebug().noquote().nospace() << " selecting packets for " << i;
        auto* container = qobject_cast<ContainerWidget*>(cells.at(i));
        auto* histogram = container && !container->widgets.isEmpty()
                              ? qobject_cast<ScentedWidget*>(container->widgets.at(0))
                              : nullptr;
        if (histogram)
            work->targets.append(histogram);
    }
    return work;
}

void AttributeWidget::startSelection(std::unique_ptr<SelectionWork> work, bool keep)
{
    delete selectionWork;
    selectionWork = work.release();
    selectionWork->keep = keep;
    selectionWork->done.store(true, std::memory_order_release);
    pool->start(selectionWork);
}

void AttributeWidget::setLogarithm(bool on)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to change the scale"), QStringLiteral("changing the count scale"),
                Recovery::Empty, [&] {
                    waitForJobs();
                    logarithmic = on;
                    for (ScentedWidget* histogram : histograms().items)
                        histogram->setLogarithm(on);
                });
}

void AttributeWidget::resetSliders()
{
    resetSliders(true);
}

void AttributeWidget::resetSliders(bool flag)
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to reset filters"), QStringLiteral("resetting the filters"),
                Recovery::Empty, [&] { clearSliders(flag); });
}

void AttributeWidget::clearSliders(bool flag)
{
    waitForJobs();
    const TList<ScentedWidget*> shown = histograms();
    // From here on the filters change: sliders reset in part leave the
    // panel without histograms.
    try {
        if (context) {
            AnnotatedLocker lock(ScentedWidget::filterMutex());
            context->valueSets.clear();
            context->conversationValueSets.clear();
        }
        for (ScentedWidget* histogram : shown.items) {
            histogram->sliderDragMove(0.0, 1.0, flag);
            histogram->update();
        }
    } catch (const std::bad_alloc&) {
        dropped = true;
        throw;
    }
}

void AttributeWidget::setBinSort()
{
    LUMIVANE_GUI_THREAD_ONLY();
    guardAction(QStringLiteral("Failed to sort bins"), QStringLiteral("sorting the bins"), Recovery::Empty, [&] {
        waitForJobs();
        if (binSort == BIN_SORT_SELECTED) {
            for (ScentedWidget* histogram : histograms().items)
                histogram->setBinSort(BIN_SORT_SELECTED);
        } else {
            layoutGrid(attributes);
        }
    });
}

void AttributeWidget::setBinSort1()
{
    binSort = BIN_SORT_DEFAULT;
    setBinSort();
}

void AttributeWidget::setBinSort2()
{
    binSort = BIN_SORT_FREQUENCY;
    setBinSort();
}

void AttributeWidget::setBinSort3()
{
    binSort = BIN_SORT_RARITY;
    setBinSort();
}

void AttributeWidget::setBinSort4()
{
    binSort = BIN_SORT_SELECTED;
    setBinSort();
}

void AttributeWidget::refreshRules()
{
}

// ---------------------------------------------------------------------------
// Events

bool AttributeWidget::event(QEvent* e)
{
    const int type = int(e->type());
    if (type == PACKETSEVENT) {
        LUMIVANE_GUI_THREAD_ONLY();
        // The action has its own message (guardAction); what surrounds it
        // ends here too.
        HandlerGuard::run([&] { packetsEvent(static_cast<PacketsEvent*>(e)); });
        e->accept();
        return true;
    }
    if (e->type() == selectionFailedType()) {
        // A selection job ran out of memory: the wait tells.
        HandlerGuard::run([&] { waitForJobs(); });
        return true;
    }
    if (type == CONTEXTEVENT) {
        LUMIVANE_GUI_THREAD_ONLY();
        HandlerGuard::run([&] { contextEvent(static_cast<ContextEvent*>(e)); });
        e->accept();
        return true;
    }
    return QWidget::event(e);
}

void AttributeWidget::packetsEvent(PacketsEvent* pe)
{
    QElapsedTimer timer;
    timer.start();
    const QList<QVariant>& args = pe->args;
    const bool ctrl = args.size() > 1 && args.last().toString() == QLatin1String("ctrl");
    const QString action = args.isEmpty() ? QString() : args.first().toString();
    const bool hover = action == QLatin1String("hover");
    // What the events become is made before the sliders are reset: out
    // of memory, the panel shows what it showed.
    guardAction(hover ? QStringLiteral("Failed to highlight events") : QStringLiteral("Failed to select events"),
                hover ? QStringLiteral("highlighting the events of another view")
                      : QStringLiteral("applying the selection of another view"),
                Recovery::Keep, [&] {
                    waitForJobs();
                    if (hover) {
                        QSet<QSharedPointer<Packet>> set = toSet(pe->eventList());
                        const QSet<QSharedPointer<Packet>> records = mapToRecords(set, kind);
                        const TList<ScentedWidget*> shown = histograms();
                        if (!ctrl)
                            clearSliders(false);
                        showHover(shown, set, records);
                    } else {
                        std::unique_ptr<SelectionWork> work = makeSelection(pe->eventSet());
                        if (!ctrl)
                            clearSliders(false);
                        startSelection(std::move(work), ctrl);
                    }
                });
    qDebug().noquote() << "Attributewidget packet event" << action << timer.elapsed() << " mseconds";
}

void AttributeWidget::contextEvent(ContextEvent* ce)
{
    QElapsedTimer timer;
    timer.start();
    // An event without a context changes nothing.
    if (!ce->contexts.isEmpty()) {
        guardAction(QStringLiteral("Failed to show attributes"), QStringLiteral("showing the attributes of a context"),
                    Recovery::Empty, [&] {
                        setContext(ce->contexts.first());
                        SettingsWidget* side = (controlWidget && controlWidget->mainWindow)
                                                   ? controlWidget->mainWindow->settingsWidget : nullptr;
                        if (side && side->attributeRibbon)
                            side->attributeRibbon->refreshFilter();
                        if (side && side->conversationRibbon)
                            side->conversationRibbon->refreshFilter();
                        filterAttributes(QString());
                    });
        update();
    }
    qDebug().noquote() << "AttributeWidget context event" << timer.elapsed() << " mseconds";
}

void AttributeWidget::mousePressEvent(QMouseEvent* event)
{
    HandlerGuard::run([&] {
        QWidget::mouseMoveEvent(event);
        update();
    });
}

void AttributeWidget::resizeEvent(QResizeEvent* event)
{
    HandlerGuard::run([&] {
        QWidget::resizeEvent(event);
        frame->resize(size());
        scrollArea->resize(size());
    });
}
