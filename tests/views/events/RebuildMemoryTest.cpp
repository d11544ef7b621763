#include "MatrixFixture.h"
#include "Restore.h"
#include "TestRegistry.h"
#include "ThreadsSetting.h"

#include "app/AppGlobals.h"
#include "app/MessageAsker.h"
#include "core/ThreadBudget.h"
#include "events/PacketsEvent.h"
#include "patterns/ParseNode.h"

#include <QtTest>

#include <memory>

// A rebuild of the matrix that runs out of memory in one of its parts is
// stopped with a message; the matrix is left without cells, or without a
// selection, and the same action done again shows what it shows in a
// matrix that never failed.

using namespace matrixfixture;

namespace {

// Every tile's title and rows: glyph names, '+' on a selected glyph.
QStringList matrixText(const Matrix& m)
{
    QStringList out;
    for (const BinCell* cell : m.view->cells) {
        out << cell->header.title;
        for (const TList<BinItem*>& row : cell->rows) {
            QString text;
            for (const BinItem* item : row)
                text += item->name + (item->selected ? QStringLiteral("+ ") : QStringLiteral(" "));
            out << text;
        }
    }
    return out;
}

TList<BinItem*> firstRow(const Matrix& m)
{
    return m.view->cells.isEmpty() || m.view->cells.first()->rows.isEmpty() ? TList<BinItem*>()
                                                                            : m.view->cells.first()->rows.first();
}

void act(Matrix& m, const QString& action)
{
    if (action == QLatin1String("group")) {
        m.view->changeYAxis2(QStringLiteral("kind"));
    } else if (action == QLatin1String("stack")) {
        m.view->setStack(true);
    } else if (action == QLatin1String("rules")) {
        m.view->reloadRules();
    } else if (action == QLatin1String("find")) {
        using namespace cellfixture;
        std::unique_ptr<ParseNode> tree(sequence({nameLeaf(QStringLiteral("X"))}));
        m.view->find(tree.get(), false, false, false);
    } else {
        m.view->applySelection(firstRow(m), true, false);
    }
}

} // namespace

class RebuildMemoryTest : public QObject
{
    Q_OBJECT

private slots:
    void outOfMemory_data();
    void outOfMemory();
};

void RebuildMemoryTest::outOfMemory_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("dropsCells");
    QTest::newRow("grouping") << "group" << "Failed to group events" << true;
    QTest::newRow("stacking") << "stack" << "Failed to stack rows" << true;
    QTest::newRow("rules") << "rules" << "Failed to apply rules" << true;
    QTest::newRow("find") << "find" << "Failed to find events" << false;
    QTest::newRow("selection") << "select" << "Failed to select events" << false;
}

void RebuildMemoryTest::outOfMemory()
{
    QFETCH(QString, action);
    QFETCH(QString, title);
    QFETCH(bool, dropsCells);
    Restore<bool> loaded(NO_DATA, false);
    const ThreadsSetting threads(3);
    Restore<int> marks(BinCell::parallelMarks, 1);
    Restore<int> chosen(EventWidget::parallelSelection, 1);
    Restore<int> finds(EventWidget::parallelFind, 1);
    const QList<Trace> traces{{1, QStringLiteral("xyab"), QString()}, {2, QStringLiteral("ab"), QString()},
                              {3, QStringLiteral("xxc"), QString()}, {4, QStringLiteral("abyx"), QString()}};
    Matrix m(traces, true);
    Matrix reference(traces, true);
    // A selection that the cells keep, and that a failed find or
    // selection loses.
    m.view->applySelection(firstRow(m), true, false);
    reference.view->applySelection(firstRow(reference), true, false);
    const QStringList before = matrixText(m);
    EventCounter sent(PACKETSEVENT);
    int lastSent = -1;
    sent.onEvent = [&lastSent](QEvent* e) { lastSent = int(static_cast<PacketsEvent*>(e)->packets.size()); };
    m.control->installEventFilter(&sent);

    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });
    ThreadBudget::failPartAfter(0);
    act(m, action);
    ThreadBudget::failPartAfter(-1);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().title, title);
    QVERIFY2(boxes.first().text.contains(QLatin1String("ran out of memory")), qPrintable(boxes.first().text));
    if (dropsCells) {
        QVERIFY(m.view->cells.isEmpty());
    } else {
        QCOMPARE(matrixText(m), QString(before.join('|')).remove('+').split('|'));
        QVERIFY(m.view->selectedPacketSet.isEmpty());
        QVERIFY(m.view->selectedItems().isEmpty());
        QCOMPARE(lastSent, 0);
    }

    // Done again, the action shows what it shows where it never failed.
    act(m, action);
    act(reference, action);
    MessageAsker::setHandler(previous);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(matrixText(m), matrixText(reference));
    QCOMPARE(m.view->selectedPacketSet.size(), reference.view->selectedPacketSet.size());
}

LUMIVANE_TEST(RebuildMemoryTest)
#include "RebuildMemoryTest.moc"
