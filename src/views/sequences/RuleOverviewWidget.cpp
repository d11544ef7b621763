#include "views/sequences/RuleOverviewWidget.h"

#include "app/ControlWidget.h"
#include "core/TVariant.h"
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
#include <QToolTip>

#include <algorithm>
#include <vector>

namespace {

const QColor ROOT_COLOUR(177, 189, 197);

QString lastName(const QString& key)
{
    const int dot = key.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? key : key.mid(dot + 1);
}

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

void RuleOverviewWidget::rebuild()
{
    counts.clear();
    colours.clear();
    keys.clear();
    nodeKeys.clear();
    delete automaton;
    automaton = new Automaton;
    root = Node();
    automaton->addState(root);
    keys.insert(QString(), root);
    nodeKeys.insert(root, QString());
    colours.insert(root, ROOT_COLOUR);
    counts.insert(root, 0);

    order.clear();
    GlyphStore* store = owner ? owner->glyphStore : nullptr;
    if (store) {
        for (const Rule& rule : store->rules.items) {
            // A rule whose precondition holds no glyph heads nothing.
            if (!rule.visible || !rule.pre || rule.pre->children.isEmpty())
                continue;
            const BinItem& glyph = rule.pre->children.first()->glyph;
            order.append(glyph.mode == EMPTY ? QStringLiteral("empty") : glyph.name);
        }
    }
    order.append(QString());

    // Finds or adds the node of key under the previous node.
    auto step = [this](const Node& from, const QString& key, const QColor& colour) {
        auto found = keys.constFind(key);
        if (found != keys.constEnd())
            return found.value();
        Node node;
        automaton->addState(node);
        automaton->addEdge(from, node, nullptr);
        keys.insert(key, node);
        nodeKeys.insert(node, key);
        colours.insert(node, colour);
        return node;
    };

    const TList<BinCell*> cells = source ? source->cells : TList<BinCell*>();
    for (BinCell* cell : cells.items) {
        if (!cell)
            continue;
        const TList<BinItem*> cellItems = cell->items();
        counts[root] += cellItems.size();
        for (const BinItem* item : cellItems.items) {
            if (!item)
                continue;
            if (item->children.isEmpty()) {
                const Node node = step(root, item->name, item->fillColor);
                counts[node] += 1;
                continue;
            }
            // The stacked glyphs deepest first, the item itself last.
            std::vector<const BinItem*> path;
            for (int k = item->children.size() - 1; k >= 0; --k)
                path.push_back(&item->children.items[std::size_t(k)]);
            path.push_back(item);
            QString key;
            Node current = root;
            for (std::size_t k = 0; k < path.size(); ++k) {
                const BinItem* element = path[k];
                key = key.isEmpty() ? element->name : key + QLatin1Char('.') + element->name;
                current = step(current, key, element->fillColor);
                if (showMulti || k + 1 == path.size())
                    counts[current] += 1;
            }
        }
    }

    relayout();
    update();
}

void RuleOverviewWidget::relayout()
{
    clearItems();
    if (!automaton) {
        update();
        return;
    }
    struct Pending
    {
        Node node;
        Node parent;
        double x;
        double y;
        double w;
    };
    std::vector<Pending> stack{{root, root, double(margin), double(margin),
                                double(width() - 2 * margin)}};
    while (!stack.empty()) {
        const Pending at = stack.back();
        stack.pop_back();
        double w = at.w;
        const int parentCount = counts.value(at.parent, 0);
        if (!(at.node == at.parent) && parentCount != 0)
            w = w * counts.value(at.node, 0) / parentCount;
        auto* item = new BinItem(nullptr, this);
        item->setX(at.x);
        item->setY(at.y);
        item->setHeight(levelHeight);
        item->setWidth(std::max(w, 1.0));
        item->name = nodeKeys.value(at.node);
        item->fillColor = colours.value(at.node);
        items.append(item);

        // The successors in the order of their names' first places in the
        // order list, each once; the others are not drawn.
        const QList<Edge*> edges = automaton->outEdges(at.node);
        std::vector<std::pair<int, Node>> drawn;
        for (const Edge* edge : edges) {
            const int place = order.items.empty()
                                  ? -1
                                  : int(std::find(order.items.begin(), order.items.end(),
                                                  lastName(nodeKeys.value(edge->to)))
                                        - order.items.begin());
            if (place >= 0 && place < order.size())
                drawn.emplace_back(place, edge->to);
        }
        std::stable_sort(drawn.begin(), drawn.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<Pending> next;
        double childX = at.x;
        const int count = counts.value(at.node, 0);
        for (const auto& entry : drawn) {
            next.push_back({entry.second, at.node, childX, at.y + levelHeight, w});
            double childW = w;
            if (count != 0)
                childW = childW * counts.value(entry.second, 0) / count;
            childX += std::max(childW, 1.0);
        }
        for (auto it = next.rbegin(); it != next.rend(); ++it)
            stack.push_back(*it);
    }
    update();
}

void RuleOverviewWidget::mouseMoveEvent(QMouseEvent* event)
{
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
        const double share = total != 0 ? double(counts.value(keys.value(item->name), 0)) / total
                                        : 0.0;
        tip = QStringLiteral("Event: ")
              + (item->name.isEmpty() ? QStringLiteral("*") : item->name) + QStringLiteral(" (")
              + QString::number(roundTo(share, 3) * 100, 'g', 6) + QStringLiteral("%)");
    }
    if (tip.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(event->globalPos(), tip, this);
    update();
}

void RuleOverviewWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillRect(rect(), Qt::white);
    QPen pen;
    QBrush brush;
    for (BinItem* item : items.items)
        item->paint(&painter, pen, brush);
}
