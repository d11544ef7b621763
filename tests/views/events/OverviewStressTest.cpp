#include "TestRegistry.h"
#include "DebugCapture.h"
#include "OverviewFixture.h"

#include "events/RenderEvent.h"

#include <QtTest>

using namespace overviewfixture;

// Overview passes run on their thread while the GUI thread reloads the
// matrix, stacks its rows, selects, hovers and asks for more passes: 200
// rounds, each against a pass that has just started. Meant for the
// sanitizer builds.
class OverviewStressTest : public QObject
{
    Q_OBJECT

private slots:
    void interleavings();
};

void OverviewStressTest::interleavings()
{
    DebugCapture cap;
    cap.setForward(false);
    Group g(traces(150, 9), true);
    g.m.options->eventAxisBox->setCurrentText(QStringLiteral("kind"));
    g.strip->resize(150, 400);
    EventWidget* view = g.m.view;
    QVERIFY(view->cells.size() > 1);
    TList<PacketPtr> events = g.m.context->packets;

    int live = 0;
    for (int round = 0; round < 200; ++round) {
        if (!g.strip->isRunning())
            g.strip->reloadData();
        live += g.strip->isRunning();
        const int action = round % 5;
        switch (action) {
        case 0:
            view->reload();
            break;
        case 1:
            view->setStack((round / 5) % 2 == 0);
            break;
        case 2: {
            QList<int> ids;
            for (int t = round % 7; t < 150; t += 7)
                ids.append(t);
            g.m.selectTraces(ids);
            break;
        }
        case 3: {
            // What a hover from another view does to the cells.
            QSet<PacketPtr> hovered;
            for (int i = round % 11; i < events.size(); i += 11)
                hovered.insert(events.at(i));
            for (BinCell* cell : view->cells)
                cell->setMarkedPackets(hovered);
            break;
        }
        default: {
            RenderEvent render(view, {QStringLiteral("OverviewWidget"), 0});
            QCoreApplication::sendEvent(g.strip, &render);
            break;
        }
        }
        // A render's request is taken up after the next round's reload has
        // ended the pass it met, so that the loop does not wait the
        // 300 ms of a busy strip every time.
        if (action != 4)
            QCoreApplication::processEvents();
    }
    QVERIFY(settle(g.strip));
    QCOMPARE(live, 200);
    // Reloads and stacking ended passes that were drawing.
    QVERIFY(cap.count(QStringLiteral("Canceled")) > 0);
    QVERIFY(cap.count(QStringLiteral("thread start overview")) > 40);
    QCOMPARE(g.strip->images.size(), view->cells.size());
    QVERIFY(!g.strip->stackedImage.isNull());
}

LUMIVANE_TEST(OverviewStressTest)
#include "OverviewStressTest.moc"
