#include "FailingNew.h"
#include "ImportFixture.h"
#include "Sweep.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"
#include "Restore.h"
#include "ThreadsSetting.h"

#include "app/AppGlobals.h"
#include "core/Constants.h"
#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/NavigationWidget.h"
#include "app/SettingsWidget.h"
#include "core/Packet.h"
#include "core/ThreadStarter.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/charts/LineChart.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QLoggingCategory>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <limits>
#include <memory>

// Every allocation of a load of a small log fails in turn, on the test's
// thread: the reading, the root context's computation and what the window's
// thread does around them (the thread starts are refused, so the work runs
// here), and every so many of the hand-over to the views of a window. No
// exception gets out; the load either completes as one that never failed or
// stops with one message naming memory, the log loaded before still shown
// (or, during the hand-over, the window empty as at its start); and "Open"
// pressed again then loads the log.

namespace {

// `rows` records over a few sources, with texts that repeat and some that
// hardly do.
QByteArray log(int rows, int offset)
{
    QByteArray bytes = "frame.number,frame.time_epoch,ip.src,ip.dst,frame.len,info\n";
    for (int i = 0; i < rows; ++i) {
        const int k = i + offset;
        bytes += QByteArray::number(k + 1) + ',' + QByteArray::number(1600000000 + 3 * k) + ",10.0.0."
                 + QByteArray::number(k % 4) + ",10.0.1." + QByteArray::number(k % 3) + ','
                 + QByteArray::number(60 + k % 7) + ",\"seq " + QByteArray::number(k * 7919 % 1000) + ", ack\"\n";
    }
    return bytes;
}

QString histogramText(const THash<TVariant, int>& hist)
{
    QStringList counts;
    for (auto it = hist.constBegin(); it != hist.constEnd(); ++it)
        counts << it.key().toString() + QLatin1Char('=') + QString::number(it.value());
    std::sort(counts.begin(), counts.end());
    return counts.join(QLatin1Char(' '));
}

// What the loaded log holds: names, events with their traces, trace
// records and every histogram.
QStringList storeText(const GlyphStore* store)
{
    if (!store || !store->rootContext)
        return {QStringLiteral("no log")};
    const Context& root = *store->rootContext;
    QStringList out;
    out << QStringList(store->packetAttributeNames.toQList()).join(QLatin1Char(','));
    for (const QSharedPointer<Packet>& p : root.packets.items) {
        QStringList values;
        for (int c = 0; c < p->columnCount(); ++c)
            values << p->get(c).toString();
        out << QString::number(p->conversationId) + QLatin1Char(':') + values.join(QLatin1Char('|'));
    }
    out << QStringLiteral("traces %1").arg(root.size());
    for (const THash<TVariant, int>& hist : root.histograms.items)
        out << histogramText(hist);
    for (const THash<TVariant, int>& hist : root.conversationHistograms.items)
        out << histogramText(hist);
    return out;
}

// A controller (a window's, or one without views) and the import dialogs
// of logs A and B.
struct Loads
{
    Loads(int refused, bool withWindow)
        : window(withWindow ? new MainWindow : nullptr)
        , own(withWindow ? nullptr : new ControlWidget(nullptr))
        , control(withWindow ? *window->controlWidget : *own)
        , first(&control)
        , second(&control)
        , refused(refused)
    {
        chooseLog(first, dir.write(QStringLiteral("a.csv"), log(12, 500)));
        chooseLog(second, dir.write(QStringLiteral("b.csv"), log(30, 0)));
        for (OpenWidget* dialog : {&first, &second})
            dialog->groupingCombo->setCurrentText(QStringLiteral("ip.src"));
        // A window made in a fresh folder asks for its settings.
        boxes.requests.clear();
    }

    // "Open" in the dialog, with the next thread starts refused.
    void open(OpenWidget& dialog)
    {
        ThreadStarter::refuseNext(refused);
        dialog.import();
        ThreadStarter::refuseNext(0);
    }

    TempWorkDir dir;
    BoxRecorder boxes;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<ControlWidget> own;
    ControlWidget& control;
    OpenWidget first;
    OpenWidget second;
    const int refused;
};

// Every view of the window shows the root context of the current store.
void checkViews(Loads& loads, const QString& where)
{
    MainWindow* w = loads.window.get();
    if (!w)
        return;
    Context* root = loads.control.glyphStore->rootContext;
    QVERIFY2(root, qPrintable(where));
    QVERIFY2(w->leftEventRibbon->view->context == root, qPrintable(where + QStringLiteral(": matrix")));
    QVERIFY2(w->settingsWidget->attributeWidget->context == root, qPrintable(where + QStringLiteral(": events panel")));
    QVERIFY2(w->settingsWidget->conversationWidget->context == root,
             qPrintable(where + QStringLiteral(": traces panel")));
    QVERIFY2(w->leftLineRibbon->chart->context == root, qPrintable(where + QStringLiteral(": chart")));
    QVERIFY2(w->navigationWidget->activeContext == root, qPrintable(where + QStringLiteral(": navigation")));
    QVERIFY2(!NO_DATA, qPrintable(where));
}

// Nothing of a load is left running or half kept.
void checkSettled(Loads& loads, const QString& where)
{
    QVERIFY2(!loads.control.progressDialog && !loads.control.contextWorker, qPrintable(where));
    QVERIFY2(!loads.second.worker && !loads.second.progressDialog, qPrintable(where));
    QVERIFY2(loads.second.findChildren<QThread*>().isEmpty(), qPrintable(where));
    QVERIFY2(loads.control.findChildren<QThread*>().isEmpty(), qPrintable(where));
    QVERIFY2(!loads.control.loadTextPool, qPrintable(where));
}

// One failure point: A loaded, then B with its n-th allocation failing,
// then B again.
void attempt(Loads& loads, const QStringList& shownA, const QStringList& shownB, long n, bool& hit,
             long& messages)
{
    const QString where = QStringLiteral("failure point %1").arg(n);
    if (storeText(loads.control.glyphStore) != shownA)
        loads.open(loads.first);
    QCOMPARE(storeText(loads.control.glyphStore), shownA);
    GlyphStore* before = loads.control.glyphStore;
    loads.boxes.requests.clear();
    bool escaped = false;
    {
        failingnew::FailAt fail(n);
        try {
            loads.open(loads.second);
        } catch (...) {
            escaped = true;
        }
        hit = fail.stop();
    }
    QVERIFY2(!escaped, qPrintable(where + QStringLiteral(": an exception got out of the load")));
    checkSettled(loads, where);
    checkViews(loads, where);
    const QString boxes = loads.boxes.titles().join(QLatin1Char('/')) + QStringLiteral(": ")
                          + loads.boxes.texts().join(QLatin1Char('/'));
    int ours = 0;
    for (const MessageAsker::Request& box : loads.boxes.requests) {
        // A view that ran out of memory may tell of it itself, and the load
        // goes on.
        QVERIFY2(box.icon == QMessageBox::Warning && box.text.contains(QLatin1String("out of memory")),
                 qPrintable(where + QStringLiteral(": ") + boxes));
        if (box.title == QLatin1String("Failed to load data")) {
            ++ours;
            QVERIFY2(box.text.contains(QLatin1String("b.csv")), qPrintable(where + QStringLiteral(": ") + boxes));
        }
    }
    QVERIFY2(ours <= 1, qPrintable(where + QStringLiteral(": ") + boxes));
    const QStringList shown = storeText(loads.control.glyphStore);
    if (!ours) {
        // Run through: the failure was caught where it had a way round.
        QVERIFY2(shown == shownB, qPrintable(where + QStringLiteral(": ran through, but shows ")
                                             + shown.join(QLatin1Char('/')) + QStringLiteral(" after ") + boxes));
        return;
    }
    ++messages;
    if (loads.control.glyphStore == before) {
        // The failure came before the hand-over: A is shown as it was.
        QVERIFY2(shown == shownA, qPrintable(where + QStringLiteral(": A changed")));
    } else {
        // During the hand-over: the window is empty, as at its start.
        QVERIFY2(loads.window && loads.control.glyphStore->rootContext->packets.isEmpty()
                     && boxes.contains(QLatin1String("shows no log")),
                 qPrintable(where + QStringLiteral(": shows ") + shown.join(QLatin1Char('/')) + QStringLiteral(" after ")
                            + boxes));
        QVERIFY2(loads.window->windowTitle() == PRODUCT_NAME, qPrintable(where));
    }
    const int told = loads.boxes.requests.size();
    loads.open(loads.second);
    QVERIFY2(loads.boxes.requests.size() == told,
             qPrintable(where + QStringLiteral(": opened again, ") + loads.boxes.texts().join(QLatin1Char('/'))));
    QVERIFY2(storeText(loads.control.glyphStore) == shownB,
             qPrintable(where + QStringLiteral(": opened again, shows ")
                        + storeText(loads.control.glyphStore).join(QLatin1Char('/'))));
    checkSettled(loads, where + QStringLiteral(", opened again"));
    checkViews(loads, where + QStringLiteral(", opened again"));
}

} // namespace

class LoadFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyAllocation_data();
    void everyAllocation();

private:
    Restore<bool>* noData = nullptr;
};

void LoadFailuresTest::initTestCase()
{
    // The load's own allocations are swept. Qt's do not recover from a
    // failed one: a widget (the progress dialogs) whose constructor throws
    // stays in the lists of widgets, and a debug line that finds no memory
    // to be written ends the program.
    sweep::spareQt();
    // As the program runs: without debug lines.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    noData = new Restore<bool>(NO_DATA, NO_DATA);
}

void LoadFailuresTest::cleanupTestCase()
{
    QLoggingCategory::setFilterRules(QString());
    delete noData;
}

void LoadFailuresTest::everyAllocation_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("refused");   // thread starts refused at each "Open"
    QTest::addColumn<bool>("window");
    QTest::addColumn<int>("points");    // failure points swept at most, spread evenly
    // Reading record by record and the root context, all on this thread.
    QTest::newRow("one thread") << 1 << (1 << 20) << false << 0;
    // The stretches read by a helper and joined here; the root context on
    // its own thread.
    QTest::newRow("stretches") << 2 << 1 << false << 0;
    // The whole load into a window, its panels' histograms too: a failure
    // every so many allocations.
    QTest::newRow("window") << 1 << (1 << 20) << true << 150;
}

void LoadFailuresTest::everyAllocation()
{
    QFETCH(int, threads);
    QFETCH(int, refused);
    QFETCH(bool, window);
    QFETCH(int, points);
    const ThreadsSetting setting(threads);
    Loads loads(refused, window);

    // What loads that never failed show.
    loads.open(loads.first);
    QCOMPARE(loads.control.glyphStore->rootContext->packets.size(), 12);
    const QStringList shownA = storeText(loads.control.glyphStore);
    long allocations = 0;
    {
        failingnew::FailAt count(std::numeric_limits<long>::max());
        loads.open(loads.second);
        allocations = failingnew::counted();
    }
    QCOMPARE(loads.control.glyphStore->rootContext->packets.size(), 30);
    QCOMPARE(loads.control.glyphStore->rootContext->size(), 4);
    const QStringList shownB = storeText(loads.control.glyphStore);
    checkViews(loads, QStringLiteral("unfailed"));
    QVERIFY(loads.boxes.requests.isEmpty());

    // Every point, or `points` of them spread evenly.
    long messages = 0;
    const long swept = sweep::run(QStringLiteral("load (%1)").arg(QTest::currentDataTag()), [&](long k) {
        bool hit = false;
        attempt(loads, shownA, shownB, k, hit, messages);
        return hit && !QTest::currentTestFailed();
    }, points > 0 ? points : -1);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << swept << "failure points of" << allocations << "allocations,"
                      << messages << "of them stopped with the message";
    QVERIFY(swept > 0);
    QVERIFY(messages > 0);
}

LUMIVANE_TEST(LoadFailuresTest)
#include "LoadFailuresTest.moc"
