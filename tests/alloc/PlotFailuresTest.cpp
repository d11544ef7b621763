#include "ActionSweep.h"
#include "AttributeFixture.h"
#include "ChartFixture.h"
#include "FailingNew.h"
#include "TestRegistry.h"

#include "core/HandlerGuard.h"
#include "items/Axis.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "patterns/ParseNode.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ContainerWidget.h"
#include "views/attributes/DoubleSlider.h"
#include "views/attributes/HistogramWidget.h"
#include "views/attributes/PlotWidget.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/attributes/ScentedWidget.h"
#include "views/charts/GanttWidget.h"
#include "views/charts/LegendWidget.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <QtTest>

#include <memory>

// The histogram dialog out of memory, allocation by allocation: opened as
// its openers open it (its attributes counted, its bars drawn, its loop
// run), another attribute chosen in its box, and a bar hovered until its
// condition goes to the opener. Nothing gets out, the dialog shows the bars
// of a dialog that never failed, the ones it showed, or none with the one
// message, and it does not end accepted after a failure in its loop. Then
// the paint of every view of the side panels and of the time charts, each
// of its failures ended in the paint.

using attributes::Data;
using attributes::Packets;

namespace {

// Twelve events: two text attributes and two ranges.
Data dialogLog()
{
    QList<QStringList> rows;
    const QStringList protos{QStringLiteral("tcp"), QStringLiteral("udp"), QStringLiteral("dns"),
                             QStringLiteral("tcp")};
    for (int i = 0; i < 12; ++i)
        rows.append({QString::number(1600000000 + 11 * i), QStringLiteral("10.0.0.%1").arg(i % 5),
                     protos.at(i % 4), QString::number(60 + 90 * (i % 7))});
    return attributes::make({"frame.time_epoch", "ip.src", "proto", "frame.len"}, {1, 3, 3, 1}, rows,
                            {1, 1, 2, 2, 3, 3, 1, 2, 3, 4, 4, 4});
}

// The plot's attribute, axes and bars; "no bars" without a serie.
QString plotText(const PlotWidget* plot)
{
    if (plot->series.isEmpty())
        return QStringLiteral("no bars");
    QString out = plot->attribute;
    if (plot->yAxis)
        out += QStringLiteral(" counts %1..%2").arg(plot->yAxis->min).arg(plot->yAxis->max);
    for (const BinItem* bar : plot->series.first()->items)
        out += QStringLiteral("; ") + actionsweep::line(bar->label, bar->packets.size(), bar->x, bar->y, bar->width(),
                                                        bar->height(), bar->highlighted, bar->selected);
    return out;
}

QString queryText(const ParseNode* query)
{
    return query ? actionsweep::line(query->name, int(query->op), query->value.toString()) : QStringLiteral("none");
}

// The histogram dialog on "proto" over every other event of a fresh log,
// one action in it, what its loop drew and ended with, and what its opener
// received.
class DialogScene : public actionsweep::Scene
{
public:
    explicit DialogScene(const QString& action) : action(action) { quiet = true; }

    // For an action in the dialog, the dialog open, drawn at its size, its
    // conditions received.
    void prepare() override
    {
        dialog.reset();
        data = dialogLog();
        events.clear();
        for (int i = 0; i < data.context->packets.size(); i += 2)
            events.append(data.context->packets.at(i));
        if (action != QLatin1String("open")) {
            dialog.reset(new HistogramWidget(QStringLiteral("proto"), data.control.get(), events, nullptr));
            QObject::connect(dialog.get(), &HistogramWidget::hoverQuery, [this](ParseNode* query) {
                received.reset(query);
                answered = true;
            });
            dialog->resize(400, 300);
            dialog->show();
            QCoreApplication::processEvents();
        }
        settle();
    }

    // Opened as the matrix's options and the sequence view open it, in a
    // slot that ends its own failures: made, sized, run in its own loop.
    // Or another attribute chosen in the box, as the box's signal reaches
    // the dialog, and the plot drawn. Or the pointer on the first bar until
    // the plot's hover timer reports it.
    void act() override
    {
        if (action == QLatin1String("open")) {
            HandlerGuard::run([this] {
                dialog.reset(new HistogramWidget(QStringLiteral("proto"), data.control.get(), events, nullptr));
                dialog->adjustSize();
                result = dialog->exec();
            });
        } else if (action == QLatin1String("choose")) {
            choose(QStringLiteral("frame.len"));
        } else {
            const BinItem* bar = dialog->plot->series.first()->items.first();
            hover(QPoint(int(bar->left() + bar->width() / 2), int(bar->top() + bar->height() / 2)));
        }
        QCoreApplication::processEvents();
    }

    // Back to where the action starts, the same dialog kept.
    void again() override
    {
        if (action == QLatin1String("open"))
            dialog.reset();
        else if (action == QLatin1String("choose"))
            choose(QStringLiteral("proto"));
        settle();
    }

    // The plot, the box, what was drawn, what the opener received and how
    // the loop ended.
    QStringList state() const override
    {
        if (!dialog)
            return {QStringLiteral("no dialog")};
        return {plotText(dialog->plot), QStringLiteral("box %1").arg(dialog->attributes->currentText()),
                QStringLiteral("drawn %1").arg(qHashBits(painted.constBits(), std::size_t(painted.sizeInBytes()))),
                QStringLiteral("received %1 %2").arg(answered).arg(queryText(received.get())),
                QStringLiteral("ended %1").arg(result)};
    }

    QString stopped(const actionsweep::Stop& stop) const override
    {
        const QString bars = stop.shown.first();
        if (!stop.told.text.contains(QLatin1String("memory")))
            return QStringLiteral("the message names no memory");
        if (action == QLatin1String("open")) {
            // Not made (its opener said so), or made with the bars of a
            // dialog that never failed or none; after a failure in its loop
            // it does not end accepted.
            if (dialog && bars != stop.once.first() && bars != QLatin1String("no bars"))
                return QStringLiteral("shows ") + bars;
            if (dialog && allocationsBeforeLoop >= 0 && stop.n > allocationsBeforeLoop && result != QDialog::Rejected)
                return QStringLiteral("the dialog ended accepted");
            return QString();
        }
        // The bars of the new attribute, of the old one, or none, the box
        // showing the plot's attribute; a hover that failed leaves the
        // opener with no condition.
        if (bars != stop.once.first() && bars != stop.before.first() && bars != QLatin1String("no bars"))
            return QStringLiteral("shows ") + bars;
        if (bars != QLatin1String("no bars") && stop.shown.at(1) != QStringLiteral("box ") + dialog->plot->attribute)
            return stop.shown.at(1) + QStringLiteral(" over ") + dialog->plot->attribute;
        if (action == QLatin1String("hover") && stop.shown.at(3) != QLatin1String("received 1 none"))
            return stop.shown.at(3);
        return QString();
    }

private:
    void choose(const QString& attribute)
    {
        dialog->attributes->setCurrentIndex(dialog->attributes->findText(attribute));
        painted = dialog->plot->grab().toImage();
    }

    void hover(const QPoint& at)
    {
        PlotWidget* plot = dialog->plot;
        QMouseEvent move(QEvent::MouseMove, at, plot->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(plot, &move);
        QMetaObject::invokeMethod(plot->hoverTimer, "timeout");
    }

    void settle()
    {
        // Where the pointer was before it comes onto the bar.
        if (action == QLatin1String("hover"))
            hover(QPoint(1, 1));
        QCoreApplication::processEvents();
        // What the user does in the dialog's loop: looks at the plot (it is
        // drawn) and closes it with its accepting key.
        if (action == QLatin1String("open")) {
            QTimer::singleShot(0, [this]() {
                auto* shown = qobject_cast<HistogramWidget*>(QApplication::activeModalWidget());
                if (!shown)
                    return;
                allocationsBeforeLoop = failingnew::counted();
                painted = shown->plot->grab().toImage();
                shown->accept();
            });
        }
        painted = QImage();
        received.reset();
        answered = false;
        result = -1;
    }

    QString action;
    Data data;
    Packets events;
    std::unique_ptr<HistogramWidget> dialog;
    // Set in the dialog's loop.
    QImage painted;
    long allocationsBeforeLoop = -1;
    int result = -1;
    // The condition the opener received last, and whether one came.
    std::unique_ptr<ParseNode> received;
    bool answered = false;
};

} // namespace

class PlotFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void histogramDialog_data();
    void histogramDialog();
    void paint_data();
    void paint();
};

void PlotFailuresTest::initTestCase()
{
    // Only the program's own allocations fail (see LoadFailuresTest).
    sweep::spareQt();
}

void PlotFailuresTest::histogramDialog_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("opened") << "open";
    QTest::newRow("attribute chosen") << "choose";
    QTest::newRow("bar hovered") << "hover";
}

void PlotFailuresTest::histogramDialog()
{
    QFETCH(QString, action);
    DialogScene scene(action);
    const actionsweep::Result result = actionsweep::run(action, scene);
    QVERIFY2(result.told.isEmpty(), qPrintable(result.told.join(QLatin1Char('/'))));
    if (action == QLatin1String("open"))
        QCOMPARE(result.once.last(), QStringLiteral("ended %1").arg(int(QDialog::Accepted)));
    if (action == QLatin1String("hover"))
        QVERIFY2(result.once.at(3).startsWith(QStringLiteral("received 1 proto %1 ").arg(int(ParseNode::Equal))),
                 qPrintable(result.once.at(3)));
}

void PlotFailuresTest::paint_data()
{
    QTest::addColumn<QString>("view");
    QTest::newRow("scented histogram with a range") << "histogram";
    QTest::newRow("range slider") << "slider";
    QTest::newRow("panel cell") << "cell";
    QTest::newRow("bar plot") << "plot";
    QTest::newRow("line chart") << "chart";
    QTest::newRow("line chart mini view") << "mini view";
    QTest::newRow("gantt chart") << "gantt";
    QTest::newRow("legend") << "legend";
    QTest::newRow("range legend") << "range legend";
}

// Each view as it shows data: a histogram narrowed by its slider, with a
// selection marked; the dialog's plot; the charts with a selection; the
// legends with their entries.
void PlotFailuresTest::paint()
{
    QFETCH(QString, view);
    QWidget* painted = nullptr;

    Data data = dialogLog();
    std::unique_ptr<RibbonAttributeWidget> ribbon;
    std::unique_ptr<HistogramWidget> dialog;
    std::unique_ptr<chartfixture::Charts> charts;
    std::unique_ptr<GanttWidget> gantt;
    std::unique_ptr<LegendWidget> legend;
    if (view == QLatin1String("histogram") || view == QLatin1String("slider") || view == QLatin1String("cell")) {
        ribbon.reset(new RibbonAttributeWidget(data.control.get(), false, nullptr));
        ribbon->resize(320, 400);
        ribbon->show();
        AttributeWidget* panel = ribbon->panel;
        panel->setContext(data.context);
        Packets chosen;
        chosen.append(data.context->packets.at(2));
        chosen.append(data.context->packets.at(5));
        panel->setSelectedPackets(chosen);
        int row = -1;
        for (int i = 0; i < panel->histograms().size(); ++i)
            if (panel->histograms().at(i)->attribute == QLatin1String("frame.len"))
                row = i;
        QVERIFY(row >= 0);
        ScentedWidget* histogram = panel->histograms().at(row);
        emit histogram->slider->dragMove(0.2, 0.7);
        panel->waitForJobs();
        QCoreApplication::processEvents();
        QVERIFY(!histogram->filteredBins.isEmpty());
        painted = view == QLatin1String("histogram") ? static_cast<QWidget*>(histogram)
                  : view == QLatin1String("slider")  ? static_cast<QWidget*>(histogram->slider)
                                                     : panel->cells.at(row);
    } else if (view == QLatin1String("plot")) {
        dialog.reset(new HistogramWidget(QStringLiteral("frame.len"), data.control.get(), data.context->packets, nullptr));
        dialog->resize(400, 300);
        dialog->show();
        QCoreApplication::processEvents();
        painted = dialog->plot;
    } else if (view == QLatin1String("chart") || view == QLatin1String("mini view")
               || view == QLatin1String("gantt")) {
        QList<chartfixture::Event> events = chartfixture::eventsAt({0, 5, 7, 12, 20, 21, 33, 34, 40, 48, 55, 60});
        for (int i = 0; i < events.size(); ++i) {
            events[i].trace = i % 4;
            events[i].time += 1600000000;
        }
        charts.reset(new chartfixture::Charts(events, 320, 200));
        TList<chartfixture::PacketPtr> chosen;
        for (const chartfixture::PacketPtr& p : charts->context->packets)
            if (p->conversationId != 3)
                chosen.append(p);
        PacketsEvent selection(charts->matrix.get(), chosen, {QStringLiteral("select")});
        QCoreApplication::sendEvent(charts->chart.get(), &selection);
        QCoreApplication::sendEvent(charts->mini.get(), &selection);
        gantt.reset(new GanttWidget(charts->control.get(), nullptr));
        gantt->resize(300, 200);
        QVERIFY(gantt->showSelection(chosen, charts->store()));
        painted = view == QLatin1String("chart")       ? static_cast<QWidget*>(charts->chart.get())
                  : view == QLatin1String("mini view") ? static_cast<QWidget*>(charts->mini.get())
                                                       : gantt.get();
    } else {
        legend.reset(new LegendWidget(nullptr));
        legend->resize(240, 200);
        if (view == QLatin1String("legend"))
            legend->setEntries({qMakePair(QStringLiteral("tcp"), QColor(Qt::red)),
                                qMakePair(QStringLiteral("udp"), QColor(Qt::blue))},
                               QStringLiteral("proto"), true);
        else
            legend->setRange(60.0, 1500.0, {QColor(Qt::yellow), QColor(Qt::darkRed)}, QStringLiteral("frame.len"),
                             false);
        painted = legend.get();
    }

    actionsweep::paintShown(painted, QString::fromLatin1(QTest::currentDataTag()));
}

LUMIVANE_TEST(PlotFailuresTest)
#include "PlotFailuresTest.moc"
