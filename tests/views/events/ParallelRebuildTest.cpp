#include "TestRegistry.h"
#include "DebugCapture.h"
#include "CellFixture.h"
#include "MatrixFixture.h"

#include "Restore.h"
#include "core/ThreadBudget.h"

#include <QtTest>

#include <limits>

using namespace cellfixture;

// A rebuild of many events runs in parts on several threads: the tiles
// take their events, the rules rewrite the rows and equal rows are stacked
// in parts. Whatever the parts, a tile ends up as one thread makes it.

namespace {

// LUMIVANE_THREADS for the length of a test, so that the parts run on
// several threads on any machine.
class Threads
{
public:
    explicit Threads(int n)
        : old(qgetenv("LUMIVANE_THREADS")), had(qEnvironmentVariableIsSet("LUMIVANE_THREADS"))
    {
        qputenv("LUMIVANE_THREADS", QByteArray::number(n));
    }
    ~Threads()
    {
        if (had)
            qputenv("LUMIVANE_THREADS", old);
        else
            qunsetenv("LUMIVANE_THREADS");
    }

private:
    QByteArray old;
    bool had;
};

// The threshold under which every rebuild runs in parts, or on one thread.
int marksFor(bool parts)
{
    return parts ? 1 : std::numeric_limits<int>::max();
}

QString eventText(const PacketPtr& p)
{
    return p ? QStringLiteral("%1@%2").arg(p->conversationId).arg(p->get(TIME).toDouble()) : QStringLiteral("null");
}

QStringList tracesText(const BinCell& cell)
{
    QStringList out;
    for (const TList<PacketPtr>& events : cell.conversations) {
        QStringList texts;
        for (const PacketPtr& p : events)
            texts << eventText(p);
        out << texts.join(QLatin1Char(','));
    }
    return out;
}

// Per row: every item's id, name, label, count, children, selection and
// highlight marks and events; with the stack count of the row's key.
QStringList rowsDump(const BinCell& cell)
{
    QStringList out;
    for (const TList<BinItem*>& row : cell.rows) {
        QStringList items;
        for (const BinItem* item : row) {
            QStringList children;
            for (const BinItem& child : item->children)
                children << QString::number(child.id) + child.name;
            QStringList events;
            for (const PacketPtr& p : item->packets)
                events << eventText(p);
            items << QStringLiteral("%1%2 '%3' n%4 [%5] s%6%7 h%8 {%9}")
                         .arg(item->id)
                         .arg(item->name, item->label)
                         .arg(item->totalCount)
                         .arg(children.join(QLatin1Char(',')))
                         .arg(item->selectedCount)
                         .arg(item->selected ? QStringLiteral("+") : QString())
                         .arg(item->auxValue)
                         .arg(events.join(QLatin1Char(' ')));
        }
        const QString stack = cell.stacked ? QStringLiteral("x%1: ").arg(cell.stackCounts.value(cell.rowKey(row), -1))
                                           : QString();
        out << stack + items.join(QStringLiteral(" | "));
    }
    return out;
}

QMap<QString, int> sorted(const THash<QString, int>& counts)
{
    QMap<QString, int> out;
    for (const QString& key : counts.keys())
        out.insert(key, counts.value(key));
    return out;
}

// a -> A (one glyph, nested into later merges of a), b deleted by a hidden
// rule, d deleted, A A -> AA, the longest run of c -> C.
void addRules(Fixture& f)
{
    const auto kind = [](const char* k) { return kindLeaf(QString::fromLatin1(k)); };
    f.addRule(QStringLiteral("A"), sequence({kind("a")}), rewrite(QStringLiteral("A"), 20));
    f.addRule(QStringLiteral("hidden"), sequence({kind("b")}), deletion(), true, false);
    f.addRule(QStringLiteral("drop"), sequence({kind("d")}), deletion());
    f.addRule(QStringLiteral("AA"), sequence({nameLeaf(QStringLiteral("A")), nameLeaf(QStringLiteral("A"))}),
              rewrite(QStringLiteral("AA"), 21));
    auto* plus = new ParseNode(ParseNode::Plus);
    plus->addChild(kind("c"));
    f.addRule(QStringLiteral("C"), sequence({plus}), rewrite(QStringLiteral("C"), 22), false);
}

// `count` traces of the shapes in turn, each shape's traces in a time band
// of their own (later traces earlier in it); every event of every third
// trace selected, the last event of every fifth one marked.
struct Events
{
    Events(const QStringList& shapes, int count)
    {
        for (int t = 0; t < count; ++t) {
            const int shape = t % shapes.size();
            traces.append(trace(t, shapes.at(shape), 1000.0 * (shape + 1) + count - t));
            if (t % 3 == 0)
                for (const PacketPtr& p : traces.last())
                    selected.insert(p);
            if (t % 5 == 0)
                marked.insert(traces.last().last());
        }
    }
    TList<TList<PacketPtr>> traces;
    PacketSet selected;
    QSet<PacketPtr> marked;
};

std::unique_ptr<BinCell> build(Fixture& f, const Events& events, bool stacked, bool parts)
{
    Restore<int> marks(BinCell::parallelMarks, marksFor(parts));
    f.store()->ruleCounts.clear();
    auto cell = f.cell();
    cell->stacked = stacked;
    for (const TList<PacketPtr>& t : events.traces)
        cell->addPackets(t);
    cell->selectedPackets = events.selected;
    cell->setMarkedPackets(events.marked);
    cell->buildData(false);
    return cell;
}

const QStringList mixedShapes{"aab", "aaaa", "d", "cdc", "ccab", "dd", "bab", "cb", "ccb", "cccb", "adda", "ca"};

// Rules that feed each other: rules of one item on the kind and on names
// that earlier rules gave, between rules of runs; one whose glyph needs
// "any" event of kind c; a choice; a hidden rule.
void addChainedRules(Fixture& f)
{
    const auto kind = [](const char* k) { return kindLeaf(QString::fromLatin1(k)); };
    const auto name = [](const char* n) { return nameLeaf(QString::fromLatin1(n)); };
    f.addRule(QStringLiteral("A"), sequence({kind("a")}), rewrite(QStringLiteral("A"), 20));
    f.addRule(QStringLiteral("hidden"), sequence({kind("b")}), deletion(), true, false);
    f.addRule(QStringLiteral("B"), sequence({kind("b")}), rewrite(QStringLiteral("B"), 21));
    f.addRule(QStringLiteral("AB"), sequence({name("A"), name("B")}), rewrite(QStringLiteral("AB"), 22));
    f.addRule(QStringLiteral("A2"), sequence({name("A")}), rewrite(QStringLiteral("A2"), 23));
    f.addRule(QStringLiteral("drop"), sequence({kind("d")}), deletion());
    f.addRule(QStringLiteral("E"), sequence({kind("e")}), rewrite(QStringLiteral("E"), 24));
    auto* plus = new ParseNode(ParseNode::Plus);
    plus->addChild(kind("c"));
    f.addRule(QStringLiteral("C"), sequence({plus}), rewrite(QStringLiteral("C"), 25), false);
    f.addRule(QStringLiteral("C2"), sequence({name("C")}), rewrite(QStringLiteral("C2"), 26));
    ParseNode* any = kind("c");
    any->glyph.quantifier = 1;
    f.addRule(QStringLiteral("anyC"), sequence({any}), rewrite(QStringLiteral("CC"), 27));
    auto* choice = new ParseNode(ParseNode::Or);
    choice->addChild(kind("e"));
    choice->addChild(name("E"));
    f.addRule(QStringLiteral("X"), sequence({choice}), rewrite(QStringLiteral("X"), 28));
}

const QStringList chainedShapes{"abab", "aabbcc", "dcd", "ecce", "ebae", "cccab", "d", "ab", "eee", "bca", "abdab"};

// Per row its items as name, stacked glyphs in brackets and label.
QString chainText(const BinCell& cell)
{
    QStringList rows;
    for (const TList<BinItem*>& row : cell.rows) {
        QStringList items;
        for (const BinItem* item : row)
            items << item->name + QLatin1Char('[') + childNames(item) + QLatin1Char(']') + item->label;
        rows << items.join(QLatin1Char(' '));
    }
    return rows.join(QStringLiteral(" | "));
}

// 240 traces of varied shapes, two of every three with a host.
QList<matrixfixture::Trace> groupedTraces()
{
    const QStringList shapes{"ab", "xyc", "c", "abx", "yy", "cab", "x", "bcay"};
    QList<matrixfixture::Trace> traces;
    for (int t = 0; t < 240; ++t)
        traces.append(matrixfixture::Trace{t + 1, shapes.at(t % shapes.size()),
                                           t % 3 == 0 ? QString() : QStringLiteral("h%1").arg(1 + t % 3 / 2)});
    return traces;
}

} // namespace

class ParallelRebuildTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        capture.reset(new DebugCapture);
        capture->setForward(false);
        threads.reset(new Threads(3));
        fixture.reset(new Fixture);
    }
    void cleanup()
    {
        fixture.reset();
        threads.reset();
        capture.reset();
    }

    void addRecordsFilesAsAddPacket_data();
    void addRecordsFilesAsAddPacket();
    void addTracesFilesAsAddPackets_data();
    void addTracesFilesAsAddPackets();
    void rulesInParts_data();
    void rulesInParts();
    void chainedRules_data();
    void chainedRules();
    void rulesTogetherAsAlone_data();
    void rulesTogetherAsAlone();
    void stackingInParts_data();
    void stackingInParts();
    void eventGroupingInParts_data();
    void eventGroupingInParts();
    void rebuildOverOldGlyphs_data();
    void rebuildOverOldGlyphs();
    void regroupOverOldGlyphs_data();
    void regroupOverOldGlyphs();

private:
    QScopedPointer<DebugCapture> capture;
    QScopedPointer<Threads> threads;
    QScopedPointer<Fixture> fixture;
};

void ParallelRebuildTest::addRecordsFilesAsAddPacket_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QList<int>>("ids");       // trace id per record, -1 a null record
    QTest::addColumn<QString>("tiles");        // tile per record: 0, 1, 2 or - for none
    QTest::addColumn<QList<int>>("before");    // traces each tile holds beforehand

    const QList<int> ids{5, 3, 5, 7, 3, 5, 9, 7, 3, 5, 1, 1};
    const QString tiles = QStringLiteral("012001122100");
    QTest::newRow("traces interleaved over three tiles") << 0 << ids << tiles << QList<int>{};
    QTest::newRow("mode 1") << 1 << ids << tiles << QList<int>{};
    QTest::newRow("mode 2: one trace of all events") << 2 << ids << tiles << QList<int>{};
    QTest::newRow("null records join trace 0") << 0 << QList<int>{0, -1, 4, -1, 0, 4, -1} << "0000111"
                                               << QList<int>{};
    QTest::newRow("tiles that hold traces") << 0 << ids << tiles << QList<int>{3, 8, 3};
    QTest::newRow("mode 2, tiles that hold events") << 2 << ids << tiles << QList<int>{3, 8};
    QTest::newRow("records for no tile, a tile without any") << 0 << ids << "0-0-1-1-0---" << QList<int>{8};
    QTest::newRow("mode 2, a tile without any record") << 2 << ids << "0-0-1-1-0---" << QList<int>{};
    QTest::newRow("no record") << 0 << QList<int>{} << "" << QList<int>{7};
}

// A tile takes the records meant for it as addPacket one by one gives them
// to it: traces in order of first appearance, events in record order, and
// later events go to the same traces.
void ParallelRebuildTest::addRecordsFilesAsAddPacket()
{
    QFETCH(int, mode);
    QFETCH(QList<int>, ids);
    QFETCH(QString, tiles);
    QFETCH(QList<int>, before);

    std::vector<std::unique_ptr<BinCell>> byPacket;
    std::vector<std::unique_ptr<BinCell>> byRecords;
    for (int t = 0; t < 3; ++t) {
        for (auto* cells : {&byPacket, &byRecords}) {
            cells->push_back(fixture->cell());
            cells->back()->conversationMode = mode;
        }
        for (int i = 0; i < before.size(); ++i) {
            const PacketPtr p = makeEvent(before.at(i), QStringLiteral("a"), 1000 + 10 * t + i);
            byPacket[t]->addPacket(p);
            byRecords[t]->addPacket(p);
        }
    }
    TList<PacketPtr> records;
    std::vector<BinCell*> target;
    for (int i = 0; i < ids.size(); ++i) {
        records.append(ids.at(i) < 0 ? PacketPtr() : makeEvent(ids.at(i), QStringLiteral("a"), i));
        const int tile = tiles.at(i) == QLatin1Char('-') ? -1 : tiles.at(i).digitValue();
        target.push_back(tile < 0 ? nullptr : byRecords[std::size_t(tile)].get());
        if (tile >= 0)
            byPacket[std::size_t(tile)]->addPacket(records.last());
    }
    // The tiles take their records at once, as a rebuild has them do.
    ThreadBudget::runInParts(3, 3, [&](int, std::size_t from, std::size_t to) {
        for (std::size_t t = from; t < to; ++t)
            byRecords[t]->addRecords(records, target);
    });
    for (int t = 0; t < 3; ++t) {
        QCOMPARE(tracesText(*byRecords[t]), tracesText(*byPacket[t]));
        for (int i = 0; i < 3; ++i) {
            const PacketPtr p = makeEvent(QList<int>{3, 42, 0}.at(i), QStringLiteral("a"), 2000 + i);
            byPacket[t]->addPacket(p);
            byRecords[t]->addPacket(p);
        }
        QCOMPARE(tracesText(*byRecords[t]), tracesText(*byPacket[t]));
        QCOMPARE(byRecords[t]->nextSlot, byPacket[t]->nextSlot);
    }
}

void ParallelRebuildTest::addTracesFilesAsAddPackets_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("traces");      // the ids of each trace's events, traces split by "|"
    QTest::addColumn<QList<int>>("before");   // traces the tile holds beforehand

    const QString traces = QStringLiteral("5 5 5|3 3|7|5 5|9 9 9 9|1");
    QTest::newRow("a trace each") << 0 << traces << QList<int>{};
    QTest::newRow("mode 2: one trace of all events") << 2 << traces << QList<int>{};
    QTest::newRow("runs of other ids within a trace") << 0 << QStringLiteral("4 4 6 6 4|6 8|8 8 4")
                                                      << QList<int>{};
    QTest::newRow("a tile that holds traces") << 0 << traces << QList<int>{9, 2, 5};
}

// Whole traces are filed in parts as trace by trace: same traces, same
// order, same slots for what comes later.
void ParallelRebuildTest::addTracesFilesAsAddPackets()
{
    QFETCH(int, mode);
    QFETCH(QString, traces);
    QFETCH(QList<int>, before);

    Restore<int> marks(BinCell::parallelMarks, 1);
    std::unique_ptr<BinCell> byTrace = fixture->cell();
    std::unique_ptr<BinCell> inParts = fixture->cell();
    for (BinCell* cell : {byTrace.get(), inParts.get()})
        cell->conversationMode = mode;
    for (int i = 0; i < before.size(); ++i) {
        const PacketPtr p = makeEvent(before.at(i), QStringLiteral("a"), 1000 + i);
        byTrace->addPacket(p);
        inParts->addPacket(p);
    }
    std::vector<TList<PacketPtr>> lists;
    int time = 0;
    for (const QString& trace : traces.split(QLatin1Char('|'))) {
        lists.emplace_back();
        for (const QString& id : trace.split(QLatin1Char(' ')))
            lists.back().append(makeEvent(id.toInt(), QStringLiteral("a"), time++));
    }
    std::vector<const TList<PacketPtr>*> pointers;
    for (const TList<PacketPtr>& list : lists) {
        byTrace->addPackets(list);
        pointers.push_back(&list);
    }
    inParts->addTraces(pointers);
    QCOMPARE(tracesText(*inParts), tracesText(*byTrace));
    QCOMPARE(inParts->nextSlot, byTrace->nextSlot);
    const PacketPtr later = makeEvent(3, QStringLiteral("a"), 5000);
    byTrace->addPacket(later);
    inParts->addPacket(later);
    QCOMPARE(tracesText(*inParts), tracesText(*byTrace));
}

void ParallelRebuildTest::rulesInParts_data()
{
    QTest::addColumn<QStringList>("shapes");
    QTest::addColumn<int>("traces");
    QTest::addColumn<int>("rows");

    QTest::newRow("merges, deletions, nesting") << mixedShapes << 300 << 250;
    QTest::newRow("every row deleted: one empty row") << QStringList{"d", "dd", "ddd"} << 300 << 1;
    // Enough glyphs that a rebuild frees the old ones in the background.
    QTest::newRow("many traces") << mixedShapes << 3000 << 2500;
}

// The visible rules rewrite the rows in parts as they do on one thread:
// same items, same rows dropped, same match counts.
void ParallelRebuildTest::rulesInParts()
{
    QFETCH(QStringList, shapes);
    QFETCH(int, traces);
    QFETCH(int, rows);

    addRules(*fixture);
    const Events events(shapes, traces);
    const auto alone = build(*fixture, events, false, false);
    const QMap<QString, int> aloneCounts = sorted(fixture->store()->ruleCounts);
    const auto parts = build(*fixture, events, false, true);
    const QMap<QString, int> partsCounts = sorted(fixture->store()->ruleCounts);

    QCOMPARE(alone->rows.size(), rows);
    QCOMPARE(rowsDump(*parts), rowsDump(*alone));
    QCOMPARE(partsCounts, aloneCounts);
    {
        Restore<int> marks(BinCell::parallelMarks, 1);
        parts->buildData(false);
    }
    QCOMPARE(rowsDump(*parts), rowsDump(*alone));
    QVERIFY(!aloneCounts.contains(QStringLiteral("hidden")));
    QVERIFY(aloneCounts.value(QStringLiteral("drop")) > 0);
    if (rows == 1) {
        QVERIFY(parts->rows.first().isEmpty());
    } else {
        QCOMPARE(aloneCounts.keys(), QStringList({"A", "AA", "C", "drop"}));
        QVERIFY(rowsDump(*alone).join(QString()).contains(QStringLiteral("21AA '2' n2 [20A]")));
    }
}

void ParallelRebuildTest::chainedRules_data()
{
    QTest::addColumn<QString>("shape");
    QTest::addColumn<QString>("rows");

    QTest::newRow("A and B into AB") << "abab" << "AB[]2 AB[]2";
    QTest::newRow("a lone A into A2") << "aabbcc" << "A2[] AB[]2 B[Gray] CC[]2";
    QTest::newRow("B then A stay apart") << "bca" << "B[Gray] CC[] A2[]";
    QTest::newRow("d's gone") << "dcd" << "CC[]";
    QTest::newRow("E into X") << "ecce" << "X[] CC[]2 X[]";
    QTest::newRow("every event deleted: one empty row") << "dd" << "";
}

// Rules apply in their order, each to what the rules before it left,
// whether rules of single items are applied together or one by one.
void ParallelRebuildTest::chainedRules()
{
    QFETCH(QString, shape);
    QFETCH(QString, rows);

    addChainedRules(*fixture);
    const Events events({shape}, 1);
    for (bool together : {true, false}) {
        Restore<bool> applied(BinCell::rulesTogether, together);
        QCOMPARE(chainText(*build(*fixture, events, false, false)), rows);
    }
}

void ParallelRebuildTest::rulesTogetherAsAlone_data()
{
    QTest::addColumn<bool>("parts");
    QTest::newRow("one thread") << false;
    QTest::newRow("in parts") << true;
}

// Over many rows, the rules of single items applied together give the
// rows, counts and lines of every rule applied alone; no line per position.
void ParallelRebuildTest::rulesTogetherAsAlone()
{
    QFETCH(bool, parts);

    addChainedRules(*fixture);
    const Events events(chainedShapes, 660);
    QList<QStringList> dumps;
    QList<QMap<QString, int>> counts;
    QList<int> several;
    for (bool together : {true, false}) {
        Restore<bool> applied(BinCell::rulesTogether, together);
        capture->clear();
        const auto cell = build(*fixture, events, false, parts);
        dumps << rowsDump(*cell);
        counts << sorted(fixture->store()->ruleCounts);
        several << capture->count(QStringLiteral("nfa detected"));
        QVERIFY(capture->lines().filter(QRegularExpression(QStringLiteral("^matching"))).isEmpty());
    }
    QCOMPARE(dumps.at(0), dumps.at(1));
    QCOMPARE(counts.at(0), counts.at(1));
    QCOMPARE(counts.at(0).value(QStringLiteral("anyC")), 300);
    // "nfa detected" once for each row of an e (its E holds for both
    // choices); rules applied alone on several threads share one flag.
    QCOMPARE(several.at(0), 180);
    if (!parts)
        QCOMPARE(several.at(1), 180);
}

void ParallelRebuildTest::stackingInParts_data()
{
    QTest::addColumn<QStringList>("shapes");
    QTest::addColumn<int>("traces");
    QTest::addColumn<bool>("multi");

    QTest::newRow("multi-match on") << mixedShapes << 400 << true;
    QTest::newRow("multi-match off") << mixedShapes << 400 << false;
    QTest::newRow("every row deleted") << QStringList{"d", "dd"} << 400 << true;
    // The rows before stacking freed in the background.
    QTest::newRow("many traces") << mixedShapes << 3000 << true;
}

// Equal rows stack in parts as they do on one thread: same rows, counts,
// labels ("*" where the stacked counts differ), selected counts, and the
// time spans that decide what a time window shows.
void ParallelRebuildTest::stackingInParts()
{
    QFETCH(QStringList, shapes);
    QFETCH(int, traces);
    QFETCH(bool, multi);

    Restore<bool> multiMatch(showMulti, multi);
    addRules(*fixture);
    // One trace of many c's in a row of its own: an item of many events
    // whose span stacking did not work out.
    Events events(shapes, traces);
    if (shapes.size() > 2)
        events.traces.append(trace(traces, QString(20, QLatin1Char('c')) + QStringLiteral("bb"), 50.0));
    const auto alone = build(*fixture, events, true, false);
    const auto parts = build(*fixture, events, true, true);

    QCOMPARE(rowsDump(*parts), rowsDump(*alone));
    QCOMPARE(sorted(parts->stackCounts), sorted(alone->stackCounts));
    QCOMPARE(capture->count(QStringLiteral("invalid conversations stackmap")), 0);
    if (shapes.size() > 2)
        QVERIFY(rowsDump(*alone).join(QString()).contains(QStringLiteral("22C '*'")));
    else
        QCOMPARE(rowsDump(*alone), QStringList{QStringLiteral("x1: ")});

    // Windows inside a band, across bands, between events, outside them all.
    const QList<QPair<double, double>> windows{{0, 1e9},    {1000, 1100}, {2150, 2160}, {3000, 6000},
                                               {9500, 9600}, {60, 60},     {20000, 30000}};
    for (BinCell* cell : {alone.get(), parts.get()}) {
        cell->resizeWidget(400, 300);
        for (const auto& window : windows) {
            cell->timeFrom = window.first;
            cell->timeTo = window.second;
            cell->layoutItems(true, false);
            QString shown;
            QString expected;
            for (const BinItem* item : cell->items()) {
                double lo = std::numeric_limits<double>::infinity();
                double hi = -lo;
                for (const PacketPtr& p : item->packets) {
                    lo = std::min(lo, p->get(TIME).toDouble());
                    hi = std::max(hi, p->get(TIME).toDouble());
                }
                expected += item->packets.isEmpty() || (lo <= window.second && hi >= window.first) ? '1' : '0';
                shown += item->visible ? '1' : '0';
            }
            QVERIFY2(shown == expected, qPrintable(QStringLiteral("%1 - %2: %3 instead of %4")
                                                       .arg(window.first)
                                                       .arg(window.second)
                                                       .arg(shown, expected)));
        }
    }
}

void ParallelRebuildTest::eventGroupingInParts_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("titles");

    QTest::newRow("by kind") << "kind" << 0 << QStringList{"a", "b", "c", "x", "y"};
    QTest::newRow("by kind, one trace of all events") << "kind" << 2 << QStringList{"a", "b", "c", "x", "y"};
    QTest::newRow("by source, the rest Unknown") << "ip.src" << 0 << QStringList{"h1", "h2", "Unknown"};
}

// Grouped by an event attribute, the matrix files the events into the same
// tiles and traces, and builds the same rows, in parts as on one thread.
void ParallelRebuildTest::eventGroupingInParts()
{
    QFETCH(QString, attribute);
    QFETCH(int, mode);
    QFETCH(QStringList, titles);

    matrixfixture::Matrix m(groupedTraces(), true);
    m.view->conversationMode = mode;
    m.options->eventAxisBox->setCurrentText(attribute);

    QList<QStringList> tiles;
    QList<int> outside;
    for (bool parts : {false, true}) {
        Restore<int> marks(BinCell::parallelMarks, marksFor(parts));
        DebugCapture reload;
        reload.setForward(false);
        m.view->reload();
        QStringList tile;
        for (const BinCell* cell : m.view->cells)
            tile << cell->header.title + QLatin1Char(':') + tracesText(*cell).join(QLatin1Char(';'))
                 << rowsDump(*cell);
        tiles << tile;
        outside << reload.count(QStringLiteral("interesting bin -1"));
    }
    QCOMPARE(m.cellTitles(), titles);
    QCOMPARE(tiles.at(1), tiles.at(0));
    QCOMPARE(outside.at(1), outside.at(0));
    QCOMPARE(outside.at(0), titles.contains(QStringLiteral("Unknown")) ? 1 : 0);
}

void ParallelRebuildTest::rebuildOverOldGlyphs_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("reselect");
    QTest::addColumn<bool>("parts");

    // "plain": no rule visible; "rules": the rules as added; "no A": the
    // rules but A; "stacked": the rules, the rows stacked.
    const QList<QStringList> changes{{"plain", "rules"},   {"rules", "plain"}, {"rules", "no A"},
                                     {"no A", "rules"},    {"stacked", "rules"}, {"rules", "stacked"},
                                     {"rules", "rules"}};
    for (bool parts : {false, true}) {
        for (const QStringList& change : changes)
            QTest::newRow(qPrintable(QStringLiteral("%1 after %2%3")
                                         .arg(change.at(1), change.at(0), parts ? QStringLiteral(", in parts")
                                                                                : QString())))
                << change.at(0) << change.at(1) << false << parts;
        QTest::newRow(parts ? "another selection, in parts" : "another selection")
            << "rules" << "rules" << true << parts;
    }
}

// A rebuild makes its glyphs of those of the rows it replaces: the rows,
// marks and counts are those of a tile built afresh, and a glyph keeps no
// room for stacked glyphs it does not hold.
void ParallelRebuildTest::rebuildOverOldGlyphs()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(bool, reselect);
    QFETCH(bool, parts);

    addRules(*fixture);
    const auto show = [this](const QString& state) {
        for (Rule& rule : fixture->store()->rules.items)
            rule.visible = state != QLatin1String("plain") && rule.name != QLatin1String("hidden")
                           && !(state == QLatin1String("no A") && rule.name == QLatin1String("A"));
    };
    Events events(mixedShapes, 600);
    show(before);
    const auto rebuilt = build(*fixture, events, before == QLatin1String("stacked"), parts);
    if (reselect) {
        events.selected.clear();
        for (int t = 1; t < events.traces.size(); t += 4)
            for (const PacketPtr& p : events.traces[t])
                events.selected.insert(p);
    }
    show(after);
    {
        Restore<int> marks(BinCell::parallelMarks, marksFor(parts));
        fixture->store()->ruleCounts.clear();
        rebuilt->stacked = after == QLatin1String("stacked");
        rebuilt->selectedPackets = events.selected;
        rebuilt->buildData(false);
    }
    const QMap<QString, int> counts = sorted(fixture->store()->ruleCounts);
    const auto fresh = build(*fixture, events, after == QLatin1String("stacked"), parts);

    QCOMPARE(rowsDump(*rebuilt), rowsDump(*fresh));
    QCOMPARE(counts, sorted(fixture->store()->ruleCounts));
    QCOMPARE(sorted(rebuilt->stackCounts), sorted(fresh->stackCounts));
    for (const BinItem* item : rebuilt->items())
        QVERIFY(!item->children.isEmpty() || item->children.items.capacity() == 0);
}

void ParallelRebuildTest::regroupOverOldGlyphs_data()
{
    QTest::addColumn<QStringList>("groupings");   // event attributes in turn
    QTest::addColumn<bool>("parts");

    for (bool parts : {false, true}) {
        const QString where = parts ? QStringLiteral(", in parts") : QString();
        QTest::newRow(qPrintable(QStringLiteral("by kind after none") + where)) << QStringList{"kind"} << parts;
        QTest::newRow(qPrintable(QStringLiteral("by source after kind") + where))
            << QStringList{"kind", "ip.src"} << parts;
        QTest::newRow(qPrintable(QStringLiteral("none after kind") + where)) << QStringList{"kind", "none"} << parts;
    }
}

// Grouped anew, the matrix's new tiles make their glyphs of the old tiles'
// ones: each tile's rows are those of a tile of its traces built afresh.
void ParallelRebuildTest::regroupOverOldGlyphs()
{
    QFETCH(QStringList, groupings);
    QFETCH(bool, parts);

    matrixfixture::Matrix m(groupedTraces(), true);
    Restore<int> marks(BinCell::parallelMarks, marksFor(parts));
    for (const QString& grouping : groupings)
        m.options->eventAxisBox->setCurrentText(grouping);
    QVERIFY(m.view->cells.size() > 1 || groupings.last() == QLatin1String("none"));
    for (BinCell* cell : m.view->cells) {
        BinCell fresh(m.control.get(), nullptr, cell->header.title, nullptr);
        for (const TList<PacketPtr>& events : cell->conversations)
            fresh.addPackets(events);
        fresh.buildData(false);
        QStringList built = rowsDump(*cell);
        QStringList expected = rowsDump(fresh);
        built.sort();
        expected.sort();
        QCOMPARE(built, expected);
    }
}

LUMIVANE_TEST(ParallelRebuildTest)
#include "ParallelRebuildTest.moc"
