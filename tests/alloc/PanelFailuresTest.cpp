#include "AttributeFixture.h"
#include "FailingNew.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "app/MessageAsker.h"
#include "core/TVariant.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/DoubleSlider.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/attributes/ScentedWidget.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>
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
        QStringList paleText;
        for (int i : pale)
            paleText << QString::number(i);
        out << QStringLiteral("%1 picked %2 highlighted %3 slider %4-%5 pale %6 hovered %7 picked bins %8")
                   .arg(h->attribute)
                   .arg(h->pickedPackets.size())
                   .arg(h->highlightedPackets.size())
                   .arg(h->slider->from)
                   .arg(h->slider->to)
                   .arg(paleText.join(QLatin1Char(',')))
                   .arg(h->hoveredBins.size())
                   .arg(h->pickedBins.size());
        if (!h->serie)
            continue;
        QString bars;
        for (const BinItem* bin : h->serie->items.items)
            bars += QStringLiteral("%1/%2/%3/%4/%5%6 %7,%8 %9x%10; ")
                        .arg(bin->label)
                        .arg(bin->packets.size())
                        .arg(bin->selectedCount)
                        .arg(bin->auxValue)
                        .arg(bin->auxFlag ? QStringLiteral("pale") : QString())
                        .arg(bin->selected ? QStringLiteral("+") : QString())
                        .arg(bin->x)
                        .arg(bin->y)
                        .arg(bin->width())
                        .arg(bin->height());
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

// A panel (of the trace side for `traces`) over the tiny log, with a
// selection and a range filter set before the action.
struct Panel
{
    Data data = tinyLog();
    std::unique_ptr<RibbonAttributeWidget> ribbon;
    AttributeWidget* panel = nullptr;
    Sent sent;

    explicit Panel(bool traces)
    {
        data.control->installEventFilter(&sent);
        ribbon.reset(new RibbonAttributeWidget(data.control.get(), traces, nullptr));
        panel = ribbon->panel;
        panel->setContext(data.context);
        Packets first;
        first.append(data.context->packets.at(0));
        first.append(data.context->packets.at(3));
        panel->setSelectedPackets(first);
        if (ScentedWidget* h = histogramOf(*panel, traces ? QStringLiteral("conv.length") : QStringLiteral("proto")))
            emit h->slider->dragMove(0.0, 0.5);
        panel->waitForJobs();
    }
    QStringList text() { return panelText(*panel, data.context) << QStringLiteral("sent %1").arg(sent.events); }
};

// The action as the entry the user's input reaches starts it; what it
// hands over is made before the failures are armed.
struct Action
{
    QString name;
    bool traces = false;
    QString attribute;
    std::unique_ptr<PacketsEvent> event;
    ScentedWidget* histogram = nullptr;

    void prepare(Panel& p)
    {
        histogram = histogramOf(*p.panel, attribute);
        if (name == QLatin1String("select") || name == QLatin1String("hover")) {
            Packets events;
            events.append(p.data.context->packets.at(1));
            events.append(p.data.context->packets.at(2));
            events.append(p.data.context->packets.at(4));
            event.reset(new PacketsEvent(nullptr, events, {name}));
        } else if (name == QLatin1String("search")) {
            p.ribbon->searchBox->setCurrentText(QStringLiteral("r"));
            p.ribbon->keyTimer->stop();
        }
    }
    void run(Panel& p)
    {
        if (name == QLatin1String("drag")) {
            if (histogram)
                emit histogram->slider->dragMove(0.3, 0.8);
        } else if (name == QLatin1String("release")) {
            // The release of the slider: the range, then its picked events
            // sent to the other views.
            if (histogram) {
                emit histogram->slider->dragMove(0.3, 0.8);
                emit histogram->slider->dragTimeOut(0.3, 0.8);
            }
        } else if (name == QLatin1String("search")) {
            // The key timer's time out, as the event loop delivers it.
            QMetaObject::invokeMethod(p.ribbon->keyTimer, "timeout");
        } else {
            QCoreApplication::sendEvent(p.panel, event.get());
        }
        // A selection is applied on the panel's pool: its end is part of
        // the action.
        p.panel->waitForJobs();
        QCoreApplication::processEvents();
    }
};

// The first line where two texts part, for a failure's description.
QString firstDifference(const QStringList& shown, const QStringList& wanted)
{
    for (int i = 0; i < std::max(shown.size(), wanted.size()); ++i) {
        if (shown.value(i) != wanted.value(i))
            return QStringLiteral("line %1: %2 instead of %3").arg(i).arg(shown.value(i), wanted.value(i));
    }
    return QString();
}

QString said(const QList<MessageAsker::Request>& boxes)
{
    QStringList out;
    for (const MessageAsker::Request& box : boxes)
        out << box.title + QStringLiteral(": ") + box.text;
    return QStringLiteral("%1 messages (%2)").arg(boxes.size()).arg(out.join(QStringLiteral(" / ")));
}

void attempt(Action& act, const QString& title, const QStringList& once, long n,
             QList<MessageAsker::Request>& boxes, bool& hit, long& messages)
{
    const int widgets = QApplication::allWidgets().size();
    {
        Panel p(act.traces);
        const QStringList before = p.text();
        act.prepare(p);
        boxes.clear();
        {
            failingnew::FailAt fail(n);
            try {
                act.run(p);
            } catch (const std::exception& e) {
                hit = fail.stop();
                QTest::qFail(qPrintable(QStringLiteral("failure point %1: %2 escaped").arg(n).arg(e.what())),
                             __FILE__, __LINE__);
                return;
            }
            hit = fail.stop();
        }
        const QString where = QStringLiteral("failure point %1").arg(n);
        const QStringList shown = p.text();
        if (boxes.isEmpty()) {
            QVERIFY2(shown == once, qPrintable(where + QStringLiteral(": ran through, but shows ")
                                               + firstDifference(shown, once)));
        } else {
            ++messages;
            QVERIFY2(boxes.size() == 1 && boxes.first().title == title
                         && boxes.first().text.contains(QLatin1String("memory")),
                     qPrintable(where + QStringLiteral(": ") + said(boxes)));
            const bool empty = p.panel->histograms().isEmpty();
            QVERIFY2(shown == before || shown == once || empty,
                     qPrintable(where + QStringLiteral(": shows ") + firstDifference(shown, before)
                                + QStringLiteral(", against the result ") + firstDifference(shown, once)));
            // A panel left without histograms is laid out again first.
            if (empty)
                p.panel->filterAttributes(p.panel->filter);
        }
        const int told = boxes.size();
        act.prepare(p);
        act.run(p);
        QVERIFY2(boxes.size() == told, qPrintable(where + QStringLiteral(": done again, ") + said(boxes)));
        QVERIFY2(p.text() == once, qPrintable(where + QStringLiteral(": done again, shows ")
                                              + firstDifference(p.text(), once)));
    }
    QVERIFY2(QApplication::allWidgets().size() == widgets,
             qPrintable(QStringLiteral("failure point %1 leaves a widget behind").arg(n)));
}

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

// A selection of other views reaching a panel whose histograms show an
// earlier one, applied on the panel's pool: what it shows afterwards, the
// drawing of every histogram included.
struct SelectionScene
{
    Data data = wideLog();
    std::unique_ptr<RibbonAttributeWidget> ribbon;
    AttributeWidget* panel = nullptr;
    Packets chosen;
    Packets handed;
    std::unique_ptr<PacketsEvent> event;

    explicit SelectionScene(bool traces)
    {
        ribbon.reset(new RibbonAttributeWidget(data.control.get(), traces, nullptr));
        panel = ribbon->panel;
        // Shown, so that every histogram draws at its size.
        ribbon->resize(320, 400);
        ribbon->show();
        panel->setContext(data.context);
        Packets first;
        first.append(data.context->packets.at(0));
        first.append(data.context->packets.at(9));
        panel->setSelectedPackets(first);
        panel->waitForJobs();
        QCoreApplication::processEvents();
        for (int i = 5; i < 29; i += 2)
            chosen.append(data.context->packets.at(i));
    }

    // Made before the failures are armed.
    void prepare(const QString& way)
    {
        QList<QVariant> args{QStringLiteral("select")};
        if (way == QLatin1String("ctrl"))
            args.append(QStringLiteral("ctrl"));
        event.reset(new PacketsEvent(nullptr, chosen, args));
        // Handed over as the caller's copy, made here.
        handed = chosen;
    }

    void run(const QString& way)
    {
        if (way == QLatin1String("handed"))
            panel->setSelectedPackets(std::move(handed));
        else
            QCoreApplication::sendEvent(panel, event.get());
        panel->waitForJobs();
        // The marks that a job drew on its own thread are shown here.
        QCoreApplication::processEvents();
    }

    QStringList text()
    {
        QStringList out = panelText(*panel, data.context);
        for (ScentedWidget* h : panel->histograms().items)
            out << QStringLiteral("%1 drawn %2x%3 %4")
                       .arg(h->attribute)
                       .arg(h->image.width())
                       .arg(h->image.height())
                       .arg(qHashBits(h->image.constBits(), std::size_t(h->image.sizeInBytes())));
        return out;
    }
};

// One failure point of a selection's job (see selectionJob).
void attemptSelection(const QString& way, bool traces, const QStringList& before, const QStringList& once, long n,
                      QList<MessageAsker::Request>& boxes, bool& hit, long& messages)
{
    const QString where = QStringLiteral("failure point %1").arg(n);
    {
        SelectionScene scene(traces);
        QCOMPARE(scene.text(), before);
        scene.prepare(way);
        boxes.clear();
        {
            failingnew::FailAt fail(n);
            try {
                scene.run(way);
            } catch (...) {
                fail.stop();
                QTest::qFail(qPrintable(where + QStringLiteral(" escaped")), __FILE__, __LINE__);
                return;
            }
            hit = fail.stop();
        }
        QCoreApplication::processEvents();
        const QStringList shown = scene.text();
        if (boxes.isEmpty()) {
            QVERIFY2(shown == once, qPrintable(where + QStringLiteral(": nothing said, but shows ")
                                               + firstDifference(shown, once)));
        } else {
            ++messages;
            QVERIFY2(boxes.size() == 1 && boxes.first().title == QLatin1String("Failed to select events")
                         && boxes.first().text.contains(QLatin1String("memory")),
                     qPrintable(where + QStringLiteral(": ") + said(boxes)));
            if (boxes.first().text.contains(QLatin1String("as before")))
                QVERIFY2(shown == before, qPrintable(where + QStringLiteral(": said as before, but shows ")
                                                     + firstDifference(shown, before)));
            else
                QVERIFY2(scene.panel->histograms().isEmpty(),
                         qPrintable(where + QStringLiteral(": ") + said(boxes) + QStringLiteral(", but shows ")
                                    + firstDifference(shown, once)));
            // Laid out again, the panel shows the selection it holds.
            if (scene.panel->histograms().isEmpty())
                scene.panel->filterAttributes(scene.panel->filter);
        }
        const int told = boxes.size();
        scene.prepare(way);
        scene.run(way);
        QVERIFY2(boxes.size() == told, qPrintable(where + QStringLiteral(": done again, ") + said(boxes)));
        QVERIFY2(scene.text() == once, qPrintable(where + QStringLiteral(": done again, shows ")
                                                  + firstDifference(scene.text(), once)));
    }
}

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
    for (const char* library : {"libQt5Widgets", "libQt5Gui", "libQt5Core", "libQt5Test", "qt5/plugins/platforms"})
        QVERIFY2(failingnew::spareCallersIn(library), library);
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

    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });
    // The panel's debug lines are dropped: the test's own output would
    // allocate where nothing may throw.
    const QtMessageHandler log = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    Action act;
    act.name = action;
    act.traces = traces;
    act.attribute = attribute;
    // What a panel that never failed shows after the action, and again.
    QStringList once;
    {
        Panel p(traces);
        const QStringList before = p.text();
        act.prepare(p);
        act.run(p);
        once = p.text();
        QVERIFY2(once != before, qPrintable(once.join(QLatin1Char('|'))));
        act.prepare(p);
        act.run(p);
        QCOMPARE(p.text(), once);
    }
    QVERIFY(boxes.isEmpty());

    long messages = 0;
    const long points = sweep::run(QString(QTest::currentDataTag()), [&](long n) {
        bool hit = false;
        attempt(act, title, once, n, boxes, hit, messages);
        return hit && !QTest::currentTestFailed();
    });
    qInstallMessageHandler(log);
    MessageAsker::setHandler(previous);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << messages
                      << "of them stopped with the message";
    QVERIFY(points > 0);
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

    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });
    const QtMessageHandler log = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    QStringList before;
    QStringList once;
    {
        SelectionScene scene(traces);
        before = scene.text();
        scene.prepare(way);
        scene.run(way);
        once = scene.text();
        QVERIFY2(once != before, qPrintable(once.join(QLatin1Char('|'))));
        scene.prepare(way);
        scene.run(way);
        QCOMPARE(scene.text(), once);
    }
    QVERIFY(boxes.isEmpty());

    long messages = 0;
    const long points = sweep::run(QString(QTest::currentDataTag()), [&](long n) {
        bool hit = false;
        attemptSelection(way, traces, before, once, n, boxes, hit, messages);
        return hit && !QTest::currentTestFailed();
    });
    qInstallMessageHandler(log);
    MessageAsker::setHandler(previous);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << messages
                      << "of them stopped with the message";
    QVERIFY(points > 0);
}

LUMIVANE_TEST(PanelFailuresTest)
#include "PanelFailuresTest.moc"
