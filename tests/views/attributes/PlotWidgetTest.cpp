#include "AttributeFixture.h"
#include "DebugCapture.h"
#include "TestRegistry.h"
#include "Timing.h"

#include "core/DisplayText.h"
#include "items/Axis.h"
#include "items/BinAxis.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "patterns/ParseNode.h"
#include "views/attributes/HistogramWidget.h"
#include "views/attributes/PlotWidget.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using attributes::Data;

Q_DECLARE_METATYPE(BinItem*)
Q_DECLARE_METATYPE(ParseNode*)

namespace {

// Four text values a..d (one event each, "b" twice) and a range attribute.
Data smallLog()
{
    return attributes::make({"proto", "len", "empty"}, {3, 1, 3},
                            {{"a", "0", ""}, {"b", "100", ""}, {"b", "100", ""}, {"c", "0", ""},
                             {"d", "50", ""}});
}

void sendMouse(QWidget* w, QEvent::Type type, int x, int y, Qt::MouseButton button = Qt::NoButton,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    const QPointF local(x, y);
    QMouseEvent e(type, local, w->mapToGlobal(local.toPoint()), button,
                  type == QEvent::MouseMove ? Qt::NoButton : Qt::MouseButtons(button), modifiers);
    QCoreApplication::sendEvent(w, &e);
}

TList<BinItem*> bars(const PlotWidget& plot)
{
    return plot.series.isEmpty() ? TList<BinItem*>() : plot.series.first()->items;
}

QPoint centre(const BinItem* bar)
{
    return QPoint(int(bar->left() + bar->width() / 2), int(bar->top() + bar->height() / 2));
}

} // namespace

class PlotWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<BinItem*>(); }
    void barWidths_data();
    void barWidths();
    void emptyBarsAndHeights();
    void clicks();
    void hoverReportsAfterPauseAndLeave();
    void noBinsNoContextNoColumn();
    void countLabelsShownWhole_data();
    void countLabelsShownWhole();
};

void PlotWidgetTest::barWidths_data()
{
    QTest::addColumn<int>("q");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("gap");
    // Four bins over an axis of 4 q pixels.
    QTest::newRow("q 3") << 3 << 1 << 4;
    QTest::newRow("q 8") << 8 << 1 << 7;
    QTest::newRow("q 9") << 9 << 1 << 8;
    QTest::newRow("q 50") << 50 << 42 << 8;
    QTest::newRow("q 108") << 108 << 100 << 8;
    QTest::newRow("q 200") << 200 << 100 << 100;
}

void PlotWidgetTest::barWidths()
{
    QFETCH(int, q);
    QFETCH(int, width);
    QFETCH(int, gap);
    Data data = smallLog();
    PlotWidget plot(QStringLiteral("proto"), data.control.get(), nullptr);
    plot.resizeWidget(4 * q + 5 + plot.axisSpace, 300);
    plot.refreshData(data.context, true, true);
    QCOMPARE(plot.binCount(), 4);
    QCOMPARE(int(plot.xAxis->width), 4 * q);
    const TList<BinItem*> list = bars(plot);
    QCOMPARE(list.size(), 4);
    const int slot = q <= 5 ? 5 : q;
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(int(list[i]->width()), width);
        QCOMPARE(int(list[i]->x), i * slot + plot.axisSpace + gap / 2);
    }
}

void PlotWidgetTest::emptyBarsAndHeights()
{
    Data data = smallLog();
    PlotWidget plot(QStringLiteral("len"), data.control.get(), nullptr);
    plot.resizeWidget(445, 300);
    plot.refreshData(data.context, true, true);
    // A range attribute has 20 bins; 0, 50 and 100 fill bins 0, 9 and 19.
    const TList<BinItem*> list = bars(plot);
    QCOMPARE(list.size(), 20);
    QCOMPARE(list[0]->packets.size(), 2);
    QCOMPARE(list[9]->packets.size(), 1);
    QCOMPARE(list[19]->packets.size(), 2);
    QCOMPARE(list[19]->label, QStringLiteral("100"));
    QCOMPARE(int(list[5]->height()), 1);
    QVERIFY(list[9]->height() >= 3);
    // The fullest bar reaches the top of the count axis.
    QCOMPARE(int(list[0]->height()), int(plot.yAxis->width));
    QCOMPARE(int(list[0]->bottom()), int(plot.yAxis->y) - 1);
}

void PlotWidgetTest::clicks()
{
    Data data = smallLog();
    PlotWidget plot(QStringLiteral("proto"), data.control.get(), nullptr);
    plot.resizeWidget(445, 300);
    plot.refreshData(data.context, true, true);
    attributes::PacketsSpy spy(data.control.get());
    // Bars in the store's order of values: "b" (two events) first.
    const TList<BinItem*> list = bars(plot);
    QCOMPARE(list[0]->label, QStringLiteral("b"));

    // A right click picks nothing.
    QPoint at = centre(list[0]);
    sendMouse(&plot, QEvent::MouseButtonPress, at.x(), at.y(), Qt::RightButton);
    QVERIFY(plot.pickedBins.isEmpty());
    QVERIFY(plot.pickedPackets.isEmpty());

    // A plain click picks; Ctrl adds; a plain click on another replaces.
    sendMouse(&plot, QEvent::MouseButtonPress, at.x(), at.y(), Qt::LeftButton);
    QCOMPARE(plot.pickedBins.size(), 1);
    QCOMPARE(plot.pickedPackets.size(), 2);
    at = centre(list[2]);
    sendMouse(&plot, QEvent::MouseButtonPress, at.x(), at.y(), Qt::LeftButton, Qt::ControlModifier);
    QCOMPARE(plot.pickedPackets.size(), 3);
    at = centre(list[3]);
    sendMouse(&plot, QEvent::MouseButtonPress, at.x(), at.y(), Qt::LeftButton);
    QCOMPARE(plot.pickedBins.size(), 1);
    QCOMPARE(plot.pickedPackets.size(), 1);
    QVERIFY(list[3]->selected && !list[0]->selected);
    // The plot tells no other view.
    QVERIFY(spy.packets.isEmpty());
}

void PlotWidgetTest::hoverReportsAfterPauseAndLeave()
{
    Data data = smallLog();
    PlotWidget plot(QStringLiteral("proto"), data.control.get(), nullptr);
    plot.resizeWidget(445, 300);
    plot.refreshData(data.context, true, true);
    QSignalSpy hovered(&plot, &PlotWidget::hoveredItem);
    const TList<BinItem*> list = bars(plot);
    const QPoint at = centre(list[0]);

    sendMouse(&plot, QEvent::MouseMove, at.x(), at.y());
    QCOMPARE(plot.hoveredBins.size(), 1);
    QCOMPARE(plot.highlightedPackets.size(), 2);
    QVERIFY(plot.hoverTimer->isActive());
    QVERIFY(hovered.isEmpty());
    plot.moveTimeOut();
    QCOMPARE(hovered.size(), 1);
    QCOMPARE(hovered.last().at(0).value<BinItem*>(), list[0]);

    // Off the bar into the plot's empty space, and out of the widget
    // straight from a bar: each time nothing is hovered after the pause.
    sendMouse(&plot, QEvent::MouseMove, 1, 1);
    QVERIFY(plot.hoveredBins.isEmpty());
    QVERIFY(plot.highlightedPackets.isEmpty());
    QVERIFY(hovered.wait(1000));
    QCOMPARE(hovered.last().at(0).value<BinItem*>(), static_cast<BinItem*>(nullptr));

    sendMouse(&plot, QEvent::MouseMove, at.x(), at.y());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&plot, &leave);
    QVERIFY(plot.hoveredBins.isEmpty());
    plot.moveTimeOut();
    QCOMPARE(hovered.last().at(0).value<BinItem*>(), static_cast<BinItem*>(nullptr));
}

void PlotWidgetTest::noBinsNoContextNoColumn()
{
    Data data = smallLog();
    DebugCapture capture;
    capture.setForward(false);
    {
        PlotWidget plot(QStringLiteral("proto"), data.control.get(), nullptr);
        plot.resizeWidget(300, 200);
        plot.refreshData(nullptr, true, true);
        QVERIFY(capture.contains(QStringLiteral("no selection ;(")));
        QVERIFY(!plot.xAxis && !plot.yAxis);
        sendMouse(&plot, QEvent::MouseMove, 50, 150);
        sendMouse(&plot, QEvent::MouseButtonPress, 50, 150, Qt::LeftButton);
    }
    for (const QString& attribute : {QStringLiteral("empty"), QStringLiteral("no such")}) {
        PlotWidget plot(attribute, data.control.get(), nullptr);
        plot.resizeWidget(300, 200);
        plot.refreshData(data.context, true, true);
        QCOMPARE(plot.binCount(), 0);
        QVERIFY(bars(plot).isEmpty());
        plot.setLogarithm(true);
        sendMouse(&plot, QEvent::MouseMove, 50, 150);
        plot.moveTimeOut();
    }
    QVERIFY(capture.contains(QStringLiteral("no column for no such")));
}

void PlotWidgetTest::countLabelsShownWhole_data()
{
    QTest::addColumn<int>("events");   // all of one value: the fullest bar
    QTest::newRow("one") << 1;
    QTest::newRow("three digits") << 201;
    QTest::newRow("five digits") << 12000;
}

void PlotWidgetTest::countLabelsShownWhole()
{
    QFETCH(int, events);
    QList<QStringList> rows;
    for (int i = 0; i <= events; ++i)
        rows.append({i < events ? QStringLiteral("a") : QStringLiteral("b")});
    Data data = attributes::make({"proto"}, {3}, rows);
    PlotWidget plot(QStringLiteral("proto"), data.control.get(), nullptr);
    plot.resizeWidget(445, 300);
    plot.refreshData(data.context, true, true);
    QCOMPARE(plot.yAxis->labels().last(), QString::number(events));
    // The count axis draws its labels in its band less a line's height and
    // cuts what is wider; both axes start behind the band, and the value
    // axis still ends at the plot's right edge.
    const QFontMetrics& metrics = plot.yAxis->fontMetrics;
    for (const QString& label : plot.yAxis->labels().items)
        QVERIFY2(metrics.horizontalAdvance(label) <= int(plot.yAxis->height) - metrics.height(), qPrintable(label));
    QCOMPARE(plot.xAxis->x, plot.yAxis->height);
    QCOMPARE(plot.yAxis->x, plot.yAxis->height);
    QCOMPARE(int(plot.xAxis->x + plot.xAxis->width), plot.width() - 5);
}

LUMIVANE_TEST(PlotWidgetTest)

// ---------------------------------------------------------------------------

class HistogramWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<ParseNode*>(); }
    void offersAttributesWithValues();
    void rangeBarQueriesOneValue();
    void valueTexts_data();
    void valueTexts();
    void switchingAttribute();
    void boxShowsThePlottedAttribute_data();
    void boxShowsThePlottedAttribute();
    void hoverOfALongValue_data();
    void hoverOfALongValue();
};

void HistogramWidgetTest::offersAttributesWithValues()
{
    Data data = smallLog();
    HistogramWidget dialog(QStringLiteral("proto"), data.control.get(), data.context->packets, nullptr);
    QStringList offered;
    for (int i = 0; i < dialog.attributes->count(); ++i)
        offered << dialog.attributes->itemText(i);
    QCOMPARE(offered, QStringList({"proto", "len"}));
    QCOMPARE(dialog.context->name, QStringLiteral("temp"));
    QCOMPARE(dialog.context->packets.size(), 5);
    QCOMPARE(dialog.plot->context, dialog.context);
}

void HistogramWidgetTest::rangeBarQueriesOneValue()
{
    Data data = smallLog();
    HistogramWidget dialog(QStringLiteral("len"), data.control.get(), data.context->packets, nullptr);
    QSignalSpy queries(&dialog, &HistogramWidget::hoverQuery);
    BinItem* bar = dialog.plot->series.first()->items[19];
    dialog.hoverItem(bar);
    QCOMPARE(queries.size(), 1);
    std::unique_ptr<ParseNode> tree(queries.last().at(0).value<ParseNode*>());
    QVERIFY(tree);
    QCOMPARE(int(tree->type), int(ParseNode::Test));
    QCOMPARE(tree->name, QStringLiteral("len"));
    QCOMPARE(int(tree->op), int(ParseNode::Equal));
    QVERIFY(!tree->value.isPair());
    QCOMPARE(tree->value.toString(), QStringLiteral("100"));
    int matching = 0;
    for (const auto& event : data.context->packets.items)
        matching += tree->evaluate(event.data(), &data.store->attributeColumns, nullptr) ? 1 : 0;
    QCOMPARE(matching, 2);

    // Nothing hovered, or a bar without events: no query.
    dialog.hoverItem(nullptr);
    dialog.hoverItem(dialog.plot->series.first()->items[5]);
    QCOMPARE(queries.size(), 3);
    QVERIFY(!queries.at(1).at(0).value<ParseNode*>());
    QVERIFY(!queries.at(2).at(0).value<ParseNode*>());
}

void HistogramWidgetTest::valueTexts_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QString>("value");
    QTest::newRow("blank") << "file" << "my file";
    QTest::newRow("bar") << "file" << "a|b";
    QTest::newRow("equals") << "file" << "x==y";
    QTest::newRow("parentheses and not") << "file" << "!(a)";
    QTest::newRow("word true") << "file" << "true";
    QTest::newRow("variable") << "file" << "?x";
    QTest::newRow("quote") << "file" << "say\"hi";
    QTest::newRow("quotes and blank") << "file" << "say \"hi there\"";
    QTest::newRow("backslashes and quote") << "file" << "C:\\dir\\\"x\\";
    QTest::newRow("line break and quote") << "file" << "a\n\"b\" == c";
    QTest::newRow("only a quote") << "file" << "\"";
    QTest::newRow("number") << "file" << "42";
    QTest::newRow("attribute with operators") << "a<=b c" << "v";
    QTest::newRow("longer than a label") << "file" << QString(2 * DisplayText::LIMIT, 'x');
}

void HistogramWidgetTest::valueTexts()
{
    QFETCH(QString, attribute);
    QFETCH(QString, value);
    // The value, another one, and two that differ from it by a quote.
    Data data = attributes::make({attribute}, {3},
                                 {{value}, {QStringLiteral("other")}, {value + QLatin1Char('"')},
                                  {QLatin1Char('"') + value}});
    HistogramWidget dialog(attribute, data.control.get(), data.context->packets, nullptr);
    QSignalSpy queries(&dialog, &HistogramWidget::hoverQuery);
    // The bar's label is the text of the event's value as shown, shortened
    // when long; the query compares with the whole text.
    const QString label = data.context->packets.first()->get(0).toString();
    BinItem bar(nullptr, nullptr);
    bar.label = DisplayText::of(data.context->packets.first()->get(0));
    bar.packets.append(data.context->packets.first());
    for (const BinItem* own : dialog.plot->series.first()->items.items)
        if (own->packets.contains(data.context->packets.first()))
            QCOMPARE(own->label, bar.label);
    dialog.hoverItem(&bar);
    std::unique_ptr<ParseNode> tree(queries.last().at(0).value<ParseNode*>());
    QVERIFY(tree);
    QCOMPARE(int(tree->type), int(ParseNode::Test));
    QVERIFY(tree->children.isEmpty());
    QCOMPARE(tree->name, attribute);
    QCOMPARE(int(tree->op), int(ParseNode::Equal));
    QCOMPARE(tree->value.toString(), label);
    QVERIFY(tree->evaluate(data.context->packets[0].data(), &data.store->attributeColumns, nullptr));
    for (int i = 1; i < data.context->packets.size(); ++i)
        QVERIFY(!tree->evaluate(data.context->packets[i].data(), &data.store->attributeColumns, nullptr));
}

void HistogramWidgetTest::switchingAttribute()
{
    Data data = smallLog();
    HistogramWidget dialog(QStringLiteral("proto"), data.control.get(), data.context->packets, nullptr);
    QCOMPARE(dialog.plot->binCount(), 4);
    dialog.attributes->setCurrentText(QStringLiteral("len"));
    QCOMPARE(dialog.plot->attribute, QStringLiteral("len"));
    QCOMPARE(dialog.plot->binCount(), 20);
}

void HistogramWidgetTest::boxShowsThePlottedAttribute_data()
{
    QTest::addColumn<QString>("asked");
    QTest::addColumn<bool>("events");
    QTest::addColumn<QString>("shown");
    QTest::newRow("offered") << "len" << true << "len";
    // An identifier keeps no histogram and is not offered.
    QTest::newRow("identifier") << "id" << true << "proto";
    QTest::newRow("no values among the events") << "empty" << true << "proto";
    QTest::newRow("no such attribute") << "ip.src" << true << "proto";
    QTest::newRow("no events, nothing offered") << "len" << false << "";
}

void HistogramWidgetTest::boxShowsThePlottedAttribute()
{
    QFETCH(QString, asked);
    QFETCH(bool, events);
    QFETCH(QString, shown);
    Data data = attributes::make({"proto", "len", "empty", "id"}, {3, 1, 3, 4},
                                 {{"a", "0", "", "1"}, {"b", "100", "", "2"}});
    HistogramWidget dialog(asked, data.control.get(), events ? data.context->packets : fixture::Packets(), nullptr);
    QCOMPARE(dialog.attributes->currentText(), shown);
    QCOMPARE(dialog.plot->attribute, events ? shown : asked);
}

void HistogramWidgetTest::hoverOfALongValue_data()
{
    QTest::addColumn<bool>("taken");
    QTest::newRow("a receiver takes the condition") << true;
    // As in the event matrix's dialog: nothing may be left behind.
    QTest::newRow("nobody takes it") << false;
}

void HistogramWidgetTest::hoverOfALongValue()
{
    QFETCH(bool, taken);
    // Tens of megabytes with quotes and backslashes, no blank: no condition
    // text could carry it.
    QString value;
    while (value.size() < 32 * 1024 * 1024)
        value += QStringLiteral("dir\\\"sub\"\\");
    Data data = attributes::make({"file"}, {3}, {{value}, {QStringLiteral("other")}, {value + QLatin1Char('x')}});
    value = QString();
    HistogramWidget dialog(QStringLiteral("file"), data.control.get(), data.context->packets, nullptr);
    std::unique_ptr<ParseNode> tree;
    if (taken)
        connect(&dialog, &HistogramWidget::hoverQuery, &dialog, [&tree](ParseNode* query) { tree.reset(query); });
    dialog.plot->resizeWidget(445, 300);
    const QSharedPointer<Packet> event = data.context->packets.first();
    BinItem* bar = nullptr;
    for (BinItem* b : bars(*dialog.plot).items)
        bar = b->packets.contains(event) ? b : bar;
    // Holders of the value's text (the copy asking adds one).
    const auto references = [&event]() { QByteArray t = event->get(0).text; return t.data_ptr()->ref.atomic.loadRelaxed(); };
    const int before = references();

    QElapsedTimer timer;
    timer.start();
    const QPoint at = centre(bar);
    sendMouse(dialog.plot, QEvent::MouseMove, at.x(), at.y());
    dialog.plot->moveTimeOut();
    LUMIVANE_VERIFY_TIME(timer.elapsed(), 500);
    if (!taken) {
        QCOMPARE(references(), before);
        return;
    }
    // The condition holds the event's own value, not a copy of its text.
    QVERIFY(tree && tree->value.text.constData() == event->get(0).text.constData());
    for (int i = 0; i < 3; ++i)
        QCOMPARE(tree->evaluate(data.context->packets[i].data(), &data.store->attributeColumns, nullptr), i == 0);
}

LUMIVANE_TEST(HistogramWidgetTest)

#include "PlotWidgetTest.moc"
