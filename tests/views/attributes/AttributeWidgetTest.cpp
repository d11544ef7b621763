#include "AttributeFixture.h"
#include "DebugCapture.h"
#include "TestRegistry.h"
#include "Timing.h"

#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/SettingsWidget.h"
#include "core/Constants.h"
#include "core/ThreadStarter.h"
#include "events/ContextEvent.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ContainerWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/attributes/DoubleSlider.h"
#include "views/attributes/GuiThreadCheck.h"
#include "views/attributes/JobPool.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/attributes/ScentedWidget.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QRandomGenerator>
#include <QScrollArea>
#include <QSemaphore>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <thread>

using attributes::Data;
using attributes::PacketPtr;
using attributes::Packets;

namespace {

QSet<PacketPtr> setOf(const Packets& list)
{
    QSet<PacketPtr> set;
    for (const auto& p : list.items)
        set.insert(p);
    return set;
}

QStringList shownNames(const TList<ScentedWidget*>& histograms)
{
    QStringList out;
    for (ScentedWidget* h : histograms.items)
        out << h->attribute;
    return out;
}

// The order a scored table gives, ties in the table's own order (or its
// reverse), as the attribute orders rank.
QStringList tableOrder(const QList<QPair<QString, double>>& entries, bool reversed)
{
    THash<QString, double> table;
    for (const auto& e : entries)
        table[e.first] = e.second;
    TList<QString> keys = table.keysSortedByValue();
    if (reversed)
        keys.reverse();
    return keys.toQList();
}

double lgOf(double q)
{
    return q == 0.0 ? 2.2250738585072014e-308 : std::log2(q);
}

double h(double q)
{
    return -q * lgOf(q) - (1 - q) * lgOf(1 - q);
}

// The information gain of one attribute against the selected records,
// written out from its definition: the context histogram in bins, the
// selected records counted into the same bins, the entropy of the whole
// less the weighted entropy of the bins.
double relevanceOf(const Data& d, const QString& name, int bins, const QSet<PacketPtr>& selected)
{
    GlyphStore* store = d.store;
    const THash<TVariant, int> full = store->histogram(name, d.context, bins);
    const int column = store->attributeMap(false).value(name, -1);
    const bool range = store->isRangeAttribute(name);
    const double lo = store->minValue(name, d.context);
    const double span = std::max(store->maxValue(name, d.context) - lo, 1.0);
    std::map<double, int> rangePositives;
    QHash<TVariant, int> positives;
    for (const PacketPtr& p : selected) {
        const TVariant& v = p->get(column);
        if (!v.isValid())
            continue;
        if (!range) {
            ++positives[v];
            continue;
        }
        const int k = int((bins - 1) * ((v.toDouble() - lo) / span));
        ++rangePositives[lo + k * (span / bins)];
    }
    for (const auto& e : rangePositives)
        positives[TVariant(e.first)] += e.second;
    double total = 0;
    for (auto it = full.constBegin(); it != full.constEnd(); ++it)
        total += it.value();
    double sumPos = 0, sumFull = 0, cond = 0;
    for (auto it = full.constBegin(); it != full.constEnd(); ++it) {
        const double pos = positives.value(it.key(), 0);
        const double f = it.value();
        sumPos += pos;
        sumFull += f;
        cond += h(pos / f) * (pos + f) / total;
    }
    // Every selected value belongs to a bin of the context histogram.
    int placed = 0;
    for (auto it = positives.constBegin(); it != positives.constEnd(); ++it)
        placed += full.contains(it.key()) ? it.value() : 0;
    int counted = 0;
    for (int c : positives)
        counted += c;
    if (placed != counted)
        return std::nan("");
    if (full.isEmpty() || sumFull == 0)
        return 0.0;
    return h(sumPos / sumFull) - cond;
}

// Writes the settings file a main window reads and answers its boxes.
class WindowGuard
{
public:
    WindowGuard()
    {
        created = !QFile::exists(SETTINGS_PATH);
        if (created) {
            QFile f(SETTINGS_PATH);
            if (f.open(QIODevice::WriteOnly))
                f.write("/usr/bin/tshark\n/usr/bin/wireshark");
        }
        previous = MessageAsker::setHandler(
            [](const MessageAsker::Request&) { return QMessageBox::Ok; });
    }
    ~WindowGuard()
    {
        MessageAsker::setHandler(previous);
        if (created)
            QFile::remove(SETTINGS_PATH);
    }

private:
    bool created = false;
    MessageAsker::Handler previous;
};

// A job that keeps a pool thread until it is released.
class BlockingJob : public QRunnable
{
public:
    explicit BlockingJob(QSemaphore* gate) : gate(gate) {}
    void run() override
    {
        started.release();
        gate->tryAcquire(1, 20000);
        finished.store(true, std::memory_order_release);
    }
    QSemaphore* gate;
    QSemaphore started;
    // Read before the job is deleted: orders its run before the deletion.
    std::atomic<bool> finished{false};
};

} // namespace

class AttributeWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void binCount_data();
    void binCount();
    void orders_data();
    void orders();
    void relevanceMatchesDefinition();
    void relevanceBinsLikeTheContext();
    void relevanceWithoutSelection();
    void mapToRecords_data();
    void mapToRecords();
    void layoutShowsAtMost15_data();
    void layoutShowsAtMost15();
    void searchIsCaseSensitiveOnlyInFilter();
    void withoutContextNoJob();
    void packetsEvent_data();
    void packetsEvent();
    void contextEvent();
    void relayoutKeepsUnchangedCounts_data();
    void relayoutKeepsUnchangedCounts();
    void layoutIgnoresBusyGlobalPool();
    void offGuiThreadCallsAreCounted();
    void stressLayoutsWhileJobsRun();
    void refusedThreadStarts_data();
    void refusedThreadStarts();
    void queuedJobRunsInTheWait();
};

void AttributeWidgetTest::binCount_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<bool>("range");
    QTest::addColumn<int>("bins");
    QTest::newRow("span 0.5") << QStringList{"1.0", "1.5"} << true << 1;
    QTest::newRow("span 1") << QStringList{"3", "4"} << true << 1;
    QTest::newRow("span 0") << QStringList{"3", "3"} << true << 1;
    QTest::newRow("span 7.9") << QStringList{"0.1", "8.0"} << true << 7;
    QTest::newRow("span 40") << QStringList{"0", "40"} << true << 40;
    QTest::newRow("span 100") << QStringList{"0", "100"} << true << 40;
    QTest::newRow("no values, range") << QStringList{"", ""} << true << 1;
    QStringList many;
    for (int i = 0; i < 55; ++i)
        many << QStringLiteral("x%1").arg(i);
    QTest::newRow("55 values") << many << false << 40;
    QTest::newRow("3 values") << QStringList{"a", "b", "a", "c"} << false << 3;
    QTest::newRow("no values") << QStringList{"", ""} << false << 0;
}

void AttributeWidgetTest::binCount()
{
    QFETCH(QStringList, values);
    QFETCH(bool, range);
    QFETCH(int, bins);
    QList<QStringList> rows;
    for (int i = 0; i < values.size(); ++i)
        rows << QStringList{QString::number(1600000000 + i), values.at(i)};
    Data d = attributes::make({"frame.time_epoch", "v"}, {1, range ? 1 : 3}, rows);
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    QCOMPARE(panel.binCount(QStringLiteral("v")), bins);
}

void AttributeWidgetTest::orders_data()
{
    QTest::addColumn<QString>("sort");
    QTest::addColumn<QStringList>("expected");
    // Store order: time, Zeta, alpha, beta, count (numeric), blank, blankNum (numeric).
    const QStringList withValues = {"Zeta", "alpha", "beta", "frame.time_epoch"};
    QTest::newRow("Alphabetical") << "Alphabetical"
                                  << (withValues + QStringList{"blankNum", "count"});
    QTest::newRow("Default") << "Default"
                             << QStringList{"frame.time_epoch", "Zeta", "alpha", "beta", "count",
                                            "blankNum"};
    const QList<QPair<QString, double>> totals = {
        {"frame.time_epoch", 6}, {"Zeta", 4}, {"alpha", 6}, {"beta", 4},
        {"count", 5},           {"blank", 0}, {"blankNum", 0}};
    const auto numericLast = [](const QStringList& order) {
        QStringList out;
        for (const QString& n : order)
            if (n != "count" && n != "blankNum" && n != "blank")
                out << n;
        for (const QString& n : order)
            if (n == "count" || n == "blankNum")
                out << n;
        return out;
    };
    QTest::newRow("Frequency") << "Frequency" << numericLast(tableOrder(totals, true));
    QTest::newRow("Rarity") << "Rarity" << numericLast(tableOrder(totals, false));
    QTest::newRow("unknown order") << "Size" << QStringList();
}

void AttributeWidgetTest::orders()
{
    QFETCH(QString, sort);
    QFETCH(QStringList, expected);
    const QStringList names = {"frame.time_epoch", "Zeta", "alpha", "beta", "count", "blank",
                               "blankNum"};
    QList<QStringList> rows;
    for (int i = 0; i < 6; ++i)
        rows << QStringList{QString::number(1600000000 + i), i < 4 ? "z" : "",
                            QString::number(i % 2), i < 4 ? "b" : "",
                            i < 5 ? QString::number(i) : "", "", ""};
    Data d = attributes::make(names, {1, 3, 3, 3, 0, 3, 0}, rows);
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    QCOMPARE(panel.computeAttributeOrder(sort, TList<QString>(names)), expected);
    if (sort == QLatin1String("Frequency")) {
        // Scored orders list only the names they are given.
        QCOMPARE(panel.computeAttributeOrder(sort, TList<QString>{"beta", "count"}),
                 (QStringList{"beta", "count"}));
    }
}

void AttributeWidgetTest::relevanceMatchesDefinition()
{
    QRandomGenerator random(20240611);
    const QStringList names = {"frame.time_epoch", "wide", "narrow", "kind", "flag", "id"};
    QList<QStringList> rows;
    for (int i = 0; i < 3000; ++i) {
        rows << QStringList{QString::number(1600000000 + i),
                            QString::number(random.bounded(5000) / 97.0, 'f', 4),
                            QString::number(random.bounded(8)),
                            QStringLiteral("k%1").arg(random.bounded(12)),
                            random.bounded(10) < 3 ? QStringLiteral("x") : QString(),
                            QString::number(i)};
    }
    Data d = attributes::make(names, {1, 1, 1, 3, 3, 4}, rows);
    QSet<PacketPtr> selected;
    for (const auto& p : d.context->packets.items) {
        // A selection leaning to some values, so that the gains differ.
        const bool lean = p->get(3).toString() < QLatin1String("k4") || p->get(2).toInt() == 3;
        if (random.bounded(100) < (lean ? 60 : 5))
            selected.insert(p);
    }
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    panel.selected = selected;
    DebugCapture debug;
    debug.setForward(false);
    const THash<QString, double> scores = panel.relevanceScores(TList<QString>(names));
    QVERIFY(!scores.contains(QStringLiteral("id")));   // key attribute
    QCOMPARE(scores.size(), names.size() - 1);
    for (const QString& name : names) {
        if (name == QLatin1String("id"))
            continue;
        const double expected = relevanceOf(d, name, panel.binCount(name), selected);
        QVERIFY2(std::isfinite(expected), qPrintable(name));
        QVERIFY2(std::abs(scores.value(name) - expected) < 1e-12,
                 qPrintable(name + ": " + QString::number(scores.value(name), 'g', 17) + " vs "
                            + QString::number(expected, 'g', 17)));
    }
    QVERIFY(scores.value(QStringLiteral("kind")) > scores.value(QStringLiteral("flag")));
    QVERIFY(debug.contains(QStringLiteral("count positives")));
    QCOMPARE(debug.count(QStringLiteral("binning 0")), 1);
    QVERIFY(debug.contains(QStringLiteral("attributes 0")));
    QVERIFY(!debug.contains(QStringLiteral("attributes 5")));   // "id" is a key at 5

    QList<QPair<QString, double>> entries;
    for (const QString& name : names) {
        if (name != QLatin1String("id"))
            entries << qMakePair(name, scores.value(name));
    }
    QCOMPARE(panel.computeAttributeOrder(QStringLiteral("Relevance"), TList<QString>(names)),
             tableOrder(entries, true));
}

void AttributeWidgetTest::relevanceBinsLikeTheContext()
{
    // min 2.5, max 12.5: 10 bins of width 1; 7.0 falls into bin 4, key 6.5.
    Data d = attributes::make({"frame.time_epoch", "v"}, {1, 1},
                              {{"1600000000", "2.5"}, {"1600000001", "7.0"},
                               {"1600000002", "12.5"}});
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    QCOMPARE(panel.binCount(QStringLiteral("v")), 10);
    const THash<TVariant, int> full = d.store->histogram(QStringLiteral("v"), d.context, 10);
    QCOMPARE(full.value(TVariant(6.5)), 1);
    panel.selected = {d.context->packets.at(1)};
    const THash<QString, double> scores = panel.relevanceScores({QStringLiteral("v")});
    // Only the bin of 7.0 holds selected events, all of them: h = 0 in every bin.
    QVERIFY(std::abs(scores.value(QStringLiteral("v")) - h(1.0 / 3.0)) < 1e-12);
}

void AttributeWidgetTest::relevanceWithoutSelection()
{
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    const TList<QString> names = d.store->attributeNames(false);
    const THash<QString, double> scores = panel.relevanceScores(names);
    QList<QPair<QString, double>> entries;
    for (const QString& name : names.items) {
        QCOMPARE(scores.value(name, -1.0), 0.0);
        entries << qMakePair(name, 0.0);
    }
    // Equal scores: the reverse of the table's order, numbers last.
    QStringList expected = tableOrder(entries, true);
    QCOMPARE(panel.computeAttributeOrder(QStringLiteral("Relevance"), names), expected);
}

void AttributeWidgetTest::mapToRecords_data()
{
    QTest::addColumn<QList<int>>("traces");
    QTest::addColumn<QList<int>>("records");
    QTest::addColumn<int>("unknown");
    QTest::newRow("two traces") << QList<int>{1, 3, 3} << QList<int>{1, 3} << 0;
    QTest::newRow("trace id -1 is left out") << QList<int>{-1, 2} << QList<int>{2} << 1;
    // An id without a record stops the walk: later ids match nothing.
    QTest::newRow("missing record") << QList<int>{4, 6} << QList<int>{} << 0;
    QTest::newRow("missing last record") << QList<int>{0, 6} << QList<int>{0} << 0;
}

void AttributeWidgetTest::mapToRecords()
{
    QFETCH(QList<int>, traces);
    QFETCH(QList<int>, records);
    QFETCH(int, unknown);
    // Traces 0, 1, 2, 3, 5 (no trace 4).
    QList<QStringList> rows;
    const QList<int> ids = {0, 1, 1, 2, 3, 5};
    for (int i = 0; i < ids.size(); ++i)
        rows << QStringList{QString::number(1600000000 + i), QStringLiteral("a")};
    Data d = attributes::make({"frame.time_epoch", "v"}, {1, 3}, rows, ids);
    QSet<PacketPtr> events;
    for (int id : traces) {
        PacketPtr p = fixture::makeEvent({"1", "a"}, id);
        events.insert(p);
    }
    AttributeWidget panel(d.control.get(), true, nullptr);
    panel.context = d.context;
    DebugCapture debug;
    debug.setForward(false);
    QCOMPARE(panel.mapToRecords(events, false), events);
    const QSet<PacketPtr> result = panel.mapToRecords(events, true);
    QSet<int> got;
    for (const PacketPtr& r : result)
        got.insert(r->get(0).toInt());
    QCOMPARE(got, QSet<int>(records.begin(), records.end()));
    for (const PacketPtr& r : result)
        QVERIFY(d.context->conversationPackets.contains(r));
    QCOMPARE(debug.count(QStringLiteral("wtf id -1")), unknown);
}

void AttributeWidgetTest::layoutShowsAtMost15_data()
{
    QTest::addColumn<int>("attributes");
    QTest::addColumn<int>("withValues");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<int>("shown");
    QTest::newRow("20 attributes") << 20 << 20 << "" << 15;
    QTest::newRow("4 with values") << 20 << 4 << "" << 4;
    QTest::newRow("filter ignores case") << 20 << 20 << "A1" << 11;
    QTest::newRow("3 attributes") << 3 << 3 << "" << 3;
}

void AttributeWidgetTest::layoutShowsAtMost15()
{
    QFETCH(int, attributes);
    QFETCH(int, withValues);
    QFETCH(QString, filter);
    QFETCH(int, shown);
    QStringList names = {"frame.time_epoch"};
    QList<int> kinds = {1};
    for (int i = 0; i < attributes; ++i) {
        names << QStringLiteral("a%1").arg(i);
        kinds << 3;
    }
    QList<QStringList> rows;
    for (int r = 0; r < 5; ++r) {
        QStringList row = {QString::number(1600000000 + r)};
        for (int i = 0; i < attributes; ++i)
            row << (i < withValues ? QStringLiteral("v%1").arg(r % 3) : QString());
        rows << row;
    }
    Data d = attributes::make(names, kinds, rows);
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    panel.filter = filter;
    names.removeFirst();
    panel.layoutAttributes(TList<QString>(names));

    QStringList passing;
    for (int i = 0; i < names.size(); ++i) {
        if (i < withValues && names.at(i).contains(filter, Qt::CaseInsensitive))
            passing << names.at(i);
    }
    const QStringList expected = passing.mid(0, std::min(attributes, 15));
    QCOMPARE(expected.size(), shown);
    QCOMPARE(panel.rows, std::min(attributes, 15));
    QCOMPARE(panel.cells.size(), panel.rows);
    QCOMPARE(shownNames(panel.histograms()), expected);
    auto* grid = qobject_cast<QGridLayout*>(panel.scrollArea->widget()->layout());
    QVERIFY(grid);
    QCOMPARE(grid->count(), shown);
    for (int r = 0; r < panel.rows; ++r) {
        QCOMPARE(grid->rowMinimumHeight(r), 50);
        // A row without a name gets a cell that is never placed.
        if (r >= shown) {
            QVERIFY(!panel.cells.at(r)->parentWidget());
            QCOMPARE(panel.cells.at(r)->size(), QSize(1, 1));
        }
    }
    // Every histogram is computed when the layout returns.
    for (ScentedWidget* histogram : panel.histograms().items) {
        QCOMPARE(histogram->context, d.context);
        QVERIFY(histogram->serie && histogram->serie->size() == 3);
        QCOMPARE(histogram->maxBins, 3);
        auto* label = qobject_cast<QLabel*>(
            qobject_cast<ContainerWidget*>(histogram->QWidget::parentWidget())->widgets.at(1));
        QCOMPARE(label->text(), histogram->attribute + QLatin1Char(':'));
        QCOMPARE(label->font().pixelSize(), 12);
    }
}

void AttributeWidgetTest::searchIsCaseSensitiveOnlyInFilter()
{
    Data d = attributes::make({"frame.time_epoch", "Proto", "proto.x", "other"}, {1, 3, 3, 3},
                              {{"1600000000", "a", "b", "c"}, {"1600000001", "a", "a", "b"}});
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    // A scored order lists only the candidates, which match with case.
    panel.sort = QStringLiteral("Rarity");
    panel.filterAttributes(QStringLiteral("proto"));
    QCOMPARE(shownNames(panel.histograms()), QStringList{"proto.x"});
    // "Alphabetical" lists every name; the layout filters without case.
    panel.sort = QStringLiteral("Alphabetical");
    panel.filterAttributes(QStringLiteral("proto"));
    QCOMPARE(shownNames(panel.histograms()), (QStringList{"Proto", "proto.x"}));
}

void AttributeWidgetTest::withoutContextNoJob()
{
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.layoutAttributes(d.store->attributeNames(false));
    QCOMPARE(panel.works.size(), 6);
    for (AttributeWidget::Work* work : panel.works.items) {
        QVERIFY(!work->target);
        QVERIFY(work->done.load());
    }
    QVERIFY(panel.histograms().isEmpty());
    // A refresh before any load shows nothing either.
    panel.refresh();
    QVERIFY(panel.histograms().isEmpty());
}

void AttributeWidgetTest::packetsEvent_data()
{
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<bool>("slidersStay");
    QTest::addColumn<bool>("hover");
    QTest::newRow("hover") << QVariantList{"hover"} << false << true;
    QTest::newRow("hover, ctrl") << QVariantList{"hover", "ctrl"} << true << true;
    QTest::newRow("select") << QVariantList{"select"} << false << false;
    QTest::newRow("select, ctrl") << QVariantList{"select", "ctrl"} << true << false;
    QTest::newRow("ctrl alone is an action") << QVariantList{"ctrl"} << false << false;
    QTest::newRow("no arguments") << QVariantList{} << false << false;
}

void AttributeWidgetTest::packetsEvent()
{
    QFETCH(QVariantList, args);
    QFETCH(bool, slidersStay);
    QFETCH(bool, hover);
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    ConversationWidget panel(d.control.get(), nullptr);
    panel.setContext(d.context);
    const TList<ScentedWidget*> histograms = panel.histograms();
    QVERIFY(!histograms.isEmpty());
    d.context->valueSets[2] = {TVariant(QStringLiteral("tcp"))};
    d.context->conversationValueSets[1] = {TVariant(3)};
    // The events of traces 2 and 5.
    Packets events;
    events.append(d.context->conversations.value(2));
    events.append(d.context->conversations.value(5));
    DebugCapture debug;
    debug.setForward(false);
    PacketsEvent event(nullptr, events, args);
    QVERIFY(QCoreApplication::sendEvent(&panel, &event));
    QVERIFY(event.isAccepted());
    // A selection is applied on the panel's pool.
    panel.waitForJobs();
    QCOMPARE(d.context->valueSets.isEmpty(), !slidersStay);
    QCOMPARE(d.context->conversationValueSets.isEmpty(), !slidersStay);

    QSet<PacketPtr> records;
    const int idColumn = d.store->attributeMap(true).value(CONV_CONVID);
    for (const auto& r : d.context->conversationPackets.items) {
        const int id = r->get(idColumn).toInt();
        if (id == 2 || id == 5)
            records.insert(r);
    }
    QCOMPARE(records.size(), 2);
    for (ScentedWidget* h : histograms.items) {
        QCOMPARE(h->highlightedPackets, hover ? records : QSet<PacketPtr>());
        QCOMPARE(h->pickedPackets, hover ? QSet<PacketPtr>() : records);
    }
    QCOMPARE(panel.selected, hover ? QSet<PacketPtr>() : setOf(events));
    QCOMPARE(debug.count(QStringLiteral(" selecting packets for 0")), hover ? 0 : 1);
    const QString action = args.isEmpty() ? QString() : args.first().toString();
    bool logged = false;
    for (const QString& line : debug.lines())
        logged = logged || line.startsWith("Attributewidget packet event " + action);
    QVERIFY(logged);
}

void AttributeWidgetTest::contextEvent()
{
    WindowGuard guard;
    MainWindow window;
    ControlWidget* control = window.controlWidget;
    const TList<QString> names = {"frame.time_epoch", "ip.src", "proto"};
    Packets events;
    for (int i = 0; i < 12; ++i)
        events.append(fixture::makeEvent({QString::number(1600000000 + i),
                                          QStringLiteral("10.0.0.%1").arg(i % 3),
                                          i % 2 ? "udp" : "tcp"},
                                         i % 4));
    control->loadData(events, names, {1, 3, 3});
    Context* root = control->glyphStore->rootContext;
    SettingsWidget* side = window.settingsWidget;
    AttributeWidget* panel = side->attributeWidget;
    QCOMPARE(panel->context, root);
    // Right after a load the grid shows the store's own order.
    QCOMPARE(shownNames(panel->histograms()), (QStringList{"frame.time_epoch", "ip.src", "proto"}));

    auto* child = new Context(root, QStringLiteral("part"), events.mid(0, 6), control->glyphStore,
                              true);
    for (RibbonAttributeWidget* ribbon : {side->attributeRibbon, side->conversationRibbon}) {
        ribbon->searchBox->blockSignals(true);
        ribbon->searchBox->clear();
        ribbon->searchBox->blockSignals(false);
        ribbon->keyTimer->stop();
    }
    DebugCapture debug;
    debug.setForward(false);
    ContextEvent event(nullptr, {child});
    QVERIFY(QCoreApplication::sendEvent(panel, &event));
    QCOMPARE(panel->context, child);
    QCOMPARE(side->attributeRibbon->searchBox->count(), 3);
    QCOMPARE(side->conversationRibbon->searchBox->count(), 27);
    QVERIFY(side->attributeRibbon->keyTimer->isActive());
    QCOMPARE(panel->filter, QString());
    for (ScentedWidget* h : panel->histograms().items)
        QCOMPARE(h->context, child);
    bool logged = false;
    for (const QString& line : debug.lines())
        logged = logged || line.startsWith(QLatin1String("AttributeWidget context event"));
    QVERIFY(logged);

    // An event without a context changes nothing.
    ContextEvent empty(nullptr, {});
    QVERIFY(QCoreApplication::sendEvent(panel, &empty));
    QCOMPARE(panel->context, child);
}

void AttributeWidgetTest::relayoutKeepsUnchangedCounts_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("kept");
    QTest::newRow("nothing") << QString() << true;
    QTest::newRow("context taken again") << "context" << false;
    QTest::newRow("selection") << "selection" << false;
    QTest::newRow("slider filter") << "filter" << false;
    QTest::newRow("hover") << "hover" << false;
}

void AttributeWidgetTest::relayoutKeepsUnchangedCounts()
{
    QFETCH(QString, change);
    QFETCH(bool, kept);
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    const auto histogram = [](const AttributeWidget& panel, const QString& name) -> ScentedWidget* {
        for (ScentedWidget* h : panel.histograms().items)
            if (h->attribute == name)
                return h;
        return nullptr;
    };
    // Bar by bar: events, picked events, filtered out.
    const auto bars = [](const ScentedWidget* h) {
        QList<QList<int>> out;
        for (BinItem* bin : h->serie->items.items)
            out.append({bin->packets.size(), bin->selectedCount, bin->auxFlag ? 1 : 0});
        return out;
    };
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.setContext(d.context);
    QPointer<ScentedWidget> before = histogram(panel, QStringLiteral("proto"));
    QVERIFY(before);
    if (change == QLatin1String("context")) {
        panel.takeContext(d.context);
    } else if (change == QLatin1String("selection")) {
        panel.selected = {d.context->packets.first()};
    } else if (change == QLatin1String("filter")) {
        QMutexLocker lock(ScentedWidget::filterMutex());
        d.context->valueSets[d.store->attributeColumns.value(QStringLiteral("proto"))].insert(
            TVariant(QStringLiteral("udp")));
    } else if (change == QLatin1String("hover")) {
        before->highlightHovered({d.context->packets.first()});
    }
    // What the search box's refill after a load leads to.
    panel.filterAttributes(QString());
    ScentedWidget* after = histogram(panel, QStringLiteral("proto"));
    QVERIFY(after);
    QCOMPARE(!before.isNull() && before.data() == after, kept);

    // Kept or not, it shows what a panel computing it afresh shows.
    AttributeWidget fresh(d.control.get(), false, nullptr);
    fresh.context = d.context;
    fresh.selected = panel.selected;
    fresh.filterAttributes(QString());
    QCOMPARE(shownNames(panel.histograms()), shownNames(fresh.histograms()));
    QCOMPARE(bars(after), bars(histogram(fresh, QStringLiteral("proto"))));
}

void AttributeWidgetTest::layoutIgnoresBusyGlobalPool()
{
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    AttributeWidget panel(d.control.get(), false, nullptr);
    panel.context = d.context;
    QThreadPool* global = QThreadPool::globalInstance();
    const int threads = global->maxThreadCount();
    global->setMaxThreadCount(1);
    QSemaphore gate;
    auto* job = new BlockingJob(&gate);
    job->setAutoDelete(false);
    global->start(job);
    QVERIFY(job->started.tryAcquire(1, 5000));
    QElapsedTimer timer;
    timer.start();
    panel.layoutAttributes(d.store->attributeNames(false));
    const qint64 elapsed = timer.elapsed();
    // The unrelated job still holds the global pool.
    QCOMPARE(global->activeThreadCount(), 1);
    gate.release();
    global->waitForDone();
    global->setMaxThreadCount(threads);
    QVERIFY(job->finished.load(std::memory_order_acquire));
    delete job;
    QVERIFY2(elapsed < 10000, qPrintable(QString::number(elapsed)));
    QCOMPARE(panel.histograms().size(), 6);
    for (ScentedWidget* h : panel.histograms().items)
        QVERIFY(h->serie && h->serie->size() > 0);
}

void AttributeWidgetTest::offGuiThreadCallsAreCounted()
{
    const int before = GuiThreadCheck::violations();
    std::thread other([]() { GuiThreadCheck::check("test"); });
    other.join();
    QCOMPARE(GuiThreadCheck::violations(), before + 1);
    GuiThreadCheck::check("test");
    QCOMPARE(GuiThreadCheck::violations(), before + 1);
}

void AttributeWidgetTest::stressLayoutsWhileJobsRun()
{
    // Selections, hovers, clicks and slider moves on the GUI thread while
    // the pool recomputes the same histograms.
    QRandomGenerator random(7);
    QList<QStringList> rows;
    QList<int> traces;
    for (int i = 0; i < 400; ++i) {
        rows << QStringList{QString::number(1600000000 + i), QStringLiteral("10.0.0.%1").arg(random.bounded(9)),
                            QStringLiteral("p%1").arg(random.bounded(5)),
                            QString::number(40 + random.bounded(1500)), QString::number(random.bounded(60))};
        traces << random.bounded(40);
    }
    Data d = attributes::make({"frame.time_epoch", "ip.src", "proto", "frame.len", "port"},
                              {1, 3, 3, 1, 1}, rows, traces);
    AttributeWidget events(d.control.get(), false, nullptr);
    ConversationWidget conversations(d.control.get(), nullptr);
    const int violations = GuiThreadCheck::violations();
    DebugCapture debug;
    debug.setForward(false);
    events.resize(300, 400);
    events.setContext(d.context);
    conversations.setContext(d.context);
    const TList<QString> eventNames = {"ip.src", "proto", "frame.len"};
    const TList<QString> traceNames = {"conv.length", "conv.duration", "conv.src"};
    for (int i = 0; i < 200; ++i) {
        AttributeWidget& panel = i % 2 ? static_cast<AttributeWidget&>(conversations) : events;
        panel.layoutAttributes(i % 2 ? traceNames : eventNames);
        const TList<ScentedWidget*> histograms = panel.histograms();
        // Recompute every histogram once more without waiting.
        for (int k = 0; k < histograms.size(); ++k) {
            AttributeWidget::Work* work = panel.works.at(k);
            work->done.store(true, std::memory_order_release);
            panel.pool->start(work);
        }
        Packets some;
        for (int k = 0; k < 50; ++k)
            some.append(d.context->packets.at(random.bounded(d.context->packets.size())));
        const QString action = i % 3 ? QStringLiteral("select") : QStringLiteral("hover");
        PacketsEvent event(nullptr, some, i % 5 ? QVariantList{action, "ctrl"} : QVariantList{action});
        QCoreApplication::sendEvent(&panel, &event);
        ScentedWidget* h = histograms.at(i % histograms.size());
        h->setSize(120, 40);
        QMouseEvent move(QEvent::MouseMove, QPointF(random.bounded(120), 35), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        h->mouseMoveEvent(&move);
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(random.bounded(120), 37),
                          Qt::LeftButton, Qt::LeftButton,
                          i % 4 ? Qt::NoModifier : Qt::ControlModifier);
        h->mousePressEvent(&press);
        h->sliderDragMove(0.1 * (i % 4), 1.0 - 0.1 * (i % 3));
        if (i % 10 == 0)
            panel.setLogarithm(i % 20 == 0);
        QCoreApplication::processEvents();
    }
    events.resetSliders();
    QCOMPARE(GuiThreadCheck::violations(), violations);
}

void AttributeWidgetTest::refusedThreadStarts_data()
{
    // Thread starts the system refuses while the histograms are computed,
    // and while a selection is applied (-1: every one).
    QTest::addColumn<int>("atLayout");
    QTest::addColumn<int>("atSelection");
    QTest::newRow("every start refused") << -1 << -1;
    QTest::newRow("the first start refused") << 1 << 0;
    QTest::newRow("the layout's starts refused") << -1 << 0;
}

// A job whose thread cannot be started runs all the same: every histogram
// is computed and marks the selection, and the next selection, once
// threads start again, does not wait for a job that never ran.
void AttributeWidgetTest::refusedThreadStarts()
{
    QFETCH(int, atLayout);
    QFETCH(int, atSelection);
    struct Refusals
    {
        ~Refusals() { ThreadStarter::refuseNext(0); }
    } refusals;
    Data d = attributes::load(QStringLiteral("events.csv"), QStringLiteral("trace"));
    DebugCapture debug;
    debug.setForward(false);
    const auto bars = [](const AttributeWidget& panel) {
        QList<QList<int>> out;
        for (ScentedWidget* h : panel.histograms().items) {
            out.append({h->serie ? h->serie->size() : -1});
            if (h->serie)
                for (BinItem* bin : h->serie->items.items)
                    out.append({bin->packets.size(), bin->selectedCount});
        }
        return out;
    };
    Packets first;
    first.append(d.context->conversations.value(2));
    Packets second;
    second.append(d.context->conversations.value(5));
    const auto select = [](AttributeWidget& panel, const Packets& events) {
        PacketsEvent event(nullptr, events, QVariantList{QStringLiteral("select")});
        QCoreApplication::sendEvent(&panel, &event);
    };

    AttributeWidget reference(d.control.get(), false, nullptr);
    reference.setContext(d.context);
    select(reference, first);
    reference.waitForJobs();
    const QList<QList<int>> firstBars = bars(reference);
    select(reference, second);
    reference.waitForJobs();
    const QList<QList<int>> secondBars = bars(reference);
    QVERIFY(firstBars != secondBars);

    AttributeWidget panel(d.control.get(), false, nullptr);
    const int many = 1000;
    ThreadStarter::refuseNext(atLayout < 0 ? many : atLayout);
    panel.setContext(d.context);
    if (atLayout != 0)
        QVERIFY(ThreadStarter::refuseNext(0) < (atLayout < 0 ? many : atLayout));
    QCOMPARE(panel.histograms().size(), 6);
    ThreadStarter::refuseNext(atSelection < 0 ? many : atSelection);
    select(panel, first);
    panel.waitForJobs();
    if (atSelection != 0)
        QVERIFY(ThreadStarter::refuseNext(0) < many);
    QCOMPARE(bars(panel), firstBars);
    // Threads start again: the next selection neither hangs nor loses a
    // histogram.
    QElapsedTimer clock;
    clock.start();
    select(panel, second);
    panel.waitForJobs();
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(bars(panel), secondBars);
    QCOMPARE(panel.pool->activeThreadCount(), 0);
}

// A job queued while the pool's thread is busy and no other thread can be
// started is run by a wait on the waiting thread, which then waits only
// for the job that really runs.
void AttributeWidgetTest::queuedJobRunsInTheWait()
{
    struct Refusals
    {
        ~Refusals() { ThreadStarter::refuseNext(0); }
    } refusals;
    JobPool pool;
    pool.setMaxThreadCount(2);
    QSemaphore gate;
    auto* busy = new BlockingJob(&gate);
    busy->setAutoDelete(false);
    pool.start(busy);
    QVERIFY(busy->started.tryAcquire(1, 5000));
    ThreadStarter::refuseNext(1);
    std::atomic<bool> ranHere{false};
    pool.start(QRunnable::create([&ranHere, caller = std::this_thread::get_id()]() {
        ranHere.store(std::this_thread::get_id() == caller, std::memory_order_release);
    }));
    QCOMPARE(ThreadStarter::refuseNext(0), 0);
    QCOMPARE(pool.activeThreadCount(), 2);
    QVERIFY(!pool.waitForDone(50));
    QVERIFY(ranHere.load(std::memory_order_acquire));
    QCOMPARE(pool.activeThreadCount(), 1);
    gate.release();
    QVERIFY(pool.waitForDone(-1));
    QVERIFY(busy->finished.load(std::memory_order_acquire));
    delete busy;
}

LUMIVANE_TEST(AttributeWidgetTest)
#include "AttributeWidgetTest.moc"
