#include "TestRegistry.h"
#include "DebugCapture.h"
#include "ContextFixture.h"

#include <QtTest>

#include <memory>

using namespace fixture;

namespace {

const int kLengthColumn = 1;   // "conv.length" on the trace side

// Events A..F: A, B, C in trace 1; D, E in trace 2; F in trace 3.
struct Log
{
    Log()
        : store(makeStore({"frame.time_epoch", "name"}, {1, 3}))
    {
        const QStringList names = {"A", "B", "C", "D", "E", "F"};
        const QList<int> traces = {1, 1, 1, 2, 2, 3};
        for (int i = 0; i < names.size(); ++i)
            ev[names.at(i)] = makeEvent({QString::number(i), names.at(i)}, traces.at(i));
        ctx = new Context(nullptr, "All", pick("ABCDEF"), store.get(), true);
        store->rootContext = ctx;
    }

    Packets pick(const QString& which) const
    {
        Packets out;
        for (QChar c : which)
            out.append(ev.value(QString(c)));
        return out;
    }

    QString names(const Packets& events) const
    {
        QString out;
        for (const PacketPtr& p : events.items)
            out += p->get(1).toString();
        return out;
    }

    // "length:count" pairs of the trace-length histogram, ascending.
    QStringList lengths() const
    {
        QStringList out;
        const auto& h = ctx->conversationHistograms.at(kLengthColumn);
        for (auto it = h.constBegin(); it != h.constEnd(); ++it)
            out << it.key().toString() + ":" + QString::number(it.value());
        return out;
    }

    std::unique_ptr<GlyphStore> store;
    QHash<QString, PacketPtr> ev;
    Context* ctx = nullptr;
};

} // namespace

class ContextHistoryTest : public QObject
{
    Q_OBJECT

private slots:
    void removeAndRevert();
    void removalMatchesByIdentity_data();
    void removalMatchesByIdentity();
    void traceLengthHistogram_data();
    void traceLengthHistogram();
    void emptyTraceLeavesTable();
    void emptyListChangesNothing();
    void revertWithoutHistory();
    void clearHistoryKeepsRemovals();
    void snapshotCopy();
    void copiesOwnTheirSnapshots();
    void revertLeavesChildrenAlone();
    void filterContextKeepsSnapshot();
    void storeDeletesTreeWithSnapshots();
    void childSurvivesParent();
};

void ContextHistoryTest::removeAndRevert()
{
    Log log;
    Context* ctx = log.ctx;
    ctx->removePackets(log.pick("BD"));
    QCOMPARE(log.names(ctx->packets), QString("ACEF"));
    QVERIFY(ctx->modified);
    QCOMPARE(ctx->history.size(), 1);
    QCOMPARE(log.names(ctx->history.at(0)->packets), QString("ABCDEF"));
    QVERIFY(!ctx->history.at(0)->modified);

    ctx->removePackets(log.pick("C"));
    QCOMPARE(log.names(ctx->packets), QString("AEF"));
    QCOMPARE(ctx->history.size(), 1);

    ctx->revert();
    QCOMPARE(log.names(ctx->packets), QString("ABCDEF"));
    QVERIFY(!ctx->modified);
    QVERIFY(ctx->history.isEmpty());
    QCOMPARE(log.names(ctx->conversations.at(1)), QString("ABC"));
    QCOMPARE(log.lengths(), (QStringList{"1:1", "2:1", "3:1"}));
    // Event histograms and trace records never changed.
    QCOMPARE(ctx->histograms.at(1).size(), 6);
    QCOMPARE(ctx->conversationCount(), 3);
}

void ContextHistoryTest::removalMatchesByIdentity_data()
{
    QTest::addColumn<QString>("removed");
    QTest::addColumn<QString>("left");
    QTest::newRow("context order") << "BD" << "ACEF";
    QTest::newRow("reverse order") << "DB" << "ACEF";
    QTest::newRow("shuffled") << "FAD" << "BCE";
    QTest::newRow("duplicates") << "BB" << "ACDEF";
    QTest::newRow("everything") << "FEDCBA" << "";
}

void ContextHistoryTest::removalMatchesByIdentity()
{
    QFETCH(QString, removed);
    QFETCH(QString, left);
    Log log;
    log.ctx->removePackets(log.pick(removed));
    QCOMPARE(log.names(log.ctx->packets), left);
    int grouped = 0;
    for (const Packets& trace : log.ctx->conversations.values().items)
        grouped += trace.size();
    QCOMPARE(grouped, left.size());
}

void ContextHistoryTest::traceLengthHistogram_data()
{
    QTest::addColumn<QString>("removed");
    QTest::addColumn<QStringList>("lengths");
    // Before: trace 1 has 3 events, trace 2 has 2, trace 3 has 1.
    QTest::newRow("nothing") << "" << QStringList{"1:1", "2:1", "3:1"};
    QTest::newRow("one of three") << "B" << QStringList{"1:1", "2:2"};
    QTest::newRow("two of three") << "AC" << QStringList{"1:2", "2:1"};
    QTest::newRow("whole trace") << "DE" << QStringList{"1:1", "3:1"};
    QTest::newRow("single event trace") << "F" << QStringList{"2:1", "3:1"};
    QTest::newRow("all") << "ABCDEF" << QStringList{};
}

void ContextHistoryTest::traceLengthHistogram()
{
    QFETCH(QString, removed);
    QFETCH(QStringList, lengths);
    Log log;
    log.ctx->removePackets(log.pick(removed));
    QCOMPARE(log.lengths(), lengths);
}

void ContextHistoryTest::emptyTraceLeavesTable()
{
    Log log;
    log.ctx->removePackets(log.pick("DE"));
    QVERIFY(!log.ctx->conversations.contains(2));
    QCOMPARE(log.ctx->conversations.size(), 2);
    QCOMPARE(log.ctx->conversationCount(), 3);   // the record stays
}

void ContextHistoryTest::emptyListChangesNothing()
{
    Log log;
    log.ctx->removePackets(Packets());
    QVERIFY(!log.ctx->modified);
    QVERIFY(log.ctx->history.isEmpty());

    // Events of another log are not in this context.
    PacketPtr stranger = makeEvent({"9", "X"}, 1);
    log.ctx->removePackets(list({stranger}));
    QCOMPARE(log.names(log.ctx->packets), QString("ABCDEF"));
    QCOMPARE(log.lengths(), (QStringList{"1:1", "2:1", "3:1"}));
}

void ContextHistoryTest::revertWithoutHistory()
{
    Log log;
    DebugCapture cap;
    cap.setForward(false);
    log.ctx->revert();
    QCOMPARE(cap.lines(), QStringList{"cannot revert, there is no history"});
    QCOMPARE(log.names(log.ctx->packets), QString("ABCDEF"));
    QVERIFY(!log.ctx->modified);
}

void ContextHistoryTest::clearHistoryKeepsRemovals()
{
    Log log;
    log.ctx->removePackets(log.pick("A"));
    log.ctx->clearHistory();
    QVERIFY(!log.ctx->modified);
    QVERIFY(log.ctx->history.isEmpty());
    QCOMPARE(log.names(log.ctx->packets), QString("BCDEF"));

    log.ctx->removePackets(log.pick("F"));
    QCOMPARE(log.ctx->history.size(), 1);
    QCOMPARE(log.names(log.ctx->history.at(0)->packets), QString("BCDEF"));
    log.ctx->revert();
    QCOMPARE(log.names(log.ctx->packets), QString("BCDEF"));
}

void ContextHistoryTest::snapshotCopy()
{
    Log log;
    Context* child = new Context(log.ctx, "sel", log.pick("AB"), log.store.get(), true);
    Context copy(*child);
    QCOMPARE(copy.parent, log.ctx);
    QCOMPARE(copy.store, log.store.get());
    QCOMPARE(copy.name, QString("sel"));
    QVERIFY(copy.children.isEmpty());
    QCOMPARE(log.ctx->children.size(), 1);   // the copy is not entered
    QCOMPARE(copy.packets.at(0).data(), child->packets.at(0).data());
    QCOMPARE(copy.conversationCount(), child->conversationCount());
    QCOMPARE(copy.histograms.size(), child->histograms.size());
}

void ContextHistoryTest::copiesOwnTheirSnapshots()
{
    // Two copies of a changed context and the context itself each delete
    // their own snapshot (a shared one would be freed three times).
    Log log;
    log.ctx->removePackets(log.pick("AB"));
    QCOMPARE(log.ctx->history.size(), 1);
    auto* first = new Context(*log.ctx);
    auto* second = new Context(*first);
    QCOMPARE(first->history.size(), 1);
    QCOMPARE(second->history.size(), 1);
    QVERIFY(first->history.at(0) != log.ctx->history.at(0));
    QVERIFY(second->history.at(0) != first->history.at(0));
    QCOMPARE(log.names(second->history.at(0)->packets), QString("ABCDEF"));
    QVERIFY(second->modified);

    delete first;
    // A copy reverts on its own, to what the context held before the removal.
    second->revert();
    QCOMPARE(log.names(second->packets), QString("ABCDEF"));
    QVERIFY(second->history.isEmpty());
    delete second;

    log.ctx->revert();
    QCOMPARE(log.names(log.ctx->packets), QString("ABCDEF"));
}

void ContextHistoryTest::revertLeavesChildrenAlone()
{
    Log log;
    log.ctx->removePackets(log.pick("A"));
    Context* child = new Context(log.ctx, "sel", log.pick("BC"), log.store.get(), true);
    log.ctx->revert();
    QCOMPARE(log.ctx->children.size(), 1);
    QCOMPARE(log.ctx->children.at(0), child);
    QCOMPARE(child->parent, log.ctx);
    QCOMPARE(log.ctx->name, QString("All"));
}

void ContextHistoryTest::filterContextKeepsSnapshot()
{
    Log log;
    log.store->filterContext(log.ctx, log.pick("CE"));
    QCOMPARE(log.names(log.ctx->packets), QString("ABDF"));
    QVERIFY(log.ctx->modified);
    log.store->filterContext(nullptr, log.pick("A"));   // harmless
    log.ctx->revert();
    QCOMPARE(log.names(log.ctx->packets), QString("ABCDEF"));
}

void ContextHistoryTest::storeDeletesTreeWithSnapshots()
{
    auto* log = new Log;
    Context* child = new Context(log->ctx, "child", log->pick("ABCD"), log->store.get(), true);
    Context* grandchild = new Context(child, "grandchild", log->pick("AB"), log->store.get(), true);
    new Context(log->ctx, "second", log->pick("F"), log->store.get(), true);
    log->ctx->removePackets(log->pick("F"));
    child->removePackets(log->pick("C"));
    grandchild->removePackets(log->pick("A"));

    int destroyed = 0;
    QList<Context*> all{log->ctx, child, grandchild, log->ctx->children.at(1),
                        log->ctx->history.at(0), child->history.at(0), grandchild->history.at(0)};
    for (Context* c : all)
        connect(c, &QObject::destroyed, this, [&destroyed] { ++destroyed; });
    delete log;   // deletes the store
    QCOMPARE(destroyed, all.size());
}

void ContextHistoryTest::childSurvivesParent()
{
    Log log;
    Context* parent = new Context(log.ctx, "p", log.pick("ABC"), log.store.get(), true);
    Context* child = new Context(parent, "c", log.pick("A"), log.store.get(), true);
    child->removePackets(log.pick("A"));
    delete parent;
    QCOMPARE(child->parent, static_cast<Context*>(nullptr));
    QCOMPARE(child->history.at(0)->parent, static_cast<Context*>(nullptr));
    delete child;   // must not reach back into the deleted parent
    QCOMPARE(log.ctx->children.size(), 0);
}

LUMIVANE_TEST(ContextHistoryTest)
#include "ContextHistoryTest.moc"
