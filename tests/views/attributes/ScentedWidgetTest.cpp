#include "AttributeFixture.h"
#include "DebugCapture.h"
#include "TestRegistry.h"
#include "Timing.h"

#include "core/Constants.h"
#include "items/Axis.h"
#include "items/BinAxis.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/DoubleSlider.h"
#include "views/attributes/GuiThreadCheck.h"
#include "views/attributes/ScentedWidget.h"

#include <QElapsedTimer>
#include <QMouseEvent>
#include <QMutex>
#include <QProcess>
#include <QSemaphore>
#include <QStandardPaths>
#include <QToolTip>
#include <QtTest>

#include <cmath>
#include <memory>
#include <thread>

using attributes::Data;
using attributes::Packets;
using attributes::PacketsSpy;
using attributes::PacketPtr;

namespace {

// A histogram of one attribute of a fixture log, computed at a given size.
struct View
{
    Data data;
    std::unique_ptr<DoubleSlider> slider;
    std::unique_ptr<ScentedWidget> widget;

    void open(const QString& attribute, bool traces, int w, int h, int binSort = 0,
              int maxBins = -2)
    {
        slider.reset(new DoubleSlider);
        slider->resize(w, 10);
        widget.reset(new ScentedWidget(data.control.get(), nullptr, attribute, slider.get(), traces));
        if (maxBins == -2) {
            AttributeWidget panel(data.control.get(), traces, nullptr);
            panel.context = data.context;
            maxBins = panel.binCount(attribute);
        }
        widget->maxBins = maxBins;
        widget->binSort = binSort;
        widget->resizeWidget(w, h);
        widget->compute(data.context, false, false);
    }
    QList<int> axisCounts() const
    {
        QList<int> counts;
        for (BinItem* bin : widget->axisOrder.items)
            counts << bin->packets.size();
        return counts;
    }
};

// Bin counts of an attribute counted record by record from the axis the
// histogram built: the categorical bins by value, the range bins by the
// pixel offset of a value on an axis of the histogram's width.
QList<int> bruteForce(const ScentedWidget& w, const Packets& records, int column)
{
    const int n = w.binCount();
    QList<int> counts;
    for (int i = 0; i < n; ++i)
        counts << 0;
    if (auto* bins = dynamic_cast<const BinAxis*>(w.xAxis)) {
        const TList<TVariant> values = bins->values();
        for (const auto& p : records.items) {
            const int i = values.indexOf(p->get(column));
            if (i >= 0 && i < n)
                ++counts[i];
        }
        return counts;
    }
    auto* axis = dynamic_cast<const Axis*>(w.xAxis);
    const double length = axis->width;
    for (const auto& p : records.items) {
        const TVariant& v = p->get(column);
        if (!v.isValid())
            continue;
        const double span = axis->max - axis->min;
        const double r = span != 0 ? std::max(0.0, (v.toDouble() - axis->min) / span) : 0.0;
        const int offset = int(r * length);
        const int bin = length > 0 ? std::min(n - 1, int((n - 1) * double(offset) / length)) : 0;
        ++counts[bin];
    }
    return counts;
}

Packets recordsOf(const Data& d, bool traces)
{
    return traces ? d.context->conversationPackets : d.context->packets;
}

int columnOf(const Data& d, const QString& attribute, bool traces)
{
    return d.store->attributeMap(traces).value(attribute, -1);
}

void press(ScentedWidget& w, const BinItem* bin, Qt::MouseButton button,
           Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    const QPointF at(bin->x + 1, bin->y + bin->height() - 1);
    QMouseEvent e(QEvent::MouseButtonPress, at, button, button, modifiers);
    w.mousePressEvent(&e);
}

QSet<PacketPtr> setOf(const Packets& list)
{
    QSet<PacketPtr> set;
    for (const auto& p : list.items)
        set.insert(p);
    return set;
}

bool hasRedIn(const QImage& image, const QRect& area)
{
    for (int y = area.top(); y <= area.bottom() && y < image.height(); ++y) {
        for (int x = std::max(0, area.left()); x <= area.right() && x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 80 && c.blue() < 80)
                return true;
        }
    }
    return false;
}

// A log of one text attribute "v" with the given values, one event each.
Data textLog(const QStringList& values, const QList<int>& traces = {})
{
    QList<QStringList> rows;
    for (int i = 0; i < values.size(); ++i)
        rows << QStringList{QString::number(1600000000 + i), values.at(i)};
    return attributes::make({"frame.time_epoch", "v"}, {1, 3}, rows, traces);
}

} // namespace

class ScentedWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void countsMatchBruteForce_data();
    void countsMatchBruteForce();
    void countsOfLoopbackCapture();
    void filteredBinsFollowAxisOrder_data();
    void filteredBinsFollowAxisOrder();
    void openSliderClearsEveryFilterOfItsSide();
    void manyValuesMarker_data();
    void manyValuesMarker();
    void barWidths_data();
    void barWidths();
    void barHeights();
    void clicks();
    void tracePickBroadcastsTheirEvents();
    void selectedSortKeepsCounts();
    void hoverShowsFrequency();
    void badInput_data();
    void badInput();
    void busyImageSkipsFrame();
    void poolComputeQueuesWidgetWork();
};

void ScentedWidgetTest::countsMatchBruteForce_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<bool>("traces");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("binSort");
    QTest::addColumn<bool>("range");
    for (int sort : {0, 1, 2}) {
        const QByteArray s = QByteArray::number(sort);
        QTest::newRow("text, sort " + s) << "proto" << false << 215 << sort << false;
        QTest::newRow("numbers as bins, sort " + s) << "trace" << false << 215 << sort << false;
        QTest::newRow("lengths, sort " + s) << "frame.len" << false << 215 << sort << true;
        QTest::newRow("ports, narrow, sort " + s) << "port" << false << 40 << sort << true;
        QTest::newRow("times, sort " + s) << "frame.time_epoch" << false << 115 << sort << true;
        QTest::newRow("trace lengths, sort " + s) << "conv.length" << true << 115 << sort << false;
        QTest::newRow("trace durations, sort " + s) << "conv.duration" << true << 115 << sort << true;
    }
    QTest::newRow("width 15") << "frame.len" << false << 15 << 0 << true;
}

void ScentedWidgetTest::countsMatchBruteForce()
{
    QFETCH(QString, attribute);
    QFETCH(bool, traces);
    QFETCH(int, width);
    QFETCH(int, binSort);
    QFETCH(bool, range);
    View v;
    v.data = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    QVERIFY(v.data.context);
    v.open(attribute, traces, width, 40, binSort);
    QCOMPARE(dynamic_cast<Axis*>(v.widget->xAxis) != nullptr, range);
    const Packets records = recordsOf(v.data, traces);
    const int column = columnOf(v.data, attribute, traces);
    const QList<int> counts = v.axisCounts();
    QVERIFY(!counts.isEmpty());
    QCOMPARE(counts, bruteForce(*v.widget, records, column));
    // However often it is computed, a bin holds its events once each, in
    // the order of the records.
    QHash<Packet*, int> place;
    for (int i = 0; i < records.size(); ++i)
        place.insert(records.at(i).data(), i);
    for (int round = 0; round < 3; ++round) {
        v.widget->compute(v.data.context, false, false);
        QCOMPARE(v.axisCounts(), counts);
        for (BinItem* bin : v.widget->axisOrder.items)
            for (int k = 1; k < bin->packets.size(); ++k)
                QVERIFY(place.value(bin->packets.at(k - 1).data(), -1) < place.value(bin->packets.at(k).data(), -1));
    }

    if (range) {
        // Every valid value lands in one bin.
        int valid = 0;
        for (const auto& p : records.items)
            valid += p->get(column).isValid() ? 1 : 0;
        int sum = 0;
        for (int c : counts)
            sum += c;
        QCOMPARE(sum, valid);
        return;
    }
    // A categorical bin holds every event of its value, and is labelled with it.
    auto* bins = dynamic_cast<BinAxis*>(v.widget->xAxis);
    const THash<TVariant, int> full = v.data.store->histogram(attribute, v.data.context, -1);
    for (int i = 0; i < counts.size(); ++i) {
        QCOMPARE(counts.at(i), full.value(bins->value(i)));
        QCOMPARE(v.widget->axisOrder.at(i)->label, bins->value(i).toString());
    }
    if (binSort == 0) {
        for (int i = 1; i < counts.size(); ++i)
            QVERIFY(bins->value(i - 1).toDouble() <= bins->value(i).toDouble()
                    || !bins->value(i).isNumber());
    }
}

void ScentedWidgetTest::countsOfLoopbackCapture()
{
    if (QStandardPaths::findExecutable(QStringLiteral("tshark")).isEmpty())
        QSKIP("tshark is not installed (make deps)");
    const QStringList fields = {"frame.time_epoch", "ip.src", "ip.dst", "frame.len",
                                "tcp.srcport", "tcp.dstport", "tcp.flags", "tcp.stream"};
    QStringList args = {"-r", QStringLiteral(LUMIVANE_TEST_DATA_DIR "/attributes/loopback.pcap"),
                        "-T", "fields", "-E", "header=y", "-E", "separator=,"};
    for (const QString& f : fields)
        args << "-e" << f;
    QProcess tshark;
    tshark.start(QStringLiteral("tshark"), args);
    QVERIFY(tshark.waitForFinished(30000));
    QCOMPARE(tshark.exitCode(), 0);
    const QStringList lines =
        QString::fromUtf8(tshark.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.first().trimmed(), fields.join(QLatin1Char(',')));
    QList<QStringList> rows;
    QList<int> traces;
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList row = lines.at(i).trimmed().split(QLatin1Char(','));
        rows << row;
        traces << (row.value(7).isEmpty() ? -1 : row.value(7).toInt());
    }
    QCOMPARE(rows.size(), 120);

    struct Case {
        QString attribute;
        bool traces;
    };
    const Case cases[] = {{"frame.len", false}, {"tcp.dstport", false}, {"tcp.flags", false},
                          {"frame.time_epoch", false}, {"conv.length", true},
                          {"conv.duration", true}};
    for (const Case& c : cases) {
        View v;
        v.data = attributes::make(fields, {1, 3, 3, 1, 3, 3, 3, 4}, rows, traces);
        v.open(c.attribute, c.traces, 215, 40);
        const QList<int> counts = v.axisCounts();
        QVERIFY2(!counts.isEmpty(), qPrintable(c.attribute));
        QCOMPARE(counts, bruteForce(*v.widget, recordsOf(v.data, c.traces),
                                    columnOf(v.data, c.attribute, c.traces)));
    }
}

void ScentedWidgetTest::filteredBinsFollowAxisOrder_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<int>("binSort");
    for (int sort : {0, 1, 2, 3}) {
        const QByteArray s = QByteArray::number(sort);
        QTest::newRow("categorical, sort " + s) << "proto" << sort;
        QTest::newRow("range, sort " + s) << "frame.len" << sort;
    }
}

void ScentedWidgetTest::filteredBinsFollowAxisOrder()
{
    QFETCH(QString, attribute);
    QFETCH(int, binSort);
    View v;
    v.data = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    const int W = 215;
    v.open(attribute, false, W, 40, binSort);
    ScentedWidget& w = *v.widget;
    const int n = w.binCount();
    QVERIFY(n >= 4);
    // A pick in the filled bin nearest the middle, which the "Selected"
    // order moves first.
    int middle = -1;
    for (int i = 1; i < n - 1; ++i) {
        if (!w.axisOrder.at(i)->packets.isEmpty()
            && (middle < 0 || std::abs(i - n / 2) < std::abs(middle - n / 2)))
            middle = i;
    }
    QVERIFY(middle > 0);
    press(w, w.axisOrder.at(middle), Qt::LeftButton);
    w.highlightSelected(w.pickedPackets);

    const double step = double(W - 2 * (n - 1)) / n + 2;
    w.sliderDragMove(1.5 * step / W, (n - 1.5) * step / W);
    const int column = columnOf(v.data, attribute, false);
    const QSet<TVariant> filter = v.data.context->valueSets.value(column);

    QSet<int> expected;
    if (auto* bins = dynamic_cast<BinAxis*>(w.xAxis)) {
        QCOMPARE(filter, (QSet<TVariant>{bins->value(0), bins->value(n - 1)}));
        expected = {0, n - 1};
    } else {
        auto* axis = dynamic_cast<Axis*>(w.xAxis);
        QCOMPARE(filter.size(), 1);
        const QPair<double, double> kept = filter.begin()->toPair();
        const double span = axis->max - axis->min;
        QCOMPARE(kept.first, axis->min + 1.0 / n * span);
        QCOMPARE(kept.second, axis->min + double(n - 1) / n * span);
        const int a = int(std::ceil((kept.first - axis->min) / span * n));
        const int b = int(std::ceil((kept.second - axis->min) / span * n));
        for (int i = 0; i < a; ++i)
            expected.insert(i);
        for (int i = b; i < n; ++i)
            expected.insert(i);
    }
    QCOMPARE(w.filteredBins, expected);
    for (int i = 0; i < n; ++i)
        QCOMPARE(w.axisOrder.at(i)->auxFlag, expected.contains(i));
    // The display order of the bins is the sort's; the marks stay with the values.
    int marked = 0;
    for (BinItem* bin : w.serie->items.items)
        marked += bin->auxFlag ? 1 : 0;
    QCOMPARE(marked, expected.size());
    if (binSort == 3)
        QCOMPARE(w.serie->items.first(), w.axisOrder.at(middle));

    // The slider shows the kept range in the axis's order.
    int lead = 0;
    while (expected.contains(lead))
        ++lead;
    int trail = n;
    while (trail > 0 && expected.contains(trail - 1))
        --trail;
    QVERIFY(std::abs(v.slider->from - step * lead / W) < 1e-9);
    QVERIFY(std::abs(v.slider->to - std::min(1.0, step * trail / W)) < 1e-9);
    // Picked events that the filter drops leave the pick.
    for (const auto& p : w.pickedPackets)
        QVERIFY(v.data.store->checkPacketColumns(p, v.data.context, {column}, false));
}

void ScentedWidgetTest::openSliderClearsEveryFilterOfItsSide()
{
    View v;
    v.data = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    v.open(QStringLiteral("proto"), false, 215, 40);
    v.data.context->valueSets[1] = {TVariant(QStringLiteral("10.0.0.1"))};
    v.data.context->conversationValueSets[1] = {TVariant(3)};
    v.widget->sliderDragMove(0.3, 0.6);
    QVERIFY(!v.widget->filteredBins.isEmpty());
    v.widget->sliderDragMove(0.0, 1.0);
    QVERIFY(v.data.context->valueSets.isEmpty());
    QCOMPARE(v.data.context->conversationValueSets.size(), 1);
    QVERIFY(v.widget->filteredBins.isEmpty());
    QVERIFY(v.widget->pickedPackets.isEmpty());
    QCOMPARE(v.slider->from, 0.0);
    QCOMPARE(v.slider->to, 1.0);
    for (BinItem* bin : v.widget->serie->items.items)
        QVERIFY(!bin->auxFlag);
}

void ScentedWidgetTest::manyValuesMarker_data()
{
    QTest::addColumn<int>("values");
    QTest::addColumn<bool>("range");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<bool>("elsewhere");   // counted again on another thread, as a panel's job does
    QTest::newRow("39 values") << 39 << false << false << false;
    QTest::newRow("40 values") << 40 << false << true << false;
    QTest::newRow("45 values") << 45 << false << true << false;
    QTest::newRow("range attribute") << 45 << true << false << false;
    // The marker is text, drawn on the GUI thread once it runs its calls.
    QTest::newRow("45 values, counted elsewhere") << 45 << false << true << true;
    QTest::newRow("39 values, counted elsewhere") << 39 << false << false << true;
}

void ScentedWidgetTest::manyValuesMarker()
{
    QFETCH(int, values);
    QFETCH(bool, range);
    QFETCH(bool, marker);
    QFETCH(bool, elsewhere);
    QList<QStringList> rows;
    for (int i = 0; i < values; ++i)
        rows << QStringList{QString::number(1600000000 + i), QStringLiteral("v%1").arg(i),
                            QString::number(i * 3)};
    View v;
    v.data = attributes::make({"frame.time_epoch", "name", "size"}, {1, 3, 1}, rows);
    v.open(range ? QStringLiteral("size") : QStringLiteral("name"), false, 200, 50);
    v.widget->setSize(200, 50);
    if (elsewhere) {
        // Counted anew where the marker lands on the image; the thread
        // draws no text, the GUI thread then draws it all.
        v.widget->move(0, 50);
        v.widget->setSize(200, 50);
        std::thread job([&v]() { v.widget->compute(v.data.context, false, false); });
        job.join();
        QVERIFY(!hasRedIn(v.widget->image, QRect(0, 0, 10, 50)));
        QCoreApplication::sendPostedEvents(v.widget.get(), QEvent::MetaCall);
    }
    QCOMPARE(v.widget->manyValues && !range, marker);
    QCOMPARE(hasRedIn(v.widget->image, QRect(0, 0, 10, 50)), marker);
    QVERIFY(!hasRedIn(v.widget->image, QRect(20, 0, 180, 50)));
}

void ScentedWidgetTest::barWidths_data()
{
    QTest::addColumn<int>("bins");
    QTest::addColumn<int>("width");
    QTest::addColumn<QList<int>>("widths");
    QTest::addColumn<QList<int>>("xs");
    QTest::newRow("ratio 1.5") << 10 << 40 << QList<int>{2, 2, 2, 2, 2, 2, 2, 2, 0, 0}
                               << QList<int>{10, 13, 16, 19, 22, 25, 28, 31, 34, 37};
    QTest::newRow("ratio 1") << 10 << 35 << QList<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1}
                             << QList<int>{10, 12, 14, 16, 18, 20, 22, 24, 26, 28};
    QTest::newRow("past trunc(L - n)") << 10 << 27 << QList<int>{1, 1, 1, 0, 0, 0, 0, 0, 0, 0}
                                       << QList<int>{10, 12, 14, 16, 18, 20, 22, 24, 26, 28};
    QTest::newRow("wide") << 4 << 115 << QList<int>{24, 24, 24, 24} << QList<int>{10, 35, 60, 85};
}

void ScentedWidgetTest::barWidths()
{
    QFETCH(int, bins);
    QFETCH(int, width);
    QFETCH(QList<int>, widths);
    QFETCH(QList<int>, xs);
    QStringList values;
    for (int i = 0; i < bins; ++i)
        values << QStringLiteral("k%1").arg(i);
    View v;
    v.data = textLog(values);
    v.open(QStringLiteral("v"), false, width, 40);
    v.widget->setSize(width, 40);
    QList<int> gotWidths;
    QList<int> gotXs;
    for (BinItem* bin : v.widget->serie->items.items) {
        gotWidths << int(bin->width());
        gotXs << int(bin->x);
    }
    QCOMPARE(gotWidths, widths);
    QCOMPARE(gotXs, xs);
}

void ScentedWidgetTest::barHeights()
{
    // Values 0 (once) and 100 (100 times): 40 bins, most of them empty.
    QList<QStringList> rows;
    rows << QStringList{"1600000000", "0"};
    for (int i = 0; i < 100; ++i)
        rows << QStringList{QString::number(1600000001 + i), "100"};
    View v;
    v.data = attributes::make({"frame.time_epoch", "size"}, {1, 1}, rows);
    v.open(QStringLiteral("size"), false, 115, 60);
    v.widget->setSize(115, 60);
    const TList<BinItem*>& bins = v.widget->axisOrder;
    QCOMPARE(bins.size(), 40);
    QCOMPARE(bins.first()->packets.size(), 1);
    QCOMPARE(int(bins.first()->height()), 3);
    QCOMPARE(int(bins.last()->height()), 50);
    QCOMPARE(int(bins.at(20)->height()), 1);
    // Bars stand on the axis at h - 2.
    QCOMPARE(int(bins.last()->y + bins.last()->height()), 58);
    v.widget->setLogarithm(true);
    QCOMPARE(int(bins.first()->height()), 3);
    QCOMPARE(int(bins.at(20)->height()), 1);
    QCOMPARE(int(bins.last()->height()), 50);
}

void ScentedWidgetTest::clicks()
{
    View v;
    v.data = textLog({"a", "a", "b", "b", "b", "c"});
    v.open(QStringLiteral("v"), false, 115, 50);
    v.widget->setSize(115, 50);
    ScentedWidget& w = *v.widget;
    PacketsSpy spy(v.data.control.get());
    DebugCapture debug;
    debug.setForward(false);
    BinItem* b = w.axisOrder.at(0);   // most frequent first: "b"
    BinItem* a = w.axisOrder.at(1);
    QCOMPARE(b->label, QStringLiteral("b"));

    press(w, a, Qt::LeftButton);
    QCOMPARE(w.pickedPackets, setOf(a->packets));
    QCOMPARE(spy.packets.size(), 1);
    QCOMPARE(setOf(spy.packets.last()), setOf(a->packets));
    QCOMPARE(spy.args.last(), (QList<QVariant>{"select", "ctrl"}));
    QCOMPARE(spy.senders.last(), &w);
    QVERIFY(debug.contains(QStringLiteral("updateselected packets")));

    press(w, b, Qt::LeftButton, Qt::ControlModifier);
    QCOMPARE(w.pickedPackets, setOf(a->packets) + setOf(b->packets));
    QCOMPARE(w.pickedBins.size(), 2);
    QCOMPARE(spy.packets.size(), 2);

    // A plain click replaces the pick.
    press(w, a, Qt::LeftButton);
    QVERIFY(!b->selected);
    QVERIFY(!a->selected);   // a second click unpicks
    QVERIFY(w.pickedPackets.isEmpty());
    QCOMPARE(spy.packets.size(), 3);
    QVERIFY(spy.packets.last().isEmpty());

    press(w, b, Qt::LeftButton);
    QCOMPARE(w.pickedPackets, setOf(b->packets));
    // A right click picks nothing and sends nothing.
    press(w, a, Qt::RightButton, Qt::ControlModifier);
    QVERIFY(!a->selected);
    QCOMPARE(w.pickedPackets, setOf(b->packets));
    QCOMPARE(spy.packets.size(), 4);

    // A filtered bin cannot be picked.
    a->auxFlag = true;
    press(w, a, Qt::LeftButton, Qt::ControlModifier);
    QVERIFY(!a->selected);
    QCOMPARE(w.pickedPackets, setOf(b->packets));
}

void ScentedWidgetTest::tracePickBroadcastsTheirEvents()
{
    View v;
    v.data = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    v.open(QStringLiteral("conv.length"), true, 115, 50);
    v.widget->setSize(115, 50);
    PacketsSpy spy(v.data.control.get());
    BinItem* bin = v.widget->axisOrder.first();
    press(*v.widget, bin, Qt::LeftButton);
    QCOMPARE(spy.packets.size(), 1);
    QCOMPARE(spy.args.last(), (QList<QVariant>{"select", "ctrl"}));
    QSet<PacketPtr> expected;
    const int idColumn = columnOf(v.data, CONV_CONVID, true);
    for (const auto& record : bin->packets.items)
        expected += setOf(v.data.context->conversations.value(record->get(idColumn).toInt()));
    QVERIFY(!expected.isEmpty());
    QCOMPARE(setOf(spy.packets.last()), expected);
    QCOMPARE(spy.packets.last().size(), expected.size());

    // A picked record whose trace the context does not hold adds nothing.
    DebugCapture debug;
    debug.setForward(false);
    TList<TVariant> row;
    row.append(TVariant(999));
    v.widget->pickedPackets.insert(PacketPtr(new Packet(row)));
    v.widget->selectPackets();
    QCOMPARE(setOf(spy.packets.last()), expected);
    QVERIFY(debug.contains(QStringLiteral("no trace 999")));
}

void ScentedWidgetTest::selectedSortKeepsCounts()
{
    View v;
    v.data = textLog({"a", "a", "a", "b", "b", "c"});
    v.open(QStringLiteral("v"), false, 115, 50);
    ScentedWidget& w = *v.widget;
    BinItem* c = w.axisOrder.last();
    QCOMPARE(c->label, QStringLiteral("c"));
    w.highlightSelected(setOf(c->packets));
    const TList<BinItem*> before = w.axisOrder;
    w.setBinSort(BIN_SORT_SELECTED);
    QCOMPARE(w.axisOrder.items, before.items);   // same bins: nothing recounted
    QCOMPARE(w.serie->items.first(), c);
    QCOMPARE(c->selectedCount, 1);
    // Back to the axis order, the bins are made anew.
    w.setBinSort(BIN_SORT_DEFAULT);
    QCOMPARE(w.serie->items.items, w.axisOrder.items);
    QCOMPARE(w.axisOrder.last()->label, QStringLiteral("c"));
}

void ScentedWidgetTest::hoverShowsFrequency()
{
    View v;
    v.data = textLog({"a", "a", "a", "b"});
    v.open(QStringLiteral("v"), false, 115, 50);
    v.widget->setSize(115, 50);
    ScentedWidget& w = *v.widget;
    BinItem* a = w.axisOrder.first();
    QMouseEvent e(QEvent::MouseMove, QPointF(a->x + 1, a->y + a->height() - 1), Qt::NoButton,
                  Qt::NoButton, Qt::NoModifier);
    w.mouseMoveEvent(&e);
    QCOMPARE(w.hoveredBins.size(), 1);
    QVERIFY(a->highlighted);
    QCOMPARE(w.highlightedPackets, setOf(a->packets));
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QStringLiteral("value: a\n Frequency: 3/4 (75%)"));
    // Off every bar, the hover ends.
    QMouseEvent away(QEvent::MouseMove, QPointF(a->x + 1, 2), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    w.mouseMoveEvent(&away);
    QVERIFY(w.hoveredBins.isEmpty());
    QVERIFY(w.highlightedPackets.isEmpty());
    // A hover from another view whose events lie in no bin of this one ends
    // with the next move over it.
    Data other = textLog({"x"});
    w.highlightHovered(setOf(other.context->packets));
    QVERIFY(w.hoveredBins.isEmpty());
    QCOMPARE(w.highlightedPackets.size(), 1);
    w.mouseMoveEvent(&away);
    QVERIFY(w.highlightedPackets.isEmpty());
    QToolTip::hideText();
}

void ScentedWidgetTest::badInput_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("maxBins");
    QTest::addColumn<bool>("context");
    QTest::addColumn<int>("bins");
    QTest::newRow("attribute without values") << "no_values.csv" << "empty" << 115 << -2 << true << 0;
    QTest::newRow("0 bins") << "events.csv" << "proto" << 115 << 0 << true << 0;
    QTest::newRow("min == max") << "one_value.csv" << "frame.len" << 115 << -2 << true << 1;
    QTest::newRow("width 0") << "events.csv" << "frame.len" << 0 << -2 << true << 40;
    QTest::newRow("width 0, categorical") << "events.csv" << "proto" << 0 << -2 << true << 6;
    QTest::newRow("width 15") << "events.csv" << "frame.len" << 15 << -2 << true << 40;
    QTest::newRow("unknown attribute") << "events.csv" << "nothing" << 115 << -2 << true << 0;
    QTest::newRow("range attribute without column") << "events.csv" << "ghost" << 115 << 5 << true << 5;
    QTest::newRow("no context") << "events.csv" << "proto" << 115 << -2 << false << 0;
}

void ScentedWidgetTest::badInput()
{
    QFETCH(QString, file);
    QFETCH(QString, attribute);
    QFETCH(int, width);
    QFETCH(int, maxBins);
    QFETCH(bool, context);
    QFETCH(int, bins);
    DebugCapture debug;
    debug.setForward(false);
    View v;
    v.data = attributes::load(file, QStringLiteral("trace"));
    v.data.store->rangeAttributes.insert(QStringLiteral("ghost"));
    Context* c = v.data.context;
    if (!context)
        v.data.context = nullptr;
    v.open(attribute, false, width, 30, 0, maxBins);
    ScentedWidget& w = *v.widget;
    QCOMPARE(w.serie ? w.serie->size() : 0, bins);
    if (!context)
        QVERIFY(debug.contains(QStringLiteral("no selection ;(")));
    if (attribute == QLatin1String("ghost"))
        QVERIFY(debug.contains(QStringLiteral("no column for ghost")));
    w.setSize(width, 30);
    w.sliderDragMove(0.2, 0.7);
    w.sliderDragMove(0.0, 1.0);
    QMouseEvent e(QEvent::MouseButtonPress, QPointF(12, 28), Qt::LeftButton, Qt::LeftButton,
                  Qt::NoModifier);
    w.mousePressEvent(&e);
    w.highlightSelected(setOf(c->packets));
    w.highlightHovered(setOf(c->packets));
    for (int mode : {3, 1, 2, 0})
        w.setBinSort(mode);
    w.setLogarithm(true);
    QVERIFY(w.render(true, false, nullptr));
    w.compute(v.data.context, true, true);
    QCoreApplication::sendPostedEvents();
}

void ScentedWidgetTest::busyImageSkipsFrame()
{
    View v;
    v.data = textLog({"a", "b"});
    v.open(QStringLiteral("v"), false, 115, 50);
    QSemaphore held;
    QSemaphore done;
    std::thread holder([&]() {
        v.widget->imageMutex->lock();
        held.release();
        done.acquire();
        v.widget->imageMutex->unlock();
    });
    held.acquire();
    QElapsedTimer timer;
    timer.start();
    const bool rendered = v.widget->render(true, true, nullptr);
    const qint64 ns = timer.nsecsElapsed();
    done.release();
    holder.join();
    QVERIFY(!rendered);
    LUMIVANE_VERIFY_TIME(ns / 1000000.0, 1.0);
    // The skipped frame is made shortly after.
    QImage& image = v.widget->image;
    image.fill(Qt::black);
    QTRY_COMPARE(image.pixelColor(image.width() - 1, image.height() - 1), QColor(Qt::white));
}

void ScentedWidgetTest::poolComputeQueuesWidgetWork()
{
    View v;
    v.data = textLog({"a", "a", "b", "c"});
    v.open(QStringLiteral("v"), false, 115, 50);
    v.widget->setSize(115, 50);
    const int column = columnOf(v.data, QStringLiteral("v"), false);
    v.data.context->valueSets[column] = {TVariant(QStringLiteral("a"))};
    const int before = GuiThreadCheck::violations();
    std::thread job([&]() { v.widget->compute(v.data.context, false, false); });
    job.join();
    // The slider waits for the GUI thread.
    QCOMPARE(v.slider->from, 0.0);
    QCOMPARE(v.widget->filteredBins, QSet<int>{0});
    QCoreApplication::sendPostedEvents(v.slider.get(), QEvent::MetaCall);
    QVERIFY(v.slider->from > 0.0);
    QCOMPARE(GuiThreadCheck::violations(), before);
}

LUMIVANE_TEST(ScentedWidgetTest)
#include "ScentedWidgetTest.moc"
