#include "model/GlyphStore.h"

#include "core/Constants.h"
#include "model/Context.h"
#include "core/OnExit.h"
#include "core/Packet.h"
#include "items/EmptyItem.h"
#include "patterns/ParseNode.h"

#include <QColor>
#include <QDebug>

#include <algorithm>
#include <cmath>

int nextGlyphId = 1;

namespace {

// The look of a glyph for the store's list: the glyph store never frees a
// condition, and the rule keeps (and frees) the one of its rewrite glyph.
BinItem withoutConditions(const BinItem& glyph)
{
    BinItem copy(glyph);
    copy.condition = nullptr;
    copy.packets.clear();
    for (BinItem& child : copy.children)
        child = withoutConditions(child);
    return copy;
}

// Deletes a context with all its descendants and their snapshots, leaves
// first, so that no context outlives the one it points to as parent.
void deleteTree(Context* context)
{
    // Each child leaves the list as it goes, so the list is not copied: a
    // store is deleted also where no memory is left.
    while (!context->children.isEmpty())
        deleteTree(context->children.first());
    context->clearHistory();
    delete context;
}

// The keys of a histogram in ascending order. Ordered histograms already
// are; a hashed one is sorted here so the range algorithms always see their
// first and last key as the smallest and the largest.
TList<TVariant> ascendingKeys(const THash<TVariant, int>& hist)
{
    TList<TVariant> keys = hist.keys();
    if (!hist.isOrdered())
        std::sort(keys.items.begin(), keys.items.end());
    return keys;
}

// All of the list for n = -1, else its first trunc(n) entries; any other
// negative count (or NaN) gives nothing.
TList<TVariant> leading(const TList<TVariant>& list, double n)
{
    if (n == -1.0)
        return list;
    if (!(n >= 0))
        return TList<TVariant>();
    return list.mid(0, n >= list.size() ? list.size() : int(n));
}

BinItem defaultGlyph(const QString& name, const QColor& fill, const QColor& edge,
                     const QString& label, int edgeWidth, int id, int mode)
{
    BinItem glyph(nullptr, nullptr);
    glyph.name = name;
    glyph.fillColor = fill;
    glyph.edgeColor = edge;
    glyph.label = label;
    glyph.edgeWidth = edgeWidth;
    glyph.shape = SQUARE;
    glyph.sizeFactor = 1.0;
    glyph.id = id;
    glyph.mode = mode;
    return glyph;
}

} // namespace

GlyphStore::GlyphStore()
    : noneGlyph(nullptr, nullptr)
{
    addDefaultGlyphs();
}

GlyphStore::~GlyphStore()
{
    if (rootContext)
        deleteTree(rootContext);
    rootContext = nullptr;
}

void GlyphStore::addDefaultGlyphs()
{
    glyphs.clear();
    colorGlyphs.clear();

    const QColor wildFill(200, 200, 200);
    const QColor black(Qt::black);
    glyphs.append(defaultGlyph(QStringLiteral("WildCard"), wildFill, wildFill, QStringLiteral("."), 1, 1, NORMAL));
    glyphs.append(defaultGlyph(QStringLiteral("DeleteItem"), DEFAULT_FILL_COLOR, black, QString(), 0, 0, DELETE));
    glyphs.append(defaultGlyph(QStringLiteral("Gray"), QColor(240, 240, 240), wildFill, QString(), 1, 2, NORMAL));

    // The coloured glyphs take the wild card's fill, unchanged, as their edge.
    const QColor edge = wildFill.lighter(100);
    colorGlyphs.append(defaultGlyph(QStringLiteral("Blue"), QColor(0, 128, 255), edge, QString(), 1, 3, NORMAL));

    noneGlyph = BinItem(nullptr, nullptr);
    noneGlyph.mode = NONE;
    noneGlyph.name = QStringLiteral("None");

    colorGlyphs.append(defaultGlyph(QStringLiteral("Purple"), QColor(200, 80, 255), edge, QString(), 1, 4, NORMAL));
    colorGlyphs.append(defaultGlyph(QStringLiteral("Green"), QColor(0, 200, 0), edge, QString(), 1, 5, NORMAL));
    colorGlyphs.append(defaultGlyph(QStringLiteral("Yellow"), QColor(255, 255, 100), edge, QString(), 1, 6, NORMAL));
    colorGlyphs.append(defaultGlyph(QStringLiteral("Red"), QColor(255, 100, 100), edge, QString(), 1, 7, NORMAL));

    nextGlyphId = 8;
}

void GlyphStore::addGlyph(BinItem& glyph)
{
    glyph.id = nextGlyphId++;
    glyphs.append(glyph);
}

BinItem GlyphStore::findGlyph(const QString& name) const
{
    for (const BinItem& g : glyphs.items) {
        if (g.name == name)
            return g;
    }
    for (const BinItem& g : colorGlyphs.items) {
        if (g.name == name)
            return g;
    }
    if (name == noneGlyph.name)
        return noneGlyph;
    return EmptyItem(false, nullptr);
}

void GlyphStore::adoptRewriteGlyphs(TList<Rule>& rules)
{
    for (Rule& rule : rules) {
        if (!rule.post || !rule.post->hasChildren())
            continue;
        BinItem& glyph = rule.post->children.first()->glyph;
        if (glyph.mode == DELETE || glyph.name.isEmpty())
            continue;
        if (!hasGlyph(glyph)) {
            BinItem added = withoutConditions(glyph);
            addGlyph(added);
            glyph.id = added.id;
        } else {
            glyph.id = findGlyph(glyph.name).id;
        }
    }
}

bool GlyphStore::hasGlyph(const BinItem& glyph) const
{
    for (const BinItem& g : glyphs.items) {
        if (g.name == glyph.name)
            return true;
    }
    for (const BinItem& g : colorGlyphs.items) {
        if (g.name == glyph.name)
            return true;
    }
    return false;
}

void GlyphStore::setGlyph(const BinItem& glyph)
{
    for (BinItem& g : glyphs.items) {
        if (g.name == glyph.name) {
            g = glyph;
            return;
        }
    }
    for (BinItem& g : colorGlyphs.items) {
        if (g.name == glyph.name) {
            g = glyph;
            return;
        }
    }
}

Rule GlyphStore::findRule(const QString& name) const
{
    for (const Rule& r : rules.items) {
        if (r.name == name)
            return r;
    }
    return Rule(QString(), nullptr, nullptr, false, false);
}

void GlyphStore::filterContext(Context* context, const TList<QSharedPointer<Packet>>& events)
{
    if (context)
        context->removePackets(events);
}

// ---------------------------------------------------------------------------
// Attribute tables

void GlyphStore::setAttributes(const TList<QString>& names, const TList<int>& kinds)
{
    for (int i = 0; i < names.size(); ++i) {
        attributeColumns[names.at(i)] = i;
        packetAttributeNames.append(names.at(i));
    }
    if (kinds.size() > names.size())
        qDebug() << "setAttributes: more kinds than names";
    const int n = std::min(kinds.size(), names.size());
    for (int i = 0; i < n; ++i) {
        const QString& name = names.at(i);
        switch (kinds.at(i)) {
        case 0: numericAttributes.insert(name); break;
        case 1: rangeAttributes.insert(name); break;
        case 2: extraRangeAttributes.insert(name); break;
        case 4: keyAttributes.insert(name); break;
        default: break;
        }
    }
}

void GlyphStore::resetConversationAttributes()
{
    conversationAttributeNames.clear();
    conversationAttributeColumns.clear();
    const QString all[] = {
        CONV_CONVID, CONV_LENGTH, CONV_FROM_EPOCH, CONV_TO_EPOCH, CONV_DURATION,
        CONV_SRC_COUNTRY, CONV_DST_COUNTRY, CONV_SRC, CONV_DST,
        CONV_FROM_SECOND, CONV_FROM_MINUTE, CONV_FROM_HOUR, CONV_FROM_DAY, CONV_FROM_WEEK,
        CONV_FROM_MONTH, CONV_FROM_YEAR, CONV_FROM_STRDAY, CONV_FROM_STRMONTH,
        CONV_TO_SECOND, CONV_TO_MINUTE, CONV_TO_HOUR, CONV_TO_DAY, CONV_TO_WEEK,
        CONV_TO_MONTH, CONV_TO_YEAR, CONV_TO_STRDAY, CONV_TO_STRMONTH,
    };
    for (const QString& n : all)
        conversationAttributeNames.append(n);
    keyAttributes.insert(CONV_CONVID);
    const QString ranges[] = {
        CONV_LENGTH, CONV_FROM_SECOND, CONV_FROM_MINUTE, CONV_FROM_HOUR, CONV_FROM_DAY,
        CONV_FROM_WEEK, CONV_FROM_MONTH, CONV_FROM_YEAR, CONV_DURATION,
        CONV_TO_SECOND, CONV_TO_MINUTE, CONV_TO_HOUR, CONV_TO_DAY, CONV_TO_WEEK,
        CONV_TO_MONTH, CONV_TO_YEAR,
    };
    for (const QString& n : ranges)
        rangeAttributes.insert(n);
    for (int i = 0; i < conversationAttributeNames.size(); ++i)
        conversationAttributeColumns[conversationAttributeNames.at(i)] = i;
}

TList<QString> GlyphStore::attributeNames(bool conversationSide) const
{
    return conversationSide ? conversationAttributeNames : packetAttributeNames;
}

THash<QString, int> GlyphStore::attributeMap(bool conversationSide) const
{
    return conversationSide ? conversationAttributeColumns : attributeColumns;
}

bool GlyphStore::hasAttribute(const QString& name) const
{
    return conversationAttributeColumns.contains(name);
}

bool GlyphStore::isRangeAttribute(const QString& name) const
{
    if (name == CONV_LENGTH)
        return false;
    return rangeAttributes.contains(name) || extraRangeAttributes.contains(name);
}

bool GlyphStore::isNumericAttribute(const QString& name) const
{
    return numericAttributes.contains(name);
}

bool GlyphStore::isKeyAttribute(const QString& name) const
{
    return keyAttributes.contains(name);
}

bool GlyphStore::isOrderedAttribute(const QString& name) const
{
    return rangeAttributes.contains(name) || extraRangeAttributes.contains(name);
}

// ---------------------------------------------------------------------------
// Queries on a context

bool GlyphStore::lookupHistogram(const QString& name, Context* context,
                                 const THash<TVariant, int>** hist) const
{
    *hist = nullptr;
    const int packetCol = attributeColumns.value(name, -1);
    const int convCol = conversationAttributeColumns.value(name, -1);
    const TList<THash<TVariant, int>>* side = nullptr;
    int col = -1;
    if (packetCol != -1) {
        col = packetCol;
        side = context ? &context->histograms : nullptr;
    } else if (convCol != -1) {
        col = convCol;
        side = context ? &context->conversationHistograms : nullptr;
    } else {
        return false;
    }
    // A context that is not (fully) computed has no slot yet: no values.
    if (side && col >= 0 && col < side->size())
        *hist = &side->items[std::size_t(col)];
    return true;
}

bool GlyphStore::hasValues(const QString& name, Context* context) const
{
    const THash<TVariant, int>* hist;
    if (!lookupHistogram(name, context, &hist))
        return false;
    return hist && !hist->isEmpty();
}

int GlyphStore::valueTotal(Context* context, const QString& name) const
{
    const THash<TVariant, int>* hist;
    if (!lookupHistogram(name, context, &hist) || !hist)
        return 0;
    int total = 0;
    for (auto it = hist->constBegin(); it != hist->constEnd(); ++it)
        total += it.value();
    return total;
}

THash<TVariant, int> GlyphStore::histogram(const QString& name, Context* context, int n) const
{
    const THash<TVariant, int>* hist;
    if (!lookupHistogram(name, context, &hist) || !hist)
        return THash<TVariant, int>();
    if (n < 1 || !isRangeAttribute(name))
        return *hist;

    const TList<TVariant> keys = ascendingKeys(*hist);
    THash<TVariant, int> result;
    if (keys.isEmpty())
        return result;
    const double min = keys.at(0).toDouble();
    const double max = keys.at(keys.size() - 1).toDouble();
    const double span = std::max(max - min, 1.0);
    // A fractional step: truncating it would put every bin key of a range
    // narrower than n on the minimum.
    const double step = span / n;
    for (auto it = hist->constBegin(); it != hist->constEnd(); ++it) {
        const double index = std::trunc((it.key().toDouble() - min) / span * (n - 1));
        const int j = std::isfinite(index) ? int(std::max(0.0, std::min(index, double(n - 1)))) : 0;
        result[TVariant(min + j * step)] += it.value();
    }
    return result;
}

TList<TVariant> GlyphStore::bins(const QString& name, Context* context, int n) const
{
    const THash<TVariant, int>* hist;
    if (!lookupHistogram(name, context, &hist) || !hist)
        return TList<TVariant>();
    if (n < 1 || !isRangeAttribute(name)) {
        if (n < -1)
            return TList<TVariant>();
        const TList<TVariant> keys = hist->keys();
        return n == -1 ? keys : keys.mid(0, n);
    }
    const TList<TVariant> keys = ascendingKeys(*hist);
    TList<TVariant> result;
    if (keys.isEmpty())
        return result;
    const double first = keys.at(0).toDouble();
    const double last = keys.at(keys.size() - 1).toDouble();
    const double width = (last - first) / n;
    result.items.reserve(std::size_t(n));
    for (int k = 0; k < n; ++k)
        result.append(TVariant(first + k * width, first + (k + 1) * width));
    return result;
}

TList<TVariant> GlyphStore::rankedValues(const QString& name, double n, Context* context) const
{
    const THash<TVariant, int>* hist;
    if (!lookupHistogram(name, context, &hist) || !hist)
        return TList<TVariant>();

    THash<TVariant, int> counts;
    if (n <= 0 || !isRangeAttribute(name) || name == CONV_LENGTH) {
        counts = *hist;
    } else {
        const TList<TVariant> keys = ascendingKeys(*hist);
        if (!keys.isEmpty()) {
            const double first = keys.at(0).toDouble();
            const double last = keys.at(keys.size() - 1).toDouble();
            const double span = last - first;
            if (span == 0) {
                counts[TVariant(0)] = keys.size();
            } else {
                // Bins i = 1 .. ceil(n): (first + (i - 1) * width, first + i * width).
                const double width = span / n;
                const double binCount = std::ceil(n);
                // A range bin counts the distinct values in it, not their events.
                for (const TVariant& v : keys.items) {
                    double index = std::ceil((v.toDouble() - first) / span * (n - 1));
                    if (!std::isfinite(index))
                        continue;
                    index = std::max(0.0, std::min(index, binCount - 1));
                    ++counts[TVariant(first + index * width, first + (index + 1) * width)];
                }
            }
        }
    }
    TList<TVariant> ranked = counts.keysSortedByValue();
    ranked.reverse();
    return ranked;
}

TList<TVariant> GlyphStore::firstValues(const QString& name, double n, Context* context) const
{
    const TList<TVariant> ranked = rankedValues(name, n, context);
    return leading(ranked, n);
}

TList<TVariant> GlyphStore::lastValues(const QString& name, double n, Context* context) const
{
    TList<TVariant> ranked = rankedValues(name, n, context);
    ranked.reverse();
    return leading(ranked, n);
}

double GlyphStore::maxValue(const QString& name, Context* context) const
{
    const THash<TVariant, int>* hist;
    if (!lookupHistogram(name, context, &hist))
        return -1.0;
    if (!hist || hist->isEmpty())
        return 0.0;
    const TList<TVariant> keys = ascendingKeys(*hist);
    return keys.at(keys.size() - 1).toDouble();
}

double GlyphStore::minValue(const QString& name, Context* context) const
{
    const THash<TVariant, int>* hist;
    if (!lookupHistogram(name, context, &hist))
        return -1.0;
    if (!hist || hist->isEmpty())
        return 0.0;
    if (hist->isOrdered())
        return hist->constBegin().key().toDouble();
    return ascendingKeys(*hist).at(0).toDouble();
}

// ---------------------------------------------------------------------------
// Events

namespace {

// Room for one more element, grown by halves as an append would: an
// append then cannot run out of memory.
template <typename T>
void roomForOne(std::vector<T>& list)
{
    if (list.size() == list.capacity())
        list.reserve(std::max<std::size_t>(4, list.size() * 2));
}

} // namespace

void GlyphStore::addAttribute(const TList<TVariant>& values, const QString& name, bool range, bool key)
{
    const int events = rootContext ? rootContext->packets.size() : 0;
    if (values.size() < events) {
        // Extending only some events would misalign this column for good.
        qDebug() << "addAttribute: fewer values than events for" << name;
        return;
    }
    // Whatever can run out of memory comes first, with its undo at hand:
    // out of memory, the events, the tables and the contexts are as they
    // were, and nothing is added.
    const std::vector<QSharedPointer<Packet>>* rows = rootContext ? &rootContext->packets.items : nullptr;
    for (int i = 0; i < events; ++i) {
        Packet* p = (*rows)[std::size_t(i)].data();
        if (!p->extra)
            p->extra = new TList<TVariant>();
        roomForOne(p->extra->items);
    }
    for (int i = 0; i < events; ++i)
        (*rows)[std::size_t(i)]->extra->items.push_back(values.at(i));
    OnExit takeValuesBack([rows, events]() {
        for (int i = 0; i < events; ++i)
            (*rows)[std::size_t(i)]->extra->items.pop_back();
    });

    // The new column counted over the events of every context of the tree
    // (from the root, depth first) and of each one's snapshots, which a
    // revert brings back.
    const int c = packetAttributeNames.size();
    const bool ordered = range || isOrderedAttribute(name);
    std::vector<Context*> counted;
    std::vector<THash<TVariant, int>> counts;
    if (rootContext) {
        TList<Context*> stack;
        stack.append(rootContext);
        while (!stack.isEmpty()) {
            Context* context = stack.last();
            stack.items.pop_back();
            counted.push_back(context);
            for (Context* snapshot : context->history.items)
                counted.push_back(snapshot);
            for (Context* child : context->children.items)
                stack.append(child);
        }
    }
    counts.reserve(counted.size());
    for (Context* context : counted) {
        THash<TVariant, int> hist(ordered);
        for (const QSharedPointer<Packet>& p : context->packets.items) {
            const TVariant& v = p->get(c);
            if (v.isValid())
                ++hist[v];
        }
        counts.push_back(std::move(hist));
        roomForOne(context->histograms.items);
    }
    roomForOne(packetAttributeNames.items);

    const bool newColumn = !attributeColumns.contains(name);
    if (newColumn)
        attributeColumns.insert(name, c);
    OnExit takeColumnBack([this, newColumn, &name]() {
        if (newColumn)
            attributeColumns.remove(name);
    });
    const bool newRange = range && !rangeAttributes.contains(name);
    if (newRange)
        rangeAttributes.insert(name);
    OnExit takeRangeBack([this, newRange, &name]() {
        if (newRange)
            rangeAttributes.remove(name);
    });
    if (key)
        keyAttributes.insert(name);

    // Nothing below allocates.
    takeRangeBack.dismiss();
    takeColumnBack.dismiss();
    takeValuesBack.dismiss();
    packetAttributeNames.items.push_back(name);
    for (std::size_t k = 0; k < counted.size(); ++k) {
        // One slot more; the count goes to the column's own slot.
        std::vector<THash<TVariant, int>>& hists = counted[k]->histograms.items;
        hists.emplace_back();
        if (std::size_t(c) < hists.size())
            hists[std::size_t(c)] = std::move(counts[k]);
    }
}

TList<QString> GlyphStore::collectDistinctValues(const TList<QSharedPointer<Packet>>& events,
                                                 const TList<QString>& names) const
{
    TList<QString> result;
    for (int i = 0; i < names.size(); ++i) {
        const QString& name = names.at(i);
        if (name == TIME_ATTRIBUTE || name == SMB2_CSEQ_FILENAME || name == SMB2_FILENAME
            || name == SMB2_FILE)
            continue;
        int valid = 0;
        QSet<TVariant> distinct;
        for (const QSharedPointer<Packet>& p : events.items) {
            const TVariant& v = p->get(i);
            if (!v.isValid())
                continue;
            ++valid;
            distinct.insert(v);
        }
        if (valid > 100 && distinct.size() >= 0.75 * valid)
            result.append(name);
    }
    return result;
}

bool GlyphStore::checkPacketColumns(const QSharedPointer<Packet>& event, Context* context,
                                    const TList<int>& columns, bool conversationSide) const
{
    if (!event || !context)
        return true;
    const THash<int, QSet<TVariant>>& sets =
        conversationSide ? context->conversationValueSets : context->valueSets;
    const TList<QString>& names = conversationSide ? conversationAttributeNames : packetAttributeNames;
    for (int c : columns.items) {
        const TVariant& value = event->get(c);
        auto entry = sets.constFind(c);
        if (entry == sets.constEnd() || entry.value().isEmpty() || !value.isValid())
            continue;
        const QSet<TVariant>& set = entry.value();
        if (c >= 0 && c < names.size() && isRangeAttribute(names.at(c))) {
            const double x = value.toDouble();
            for (const TVariant& range : set) {
                if (!range.isPair())
                    continue;
                const QPair<double, double> bounds = range.toPair();
                if (x < bounds.first || x > bounds.second)
                    return false;
            }
        }
        if (set.contains(value))
            return false;
    }
    return true;
}
