#include "DebugCapture.h"
#include "Restore.h"
#include "RuleWindow.h"
#include "SequenceFixture.h"
#include "TestRegistry.h"
#include "ThreadsSetting.h"

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/ThreadBudget.h"
#include "core/Constants.h"
#include "items/BinItem.h"
#include "patterns/Automaton.h"
#include "patterns/Edge.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"
#include "views/sequences/RuleOverviewWidget.h"

#include <QMouseEvent>
#include <QRegularExpression>
#include <QToolTip>
#include <QtTest>

#include <limits>
#include <memory>

namespace {

constexpr int WIDTH = 204;   // drawn width 200 between the margins

// "A" is a glyph; "X>B" is a glyph X with the glyph B stacked on it; "_" a
// glyph or a stacked glyph without a name.
BinItem* glyph(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('>'));
    auto* item = new BinItem(nullptr, nullptr);
    item->name = parts.first() == QLatin1String("_") ? QString() : parts.first();
    for (int i = 1; i < parts.size(); ++i) {
        BinItem child(nullptr, nullptr);
        child.name = parts.at(i) == QLatin1String("_") ? QString() : parts.at(i);
        item->children.append(child);
    }
    return item;
}

// A matrix whose cells hold the given rows of glyphs, and a store whose
// visible rules begin with the given glyph names.
struct Matrix
{
    Matrix(const QList<QStringList>& cellItems, const QStringList& ruleHeads)
        : control(new ControlWidget(nullptr))
        , view(new EventWidget(control.get(), nullptr, 0, nullptr))
        , overview(new RuleOverviewWidget(control.get(), view.get(), nullptr))
    {
        for (const QStringList& items : cellItems) {
            auto* cell = new BinCell(control.get(), nullptr, QStringLiteral("cell"), nullptr);
            for (const QString& item : items)
                cell->rows.append(TList<BinItem*>{glyph(item)});
            view->cells.append(cell);
        }
        for (const QString& head : ruleHeads)
            addRule(head, true);
        overview->resize(WIDTH, 100);
    }

    ~Matrix()
    {
        overview.reset();
        for (BinCell* cell : view->cells.items)
            delete cell;
        view->cells.clear();
    }

    void addRule(const QString& head, bool visible)
    {
        auto* pre = new ParseNode(ParseNode::And);
        auto* leaf = new ParseNode(ParseNode::Leaf);
        leaf->glyph.name = head;
        if (head == QLatin1String("<empty>")) {
            leaf->glyph.name.clear();
            leaf->glyph.mode = EMPTY;
        }
        pre->addChild(leaf);
        control->glyphStore->rules.append(Rule(QStringLiteral("rule ") + head, pre, nullptr, true, visible));
    }

    // The drawn nodes as "key:width", depth first.
    QStringList drawn() const
    {
        QStringList out;
        for (const BinItem* item : overview->items.items)
            out << QStringLiteral("%1:%2").arg(item->name).arg(int(item->width() + 0.5));
        return out;
    }

    QStringList order() const
    {
        return QStringList(overview->order.items.begin(), overview->order.items.end());
    }

    int count(const QString& key) const { return overview->counts.value(overview->keys.value(key), -1); }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<EventWidget> view;
    std::unique_ptr<RuleOverviewWidget> overview;
};

} // namespace

class RuleOverviewWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { showMulti = true; }
    void noCellsGiveTheRoot();
    void oneNameInTwoCells();
    void nodesOutsideTheRulesCountButAreNotDrawn();
    void multiMatchOffLetsAChildBeWider();
    void emptyNamesCountAtTheRoot();
    void rulesWithoutAGlyph();
    void nameListedTwiceDrawnOnce();
    void tooltipAndRelayout();
    void rebuildMatchesAFreshOverview_data();
    void rebuildMatchesAFreshOverview();
    void prefixAutomaton();
    void emptyRewriteNodeIsNotBlack();
    void partsCountAsOneWalk_data();
    void partsCountAsOneWalk();
    void manyGlyphsCountedLater_data();
    void manyGlyphsCountedLater();
    void laterCountIsOfTheCellsItWasAskedFor_data();
    void laterCountIsOfTheCellsItWasAskedFor();
};

void RuleOverviewWidgetTest::noCellsGiveTheRoot()
{
    Matrix m({}, {"A"});
    QVERIFY(m.overview->items.isEmpty());
    m.overview->rebuild();
    QCOMPARE(m.drawn(), QStringList({":200"}));
    const BinItem* root = m.overview->items.first();
    QCOMPARE(int(root->x), 2);
    QCOMPARE(int(root->y), 2);
    QCOMPARE(int(root->height()), 10);
    QCOMPARE(root->fillColor, QColor(177, 189, 197));
    QCOMPARE(m.order(), QStringList({"A", ""}));
    QCOMPARE(m.overview->sizeHint(), QSize(100, 100));
}

void RuleOverviewWidgetTest::oneNameInTwoCells()
{
    Matrix m({{"A", "C", "C", "C"}, {"A", "C", "C", "C"}}, {"A", "C"});
    m.overview->rebuild();
    QCOMPARE(m.count(QString()), 8);
    QCOMPARE(m.count("A"), 2);
    // A's node is drawn once, at its share of all items, then C beside it.
    QCOMPARE(m.drawn(), QStringList({":200", "A:50", "C:150"}));
    QCOMPARE(int(m.overview->items[2]->x), 52);
    QCOMPARE(int(m.overview->items[2]->y), 12);
}

void RuleOverviewWidgetTest::nodesOutsideTheRulesCountButAreNotDrawn()
{
    Matrix m({{"A", "B>A", "B", "B"}}, {"A"});
    m.addRule(QStringLiteral("B"), false);
    m.overview->rebuild();
    // B heads only a hidden rule: neither it nor its subtree is drawn, but
    // its items take their share from A's width.
    QCOMPARE(m.count("B"), 2);
    QCOMPARE(m.count("A"), 2);
    QCOMPARE(m.count("A.B"), 1);
    QCOMPARE(m.drawn(), QStringList({":200", "A:100"}));
}

void RuleOverviewWidgetTest::multiMatchOffLetsAChildBeWider()
{
    Matrix m({{"B", "A>B", "A>B", "C"}}, {"A", "B"});
    m.overview->rebuild();
    // Multi-match on: every node of a path counts.
    QCOMPARE(m.count("B"), 3);
    QCOMPARE(m.count("B.A"), 2);
    QCOMPARE(m.drawn(), QStringList({":200", "B:150", "B.A:100"}));

    showMulti = false;
    m.overview->rebuild();
    QCOMPARE(m.count("B"), 1);
    QCOMPARE(m.count("B.A"), 2);
    QCOMPARE(m.drawn(), QStringList({":200", "B:50", "B.A:100"}));
}

void RuleOverviewWidgetTest::emptyNamesCountAtTheRoot()
{
    Matrix m({{"_", "A", "A>_"}}, {"A"});
    m.overview->rebuild();
    // Three items, plus one for the childless nameless item and one for the
    // nameless start of the last path.
    QCOMPARE(m.count(QString()), 5);
    QCOMPARE(m.count("A"), 2);
    QCOMPARE(m.drawn(), QStringList({":200", "A:80"}));
    QCOMPARE(m.overview->keys.size(), 2);
}

void RuleOverviewWidgetTest::rulesWithoutAGlyph()
{
    Matrix m({{"A", "B"}}, {"A", "<empty>"});
    GlyphStore* store = m.control->glyphStore;
    store->rules.append(Rule(QStringLiteral("no tree"), nullptr, nullptr, true, true));
    store->rules.append(Rule(QStringLiteral("empty tree"), new ParseNode(ParseNode::And), nullptr, true, true));
    m.overview->rebuild();
    QCOMPARE(m.order(), QStringList({"A", "empty", ""}));
    QCOMPARE(m.drawn(), QStringList({":200", "A:100"}));
}

void RuleOverviewWidgetTest::nameListedTwiceDrawnOnce()
{
    Matrix m({{"A", "B", "A"}}, {"A", "B", "A"});
    m.overview->rebuild();
    QCOMPARE(m.overview->order.size(), 4);
    QCOMPARE(m.drawn(), QStringList({":200", "A:133", "B:67"}));
}

void RuleOverviewWidgetTest::tooltipAndRelayout()
{
    Matrix m({{"A", "A", "B"}}, {"A", "B"});
    m.overview->rebuild();
    const BinItem* a = m.overview->items[1];
    const QPoint at(int(a->x + 5), int(a->y + 5));
    QMouseEvent move(QEvent::MouseMove, at, m.overview->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(m.overview.get(), &move);
    QVERIFY(a->highlighted);
    QCOMPARE(a->auxValue, 1);
    QVERIFY(!m.overview->items[0]->highlighted);
    QCOMPARE(QToolTip::text(), QStringLiteral("Event: A (66.7%)"));

    // The width follows the widget at the next relayout; the counts stay.
    m.overview->resize(104, 100);
    QCOMPARE(m.drawn().first(), QStringLiteral(":200"));
    m.overview->relayout();
    QCOMPARE(m.drawn(), QStringList({":100", "A:67", "B:33"}));
    QCOMPARE(m.count("A"), 2);
}

namespace {

// Every node with its count (or "-" when it has none), colour and key,
// checked against the inverse table.
QStringList nodes(const RuleOverviewWidget& overview)
{
    QStringList out;
    for (int id = 0; id < overview.nodeKeys.size(); ++id) {
        const Node node(id);
        const QString key = overview.nodeKeys.value(node);
        out << QStringLiteral("%1 %2 %3 %4")
                   .arg(key)
                   .arg(overview.counts.contains(node) ? QString::number(overview.counts.value(node))
                                                       : QStringLiteral("-"))
                   .arg(overview.colours.value(node).name())
                   .arg(overview.keys.value(key).id == id);
    }
    if (overview.keys.size() != overview.nodeKeys.size() || overview.colours.size() != overview.nodeKeys.size())
        out << QStringLiteral("table sizes differ");
    return out;
}

} // namespace

void RuleOverviewWidgetTest::rebuildMatchesAFreshOverview_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<bool>("multi");
    const QStringList many = {"A>B>C", "B>A", "C", "A.B", "A>_", "_", "B>A>A"};
    const QStringList few = {"C>A", "A"};
    QTest::newRow("fewer nodes") << many << few << true;
    QTest::newRow("fewer nodes, multi-match off") << many << few << false;
    QTest::newRow("more nodes, multi-match off") << few << many << false;
    QTest::newRow("to no items") << many << QStringList() << true;
}

// The tables that an overview keeps from one rebuild to the next hold
// nothing of the cells before.
void RuleOverviewWidgetTest::rebuildMatchesAFreshOverview()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(bool, multi);
    showMulti = multi;
    Matrix used({before}, {"A", "B", "C"});
    Matrix fresh({after}, {"A", "B", "C"});
    used.overview->rebuild();
    for (BinCell* cell : used.view->cells.items)
        delete cell;
    used.view->cells.clear();
    auto* cell = new BinCell(used.control.get(), nullptr, QStringLiteral("cell"), nullptr);
    for (const QString& item : after)
        cell->rows.append(TList<BinItem*>{glyph(item)});
    used.view->cells.append(cell);
    used.overview->rebuild();
    fresh.overview->rebuild();
    QCOMPARE(nodes(*used.overview), nodes(*fresh.overview));
    QCOMPARE(used.drawn(), fresh.drawn());
}

void RuleOverviewWidgetTest::prefixAutomaton()
{
    // "A.B" alone and "B" with "A" stacked on it (the path A, B) make the
    // same key: one node, first reached from the root, whose edge stays.
    Matrix m({{"A.B", "A", "B>A"}}, {"A"});
    QVERIFY(!m.overview->prefixAutomaton());
    m.overview->rebuild();
    QCOMPARE(m.count("A.B"), 2);
    Automaton* automaton = m.overview->prefixAutomaton();
    QVERIFY(automaton);
    QCOMPARE(m.overview->prefixAutomaton(), automaton);
    QCOMPARE(automaton->start(), m.overview->root);
    QStringList edges;
    for (const Node& node : automaton->stateList) {
        for (const Edge* edge : automaton->outEdges(node))
            edges << m.overview->nodeKeys.value(node) + QStringLiteral(">")
                         + m.overview->nodeKeys.value(edge->to);
    }
    QCOMPARE(edges, QStringList({">A.B", ">A"}));
}

void RuleOverviewWidgetTest::emptyRewriteNodeIsNotBlack()
{
    Matrix m({}, {});
    GlyphStore* store = m.control->glyphStore;
    store->setAttributes(TList<QString>{QStringLiteral("kind")}, TList<int>{3});
    // The rewritten item carries the raw "Gray" glyph it replaced, so its
    // path is "Gray" and then its own nameless node "Gray.", which the
    // order list's empty name lets through.
    m.view->cells.append(sequencefixture::cellAfterEmptyRewrite(m.control.get(), {"a"}, "a").release());
    m.addRule(QStringLiteral("Gray"), true);
    m.overview->rebuild();
    QCOMPARE(m.drawn(), QStringList({":200", "Gray:200", "Gray.:200"}));

    QImage image(m.overview->size(), QImage::Format_ARGB32);
    image.fill(Qt::black);
    m.overview->render(&image);
    QCOMPARE(image.pixelColor(100, 17).rgb(), DEFAULT_FILL_COLOR.darker(110).rgb());
    const QColor empty = image.pixelColor(100, 27);
    QVERIFY2(empty.rgb() == QColor(Qt::white).rgb(), qPrintable(empty.name()));
}

void RuleOverviewWidgetTest::partsCountAsOneWalk_data()
{
    QTest::addColumn<QList<QStringList>>("cells");
    QTest::addColumn<bool>("multi");

    const QStringList mixed{"A>B>C", "B>A", "C", "A.B", "A>_", "_", "B>A>A", "C>A", "A", "B.A>C", "B"};
    QStringList many;
    for (int k = 0; k < 6; ++k)
        many << mixed;
    QTest::newRow("one cell") << QList<QStringList>{many} << true;
    QTest::newRow("multi-match off") << QList<QStringList>{many} << false;
    QTest::newRow("three cells") << QList<QStringList>{mixed, many, mixed} << true;
    QStringList late;
    for (int k = 0; k < 40; ++k)
        late << QStringLiteral("A");
    late << "B>A" << "A.B" << "C>B>A" << "C.B.A";
    QTest::newRow("nodes first reached late") << QList<QStringList>{late} << true;
}

// Items counted in parts make the nodes, counts and colours (of the item
// that reached a node first) of one walk over the items, in its order.
void RuleOverviewWidgetTest::partsCountAsOneWalk()
{
    QFETCH(QList<QStringList>, cells);
    QFETCH(bool, multi);
    showMulti = multi;
    const ThreadsSetting threads(3);
    Matrix m(cells, {"A", "B", "C"});
    int n = 0;
    for (BinCell* cell : m.view->cells.items) {
        for (BinItem* item : cell->items()) {
            item->fillColor = QColor::fromHsv(n++ * 37 % 360, 200, 200);
            for (BinItem& child : item->children.items)
                child.fillColor = QColor::fromHsv(n++ * 37 % 360, 100, 250);
        }
    }
    QList<QStringList> built;
    for (bool parts : {false, true}) {
        Restore<int> marks(BinCell::parallelMarks, parts ? 1 : std::numeric_limits<int>::max());
        m.overview->rebuild();
        QStringList edges;
        Automaton* automaton = m.overview->prefixAutomaton();
        for (const Node& node : automaton->stateList)
            for (const Edge* edge : automaton->outEdges(node))
                edges << m.overview->nodeKeys.value(node) + QStringLiteral(">") + m.overview->nodeKeys.value(edge->to);
        built << nodes(*m.overview) + m.drawn() + edges;
    }
    QCOMPARE(built.at(1), built.at(0));
}

void RuleOverviewWidgetTest::manyGlyphsCountedLater_data()
{
    QTest::addColumn<int>("laterFrom");
    QTest::addColumn<bool>("outOfMemory");
    QTest::newRow("few glyphs: at once") << 4 << false;
    QTest::newRow("many glyphs: once the loop comes round") << 3 << false;
    QTest::newRow("many glyphs, out of memory then") << 3 << true;
}

// A matrix of many glyphs asks for its count and goes on; the overview
// counts once, when the event loop comes round, and a count that runs out
// of memory then leaves it empty and says so.
void RuleOverviewWidgetTest::manyGlyphsCountedLater()
{
    QFETCH(int, laterFrom);
    QFETCH(bool, outOfMemory);
    Restore<int> later(RuleOverviewWidget::laterFrom, laterFrom);
    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });
    Matrix m({{"A", "C", "C"}}, {"A", "C"});
    m.overview->rebuildSoon();
    m.overview->rebuildSoon();
    if (laterFrom > 3) {
        QCOMPARE(m.count(QString()), 3);
    } else {
        QVERIFY(m.overview->items.isEmpty());
        if (outOfMemory)
            ThreadBudget::failPartAfter(0);
        QTRY_VERIFY(!m.overview->items.isEmpty() || !boxes.isEmpty());
        ThreadBudget::failPartAfter(-1);
    }
    MessageAsker::setHandler(previous);
    if (outOfMemory) {
        QVERIFY(m.overview->items.isEmpty());
        QVERIFY(m.overview->counts.isEmpty());
        QVERIFY(!m.overview->prefixAutomaton());
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes.first().text.contains(QLatin1String("out of memory")));
        m.overview->rebuild();
    } else {
        QVERIFY(boxes.isEmpty());
    }
    QCOMPARE(m.count(QString()), 3);
    QCOMPARE(m.drawn(), QStringList({":200", "A:67", "C:133"}));
}

void RuleOverviewWidgetTest::laterCountIsOfTheCellsItWasAskedFor_data()
{
    // What the analyst does next, queued while the rules were applied or
    // after a pause.
    QTest::addColumn<QString>("next");
    QTest::newRow("stack") << "stack";
    QTest::newRow("glyph size") << "glyph size";
    QTest::newRow("row order") << "row order";
    QTest::newRow("regroup") << "regroup";
    QTest::newRow("rules applied again") << "rules";
    QTest::newRow("a rule hidden, nothing rebuilt") << "hide rule";
    QTest::newRow("multi-match off, nothing rebuilt") << "multi off";
}

namespace {

// The main window with its rules applied (RuleWindow); they are applied
// again (the rule overview's count put off, as for a large matrix), then
// `next` is done at once or once that count has been made. `out` gets the
// overview's nodes and drawn items at the end, then its root count and the
// number of items of the matrix's cells right after the rules were applied.
void afterRulesThen(const QString& next, bool pause, QStringList& out)
{
    DebugCapture capture;
    capture.setForward(false);
    const MessageAsker::Handler previous =
        MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });
    showMulti = true;
    {
        rulewindow::RuleWindow w;
        w.applyRules();
        int items = 0;
        for (BinCell* cell : w.view->cells.items)
            items += cell->items().size();
        QVERIFY(w.overview->countPending());
        if (pause)
            QTRY_VERIFY_WITH_TIMEOUT(!w.overview->countPending(), 5000);

        if (next == QLatin1String("stack"))
            w.view->setStack(true);
        else if (next == QLatin1String("glyph size"))
            w.view->setItemSize(20);
        else if (next == QLatin1String("row order"))
            w.view->setCluster(QStringLiteral("Alphabetical"));
        else if (next == QLatin1String("regroup"))
            w.view->changeYAxis2(QStringLiteral("kind"));
        else if (next == QLatin1String("rules"))
            w.applyRules();
        else if (next == QLatin1String("hide rule"))
            w.store->rules.items.front().visible = false;
        else if (next == QLatin1String("multi off"))
            showMulti = false;
        QTRY_VERIFY_WITH_TIMEOUT(!w.overview->countPending(), 5000);
        out << nodes(*w.overview);
        for (const BinItem* item : w.overview->items.items)
            out << QStringLiteral("%1:%2").arg(item->name).arg(int(item->width() + 0.5));
        out << QString::number(w.overview->counts.value(w.overview->root)) << QString::number(items);
    }
    showMulti = true;
    MessageAsker::setHandler(previous);
}

} // namespace

// A count put off after the rules were applied is of the cells as they
// were then, with the rules and options then, whether the next click comes
// at once or after a pause.
void RuleOverviewWidgetTest::laterCountIsOfTheCellsItWasAskedFor()
{
    QFETCH(QString, next);
    Restore<int> later(RuleOverviewWidget::laterFrom, 1);
    QStringList paused;
    afterRulesThen(next, true, paused);
    QVERIFY(!QTest::currentTestFailed());
    QStringList queued;
    afterRulesThen(next, false, queued);
    QVERIFY(!QTest::currentTestFailed());
    QCOMPARE(queued, paused);
    // The glyphs the rules made are counted.
    QVERIFY2(!paused.filter(QRegularExpression(QStringLiteral("^Gray\\.C \\d"))).isEmpty(), qPrintable(paused.join('|')));
    // Counted before the rows were stacked: every item of the cells.
    if (next == QLatin1String("stack"))
        QCOMPARE(paused.at(paused.size() - 2), paused.last());
}

LUMIVANE_TEST(RuleOverviewWidgetTest)

#include "RuleOverviewWidgetTest.moc"
