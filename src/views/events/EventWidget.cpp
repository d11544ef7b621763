#include "views/events/EventWidget.h"

#include "events/ContextEvent.h"
#include "app/ControlWidget.h"
#include "events/EventType.h"
#include "events/FocusEvent.h"
#include "core/Packet.h"
#include "items/BinItem.h"
#include "views/events/LinkageMatrix.h"

#include <QCoreApplication>
#include <QDebug>
#include <QHash>
#include <QPainter>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <vector>

EventWidget::EventWidget(ControlWidget* control, OptionsWidget* options, int side, QWidget* parent)
    : ImgWidget(control, parent)
    , control(control)
    , side(side)
    , options(options)
{
    background = QColor(255, 255, 255, 255);
}

EventWidget::~EventWidget() = default;

bool EventWidget::isActive() const
{
    return active;
}

void EventWidget::setActive(bool on, bool reload)
{
    active = on;
    setVisible(on);
    if (on && reload)
        setSize(-1, -1);
}

void EventWidget::setContext(Context* c)
{
    context = c;
    render(false, true, nullptr);
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

TList<QSharedPointer<Packet>> EventWidget::selectedPackets() const
{
    return {};
}

// Incomplete: built with the matrix interaction.
void EventWidget::setPickerMode()
{
}

// Incomplete: built with the matrix interaction.
void EventWidget::exitPickerMode(BinItem)
{
}

void EventWidget::reset()
{
    ImgWidget::reset();
}

bool EventWidget::renderOverlay()
{
    RenderGuard guard(this);
    if (!guard)
        return false;
    overlay.fill(Qt::transparent);
    guard.release();
    update();
    return true;
}

bool EventWidget::render(bool overlayToo, bool updateToo, QImage* target)
{
    QImage* img = target ? target : &image;
    RenderGuard guard(this, img, overlayToo, updateToo);
    if (!guard)
        return false;
    img->fill(background);
    {
        QPainter painter(img);
        painter.drawText(img->rect(), Qt::AlignCenter, QStringLiteral("EventWidget"));
    }
    guard.release();
    if (overlayToo)
        renderOverlay();
    if (updateToo)
        update();
    return true;
}

void EventWidget::setSize(int w, int h)
{
    ImgWidget::setSize(w, h);
    render(false, true, nullptr);
}

QSize EventWidget::sizeHint() const
{
    return QSize(1500, 800);
}

void EventWidget::copyTo()
{
}

void EventWidget::copyFrom()
{
}

bool EventWidget::event(QEvent* e)
{
    if (!active || !e)
        return ImgWidget::event(e);
    switch (int(e->type())) {
    case CONTEXTEVENT: {
        auto* ce = static_cast<ContextEvent*>(e);
        if (!ce->contexts.isEmpty())
            setContext(ce->contexts.last());
        e->accept();
        return true;
    }
    case FOCUSEVENT:
        setFocused(false, false);
        e->accept();
        return ImgWidget::event(e);
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

    // 1 - |A & B| / |B|, the mismatch of an item with set a against one
    // with set b; computed as sequenceDistance does.
    double mismatch(int a, int b) const
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

private:
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

GNode<int>* EventWidget::hierarchicalClustering(QString metric,
                                                const IList<TList<BinItem*>>& sequences,
                                                QList<int> ids)
{
    const int n = ids.size();
    if (n == 0)
        return nullptr;

    // The leaves are the ids in ascending order; a repeated id stands for
    // the last sequence that carries it.
    QHash<int, int> positionOf;
    for (int p = 0; p < n; ++p)
        positionOf.insert(ids.at(p), p);
    QList<int> sorted = ids;
    std::sort(sorted.begin(), sorted.end());

    TList<double> table;
    table.items.assign(std::size_t(n) * std::size_t(n), 0.0);
    if (metric == QLatin1String("Eucledian")) {
        InternedSequences interned(showMulti);
        std::vector<std::vector<int>> leaves;
        leaves.reserve(std::size_t(n));
        static const TList<BinItem*> empty;
        for (int id : sorted) {
            const int p = positionOf.value(id);
            leaves.push_back(interned.intern(p < sequences.size() ? sequences.at(p) : empty));
        }
        double* d = table.items.data();
        const std::size_t w = std::size_t(n);
        for (int i = 0; i < n; ++i) {
            for (int j = i; j < n; ++j) {
                const double v = internedDistance(leaves[std::size_t(i)], leaves[std::size_t(j)],
                                                  interned);
                d[std::size_t(i) * w + std::size_t(j)] = v;
                d[std::size_t(j) * w + std::size_t(i)] = v;
            }
            distancesComputed.fetch_add(quint64(n - i), std::memory_order_relaxed);
            if (i % 500 == 0)
                qDebug() << i << "distance " << n;
        }
    }

    LinkageMatrix matrix(sorted, std::move(table));
    qDebug() << "merging";
    while (matrix.size() > 1) {
        int a = 0;
        for (int k = 1; k < matrix.size(); ++k)
            if (matrix.nearestDistance[k] < matrix.nearestDistance[a])
                a = k;
        int b = matrix.nearestIndex[a];
        if (b < 0 || b == a)
            b = a == 0 ? 1 : 0;  // no finite distance known: take the first other
        matrix.merge(a, b);
    }
    return matrix.nodes[0];
}
