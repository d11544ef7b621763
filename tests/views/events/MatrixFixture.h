#pragma once

// An event matrix in its ribbon over a small computed context: event
// attributes time, ip.src, kind and size (a range attribute), traces given
// as strings of kinds, optional rules that turn kinds into named glyphs.

#include "CellFixture.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "events/EventType.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QComboBox>
#include <QEvent>
#include <QSize>
#include <QStringList>

#include <functional>
#include <memory>

namespace matrixfixture {

using PacketPtr = QSharedPointer<Packet>;

struct Trace
{
    int id;
    QString kinds;          // one event per letter
    QString source;         // ip.src of every event; empty = absent
};

// Columns of the events.
constexpr int TIME = 0;
constexpr int SOURCE = 1;
constexpr int KIND = 2;
constexpr int SIZE = 3;

inline TList<PacketPtr> makeEvents(const QList<Trace>& traces)
{
    TList<PacketPtr> events;
    double time = 1000.0;
    for (const Trace& t : traces) {
        for (int i = 0; i < t.kinds.size(); ++i) {
            const TVariant source = t.source.isEmpty() ? TVariant() : TVariant(t.source, false);
            PacketPtr p(new Packet(TList<TVariant>{TVariant(time), source, TVariant(QString(t.kinds.at(i)), false),
                                                   TVariant(i + 1)}));
            p->conversationId = t.id;
            events.append(p);
            time += 1.0;
        }
    }
    return events;
}

// Counts the custom events of one type that reach an object.
class EventCounter : public QObject
{
public:
    explicit EventCounter(int type) : type(type) {}
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (int(e->type()) == type) {
            ++count;
            if (onEvent)
                onEvent(e);
        }
        return false;
    }
    int type;
    int count = 0;
    std::function<void(QEvent*)> onEvent;
};

class Matrix
{
public:
    // With rules, kind x becomes glyph "X" (id 21), y "Y" (id 22) and the
    // pair a b one glyph "AB" (id 20) labelled with its event count.
    explicit Matrix(const QList<Trace>& traces, bool rules = false, const QSize& size = QSize(600, 400))
        : control(new ControlWidget(nullptr))
    {
        GlyphStore* store = control->glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                                            QStringLiteral("kind"), QStringLiteral("size")},
                             TList<int>{0, 3, 3, 1});
        if (rules) {
            using namespace cellfixture;
            store->rules.append(Rule(QStringLiteral("X"), sequence({kindLeaf(QStringLiteral("x"))}),
                                     rewrite(QStringLiteral("X"), 21), true, true));
            store->rules.append(Rule(QStringLiteral("Y"), sequence({kindLeaf(QStringLiteral("y"))}),
                                     rewrite(QStringLiteral("Y"), 22), true, true));
            store->rules.append(Rule(QStringLiteral("AB"),
                                     sequence({kindLeaf(QStringLiteral("a")), kindLeaf(QStringLiteral("b"))}),
                                     rewrite(QStringLiteral("AB"), 20), true, true));
        }
        context = new Context(nullptr, QStringLiteral("All"), makeEvents(traces), store, true);
        store->rootContext = context;   // the store deletes it

        options.reset(new OptionsWidget(control.get(), nullptr));
        ribbon.reset(new RibbonEventWidget(control.get(), options.get(), 0, nullptr));
        view = ribbon->view;
        options->view = view;
        // As a data load hands a context over.
        view->context = context;
        view->reset();
        options->connectSignals();
        view->resizeWidget(size.width(), size.height());
        view->setContext(context);
    }

    ~Matrix()
    {
        ribbon.reset();
        options.reset();
        control.reset();
    }

    GlyphStore* store() const { return control->glyphStore; }

    // The traces of a cell's rows, in row order ("-" for a row without events).
    static QList<int> rowTraces(const BinCell* cell)
    {
        QList<int> ids;
        for (const TList<BinItem*>& row : cell->rows) {
            if (row.isEmpty() || row.first()->packets.isEmpty())
                ids.append(-1);
            else
                ids.append(row.first()->packets.first()->conversationId);
        }
        return ids;
    }

    QStringList cellTitles() const
    {
        QStringList titles;
        for (const BinCell* cell : view->cells)
            titles.append(cell->header.title);
        return titles;
    }

    // Trace ids per cell, each cell's in filing order.
    QList<QList<int>> cellTraces() const
    {
        QList<QList<int>> all;
        for (const BinCell* cell : view->cells) {
            QList<int> ids;
            for (const TList<PacketPtr>& events : cell->conversations)
                ids.append(events.isEmpty() ? -1 : events.first()->conversationId);
            all.append(ids);
        }
        return all;
    }

    void selectTraces(const QList<int>& ids)
    {
        PacketSet selected;
        for (const PacketPtr& p : context->packets)
            if (ids.contains(p->conversationId))
                selected.insert(p);
        view->selectedPacketSet = selected;
        for (BinCell* cell : view->cells)
            cell->setSelectedPackets(selected);
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<OptionsWidget> options;
    std::unique_ptr<RibbonEventWidget> ribbon;
    EventWidget* view = nullptr;
    Context* context = nullptr;
};

} // namespace matrixfixture

Q_DECLARE_METATYPE(matrixfixture::Trace)
