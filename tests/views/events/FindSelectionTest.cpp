#include "DebugCapture.h"
#include "MatrixFixture.h"
#include "ReferenceMatcher.h"
#include "Restore.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "app/TextInputWidget.h"
#include "events/FindEvent.h"
#include "events/PacketsEvent.h"
#include "patterns/Automaton.h"
#include "patterns/RuleMatcher.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

#include <limits>
#include <memory>

using namespace matrixfixture;

namespace {

// Traces of every length in two groups of ip.src and none, over the kinds
// that the rules turn into X, Y and AB; the last holds a run of x and y
// longer than the search's step budget, then a c.
QList<Trace> traces()
{
    QList<Trace> out;
    const QStringList shapes{"xyxabx", "abxxc", "c", "xx", "yxy", "xaby", "cxc", "abab", "y", "xyyx"};
    for (int i = 0; i < 60; ++i) {
        const QString source = i % 3 == 0 ? QString() : (i % 3 == 1 ? QStringLiteral("h1") : QStringLiteral("h2"));
        out.append(Trace{i + 1, shapes.at(i % shapes.size()), source});
    }
    QString run;
    for (int i = 0; i < 1100; ++i)
        run += i % 3 == 2 ? QLatin1Char('y') : QLatin1Char('x');
    out.append(Trace{61, run + QStringLiteral("c"), QStringLiteral("h2")});
    return out;
}

ParseNode* node(int type, std::initializer_list<ParseNode*> children)
{
    auto* made = new ParseNode(type);
    for (ParseNode* child : children)
        made->addChild(child);
    return made;
}

// A glyph leaf named `name` whose events must have the ip.src of the
// variable ?h (the first such test binds it).
ParseNode* sameSource(const QString& name)
{
    ParseNode* leaf = cellfixture::kindLeaf(QStringLiteral("?h"), name);
    leaf->glyph.condition->name = QStringLiteral("ip.src");
    leaf->glyph.condition->isVariable = true;
    return leaf;
}

ParseNode* pattern(const QString& name)
{
    using namespace cellfixture;
    if (name == QLatin1String("kind condition"))
        return sequence({kindLeaf(QStringLiteral("x"))});
    if (name == QLatin1String("negation, star and alternation"))
        return sequence({node(ParseNode::Not, {nameLeaf(QStringLiteral("Y"))}),
                         node(ParseNode::Star, {node(ParseNode::Or, {nameLeaf(QStringLiteral("X")),
                                                                     nameLeaf(QStringLiteral("AB"))})}),
                         nameLeaf(QStringLiteral("X"))});
    if (name == QLatin1String("runs beyond the step budget"))
        return sequence({node(ParseNode::Star, {node(ParseNode::Or, {nameLeaf(QStringLiteral("X")),
                                                                     nameLeaf(QStringLiteral("Y"))})}),
                         kindLeaf(QStringLiteral("c"))});
    if (name == QLatin1String("variable"))
        return sequence({sameSource(QStringLiteral("WildCard")), sameSource(QStringLiteral("X"))});
    return nullptr;
}

// What one find selected and announced.
struct Found
{
    QList<const Packet*> sent;          // the packets event's list
    QList<const Packet*> sentSet;       // its set, in its order
    QList<const Packet*> selected;      // the view's set, in its order
    QList<const BinItem*> glyphs;       // the selected glyphs, in the set's order
    QList<QList<const BinItem*>> sequences;
    QList<QPair<int, int>> marks;       // selected flag and count of every glyph
    QList<int> attribute;               // the new attribute over the events
    QString status;
    int announced = 0;
};

// The find of `tree` over the matrix as it was made before the rows were
// shared out: the search of every row in turn, tile by tile, the matches'
// glyphs and events taken in that order.
Found expectedFind(const Matrix& m, ParseNode* tree, bool traces, bool shortest)
{
    Found found;
    RuleMatcher matcher(m.control.get());
    QHash<const Packet*, int> ordinals;
    QSet<const Packet*> seen;
    QSet<const BinItem*> seenGlyphs;
    int ordinal = 0;
    for (const BinCell* cell : m.view->cells) {
        std::unique_ptr<Automaton> automaton(Automaton::build(tree));
        for (const TList<BinItem*>& row : cell->rows) {
            const TList<TList<BinItem*>> matches =
                referencematcher::findMatches(matcher, automaton.get(), row, shortest, traces);
            QList<const BinItem*> sequence;
            for (const TList<BinItem*>& match : matches) {
                for (const BinItem* glyph : match) {
                    sequence.append(glyph);
                    if (!seenGlyphs.contains(glyph)) {
                        seenGlyphs.insert(glyph);
                        found.glyphs.append(glyph);
                    }
                    for (const PacketPtr& p : glyph->packets) {
                        ordinals.insert(p.data(), ordinal);
                        found.sent.append(p.data());
                        if (!seen.contains(p.data())) {
                            seen.insert(p.data());
                            found.selected.append(p.data());
                        }
                    }
                }
                ++ordinal;
            }
            if (!sequence.isEmpty())
                found.sequences.append(sequence);
        }
    }
    found.sentSet = found.selected;
    for (const BinCell* cell : m.view->cells)
        for (const TList<BinItem*>& row : cell->rows)
            for (const BinItem* item : row)
                found.marks.append(seenGlyphs.contains(item) ? qMakePair(1, item->totalCount) : qMakePair(0, 0));
    for (const PacketPtr& p : m.context->packets)
        found.attribute.append(ordinals.value(p.data(), ordinal + 1));
    found.announced = 1;
    return found;
}

// Answers the next name dialog with `name`.
void nameAttribute(const QString& name)
{
    QTimer::singleShot(0, [name]() {
        auto* dialog = qobject_cast<TextInputWidget*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->nameEdit->setText(name);
        dialog->accept();
    });
}

Found runFind(Matrix& m, ParseNode* tree, bool traces, bool shortest, const QString& attribute)
{
    Found found;
    EventCounter announcements(PACKETSEVENT);
    announcements.onEvent = [&found](QEvent* e) {
        auto* pe = static_cast<PacketsEvent*>(e);
        ++found.announced;
        found.sent.clear();
        for (const PacketPtr& p : pe->packets)
            found.sent.append(p.data());
        found.sentSet.clear();
        for (const PacketPtr& p : pe->packetSet)
            found.sentSet.append(p.data());
    };
    m.control->installEventFilter(&announcements);
    if (!attribute.isEmpty())
        nameAttribute(attribute);
    FindEvent e(nullptr, tree, traces, shortest, !attribute.isEmpty());
    QCoreApplication::sendEvent(m.view, &e);
    m.control->removeEventFilter(&announcements);

    for (const PacketPtr& p : m.view->selectedPacketSet)
        found.selected.append(p.data());
    for (const BinItem* glyph : m.view->selectedItemSet)
        found.glyphs.append(glyph);
    for (const TList<BinItem*>& sequence : m.view->selectedSequences) {
        QList<const BinItem*> glyphs;
        for (const BinItem* glyph : sequence)
            glyphs.append(glyph);
        found.sequences.append(glyphs);
    }
    for (const BinCell* cell : m.view->cells)
        for (const TList<BinItem*>& row : cell->rows)
            for (const BinItem* item : row)
                found.marks.append(qMakePair(int(item->selected), item->selectedCount));
    const int column = attribute.isEmpty() ? -1 : m.store()->attributeColumns.value(attribute, -1);
    if (column >= 0)
        for (const PacketPtr& p : m.context->packets)
            found.attribute.append(p->get(column).toInt());
    found.status = m.view->statisticsText();
    return found;
}

} // namespace

class FindSelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void sameSelectionAsBefore_data();
    void sameSelectionAsBefore();
};

void FindSelectionTest::sameSelectionAsBefore_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("grouped");      // tiles by ip.src, else one tile
    QTest::addColumn<bool>("stacked");
    QTest::addColumn<bool>("multi");        // multi-match, for the stacked rows
    QTest::addColumn<bool>("traces");       // whole traces
    QTest::addColumn<bool>("shortest");

    QTest::newRow("condition, tiles") << "kind condition" << true << false << false << false << false;
    QTest::newRow("condition, stacked with multi-match")
        << "kind condition" << false << true << true << false << false;
    QTest::newRow("negation, star and alternation, tiles, shortest")
        << "negation, star and alternation" << true << false << false << false << true;
    QTest::newRow("negation, star and alternation, whole traces")
        << "negation, star and alternation" << false << false << false << true << false;
    QTest::newRow("beyond the step budget, tiles") << "runs beyond the step budget" << true << false << false << false
                                                   << false;
    QTest::newRow("variable, stacked without multi-match") << "variable" << true << true << false << false << false;
}

// A find over rows shared out to several threads selects and announces
// what it did when one thread searched the rows in turn, and what the
// search as it was made before finds.
void FindSelectionTest::sameSelectionAsBefore()
{
    QFETCH(QString, pattern);
    QFETCH(bool, grouped);
    QFETCH(bool, stacked);
    QFETCH(bool, multi);
    QFETCH(bool, traces);
    QFETCH(bool, shortest);

    DebugCapture capture;
    capture.setForward(false);
    Restore<bool> multiMatch(showMulti, multi);
    Restore<int> counter(EventWidget::findCounter, 0);
    const QByteArray threads = qgetenv("LUMIVANE_THREADS");
    qputenv("LUMIVANE_THREADS", "3");
    Matrix m(::traces(), true);
    if (grouped)
        m.options->eventAxisBox->setCurrentText(QStringLiteral("ip.src"));
    if (stacked)
        m.view->setStack(true);
    QCOMPARE(m.view->cells.size(), grouped ? 3 : 1);
    std::unique_ptr<ParseNode> tree(::pattern(pattern));

    Found expected = expectedFind(m, tree.get(), traces, shortest);
    QVERIFY(!expected.selected.isEmpty());
    Found alone;
    Found shared;
    {
        Restore<int> parts(EventWidget::parallelFind, std::numeric_limits<int>::max());
        alone = runFind(m, tree.get(), traces, shortest, QStringLiteral("alone"));
    }
    {
        Restore<int> parts(EventWidget::parallelFind, 1);
        // A selection beforehand is cleared first.
        m.view->selectPackets(m.context->packets);
        shared = runFind(m, tree.get(), traces, shortest, QStringLiteral("shared"));
    }
    if (threads.isNull())
        qunsetenv("LUMIVANE_THREADS");
    else
        qputenv("LUMIVANE_THREADS", threads);

    for (const Found* found : {&alone, &shared}) {
        QCOMPARE(found->announced, expected.announced);
        QCOMPARE(found->sent, expected.sent);
        QCOMPARE(found->sentSet, expected.sentSet);
        QCOMPARE(found->selected, expected.selected);
        QCOMPARE(found->glyphs, expected.glyphs);
        QCOMPARE(found->sequences, expected.sequences);
        QCOMPARE(found->marks, expected.marks);
        QCOMPARE(found->attribute, expected.attribute);
    }
    QCOMPARE(shared.status, alone.status);
    if (pattern.contains(QLatin1String("budget")))
        QVERIFY(capture.contains(QStringLiteral("timeout for matching sequence")));
}

LUMIVANE_TEST(FindSelectionTest)
#include "FindSelectionTest.moc"
