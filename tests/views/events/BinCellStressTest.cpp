#include "TestRegistry.h"
#include "DebugCapture.h"
#include "CellFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QScopedPointer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

using namespace cellfixture;

// The overview worker lays out and draws a cell on its own thread while the
// GUI thread selects, hovers, renders and rebuilds the same cell.
class BinCellStressTest : public QObject
{
    Q_OBJECT

private slots:
    void overviewWhileTheGuiWorks_data();
    void overviewWhileTheGuiWorks();
};

void BinCellStressTest::overviewWhileTheGuiWorks_data()
{
    QTest::addColumn<bool>("stacked");
    QTest::newRow("rows") << false;
    QTest::newRow("stacked") << true;
}

void BinCellStressTest::overviewWhileTheGuiWorks()
{
    QFETCH(bool, stacked);

    DebugCapture capture;
    capture.setForward(false);
    Fixture fixture;
    fixture.addRule(QStringLiteral("ab"),
                    sequence({kindLeaf(QStringLiteral("a")), kindLeaf(QStringLiteral("b"))}),
                    rewrite(QStringLiteral("X"), 20));
    fixture.addRule(QStringLiteral("c"), sequence({kindLeaf(QStringLiteral("c"))}), deletion());
    auto cell = fixture.cell();
    cell->stacked = stacked;
    TList<PacketPtr> events;
    const QString kinds = QStringLiteral("abcabdacbd");
    for (int t = 0; t < 40; ++t) {
        const TList<PacketPtr> one = trace(t, kinds.left(3 + t % 8), 100.0 + t);
        cell->addPackets(one);
        events.append(one);
    }
    cell->resizeWidget(300, 400);
    cell->buildData(true);
    cell->layoutItems(false, false);

    std::atomic<bool> stop{false};
    std::atomic<int> images{0};
    std::thread worker([&] {
        while (!stop) {
            cell->layoutItems(true, false);
            const QImage image = cell->overviewImage(300, 10);
            if (!image.isNull())
                ++images;
            // Passes follow each other closely, but a mutex is not fair:
            // leave the GUI thread a moment to take it.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    for (int round = 0; round < 200; ++round) {
        PacketSet selected;
        QSet<QSharedPointer<Packet>> marked;
        for (int i = round % 5; i < events.size(); i += 5)
            selected.insert(events.at(i));
        for (int i = round % 7; i < events.size(); i += 7)
            marked.insert(events.at(i));
        cell->setSelectedPackets(selected);
        cell->setMarkedPackets(marked);
        // A hover marks the item under the pointer, as the matrix does.
        const TList<BinItem*> shown = cell->visibleItems();
        for (int i = 0; i < shown.size(); ++i) {
            shown.at(i)->highlighted = i == round % (shown.size() + 1);
            shown.at(i)->auxValue = shown.at(i)->highlighted ? 1 : 0;
        }
        cell->render(true, false, nullptr);
        if (round % 4 == 0) {
            cell->buildData(true);
            cell->layoutItems(false, false);
        }
        QCoreApplication::processEvents();
    }
    QElapsedTimer waited;
    waited.start();
    while (images == 0 && waited.elapsed() < 10000)
        std::this_thread::yield();
    stop = true;
    worker.join();

    QVERIFY(images > 0);
    // The GUI's last selection is intact on the rebuilt items.
    int selectedItems = 0;
    for (const BinItem* item : cell->items())
        selectedItems += item->selected ? 1 : 0;
    QVERIFY(selectedItems > 0);
}

LUMIVANE_TEST(BinCellStressTest)
#include "BinCellStressTest.moc"
