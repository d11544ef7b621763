#include "TestRegistry.h"

#include "DebugCapture.h"
#include "Restore.h"
#include "items/BinItem.h"
#include "views/events/EventWidget.h"
#include "core/ThreadStarter.h"
#include "views/events/GNode.h"
#include "views/events/LinkageMatrix.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

#include <functional>
#include <limits>
#include <memory>
#include <vector>

namespace {

// Owns the glyphs of a test; "X" is a glyph named X, "X+Y" one named X with
// a stacked child named Y.
class Glyphs
{
public:
    BinItem* get(const QString& glyphText)
    {
        auto item = std::make_unique<BinItem>(nullptr, nullptr);
        const QStringList parts = glyphText.split(QLatin1Char('+'));
        item->name = parts.first();
        item->label = QStringLiteral("label of ") + parts.first();
        for (int k = 1; k < parts.size(); ++k) {
            BinItem child(nullptr, nullptr);
            child.name = parts.at(k);
            item->children.append(child);
        }
        owned.push_back(std::move(item));
        return owned.back().get();
    }

    TList<BinItem*> sequence(const QString& glyphTexts)
    {
        TList<BinItem*> seq;
        for (const QString& glyphText : glyphTexts.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            seq.append(get(glyphText));
        return seq;
    }

private:
    std::vector<std::unique_ptr<BinItem>> owned;
};

// The tree as text: a leaf is its item, an inner node "(left right)@height#id".
QString shape(const GNode<int>* node)
{
    if (!node)
        return QStringLiteral("null");
    if (node->children.isEmpty())
        return QString::number(node->items.at(0)) + QLatin1Char('#') + QString::number(node->id);
    QStringList parts;
    for (const GNode<int>* child : node->children)
        parts << shape(child);
    return QLatin1Char('(') + parts.join(QLatin1Char(' ')) + QStringLiteral(")@")
           + QString::number(node->height, 'g', 17) + QLatin1Char('#') + QString::number(node->id);
}

QList<int> leafOrder(const GNode<int>* node) { return node->items.toQList(); }

// The clustering as first described: a table that shrinks as clusters merge.
// Slow and plain, the yardstick for the real one.
GNode<int>* plainClustering(const TList<TList<BinItem*>>& sequences, QList<int> ids)
{
    const int n = ids.size();
    if (n == 0)
        return nullptr;
    QHash<int, int> positionOf;
    for (int p = 0; p < n; ++p)
        positionOf.insert(ids.at(p), p);
    QList<int> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::vector<double>> d(std::size_t(n), std::vector<double>(std::size_t(n), 0.0));
    for (int i = 0; i < n; ++i)
        for (int j = i; j < n; ++j)
            d[i][j] = d[j][i] = EventWidget::sequenceDistance(
                sequences.at(positionOf.value(sorted.at(i))),
                sequences.at(positionOf.value(sorted.at(j))));
    const double none = std::numeric_limits<double>::max();
    std::vector<double> nd(std::size_t(n), none);
    std::vector<int> ni(std::size_t(n), -1);
    std::vector<GNode<int>*> nodes;
    int nextId = 0;
    for (int id : sorted) {
        auto* leaf = new GNode<int>;
        leaf->items.append(id);
        leaf->id = nextId++;
        nodes.push_back(leaf);
    }
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            if (c != r && d[r][c] < nd[r]) {
                nd[r] = d[r][c];
                ni[r] = c;
            }
    while (nodes.size() > 1) {
        const int m = int(nodes.size());
        int a = 0;
        for (int k = 1; k < m; ++k)
            if (nd[k] < nd[a])
                a = k;
        const int b = ni[a];
        auto* node = new GNode<int>;
        node->items = nodes[a]->items;
        node->items.append(nodes[b]->items);
        node->children.append(nodes[a]);
        node->children.append(nodes[b]);
        node->height = nd[a];
        node->id = nextId++;
        for (int k = 0; k < m; ++k)
            d[a][k] = std::min(d[a][k], d[b][k]);
        d.erase(d.begin() + b);
        for (auto& row : d) {
            row[a] = std::min(row[a], row[b]);
            row.erase(row.begin() + b);
        }
        nodes[a] = node;
        nodes.erase(nodes.begin() + b);
        nd.erase(nd.begin() + b);
        ni.erase(ni.begin() + b);
        nd[a] = none;
        ni[a] = -1;
        for (int k = 0; k < m - 1; ++k)
            if (k != a && d[k][a] < nd[a]) {
                nd[a] = d[k][a];
                ni[a] = k;
            }
        for (int k = 0; k < m - 1; ++k) {
            if (k == a)
                continue;
            if (ni[k] == b)
                ni[k] = a;
            else if (ni[k] > b)
                --ni[k];
        }
    }
    return nodes.front();
}

// n texts of 3 to 8 glyphs over six names, some with stacked children;
// all the same text with `same`.
QStringList randomTexts(int n, quint32 seed, const QString& same = QString())
{
    QRandomGenerator random(seed);
    const QStringList names{"a", "b", "a+b", "b+c", "c+a+b", "d"};
    QStringList texts;
    for (int k = 0; k < n; ++k) {
        QStringList seq;
        for (int i = random.bounded(3, 9); i > 0; --i)
            seq << names.at(random.bounded(names.size()));
        texts << (same.isNull() ? seq.join(QLatin1Char(' ')) : same);
    }
    return texts;
}

struct MultiFlag
{
    explicit MultiFlag(bool on) : saved(showMulti) { showMulti = on; }
    ~MultiFlag() { showMulti = saved; }
    bool saved;
};

} // namespace

class ClusteringTest : public QObject
{
    Q_OBJECT

private slots:
    void goldenTree();
    void equalDistancesLeanLeft();
    void leavesAreSortedIds();
    void repeatedIdKeepsLastPosition();
    void noIdsOneId();
    void sequenceDistance_data();
    void sequenceDistance();
    void eachPairOnce();
    void progressLines();
    void matchesPlainClustering_data();
    void matchesPlainClustering();
    void mergeIntoLaterPosition();
    void sameTreeOnHelpersAndWithReports_data();
    void sameTreeOnHelpersAndWithReports();
    void stopsWhereAsked_data();
    void stopsWhereAsked();
};

void ClusteringTest::goldenTree()
{
    // With multi-match on, {X} against {X, Y} adds 0.5 and {X} against {Y}
    // adds 1, so these three sequences are at d(0,1) = 1, d(0,2) = 4 and
    // d(1,2) = 2, each pair measured from the lower leaf.
    MultiFlag multi(true);
    Glyphs g;
    TList<TList<BinItem*>> seqs{g.sequence("X X X X"), g.sequence("X+Y X+Y X X"),
                                g.sequence("Y Y Y Y")};
    QCOMPARE(EventWidget::sequenceDistance(seqs[0], seqs[1]), 1.0);
    QCOMPARE(EventWidget::sequenceDistance(seqs[0], seqs[2]), 4.0);
    QCOMPARE(EventWidget::sequenceDistance(seqs[1], seqs[2]), 2.0);

    std::unique_ptr<GNode<int>> root(
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, {0, 1, 2}));
    QCOMPARE(shape(root.get()), QStringLiteral("((0#0 1#1)@1#3 2#2)@2#4"));
    QCOMPARE(leafOrder(root.get()), QList<int>({0, 1, 2}));
}

void ClusteringTest::equalDistancesLeanLeft()
{
    Glyphs g;
    TList<TList<BinItem*>> seqs;
    for (int k = 0; k < 4; ++k)
        seqs.append(g.sequence("a b"));
    std::unique_ptr<GNode<int>> root(
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, {0, 1, 2, 3}));
    QCOMPARE(shape(root.get()), QStringLiteral("(((0#0 1#1)@0#4 2#2)@0#5 3#3)@0#6"));
}

void ClusteringTest::leavesAreSortedIds()
{
    Glyphs g;
    TList<TList<BinItem*>> seqs{g.sequence("a"), g.sequence("a"), g.sequence("a")};
    std::unique_ptr<GNode<int>> root(
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, {7, 3, 5}));
    QCOMPARE(leafOrder(root.get()), QList<int>({3, 5, 7}));
    QCOMPARE(shape(root.get()), QStringLiteral("((3#0 5#1)@0#3 7#2)@0#4"));
}

void ClusteringTest::repeatedIdKeepsLastPosition()
{
    // Both leaves with id 5 stand for the sequence at position 1.
    Glyphs g;
    TList<TList<BinItem*>> seqs{g.sequence("a a a"), g.sequence("b b b"), g.sequence("b b b")};
    std::unique_ptr<GNode<int>> root(
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, {5, 5, 9}));
    QCOMPARE(shape(root.get()), QStringLiteral("((5#0 5#1)@0#3 9#2)@0#4"));
}

void ClusteringTest::noIdsOneId()
{
    Glyphs g;
    TList<TList<BinItem*>> seqs{g.sequence("a b")};
    QVERIFY(!EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, {}));
    std::unique_ptr<GNode<int>> leaf(
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, {42}));
    QVERIFY(leaf);
    QVERIFY(leaf->children.isEmpty());
    QCOMPARE(leaf->items.toQList(), QList<int>({42}));
    QCOMPARE(leaf->id, 0);
    QCOMPARE(leaf->height, 0.0);
    // An empty sequence among others is a sequence of length 0.
    TList<TList<BinItem*>> withEmpty{g.sequence(""), g.sequence("a b c")};
    std::unique_ptr<GNode<int>> root(
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), withEmpty, {0, 1}));
    QCOMPARE(shape(root.get()), QStringLiteral("(0#0 1#1)@3#2"));
}

void ClusteringTest::sequenceDistance_data()
{
    QTest::addColumn<bool>("multi");
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<double>("distance");
    QTest::newRow("equal") << false << "a b c" << "a b c" << 0.0;
    QTest::newRow("names, not labels") << false << "a b" << "a c" << 1.0;
    QTest::newRow("common part equal: length difference") << false << "a b" << "a b c d" << 2.0;
    QTest::newRow("mismatch and length") << false << "a x c" << "a b" << 2.0;
    QTest::newRow("both empty") << false << "" << "" << 0.0;
    QTest::newRow("children ignored without multi-match") << false << "a+X" << "a+Y" << 0.0;
    QTest::newRow("{X,Y} against {X}") << true << "X+Y" << "X" << 0.0;
    QTest::newRow("{X} against {X,Y}") << true << "X" << "X+Y" << 0.5;
    QTest::newRow("{X} against {X,Y,Z} and length") << true << "X" << "X+Y+Z a" << 1.0 + 2.0 / 3.0;
    QTest::newRow("child repeating the name") << true << "X" << "X+X" << 0.0;
    QTest::newRow("disjoint sets") << true << "X+Y" << "Z+W" << 1.0;
}

void ClusteringTest::sequenceDistance()
{
    QFETCH(bool, multi);
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(double, distance);
    MultiFlag flag(multi);
    Glyphs g;
    QCOMPARE(EventWidget::sequenceDistance(g.sequence(a), g.sequence(b)), distance);
    // The clustering measures the same distance (the one pair's height).
    TList<TList<BinItem*>> seqs{g.sequence(a), g.sequence(b)};
    std::unique_ptr<GNode<int>> root(
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, {0, 1}));
    QCOMPARE(root->height, distance);
}

void ClusteringTest::eachPairOnce()
{
    Glyphs g;
    TList<TList<BinItem*>> seqs;
    QList<int> ids;
    for (int k = 0; k < 7; ++k) {
        seqs.append(g.sequence(QStringLiteral("a b c").left(k % 5)));
        ids.append(k);
    }
    const quint64 before = EventWidget::sequenceDistanceCount();
    std::unique_ptr<GNode<int>> root(
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, ids));
    QCOMPARE(EventWidget::sequenceDistanceCount() - before, quint64(7 * 8 / 2));
}

void ClusteringTest::progressLines()
{
    Glyphs g;
    TList<TList<BinItem*>> seqs;
    QList<int> ids;
    for (int k = 0; k < 501; ++k) {
        seqs.append(g.sequence(k % 2 ? QStringLiteral("a b") : QStringLiteral("a c")));
        ids.append(k);
    }
    DebugCapture capture;
    capture.setForward(false);
    std::unique_ptr<GNode<int>> root(
        EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, ids));
    QCOMPARE(capture.lines(), QStringList({QStringLiteral("0 distance  501"),
                                           QStringLiteral("500 distance  501"),
                                           QStringLiteral("merging")}));
    QCOMPARE(root->items.size(), 501);
    QCOMPARE(root->id, 1000);
}

void ClusteringTest::matchesPlainClustering_data()
{
    QTest::addColumn<bool>("multi");
    QTest::newRow("names") << false;
    QTest::newRow("multi-match") << true;
}

void ClusteringTest::matchesPlainClustering()
{
    // Few names and short sequences: many equal distances, so the
    // tie-breaks decide most merges.
    QFETCH(bool, multi);
    MultiFlag flag(multi);
    QRandomGenerator random(multi ? 11 : 7);
    const QStringList glyphTexts{"a", "b", "c", "a+b", "b+a", "c+a+b"};
    DebugCapture capture;
    capture.setForward(false);
    for (int round = 0; round < 150; ++round) {
        Glyphs g;
        const int n = random.bounded(1, 25);
        TList<TList<BinItem*>> seqs;
        QList<int> ids;
        for (int k = 0; k < n; ++k) {
            QStringList seq;
            const int len = random.bounded(0, 6);
            for (int i = 0; i < len; ++i)
                seq << glyphTexts.at(random.bounded(glyphTexts.size()));
            seqs.append(g.sequence(seq.join(QLatin1Char(' '))));
            ids.append(random.bounded(0, 40));
        }
        std::unique_ptr<GNode<int>> fast(
            EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, ids));
        std::unique_ptr<GNode<int>> plain(plainClustering(seqs, ids));
        QCOMPARE(shape(fast.get()), shape(plain.get()));
        QCOMPARE(leafOrder(fast.get()), leafOrder(plain.get()));
        capture.clear();
    }
}

void ClusteringTest::mergeIntoLaterPosition()
{
    // A merge whose first cluster stands after the second: the new node
    // takes the first's place, which moves down with the removal.
    TList<double> table{0, 5, 1, 5, 0, 3, 1, 3, 0};
    LinkageMatrix matrix({10, 20, 30}, table);
    QCOMPARE(matrix.nearestIndex.toQList(), QList<int>({2, 2, 0}));
    matrix.merge(2, 0);
    QCOMPARE(matrix.size(), 2);
    QCOMPARE(matrix.nodes[1]->items.toQList(), QList<int>({30, 10}));
    QCOMPARE(matrix.nodes[1]->height, 1.0);
    QCOMPARE(matrix.distance(0, 1), 3.0);
    QCOMPARE(matrix.nearestIndex.toQList(), QList<int>({1, 0}));
    QCOMPARE(matrix.nearestDistance[1], 3.0);
    delete matrix.nodes[0];
    delete matrix.nodes[1];
}

void ClusteringTest::sameTreeOnHelpersAndWithReports_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QList<int>>("ids");   // empty: 0 .. n - 1
    QTest::addColumn<bool>("multi");
    QList<int> repeated;
    for (int k = 0; k < 150; ++k)
        repeated << (k * 7) % 90;
    QTest::newRow("no ids") << QStringList() << QList<int>() << false;
    QTest::newRow("one id") << QStringList{"a b"} << QList<int>() << false;
    QTest::newRow("two ids") << QStringList{"a b c", "a c"} << QList<int>{9, 4} << false;
    QTest::newRow("all distances equal") << randomTexts(70, 1, "a b") << QList<int>() << false;
    QTest::newRow("repeated ids") << randomTexts(150, 3) << repeated << false;
    QTest::newRow("empty sequences among others")
        << randomTexts(40, 2, QStringLiteral("")) + randomTexts(60, 4) << QList<int>() << false;
    QTest::newRow("tiles, the last one cut") << randomTexts(300, 5) << QList<int>() << false;
    QTest::newRow("multi-match") << randomTexts(200, 6) << QList<int>() << true;
}

// Helper threads and reports change nothing in the tree, nor in the
// distances counted; the reports count up to the merges. Neither do
// helpers that the system refuses to start.
void ClusteringTest::sameTreeOnHelpersAndWithReports()
{
    QFETCH(QStringList, texts);
    QFETCH(QList<int>, ids);
    QFETCH(bool, multi);
    MultiFlag flag(multi);
    DebugCapture capture;
    capture.setForward(false);
    Glyphs g;
    TList<TList<BinItem*>> seqs;
    for (const QString& text : texts)
        seqs.append(g.sequence(text));
    for (int k = 0; ids.size() < texts.size(); ++k)
        ids << k;
    const int n = ids.size();
    std::unique_ptr<GNode<int>> plain(plainClustering(seqs, ids));
    for (const int mode : {0, 1, 2, 3, 5, 7}) {
        const bool helpers = mode & 1;
        Restore<int> parallel(EventWidget::parallelClustering, helpers ? 1 : std::numeric_limits<int>::max());
        ThreadStarter::refuseNext(mode & 4 ? 1000 : 0);
        QList<int> done;
        std::function<bool(int, int)> progress;
        if (mode & 2)
            progress = [&](int d, int total) {
                done << d;
                return total == 2 * n - 1 && d <= total;
            };
        const quint64 before = EventWidget::sequenceDistanceCount();
        std::unique_ptr<GNode<int>> root(
            EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, ids, progress));
        ThreadStarter::refuseNext(0);
        QVERIFY2(shape(root.get()) == shape(plain.get()), qPrintable(QString::number(mode)));
        QCOMPARE(EventWidget::sequenceDistanceCount() - before, quint64(n) * quint64(n + 1) / 2);
        QVERIFY(std::is_sorted(done.begin(), done.end()));
        // On helpers the first report comes at once.
        if (mode < 4)
            QCOMPARE(!done.isEmpty() && done.first() == 0, mode == 3 && n > 0);
    }
}

void ClusteringTest::stopsWhereAsked_data()
{
    QTest::addColumn<bool>("helpers");
    QTest::addColumn<bool>("merging");   // else in the distance table
    QTest::newRow("table, one thread") << false << false;
    QTest::newRow("table, helpers") << true << false;
    QTest::newRow("merging, one thread") << false << true;
    QTest::newRow("merging, helpers") << true << true;
}

// A report saying stop ends the clustering there: the helpers end the tile
// they are in, nothing more is reported and all that was built is freed
// (the sanitizer runs see to that). A throwing report is the alignment's.
void ClusteringTest::stopsWhereAsked()
{
    QFETCH(bool, helpers);
    QFETCH(bool, merging);
    DebugCapture capture;
    capture.setForward(false);
    Restore<int> parallel(EventWidget::parallelClustering, helpers ? 1 : std::numeric_limits<int>::max());
    // Enough pairs that the helpers are still at the table when the stop
    // is seen, also on a busy machine.
    const int n = 3000;
    Glyphs g;
    TList<TList<BinItem*>> seqs;
    QList<int> ids;
    for (const QString& text : randomTexts(n, 8)) {
        seqs.append(g.sequence(text));
        ids << ids.size();
    }
    const quint64 table = quint64(n) * quint64(n + 1) / 2;
    const quint64 before = EventWidget::sequenceDistanceCount();
    int after = 0;
    bool stopped = false;
    auto progress = [&](int done, int) {
        if (stopped)
            return ++after, false;
        if (merging)
            return !(stopped = done > n);
        // On helpers the first reports come before the tiles: wait a little
        // for the helpers to be under way in them.
        QElapsedTimer waited;
        waited.start();
        while (EventWidget::sequenceDistanceCount() == before && waited.elapsed() < 200)
            QThread::usleep(200);
        return !(stopped = EventWidget::sequenceDistanceCount() > before && done < n);
    };
    QVERIFY(!EventWidget::hierarchicalClustering(QStringLiteral("Eucledian"), seqs, ids, progress));
    QVERIFY(stopped);
    QCOMPARE(after, 0);
    const quint64 computed = EventWidget::sequenceDistanceCount() - before;
    QVERIFY2(merging ? computed == table : computed < table / 2, qPrintable(QString::number(computed)));
}

LUMIVANE_TEST(ClusteringTest)
#include "ClusteringTest.moc"
