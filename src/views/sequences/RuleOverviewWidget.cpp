#include "views/sequences/RuleOverviewWidget.h"

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/HandlerGuard.h"
#include "core/TVariant.h"
#include "core/ThreadBudget.h"
#include "items/BinItem.h"
#include "model/GlyphStore.h"
#include "patterns/Automaton.h"
#include "patterns/Edge.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStringBuilder>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

const QColor ROOT_COLOUR(177, 189, 197);

// Asks for the memory at p ahead of its use, where the compiler can.
inline void prefetch(const void* p)
{
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

QString lastName(const QString& key)
{
    const int dot = key.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? key : key.mid(dot + 1);
}

// The glyph paths of some items as a tree of their own, a node per name
// under a node: node 0 the root, the others in the order the items first
// reach them, each with the name and colour of the element that did so and
// the items counted in it. Reads the items' names and colours in place:
// they must stay as they are while the tree is in use.
class PathTree
{
public:
    PathTree() { addNode(-1, nullptr, nullptr); }

    // An item without stacked glyphs is a path of one name, counted in its
    // node; one with stacked glyphs the path of them, deepest first, and
    // itself last, counted in every node (with `multi`) or in its last.
    void addPath(const BinItem& item, bool multi)
    {
        if (item.children.isEmpty()) {
            count(step(0, item.name, item.fillColor));
            return;
        }
        int current = 0;
        for (int k = item.children.size() - 1; k >= -1; --k) {
            const BinItem& element = k >= 0 ? item.children.items[std::size_t(k)] : item;
            current = step(current, element.name, element.fillColor);
            if (multi || k < 0)
                count(current);
        }
    }

    std::size_t nodeCount() const { return parents.size(); }
    int parentOf(std::size_t node) const { return parents[node]; }
    const QString& nameOf(std::size_t node) const { return *names[node]; }
    const QColor& colourOf(std::size_t node) const { return *colours[node]; }
    int countOf(std::size_t node) const { return counts[node]; }
    bool countedIn(std::size_t node) const { return counted[node] != 0; }

private:
    struct Slot
    {
        quint64 key;
        int node;   // -1 for a free slot
    };
    struct NameSlot
    {
        const QChar* text;
        int length;
        int id;
    };

    void count(int node)
    {
        ++counts[std::size_t(node)];
        counted[std::size_t(node)] = 1;
    }

    int addNode(int parent, const QString* name, const QColor* colour)
    {
        parents.push_back(parent);
        names.push_back(name);
        colours.push_back(colour);
        counts.push_back(0);
        counted.push_back(0);
        return int(parents.size()) - 1;
    }

    // Names are told apart by id; the items' names mostly share their
    // text, so a name is looked up by its text's address first.
    int nameId(const QString& name)
    {
        NameSlot& recent = recentNames[(quintptr(name.constData()) >> 4) & 63];
        if (recent.text && recent.text == name.constData() && recent.length == name.size())
            return recent.id;
        auto found = nameIds.constFind(name);
        if (found == nameIds.constEnd())
            found = nameIds.insert(name, nameIds.size());
        recent = {name.constData(), name.size(), found.value()};
        return found.value();
    }

    Slot& find(quint64 key)
    {
        const std::size_t mask = table.size() - 1;
        std::size_t at = std::size_t((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
        while (table[at].node >= 0 && table[at].key != key)
            at = (at + 1) & mask;
        return table[at];
    }

    int step(int from, const QString& name, const QColor& colour)
    {
        const quint64 key = (quint64(quint32(from)) << 32) | quint32(nameId(name));
        Slot& slot = find(key);
        if (slot.node >= 0)
            return slot.node;
        const int node = addNode(from, &name, &colour);
        if (2 * (parents.size() + 1) > table.size()) {
            std::vector<Slot> old(2 * table.size(), Slot{0, -1});
            old.swap(table);
            for (const Slot& entry : old)
                if (entry.node >= 0)
                    find(entry.key) = entry;
            find(key) = {key, node};
        } else {
            slot = {key, node};
        }
        return node;
    }

    std::vector<int> parents;
    std::vector<const QString*> names;
    std::vector<const QColor*> colours;
    std::vector<int> counts;
    std::vector<char> counted;
    std::vector<Slot> table = std::vector<Slot>(64, Slot{0, -1});
    QHash<QString, int> nameIds;
    NameSlot recentNames[64] = {};
};

} // namespace

RuleOverviewWidget::RuleOverviewWidget(ControlWidget* owner, EventWidget* source, QWidget* parent)
    : QWidget(parent)
    , owner(owner)
    , source(source)
{
    setMouseTracking(true);
}

RuleOverviewWidget::~RuleOverviewWidget()
{
    clearItems();
    delete automaton;
}

QSize RuleOverviewWidget::sizeHint() const
{
    return QSize(100, 100);
}

void RuleOverviewWidget::clearItems()
{
    for (BinItem* item : items.items)
        delete item;
    items.clear();
}

int RuleOverviewWidget::addNode(int parent, const QString& key, const QString& lastName,
                                const QColor& colour)
{
    const int id = int(parents.size());
    const Node node(id);
    if (parent >= 0) {
        const std::size_t p = std::size_t(parent);
        if (firstChild[p] < 0)
            firstChild[p] = id;
        else
            nextSibling[std::size_t(lastChild[p])] = id;
        lastChild[p] = id;
    }
    parents.push_back(parent);
    firstChild.push_back(-1);
    lastChild.push_back(-1);
    nextSibling.push_back(-1);
    nodeKeyList.push_back(key);
    lastNames.push_back(lastName);
    nodeCounts.push_back(0);
    counted.push_back(0);
    nodeKeys[node] = key;
    colours[node] = colour;
    return id;
}

int RuleOverviewWidget::laterFrom = 200000;

void RuleOverviewWidget::rebuildSoon()
{
    std::size_t glyphs = 0;
    if (source) {
        for (const BinCell* cell : source->cells.items) {
            if (!cell)
                continue;
            for (const TList<BinItem*>& row : cell->rows.items)
                glyphs += row.items.size();
        }
    }
    if (glyphs < std::size_t(std::max(laterFrom, 0))) {
        rebuild();
        return;
    }
    TList<QString> heads = ruleHeads();
    if (!laterTimer) {
        std::unique_ptr<QTimer> timer(new QTimer(this));
        timer->setSingleShot(true);
        // A little later than at once: what the window was sent during the
        // rebuild (input, a repaint) goes first.
        timer->setInterval(50);
        connect(timer.get(), &QTimer::timeout, this, &RuleOverviewWidget::rebuildLater);
        laterTimer = timer.release();
    }
    laterTimer->start();
    laterHeads = std::move(heads);
    laterMulti = showMulti;
}

bool RuleOverviewWidget::countPending() const
{
    return laterTimer && laterTimer->isActive();
}

void RuleOverviewWidget::settle()
{
    if (countPending())
        rebuildLater();
}

void RuleOverviewWidget::rebuildLater()
{
    if (laterTimer)
        laterTimer->stop();
    TList<QString> heads = std::move(laterHeads);
    laterHeads.clear();
    try {
        count(std::move(heads), laterMulti);
    } catch (const std::bad_alloc&) {
        // The count left the overview empty.
        try {
            update();
            MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Failed to count rule paths"),
                                 QStringLiteral("The rule overview ran out of memory while counting the glyph "
                                                "paths and shows none. It counts them again with the next "
                                                "change of the event matrix."),
                                 window());
        } catch (const std::bad_alloc&) {
            HandlerGuard::failed();
        }
    }
}

void RuleOverviewWidget::forgetCounts() noexcept
{
    clearItems();
    delete automaton;
    automaton = nullptr;
    built = false;
    keys.clear();
    counts.clear();
    colours.clear();
    nodeKeys.clear();
    order.clear();
    clearPaths();
    steps.clear();
    stepCount = 0;
    keyedNodes = 0;
    root = Node();
}

void RuleOverviewWidget::clearPaths() noexcept
{
    parents.clear();
    firstChild.clear();
    lastChild.clear();
    nextSibling.clear();
    nodeKeyList.clear();
    lastNames.clear();
    nodeCounts.clear();
    counted.clear();
}

TList<QString> RuleOverviewWidget::ruleHeads() const
{
    TList<QString> heads;
    GlyphStore* store = owner ? owner->glyphStore : nullptr;
    if (store) {
        for (const Rule& rule : store->rules.items) {
            // A rule whose precondition holds no glyph heads nothing.
            if (!rule.visible || !rule.pre || rule.pre->children.isEmpty())
                continue;
            const BinItem& glyph = rule.pre->children.first()->glyph;
            heads.append(glyph.mode == EMPTY ? QStringLiteral("empty") : glyph.name);
        }
    }
    heads.append(QString());
    return heads;
}

void RuleOverviewWidget::rebuild()
{
    TList<QString> heads = ruleHeads();
    // A count asked for later is this one.
    if (laterTimer)
        laterTimer->stop();
    laterHeads.clear();
    count(std::move(heads), showMulti);
}

void RuleOverviewWidget::count(TList<QString> heads, bool multi)
{
    try {
        countPaths(heads, multi);
    } catch (...) {
        // The tables are left half made: the overview goes empty instead.
        forgetCounts();
        throw;
    }
}

void RuleOverviewWidget::countPaths(TList<QString>& heads, bool multi)
{
    // counts, colours and nodeKeys are overwritten node by node and lose
    // the ids beyond the new nodes at the end.
    const int previousNodes = keyedNodes;
    keys.clear();
    delete automaton;
    automaton = nullptr;
    built = true;
    clearPaths();
    // Name ids stay from rebuild to rebuild (they only tell names apart);
    // a table grown large is emptied.
    if (nameIds.size() > 4096)
        nameIds.clear();
    parents.reserve(keyedNodes);
    firstChild.reserve(keyedNodes);
    lastChild.reserve(keyedNodes);
    nextSibling.reserve(keyedNodes);
    nodeKeyList.reserve(keyedNodes);
    lastNames.reserve(keyedNodes);
    nodeCounts.reserve(keyedNodes);
    counted.reserve(keyedNodes);
    root = Node(addNode(-1, QString(), QString(), ROOT_COLOUR));
    keys.insert(QString(), root);

    order = std::move(heads);

    // The node of the key that name makes under the node from: found by
    // that key, or added with an edge from `from`. The key of a node is
    // fixed, so the answer for (from, name) is kept for the next items.
    // Names are looked up by their text's address first: the items' names
    // share their text, and every name read here lives to the end of the
    // rebuild.
    struct NameSlot
    {
        const QChar* text;
        int length;
        int id;
    };
    NameSlot recentNames[64] = {};
    auto nameIdOf = [this, &recentNames](const QString& name) {
        NameSlot& slot = recentNames[(quintptr(name.constData()) >> 4) & 63];
        if (slot.text == name.constData() && slot.length == name.size() && slot.text)
            return slot.id;
        auto found = nameIds.constFind(name);
        if (found == nameIds.constEnd())
            found = nameIds.insert(name, nameIds.size());
        slot = {name.constData(), name.size(), found.value()};
        return found.value();
    };
    auto step = [this, &nameIdOf](int from, const QString& name, const QColor& colour) {
        const quint64 at = (quint64(quint32(from)) << 32) | quint32(nameIdOf(name));
        const Step& known = findStep(at);
        if (known.node >= 0)
            return known.node;
        const QString& fromKey = nodeKeyList[std::size_t(from)];
        const QString key = fromKey.isEmpty() ? name : QString(fromKey % QLatin1Char('.') % name);
        // One lookup finds the node of the key or makes its entry (a new
        // entry holds an invalid id until the node is added).
        Node& entry = keys[key];
        int node = entry.id;
        if (node < 0) {
            node = addNode(from, key, name.contains(QLatin1Char('.')) ? lastName(name) : name,
                           colour);
            entry = Node(node);
        }
        addStep(at, node);
        return node;
    };

    // The rows of every cell, in order; the root counts every item.
    const TList<BinCell*> cells = source ? source->cells : TList<BinCell*>();
    std::vector<const TList<BinItem*>*> rows;
    std::size_t itemCount = 0;
    for (BinCell* cell : cells.items) {
        if (!cell)
            continue;
        int cellItems = 0;
        for (const TList<BinItem*>& row : cell->rows.items) {
            rows.push_back(&row);
            cellItems += row.size();
        }
        itemCount += std::size_t(cellItems);
        nodeCounts[0] += cellItems;
        counted[0] = 1;
    }
    // As many nodes and steps as the last rebuild made: the tables rarely
    // grow on the way.
    const int expected = std::max(keyedNodes, 16);
    std::size_t tableSize = 64;
    while (tableSize < 2 * std::size_t(expected))
        tableSize *= 2;
    steps.assign(tableSize, Step{0, -1});
    stepCount = 0;
    keys.reserve(expected);

    // Many items are walked in parts of the rows, on several threads, each
    // part into a tree of its own; the trees are then added up in the order
    // of the parts, node by node in the order each part made them, which
    // makes the nodes in the order one walk over all items makes them.
    const int parts = BinCell::partsFor(itemCount, rows.size());
    std::vector<PathTree> trees(std::size_t(std::max(parts, 1)));
    ThreadBudget::runInParts(rows.size(), parts, [&](int k, std::size_t from, std::size_t to) {
        PathTree& tree = trees[std::size_t(k)];
        for (std::size_t r = from; r < to; ++r) {
            const std::vector<BinItem*>& items = rows[r]->items;
            const std::size_t itemTotal = items.size();
            for (std::size_t i = 0; i < itemTotal; ++i) {
                const BinItem* item = items[i];
                // The items lie apart in memory: the one a few places ahead
                // is fetched while this one is counted.
                if (i + 8 < itemTotal && items[i + 8]) {
                    const BinItem* ahead = items[i + 8];
                    prefetch(&ahead->name);
                    prefetch(&ahead->children);
                }
                // So is the glyph stacked last on one a little less far
                // ahead, whose list was fetched meanwhile.
                if (i + 4 < itemTotal && items[i + 4] && !items[i + 4]->children.items.empty())
                    prefetch(&items[i + 4]->children.items.back().name);
                if (item)
                    tree.addPath(*item, multi);
            }
        }
    });
    for (const PathTree& tree : trees) {
        std::vector<int> global(tree.nodeCount(), 0);
        for (std::size_t n = 1; n < tree.nodeCount(); ++n) {
            const int node = step(global[std::size_t(tree.parentOf(n))], tree.nameOf(n), tree.colourOf(n));
            global[n] = node;
            nodeCounts[std::size_t(node)] += tree.countOf(n);
            counted[std::size_t(node)] = counted[std::size_t(node)] || tree.countedIn(n) ? 1 : 0;
        }
    }

    // The root always has a count; another node only once an item has
    // counted in it.
    counted[0] = 1;
    const int nodes = int(parents.size());
    for (int id = 0; id < nodes; ++id) {
        if (counted[std::size_t(id)])
            counts[Node(id)] = nodeCounts[std::size_t(id)];
        else
            counts.remove(Node(id));
    }
    for (int id = nodes; id < previousNodes; ++id) {
        const Node gone(id);
        counts.remove(gone);
        colours.remove(gone);
        nodeKeys.remove(gone);
    }
    keyedNodes = nodes;

    layOutItems();
    update();
}

RuleOverviewWidget::Step& RuleOverviewWidget::findStep(quint64 key)
{
    const std::size_t mask = steps.size() - 1;
    std::size_t at = std::size_t((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
    while (steps[at].node >= 0 && steps[at].key != key)
        at = (at + 1) & mask;
    return steps[at];
}

void RuleOverviewWidget::addStep(quint64 key, int node)
{
    if (2 * std::size_t(stepCount + 1) > steps.size()) {
        std::vector<Step> old(2 * steps.size(), Step{0, -1});
        old.swap(steps);
        for (const Step& entry : old) {
            if (entry.node >= 0)
                findStep(entry.key) = entry;
        }
    }
    findStep(key) = {key, node};
    ++stepCount;
}

Automaton* RuleOverviewWidget::prefixAutomaton()
{
    if (automaton || !built)
        return automaton;
    automaton = new Automaton;
    for (std::size_t id = 0; id < parents.size(); ++id) {
        Node node;
        automaton->addState(node);
    }
    for (std::size_t id = 1; id < parents.size(); ++id)
        automaton->addEdge(Node(parents[id]), Node(qint32(id)), nullptr);
    return automaton;
}

void RuleOverviewWidget::relayout()
{
    // Called by the settings pane's resize: out of memory, the drawn nodes
    // stay as they were until the next relayout or count.
    HandlerGuard::run([this] { layOutItems(); });
}

void RuleOverviewWidget::layOutItems()
{
    if (!built) {
        clearItems();
        update();
        return;
    }
    // The new nodes are made before the drawn ones go: out of memory, the
    // overview keeps drawing what it drew.
    TList<BinItem*> laid;
    try {
        layOut(laid);
    } catch (...) {
        for (BinItem* item : laid.items)
            delete item;
        throw;
    }
    clearItems();
    items.items.swap(laid.items);
    update();
}

void RuleOverviewWidget::layOut(TList<BinItem*>& laid) const
{
    // The first place of every name in the order list.
    QHash<QString, int> places;
    for (int k = 0; k < order.size(); ++k) {
        if (!places.contains(order.items[std::size_t(k)]))
            places.insert(order.items[std::size_t(k)], k);
    }
    struct Pending
    {
        int node;
        int parent;
        double x;
        double y;
        double w;
    };
    std::vector<Pending> stack{{0, 0, double(margin), double(margin), double(width() - 2 * margin)}};
    std::vector<std::pair<int, int>> drawn;
    while (!stack.empty()) {
        const Pending at = stack.back();
        stack.pop_back();
        double w = at.w;
        const int parentCount = nodeCounts[std::size_t(at.parent)];
        if (at.node != at.parent && parentCount != 0)
            w = w * nodeCounts[std::size_t(at.node)] / parentCount;
        std::unique_ptr<BinItem> made(new BinItem(nullptr, const_cast<RuleOverviewWidget*>(this)));
        laid.items.push_back(made.get());
        BinItem* item = made.release();
        item->setX(at.x);
        item->setY(at.y);
        item->setHeight(levelHeight);
        item->setWidth(std::max(w, 1.0));
        item->name = nodeKeyList[std::size_t(at.node)];
        item->fillColor = colours.value(Node(at.node));

        // The successors in the order of their names' first places in the
        // order list, each once; the others are not drawn.
        drawn.clear();
        for (int child = firstChild[std::size_t(at.node)]; child >= 0;
             child = nextSibling[std::size_t(child)]) {
            auto place = places.constFind(lastNames[std::size_t(child)]);
            if (place != places.constEnd())
                drawn.emplace_back(place.value(), child);
        }
        std::stable_sort(drawn.begin(), drawn.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        const std::size_t firstPending = stack.size();
        double childX = at.x;
        const int count = nodeCounts[std::size_t(at.node)];
        for (const auto& entry : drawn) {
            stack.push_back({entry.second, at.node, childX, at.y + levelHeight, w});
            double childW = w;
            if (count != 0)
                childW = childW * nodeCounts[std::size_t(entry.second)] / count;
            childX += std::max(childW, 1.0);
        }
        std::reverse(stack.begin() + std::ptrdiff_t(firstPending), stack.end());
    }
}

void RuleOverviewWidget::mouseMoveEvent(QMouseEvent* event)
{
    HandlerGuard::run([&] {
        const int mx = int(event->localPos().x());
        const int my = int(event->localPos().y());
        QString tip;
        const int total = counts.value(root, 0);
        for (BinItem* item : items.items) {
            item->highlighted = false;
            item->auxValue = 0;
        }
        for (BinItem* item : items.items) {
            if (!item->contains(mx, my))
                continue;
            item->highlighted = true;
            item->auxValue = 1;
            const double share = total != 0 ? double(counts.value(keys.value(item->name), 0)) / total : 0.0;
            tip = QStringLiteral("Event: ") + (item->name.isEmpty() ? QStringLiteral("*") : item->name)
                  + QStringLiteral(" (") + QString::number(roundTo(share, 3) * 100, 'g', 6) + QStringLiteral("%)");
        }
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(event->globalPos(), tip, this);
        update();
    });
}

void RuleOverviewWidget::paintEvent(QPaintEvent*)
{
    HandlerGuard::paint(this, [&] {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.fillRect(rect(), Qt::white);
        QPen pen;
        QBrush brush;
        for (BinItem* item : items.items)
            item->paint(&painter, pen, brush);
    });
}
