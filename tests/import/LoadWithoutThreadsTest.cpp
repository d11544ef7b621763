#include "DebugCapture.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "core/ThreadStarter.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QtTest>

// A load whose threads the system refuses to start does their work on the
// window's thread instead: it ends (never waits for a thread that does not
// run), with the log the threads would have loaded, and a Cancel pressed
// meanwhile still stops it.

namespace {

// The loaded log: its events with their traces, and every histogram's size.
QStringList loadedText(const GlyphStore& store)
{
    QStringList out;
    const Context& root = *store.rootContext;
    for (const QSharedPointer<Packet>& p : root.packets.items) {
        QStringList values;
        for (int c = 0; c < p->columnCount(); ++c)
            values << p->get(c).toString();
        out << QString::number(p->conversationId) + QLatin1Char(':') + values.join(QLatin1Char('|'));
    }
    out << QStringLiteral("traces %1").arg(root.size());
    for (const THash<TVariant, int>& hist : root.histograms.items)
        out << QString::number(hist.size());
    for (const THash<TVariant, int>& hist : root.conversationHistograms.items)
        out << QString::number(hist.size());
    return out;
}

void load(ControlWidget& control, const QString& path, int threads, int refused)
{
    qputenv("LUMIVANE_THREADS", QByteArray::number(threads));
    OpenWidget dialog(&control);
    chooseLog(dialog, path);
    dialog.groupingCombo->setCurrentText(QStringLiteral("ip.src"));
    ThreadStarter::refuseNext(refused);
    dialog.import();
    const int left = ThreadStarter::refuseNext(0);
    qunsetenv("LUMIVANE_THREADS");
    // The threads the load asked for were refused, each of them.
    if (refused > 0)
        QVERIFY(refused < 100 ? left == 0 : left < refused);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(dialog.findChildren<QThread*>().isEmpty());
    QVERIFY(!dialog.worker && !dialog.progressDialog);
}

} // namespace

class LoadWithoutThreadsTest : public QObject
{
    Q_OBJECT

private slots:
    void loadsAsWithThreads_data();
    void loadsAsWithThreads();
    void cancelWhileReadingHere();
};

void LoadWithoutThreadsTest::loadsAsWithThreads_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("refused");   // the next thread starts refused
    QTest::addColumn<int>("rows");
    QTest::newRow("reader refused") << 1 << 1 << 5000;
    QTest::newRow("reader and computation refused") << 1 << 2 << 5000;
    // The stretch helpers, the computation's helpers and the panel's jobs
    // too.
    QTest::newRow("every thread refused") << 4 << 1000 << 140000;
}

void LoadWithoutThreadsTest::loadsAsWithThreads()
{
    QFETCH(int, threads);
    QFETCH(int, refused);
    QFETCH(int, rows);
    TempWorkDir dir;
    BoxRecorder boxes;
    DebugCapture cap;
    cap.setForward(false);
    const QString path = dir.write(QStringLiteral("log.csv"), generatedLog(rows, 40));

    ControlWidget reference(nullptr);
    load(reference, path, threads, 0);
    ControlWidget control(nullptr);
    load(control, path, threads, refused);
    QVERIFY(control.findChildren<QThread*>().isEmpty());
    QVERIFY(!control.progressDialog && !control.contextWorker);
    QVERIFY(boxes.requests.isEmpty());
    QCOMPARE(control.glyphStore->rootContext->packets.size(), rows);
    QCOMPARE(control.glyphStore->rootContext->size(), 40);
    QCOMPARE(loadedText(*control.glyphStore), loadedText(*reference.glyphStore));
}

void LoadWithoutThreadsTest::cancelWhileReadingHere()
{
    TempWorkDir dir;
    BoxRecorder boxes;
    DebugCapture cap;
    cap.setForward(false);
    ControlWidget control(nullptr);
    control.loadData({}, {}, {});
    GlyphStore* store = control.glyphStore;

    qputenv("LUMIVANE_THREADS", "1");
    OpenWidget dialog(&control);
    chooseLog(dialog, dir.write(QStringLiteral("big.csv"), generatedLog(200000, 50)));
    // "Cancel" of the progress dialog, as soon as the reading lets events
    // through.
    QTimer::singleShot(0, &dialog, [&dialog]() {
        QVERIFY(dialog.progressDialog);
        for (QPushButton* b : dialog.progressDialog->findChildren<QPushButton*>())
            b->click();
    });
    ThreadStarter::refuseNext(1);
    dialog.import();
    QCOMPARE(ThreadStarter::refuseNext(0), 0);
    qunsetenv("LUMIVANE_THREADS");

    QVERIFY(cap.contains(QStringLiteral("Canceled")));
    QVERIFY(dialog.result() != QDialog::Accepted);
    QVERIFY(dialog.packets.size() < 200000);
    QCOMPARE(control.glyphStore, store);
    QVERIFY(dialog.findChildren<QThread*>().isEmpty());
    QVERIFY(boxes.requests.isEmpty());
}

LUMIVANE_TEST(LoadWithoutThreadsTest)
#include "LoadWithoutThreadsTest.moc"
