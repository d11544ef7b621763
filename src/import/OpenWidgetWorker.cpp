#include "import/OpenWidgetWorker.h"

#include "core/OnExit.h"

#include "core/IPacketStream.h"
#include "core/Packet.h"
#include "core/ThreadBudget.h"
#include "core/ThreadStarter.h"
#include "core/ValueTable.h"
#include "import/RecordParser.h"

#include <QDebug>
#include <QThread>

#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <condition_variable>
#include <cstring>
#include <functional>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Lines per stretch, whatever the number of threads.
const int kStretchLines = 131072;
// Lines read ahead beyond one stretch a thread, in bytes.
const qint64 kAheadBytes = qint64(128) << 20;

// The stretch's own copies of texts the pool held already, by the address
// of their bytes, and the pooled values that replace them: an open table
// of addresses, made once per stretch.
class PooledTexts
{
public:
    void add(const char* own, const TVariant& pooled)
    {
        m_entries.emplace_back(own, pooled);
    }
    void build()
    {
        std::size_t size = 16;
        while (size < m_entries.size() * 2)
            size *= 2;
        m_slots.assign(size, 0);
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            std::size_t s = slotOf(m_entries[i].first);
            while (m_slots[s])
                s = (s + 1) & (m_slots.size() - 1);
            m_slots[s] = quint32(i + 1);
        }
    }
    bool empty() const { return m_entries.empty(); }
    const TVariant* find(const char* own) const
    {
        for (std::size_t s = slotOf(own); m_slots[s]; s = (s + 1) & (m_slots.size() - 1)) {
            const auto& entry = m_entries[m_slots[s] - 1];
            if (entry.first == own)
                return &entry.second;
        }
        return nullptr;
    }

private:
    std::size_t slotOf(const char* p) const
    {
        const quint64 h = quint64(quintptr(p)) * 0x9E3779B97F4A7C15ull;
        return std::size_t(h >> 32) & (m_slots.size() - 1);
    }
    std::vector<std::pair<const char*, TVariant>> m_entries;
    std::vector<quint32> m_slots;
};

// The trace numbers of the joined stretches by the text of their grouping
// value, as UTF-8 bytes: for a text value the very bytes the value table
// holds (shared, not copied), else those of the value's text form. The
// texts are those a single reader keys its numbers by (TVariant::toString()),
// in a form that costs the log no second copy of them.
class TraceKeys
{
public:
    // Numbers given before the join starts.
    void seed(const THash<QString, int>& ids)
    {
        for (auto it = ids.constBegin(); it != ids.constEnd(); ++it)
            find(it.key().toUtf8(), it.value());
    }
    // The number of the value's text, or `next` when it is new (and then
    // kept for it).
    int find(const TVariant& value, int next)
    {
        return find(value.type == TVariant::String ? value.text : value.toString().toUtf8(), next);
    }

private:
    struct Slot
    {
        uint hash = 0;
        int id = -1;          // -1 = free
        quint32 key = 0;      // in m_keys
    };
    int find(const QByteArray& key, int next)
    {
        const uint hash = qHash(key, 0u);
        if ((m_keys.size() + 1) * 2 > m_slots.size())
            grow();
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
            Slot& slot = m_slots[s];
            if (slot.id < 0) {
                slot.hash = hash;
                slot.id = next;
                slot.key = quint32(m_keys.size());
                m_keys.push_back(key);
                return next;
            }
            if (slot.hash == hash && m_keys[slot.key] == key)
                return slot.id;
        }
    }
    void grow()
    {
        std::vector<Slot> old(m_slots.empty() ? 64 : m_slots.size() * 2);
        old.swap(m_slots);
        const std::size_t mask = m_slots.size() - 1;
        for (const Slot& slot : old) {
            if (slot.id < 0)
                continue;
            std::size_t s = slot.hash & mask;
            while (m_slots[s].id >= 0)
                s = (s + 1) & mask;
            m_slots[s] = slot;
        }
    }
    std::vector<QByteArray> m_keys;
    std::vector<Slot> m_slots;
};

// A stretch of lines read by a parser of its own.
struct Stretch
{
    QByteArray bytes;            // the lines, freed once parsed
    int lines = 0;
    qint64 byteCount = 0;        // of the lines, as read
    int first = 0;               // number of the first line among the records
    int index = 0;               // of the stretch in the log
    std::unique_ptr<RecordParser> parser;
    std::vector<QSharedPointer<Packet>> packets;
    ValueTable* table = nullptr; // a reference of the stretch's own
    bool complete = false;       // every line was parsed
    bool done = false;           // parsed (or given up); guarded by the queue's mutex

    ~Stretch()
    {
        // The events first: the table goes with its last reference.
        packets.clear();
        if (table)
            table->deref();
    }
};

// Keeps the fields of the stretch's records that the SMB2 call tables read
// (any thread, before the stretch's turn).
void takeStretchInput(const Stretch& s, const RecordParser& owner, const std::vector<int>& columns,
                      RecordParser::Smb2Input& input, const std::atomic<bool>& cancelled)
{
    input.lengths.reserve(std::size_t(s.lines) * (columns.size() + 1));
    QString buffer;
    std::vector<QStringView> views;
    QList<QString> owned;
    const char* p = s.bytes.constData();
    const char* end = p + s.bytes.size();
    for (int n = 0; n < s.lines; ++n) {
        if ((n & 1023) == 0 && cancelled.load(std::memory_order_relaxed))
            break;
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        owner.takeSmb2Input(IPacketStream::decodeLine(p, int((nl ? nl : end) - p), buffer), columns,
                            input, views, owned);
        p = nl ? nl + 1 : end;
    }
}

// Works out the SMB2 texts of the stretch's records with the call tables
// of `owner`, which go from record to record (the stretches take turns).
void sequenceStretch(Stretch& s, RecordParser& owner, const std::vector<int>& columns,
                     const RecordParser::Smb2Input& input, const std::atomic<bool>& cancelled)
{
    QString texts;
    std::vector<RecordParser::Span> spans;
    spans.reserve(std::size_t(s.lines) * 3);
    RecordParser::Smb2Cursor at;
    for (int n = 0; n < s.lines; ++n) {
        if ((n & 1023) == 0 && cancelled.load(std::memory_order_relaxed))
            break;
        owner.sequenceSmb2(input, columns, at, texts, spans);
    }
    s.parser->giveSmb2(std::move(texts), std::move(spans));
}

void parseStretch(Stretch& s, const std::atomic<bool>& cancelled)
{
    RecordParser& parser = *s.parser;
    s.packets.reserve(std::size_t(s.lines));
    QString buffer;
    const char* p = s.bytes.constData();
    const char* end = p + s.bytes.size();
    int n = 0;
    for (; n < s.lines; ++n) {
        if ((n & 1023) == 0 && cancelled.load(std::memory_order_relaxed))
            break;
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        const int size = int((nl ? nl : end) - p);
        QSharedPointer<Packet> packet = parser.parsePacket(IPacketStream::decodeLine(p, size, buffer),
                                                           parser.separator, parser.grouping,
                                                           &parser.textPool);
        if (packet)
            s.packets.push_back(std::move(packet));
        p = nl ? nl + 1 : end;
    }
    s.complete = n == s.lines;
    s.table = parser.takeValueTable();
    s.bytes = QByteArray();
}

// Joins the stretches, in file order, into the owner's events, pool, trace
// numbers and one value table.
class Joiner
{
public:
    explicit Joiner(RecordParser* owner) : w(owner) {}
    ~Joiner()
    {
        if (table)
            table->deref();
    }

    void join(Stretch& s)
    {
        RecordParser& parser = *s.parser;
        // Texts new to the pool enter it in the order the stretch met them,
        // which is the order a single reader meets them in; the stretch's
        // copies of texts the pool held already give way to the pooled ones.
        PooledTexts pooled;
        if (w->textPool.size() <= 1 && parser.textPool.size() >= 1) {
            w->textPool = std::move(parser.textPool);
        } else {
            for (auto it = parser.textPool.constBegin(); it != parser.textPool.constEnd(); ++it) {
                const TVariant& own = it.value();
                const TVariant kept = w->textPool.insert(it.key(), own).value();
                if (!own.text.isNull() && kept.text.constData() != own.text.constData())
                    pooled.add(own.text.constData(), kept);
            }
        }
        pooled.build();

        // The first table becomes the log's; the others' values follow it.
        const int events = int(s.packets.size());
        quint32 offset = 0;
        bool moving = false;
        if (!table) {
            table = s.table;
            s.table = nullptr;
        } else if (s.table && events > 0) {
            offset = table->absorb(*s.table, [&pooled](TVariant& v) {
                if (v.type != TVariant::String || pooled.empty())
                    return;
                if (const TVariant* kept = pooled.find(v.text.constData()))
                    v = *kept;
            });
            moving = true;
        }

        // Trace numbers in order of the first appearance of their keys: the
        // stretch numbered its grouping values' positions in the order it
        // met them, which the log's numbers follow.
        std::vector<int> ids;
        if (!parser.tracePositions.empty()) {
            if (!keysSeeded) {
                keys.seed(w->conversationIds);
                keysSeeded = true;
            }
            ids.resize(parser.tracePositions.size());
            for (std::size_t local = 0; local < ids.size(); ++local) {
                const quint32 p = parser.tracePositions[local];
                const int id = keys.find(table->at(p == 0 ? 0 : p + offset), w->nextConversationId);
                if (id == w->nextConversationId)
                    ++w->nextConversationId;
                ids[local] = id;
            }
            std::vector<quint32>().swap(parser.tracePositions);
        }

        // One pass over the events, which lie all over the heap: each is
        // asked for a few events ahead.
        // The events moved so far take their references along, also when a
        // move runs out of memory.
        int moved = 0;
        try {
            if (moving || !ids.empty()) {
                const std::size_t n = s.packets.size();
                const int known = int(ids.size());
                for (std::size_t i = 0; i < n; ++i) {
                    if (i + 8 < n)
                        __builtin_prefetch(s.packets[i + 8].data(), 1);
                    if (moving && i + 4 < n)
                        __builtin_prefetch(s.packets[i + 4]->tablePositions(), 1);
                    Packet& p = *s.packets[i];
                    if (moving) {
                        p.moveToTable(table, offset);
                        ++moved;
                    }
                    const int local = p.conversationId;
                    if (local >= 0 && local < known)
                        p.conversationId = ids[std::size_t(local)];
                }
            }
        } catch (const std::bad_alloc&) {
            if (moved > 0) {
                table->ref(moved);
                s.table->deref(moved);
            }
            throw;
        }
        if (moving) {
            table->ref(events);
            s.table->deref(events);
        }

        std::vector<QSharedPointer<Packet>>& out = w->packets.items;
        out.insert(out.end(), std::make_move_iterator(s.packets.begin()),
                   std::make_move_iterator(s.packets.end()));
        s.packets.clear();
    }

private:
    RecordParser* w;
    ValueTable* table = nullptr;   // the log's, with a reference of the joiner's
    TraceKeys keys;
    bool keysSeeded = false;
};

} // namespace

OpenWidgetWorker::OpenWidgetWorker(RecordParser* owner, char separator, int total)
    : QObject(nullptr)
    , total(total)
    , separator(separator)
    , owner(owner)
{
}

int OpenWidgetWorker::threadCount()
{
    return ThreadBudget::count();
}

void OpenWidgetWorker::announce(int record)
{
    qDebug().noquote().nospace() << "Read " << record << " Packets";
    emit progress(record);
    emit setLabelText(QStringLiteral("Loading data... : Read ") + QString::number(record)
                      + QLatin1Char('/') + QString::number(total) + QStringLiteral(" Packets"));
}

void OpenWidgetWorker::loadData()
{
    try {
        read();
    } catch (const std::bad_alloc&) {
        // The owner drops what was read; nothing here allocates.
        outOfMemory.store(true);
    }
    finished.store(true, std::memory_order_release);
}

void OpenWidgetWorker::read()
{
    RecordParser* w = owner;
    if (limit >= 0) {
        // Counting a long log takes a while: a cancel meanwhile ends it.
        total = w->stream ? w->stream->countLines(limit, &cancelled) : 0;
        if (w->stream)
            w->stream->readLine();
        emit counted(total);
    }
    w->packets.clear();
    w->packets.items.reserve(std::size_t(qMax(total, 0)));
    // A fresh pool for every run: it goes to the new glyph store with the events.
    w->textPool.clear();
    w->textPool.insert(QString(), TVariant());
    w->resetValues();

    // One thread reads record by record; several read stretches, whose
    // join gives the very same events, values, pool and trace numbers.
    IPacketStream* stream = w->stream;
    const int threads = threadCount();
    if (!(threads > 1 && stream && w->readsInStretches() && stream->readsBytes() && readStretches(threads)))
        readRecords();

    emit progress(total);
    if (cancelled.load())
        qDebug() << "Canceled";
    else
        qDebug() << "Done";
}

void OpenWidgetWorker::readRecords()
{
    RecordParser* w = owner;
    const int grouping = w->grouping;
    IPacketStream* stream = w->stream;
    int i = 0;
    while (stream && !stream->atEnd() && !cancelled.load(std::memory_order_relaxed)) {
        if (i % 1000 == 0)
            announce(i);
        if (i >= total)
            break;
        QSharedPointer<Packet> packet =
            w->parsePacket(stream->readLine(), separator, grouping, &w->textPool);
        if (packet)
            w->packets.items.push_back(std::move(packet));
        ++i;
    }
}

bool OpenWidgetWorker::readStretches(int threads)
{
#ifdef __GLIBC__
    // The stretches' big passing blocks (their lines, caches and pools)
    // come and go on several threads while the events' small values stay.
    // With the allocator's sliding threshold the blocks soon come from the
    // threads' heaps instead of being mapped, and what they leave there
    // cannot go back between the values: a fixed threshold maps them and
    // gives them back as soon as they are freed.
    static std::once_flag mapped;
    std::call_once(mapped, [] { mallopt(M_MMAP_THRESHOLD, 1 << 20); });
#endif
    RecordParser* w = owner;
    IPacketStream* stream = w->stream;
    Joiner joiner(w);

    // Stretches read from the stream and not yet joined, in file order.
    std::deque<std::unique_ptr<Stretch>> window;
    std::deque<Stretch*> queue;   // waiting for a thread
    std::mutex mutex;
    std::condition_variable wake;    // work for the helpers, or the end
    std::condition_variable parsed;  // a stretch is done
    bool stop = false;
    int read = 0;                    // lines taken from the stream
    bool streamDone = false;
    int stretches = 0;               // taken from the stream
    // The SMB2 call tables are the owner's and go from stretch to stretch:
    // the stretch whose turn it is works its texts out before it is parsed.
    const bool smb2 = w->smb2FilenameColumn >= 0;
    const std::vector<int> smb2Columns = smb2 ? w->smb2InputColumns() : std::vector<int>();
    int sequenced = 0;               // stretches whose SMB2 texts are done
    std::condition_variable turn;
    // Parsers of joined stretches, let go of by the helpers.
    std::vector<std::unique_ptr<RecordParser>> spent;

    auto next = [&]() -> std::unique_ptr<Stretch> {
        const int want = std::min(kStretchLines, total - read);
        if (streamDone || want <= 0)
            return nullptr;
        auto s = std::make_unique<Stretch>();
        s->lines = stream->readLineBlock(want, s->bytes);
        if (s->lines == 0) {
            streamDone = true;
            return nullptr;
        }
        s->first = read;
        read += s->lines;
        s->parser.reset(new RecordParser);
        s->parser->copySettings(*w);
        s->parser->separator = separator;
        s->parser->textPool.insert(QString(), TVariant());
        s->parser->tracesByPosition = true;
        s->index = stretches++;
        return s;
    };

    // Every 1000th record is announced once its stretch is joined.
    int announced = 0;
    auto announceUpTo = [&](int end) {
        for (; announced < end; announced += 1000)
            announce(announced);
    };

    // The helpers parse the stretches in the queue; this thread reads them
    // from the stream ahead of them and joins them in order. A helper that
    // runs out of memory gives its stretch up and says so in `failed`
    // (guarded by the mutex): this thread then stops the others.
    bool failed = false;
    std::function<void()> helper = [&]() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stop || !queue.empty() || !spent.empty(); });
            // A joined stretch's parser (its pool, trace numbers and
            // caches) goes before the next stretch is taken on, so that
            // they do not pile up while the queue is never empty.
            if (!spent.empty()) {
                std::unique_ptr<RecordParser> parser = std::move(spent.back());
                spent.pop_back();
                lock.unlock();
                parser.reset();
                lock.lock();
                continue;
            }
            if (queue.empty() || failed)
                return;
            Stretch* s = queue.front();
            queue.pop_front();
            try {
                if (smb2) {
                    // The fields are taken side by side; the call tables
                    // then go through the stretches in turn.
                    lock.unlock();
                    RecordParser::Smb2Input input;
                    takeStretchInput(*s, *w, smb2Columns, input, cancelled);
                    lock.lock();
                    turn.wait(lock, [&] { return stop || sequenced == s->index; });
                    if (stop) {
                        s->done = true;
                        parsed.notify_all();
                        continue;
                    }
                    lock.unlock();
                    sequenceStretch(*s, *w, smb2Columns, input, cancelled);
                    input = RecordParser::Smb2Input();
                    lock.lock();
                    ++sequenced;
                    turn.notify_all();
                }
                lock.unlock();
                parseStretch(*s, cancelled);
                lock.lock();
            } catch (const std::bad_alloc&) {
                if (!lock.owns_lock())
                    lock.lock();
                failed = true;
                turn.notify_all();
            }
            s->done = true;
            parsed.notify_all();
        }
    };
    // This thread mostly waits for the helpers: they take its place in the
    // thread budget, and the slots free besides. A helper that the system
    // refuses to start (or that finds no memory to start with) leaves the
    // stretches to the others.
    ThreadBudget::Slots budget(threads - 1);
    threads = 1 + budget.count();
    std::vector<std::thread> helpers;
    // However this function is left, the helpers end before the state
    // they share with it goes.
    auto endHelpers = [&]() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
            queue.clear();
        }
        wake.notify_all();
        turn.notify_all();
        for (std::thread& t : helpers)
            t.join();
        helpers.clear();
    };
    OnExit ending(endHelpers);
    helpers.reserve(std::size_t(threads));
    for (int t = 0; t < threads; ++t) {
        try {
            helpers.push_back(ThreadStarter::start(helper));
        } catch (const std::system_error&) {
            break;
        } catch (const std::bad_alloc&) {
            break;
        }
    }
    if (helpers.empty())
        return false;   // nothing read yet: one thread reads record by record
    threads = int(helpers.size());
    budget.giveBack(budget.count() - (threads - 1));
    // Up to two stretches a thread are read ahead, so that the helpers find
    // the next stretch waiting while this thread joins the front one; beyond
    // one a thread only while the lines read ahead stay below kAheadBytes
    // (a log of long lines would otherwise hold gigabytes of them).
    const std::size_t inFlight = std::size_t(threads) * 2;
    qint64 windowBytes = 0;   // lines read by the stretches in the window

    bool ranOut = false;
    while (!cancelled.load(std::memory_order_relaxed)) {
        while (window.size() < std::size_t(threads)
               || (window.size() < inFlight && windowBytes < kAheadBytes)) {
            std::unique_ptr<Stretch> s = next();
            if (!s)
                break;
            s->byteCount = s->bytes.size();
            // In the window first: a stretch in the queue is always one the
            // window holds.
            window.push_back(std::move(s));
            windowBytes += window.back()->byteCount;
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(window.back().get());
            wake.notify_one();
        }
        if (window.empty())
            break;
        Stretch& front = *window.front();
        {
            std::unique_lock<std::mutex> lock(mutex);
            parsed.wait(lock, [&] { return front.done || failed; });
            ranOut = failed;
        }
        if (ranOut || !front.complete)
            break;   // out of memory, or cancelled while it was read
        joiner.join(front);
        announceUpTo(front.first + front.lines);
        {
            std::lock_guard<std::mutex> lock(mutex);
            spent.push_back(std::move(front.parser));
            wake.notify_one();
        }
        windowBytes -= front.byteCount;
        window.pop_front();
    }

    endHelpers();
    window.clear();
    if (ranOut || failed)
        throw std::bad_alloc();

    // The loop of one record announces the record at the limit too, when
    // the log goes on beyond it.
    if (!cancelled.load(std::memory_order_relaxed) && read >= total && announced <= total
        && total % 1000 == 0 && !stream->atEnd())
        announceUpTo(total + 1);
    return true;
}
