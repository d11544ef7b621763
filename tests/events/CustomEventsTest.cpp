#include "TestRegistry.h"

#include <QCoreApplication>
#include <QtTest>

#include "events/AttributeEvent.h"
#include "events/ContextEvent.h"
#include "events/EventType.h"
#include "events/FindEvent.h"
#include "events/FocusEvent.h"
#include "events/GlyphsEvent.h"
#include "events/PacketsEvent.h"
#include "events/ReloadEvent.h"
#include "events/RenderEvent.h"
#include "events/ResizeEvent.h"
#include "events/ScrollEvent.h"
#include "core/Packet.h"
#include "items/BinItem.h"

namespace {

// Keeps copies of what it receives, as every receiver must.
class Receiver : public QObject
{
public:
    bool event(QEvent* e) override
    {
        types.append(int(e->type()));
        if (e->type() == toEventType(PACKETSEVENT)) {
            auto* packetsEvent = static_cast<PacketsEvent*>(e);
            packets = packetsEvent->packets;
            args = packetsEvent->args;
            e->accept();
            return true;
        }
        return QObject::event(e);
    }
    QList<int> types;
    TList<QSharedPointer<Packet>> packets;
    QList<QVariant> args;
};

} // namespace

class CustomEventsTest : public QObject
{
    Q_OBJECT

private slots:
    void numbers_data();
    void numbers();
    void payloadsAreCopies();
    void findEventFields();
    void deliveredAndReleased();
    void emptyPacketList();
};

void CustomEventsTest::numbers_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("number");
    QTest::newRow("HOVEREVENT") << int(HOVEREVENT) << 1001;
    QTest::newRow("CONTEXTEVENT") << int(ContextEvent(nullptr, {}).type()) << 1002;
    QTest::newRow("PACKETSEVENT") << int(PacketsEvent(nullptr, {}).type()) << 1003;
    QTest::newRow("GLYPHSEVENT") << int(GlyphsEvent(nullptr, {}).type()) << 1004;
    QTest::newRow("QUERYEVENT") << int(QUERYEVENT) << 1005;
    QTest::newRow("ATTRIBUTEEVENT") << int(AttributeEvent(nullptr).type()) << 1006;
    QTest::newRow("SCROLLEVENT") << int(ScrollEvent(nullptr, 0).type()) << 1007;
    QTest::newRow("RENDEREVENT") << int(RenderEvent(nullptr).type()) << 1008;
    QTest::newRow("RESIZEEVENT") << int(ResizeEvent(nullptr, {}).type()) << 1009;
    QTest::newRow("RELOADEVENT") << int(ReloadEvent(nullptr).type()) << 1010;
    QTest::newRow("FINDEVENT") << int(FindEvent(nullptr, nullptr, false, false, false).type()) << 1011;
    QTest::newRow("FOCUSEVENT") << int(FocusEvent(nullptr).type()) << 1012;
}

void CustomEventsTest::numbers()
{
    QFETCH(int, type);
    QFETCH(int, number);
    QCOMPARE(type, number);
    // Registered with the meta-object system: it travels in a QVariant.
    const QVariant v = QVariant::fromValue(static_cast<EventType>(number));
    QCOMPARE(int(v.value<EventType>()), number);
}

void CustomEventsTest::payloadsAreCopies()
{
    QObject sender;
    QList<QVariant> args{"select", "ctrl"};
    auto packet = QSharedPointer<Packet>::create(TList<TVariant>{TVariant()});
    TList<QSharedPointer<Packet>> packets;
    packets.append(packet);

    PacketsEvent event(&sender, packets, args);
    packets.clear();
    args.clear();
    QCOMPARE(event.sender, &sender);
    QCOMPARE(event.packets.size(), 1);
    QCOMPARE(event.packets[0].data(), packet.data());  // shared, not copied
    QCOMPARE(event.args, QList<QVariant>({"select", "ctrl"}));

    BinItem glyph(nullptr, nullptr);
    TList<TList<BinItem*>> sequences;
    sequences.append(TList<BinItem*>{&glyph, &glyph});
    GlyphsEvent glyphs(&sender, sequences, {"select"});
    sequences.clear();
    QCOMPARE(glyphs.sequences.size(), 1);
    QCOMPARE(glyphs.sequences[0][1], &glyph);

    QList<Context*> contexts{reinterpret_cast<Context*>(&sender)};
    ContextEvent context(&sender, contexts, {});
    contexts.clear();
    QCOMPARE(context.contexts.size(), 1);
    QVERIFY(context.args.isEmpty());

    ScrollEvent scroll(&sender, 7, {0});
    QCOMPARE(scroll.offset, 7);
}

void CustomEventsTest::findEventFields()
{
    QObject sender;
    auto* tree = reinterpret_cast<ParseNode*>(&sender);  // never dereferenced
    FindEvent event(&sender, tree, true, false, true, {});
    QCOMPARE(event.sender, &sender);
    QCOMPARE(event.tree, tree);
    QVERIFY(event.findTraces);
    QVERIFY(!event.shortestMatch);
    QVERIFY(event.createAttribute);
    QVERIFY(event.args.isEmpty());
}

void CustomEventsTest::deliveredAndReleased()
{
    Receiver receiver;
    QObject sender;
    auto packet = QSharedPointer<Packet>::create(TList<TVariant>{TVariant()});
    TList<QSharedPointer<Packet>> packets;
    packets.append(packet);
    {
        auto* event = new PacketsEvent(&sender, packets, {"select"});
        QVERIFY(QCoreApplication::sendEvent(&receiver, event));
        delete event;
    }
    // What the receiver kept outlives the event.
    QCOMPARE(receiver.types, QList<int>({1003}));
    QCOMPARE(receiver.packets.size(), 1);
    QCOMPARE(receiver.packets[0].data(), packet.data());
    QCOMPARE(receiver.args, QList<QVariant>({"select"}));

    ResizeEvent resize(&receiver, {});
    QCoreApplication::sendEvent(&receiver, &resize);
    QCOMPARE(receiver.types.last(), 1009);
}

void CustomEventsTest::emptyPacketList()
{
    Receiver receiver;
    receiver.packets.append(QSharedPointer<Packet>());
    PacketsEvent event(nullptr, TList<QSharedPointer<Packet>>(), {"select"});
    QVERIFY(QCoreApplication::sendEvent(&receiver, &event));
    QVERIFY(receiver.packets.isEmpty());
}

LUMIVANE_TEST(CustomEventsTest)
#include "CustomEventsTest.moc"
