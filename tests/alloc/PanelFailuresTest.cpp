#include "ActionSweep.h"
#include "AttributeFixture.h"
#include "TestRegistry.h"

#include "core/TVariant.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/DoubleSlider.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/attributes/ScentedWidget.h"

#include <QComboBox>
#include <QtTest>

#include <algorithm>
#include <memory>

// Every allocation of what another view or the user's input makes the side
// panel do fails in turn: the range slider's drag and its release (whose
// picked events go to the other views whole or not at all), a selection and
// a hover sent to the panel, the search box's filter. No exception leaves the
// entry; the panel shows what a panel that never failed shows, or, with one
// message that names memory, what it showed before or no histograms; and
// the same action done again shows what a panel that never failed shows.

using attributes::Data;
using attributes::Packets;

namespace {

// Six events in three traces: two text attributes and two ranges.
Data tinyLog()
{
    const QList<QStringList> rows{{"1600000000", "10.0.0.1", "tcp", "60"},  {"1600000005", "10.0.0.2", "udp", "590"},
                                  {"1600000009", "10.0.0.1", "tcp", "120"}, {"1600000014", "10.0.0.3", "dns", "60"},
                                  {"1600000020", "10.0.0.2", "tcp", "1500"}, {"1600000031", "10.0.0.1", "udp", "60"}};
    return attributes::make({"frame.time_epoch", "ip.src", "proto", "frame.len"}, {1, 3, 3, 1}, rows,
                            {1, 2, 1, 3, 2, 1});
}

QString text(const TVariant& v)
{
    if (v.isPair())
        return QStringLiteral("%1..%2").arg(v.toPair().first).arg(v.toPair().second);
    return v.toString();
}

QStringList filtersText(const THash<int, QSet<TVariant>>& filters)
{
    QStringList out;
    for (auto it = filters.constBegin(); it != filters.constEnd(); ++it) {
        QStringList values;
        for (const TVariant& v : it.value())
            values << text(v);
        values.sort();
        out << QStringLiteral("%1:%2").arg(it.key()).arg(values.join(QLatin1Char(',')));
    }
    out.sort();
    return out;
}

// The panel's selection and hover, the context's filters and every
// histogram: its marks, slider, pale bins and bars.
QStringList panelText(AttributeWidget& panel, Context* context)
{
    QStringList out;
    out << QStringLiteral("selected %1 hovered %2 filters %3 | %4")
               .arg(panel.selected.size())
               .arg(panel.hovered.size())
               .arg(filtersText(context->valueSets).join(QLatin1Char(' ')),
                    filtersText(context->conversationValueSets).join(QLatin1Char(' ')));
    for (ScentedWidget* h : panel.histograms().items) {
        QList<int> pale = h->filteredBins.values();
        std::sort(pale.begin(), pale.end());
        out << actionsweep::line(h->attribute, "picked", h->pickedPackets.size(), "highlighted",
                                 h->highlightedPackets.size(), "slider", h->slider->from, h->slider->to, "pale", pale,
                                 "hovered", h->hoveredBins.size(), "picked bins", h->pickedBins.size());
        if (!h->serie)
            continue;
        QString bars;
        for (const BinItem* bin : h->serie->items.items)
            bars += actionsweep::line(bin->label, bin->packets.size(), bin->selectedCount, bin->auxValue, bin->auxFlag,
                                      bin->selected, bin->x, bin->y, bin->width(), bin->height()) + "; ";
        out << bars;
    }
    return out;
}

ScentedWidget* histogramOf(AttributeWidget& panel, const QString& attribute)
{
    for (ScentedWidget* h : panel.histograms().items) {
        if (h->attribute == attribute)
            return h;
    }
    return nullptr;
}

// The size of the last packets event sent to the controller (-1: none);
// it allocates nothing, as the failures reach it too.
class Sent : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (int(event->type()) == PACKETSEVENT)
            events = int(static_cast<PacketsEvent*>(event)->events().size());
        return false;
    }
    int events = -1;
};

// Forty-eight events in eight traces: a text attribute with a value for
// each event (its histogram marks that it shows only part of them), one of
// three values and a range.
Data wideLog()
{
    QList<QStringList> rows;
    QList<int> traces;
    const QStringList protos{QStringLiteral("tcp"), QStringLiteral("udp"), QStringLiteral("dns")};
    for (int i = 0; i < 48; ++i) {
        rows.append({QString::number(1600000000 + 7 * i), QStringLiteral("10.0.1.%1").arg(i), protos.at(i % 3),
                     QString::number(60 + 37 * (i % 11))});
        traces.append(1 + i % 8);
    }
    return attributes::make({"frame.time_epoch", "ip.src", "proto", "frame.len"}, {1, 3, 3, 1}, rows, traces);
}

// A fresh panel (of the trace side for `traces`) and the action as the
// entry the user's input reaches starts it; what it hands over is made
// before the failures are armed. Over the tiny log, a selection and a range
// filter set before the action. For a selection's job (its way "event",
// "ctrl" or "handed"), over the wide log, shown so that every histogram
// draws at its size, with an earlier selection.
struct PanelScene : actionsweep::Scene
{
    PanelScene(const QString& action, bool traces, const QString& title, const QString& attribute = QString())
        : action(action), traces(traces), title(title), attribute(attribute),
          job(action == QLatin1String("event") || action == QLatin1String("ctrl") || action == QLatin1String("handed"))
    {
        // The panel's debug lines are dropped: the test's own output would
        // allocate where nothing may throw.
        quiet = true;
        mustStop = false;
    }

    void prepare() override
    {
        ribbon.reset();
        data = job ? wideLog() : tinyLog();
        sent.events = -1;
        data.control->installEventFilter(&sent);
        ribbon.reset(new RibbonAttributeWidget(data.control.get(), traces, nullptr));
        panel = ribbon->panel;
        if (job) {
            ribbon->resize(320, 400);
            ribbon->show();
        }
        panel->setContext(data.context);
        Packets first;
        first.append(data.context->packets.at(0));
        first.append(data.context->packets.at(job ? 9 : 3));
        panel->setSelectedPackets(first);
        if (ScentedWidget* h = job ? nullptr : histogramOf(*panel, traces ? "conv.length" : "proto"))
            emit h->slider->dragMove(0.0, 0.5);
        panel->waitForJobs();
        QCoreApplication::processEvents();
        hand();
    }

    void act() override
    {
        if (action == QLatin1String("drag") || action == QLatin1String("release")) {
            // The release of the slider: the range, then its picked events
            // sent to the other views.
            if (histogram)
                emit histogram->slider->dragMove(0.3, 0.8);
            if (histogram && action == QLatin1String("release"))
                emit histogram->slider->dragTimeOut(0.3, 0.8);
        } else if (action == QLatin1String("search")) {
            // The key timer's time out, as the event loop delivers it.
            QMetaObject::invokeMethod(ribbon->keyTimer, "timeout");
        } else if (action == QLatin1String("handed")) {
            panel->setSelectedPackets(std::move(handed));
        } else {
            QCoreApplication::sendEvent(panel, event.get());
        }
        // A selection is applied on the panel's pool: its end is part of
        // the action, and the marks that a job drew on its own thread are
        // shown here.
        panel->waitForJobs();
        QCoreApplication::processEvents();
    }

    // A panel left without histograms is laid out again first: it shows the
    // selection it holds.
    void again() override
    {
        if (panel->histograms().isEmpty())
            panel->filterAttributes(panel->filter);
        hand();
    }

    // The panel; for a selection's job the drawing of every histogram, else
    // what it sent.
    QStringList state() const override
    {
        QStringList out = panelText(*panel, data.context);
        if (!job)
            return out << QStringLiteral("sent %1").arg(sent.events);
        for (ScentedWidget* h : panel->histograms().items)
            out << actionsweep::line(h->attribute, "drawn", h->image.size(),
                                     qHashBits(h->image.constBits(), std::size_t(h->image.sizeInBytes())));
        return out;
    }

    // What the panel showed, what a panel that never failed shows, or no
    // histograms; after a selection's job, the old selection as the message
    // says, or no histograms.
    QString stopped(const actionsweep::Stop& stop) const override
    {
        if (stop.told.title != title || !stop.told.text.contains(QLatin1String("memory")))
            return QStringLiteral("not the action's message");
        const bool empty = panel->histograms().isEmpty();
        const bool fine = !job ? stop.shown == stop.before || stop.shown == stop.once || empty
                          : stop.told.text.contains(QLatin1String("as before")) ? stop.shown == stop.before
                                                                                : empty;
        if (fine)
            return QString();
        return actionsweep::difference(stop.shown, stop.before);
    }

    void hand()
    {
        histogram = histogramOf(*panel, attribute);
        Packets events;
        for (int i : job ? QList<int>{5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27} : QList<int>{1, 2, 4})
            events.append(data.context->packets.at(i));
        QList<QVariant> args{job ? QStringLiteral("select") : action};
        if (action == QLatin1String("ctrl"))
            args.append(QStringLiteral("ctrl"));
        event.reset(new PacketsEvent(nullptr, events, args));
        // The caller's copy, made here.
        handed = events;
        if (action == QLatin1String("search")) {
            ribbon->searchBox->setCurrentText(QStringLiteral("r"));
            ribbon->keyTimer->stop();
        }
    }

    const QString action;
    const bool traces;
    const QString title;
    const QString attribute;
    const bool job;
    Data data;
    Sent sent;
    std::unique_ptr<RibbonAttributeWidget> ribbon;
    AttributeWidget* panel = nullptr;
    ScentedWidget* histogram = nullptr;
    std::unique_ptr<PacketsEvent> event;
    Packets handed;
};

} // namespace

class PanelFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyAllocation_data();
    void everyAllocation();
    void selectionJob_data();
    void selectionJob();
};

void PanelFailuresTest::initTestCase()
{
    // Qt's own code does not recover from an allocation that fails (see
    // LoadFailuresTest): only the program's allocations fail.
    sweep::spareQt();
}

void PanelFailuresTest::everyAllocation_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("traces");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QString>("title");
    QTest::newRow("drag over text") << "drag" << false << "proto" << "Failed to filter events";
    QTest::newRow("drag over a range") << "drag" << false << "frame.len" << "Failed to filter events";
    QTest::newRow("drag over traces") << "drag" << true << "conv.length" << "Failed to filter events";
    QTest::newRow("release over traces") << "release" << true << "conv.length" << "Failed to filter events";
    QTest::newRow("selection") << "select" << false << "" << "Failed to select events";
    QTest::newRow("selection of traces") << "select" << true << "" << "Failed to select events";
    QTest::newRow("hover") << "hover" << false << "" << "Failed to highlight events";
    QTest::newRow("search") << "search" << false << "" << "Failed to filter attributes";
}

void PanelFailuresTest::everyAllocation()
{
    QFETCH(QString, action);
    QFETCH(bool, traces);
    QFETCH(QString, attribute);
    QFETCH(QString, title);
    PanelScene scene(action, traces, title, attribute);
    QVERIFY(actionsweep::run(QString::fromLatin1(QTest::currentDataTag()), scene).told.isEmpty());
}

void PanelFailuresTest::selectionJob_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("traces");
    // From another view: the sliders are reset for it, so that a selection
    // that does not come leaves the panel without histograms.
    QTest::newRow("selection of another view") << "event" << false;
    QTest::newRow("selection of another view, traces") << "event" << true;
    // With the control key, or handed to the panel: nothing changed for it
    // before, so that the panel keeps what it showed.
    QTest::newRow("added selection of another view") << "ctrl" << false;
    QTest::newRow("selection handed over") << "handed" << false;
}

// The selection's job and the histograms' jobs it starts fail allocation by
// allocation: the histograms show the old selection or the new one, every
// one of them drawn as a panel that never failed draws it, or none when the
// one message says so; never some histograms marked and others not, nor
// marks that are not drawn.
void PanelFailuresTest::selectionJob()
{
    QFETCH(QString, way);
    QFETCH(bool, traces);
    PanelScene scene(way, traces, QStringLiteral("Failed to select events"));
    QVERIFY(actionsweep::run(QString::fromLatin1(QTest::currentDataTag()), scene).told.isEmpty());
}

LUMIVANE_TEST(PanelFailuresTest)
#include "PanelFailuresTest.moc"
