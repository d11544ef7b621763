#include "views/events/BinCell.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QResizeEvent>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "core/DeferredRelease.h"
#include "core/HandlerGuard.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "core/TVariant.h"
#include "core/ThreadBudget.h"
#include "items/Axis.h"
#include "items/IAxis.h"
#include "patterns/Automaton.h"
#include "patterns/Edge.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "patterns/RuleMatcher.h"
#include "views/events/ItemStock.h"

#include <atomic>
#include <chrono>

namespace {

const QString GRAY = QStringLiteral("Gray");
// Id of the "Gray" glyph, which every event item starts as.
constexpr int GRAY_ID = 2;
// Progress of the item build is logged every this many traces.
constexpr int PROGRESS_STEP = 5000;

// Grouping rows by key is logged every this many rows.
constexpr int STACK_PROGRESS_STEP = 50;
// The smallest size an item is drawn at on a size axis.
constexpr double MIN_SCALED_SIZE = 5.0;
// Stack labels of narrower glyphs keep half a glyph whatever their text.
constexpr int NARROW_LABEL_GLYPH = 15;
// The overview draws glyphs at itemSize / OVERVIEW_BASE of their size.
constexpr double OVERVIEW_BASE = 40.0;
const QColor SLOT_COLOR(177, 189, 197);
// Items of more events keep their time span between layouts.
constexpr int MANY_EVENTS = 16;
// The overview copies this many items under the rows lock before it draws them.
constexpr int OVERVIEW_STRETCH = 256;

int clampInt(double v)
{
    return IAxis::clampToInt(v);
}

// The rewrite glyph of a rule, or null when the rule cannot be applied: a
// side that did not parse, or a rewrite tree without its glyph leaf.
const ParseNode* rewriteLeaf(const Rule& rule)
{
    if (!rule.pre || !rule.post || rule.post->children.isEmpty())
        return nullptr;
    return rule.post->children.constFirst();
}

// A rule whose one-glyph precondition is rewritten into one glyph that
// stays: such a rule's glyph is nested into later merged items that also
// satisfy its precondition.
bool isSingleGlyphRule(const Rule& rule)
{
    const ParseNode* leaf = rewriteLeaf(rule);
    return rule.visible && leaf && rule.hasSinglePostGlyph() && rule.post->children.size() == 1
           && leaf->glyph.mode != DELETE && !rule.pre->children.isEmpty();
}

// Copies what drawing reads of an item, except its selection and highlight
// state, which the GUI thread may be changing meanwhile, and its place,
// which the overview's own layout gives the copy.
void copyForDrawing(BinItem& to, const BinItem& from)
{
    to.centred = from.centred;
    to.sizeFactor = from.sizeFactor;
    to.edgeColor = from.edgeColor;
    to.fillColor = from.fillColor;
    to.edgeWidth = from.edgeWidth;
    to.shape = from.shape;
    to.edgeStyle = from.edgeStyle;
    to.mode = from.mode;
    to.totalCount = from.totalCount;
    if (showMulti)
        to.children = from.children;
    else
        to.children.clear();
    to.selected = false;
    to.highlighted = false;
    to.selectedCount = 0;
    to.auxValue = 0;
    to.showLabel = false;
    to.showDetail = false;
}

// Items handed to the background thread that frees large structures.
struct HeldItems
{
    std::vector<TList<BinItem*>> rows;
    ~HeldItems()
    {
        for (TList<BinItem*>& row : rows)
            for (BinItem* item : row.items)
                delete item;
    }
};

std::atomic<quint64> releasedRows{0};

// Deletes the items of the rows: on that background thread when there are
// many (the items are plain data that any thread may free), here otherwise.
// Every row item of a cell goes this way.
void releaseItems(TList<TList<BinItem*>>&& rows)
{
    releasedRows.fetch_add(1);
    // Without the memory for the holder (a rebuild that ran out of it),
    // the items are freed here: freeing needs none.
    std::unique_ptr<HeldItems> held(new (std::nothrow) HeldItems);
    if (!held) {
        HeldItems here;
        std::swap(here.rows, rows.items);
        return;
    }
    std::swap(held->rows, rows.items);
    std::size_t count = 0;
    for (const TList<BinItem*>& row : held->rows)
        count += row.items.size();
    // A few glyphs may hold many events each (stacked rows).
    if (count < deferredrelease::FEW)
        for (const TList<BinItem*>& row : held->rows)
            for (const BinItem* item : row.items)
                count += item ? item->packets.items.size() : 0;
    // Below the hand-over size the holder frees them here as it goes.
    deferredrelease::release(std::move(held), count);
}

} // namespace

int BinCell::parallelMarks = 20000;
bool BinCell::rulesTogether = true;

int BinCell::partsFor(std::size_t work, std::size_t pieces)
{
    if (work < std::size_t(parallelMarks))
        return 1;
    return int(std::max<std::size_t>(1, std::min<std::size_t>(std::size_t(ThreadBudget::count()), pieces)));
}

BinCell::BinCell(ControlWidget* owner, QObject* receiver, const QString& title, QWidget* view)
    : ImgWidget(owner, nullptr),
      glyphSize(static_cast<int>(defaultGlyphSize)),
      rowGap(std::min(10, static_cast<int>(0.2 * defaultGlyphSize))),
      header(this, owner, receiver, title),
      receiver(receiver),
      rowsMutex(new QMutex),
      timeTo(std::numeric_limits<double>::max())
{
    parentWidget = view;
    header.setHeight(defaultGlyphSize);
    clearData();
}

quint64 BinCell::itemReleases()
{
    return releasedRows.load();
}

BinCell::~BinCell()
{
    // Waits for an overview pass that is drawing this cell.
    QMutexLocker locker(rowsMutex);
    // A tile of a large log holds every event of its traces twice, in its
    // traces and in its glyphs: both go to the background thread that frees
    // large structures.
    // So do the maps of a trace each, whose many small nodes would make
    // the allocator sort its free lists here.
    struct Held
    {
        std::vector<TList<QSharedPointer<Packet>>> traces;
        THash<int, int> traceSlots{false};
        std::unordered_map<const BinItem*, std::pair<double, double>> spans;
    };
    // Without the memory for the holder (the cells of a rebuild that ran
    // out of it), they go here with the cell.
    std::unique_ptr<Held> held;
    try {
        held = std::make_unique<Held>();
    } catch (const std::bad_alloc&) {
    }
    std::size_t total = 0;
    if (held) {
        for (TList<QSharedPointer<Packet>>& trace : conversations.items)
            total += trace.items.size();
        std::swap(held->traces, conversations.items);
        total += std::size_t(conversationSlots.size()) + timeSpans.size();
        std::swap(held->traceSlots, conversationSlots);
        std::swap(held->spans, timeSpans);
    }
    clearData();
    locker.unlock();
    delete rowsMutex;
    deferredrelease::release(std::move(held), total);
}

// ---------------------------------------------------------------------------
// Rows, rules and cache

int BinCell::slotOf(int id)
{
    auto found = conversationSlots.find(id);
    if (found != conversationSlots.end())
        return found.value();
    const int slot = nextSlot++;
    conversationSlots.insert(id, slot);
    return slot;
}

void BinCell::addPacket(const QSharedPointer<Packet>& packet)
{
    if (conversationMode == 2) {
        if (conversations.isEmpty())
            conversations.append(TList<QSharedPointer<Packet>>());
        conversations.first().append(packet);
        return;
    }
    const int slot = slotOf(packet ? packet->conversationId : 0);
    if (slot < conversations.size())
        conversations[slot].append(packet);
    else
        conversations.append(TList<QSharedPointer<Packet>>{packet});
}

void BinCell::addRecords(const TList<QSharedPointer<Packet>>& records, const std::vector<BinCell*>& target,
                         const std::vector<int>* traceIds)
{
    const std::vector<QSharedPointer<Packet>>& events = records.items;
    const std::size_t n = std::min(events.size(), target.size());
    std::size_t mine = 0;
    for (std::size_t i = 0; i < n; ++i)
        mine += target[i] == this ? 1 : 0;
    if (mine == 0)
        return;
    if (conversationMode == 2) {
        if (conversations.isEmpty())
            conversations.append(TList<QSharedPointer<Packet>>());
        std::vector<QSharedPointer<Packet>>& list = conversations.first().items;
        list.reserve(list.size() + mine);
        for (std::size_t i = 0; i < n; ++i)
            if (target[i] == this)
                list.push_back(events[i]);
        return;
    }
    // Two passes: the first gives every event its trace's slot and counts
    // the events of each slot, the second fills the traces at their size.
    std::vector<int> slotOfEvent;
    slotOfEvent.reserve(mine);
    std::vector<std::size_t> mineAt;
    mineAt.reserve(mine);
    std::vector<std::size_t> counts(conversations.items.size(), 0);
    const bool given = traceIds && traceIds->size() >= n;
    for (std::size_t i = 0; i < n; ++i) {
        if (target[i] != this)
            continue;
        const int slot = slotOf(given ? (*traceIds)[i] : events[i] ? events[i]->conversationId : 0);
        if (std::size_t(slot) >= counts.size())
            counts.resize(std::size_t(slot) + 1, 0);
        ++counts[std::size_t(slot)];
        slotOfEvent.push_back(slot);
        mineAt.push_back(i);
    }
    if (conversations.items.size() < counts.size())
        conversations.items.resize(counts.size());
    for (std::size_t slot = 0; slot < counts.size(); ++slot)
        conversations.items[slot].items.reserve(conversations.items[slot].items.size() + counts[slot]);
    // Many events are copied in parts, each part filling the traces of its
    // own range of slots.
    const std::size_t slotCount = counts.size();
    const int parts = partsFor(mine, slotCount);
    ThreadBudget::runInParts(slotCount, parts, [&](int, std::size_t from, std::size_t to) {
        const auto ours = [&](std::size_t k) {
            const std::size_t slot = std::size_t(slotOfEvent[k]);
            return slot >= from && slot < to;
        };
        // The reference counts of the part's next few events are asked for
        // ahead (they lie right before the events, see buildData()).
        constexpr int AHEAD = 16;
        std::size_t ahead = 0;
        int asked = 0;
        for (std::size_t k = 0; k < mineAt.size(); ++k) {
            for (; ahead < mineAt.size() && asked < AHEAD; ++ahead) {
                if (!ours(ahead))
                    continue;
                if (const Packet* event = events[mineAt[ahead]].data())
                    __builtin_prefetch(reinterpret_cast<const char*>(event) - 16, 1);
                ++asked;
            }
            if (!ours(k))
                continue;
            --asked;
            conversations.items[std::size_t(slotOfEvent[k])].items.push_back(events[mineAt[k]]);
        }
    });
}

void BinCell::addTraces(const std::vector<const TList<QSharedPointer<Packet>>*>& traces)
{
    // Where each run of events with one id goes, in order, as addPackets
    // finds it; then the traces are filled at their size, in parts.
    struct Run
    {
        const QSharedPointer<Packet>* from;
        const QSharedPointer<Packet>* to;
    };
    std::vector<std::vector<Run>> runsOf(conversations.items.size());
    const auto idOf = [](const QSharedPointer<Packet>& p) { return p ? p->conversationId : 0; };
    std::size_t eventCount = 0;
    for (const TList<QSharedPointer<Packet>>* trace : traces)
        eventCount += trace->items.size();
    // Whether all events of a trace share the id of its first, read in
    // parts first: such a trace is one run.
    std::vector<char> uniform(traces.size(), 0);
    if (conversationMode != 2) {
        const int parts = partsFor(eventCount, traces.size());
        ThreadBudget::runInParts(traces.size(), parts, [&](int, std::size_t from, std::size_t to) {
            for (std::size_t t = from; t < to; ++t) {
                const std::vector<QSharedPointer<Packet>>& list = traces[t]->items;
                bool same = true;
                const int id = list.empty() ? 0 : idOf(list.front());
                for (std::size_t k = 1; same && k < list.size(); ++k)
                    same = idOf(list[k]) == id;
                uniform[t] = same ? 1 : 0;
            }
        });
    }
    for (std::size_t t = 0; t < traces.size(); ++t) {
        const std::vector<QSharedPointer<Packet>>& events = traces[t]->items;
        std::size_t i = 0;
        while (i < events.size()) {
            std::size_t end = i + 1;
            int slot = 0;
            if (conversationMode == 2) {
                end = events.size();
                if (conversations.isEmpty())
                    conversations.append(TList<QSharedPointer<Packet>>());
            } else {
                const int id = idOf(events[i]);
                if (uniform[t])
                    end = events.size();
                while (end < events.size() && idOf(events[end]) == id)
                    ++end;
                slot = slotOf(id);
            }
            if (std::size_t(slot) >= conversations.items.size())
                conversations.items.resize(std::size_t(slot) + 1);
            if (std::size_t(slot) >= runsOf.size())
                runsOf.resize(std::size_t(slot) + 1);
            runsOf[std::size_t(slot)].push_back({events.data() + i, events.data() + end});
            i = end;
        }
    }
    const int parts = partsFor(eventCount, runsOf.size());
    ThreadBudget::runInParts(runsOf.size(), parts, [&](int, std::size_t from, std::size_t to) {
        for (std::size_t slot = from; slot < to; ++slot) {
            const std::vector<Run>& runs = runsOf[slot];
            if (runs.empty())
                continue;
            std::vector<QSharedPointer<Packet>>& list = conversations.items[slot].items;
            std::size_t size = list.size();
            for (const Run& run : runs)
                size += std::size_t(run.to - run.from);
            list.reserve(size);
            for (const Run& run : runs)
                list.insert(list.end(), run.from, run.to);
        }
    });
}

void BinCell::addPackets(const TList<QSharedPointer<Packet>>& packets)
{
    // The events of a trace share their id: each run of events with the
    // same id goes where its first one goes, in one step.
    const std::vector<QSharedPointer<Packet>>& events = packets.items;
    const auto idOf = [](const QSharedPointer<Packet>& p) { return p ? p->conversationId : 0; };
    std::size_t i = 0;
    while (i < events.size()) {
        std::size_t end = i + 1;
        if (conversationMode == 2) {
            end = events.size();
        } else {
            const int id = idOf(events[i]);
            while (end < events.size() && idOf(events[end]) == id)
                ++end;
        }
        addPacket(events[i]);
        if (end > i + 1) {
            const int slot = conversationMode == 2 ? 0 : conversationSlots.find(idOf(events[i])).value();
            std::vector<QSharedPointer<Packet>>& list = conversations[slot].items;
            list.insert(list.end(), events.begin() + std::ptrdiff_t(i + 1), events.begin() + std::ptrdiff_t(end));
        }
        i = end;
    }
}

void BinCell::clearData()
{
    background = Qt::transparent;
    frameColor = TEXT_COLOR;
    releaseItems(std::move(rows));
    rows.clear();
    visibleRows.clear();
    visibleRowIndex.clear();
    stackCounts.clear();
    extraItems.clear();
    timeSpans.clear();
}

void BinCell::handOverItems(ItemStock& stock)
{
    QMutexLocker locker(rowsMutex);
    stock.add(rows);
    clearData();
}

void BinCell::buildData(bool updateVisible, ItemStock* stock)
{
    QMutexLocker locker(rowsMutex);
    qDebug().noquote() << "clearing data";
    // The glyphs being replaced become the new ones.
    ItemStock own;
    if (!stock) {
        own.add(rows);
        stock = &own;
    }
    clearData();

    const int count = conversations.size();
    const bool anySelected = !selectedPackets.isEmpty();
    const bool anyMarked = !markedPackets.isEmpty();
    // Many glyphs are made in parts of the rows, on several threads, as
    // many items are marked; the calling thread waits for them. Each glyph
    // holds a reference on its event, changed under a lock that waits for
    // its memory: the events a stretch ahead are asked for meanwhile. Each
    // part names its glyphs with a copy of its own, so that the parts do not
    // all count references on one name.
    // The events before each trace: a part's share of the stock starts
    // where the events of its first trace do.
    std::vector<std::size_t> before(std::size_t(count) + 1, 0);
    for (std::size_t c = 0; c < std::size_t(count); ++c)
        before[c + 1] = before[c] + conversations.items[c].items.size();
    const std::size_t total = before.back();
    const std::size_t stockFrom = stock->claim(total);
    // Rows differ in length and in what the rules make of them: a few
    // parts a thread, taken as threads come free, keep them all busy.
    const int threads = partsFor(total, std::size_t(count));
    const int parts = threads > 1 ? int(std::min<std::size_t>(std::size_t(threads) * 4, std::size_t(count))) : 1;
    for (int c = 0; c < count; c += PROGRESS_STEP)
        qDebug().noquote() << double(c) / count << "% loaded in cache";
    qDebug().noquote() << "done";
    rows.items.resize(std::size_t(count));
    // Each row goes to the rules as soon as it is made, while its glyphs
    // and events are at hand.
    const RowMaker makeRows = [&](std::size_t from, std::size_t to, const std::function<void(std::size_t)>& made) {
        constexpr std::size_t AHEAD = 16;
        const QString gray = parts > 1 ? QString(GRAY.constData(), GRAY.size()) : GRAY;
        ItemStock::Share share(*stock, stockFrom + before[from], before[to] - before[from]);
        // The event AHEAD events on, over the traces of the part: its
        // reference count, which the events made by QSharedPointer::create
        // keep right before the event, and the event.
        std::size_t aheadTrace = from;
        std::size_t aheadEvent = 0;
        const auto askAhead = [&]() {
            while (aheadTrace < to && aheadEvent >= conversations.items[aheadTrace].items.size()) {
                ++aheadTrace;
                aheadEvent = 0;
            }
            if (aheadTrace >= to)
                return;
            const Packet* event = conversations.items[aheadTrace].items[aheadEvent++].data();
            if (!event)
                return;
            __builtin_prefetch(reinterpret_cast<const char*>(event) - 16, 1);
            __builtin_prefetch(event, 1);
        };
        for (std::size_t k = 0; k < AHEAD; ++k)
            askAhead();
        for (std::size_t c = from; c < to; ++c) {
            const std::vector<QSharedPointer<Packet>>& events = conversations.items[c].items;
            std::vector<BinItem*>& itemRow = rows.items[c].items;
            itemRow.reserve(events.size());
            for (std::size_t j = 0; j < events.size(); ++j) {
                askAhead();
                const QSharedPointer<Packet>& event = events[j];
                BinItem* item = share.make(this, event);
                item->totalCount = 1;
                item->setWidth(glyphSize);
                item->setHeight(glyphSize);
                item->name = gray;
                item->id = GRAY_ID;
                if (anySelected && selectedPackets.contains(event)) {
                    item->selected = true;
                    item->selectedCount = 1;
                }
                if (anyMarked && markedPackets.contains(event)) {
                    item->highlighted = true;
                    item->auxValue = item->selected ? 0 : 1;
                }
                itemRow.push_back(item);
            }
            if (made)
                made(c);
            // A reused glyph that nests no glyph lets go of the room of
            // the list it nested one in before.
            for (BinItem* item : itemRow)
                if (item)
                    share.dropChildren(*item);
        }
    };
    applyRules(parts, makeRows);
    if (stacked)
        stackRows();
    if (updateVisible)
        updateVisibleRows();
}

void BinCell::applyRules(int parts, const RowMaker& makeRows)
{
    GlyphStore* store = glyphStore;
    if (!store) {
        ThreadBudget::runInParts(rows.items.size(), parts,
                                 [&](int, std::size_t from, std::size_t to) { makeRows(from, to, {}); });
        return;
    }
    const TList<Rule>& rules = store->rules;
    RuleMatcher compiler(owner);

    // One automaton per rule, so that the indices stay aligned; a rule that
    // is hidden or cannot be applied matches nothing.
    std::vector<Automaton*> automata;
    // Deleted however the rewriting ends: a part that runs out of memory
    // stops it with an exception.
    struct DeleteAll
    {
        std::vector<Automaton*>& list;
        ~DeleteAll()
        {
            for (Automaton* automaton : list)
                delete automaton;
        }
    } deleteAll{automata};
    std::vector<int> applied;
    automata.reserve(std::size_t(rules.size()));
    for (int i = 0; i < rules.size(); ++i) {
        const Rule& rule = rules[i];
        const bool usable = rule.visible && rewriteLeaf(rule);
        if (rule.visible && !usable)
            qDebug().noquote() << "rule without precondition or rewrite glyph:" << rule.name;
        automata.push_back(usable ? compiler.compile(rule.pre, rule.post) : new Automaton);
        if (usable)
            applied.push_back(i);
    }
    // The store's tables stay as they are while the rows are rewritten.
    const THash<QString, int>* attributes = &store->attributeColumns;
    for (Automaton* automaton : automata)
        automaton->resolveColumns(attributes);

    if (applied.empty()) {
        ThreadBudget::runInParts(rows.items.size(), parts,
                                 [&](int, std::size_t from, std::size_t to) { makeRows(from, to, {}); });
    } else {
        // A row meets the rules in their order and no other row: the rows
        // are rewritten in parts, on several threads when there are many
        // events, each with its own matcher over the shared automata. A row
        // that a rule empties is dropped and meets no later rule. Rules in
        // a row of the list that each match single items are applied
        // together, item by item.
        struct Step
        {
            int rule = -1;       // a rule applied alone
            ItemRules together;  // else rules applied item by item
        };
        std::vector<Step> steps;
        std::vector<QList<Edge*>> startEdges(std::size_t(rules.size()));
        for (int i : applied) {
            const Automaton* automaton = automata[std::size_t(i)];
            if (!rulesTogether || !automaton->matchesSingleItems()) {
                steps.emplace_back();
                steps.back().rule = i;
                continue;
            }
            if (steps.empty() || steps.back().rule >= 0)
                steps.emplace_back();
            const QList<Edge*>& edges = startEdges[std::size_t(i)] = automaton->outEdges(automaton->start());
            ItemRules& together = steps.back().together;
            together.rules.push_back(i);
            together.edges.push_back(&edges);
            together.glyphs.push_back(&rewriteLeaf(rules[i])->glyph);
            const ParseNode* plain = edges.size() == 1 ? RuleMatcher::plainCondition(edges.constFirst()->label) : nullptr;
            int slot = -1;
            if (plain) {
                const int column = plain->columnIn(attributes);
                const auto known = std::find(together.columns.begin(), together.columns.end(), column);
                slot = int(known - together.columns.begin());
                if (known == together.columns.end())
                    together.columns.push_back(column);
            }
            together.plain.push_back(plain);
            together.valueIndex.push_back(slot);
        }

        const std::size_t count = rows.items.size();
        std::vector<std::vector<int>> matches(std::size_t(std::max(parts, 1)),
                                              std::vector<int>(std::size_t(rules.size()), 0));
        std::vector<char> kept(count, 1);
        ThreadBudget::runInParts(count, parts, [&](int k, std::size_t from, std::size_t to) {
            RuleMatcher matcher(owner);
            std::vector<int>& counted = matches[std::size_t(k)];
            std::vector<char> several;
            std::vector<const TVariant*> values;
            // Each part rewrites with glyphs of its own, texts included, so
            // that the parts do not all count references on the same ones.
            std::vector<std::vector<BinItem>> glyphs(steps.size());
            std::vector<ItemRules> own(steps.size());
            for (std::size_t s = 0; s < steps.size(); ++s) {
                if (steps[s].rule >= 0)
                    continue;
                own[s] = steps[s].together;
                glyphs[s].reserve(own[s].glyphs.size());
                for (const BinItem* glyph : own[s].glyphs) {
                    glyphs[s].push_back(*glyph);
                    ownTexts(glyphs[s].back());
                }
                for (std::size_t g = 0; g < glyphs[s].size(); ++g)
                    own[s].glyphs[g] = &glyphs[s][g];
            }
            makeRows(from, to, [&](std::size_t r) {
                TList<BinItem*>& itemRow = rows.items[r];
                for (std::size_t s = 0; s < steps.size(); ++s) {
                    const int rule = steps[s].rule;
                    const bool left =
                        rule >= 0 ? applyRule(matcher, rules, rule, automata[std::size_t(rule)], attributes, itemRow,
                                              counted[std::size_t(rule)])
                                  : applyItemRules(matcher, own[s], attributes, itemRow, counted, several, values);
                    if (!left) {
                        kept[r] = 0;
                        break;
                    }
                }
            });
        });
        for (int i : applied) {
            int n = 0;
            for (const std::vector<int>& counted : matches)
                n += counted[std::size_t(i)];
            if (n > 0)
                store->ruleCounts[rules[i].name] += n;
        }
        TList<TList<BinItem*>> survivors;
        survivors.items.reserve(count);
        for (std::size_t r = 0; r < count; ++r)
            if (kept[r])
                survivors.items.push_back(std::move(rows.items[r]));
        rows = std::move(survivors);
        if (rows.isEmpty())
            rows.append(TList<BinItem*>());
    }
}

bool BinCell::applyRule(RuleMatcher& matcher, const TList<Rule>& rules, int i, Automaton* automaton,
                        const THash<QString, int>* attributes, TList<BinItem*>& itemRow, int& matched)
{
    const Rule& rule = rules[i];
    const BinItem& rewriteGlyph = rewriteLeaf(rule)->glyph;

    // The runs the rule rewrites: its matches from left to right, none
    // overlapping another.
    nfaReported = false;
    const std::vector<std::pair<int, int>> runs = matcher.matchRuns(automaton, itemRow, rule.match);
    nfaReported = false;
    if (runs.empty())
        return true;

    const int length = itemRow.size();
    TList<BinItem*> rebuilt;
    rebuilt.items.reserve(std::size_t(length));
    // The merged glyphs belong to the rewrite until the new row takes the
    // old one's place; the glyphs of the runs stay in the row until then.
    // Running out of memory on the way leaves the row as it was.
    struct Made
    {
        std::vector<BinItem*> items;
        ~Made()
        {
            for (BinItem* item : items)
                delete item;
        }
    } made;
    made.items.reserve(runs.size());
    int matches = 0;
    std::size_t next = 0;
    for (int j = 0; j < length;) {
        if (next < runs.size() && runs[next].first == j) {
            const int runLength = runs[next].second;
            BinItem* const* run = itemRow.items.data() + j;
            std::unique_ptr<BinItem> owned(merge(run, std::size_t(runLength), rewriteGlyph));
            BinItem* merged = owned.get();
            ++matches;
            if (merged) {
                const BinItem* head = run[0];
                if (!head->name.isEmpty() && head->name == GRAY) {
                    nestEventItem(merged, head);
                } else if (!head->name.isEmpty() && runLength > 1) {
                    for (int k = 0; k < i; ++k) {
                        const Rule& earlier = rules[k];
                        if (!isSingleGlyphRule(earlier))
                            continue;
                        const BinItem* pattern = &earlier.pre->children.constFirst()->glyph;
                        if (matcher.matchGlyph(merged, pattern, attributes, nullptr))
                            merged->children.append(rewriteLeaf(earlier)->glyph.flatten());
                    }
                }
                if (merged->packets.size() > 1)
                    merged->label = QString::number(merged->packets.size());
                // Room for both was taken ahead: neither allocates.
                made.items.push_back(owned.release());
                rebuilt.items.push_back(merged);
            }
            j += runLength;
            ++next;
        } else {
            rebuilt.items.push_back(itemRow.items[std::size_t(j)]);
            ++j;
        }
    }
    made.items.clear();
    std::swap(itemRow.items, rebuilt.items);
    matched += matches;
    // The glyphs of the runs, now only in the old row.
    for (const std::pair<int, int>& run : runs)
        for (int m = 0; m < run.second; ++m)
            delete rebuilt.items[std::size_t(run.first + m)];
    return !itemRow.isEmpty();
}

bool BinCell::applyItemRules(RuleMatcher& matcher, const ItemRules& group, const THash<QString, int>* attributes,
                             TList<BinItem*>& itemRow, std::vector<int>& matched, std::vector<char>& several,
                             std::vector<const TVariant*>& values)
{
    const std::size_t ruleCount = group.rules.size();
    several.assign(ruleCount, 0);
    std::vector<BinItem*>& items = itemRow.items;
    const int length = int(items.size());
    bool rewritten = false;
    std::size_t kept = 0;
    int read = 0;
    for (int j = 0; j < length; ++j) {
        if (j >= read)
            read = RuleMatcher::readAhead(itemRow, j);
        BinItem* item = items[std::size_t(j)];
        // A rewrite keeps the events: an item of one event has the values
        // the plain comparisons read all along, each read once.
        const Packet* event = item->packets.items.size() == 1 ? item->packets.items.front().data() : nullptr;
        const bool oneEvent = item->packets.items.size() == 1;
        values.assign(group.columns.size(), nullptr);
        for (std::size_t g = 0; g < ruleCount && item; ++g) {
            int holding = 0;
            const ParseNode* plain = group.plain[g];
            if (plain && oneEvent) {
                const int slot = group.valueIndex[g];
                const int column = group.columns[std::size_t(slot)];
                if (event && column >= 0) {
                    const TVariant*& value = values[std::size_t(slot)];
                    if (!value)
                        value = &event->get(column);
                    holding = plain->equalsValue(*value) ? 1 : 0;
                }
            } else {
                holding = matcher.edgesHolding(item, *group.edges[g], attributes);
            }
            if (holding == 0)
                continue;
            if (holding > 1)
                several[g] = 1;
            rewritten = true;
            ++matched[std::size_t(group.rules[g])];
            // The row never holds a glyph that is gone, nor one glyph
            // twice: running out of memory at any item leaves a row that
            // frees each of its glyphs once.
            if (group.glyphs[g]->mode == DELETE)
                items[std::size_t(j)] = nullptr;
            item = rewriteItem(item, *group.glyphs[g]);
        }
        if (item) {
            items[kept] = item;
            if (kept != std::size_t(j))
                items[std::size_t(j)] = nullptr;
            ++kept;
        }
    }
    items.resize(kept);
    // "nfa detected" once for each rule that took several edges somewhere
    // in the row, as a rule applied alone to the row writes it.
    for (std::size_t g = 0; g < ruleCount; ++g)
        if (several[g])
            qDebug().noquote() << "nfa detected";
    return !rewritten || kept > 0;
}

void BinCell::nestEventItem(BinItem* merged, const BinItem* head)
{
    BinItem copy(*head);
    copy.packets.clear();
    merged->children.append(copy.flatten());
}

BinItem* BinCell::rewriteItem(BinItem* item, const BinItem& rewriteGlyph)
{
    if (rewriteGlyph.mode == DELETE) {
        delete item;
        return nullptr;
    }
    // merge() of the item alone, nestEventItem() and the count label, made
    // in the item's place: it becomes the copy of the rewrite glyph, with
    // its own events and counts.
    std::vector<QSharedPointer<Packet>> events = std::move(item->packets.items);
    item->packets.items.clear();
    // The event's glyph is nested into the new one; most hold no glyph of
    // their own and go into the room their (empty) list has.
    TList<BinItem> nested;
    if (!item->name.isEmpty() && item->name == GRAY) {
        if (item->children.isEmpty()) {
            nested.items = std::move(item->children.items);
            item->children.items.clear();
            nested.items.push_back(*item);
        } else {
            nested = item->flatten();
        }
    }
    const qint32 total = item->totalCount;
    const qint32 selectedEvents = item->selectedCount;
    const bool isSelected = item->selected;
    const qint32 marked = item->auxValue;
    const bool isHighlighted = item->highlighted;
    *item = rewriteGlyph;
    item->owner = this;
    item->setWidth(glyphSize);
    item->setHeight(glyphSize);
    item->packets.items = std::move(events);
    item->totalCount = total;
    item->selectedCount = selectedEvents;
    item->selected = isSelected;
    item->auxValue = marked;
    item->highlighted = isHighlighted;
    if (!nested.isEmpty()) {
        if (item->children.isEmpty())
            item->children.items = std::move(nested.items);
        else
            item->children.append(nested);
    }
    if (item->packets.size() > 1)
        item->label = QString::number(item->packets.size());
    return item;
}

void BinCell::ownTexts(BinItem& glyph)
{
    for (QString* text : {&glyph.name, &glyph.label, &glyph.detail})
        if (!text->isNull())
            *text = QString(text->constData(), text->size());
    for (BinItem& child : glyph.children.items)
        ownTexts(child);
}

BinItem* BinCell::mergeMatch(const TList<BinItem*>& run, const BinItem& rewriteGlyph)
{
    return merge(run.items.data(), run.items.size(), rewriteGlyph);
}

BinItem* BinCell::merge(BinItem* const* run, std::size_t length, const BinItem& rewriteGlyph)
{
    if (rewriteGlyph.mode == DELETE)
        return nullptr;
    std::unique_ptr<BinItem> made(new BinItem(rewriteGlyph));
    BinItem* merged = made.get();
    merged->owner = this;
    merged->setWidth(glyphSize);
    merged->setHeight(glyphSize);
    merged->packets.clear();
    merged->totalCount = 0;
    merged->selectedCount = 0;
    merged->selected = false;
    merged->highlighted = false;
    merged->auxValue = 0;
    std::size_t events = 0;
    for (std::size_t k = 0; k < length; ++k)
        events += run[k]->packets.items.size();
    merged->packets.items.reserve(events);
    for (std::size_t k = 0; k < length; ++k) {
        const BinItem* item = run[k];
        merged->packets.append(item->packets);
        merged->totalCount += item->totalCount;
        merged->selectedCount += item->selectedCount;
        merged->selected = merged->selected || item->selected;
        // Highlights survive a rebuild like the selection does.
        merged->auxValue += item->auxValue;
        merged->highlighted = merged->highlighted || item->highlighted;
    }
    return made.release();
}

void BinCell::stackRows()
{
    qDebug().noquote() << "get stacked data";
    stackMulti = showMulti;
    // The time spans of the stacked items are gathered on the way, so that
    // the first layout need not read every event again.
    const int column = timeColumn();
    timeSpanColumn = column;
    const std::size_t count = rows.items.size();
    const int parts = partsFor(std::size_t(itemCount()), count);

    // The key of every row with its hash, in parts.
    std::vector<QString> keys(count);
    std::vector<uint> hashes(count);
    ThreadBudget::runInParts(count, parts, [&](int, std::size_t from, std::size_t to) {
        for (std::size_t r = from; r < to; ++r) {
            keys[r] = rowKey(rows.items[r], stackMulti);
            hashes[r] = qHash(keys[r]);
        }
    });

    // The rows of each key, keys in the order of their first row: the
    // groups are found through the hashes made above, in a table at most
    // half full, a key read only where the hashes agree.
    std::size_t tableSize = 16;
    while (tableSize < 2 * count)
        tableSize *= 2;
    const std::size_t mask = tableSize - 1;
    std::vector<qint64> groupAt(tableSize, -1);
    std::vector<std::vector<std::size_t>> members;
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t t = hashes[r] & mask;; t = (t + 1) & mask) {
            if (groupAt[t] < 0) {
                groupAt[t] = qint64(members.size());
                members.push_back({r});
                break;
            }
            std::vector<std::size_t>& group = members[std::size_t(groupAt[t])];
            if (hashes[group.front()] == hashes[r] && keys[group.front()] == keys[r]) {
                group.push_back(r);
                break;
            }
        }
    }
    std::size_t keyChars = 0;
    for (const std::vector<std::size_t>& group : members)
        keyChars += std::size_t(keys[group.front()].size());
    stackCounts.reserve(int(members.size()), keyChars);
    for (const std::vector<std::size_t>& group : members)
        stackCounts[keys[group.front()]] += int(group.size());

    // The time span of every item of a key of several rows, in parts (only
    // items that take another row's events keep one: a row alone in its key
    // needs none).
    std::vector<std::vector<std::pair<double, double>>> spans(count);
    if (column >= 0) {
        std::vector<char> stacked(count, 0);
        for (const std::vector<std::size_t>& group : members)
            if (group.size() > 1)
                for (std::size_t r : group)
                    stacked[r] = 1;
        ThreadBudget::runInParts(count, parts, [&](int, std::size_t from, std::size_t to) {
            for (std::size_t r = from; r < to; ++r) {
                if (!stacked[r])
                    continue;
                const TList<BinItem*>& itemRow = rows.items[r];
                std::vector<std::pair<double, double>>& rowSpans = spans[r];
                rowSpans.reserve(itemRow.items.size());
                for (const BinItem* item : itemRow.items)
                    rowSpans.push_back(item ? timeSpan(item, column)
                                            : std::make_pair(std::numeric_limits<double>::infinity(),
                                                             -std::numeric_limits<double>::infinity()));
            }
        });
    }

    // Each key's stacked row: the items of its first row, which collect the
    // events of the others, item by item; the keys in parts.
    TList<TList<BinItem*>> stored;
    // The stacked rows are the stacking's until they take the rows' place:
    // running out of memory on the way frees them.
    struct Made
    {
        TList<TList<BinItem*>>& rows;
        bool placed = false;
        ~Made()
        {
            if (!placed)
                releaseItems(std::move(rows));
        }
    } made{stored};
    stored.items.resize(members.size());
    std::vector<std::vector<std::pair<const BinItem*, std::pair<double, double>>>> merged(members.size());
    const int groupParts = parts > 1 ? int(std::min<std::size_t>(std::size_t(parts), members.size())) : 1;
    ThreadBudget::runInParts(members.size(), groupParts, [&](int, std::size_t from, std::size_t to) {
        for (std::size_t g = from; g < to; ++g)
            stackGroup(members[g], spans, column, stored.items[g], merged[g]);
    });
    decltype(timeSpans) stackedSpans;
    for (const auto& groupSpans : merged)
        for (const auto& span : groupSpans)
            stackedSpans.emplace(span.first, span.second);

    qDebug().noquote() << "create result";
    {
        // The rows replaced go however this block is left.
        TList<TList<BinItem*>> old;
        struct Release
        {
            TList<TList<BinItem*>>& rows;
            ~Release() { releaseItems(std::move(rows)); }
        } release{old};
        made.placed = true;
        old = std::move(rows);
        rows = std::move(stored);
        timeSpans.swap(stackedSpans);
        qDebug().noquote() << "delete cache";
    }
    qDebug().noquote() << "done";
}

void BinCell::stackGroup(const std::vector<std::size_t>& members,
                         const std::vector<std::vector<std::pair<double, double>>>& spans, int column,
                         TList<BinItem*>& target,
                         std::vector<std::pair<const BinItem*, std::pair<double, double>>>& merged)
{
    // The first row's items become the stacked row's, which collects the
    // others' events: a row is one key's alone, no other part reads it, and
    // the rows replaced go without them.
    target.items.swap(rows.items[members.front()].items);
    // The span of each item of the stacked row, once it takes a second row.
    std::vector<std::pair<double, double>> span;
    std::vector<char> took;
    if (column >= 0 && members.size() > 1) {
        span = spans[members.front()];
        took.assign(span.size(), 0);
    }
    for (std::size_t m = 1; m < members.size(); ++m) {
        const std::size_t r = members[m];
        const TList<BinItem*>& itemRow = rows.items[r];
        if (target.size() != itemRow.size())
            qDebug().noquote() << "invalid conversations stackmap" << target.size() << itemRow.size();
        const int common = std::min(target.size(), itemRow.size());
        for (int k = 0; k < common; ++k) {
            BinItem* to = target[k];
            BinItem* from = itemRow[k];
            if (!to || !from) {
                qDebug().noquote() << "invalid event item stackmap";
                continue;
            }
            if (column >= 0) {
                const std::pair<double, double>& more = spans[r][std::size_t(k)];
                span[std::size_t(k)].first = std::min(span[std::size_t(k)].first, more.first);
                span[std::size_t(k)].second = std::max(span[std::size_t(k)].second, more.second);
                took[std::size_t(k)] = 1;
            }
            // Grows geometrically: a stacked item collects one trace at a
            // time. The events move: the rows stacked go afterwards.
            const int events = from->packets.size();
            std::vector<QSharedPointer<Packet>>& taken = from->packets.items;
            to->packets.items.insert(to->packets.items.end(), std::make_move_iterator(taken.begin()),
                                     std::make_move_iterator(taken.end()));
            to->selected = to->selected || from->selected;
            to->selectedCount += from->selectedCount;
            to->totalCount += from->totalCount;
            if (!to->label.isEmpty()) {
                // Once "*", always "*": no number to compare with.
                if (to->label != QLatin1String("*") && to->label != QString::number(events))
                    to->label = QStringLiteral("*");
            } else if (events > 1) {
                to->label = QString::number(events);
            }
            if (to->totalCount == 0)
                qDebug().noquote() << "ohoh";
        }
    }
    // Only the items that took another row's items keep a span, as when
    // they were merged one by one.
    for (std::size_t k = 0; k < took.size(); ++k)
        if (took[k])
            merged.emplace_back(target[int(k)], span[k]);
}

TList<BinItem*> BinCell::items() const
{
    TList<BinItem*> result;
    result.items.reserve(std::size_t(itemCount()));
    for (const TList<BinItem*>& itemRow : rows)
        result.items.insert(result.items.end(), itemRow.begin(), itemRow.end());
    return result;
}

TList<BinItem*> BinCell::visibleItems() const
{
    TList<BinItem*> result;
    for (const TList<BinItem*>& slice : visibleRows)
        result.items.insert(result.items.end(), slice.begin(), slice.end());
    return result;
}

int BinCell::itemCount() const
{
    qint64 n = 0;
    for (const TList<BinItem*>& itemRow : rows)
        n += itemRow.size();
    return int(std::min<qint64>(n, std::numeric_limits<int>::max()));
}

int BinCell::markingParts() const
{
    return partsFor(std::size_t(itemCount()), rows.items.size());
}

bool BinCell::setSelectedPackets(const PacketSet& packets)
{
    selectedPackets = packets;
    const bool any = !selectedPackets.isEmpty();
    // Many items are marked in parts of the rows, on several threads.
    const int parts = markingParts();
    std::vector<char> before(static_cast<std::size_t>(parts), 0);
    ThreadBudget::runInParts(rows.items.size(), parts, [this, any, &before](int k, std::size_t from, std::size_t to) {
        bool was = false;
        for (std::size_t r = from; r < to; ++r) {
            for (BinItem* item : rows.items[r]) {
                if (!item)
                    continue;
                was = was || item->selected;
                int count = 0;
                if (any)
                    for (const QSharedPointer<Packet>& event : item->packets)
                        count += selectedPackets.contains(event) ? 1 : 0;
                item->selectedCount = count;
                item->selected = count > 0;
            }
        }
        before[std::size_t(k)] = was ? 1 : 0;
    });
    return std::find(before.begin(), before.end(), 1) != before.end();
}

void BinCell::markChosen(TList<TList<BinItem*>>& selectedRows, TList<BinItem*>& others)
{
    const int parts = markingParts();
    std::vector<TList<TList<BinItem*>>> chosenRows(static_cast<std::size_t>(parts));
    std::vector<TList<BinItem*>> unchosen(static_cast<std::size_t>(parts));
    ThreadBudget::runInParts(rows.items.size(), parts, [&](int k, std::size_t from, std::size_t to) {
        for (std::size_t r = from; r < to; ++r) {
            TList<BinItem*> chosen;
            for (BinItem* item : rows.items[r]) {
                if (!item)
                    continue;
                if (item->selectedCount == CHOSEN) {
                    item->selectedCount = item->packets.size();
                    item->selected = item->selectedCount > 0;
                } else {
                    item->selectedCount = 0;
                    item->selected = false;
                    if (!item->packets.isEmpty())
                        unchosen[std::size_t(k)].append(item);
                }
                if (item->selected)
                    chosen.append(item);
            }
            if (!chosen.isEmpty())
                chosenRows[std::size_t(k)].append(std::move(chosen));
        }
    });
    for (std::size_t k = 0; k < chosenRows.size(); ++k) {
        for (TList<BinItem*>& row : chosenRows[k].items)
            selectedRows.append(std::move(row));
        others.items.insert(others.items.end(), unchosen[k].items.begin(), unchosen[k].items.end());
    }
}

void BinCell::gatherSelected(TList<TList<BinItem*>>& sequences, std::vector<std::vector<BinItem*>>& glyphs) const
{
    const int parts = markingParts();
    std::vector<TList<TList<BinItem*>>> partRows(static_cast<std::size_t>(parts));
    std::vector<std::vector<BinItem*>> partGlyphs(static_cast<std::size_t>(parts));
    ThreadBudget::runInParts(rows.items.size(), parts, [&](int k, std::size_t from, std::size_t to) {
        for (std::size_t r = from; r < to; ++r) {
            TList<BinItem*> sequence;
            for (BinItem* item : rows.items[r])
                if (item && item->selected)
                    sequence.append(item);
            if (sequence.isEmpty())
                continue;
            std::vector<BinItem*>& partGlyph = partGlyphs[std::size_t(k)];
            partGlyph.insert(partGlyph.end(), sequence.items.begin(), sequence.items.end());
            partRows[std::size_t(k)].append(std::move(sequence));
        }
    });
    glyphs.reserve(glyphs.size() + partGlyphs.size());
    for (std::size_t k = 0; k < partRows.size(); ++k) {
        for (TList<BinItem*>& row : partRows[k].items)
            sequences.append(std::move(row));
        glyphs.push_back(std::move(partGlyphs[k]));
    }
}

void BinCell::setMarkedPackets(const QSet<QSharedPointer<Packet>>& packets)
{
    markedPackets = packets;
    const bool any = !markedPackets.isEmpty();
    for (TList<BinItem*>& itemRow : rows) {
        for (BinItem* item : itemRow) {
            if (!item)
                continue;
            int count = 0;
            if (any)
                for (const QSharedPointer<Packet>& event : item->packets)
                    count += markedPackets.contains(event) && !selectedPackets.contains(event) ? 1 : 0;
            item->auxValue = count;
            item->highlighted = count > 0;
        }
    }
}

int BinCell::timeColumn() const
{
    if (!glyphStore)
        return -1;
    return glyphStore->attributeColumns.value(TIME_ATTRIBUTE, -1);
}

std::pair<double, double> BinCell::timeSpan(const BinItem* item, int column)
{
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    for (const QSharedPointer<Packet>& event : item->packets) {
        if (!event)
            continue;
        const TVariant& value = event->get(column);
        if (!value.isNumber())
            continue;
        const double t = value.toDouble();
        lo = std::min(lo, t);
        hi = std::max(hi, t);
    }
    return std::make_pair(lo, hi);
}

bool BinCell::inTimeWindow(const BinItem* item, int column)
{
    if (column < 0 || item->packets.isEmpty())
        return true;
    // A stacked item holds the events of several traces in no time order:
    // its span runs from the smallest to the largest time.
    std::pair<double, double> times;
    if (item->packets.size() > MANY_EVENTS) {
        if (timeSpanColumn != column) {
            timeSpans.clear();
            timeSpanColumn = column;
        }
        auto found = timeSpans.find(item);
        if (found == timeSpans.end())
            found = timeSpans.emplace(item, timeSpan(item, column)).first;
        times = found->second;
    } else {
        times = timeSpan(item, column);
    }
    if (times.first > times.second)
        return true; // no event has a time
    return intervalsOverlap(timeFrom, timeTo, times.first, times.second);
}

void BinCell::applyTimeWindow()
{
    const int column = timeColumn();
    for (TList<BinItem*>& slice : visibleRows)
        for (BinItem* item : slice)
            if (item)
                item->visible = inTimeWindow(item, column);
}

QString BinCell::rowKey(const TList<BinItem*>& itemRow) const
{
    return rowKey(itemRow, showMulti);
}

namespace {

// Appends the decimal digits of n, as QString::number gives them.
void appendNumber(QString& key, qint32 n)
{
    QChar digits[12];
    int at = 12;
    quint32 magnitude = n < 0 ? quint32(0) - quint32(n) : quint32(n);
    do {
        digits[--at] = QLatin1Char(char('0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (n < 0)
        digits[--at] = QLatin1Char('-');
    key.append(digits + at, 12 - at);
}

} // namespace

QString BinCell::rowKey(const TList<BinItem*>& itemRow, bool multi) const
{
    QString key;
    key.reserve(itemRow.size() * 6);
    for (const BinItem* item : itemRow) {
        if (!item) {
            key += QLatin1String(";[]");
            continue;
        }
        appendNumber(key, item->id);
        key += QLatin1String(";[");
        if (multi) {
            for (const BinItem& child : item->children) {
                appendNumber(key, child.id);
                key += QLatin1Char(',');
            }
        }
        key += QLatin1Char(']');
    }
    return key;
}

THash<QString, int> BinCell::countRowKeys(const TList<TList<BinItem*>>& list) const
{
    THash<QString, int> counts(false);
    for (const TList<BinItem*>& itemRow : list)
        counts[rowKey(itemRow)] += 1;
    return counts;
}

TList<TList<TList<BinItem*>>> BinCell::buildStacked(const TList<TList<BinItem*>>& list) const
{
    QHash<QString, int> groupOf;
    std::vector<std::vector<int>> members;
    for (int i = 0; i < list.size(); ++i) {
        if (i % STACK_PROGRESS_STEP == 0)
            qDebug().noquote().nospace() << "stacked " << i;
        const QString key = rowKey(list[i]);
        auto found = groupOf.constFind(key);
        if (found == groupOf.constEnd()) {
            groupOf.insert(key, int(members.size()));
            members.push_back({i});
        } else {
            members[std::size_t(found.value())].push_back(i);
        }
    }
    qDebug().noquote() << "build result";
    TList<TList<TList<BinItem*>>> result;
    result.items.reserve(members.size());
    for (const std::vector<int>& group : members) {
        TList<TList<BinItem*>> rowsOfGroup;
        rowsOfGroup.items.reserve(group.size());
        for (int i : group)
            rowsOfGroup.append(list[i]);
        result.items.push_back(std::move(rowsOfGroup));
    }
    return result;
}

void BinCell::reorderRows(const QHash<int, int>& order)
{
    {
        QMutexLocker locker(rowsMutex);
        const int size = order.size();
        // The new order is worked out on row numbers, and the rows are moved
        // only once it is whole: out of memory on the way, every row stays
        // where it was.
        constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
        std::vector<std::size_t> placed(static_cast<std::size_t>(size), none);
        // The position of every row's trace, looked up in parts of the rows
        // (on several threads when there are many): each lookup reads the
        // row's first glyph and its event.
        std::vector<int> targets(rows.items.size(), -1);
        ThreadBudget::runInParts(rows.items.size(), markingParts(), [&](int, std::size_t from, std::size_t to) {
            for (std::size_t r = from; r < to; ++r) {
                const TList<BinItem*>& itemRow = rows.items[r];
                const BinItem* first = itemRow.isEmpty() ? nullptr : itemRow.first();
                if (!first || first->packets.isEmpty() || !first->packets.first())
                    continue;
                auto found = order.constFind(first->packets.first()->conversationId);
                if (found != order.constEnd())
                    targets[r] = found.value();
            }
        });
        // Rows without a free position of their own keep their order after
        // the placed rows, so that none is lost or doubled.
        std::vector<std::size_t> rest;
        std::size_t kept = 0;
        for (std::size_t r = 0; r < rows.items.size(); ++r) {
            const TList<BinItem*>& itemRow = rows.items[r];
            if (itemRow.isEmpty()) {
                qDebug().noquote() << "empty glyphs are not allowed";
                continue;
            }
            ++kept;
            const int target = targets[r];
            if (target >= 0 && target < size && placed[std::size_t(target)] == none)
                placed[std::size_t(target)] = r;
            else
                rest.push_back(r);
        }
        std::vector<TList<BinItem*>> next;
        next.reserve(kept);
        for (std::size_t r : placed)
            if (r != none)
                next.push_back(std::move(rows.items[r]));
        for (std::size_t r : rest)
            next.push_back(std::move(rows.items[r]));
        rows.items.swap(next);
        // The window must show the rows in their new order.
        updateVisibleRows();
    }
    layoutItems(false, false);
    render(true, true, nullptr);
}

// ---------------------------------------------------------------------------
// Layout

int BinCell::itemsPerLine() const
{
    const double available = header.width() - leftMargin - glyphSize;
    const double step = glyphSize + itemGap;
    if (!(available >= 0.0) || step <= 0.0)
        return 1;
    return std::max(1, clampInt(std::floor(available / step) + 1.0));
}

int BinCell::linesOf(int n) const
{
    if (n <= 0)
        return 0;
    const int perLine = itemsPerLine();
    return int((qint64(n) + perLine - 1) / perLine);
}

namespace {

int ceilDiv(qint64 n, int d)
{
    if (n <= 0 || d <= 0)
        return 0;
    return int(std::min<qint64>((n + d - 1) / d, std::numeric_limits<int>::max()));
}

} // namespace

int BinCell::lineCount() const
{
    if (header.toggled)
        return 0;
    const int perLine = itemsPerLine();
    qint64 total = 0;
    switch (conversationMode) {
    case 0:
        for (const TList<BinItem*>& itemRow : rows)
            total += ceilDiv(itemRow.size(), perLine);
        return int(std::min<qint64>(total, std::numeric_limits<int>::max()));
    case 1:
        for (const TList<QSharedPointer<Packet>>& events : conversations)
            total += events.size() + 2;
        return ceilDiv(total, perLine);
    default:
        for (const TList<QSharedPointer<Packet>>& events : conversations)
            total += events.size();
        return ceilDiv(total, perLine);
    }
}

int BinCell::visibleLineCount(int height) const
{
    const double available = firstLine == 0 ? height - header.height() - topMargin : height - topMargin;
    const double step = glyphSize + 2;
    int lines = step > 0.0 ? std::max(0, clampInt(std::ceil(available / step))) : 0;
    if (conversationMode == 0)
        return lines;
    qint64 slotCount = 0;
    const int extra = conversationMode == 1 ? (stacked ? 3 : 2) : 0;
    for (const TList<QSharedPointer<Packet>>& events : conversations)
        slotCount += events.size() + extra;
    return std::min(lines, ceilDiv(slotCount, itemsPerLine()));
}

double BinCell::contentHeight() const
{
    if (header.toggled)
        return header.height() + topMargin;
    // Scrolled past the content: no lines, never a negative height.
    const double lines = std::max(0, lineCount() - std::max(0, firstLine - 1));
    const double gaps = std::max(0.0, lines - 1);
    const double base = firstLine == 0 ? header.height() + topMargin + itemGap : itemGap;
    const int gap = conversationMode == 0 ? rowGap : itemGap;
    return base + lines * glyphSize + gaps * gap + itemGap + topMargin;
}

int BinCell::rowsHeight(const TList<TList<BinItem*>>& list) const
{
    double height = header.height() + topMargin + itemGap;
    if (!header.toggled) {
        const int perLine = itemsPerLine();
        for (const TList<BinItem*>& itemRow : list) {
            const double lines = ceilDiv(itemRow.size(), perLine);
            switch (conversationMode) {
            case 0:
                height += lines * (glyphSize + 2);
                if (!itemRow.isEmpty())
                    height += rowGap + glyphSize;
                break;
            case 1:
                height += lines * std::floor(1.3 * glyphSize + itemGap);
                break;
            default:
                height += lines * (glyphSize + itemGap);
                break;
            }
        }
    }
    return clampInt(height);
}

void BinCell::updateVisibleRows()
{
    visibleRows.clear();
    visibleRowIndex.clear();
    firstVisibleRow = 0;
    firstVisibleLine = 0;
    endRow = 0;
    const int window = header.toggled ? 2 : visibleLineCount(height()) + 2;
    if (lineCount() < firstLine || header.toggled) {
        // A collapsed cell shows its header only.
        qDebug().noquote() << "not visible";
        return;
    }
    qDebug().noquote() << "visible rows:" << window;
    const int perLine = itemsPerLine();

    if (conversationMode == 0) {
        int before = 0;
        int filled = 0;
        bool first = true;
        endRow = rows.size();
        for (int r = 0; r < rows.size(); ++r) {
            const TList<BinItem*>& itemRow = rows[r];
            const int lines = ceilDiv(itemRow.size(), perLine);
            if (before + lines < firstLine) {
                before += lines;
                continue;
            }
            int cut = 0;
            if (first) {
                cut = std::max(0, firstLine - 1 - before);
                firstVisibleLine = cut;
                firstVisibleRow = r;
                first = false;
            }
            const int take = std::max(0, std::min(lines - cut, window - filled));
            visibleRows.append(itemRow.mid(cut * perLine, take * perLine));
            visibleRowIndex.append(r);
            filled += take;
            before += lines;
            if (filled >= window) {
                endRow = r + 1;
                break;
            }
        }
        return;
    }

    const int startLine = std::max(0, firstLine - 1);
    if (conversationMode == 2 || rows.size() <= 1) {
        // One stretch of the first row, cut to the row.
        if (rows.isEmpty())
            return;
        const TList<BinItem*>& itemRow = rows.first();
        const qint64 start = qint64(startLine) * perLine;
        const qint64 length = qint64(lineCount()) * perLine;
        if (start < itemRow.size())
            visibleRows.append(itemRow.mid(int(start), int(std::min<qint64>(length, itemRow.size() - start))));
        else
            visibleRows.append(TList<BinItem*>());
        visibleRowIndex.append(0);
        firstVisibleLine = startLine;
        endRow = 1;
        return;
    }

    // Mode 1 with several traces: the traces follow each other on the
    // lines, two slots apart; the window takes the items on its lines.
    const qint64 from = qint64(startLine) * perLine;
    const qint64 to = qint64(startLine + window) * perLine;
    qint64 slot = 0;
    bool first = true;
    endRow = rows.size();
    for (int r = 0; r < rows.size(); ++r) {
        const TList<BinItem*>& itemRow = rows[r];
        const qint64 a = std::max<qint64>(0, from - slot);
        const qint64 b = std::min<qint64>(itemRow.size(), to - slot);
        if (a < b) {
            visibleRows.append(itemRow.mid(int(a), int(b - a)));
            visibleRowIndex.append(r);
            if (first) {
                firstVisibleRow = r;
                firstVisibleLine = int((slot + a) / perLine);
                first = false;
            }
        }
        slot += itemRow.size() + 2;
        if (slot >= to) {
            endRow = r + 1;
            break;
        }
    }
}

void BinCell::layoutItems(bool allRows, bool lockHeld)
{
    std::unique_lock<QMutex> locker(*rowsMutex, std::defer_lock);
    if (!lockHeld)
        locker.lock();
    QElapsedTimer timer;
    timer.start();
    labelPixelSize = 0.5 * glyphSize;

    // Written only when it changes: other threads read the header.
    const double headerWidth = width() - 2 * itemGap;
    if (header.storedWidth != headerWidth)
        header.setWidth(headerWidth);
    if (header.x != itemGap || header.y != itemGap)
        header.setPos(QPointF(itemGap, itemGap));

    if (allRows) {
        QList<int> all;
        all.reserve(rows.size());
        for (int r = 0; r < rows.size(); ++r)
            all.append(r);
        placeRows(rows, all);
    } else {
        placeRows(visibleRows, visibleRowIndex);
    }
    qDebug().noquote().nospace() << timer.elapsed() << " seconds reposition";

    if (allRows) {
        const int column = timeColumn();
        for (TList<BinItem*>& itemRow : rows)
            for (BinItem* item : itemRow)
                if (item)
                    item->visible = inTimeWindow(item, column);
    } else {
        applyTimeWindow();
    }
}

BinCell::RowPlacer::RowPlacer(const BinCell& cell)
    : lineWidth(cell.header.width()),
      glyph(cell.glyphSize),
      gap(cell.itemGap),
      leftMargin(cell.leftMargin),
      rowGap(cell.rowGap),
      mode(cell.conversationMode),
      stacked(cell.stacked),
      x(cell.leftMargin),
      y(cell.firstLine < 1 ? cell.header.height() + cell.topMargin + cell.itemGap
                           : cell.topMargin + cell.itemGap)
{
    switch (mode) {
    case 0: lineStep = 2 + glyph; break;
    case 1: lineStep = gap + 1.3 * glyph; break;
    default: lineStep = gap + glyph; break;
    }
    const Axis* sized = dynamic_cast<const Axis*>(cell.sizeAxis);
    if (sized && cell.sizeAttribute >= 0) {
        axis = sized;
        sizeAttribute = cell.sizeAttribute;
    }
    // Stack labels of wide glyphs are as wide as their text.
    if (stacked && glyph >= NARROW_LABEL_GLYPH) {
        QFont labelFont(APPLICATION_FONT);
        labelFont.setPixelSize(std::max(1, int(0.5 * glyph)));
        metrics = std::make_shared<QFontMetricsF>(labelFont);
    }
}

QRectF BinCell::RowPlacer::place(const BinItem& item)
{
    // A line holds at least one item, however narrow the cell.
    if (x > leftMargin && x + glyph > lineWidth) {
        x = leftMargin;
        y += lineStep;
    }
    QRectF slot(x, y, glyph, glyph);
    if (axis) {
        double sum = 0.0;
        int values = 0;
        for (const QSharedPointer<Packet>& event : item.packets) {
            if (!event)
                continue;
            const TVariant& value = event->get(sizeAttribute);
            if (value.isNumber()) {
                sum += value.toDouble();
                ++values;
            }
        }
        double share = 1.0;
        if (values > 0 && axis->max != axis->min)
            share = (sum / values - axis->min) / (axis->max - axis->min);
        if (!std::isfinite(share))
            share = 1.0;
        share = std::clamp(share, 0.0, 1.0);
        double size = std::max(MIN_SCALED_SIZE, std::trunc(share * glyph));
        size = std::min(size, glyph);
        slot = QRectF(x + (glyph - size) / 2, y + (glyph - size) / 2, size, size);
    }
    x += glyph + gap;
    return slot;
}

void BinCell::RowPlacer::endRow(bool emptyRow, int stackCount, TList<TextItem>* labels, QWidget* owner)
{
    if (stacked) {
        TextItem label(QStringLiteral(" ") + QString::number(stackCount), false, owner);
        label.setPos(QPointF(x, y));
        label.setHeight(glyph);
        const double labelWidth =
            metrics ? std::max(glyph / 2, metrics->horizontalAdvance(label.label)) : glyph / 2;
        label.setWidth(labelWidth);
        labels->append(label);
        x += labelWidth + gap + (mode == 1 ? 20 : 0);
    }
    if (mode == 0) {
        x = leftMargin;
        if (!emptyRow)
            y += rowGap + glyph;
    }
}

void BinCell::placeRows(const TList<TList<BinItem*>>& list, const QList<int>& fullRows)
{
    extraItems.clear();
    RowPlacer placer(*this);
    for (int i = 0; i < list.size(); ++i) {
        const TList<BinItem*>& itemRow = list[i];
        for (BinItem* item : itemRow) {
            if (!item)
                continue;
            const QRectF slot = placer.place(*item);
            item->setPos(slot.topLeft());
            item->setWidth(slot.width());
            item->setHeight(slot.height());
        }
        int count = 0;
        if (stacked) {
            // The first shown slice may be cut: its key is the full row's.
            const int full = i < fullRows.size() ? fullRows.at(i) : -1;
            const TList<BinItem*>& keyed = full >= 0 && full < rows.size() ? rows[full] : itemRow;
            count = stackCounts.value(rowKey(keyed, stackMulti), 0);
        }
        placer.endRow(itemRow.isEmpty(), count, &extraItems, this);
    }
}

// ---------------------------------------------------------------------------
// Rendering

void BinCell::paintItems(QPainter* painter, const TList<BinItem*>& list)
{
    QPen pen(LINE_COLOR, 1, Qt::SolidLine);
    QBrush brush;
    for (BinItem* item : list) {
        if (!item->visible)
            continue;
        item->showLabel = showLabels;
        item->showDetail = showPopups;
        item->paint(painter, pen, brush);
        if (sizeAxis && item->width() != glyphSize) {
            const double side = glyphSize - 2;
            painter->setPen(QPen(SLOT_COLOR, 1, Qt::SolidLine));
            painter->setBrush(Qt::NoBrush);
            painter->drawRect(QRectF(item->centerX() - side / 2, item->centerY() - side / 2, side, side));
        }
    }
}

void BinCell::paintStackLabels(QPainter* painter, const TList<TextItem>& labels, double pixelSize)
{
    if (labels.isEmpty())
        return;
    if (pixelSize >= 5) {
        QFont font(APPLICATION_FONT);
        font.setPixelSize(int(pixelSize));
        painter->setFont(font);
    }
    painter->setPen(QPen(Qt::black, 1, Qt::SolidLine));
    painter->setBrush(Qt::NoBrush);
    for (const TextItem& label : labels)
        painter->drawText(QRectF(label.x, label.y, label.storedWidth, label.storedHeight), Qt::AlignCenter,
                          label.label);
}

bool BinCell::render(bool overlayToo, bool updateToo, QImage* target)
{
    QImage* img = target ? target : &image;
    // Both locks are let go of however the drawing ends.
    std::unique_lock<QMutex> imageLock(*imageMutex, std::defer_lock);
    const bool imageLocked = imageLock.try_lock_for(std::chrono::milliseconds(1));
    if (!imageLocked && !target) {
        scheduleRetry(true, overlayToo, updateToo);
        return false;
    }
    if (img->paintingActive())
        return false;
    std::unique_lock<QMutex> rowsLock(*rowsMutex, std::defer_lock);
    if (target) {
        rowsLock.lock();
    } else if (!rowsLock.try_lock()) {
        // The overview worker is drawing this cell: skip the frame rather
        // than block the GUI thread, and try again shortly.
        imageLock.unlock();
        scheduleRetry(true, overlayToo, updateToo);
        return false;
    }

    img->fill(background);
    {
        QPainter painter(img);
        QPen pen(LINE_COLOR, 1, Qt::SolidLine);
        QBrush brush;
        painter.setPen(pen);
        if (firstLine == 0 && header.top() + header.height() > 0)
            header.paint(&painter, pen, brush);

        TList<BinItem*> plain;
        TList<BinItem*> selectedItems;
        TList<BinItem*> markedItems;
        for (const TList<BinItem*>& slice : visibleRows) {
            for (BinItem* item : slice) {
                if (!item)
                    continue;
                if (item->selected)
                    selectedItems.append(item);
                else if (item->highlighted)
                    markedItems.append(item);
                else
                    plain.append(item);
            }
        }
        paintItems(&painter, plain);
        paintItems(&painter, selectedItems);
        paintItems(&painter, markedItems);
        paintStackLabels(&painter, extraItems, labelPixelSize);
    }

    if (imageLocked)
        imageLock.unlock();
    if (overlayToo)
        renderOverlay();
    rowsLock.unlock();
    if (updateToo)
        update();
    return true;
}

bool BinCell::renderOverlay()
{
    RenderGuard guard(this);
    if (!guard)
        return false;
    overlay.fill(Qt::transparent);
    return true;
}

QImage BinCell::overviewImage(int width, int itemSize, const std::atomic<bool>* cancel)
{
    const double scale = itemSize / OVERVIEW_BASE;
    QMutexLocker locker(rowsMutex);
    const int height = clampInt(std::floor(rowsHeight(rows) * scale));
    if (width <= 0 || height <= 0)
        return QImage();
    // Larger images are beyond what the raster engine addresses.
    if (qint64(width) * 4 * height > std::numeric_limits<int>::max()) {
        qDebug().noquote() << "overview of" << header.title << "too large for an image:" << width << "x" << height;
        return QImage();
    }
    QImage result(width, height, QImage::Format_ARGB32);
    if (result.isNull())
        return result;
    result.fill(background);
    result.fill(Qt::white);

    QPainter painter(&result);
    painter.scale(scale, scale);
    QPen pen(LINE_COLOR, 1, Qt::SolidLine);
    QBrush brush;
    painter.setPen(pen);
    if (firstLine == 0 && header.top() + header.height() > 0)
        header.paint(&painter, pen, brush);
    if (header.toggled)
        return result;

    // Every row is laid out afresh on copies of its items, a stretch at a
    // time: the items the matrix draws and hit-tests keep their positions,
    // and the lock is held only while a stretch is copied. The copies are
    // drawn after the lock is released, so the GUI thread, which builds,
    // reorders and lays out the rows under the same lock, waits at most
    // for one stretch. Between stretches the rows are looked up by index
    // again, as they may have been reordered meanwhile.
    RowPlacer placer(*this);
    const double labelSize = 0.5 * glyphSize;
    const bool outlined = sizeAxis != nullptr;
    const double slotSide = glyphSize - 2;
    const int column = timeColumn();
    std::vector<BinItem> copies;
    copies.reserve(OVERVIEW_STRETCH);
    TList<TextItem> labels;
    int r = 0;
    int k = 0;
    for (;;) {
        int used = 0;
        labels.clear();
        while (used < OVERVIEW_STRETCH && r < rows.size()) {
            const TList<BinItem*>& itemRow = rows[r];
            if (k < itemRow.size()) {
                const BinItem* item = itemRow[k++];
                if (!item)
                    continue;
                const QRectF slot = placer.place(*item);
                if (!inTimeWindow(item, column))
                    continue;
                if (std::size_t(used) == copies.size())
                    copies.emplace_back(nullptr, this);
                BinItem& drawn = copies[std::size_t(used++)];
                copyForDrawing(drawn, *item);
                drawn.setPos(slot.topLeft());
                drawn.setWidth(slot.width());
                drawn.setHeight(slot.height());
                continue;
            }
            const int count = placer.stacked ? stackCounts.value(rowKey(itemRow, stackMulti), 0) : 0;
            placer.endRow(itemRow.isEmpty(), count, &labels, this);
            ++r;
            k = 0;
        }
        const bool more = r < rows.size();
        locker.unlock();

        for (int i = 0; i < used; ++i) {
            BinItem& drawn = copies[std::size_t(i)];
            drawn.paint(&painter, pen, brush);
            if (outlined && drawn.width() != placer.glyph) {
                painter.setPen(QPen(SLOT_COLOR, 1, Qt::SolidLine));
                painter.setBrush(Qt::NoBrush);
                painter.drawRect(QRectF(drawn.centerX() - slotSide / 2, drawn.centerY() - slotSide / 2, slotSide,
                                        slotSide));
            }
        }
        paintStackLabels(&painter, labels, labelSize);
        if (!more)
            break;
        if (cancel && cancel->load(std::memory_order_relaxed))
            return QImage();
        locker.relock();
    }
    painter.end();
    return result;
}

// ---------------------------------------------------------------------------
// Widget

void BinCell::reset()
{
    ImgWidget::reset();
}

void BinCell::setSize(int w, int h)
{
    ImgWidget::setSize(w, h);
    {
        QMutexLocker locker(rowsMutex);
        // The window depends on the width: the header takes it first.
        const double headerWidth = width() - 2 * itemGap;
        if (header.storedWidth != headerWidth)
            header.setWidth(headerWidth);
        if (header.x != itemGap || header.y != itemGap)
            header.setPos(QPointF(itemGap, itemGap));
        updateVisibleRows();
    }
    layoutItems(false, false);
    render(true, true, nullptr);
}

QRectF BinCell::dataRect()
{
    return QRectF(0, 0, width(), height());
}

QSize BinCell::sizeHint() const
{
    return QSize(100, 100);
}

void BinCell::resizeEvent(QResizeEvent* e)
{
    HandlerGuard::run([&] {
        QWidget::resizeEvent(e);
        setSize(e->size().width(), e->size().height());
    });
}

void BinCell::mousePressEvent(QMouseEvent* e)
{
    HandlerGuard::run([&] {
        // The matrix hands on its own coordinates.
        const double px = std::round(e->localPos().x()) - x();
        const double py = std::round(e->localPos().y()) - y();
        // Both edges belong to the header; it is only there while it is shown.
        const bool onHeader = firstLine == 0 && px >= header.left() && px <= header.right()
                              && py >= header.top() && py <= header.bottom();
        if (onHeader)
            header.mousePress(e);
    });
    ImgWidget::mousePressEvent(e);
}
