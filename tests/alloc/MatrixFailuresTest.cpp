#include "FailingNew.h"
#include "MatrixFixture.h"
#include "Restore.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "app/MessageAsker.h"
#include "events/FindEvent.h"
#include "events/ReloadEvent.h"
#include "patterns/ParseNode.h"

#include <QApplication>
#include <QCoreApplication>
#include <QtTest>

#include <memory>

// Every allocation of a rebuild of the matrix fails in turn: the rebuild
// either runs through or stops with its message, which names memory; the
// matrix is whole either way, and the same action done again shows what a
// matrix that never failed shows.

using namespace matrixfixture;

namespace {

// Two sources: a grouping by source makes two tiles (each tile is a
// widget of its own, whose making is most of a grouping's allocations).
const QList<Trace> TRACES{{1, QStringLiteral("xyab"), QStringLiteral("10.0.0.1")},
                          {2, QStringLiteral("ab"), QStringLiteral("10.0.0.2")},
                          {3, QStringLiteral("xxc"), QStringLiteral("10.0.0.1")},
                          {4, QStringLiteral("abyx"), QStringLiteral("10.0.0.2")},
                          {5, QStringLiteral("cabc"), QStringLiteral("10.0.0.1")}};

// Every tile's title and rows: glyph name, label and events, '+' on a
// selected glyph; then the selected events.
QStringList matrixText(const Matrix& m)
{
    QStringList out;
    for (const BinCell* cell : m.view->cells) {
        out << cell->header.title;
        for (const TList<BinItem*>& row : cell->rows) {
            QString text;
            for (const BinItem* item : row)
                text += item->name + QLatin1Char('/') + item->label + QLatin1Char('/')
                        + QString::number(item->packets.size()) + (item->selected ? QStringLiteral("+ ") : QStringLiteral(" "));
            out << text;
        }
    }
    out << QStringLiteral("selected %1").arg(m.view->selectedPacketSet.size());
    return out;
}

TList<BinItem*> row(const Matrix& m, int r)
{
    if (m.view->cells.isEmpty() || m.view->cells.first()->rows.size() <= r)
        return TList<BinItem*>();
    return m.view->cells.first()->rows[r];
}

// A matrix with the fixture's rules and one that deletes every "c", and a
// selection (the first row's glyphs) that a failed find or selection loses.
std::unique_ptr<Matrix> makeMatrix()
{
    // A small window: the images drawn on the way are most of the cost.
    auto m = std::make_unique<Matrix>(TRACES, true, QSize(200, 150));
    using namespace cellfixture;
    m->store()->rules.append(Rule(QStringLiteral("C"), sequence({kindLeaf(QStringLiteral("c"))}), deletion(), true,
                                  true));
    m->view->reloadRules();
    m->view->applySelection(row(*m, 0), true, false);
    return m;
}

// The action, as the widget the user's click reaches starts it. What the
// event carries is made before the failures are armed.
struct Action
{
    explicit Action(const QString& name) : name(name) {}
    void prepare(Matrix& m)
    {
        if (name == QLatin1String("find")) {
            using namespace cellfixture;
            tree.reset(sequence({nameLeaf(QStringLiteral("X"))}));
            findEvent.reset(new FindEvent(nullptr, tree.get(), false, false, false));
        } else if (name == QLatin1String("rules")) {
            reloadEvent.reset(new ReloadEvent(nullptr));
        } else if (name == QLatin1String("select")) {
            glyphs = row(m, 1);
        }
    }
    void run(Matrix& m)
    {
        if (name == QLatin1String("group"))
            m.view->changeYAxis2(QStringLiteral("ip.src"));
        else if (name == QLatin1String("stack"))
            m.view->setStack(true);
        else if (name == QLatin1String("size"))
            m.view->setItemSize(24);
        else if (name == QLatin1String("rules"))
            QCoreApplication::sendEvent(m.view, reloadEvent.get());
        else if (name == QLatin1String("find"))
            QCoreApplication::sendEvent(m.view, findEvent.get());
        else
            m.view->applySelection(std::move(glyphs), true, false);
    }
    QString name;
    std::unique_ptr<ParseNode> tree;
    std::unique_ptr<FindEvent> findEvent;
    std::unique_ptr<ReloadEvent> reloadEvent;
    TList<BinItem*> glyphs;
};

// One failure point: the action with its n-th allocation failing, then
// what it left and the action done again.
void attempt(const QString& action, const QString& title, const QStringList& once, long n,
             QList<MessageAsker::Request>& boxes, bool& hit, long& messages)
{
    // No widget outlives the matrix (a tile lost on the way would).
    const int widgets = QApplication::allWidgets().size();
    struct Widgets
    {
        int before;
        long n;
        ~Widgets()
        {
            if (QApplication::allWidgets().size() != before)
                QTest::qFail(qPrintable(QStringLiteral("failure point %1 leaves a widget behind").arg(n)), __FILE__,
                             __LINE__);
        }
    } left{widgets, n};
    std::unique_ptr<Matrix> m = makeMatrix();
    Action act(action);
    act.prepare(*m);
    boxes.clear();
    {
        failingnew::FailAt fail(n);
        act.run(*m);
        hit = fail.stop();
    }
    const QString where = QStringLiteral("failure point %1").arg(n);
    if (boxes.isEmpty()) {
        // Run through: the failure was caught where it had a way round.
        QVERIFY2(matrixText(*m) == once,
                 qPrintable(where + QStringLiteral(": ran through, but shows ") + matrixText(*m).join('|')));
        return;
    }
    ++messages;
    QVERIFY2(boxes.size() == 1 && boxes.first().title == title && boxes.first().text.contains(QLatin1String("memory")),
             qPrintable(where + QStringLiteral(": ") + boxes.first().title + QStringLiteral(": ") + boxes.first().text));
    // A selection on a matrix whose cells went needs them back first.
    if (m->view->cells.isEmpty() && (action == QLatin1String("select") || action == QLatin1String("find")))
        m->view->changeYAxis2(QStringLiteral("none"));
    act.prepare(*m);
    act.run(*m);
    QVERIFY2(boxes.size() == 1, qPrintable(where + QStringLiteral(": done again, ") + boxes.last().text));
    QVERIFY2(matrixText(*m) == once, qPrintable(where + QStringLiteral(": done again, shows ") + matrixText(*m).join('|')
                                                + QStringLiteral(" instead of ") + once.join('|')));
}

} // namespace

class MatrixFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void everyAllocation_data();
    void everyAllocation();
};

void MatrixFailuresTest::everyAllocation_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("title");
    QTest::newRow("rules") << "rules" << "Failed to apply rules";
    QTest::newRow("stack") << "stack" << "Failed to stack rows";
    QTest::newRow("group") << "group" << "Failed to group events";
    QTest::newRow("glyph size") << "size" << "Failed to resize glyphs";
    QTest::newRow("find") << "find" << "Failed to find events";
    QTest::newRow("select") << "select" << "Failed to select events";
}

void MatrixFailuresTest::everyAllocation()
{
    QFETCH(QString, action);
    QFETCH(QString, title);
    Restore<bool> loaded(NO_DATA, false);

    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });

    // What a matrix that never failed shows after the action, and again.
    QStringList once;
    {
        std::unique_ptr<Matrix> reference = makeMatrix();
        Action act(action);
        act.prepare(*reference);
        act.run(*reference);
        once = matrixText(*reference);
        act.prepare(*reference);
        act.run(*reference);
        QCOMPARE(matrixText(*reference), once);
    }
    QVERIFY(boxes.isEmpty());

    long messages = 0;
    const long points = sweep::run(action, [&](long n) {
        bool hit = false;
        attempt(action, title, once, n, boxes, hit, messages);
        return hit && !QTest::currentTestFailed();
    });
    MessageAsker::setHandler(previous);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << action << points << "failure points," << messages << "of them stopped with the message";
    QVERIFY(points > 0);
}

LUMIVANE_TEST(MatrixFailuresTest)
#include "MatrixFailuresTest.moc"
