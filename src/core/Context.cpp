#include "core/Context.h"

#include "core/Constants.h"
#include "core/GlyphStore.h"
#include "core/Packet.h"

#include <QDateTime>
#include <QDebug>
#include <QLocale>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace {

using PacketList = TList<QSharedPointer<Packet>>;

// A time value as whole units in 64 bits: truncated toward zero, saturated
// at the int64 range, NaN as 0. Times may be millisecond epochs or junk
// such as 1e20, so no plain conversion is safe here.
qint64 saturatedInt64(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 9223372036854775807.0)
        return std::numeric_limits<qint64>::max();
    if (v <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return qint64(v);
}

int saturatedInt32(qint64 v)
{
    if (v > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (v < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return int(v);
}

// last - first in 64 bits without overflow, then brought into the int
// range; a trace lasts at least 1.
int traceDuration(qint64 first, qint64 last)
{
    qint64 d;
    if (__builtin_sub_overflow(last, first, &d))
        d = last > first ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    const int duration = saturatedInt32(d);
    return duration < 1 ? 1 : duration;
}

// Appends the nine date parts (second .. year, day name, month name) of a
// time value: local time of its seconds as an unsigned 32-bit count after
// the epoch. Names come from the C locale so that a record reads the same
// on every system.
void appendDateParts(TList<TVariant>& row, const TVariant& time, THash<QString, TVariant>* pool)
{
    const quint32 secs = quint32(saturatedInt32(saturatedInt64(time.toDouble())));
    const QDateTime dt = QDateTime::fromSecsSinceEpoch(qint64(secs), Qt::LocalTime);
    if (!dt.isValid()) {
        for (int i = 0; i < 7; ++i)
            row.append(TVariant(0, pool));
        row.append(TVariant(QStringLiteral("Monday"), true, nullptr));
        row.append(TVariant(QStringLiteral("January"), true, nullptr));
        return;
    }
    const QDate date = dt.date();
    const QTime clock = dt.time();
    row.append(TVariant(clock.second(), pool));
    row.append(TVariant(clock.minute(), pool));
    row.append(TVariant(clock.hour(), pool));
    row.append(TVariant(date.day(), pool));
    row.append(TVariant(date.weekNumber(), pool));
    row.append(TVariant(date.month(), pool));
    row.append(TVariant(date.year(), pool));
    const QLocale c = QLocale::c();
    row.append(TVariant(c.toString(dt, QStringLiteral("dddd")), true, nullptr));
    row.append(TVariant(c.toString(dt, QStringLiteral("MMMM")), true, nullptr));
}

// Hash of a value for counting: doubles by their bit pattern without the
// lowest mantissa bits, so that values growing along the log (time stamps)
// land in neighbouring buckets and stay in cache, while values of any scale
// still spread. Equal values hash alike (0.0 and -0.0 included).
struct CountHash
{
    std::size_t operator()(const TVariant& v) const
    {
        if (v.type != TVariant::Double && v.type != TVariant::Pair)
            return qHash(v, 0u);
        const double d = v.value == 0.0 ? 0.0 : v.value;
        quint64 bits = 0;
        std::memcpy(&bits, &d, sizeof bits);
        return std::size_t(bits >> 20);
    }
};

// Counts of one ordered column while the events are read: a sorted map costs
// a tree descent per event, a hash one probe. Values are remembered in the
// order they first appear, so that folding them into the sorted map once per
// distinct value keeps the key that counting there directly would keep among
// equivalent ones (an int and an equal double).
struct RangeCounter
{
    std::unordered_map<TVariant, int, CountHash> counts;
    std::vector<std::pair<const TVariant, int>*> firstSeen;
    // NaNs are one key in the sorted map but never equal in a hash.
    int nanCount = 0;
    TVariant nan;

    void add(const TVariant& v)
    {
        if (std::isnan(v.value)) {
            if (nanCount++ == 0)
                nan = v;
            return;
        }
        auto inserted = counts.try_emplace(v, 0);
        if (inserted.second)
            firstSeen.push_back(&*inserted.first);
        ++inserted.first->second;
    }

    void foldInto(THash<TVariant, int>& hist)
    {
        for (auto* entry : firstSeen)
            hist[entry->first] += entry->second;
        if (nanCount)
            hist[nan] += nanCount;
        counts.clear();
        firstSeen.clear();
        nanCount = 0;
    }
};

} // namespace

Context::Context(Context* parent, const QString& name, const PacketList& packets,
                 GlyphStore* store, bool makeConversations)
    : QObject(nullptr),
      parent(parent),
      store(store),
      packets(packets),
      name(name),
      valueSets(true),
      conversations(true),
      conversationValueSets(true)
{
    if (parent)
        parent->children.append(this);
    valueSets.clear();
    conversationValueSets.clear();
    if (store) {
        for (int i = 0; i < store->packetAttributeNames.size(); ++i)
            appendHistogram();
    }
    qDebug() << "start Freq";
    if (makeConversations)
        createConversations();
}

Context::Context(const Context& other)
    : QObject(nullptr),
      parent(other.parent),
      store(other.store),
      histograms(other.histograms),
      packets(other.packets),
      name(other.name),
      valueSets(other.valueSets),
      conversationPackets(other.conversationPackets),
      conversationHistograms(other.conversationHistograms),
      conversations(other.conversations),
      conversationValueSets(other.conversationValueSets),
      history(other.history),
      modified(other.modified),
      cancelled(other.cancelled.load())
{
}

Context::~Context()
{
    // Snapshots are never in the parent's children, so this only ever
    // removes a live context.
    if (parent)
        parent->children.removeOne(this);
    // Children outlive this context only when deleted separately; they must
    // not reach back into it.
    for (Context* child : children.items) {
        child->parent = nullptr;
        for (Context* snap : child->history.items)
            snap->parent = nullptr;
    }
    for (Context* snap : history.items)
        delete snap;
}

void Context::createConversations()
{
    initHistograms();
    qDebug() << "end Freq";
    qDebug() << "create conversations";
    qDebug() << "done";
}

void Context::initHistograms()
{
    histograms.clear();
    conversations = THash<int, PacketList>(true);

    emit setLabelText(QStringLiteral("Initializing histograms"));
    emit progress(0);
    if (cancelled)
        return;

    const TList<QString> names = store ? store->packetAttributeNames : TList<QString>();
    for (const QString& n : names.items)
        histograms.append(THash<TVariant, int>(store->isOrderedAttribute(n)));
    emit progress(1);
    if (cancelled)
        return;

    // Identifiers are nearly unique per event: counting them at load time
    // costs much and tells nothing. Ordered (range) columns are counted in a
    // hash first and moved into their sorted map once per distinct value.
    std::vector<int> counted;
    std::vector<std::unique_ptr<RangeCounter>> ranges(std::size_t(names.size()));
    for (int c = 0; c < names.size(); ++c) {
        if (store->isKeyAttribute(names.at(c)))
            continue;
        counted.push_back(c);
        if (histograms.at(c).isOrdered())
            ranges[std::size_t(c)].reset(new RangeCounter);
    }
    auto foldRanges = [&] {
        for (std::size_t c = 0; c < ranges.size(); ++c) {
            if (ranges[c])
                ranges[c]->foldInto(histograms.items[c]);
        }
    };

    // One pass does the counting and the grouping; the trace lists are
    // reached through a plain hash by id instead of a tree descent.
    const int total = packets.size();
    const QString totalText = QString::number(total);
    std::unordered_map<int, PacketList*> byId;
    for (int i = 0; i < total; ++i) {
        const QSharedPointer<Packet>& p = packets.items[std::size_t(i)];
        for (int c : counted) {
            const TVariant& v = p->get(c);
            if (!v.isValid())
                continue;
            if (RangeCounter* range = ranges[std::size_t(c)].get())
                range->add(v);
            else
                ++histograms.items[std::size_t(c)][v];
        }
        PacketList*& list = byId[p->conversationId];
        if (!list)
            list = &conversations[p->conversationId];
        list->append(p);
        if (cancelled) {
            foldRanges();
            return;
        }
        if (i % 1000 == 0)
            emit setLabelText(QStringLiteral("Initializing histograms packets ") + QString::number(i)
                              + QLatin1Char('/') + totalText + QStringLiteral(" packets"));
    }
    foldRanges();

    emit progress(2);
    qDebug() << "build conversation data";
    emit setLabelText(QStringLiteral("Building conversation data"));

    if (cancelled)
        return;
    conversationHistograms.clear();
    const TList<QString> convNames = store ? store->conversationAttributeNames : TList<QString>();
    for (const QString& n : convNames.items)
        conversationHistograms.append(THash<TVariant, int>(store->isOrderedAttribute(n)));
    emit progress(3);

    const TList<int> ids = conversations.keys();
    auto column = [this](const QString& n) {
        return store ? store->attributeColumns.value(n, -1) : -1;
    };
    const int timeCol = column(TIME_ATTRIBUTE);
    const int srcCountryCol = column(GEOIP_SRC_COUNTRY);
    const int dstCountryCol = column(GEOIP_DST_COUNTRY);
    const int srcCol = column(SRC_ATTRIBUTE);
    const int dstCol = column(DST_ATTRIBUTE);
    THash<QString, TVariant>* pool = store ? &store->textPool : nullptr;
    const TVariant none;
    const TVariant unknown(QStringLiteral("Unknown"), true, nullptr);

    const int convTotal = ids.size();
    const QString convTotalText = QString::number(convTotal);
    conversationPackets.items.reserve(conversationPackets.items.size() + std::size_t(convTotal));
    for (int k = 0; k < convTotal; ++k) {
        const int id = ids.at(k);
        const PacketList& events = conversations.at(id);
        const QSharedPointer<Packet>& first = events.at(0);
        const QSharedPointer<Packet>& last = events.at(events.size() - 1);
        const TVariant& tFirst = timeCol >= 0 ? first->get(timeCol) : none;
        const TVariant& tLast = timeCol >= 0 ? last->get(timeCol) : none;

        TList<TVariant> row;
        row.items.reserve(27);
        row.append(TVariant(id, pool));
        row.append(TVariant(events.size(), pool));
        row.append(tFirst);
        row.append(tLast);
        row.append(TVariant(traceDuration(saturatedInt64(tFirst.toDouble()),
                                          saturatedInt64(tLast.toDouble())),
                            pool));
        row.append(srcCountryCol >= 0 ? first->get(srcCountryCol) : unknown);
        row.append(dstCountryCol >= 0 ? first->get(dstCountryCol) : unknown);
        row.append(srcCol >= 0 ? first->get(srcCol) : none);
        row.append(dstCol >= 0 ? first->get(dstCol) : none);
        appendDateParts(row, tFirst, pool);
        appendDateParts(row, tLast, pool);

        const int counts = std::min(row.size(), conversationHistograms.size());
        for (int c = 0; c < counts; ++c) {
            const TVariant& v = row.items[std::size_t(c)];
            if (v.isValid())
                ++conversationHistograms.items[std::size_t(c)][v];
        }
        conversationPackets.append(QSharedPointer<Packet>(new Packet(row)));
        if (k % 100 == 0)
            emit setLabelText(QStringLiteral("Initializing histograms conversations ")
                              + QString::number(k) + QLatin1Char('/') + convTotalText
                              + QStringLiteral(" conversations"));
        if (k != convTotal - 1 && cancelled)
            return;
    }

    emit progress(4);
    qDebug() << "done";
}

void Context::appendHistogram()
{
    histograms.append(THash<TVariant, int>());
}

void Context::updateHistograms(const TList<int>& columns, bool conversationSide)
{
    TList<THash<TVariant, int>>& hists = conversationSide ? conversationHistograms : histograms;
    const PacketList& rows = conversationSide ? conversationPackets : packets;
    const TList<QString> names = store ? store->attributeNames(conversationSide) : TList<QString>();
    for (int c : columns.items) {
        if (c < 0 || c >= hists.size())
            continue;
        // A derived range attribute gets an ordered histogram like a loaded one.
        const bool ordered = c < names.size() && store->isOrderedAttribute(names.at(c));
        THash<TVariant, int> hist(ordered);
        for (const QSharedPointer<Packet>& p : rows.items) {
            const TVariant& v = p->get(c);
            if (v.isValid())
                ++hist[v];
        }
        hists.items[std::size_t(c)] = std::move(hist);
    }
}

int Context::conversationCount() const
{
    return conversationPackets.size();
}

THash<int, QSet<TVariant>> Context::attributeMap(bool conversationSide) const
{
    return conversationSide ? conversationValueSets : valueSets;
}

void Context::removePackets(const PacketList& removed)
{
    if (removed.isEmpty())
        return;
    if (!modified) {
        // The snapshot owns nothing: only this context deletes snapshots.
        Context* snapshot = new Context(*this);
        snapshot->history.clear();
        history.append(snapshot);
        modified = true;
    }

    // Events are matched by identity, in whatever order they are listed.
    std::unordered_set<const Packet*> doomed;
    doomed.reserve(std::size_t(removed.size()));
    for (const QSharedPointer<Packet>& p : removed.items)
        doomed.insert(p.data());

    // Which traces lose events; their lists are compacted once each below.
    std::unordered_set<int> touched;
    PacketList kept;
    kept.items.reserve(packets.items.size());
    for (const QSharedPointer<Packet>& p : packets.items) {
        if (doomed.count(p.data()))
            touched.insert(p->conversationId);
        else
            kept.items.push_back(p);
    }
    if (kept.size() == packets.size())
        return;
    packets.items.swap(kept.items);

    const int c = store ? store->conversationAttributeColumns.value(CONV_LENGTH, -1) : -1;
    THash<TVariant, int>* lengths =
        c >= 0 && c < conversationHistograms.size() ? &conversationHistograms.items[std::size_t(c)] : nullptr;
    THash<QString, TVariant>* pool = store ? &store->textPool : nullptr;

    for (int id : touched) {
        auto it = conversations.find(id);
        if (it == conversations.end())
            continue;
        PacketList& events = it.value();
        const int before = events.size();
        events.items.erase(std::remove_if(events.items.begin(), events.items.end(),
                                          [&](const QSharedPointer<Packet>& p) {
                                              return doomed.count(p.data()) > 0;
                                          }),
                           events.items.end());
        const int after = events.size();
        if (lengths && after != before) {
            // The histogram counts traces per length: the trace moves from
            // its old length to its new one (or leaves when it is empty).
            const TVariant oldKey(before, pool);
            auto entry = lengths->find(oldKey);
            if (entry != lengths->end()) {
                if (--entry.value() <= 0)
                    lengths->erase(entry);
            }
            if (after > 0)
                ++(*lengths)[TVariant(after, pool)];
        }
        if (events.isEmpty())
            conversations.remove(id);
    }
}

void Context::restore(const Context& snapshot)
{
    parent = snapshot.parent;
    histograms = snapshot.histograms;
    packets = snapshot.packets;
    conversationHistograms = snapshot.conversationHistograms;
    conversationPackets = snapshot.conversationPackets;
    conversations = snapshot.conversations;
    modified = snapshot.modified;
}

void Context::revert()
{
    if (history.isEmpty()) {
        qDebug() << "cannot revert, there is no history";
        return;
    }
    Context* snapshot = history.last();
    history.items.pop_back();
    restore(*snapshot);
    delete snapshot;
}

void Context::clearHistory()
{
    for (Context* snap : history.items)
        delete snap;
    history.clear();
    modified = false;
}
