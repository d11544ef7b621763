#include "ChartFixture.h"
#include "FailingNew.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "app/MessageAsker.h"
#include "items/Axis.h"
#include "views/charts/ChartOptionsWidget.h"
#include "views/charts/GanttWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QSignalBlocker>
#include <QTimer>
#include <QtTest>

#include <memory>

// Every allocation of what builds the line chart, its mini view or the Gantt
// chart from a user's action fails in turn: a selection handed to the chart
// or to the mini view as the controller hands it, the colour attribute
// chosen in the chart options, and the Gantt chart of a selection. No
// exception gets out; each chart is whole, as a chart that never failed
// shows it, as before the action or empty, with at most one message naming
// memory; and the action done again shows what a chart that never failed
// shows.

using namespace chartfixture;

namespace {

// Twelve events of four traces over a minute, three colours.
QList<Event> events()
{
    QList<Event> out = eventsAt({0, 5, 7, 12, 20, 21, 33, 34, 40, 48, 55, 60});
    for (int i = 0; i < out.size(); ++i) {
        out[i].trace = i % 4;
        out[i].time += 1600000000;
    }
    return out;
}

// A chart's series (per slot: events, position, '+' when selected), axes
// and selection; "empty" without series, arcs and selection.
QString chartText(const LineChart* c)
{
    if (c->series.isEmpty() && c->selectedPackets.isEmpty() && c->arcs.isEmpty())
        return QStringLiteral("empty");
    QStringList out;
    out << QStringLiteral("value %1 colour %2 counts %3..%4 selected %5 arcs %6")
               .arg(c->valueAttribute, c->colorAttribute)
               .arg(c->countMinimum).arg(c->countMaximum).arg(c->selectedPackets.size()).arg(c->arcs.size());
    if (c->valueAxis)
        out << QStringLiteral("axis %1..%2").arg(c->valueAxis->min).arg(c->valueAxis->max);
    for (const BinSerie* serie : c->series) {
        QString text = serie->color.name() + QLatin1Char(':');
        for (const BinItem* item : serie->items)
            text += item ? QStringLiteral(" %1@%2,%3%4").arg(item->packets.size()).arg(item->x).arg(item->y)
                               .arg(item->selected ? "+" : "")
                         : QStringLiteral(" -");
        out << text;
    }
    return out.join(QLatin1Char('|'));
}

QString ganttText(const GanttWidget* g)
{
    if (!g->rows || g->rows->items.isEmpty())
        return QStringLiteral("empty");
    QStringList out;
    if (g->axis)
        out << QStringLiteral("axis %1..%2").arg(g->axis->min).arg(g->axis->max);
    for (const BinItem* bar : g->rows->items)
        out << QStringLiteral("%1 %2,%3 %4x%5%6").arg(bar->name).arg(bar->x).arg(bar->y).arg(bar->width())
                   .arg(bar->height()).arg(bar->selected ? "+" : "");
    return out.join(QLatin1Char('|'));
}

// The charts, the options dialog (the colour axis shown) and a Gantt chart,
// made before the failures are armed.
struct Scene
{
    Scene()
        : charts(events(), 220, 160)
        , gantt(new GanttWidget(charts.control.get(), nullptr))
    {
        gantt->resize(300, 200);
        // Coloured by kind: a series for each of its two values.
        charts.chart->setColorAttribute(QStringLiteral("kind"),
                                        {TVariant(QStringLiteral("x"), false), TVariant(QStringLiteral("y"), false)},
                                        {QColor(Qt::red), QColor(Qt::blue)}, true);
        dialog.reset(new ChartOptionsWidget(charts.control.get(), nullptr, charts.matrix.get(), nullptr,
                                            charts.chart.get(), nullptr, nullptr));
        dialog->axisBox->setCurrentIndex(1);
        // The events of colour "a" in three of the four traces.
        for (const PacketPtr& p : charts.context->packets)
            if (p->get(COLOUR).toString() == QLatin1String("a") && p->conversationId != 3)
                chosen.append(p);
        selection.reset(new PacketsEvent(charts.matrix.get(), chosen, {QStringLiteral("select")}));
    }
    ~Scene()
    {
        gantt.reset();
        dialog.reset();
        // The tables and edits the dialog let go of.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Before the action: the combo box shows the colour attribute; the
    // user's answer in the options' loop waits for the loop.
    void prepare(const QString& action)
    {
        if (action == QLatin1String("options")) {
            result = -1;
            // The series stacked, then the dialog closed with its accepting key.
            QTimer::singleShot(0, dialog.get(), [this]() {
                dialog->stackBox->setChecked(true);
                emit dialog->stackBox->clicked(true);
                dialog->accept();
            });
            return;
        }
        if (action != QLatin1String("colour"))
            return;
        QComboBox* box = dialog->attributeBox;
        const QSignalBlocker blocker(box);
        box->setCurrentIndex(box->findText(QStringLiteral("colour")));
    }

    void run(const QString& action)
    {
        if (action == QLatin1String("chart")) {
            QCoreApplication::sendEvent(charts.chart.get(), selection.get());
        } else if (action == QLatin1String("mini view")) {
            QCoreApplication::sendEvent(charts.mini.get(), selection.get());
        } else if (action == QLatin1String("colour")) {
            // The combo box's choice, as its signal reaches the dialog.
            dialog->changeAttribute(dialog->attributeBox->currentIndex());
        } else if (action == QLatin1String("options")) {
            result = dialog->exec();
        } else {
            gantt->showSelection(chosen, charts.store());
        }
    }

    // What the action's chart or charts show, each on its own line.
    QStringList shown(const QString& action) const
    {
        if (action == QLatin1String("gantt"))
            return {ganttText(gantt.get())};
        if (action == QLatin1String("options"))
            return {chartText(charts.chart.get()), chartText(charts.mini.get()), QStringLiteral("ended %1").arg(result)};
        return {chartText(charts.chart.get()), chartText(charts.mini.get())};
    }

    Charts charts;
    std::unique_ptr<GanttWidget> gantt;
    std::unique_ptr<ChartOptionsWidget> dialog;
    TList<PacketPtr> chosen;
    std::unique_ptr<PacketsEvent> selection;
    // How the options' loop ended.
    int result = -1;
};

QString said(const QList<MessageAsker::Request>& boxes)
{
    QStringList out;
    for (const MessageAsker::Request& box : boxes)
        out << box.title + QStringLiteral(": ") + box.text;
    return QStringLiteral("%1 messages (%2)").arg(boxes.size()).arg(out.join(QStringLiteral(" / ")));
}

// One failure point: the action with its n-th allocation failing, what it
// left, and the action done again.
void attempt(const QString& action, const QStringList& before, const QStringList& once, long n,
             QList<MessageAsker::Request>& boxes, bool& hit, long& messages)
{
    const QString where = QStringLiteral("failure point %1").arg(n);
    const int widgets = QApplication::allWidgets().size();
    {
        Scene scene;
        scene.prepare(action);
        boxes.clear();
        bool escaped = false;
        {
            failingnew::FailAt fail(n);
            try {
                scene.run(action);
            } catch (...) {
                escaped = true;
            }
            hit = fail.stop();
        }
        QVERIFY2(!escaped, qPrintable(where + QStringLiteral(": an exception got out")));
        QVERIFY2(boxes.size() <= 1, qPrintable(where + QStringLiteral(": ") + said(boxes)));
        if (boxes.isEmpty()) {
            QVERIFY2(scene.shown(action) == once,
                     qPrintable(where + QStringLiteral(": ran through, but shows ") + scene.shown(action).join('\n')));
        } else {
            ++messages;
            QVERIFY2(boxes.first().icon == QMessageBox::Warning && boxes.first().title.startsWith("Failed to ")
                         && boxes.first().text.contains(QLatin1String("ran out of memory")),
                     qPrintable(where + QStringLiteral(": ") + said(boxes)));
            // Each chart as the action leaves it, as it was, or empty.
            QStringList shown = scene.shown(action);
            // The options' loop in which a change ran out of memory does
            // not end accepted.
            if (action == QLatin1String("options"))
                QVERIFY2(shown.takeLast() == QStringLiteral("ended %1").arg(int(QDialog::Rejected)),
                         qPrintable(where + QStringLiteral(": accepted after ") + said(boxes)));
            for (int k = 0; k < shown.size(); ++k)
                QVERIFY2(shown.at(k) == once.at(k) || shown.at(k) == before.at(k) || shown.at(k) == "empty",
                         qPrintable(where + QStringLiteral(": shows ") + shown.at(k) + QStringLiteral(" after ")
                                    + said(boxes)));
        }
        const int told = boxes.size();
        scene.prepare(action);
        scene.run(action);
        QVERIFY2(boxes.size() == told, qPrintable(where + QStringLiteral(": done again, ") + said(boxes)));
        QVERIFY2(scene.shown(action) == once, qPrintable(where + QStringLiteral(": done again, shows ")
                                                         + scene.shown(action).join('\n')
                                                         + QStringLiteral(" instead of ") + once.join('\n')));
    }
    QVERIFY2(QApplication::allWidgets().size() == widgets,
             qPrintable(where + QStringLiteral(": leaves a widget behind")));
}

} // namespace

class ChartFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyAllocation_data();
    void everyAllocation();
};

void ChartFailuresTest::initTestCase()
{
    // The program's own allocations fail; Qt's own code neither recovers
    // from one that fails nor frees what it had made (see LoadFailuresTest).
    sweep::spareQt();
}

void ChartFailuresTest::everyAllocation_data()
{
    QTest::addColumn<QString>("action");
    // A selection of another view, sent to the line chart and to its mini
    // view as the controller delivers it.
    QTest::newRow("selection to the chart") << "chart";
    QTest::newRow("selection to the mini view") << "mini view";
    // The colour attribute chosen in the chart options: a series per value,
    // in the chart and in the mini view.
    QTest::newRow("colour attribute") << "colour";
    // The Gantt chart of a selection's traces.
    QTest::newRow("gantt chart of a selection") << "gantt";
    // The options dialog run in its own loop, the series stacked in it.
    QTest::newRow("stacked in the options' loop") << "options";
}

void ChartFailuresTest::everyAllocation()
{
    QFETCH(QString, action);
    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });

    // What the charts show before the action, after it, and after it again,
    // never failing.
    QStringList before;
    QStringList once;
    {
        Scene scene;
        before = scene.shown(action);
        scene.prepare(action);
        scene.run(action);
        once = scene.shown(action);
        scene.prepare(action);
        scene.run(action);
        QCOMPARE(scene.shown(action), once);
    }
    QVERIFY(boxes.isEmpty());
    QVERIFY(once != before);

    long messages = 0;
    const long points = sweep::run(action, [&](long n) {
        bool hit = false;
        attempt(action, before, once, n, boxes, hit, messages);
        return hit && !QTest::currentTestFailed();
    });
    MessageAsker::setHandler(previous);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << action << points << "failure points," << messages << "of them stopped with the message";
    QVERIFY(points > 0);
    QVERIFY(messages > 0);
}

LUMIVANE_TEST(ChartFailuresTest)
#include "ChartFailuresTest.moc"
