#include "MatrixFixture.h"
#include "Restore.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "events/GlyphsEvent.h"
#include "events/PacketsEvent.h"

#include <QtTest>

// A rebuild that clears the matrix's selection (another grouping, another
// glyph size attribute) tells the views that show it, as a click on empty
// space does; without a selection it tells nobody.

using namespace matrixfixture;

class RebuildSelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void clearedSelectionIsSent_data();
    void clearedSelectionIsSent();
};

void RebuildSelectionTest::clearedSelectionIsSent_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("selected");
    for (const char* change : {"event grouping", "trace grouping", "glyph size", "columns"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1, a selection").arg(QLatin1String(change)))) << change << true;
        QTest::newRow(qPrintable(QStringLiteral("%1, none").arg(QLatin1String(change)))) << change << false;
    }
}

void RebuildSelectionTest::clearedSelectionIsSent()
{
    QFETCH(QString, change);
    QFETCH(bool, selected);
    Restore<bool> loaded(NO_DATA, false);
    Matrix m({{1, QStringLiteral("xyab"), QStringLiteral("10.0.0.1")}, {2, QStringLiteral("ab"), QStringLiteral("10.0.0.2")}},
             true);
    if (selected)
        m.view->applySelection(m.view->cells.first()->rows.first(), true, false);
    QCOMPARE(m.view->selectedPacketSet.isEmpty(), !selected);

    EventCounter packets(PACKETSEVENT);
    int lastSize = -1;
    packets.onEvent = [&lastSize](QEvent* e) { lastSize = static_cast<PacketsEvent*>(e)->eventSet().size(); };
    EventCounter glyphs(GLYPHSEVENT);
    int lastSequences = -1;
    glyphs.onEvent = [&lastSequences](QEvent* e) { lastSequences = static_cast<GlyphsEvent*>(e)->sequences.size(); };
    m.control->installEventFilter(&packets);
    m.control->installEventFilter(&glyphs);

    if (change == QLatin1String("event grouping"))
        m.view->changeYAxis2(QStringLiteral("kind"));
    else if (change == QLatin1String("trace grouping"))
        m.view->changeYAxis(QStringLiteral("none"));
    else if (change == QLatin1String("glyph size"))
        m.view->changeZAxis(QStringLiteral("size"));
    else
        m.view->changeXAxis(QStringLiteral("none"));

    QVERIFY(m.view->selectedPacketSet.isEmpty());
    QCOMPARE(packets.count, selected ? 1 : 0);
    QCOMPARE(glyphs.count, selected ? 1 : 0);
    if (selected) {
        QCOMPARE(lastSize, 0);
        QCOMPARE(lastSequences, 0);
    }
}

LUMIVANE_TEST(RebuildSelectionTest)
#include "RebuildSelectionTest.moc"
