#include "TestRegistry.h"

#include "core/DeferredRelease.h"
#include "core/Packet.h"
#include "items/BinItem.h"
#include "views/events/ItemStock.h"

#include <QtTest>

#include <memory>

namespace {

using PacketPtr = QSharedPointer<Packet>;

PacketPtr eventOf(int trace)
{
    PacketPtr p(new Packet(TList<TVariant>{TVariant(double(trace))}));
    p->conversationId = trace;
    return p;
}

// Rows of 2, 0, 4, 1 and 5 places, the glyphs numbered 0 to 11 in order:
// glyph n named "n", with an event of trace n and a stacked glyph; place 6
// empty, glyph 4 holding room for many events (not to be reused).
TList<TList<BinItem*>> numberedRows(QList<PacketPtr>& events)
{
    TList<TList<BinItem*>> rows;
    int n = 0;
    for (int length : {2, 0, 4, 1, 5}) {
        TList<BinItem*> row;
        for (int k = 0; k < length; ++k, ++n) {
            if (n == 6) {
                row.append(nullptr);
                continue;
            }
            auto* glyph = new BinItem(nullptr, nullptr);
            glyph->name = QString::number(n);
            glyph->label = QStringLiteral("label");
            events.append(eventOf(n));
            glyph->packets.append(events.last());
            glyph->children.append(BinItem(nullptr, nullptr));
            if (n == 4)
                glyph->packets.items.reserve(64);
            row.append(glyph);
        }
        rows.append(row);
    }
    return rows;
}

} // namespace

class ItemStockTest : public QObject
{
    Q_OBJECT

private slots:
    void sharesTakeTheirGlyphsOnce_data();
    void sharesTakeTheirGlyphsOnce();
};

void ItemStockTest::sharesTakeTheirGlyphsOnce_data()
{
    QTest::addColumn<QList<int>>("cuts");      // the shares run from cut to cut
    QTest::addColumn<QString>("taken");        // per share the glyphs made, "+" a new one

    QTest::newRow("one share") << QList<int>{0, 12} << "0 1 2 3 5 7 8 9 10 11 + +";
    QTest::newRow("shares across rows") << QList<int>{0, 3, 7, 12} << "0 1 2|3 5 + +|7 8 9 10 11";
    QTest::newRow("an empty share") << QList<int>{0, 2, 2, 12} << "0 1||2 3 5 7 8 9 10 11 + +";
    QTest::newRow("glyphs outside the shares") << QList<int>{5, 9} << "5 7 8 +";
    QTest::newRow("a share past the end") << QList<int>{10, 14, 20} << "10 11 + +|+ + + + + +";
}

// Each share makes the reusable glyphs of its range, in their order, then
// new ones: emptied, holding the event given (one that held it keeps it).
// What no share took, and what the glyphs taken held, is freed with the
// stock.
void ItemStockTest::sharesTakeTheirGlyphsOnce()
{
    QFETCH(QList<int>, cuts);
    QFETCH(QString, taken);

    QList<PacketPtr> events;
    TList<TList<BinItem*>> rows = numberedRows(events);
    QHash<const BinItem*, int> numbers;
    for (const TList<BinItem*>& row : rows)
        for (const BinItem* glyph : row)
            if (glyph)
                numbers.insert(glyph, glyph->name.toInt());
    QList<QWeakPointer<Packet>> old;
    for (const PacketPtr& p : events)
        old.append(p);
    events.clear();

    QWidget owner;
    std::vector<std::unique_ptr<BinItem>> made;
    QStringList shares;
    {
        ItemStock stock;
        stock.add(rows);
        QVERIFY(rows.isEmpty());
        QCOMPARE(stock.size(), std::size_t(12));
        for (int c = 0; c + 1 < cuts.size(); ++c) {
            ItemStock::Share share(stock, std::size_t(cuts.at(c)), std::size_t(cuts.at(c + 1) - cuts.at(c)));
            QStringList glyphs;
            for (int n = cuts.at(c); n < cuts.at(c + 1); ++n) {
                // Glyph 3 is made again for its own event.
                const PacketPtr p = n == 3 ? old.at(3).toStrongRef() : eventOf(100 + n);
                made.emplace_back(share.make(&owner, p));
                BinItem* glyph = made.back().get();
                glyphs << (numbers.contains(glyph) ? QString::number(numbers.value(glyph)) : QStringLiteral("+"));
                QCOMPARE(glyph->packets.items.size(), std::size_t(1));
                QCOMPARE(glyph->packets.first(), p);
                QVERIFY(glyph->name.isNull() && glyph->label.isNull() && glyph->children.isEmpty());
                QCOMPARE(glyph->owner, &owner);
                share.dropChildren(*glyph);
                QCOMPARE(glyph->children.items.capacity(), std::size_t(0));
            }
            shares << glyphs.join(QLatin1Char(' '));
        }
    }
    QCOMPARE(shares.join(QLatin1Char('|')), taken);
    deferredrelease::waitForAll();
    // The old events are gone, but that of glyph 3 where a share made it
    // again for that event.
    for (int n = 0; n < old.size(); ++n)
        QCOMPARE(bool(old.at(n).toStrongRef()),
                 n == 3 && taken.split(QRegularExpression(QStringLiteral("[ |]"))).contains(QStringLiteral("3")));
}

LUMIVANE_TEST(ItemStockTest)
#include "ItemStockTest.moc"
