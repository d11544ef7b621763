#pragma once

// A line chart and its mini view over a computed context. The store holds
// the event attributes frame.time_epoch (range), colour (text), kind (text,
// matched by the rules), ratio (numeric, doubles) and size (range); events
// are given as (trace, time, colour, kind) rows. The event matrix of the
// same store is built too, for rule mode, arcs and the options dialog.

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "core/Packet.h"
#include "events/EventType.h"
#include "events/PacketsEvent.h"
#include "items/AxisPer.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/charts/LineChart.h"
#include "views/charts/LineChartMiniView.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QSet>
#include <QWheelEvent>

#include <cmath>
#include <functional>
#include <memory>

namespace chartfixture {

using PacketPtr = QSharedPointer<Packet>;

// Columns of the events.
constexpr int TIME = 0;
constexpr int COLOUR = 1;
constexpr int KIND = 2;
constexpr int RATIO = 3;
constexpr int SIZE = 4;

struct Event
{
    int trace;
    double time;
    QString colour;
    QString kind;
    double ratio = 0.5;
};

// Keeps every packets event that reaches the controller.
class Published : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == toEventType(PACKETSEVENT)) {
            auto* pe = static_cast<PacketsEvent*>(e);
            args.append(pe->args);
            QSet<PacketPtr> set;
            for (const PacketPtr& p : pe->events())
                set.insert(p);
            packets.append(set);
        }
        return false;
    }
    QList<QList<QVariant>> args;
    QList<QSet<PacketPtr>> packets;
};

// A rule that turns every event of kind `kind` into a glyph named and
// labelled `name`; its precondition is one glyph named `first` (the wild
// card matches every event that meets its condition).
inline Rule kindRule(const QString& name, const QString& kind, const QString& first,
                     const QColor& fill = QColor(Qt::red))
{
    auto* test = new ParseNode(ParseNode::Test);
    test->name = QStringLiteral("kind");
    test->op = ParseNode::Equal;
    test->value = TVariant(kind, false);
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = first;
    leaf->glyph.fillColor = fill;
    leaf->glyph.condition = test;
    auto* pre = new ParseNode(ParseNode::And);
    pre->addChild(leaf);
    auto* glyph = new ParseNode(ParseNode::Leaf);
    glyph->glyph.name = name;
    glyph->glyph.label = name;
    glyph->glyph.id = 30;
    auto* post = new ParseNode(ParseNode::And);
    post->addChild(glyph);
    return Rule(name, pre, post, true, true);
}

class Charts
{
public:
    explicit Charts(const QList<Event>& events, int width = 500, int height = 300,
                    const QList<Rule>& rules = {})
        : control(new ControlWidget(nullptr))
    {
        TIME_ATTRIBUTE = QStringLiteral("frame.time_epoch");
        GlyphStore* store = control->glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>{TIME_ATTRIBUTE, QStringLiteral("colour"), QStringLiteral("kind"),
                                            QStringLiteral("ratio"), QStringLiteral("size")},
                             TList<int>{1, 3, 3, 0, 1});
        for (const Rule& rule : rules)
            store->rules.append(rule);
        TList<PacketPtr> list;
        int i = 0;
        for (const Event& e : events) {
            PacketPtr p(new Packet(TList<TVariant>{TVariant(e.time), TVariant(e.colour, false),
                                                   TVariant(e.kind, false), TVariant(e.ratio),
                                                   TVariant(++i % 7)}));
            p->conversationId = e.trace;
            list.append(p);
        }
        context = new Context(nullptr, QStringLiteral("All"), list, store, true);
        store->rootContext = context;   // the store deletes it

        options.reset(new OptionsWidget(control.get(), nullptr));
        matrix.reset(new EventWidget(control.get(), options.get(), 0, nullptr));
        options->view = matrix.get();
        matrix->context = context;
        matrix->reset();
        matrix->resizeWidget(600, 400);
        matrix->setContext(context);

        chart.reset(new LineChart(control.get(), matrix.get(), nullptr));
        mini.reset(new LineChartMiniView(control.get(), matrix.get(), chart.get(), nullptr));
        chart->miniView = mini.get();
        chart->resize(width, height);
        mini->resize(width, 50);
        // As a data load hands the context over.
        for (LineChart* c : {static_cast<LineChart*>(chart.get()), static_cast<LineChart*>(mini.get())})
            c->reset();
        mini->setContext(context, true, true);
        chart->setContext(context, true, true);
        control->installEventFilter(&published);
    }

    ~Charts()
    {
        control->removeEventFilter(&published);
        chart->miniView = nullptr;
        mini.reset();
        chart.reset();
        matrix.reset();
        options.reset();
        control.reset();
    }

    GlyphStore* store() const { return control->glyphStore; }

    // Number of bins of a chart over its axis.
    static int bins(const LineChart* c) { return LineChart::binCount(c->timeAxis->width); }

    // Event count per slot of a series.
    static QList<int> counts(const BinSerie* serie)
    {
        QList<int> out;
        for (const BinItem* item : serie->items)
            out.append(item ? item->packets.size() : 0);
        return out;
    }

    // The point a press selects the item at: one whose whole pixel lies in
    // the item's extent [x, x + 1] and in no earlier one's.
    static QPoint at(const BinItem* item)
    {
        return QPoint(int(std::floor(item->x)) + 1, int(std::ceil(item->y)));
    }

    static void move(QWidget* w, const QPoint& p, Qt::MouseButtons buttons = Qt::NoButton)
    {
        QMouseEvent e(QEvent::MouseMove, p, Qt::NoButton, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &e);
    }

    static void press(QWidget* w, const QPoint& p, Qt::KeyboardModifiers mods = Qt::NoModifier,
                      Qt::MouseButton button = Qt::LeftButton)
    {
        move(w, p);
        QMouseEvent e(QEvent::MouseButtonPress, p, button, button, mods);
        QCoreApplication::sendEvent(w, &e);
    }

    static void release(QWidget* w, const QPoint& p)
    {
        QMouseEvent e(QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &e);
    }

    static void wheel(QWidget* w, int steps)
    {
        const QPoint p(w->width() / 2, w->height() / 2);
        QWheelEvent e(QPointF(p), QPointF(w->mapToGlobal(p)), QPoint(), QPoint(0, 120 * steps),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(w, &e);
    }

    QSet<PacketPtr> eventsWhere(const std::function<bool(const PacketPtr&)>& keep) const
    {
        QSet<PacketPtr> out;
        for (const PacketPtr& p : context->packets)
            if (keep(p))
                out.insert(p);
        return out;
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<OptionsWidget> options;
    std::unique_ptr<EventWidget> matrix;
    std::unique_ptr<LineChart> chart;
    std::unique_ptr<LineChartMiniView> mini;
    Context* context = nullptr;
    Published published;
};

// Events at the given times, in one trace each of ten, coloured by the
// remainder of their index by 3 ("a", "b", "c"), kinds "x" and "y" in turn.
inline QList<Event> eventsAt(const QList<double>& times)
{
    QList<Event> events;
    const QStringList colours{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    for (int i = 0; i < times.size(); ++i)
        events.append({i % 10, times.at(i), colours.at(i % 3), i % 2 ? QStringLiteral("y") : QStringLiteral("x")});
    return events;
}

} // namespace chartfixture
