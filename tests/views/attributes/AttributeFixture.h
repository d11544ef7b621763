#pragma once

// A controller without a window whose glyph store and computed root context
// hold a small log, for the tests of the attribute views.

#include "ContextFixture.h"

#include "app/ControlWidget.h"
#include "events/EventType.h"
#include "events/PacketsEvent.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <QEvent>
#include <QFile>
#include <QStringList>
#include <QVariant>

#include <memory>

namespace attributes {

using fixture::Packets;
using fixture::PacketPtr;

// The controller owns the store, the store owns the context.
struct Data
{
    std::unique_ptr<ControlWidget> control;
    GlyphStore* store = nullptr;
    Context* context = nullptr;
};

// A log of rows (fields in the order of names) with the attribute kinds of
// the import (1 range, 3 text, 0 numeric, 4 key) and one trace id per row
// (-1 without).
inline Data make(const QStringList& names, const QList<int>& kinds, const QList<QStringList>& rows,
                 const QList<int>& traces = {})
{
    Data d;
    d.control.reset(new ControlWidget(nullptr));
    delete d.control->glyphStore;
    d.store = fixture::makeStore(names, kinds);
    d.control->glyphStore = d.store;
    Packets events;
    for (int i = 0; i < rows.size(); ++i)
        events.append(fixture::makeEvent(rows.at(i), traces.value(i, -1)));
    d.context = new Context(nullptr, QStringLiteral("All"), events, d.store, false);
    d.store->rootContext = d.context;
    d.context->createConversations();
    return d;
}

// A fixture log of tests/data/attributes: its header names the attributes
// (times, lengths and ports are range attributes, the others text); the
// column named traceColumn gives the trace ids.
inline Data load(const QString& file, const QString& traceColumn)
{
    QFile f(QStringLiteral(LUMIVANE_TEST_DATA_DIR "/attributes/") + file);
    if (!f.open(QIODevice::ReadOnly))
        return Data();
    const QStringList names = QString::fromUtf8(f.readLine()).trimmed().split(QLatin1Char(','));
    const int traceAt = names.indexOf(traceColumn);
    QList<int> kinds;
    for (const QString& name : names) {
        const bool range = name == QLatin1String("frame.time_epoch")
                           || name == QLatin1String("frame.len") || name == QLatin1String("port");
        kinds.append(range ? 1 : 3);
    }
    QList<QStringList> rows;
    QList<int> traces;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        if (line.isEmpty())
            continue;
        const QStringList fields = line.split(QLatin1Char(','));
        rows.append(fields);
        traces.append(traceAt >= 0 ? fields.value(traceAt).toInt() : -1);
    }
    return make(names, kinds, rows, traces);
}

// Keeps the packets events that reach the controller.
class PacketsSpy : public QObject
{
public:
    explicit PacketsSpy(QObject* target) { target->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (int(event->type()) == PACKETSEVENT) {
            auto* pe = static_cast<PacketsEvent*>(event);
            packets.append(pe->eventList());
            args.append(pe->args);
            senders.append(pe->sender);
        }
        return false;
    }
    QList<Packets> packets;
    QList<QList<QVariant>> args;
    QList<QObject*> senders;
};

} // namespace attributes
